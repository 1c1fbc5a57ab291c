// Batch replay over buffers: the events are read straight from the caller's buffer and
// applied with no Python code running in the loop; the fills come back as one NumPy array.
#include "batch.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "args.hpp"
#include "ref.hpp"

namespace velmora::core::batch {
namespace {

// NumPy and the two dtypes, made on first use and kept for the life of the process.
struct NumPy {
    PyObject* empty = nullptr;
    PyObject* event_dtype = nullptr;
    PyObject* fill_dtype = nullptr;
    std::string event_format;  // the buffer format NumPy exports for EVENT_DTYPE
};
NumPy numpy;

bool load_numpy() noexcept {
    if (numpy.empty) {
        return true;
    }
    Ref module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_ImportError,
                            "the batch API of velmora.core needs NumPy: "
                            "pip install 'velmora[batch]'");
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, cause);  // steals cause
            PyErr_SetRaisedException(exc);
        }
        return false;
    }
    Ref dtype = Ref::steal(PyObject_GetAttrString(module.get(), "dtype"));
    Ref empty = Ref::steal(PyObject_GetAttrString(module.get(), "empty"));
    if (!dtype || !empty) {
        return false;
    }
    Ref event_spec = Ref::steal(
        Py_BuildValue("{s:[sssss],s:[sssss],s:[iiiii],s:i}", "names", "kind", "side", "order_id",
                      "price", "quantity", "formats", "i1", "i1", "i8", "i8", "i8", "offsets", 0, 1,
                      8, 16, 24, "itemsize", static_cast<int>(sizeof(Event))));
    Ref fill_spec = Ref::steal(Py_BuildValue(
        "{s:[sssssss],s:[sssssss],s:[iiiiiii],s:i}", "names", "seq", "aggressor_id", "resting_id",
        "price", "quantity", "side", "kind", "formats", "i8", "i8", "i8", "i8", "i8", "i1", "i1",
        "offsets", 0, 8, 16, 24, 32, 40, 41, "itemsize", static_cast<int>(sizeof(FillRecord))));
    if (!event_spec || !fill_spec) {
        return false;
    }
    Ref event_dtype = Ref::steal(PyObject_CallOneArg(dtype.get(), event_spec.get()));
    Ref fill_dtype = Ref::steal(PyObject_CallOneArg(dtype.get(), fill_spec.get()));
    if (!event_dtype || !fill_dtype) {
        return false;
    }
    // Ask NumPy which format string it exports for the event layout, to recognise arrays of
    // exactly that dtype later.
    Ref probe = Ref::steal(PyObject_CallFunction(empty.get(), "iO", 0, event_dtype.get()));
    if (!probe) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(probe.get(), &view, PyBUF_RECORDS_RO) < 0) {
        return false;
    }
    std::string format = view.format ? view.format : "";
    PyBuffer_Release(&view);
    numpy.event_format = std::move(format);
    numpy.empty = empty.release();
    numpy.event_dtype = event_dtype.release();
    numpy.fill_dtype = fill_dtype.release();
    return true;
}

// Releases a buffer view on scope exit, unless released earlier.
struct View {
    Py_buffer view{};
    bool held = false;
    void release() noexcept {
        if (held) {
            held = false;
            PyBuffer_Release(&view);
        }
    }
    ~View() { release(); }
};

// Where the events are in a buffer: a base, a stride between records, a count. False with
// TypeError for anything that is not a 1-D array of EVENT_DTYPE or a bytes-like buffer of
// whole 32-byte records.
bool locate(const Py_buffer& view, const char** base, Py_ssize_t* stride, Py_ssize_t* count) {
    const char* format = view.format ? view.format : "B";
    bool raw =
        view.itemsize == 1 && (std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
                               std::strcmp(format, "c") == 0);
    if (view.ndim != 1) {
        PyErr_Format(PyExc_TypeError,
                     "events must be a one-dimensional array of velmora.core.EVENT_DTYPE, not "
                     "%d-dimensional (numpy.lib.recfunctions.unstructured_to_structured(table, "
                     "velmora.core.EVENT_DTYPE) turns a table of kind, side, order_id, price "
                     "and quantity columns into one)",
                     view.ndim);
        return false;
    }
    if (raw) {
        if (view.strides && view.strides[0] != 1) {
            PyErr_SetString(PyExc_TypeError, "a bytes-like events buffer must be contiguous");
            return false;
        }
        if (view.len % static_cast<Py_ssize_t>(sizeof(Event)) != 0) {
            PyErr_Format(PyExc_ValueError,
                         "a bytes-like events buffer must hold whole %zu-byte records, "
                         "got %zd bytes",
                         sizeof(Event), view.len);
            return false;
        }
        *base = static_cast<const char*>(view.buf);
        *stride = sizeof(Event);
        *count = view.len / static_cast<Py_ssize_t>(sizeof(Event));
        return true;
    }
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Event)) || numpy.event_format != format) {
        PyErr_Format(PyExc_TypeError,
                     "events must be an array of velmora.core.EVENT_DTYPE or a bytes-like "
                     "buffer of %zu-byte records, not items of format '%.100s' and size %zd",
                     sizeof(Event), format, view.itemsize);
        return false;
    }
    *base = static_cast<const char*>(view.buf);
    *stride = view.strides ? view.strides[0] : view.itemsize;
    *count = view.shape ? view.shape[0] : view.len / view.itemsize;
    return true;
}

// Records the fills of one event. Never throws (see Collect in book.cpp).
struct Record {
    std::vector<FillRecord>* out;
    bool* lost;
    std::int64_t seq;
    std::int64_t aggressor;
    std::int8_t side;
    std::int8_t kind;
    void operator()(const Fill& fill) const noexcept {
        try {
            out->push_back(FillRecord{
                seq, aggressor, fill.resting_id, fill.ticks, fill.quantity, side, kind, {}});
        } catch (...) {
            *lost = true;
        }
    }
};

// The fills as a NumPy array of FILL_DTYPE.
PyObject* to_array(const std::vector<FillRecord>& fills) noexcept {
    Ref array = Ref::steal(PyObject_CallFunction(
        numpy.empty, "nO", static_cast<Py_ssize_t>(fills.size()), numpy.fill_dtype));
    if (!array) {
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    if (view.len != static_cast<Py_ssize_t>(fills.size() * sizeof(FillRecord))) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_SystemError, "fill array of unexpected size");
        return nullptr;
    }
    if (!fills.empty()) {
        std::memcpy(view.buf, fills.data(), fills.size() * sizeof(FillRecord));
    }
    PyBuffer_Release(&view);
    return array.release();
}

const char* const replay_names[] = {"events"};
const args::Params replay_params{"replay", replay_names, 1, 1};

}  // namespace

PyObject* book_replay(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* a[1];
    if (!args::bind(replay_params, args, nargs, kwnames, a) || !load_numpy()) {
        return nullptr;
    }
    // Getting the buffer may run Python code (a __buffer__ method), which may change this
    // book; the engine is only looked at afterwards. While the view is held, no Python code
    // runs until the loop is done, so nothing can resize or free the memory under it.
    if (!PyObject_CheckBuffer(a[0])) {
        PyErr_Format(PyExc_TypeError,
                     "events must be an array of velmora.core.EVENT_DTYPE, not %.100s: "
                     "numpy.array(rows, dtype=velmora.core.EVENT_DTYPE) makes one from "
                     "(kind, side, order_id, price, quantity) tuples",
                     Py_TYPE(a[0])->tp_name);
        return nullptr;
    }
    View events;
    if (PyObject_GetBuffer(a[0], &events.view, PyBUF_RECORDS_RO) < 0) {
        return nullptr;
    }
    events.held = true;
    const char* base;
    Py_ssize_t stride, count;
    if (!locate(events.view, &base, &stride, &count)) {
        return nullptr;
    }

    Engine& engine = self->state->engine;
    std::vector<FillRecord> fills;
    bool lost = false;
    Py_ssize_t i = 0;
    Refusal refusal = Refusal::none;
    Event e{};
    const char* invalid = nullptr;
    try {
        // Most events fill nothing; start small and let the buffer grow with the fills.
        fills.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(count, 4096)));
        for (; i < count; ++i) {
            std::memcpy(&e, base + i * stride, sizeof e);  // read once, whatever the alignment
            if (e.kind == CANCEL) {
                engine.cancel(e.order_id);
                continue;
            }
            if (e.side != BID && e.side != ASK) {
                invalid = "side must be 0 (BID) or 1 (ASK)";
                break;
            }
            Record sink{&fills, &lost, i, e.order_id, e.side, e.kind};
            if (e.kind == LIMIT) {
                refusal = engine.add_limit(e.order_id, static_cast<Side>(e.side), e.price,
                                           e.quantity, sink);
            } else if (e.kind == MARKET) {
                refusal =
                    engine.add_market(e.order_id, static_cast<Side>(e.side), e.quantity, sink);
            } else {
                invalid = "kind must be 0 (LIMIT), 1 (MARKET) or 2 (CANCEL)";
                break;
            }
            if (refusal != Refusal::none) {
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        lost = true;
    }
    events.release();

    Ref result = Ref::steal(to_array(fills));
    if (!result) {
        return nullptr;
    }
    if (i == count && !lost) {
        return result.release();
    }
    // Stopped early: events before i are applied, event i changed nothing. The exception
    // carries how many were applied and their fills.
    if (lost) {
        PyErr_Format(PyExc_MemoryError, "out of memory at event %zd; its fills are incomplete", i);
    } else if (invalid) {
        PyErr_Format(PyExc_ValueError, "event %zd: %s, got kind %d, side %d", i, invalid, e.kind,
                     e.side);
    } else {
        raise_refusal(refusal, e.order_id, e.quantity);
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(cause)), "event %zd: %S", i, cause);
        Py_DECREF(cause);
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref applied = Ref::steal(PyLong_FromSsize_t(i));
    if (!applied || PyObject_SetAttrString(exc, "applied", applied.get()) < 0 ||
        PyObject_SetAttrString(exc, "fills", result.get()) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* dtype(PyObject* name) noexcept {
    bool event = PyUnicode_CompareWithASCIIString(name, "EVENT_DTYPE") == 0;
    if (!event && PyUnicode_CompareWithASCIIString(name, "FILL_DTYPE") != 0) {
        return nullptr;
    }
    if (!load_numpy()) {
        return nullptr;
    }
    return Py_NewRef(event ? numpy.event_dtype : numpy.fill_dtype);
}

}  // namespace velmora::core::batch
