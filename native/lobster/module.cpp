// velmora._lobster: the parsers of parse.hpp for Python, over buffers. velmora.lobster reads a
// file in blocks, hands each to parse_orderbook or parse_messages with an array to fill, and
// carries the unfinished last line over; faults come back as ParseError(line, problem, text)
// with the line counted from the block's start, which the caller turns into its own error
// naming the file. The interpreter lock is released while a block is parsed: both buffers are
// held as exports, so neither can be resized or freed meanwhile.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <new>

#include "compare.hpp"
#include "events.hpp"
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

// An integer argument from `low` to `high`; false with the error set otherwise.
bool bounded(PyObject* arg, const char* name, long long low, long long high,
             long long& value) noexcept {
    value = PyLong_AsLongLong(arg);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (value < low || value > high) {
        PyErr_Format(PyExc_ValueError, "%s must be %lld to %lld, got %lld", name, low, high, value);
        return false;
    }
    return true;
}

bool sized(const View& view, const char* name, std::size_t bytes) noexcept {
    if (view.size() != bytes) {
        PyErr_Format(PyExc_ValueError, "%s holds %zu bytes where %zu are wanted", name, view.size(),
                     bytes);
        return false;
    }
    return true;
}

constexpr long long kMaxCount = (1LL << 40);

// make_events(messages, rows, fields, depth, first, id_from, events, owners) -> (events, LEVEL)
PyObject* make_events_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 8) {
        PyErr_Format(PyExc_TypeError, "make_events() takes 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    long long fields = 0, depth = 0, first = 0, id_from = 0;
    if (!bounded(args[2], "fields", 0, 1 << 20, fields) ||
        !bounded(args[3], "depth", 0, fields / 4, depth) ||
        !bounded(args[4], "first", 0, 1, first) ||
        !bounded(args[5], "id_from", 0, kMaxCount, id_from)) {
        return nullptr;
    }
    View messages, rows, events, owners;
    if (!messages.get(args[0], PyBUF_C_CONTIGUOUS) ||
        (args[1] != Py_None && !rows.get(args[1], PyBUF_C_CONTIGUOUS)) ||
        !events.get(args[6], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) ||
        !owners.get(args[7], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
        return nullptr;
    }
    if (messages.size() % kMessageSize) {
        PyErr_SetString(PyExc_ValueError, "messages are not whole 34-byte records");
        return nullptr;
    }
    std::size_t n = messages.size() / kMessageSize;
    bool with_rows = args[1] != Py_None;
    if (with_rows &&
        (depth < 1 || !sized(rows, "rows", n * static_cast<std::size_t>(fields) * 8))) {
        if (depth < 1 && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "rows need a depth of at least 1");
        }
        return nullptr;
    }
    std::size_t capacity = std::min(events.size() / sizeof(Event), owners.size() / 8);
    std::size_t count = 0, window = 0;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS;
    try {
        std::unique_ptr<bool[]> fresh(new bool[static_cast<std::size_t>(depth) + 1]);
        EventSink sink(static_cast<Event*>(events.data()),
                       static_cast<std::int64_t*>(owners.data()), capacity);
        window = make_events(static_cast<const unsigned char*>(messages.data()), n,
                             std::min(static_cast<std::size_t>(first), n),
                             with_rows ? static_cast<const std::int64_t*>(rows.data()) : nullptr,
                             static_cast<std::size_t>(fields), static_cast<std::size_t>(depth),
                             id_from, fresh.get(), sink);
        count = sink.count();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS;
    if (no_memory) {
        return PyErr_NoMemory();
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(window));
}

// compare_rows(snaps, levels, row_of, initial, rows, fields, depth, first, equal, bad) -> bad
PyObject* compare_rows_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 10) {
        PyErr_Format(PyExc_TypeError, "compare_rows() takes 10 arguments (%zd given)", nargs);
        return nullptr;
    }
    long long levels = 0, fields = 0, depth = 0, first = 0;
    if (!bounded(args[1], "levels", 1, 1 << 18, levels) ||
        !bounded(args[5], "fields", 4, 1 << 20, fields) ||
        !bounded(args[6], "depth", 1, std::min(levels, fields / 4), depth) ||
        !bounded(args[7], "first", 0, kMaxCount, first)) {
        return nullptr;
    }
    View snaps, row_of, initial, rows, equal, bad;
    if (!snaps.get(args[0], PyBUF_C_CONTIGUOUS) || !row_of.get(args[2], PyBUF_C_CONTIGUOUS) ||
        !initial.get(args[3], PyBUF_C_CONTIGUOUS) || !rows.get(args[4], PyBUF_C_CONTIGUOUS) ||
        !equal.get(args[8], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) ||
        !bad.get(args[9], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
        return nullptr;
    }
    SnapshotLayout layout{static_cast<std::size_t>(levels)};
    std::size_t n = row_of.size() / 8;
    std::size_t from = std::min(static_cast<std::size_t>(first), n);
    if (snaps.size() % layout.size()) {
        PyErr_SetString(PyExc_ValueError, "snaps are not whole snapshot records");
        return nullptr;
    }
    if (row_of.size() % 8 || !sized(initial, "initial", layout.size() - 8) ||
        !sized(rows, "rows", n * static_cast<std::size_t>(fields) * 8) ||
        equal.size() < static_cast<std::size_t>(depth) * 8 || bad.size() < (n - from) * 8) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError,
                            "row_of, equal or bad does not fit the rows compared");
        }
        return nullptr;
    }
    const auto* index = static_cast<const std::int64_t*>(row_of.data());
    auto snapshots = static_cast<std::int64_t>(snaps.size() / layout.size());
    std::size_t count = 0;
    bool in_range = true;
    Py_BEGIN_ALLOW_THREADS;
    for (std::size_t r = from; r < n && in_range; ++r) {
        in_range = index[r] < snapshots;
    }
    if (in_range) {
        count = compare_rows(
            static_cast<const unsigned char*>(snaps.data()), layout, index,
            static_cast<const std::int64_t*>(initial.data()),
            static_cast<const std::int64_t*>(rows.data()), static_cast<std::size_t>(fields), n,
            from, static_cast<std::size_t>(depth), static_cast<std::int64_t*>(equal.data()),
            static_cast<std::int64_t*>(bad.data()));
    }
    Py_END_ALLOW_THREADS;
    if (!in_range) {
        PyErr_SetString(PyExc_ValueError, "row_of names a snapshot past the last");
        return nullptr;
    }
    return PyLong_FromSize_t(count);
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
    {"make_events", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_events_py)),
     METH_FASTCALL,
     "make_events(messages, rows, fields, depth, first, id_from, events, owners)\n"
     "    -> (events made, LEVEL events made)\n\n"
     "The core events of messages[first:] (types 1 to 4) and, with `rows` (an int64 array of\n"
     "`fields` columns, one row per message, or None), the LEVEL runs of levels coming into\n"
     "view over `depth` levels, ids counting down from -2**62 - id_from; written to `events`\n"
     "(EVENT_DTYPE) and `owners` (int64, the message of each) while they have room."},
    {"compare_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_rows_py)),
     METH_FASTCALL,
     "compare_rows(snaps, levels, row_of, initial, rows, fields, depth, first, equal, bad)\n"
     "    -> rows that differ\n\n"
     "Compares the replay's rows (snapshot row_of[r] of `snaps`, or `initial` where negative)\n"
     "with the file's from row `first` over `depth` levels: adds to equal[m] the rows whose\n"
     "first m + 1 levels agree and writes the indices of the others to `bad`."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    // The codes make_events writes, for velmora.lobster to hold against velmora.core's.
    Ref codes = Ref::steal(Py_BuildValue("{sisisisisisisi}", "LIMIT", kLimit, "CANCEL", kCancel,
                                         "REDUCE", kReduce, "EXECUTE", kExecute, "LEVEL", kLevel,
                                         "BID", kBid, "ASK", kAsk));
    if (!codes) {
        return -1;
    }
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
                   PyModule_AddIntConstant(module, "MAX_PRICE", kMaxPrice) < 0 ||
                   PyModule_AddObjectRef(module, "EVENT_CODES", codes.get()) < 0
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
