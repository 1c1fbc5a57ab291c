// velmora._lobster: the parsers of parse.hpp for Python, over buffers. velmora.lobster reads a
// file in blocks, hands each to parse_orderbook or parse_messages with an array to fill, and
// carries the unfinished last line over; faults come back as ParseError(line, problem, text)
// with the line counted from the block's start, which the caller turns into its own error
// naming the file. The interpreter lock is released while a block is parsed: both buffers are
// held as exports, so neither can be resized or freed meanwhile.
#include <Python.h>

#include <new>

#include "parse.hpp"
#include "ref.hpp"

namespace velmora::lobster {
namespace {

Global parse_error;

// A buffer view released on every way out.
class View {
  public:
    View() noexcept = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    bool get(PyObject* obj, int flags) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const char* bytes() const noexcept { return static_cast<const char*>(view_.buf); }
    void* data() const noexcept { return view_.buf; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* raise_fault(const Fault& fault) noexcept {
    Ref text = Ref::steal(
        PyBytes_FromStringAndSize(fault.text.data(), static_cast<Py_ssize_t>(fault.text.size())));
    Ref args = text ? Ref::steal(Py_BuildValue("(LsO)", static_cast<long long>(fault.line),
                                               fault.problem.c_str(), text.get()))
                    : Ref();
    if (args) {
        PyErr_SetObject(parse_error.get(), args.get());
    }
    return nullptr;
}

PyObject* progress(const Progress& done) noexcept {
    return Py_BuildValue("(nnL)", static_cast<Py_ssize_t>(done.rows),
                         static_cast<Py_ssize_t>(done.consumed),
                         static_cast<long long>(done.lines));
}

// The arguments every parse takes: the block, the array to fill, whether the block ends the
// file. The array must be writable and C-contiguous; its length in bytes bounds the rows.
bool views(PyObject* data, PyObject* out, View& source, View& target) noexcept {
    return source.get(data, PyBUF_C_CONTIGUOUS) &&
           target.get(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
}

// Runs `parse(done, fault)` on the views with the interpreter lock released; the progress
// tuple, or ParseError for the fault it found.
template <typename Parse>
PyObject* run(Parse&& parse) noexcept {
    Progress done;
    Fault fault;
    bool ok = false;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS;
    try {
        ok = parse(done, fault);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS;
    if (no_memory) {
        return PyErr_NoMemory();
    }
    return ok ? progress(done) : raise_fault(fault);
}

// parse_orderbook(data, out, fields, final) -> (rows, bytes used, lines passed)
PyObject* parse_orderbook_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "parse_orderbook() takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    Py_ssize_t fields = PyLong_AsSsize_t(args[2]);
    if (fields == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    int final = PyObject_IsTrue(args[3]);
    if (final < 0) {
        return nullptr;
    }
    if (fields < 1 || fields > (1 << 20)) {
        PyErr_Format(PyExc_ValueError, "fields must be 1 to %d, got %zd", 1 << 20, fields);
        return nullptr;
    }
    View source, target;
    if (!views(args[0], args[1], source, target)) {
        return nullptr;
    }
    std::size_t row_bytes = static_cast<std::size_t>(fields) * sizeof(std::int64_t);
    return run([&](Progress& done, Fault& fault) {
        return parse_orderbook(
            source.bytes(), source.size(), final != 0, static_cast<std::size_t>(fields),
            static_cast<std::int64_t*>(target.data()), target.size() / row_bytes, done, fault);
    });
}

// parse_messages(data, out, final) -> (rows, bytes used, lines passed), `out` holding
// 34-byte MESSAGE_DTYPE records.
PyObject* parse_messages_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "parse_messages() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    int final = PyObject_IsTrue(args[2]);
    if (final < 0) {
        return nullptr;
    }
    View source, target;
    if (!views(args[0], args[1], source, target)) {
        return nullptr;
    }
    return run([&](Progress& done, Fault& fault) {
        return parse_messages(source.bytes(), source.size(), final != 0,
                              static_cast<unsigned char*>(target.data()),
                              target.size() / kMessageSize, done, fault);
    });
}

PyMethodDef methods[] = {
    {"parse_orderbook",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_orderbook_py)), METH_FASTCALL,
     "parse_orderbook(data, out, fields, final) -> (rows, bytes used, lines passed)\n\n"
     "Parses the whole lines of one block of an orderbook file into `out`, a writable int64\n"
     "array of `fields` columns; the last line without its end only when `final`."},
    {"parse_messages",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_messages_py)), METH_FASTCALL,
     "parse_messages(data, out, final) -> (rows, bytes used, lines passed)\n\n"
     "Parses the whole lines of one block of a message file into `out`, a writable array of\n"
     "34-byte message records; the last line without its end only when `final`."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    if (!parse_error) {
        parse_error.set(Ref::steal(PyErr_NewExceptionWithDoc(
            "velmora._lobster.ParseError",
            "A line of a block refused: args are (line from the block's start, problem, the "
            "field's bytes where the problem quotes it as {text}).",
            PyExc_ValueError, nullptr)));
        if (!parse_error) {
            return -1;
        }
    }
    return PyModule_AddObjectRef(module, "ParseError", parse_error.get()) < 0 ||
                   PyModule_AddIntConstant(module, "MESSAGE_SIZE", kMessageSize) < 0 ||
                   PyModule_AddIntConstant(module, "MAX_PRICE", kMaxPrice) < 0
               ? -1
               : 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora._lobster",
    "LOBSTER's CSV files parsed natively, block by block, for velmora.lobster.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::lobster

PyMODINIT_FUNC PyInit__lobster() { return PyModuleDef_Init(&velmora::lobster::module_def); }
