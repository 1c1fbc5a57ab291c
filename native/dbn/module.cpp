// velmora._dbn: the native half of velmora.dbn. One function, replay(), takes the
// decompressed record stream of a DBN file as an iterable of bytes-like blocks (Python reads
// and decompresses them; no Python object per record) and returns what the replay kept as
// plain objects and packed buffers; the books come back as velmora.core.Book objects through
// the core's capsule.
#include <Python.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/capi.hpp"
#include "ref.hpp"
#include "replay.hpp"

namespace velmora::dbn {
namespace {

const core::CoreApi* api = nullptr;
PyObject* record_error = nullptr;  // velmora._dbn.RecordError, owned by the module

// A set of instrument ids from an iterable of int; false with an exception.
bool to_ids(PyObject* iterable, std::unordered_set<std::uint32_t>* out) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        unsigned long long v = PyLong_AsUnsignedLongLong(item.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            return false;
        }
        if (v > UINT32_MAX) {
            PyErr_Format(PyExc_ValueError, "an instrument id is below 2**32, not %R", item.get());
            return false;
        }
        try {
            out->insert(static_cast<std::uint32_t>(v));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    return !PyErr_Occurred();
}

template <class T>
PyObject* to_bytearray(const std::vector<T>& v) noexcept {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                         static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

// The trades as one bytearray, their blocks copied in order.
PyObject* to_bytearray(const Trades& trades) noexcept {
    PyObject* out = PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(trades.size() * sizeof(TradeRecord)));
    if (out) {
        char* at = PyByteArray_AS_STRING(out);
        trades.for_each_block([&](const TradeRecord* first, std::size_t n) {
            std::memcpy(at, first, n * sizeof(TradeRecord));
            at += n * sizeof(TradeRecord);
        });
    }
    return out;
}

// The books as (publisher, instrument, book, counts) tuples, in order of first record.
PyObject* books_list(Replay& replay) noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (std::unique_ptr<Book>& b : replay.books()) {
        Ref counts = Ref::steal(PyTuple_New(N_COUNTERS));
        if (!counts) {
            return nullptr;
        }
        for (int i = 0; i < N_COUNTERS; ++i) {
            PyObject* c = PyLong_FromUnsignedLongLong(b->counts[static_cast<std::size_t>(i)]);
            if (!c) {
                return nullptr;
            }
            PyTuple_SET_ITEM(counts.get(), i, c);  // steals
        }
        Ref book = Ref::steal(api->wrap(b->state.release()));
        if (!book) {
            return nullptr;
        }
        Ref item = Ref::steal(Py_BuildValue("(IkOO)", static_cast<unsigned>(b->publisher),
                                            static_cast<unsigned long>(b->instrument), book.get(),
                                            counts.get()));
        if (!item || PyList_Append(list.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject* raise_stop(const Replay& replay) noexcept {
    if (replay.stopped() == Stop::unknown) {
        PyErr_SetString(PyExc_KeyError, replay.error().c_str());
    } else if (replay.stopped() == Stop::memory) {
        PyErr_SetString(PyExc_MemoryError, replay.error().c_str());
    } else if (replay.stopped() == Stop::limit) {
        PyErr_SetString(PyExc_ValueError, replay.error().c_str());
    } else {
        Ref args =
            Ref::steal(Py_BuildValue("(sK)", replay.error().c_str(),
                                     static_cast<unsigned long long>(replay.error_offset())));
        if (args) {
            PyErr_SetObject(record_error, args.get());
        }
    }
    return nullptr;
}

// replay(blocks, offset, record_size, instruments, watch, depth, changes, every, clock_event,
//        stop_on_unknown, max_sample_bytes)
PyObject* dbn_replay(PyObject*, PyObject* args) noexcept {
    PyObject* blocks;
    unsigned long long offset;
    Py_ssize_t record_size, depth;
    PyObject* instruments;
    PyObject* watch;
    int changes, clock_event, stop_on_unknown;
    long long every;
    unsigned long long max_sample_bytes;
    if (!PyArg_ParseTuple(args, "OKnOOnpLppK:replay", &blocks, &offset, &record_size, &instruments,
                          &watch, &depth, &changes, &every, &clock_event, &stop_on_unknown,
                          &max_sample_bytes)) {
        return nullptr;
    }
    if (depth < 0 || depth > (1 << 20) || every < 0) {
        PyErr_SetString(PyExc_ValueError, "depth must lie in [0, 1048576] and every be >= 0");
        return nullptr;
    }
    if (record_size != 56 && record_size != 64) {
        PyErr_SetString(PyExc_ValueError, "record_size is 56, or 64 with ts_out");
        return nullptr;
    }
    std::unique_ptr<Replay> replay;
    try {
        Options options;
        options.all_instruments = instruments == Py_None;
        if (!options.all_instruments && !to_ids(instruments, &options.instruments)) {
            return nullptr;
        }
        options.watch_all = watch == Py_None;
        if (!options.watch_all && !to_ids(watch, &options.watch)) {
            return nullptr;
        }
        options.depth = static_cast<std::size_t>(depth);
        options.changes = changes != 0 && depth > 0;
        options.every = depth > 0 ? every : 0;
        options.clock = clock_event ? Clock::event : Clock::recv;
        options.stop_on_unknown = stop_on_unknown != 0;
        options.record_size = static_cast<std::size_t>(record_size);
        options.max_sample_bytes = max_sample_bytes;
        replay = std::make_unique<Replay>(std::move(options));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    replay->set_offset(offset);
    Ref it = Ref::steal(PyObject_GetIter(blocks));
    if (!it) {
        return nullptr;
    }
    // The engines are private to this call until they are wrapped: each block is applied
    // without the GIL, the block itself held (its buffer exported) until then.
    while (Ref block = Ref::steal(PyIter_Next(it.get()))) {
        Py_buffer view;
        if (PyObject_GetBuffer(block.get(), &view, PyBUF_SIMPLE) < 0) {
            return nullptr;
        }
        bool ok;
        Py_BEGIN_ALLOW_THREADS ok = replay->feed(static_cast<const unsigned char*>(view.buf),
                                                 static_cast<std::size_t>(view.len));
        Py_END_ALLOW_THREADS PyBuffer_Release(&view);
        if (!ok) {
            return raise_stop(*replay);
        }
        if (PyErr_CheckSignals() < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    if (!replay->finish()) {
        return raise_stop(*replay);
    }
    Ref trades = Ref::steal(to_bytearray(replay->trades()));
    Ref rows = Ref::steal(to_bytearray(replay->rows()));
    Ref samples = Ref::steal(to_bytearray(replay->samples()));
    if (!trades || !rows || !samples) {
        return nullptr;
    }
    Ref books = Ref::steal(books_list(*replay));
    if (!books) {
        return nullptr;
    }
    return Py_BuildValue("{sOsOsOsOsKsKsK}", "trades", trades.get(), "rows", rows.get(), "samples",
                         samples.get(), "books", books.get(), "records",
                         static_cast<unsigned long long>(replay->records()), "skipped",
                         static_cast<unsigned long long>(replay->skipped()), "bytes",
                         static_cast<unsigned long long>(replay->bytes()));
}

PyMethodDef methods[] = {
    {"replay", reinterpret_cast<PyCFunction>(dbn_replay), METH_VARARGS,
     "replay(blocks, offset, record_size, instruments, watch, depth, changes, every, "
     "clock_event, stop_on_unknown, max_sample_bytes, /)\n--\n\n"
     "Replay a DBN file's market-by-order records; use velmora.dbn.replay() instead."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    if (!api) {
        api = core::import_core_api();
        if (!api) {
            return -1;
        }
    }
    if (!record_error) {
        record_error = PyErr_NewExceptionWithDoc(
            "velmora._dbn.RecordError",
            "A record stream that cannot be replayed: args are (problem, byte offset).",
            PyExc_ValueError, nullptr);
        if (!record_error) {
            return -1;
        }
    }
    return PyModule_AddObjectRef(module, "RecordError", record_error);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora._dbn",
    "velmora._dbn: the native DBN market-by-order replay.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::dbn

PyMODINIT_FUNC PyInit__dbn() { return PyModuleDef_Init(&velmora::dbn::module_def); }
