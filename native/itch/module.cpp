// velmora._itch: the native half of velmora.itch. One function, replay(), reads an ITCH 5.0
// file and returns what the replay kept as plain objects and packed buffers, which the
// Python half turns into NumPy arrays; the books come back as velmora.core.Book objects
// through the core's capsule.
#include <Python.h>

#include <memory>
#include <string>

#include "core/capi.hpp"
#include "reader.hpp"
#include "ref.hpp"
#include "replay.hpp"

namespace velmora::itch {
namespace {

const core::CoreApi* api = nullptr;

// The symbols of an iterable of str, space-padded to the feed's 8 bytes; false with an
// exception.
bool to_symbols(PyObject* iterable, std::unordered_set<std::string>* out) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "symbols must be str, not %.200s",
                         Py_TYPE(item.get())->tp_name);
            return false;
        }
        Py_ssize_t n;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &n);
        if (!text) {
            return false;
        }
        if (n == 0 || n > 8) {
            PyErr_Format(PyExc_ValueError, "a symbol has 1 to 8 characters, not %R", item.get());
            return false;
        }
        try {
            std::string symbol(text, static_cast<std::size_t>(n));
            symbol.resize(8, ' ');
            out->insert(std::move(symbol));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    return !PyErr_Occurred();
}

// A sequence of int times, ascending; false with an exception. Read from a tuple copy, which
// no conversion's code can change.
bool to_times(PyObject* sequence, std::vector<std::int64_t>* out) noexcept {
    Ref fast = Ref::steal(PySequence_Tuple(sequence));
    if (!fast) {
        return false;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(fast.get());
    try {
        out->reserve(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::borrow(PyTuple_GET_ITEM(fast.get(), i));
        long long t = PyLong_AsLongLong(item.get());
        if (t == -1 && PyErr_Occurred()) {
            return false;
        }
        if (!out->empty() && t < out->back()) {
            PyErr_SetString(PyExc_ValueError, "books_at must be in ascending order");
            return false;
        }
        out->push_back(static_cast<std::int64_t>(t));
    }
    return true;
}

template <class T>
PyObject* to_bytearray(const std::vector<T>& v) noexcept {
    return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                         static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

// The stocks as (locate, symbol or None, book, counts) tuples, in locate order.
PyObject* stocks_list(Replay& replay) noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    auto& stocks = replay.stocks();
    for (std::size_t locate = 0; locate < stocks.size(); ++locate) {
        if (!stocks[locate]) {
            continue;
        }
        Stock& st = *stocks[locate];
        Ref symbol = Ref::borrow(Py_None);
        if (st.directory) {
            std::size_t n = 8;
            while (n > 0 && st.symbol[n - 1] == ' ') {
                --n;
            }
            symbol =
                Ref::steal(PyUnicode_DecodeLatin1(st.symbol, static_cast<Py_ssize_t>(n), nullptr));
            if (!symbol) {
                return nullptr;
            }
        }
        Ref counts = Ref::steal(PyTuple_New(N_COUNTERS));
        if (!counts) {
            return nullptr;
        }
        for (int i = 0; i < N_COUNTERS; ++i) {
            PyObject* c = PyLong_FromUnsignedLongLong(st.counts[static_cast<std::size_t>(i)]);
            if (!c) {
                return nullptr;
            }
            PyTuple_SET_ITEM(counts.get(), i, c);  // steals
        }
        Ref book = Ref::steal(api->wrap(st.state.release()));
        if (!book) {
            return nullptr;
        }
        Ref item = Ref::steal(Py_BuildValue("(nOOO)", static_cast<Py_ssize_t>(locate), symbol.get(),
                                            book.get(), counts.get()));
        if (!item || PyList_Append(list.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject* events_list(const Replay& replay) noexcept {
    Ref system = Ref::steal(PyList_New(0));
    if (!system) {
        return nullptr;
    }
    for (const SystemEvent& e : replay.system_events()) {
        Ref item = Ref::steal(Py_BuildValue("(LC)", static_cast<long long>(e.time),
                                            static_cast<unsigned char>(e.code)));
        if (!item || PyList_Append(system.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return system.release();
}

PyObject* actions_list(const Replay& replay) noexcept {
    Ref actions = Ref::steal(PyList_New(0));
    if (!actions) {
        return nullptr;
    }
    for (const TradingAction& a : replay.trading_actions()) {
        Ref reason = Ref::steal(PyUnicode_DecodeLatin1(a.reason, 4, nullptr));
        if (!reason) {
            return nullptr;
        }
        Ref item = Ref::steal(Py_BuildValue("(LiCO)", static_cast<long long>(a.time),
                                            static_cast<int>(a.locate),
                                            static_cast<unsigned char>(a.state), reason.get()));
        if (!item || PyList_Append(actions.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return actions.release();
}

PyObject* raise_stop(const Replay& replay) noexcept {
    PyObject* type = PyExc_ValueError;
    if (replay.stopped() == Stop::unknown) {
        type = PyExc_KeyError;
    } else if (replay.stopped() == Stop::memory) {
        type = PyExc_MemoryError;
    }
    PyErr_SetString(type, replay.error().c_str());
    return nullptr;
}

// replay(path, symbols, watch, depth, changes, every, stop_on_unknown, progress)
PyObject* itch_replay(PyObject*, PyObject* args) noexcept {
    PyObject* path_arg;
    PyObject* symbols;
    PyObject* watch;
    Py_ssize_t depth;
    int changes, stop_on_unknown;
    long long every;
    PyObject* progress;
    PyObject* books_at;
    if (!PyArg_ParseTuple(args, "OOOnpLpOO:replay", &path_arg, &symbols, &watch, &depth, &changes,
                          &every, &stop_on_unknown, &progress, &books_at)) {
        return nullptr;
    }
    if (depth < 0 || depth > (1 << 20) || every < 0) {
        PyErr_SetString(PyExc_ValueError, "depth must lie in [0, 1048576] and every be >= 0");
        return nullptr;
    }
    Ref path;
    {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(path_arg, static_cast<void*>(&converted))) {
            return nullptr;
        }
        path = Ref::steal(converted);
    }
    Ref hold_progress = Ref::borrow(progress);
    std::unique_ptr<Replay> replay;
    Reader reader;
    try {
        Options options;
        options.all_symbols = symbols == Py_None;
        if (!options.all_symbols && !to_symbols(symbols, &options.symbols)) {
            return nullptr;
        }
        options.watch_all = watch == Py_None;
        if (!options.watch_all && !to_symbols(watch, &options.watch)) {
            return nullptr;
        }
        options.depth = static_cast<std::size_t>(depth);
        options.changes = changes != 0 && depth > 0;
        options.every = depth > 0 ? every : 0;
        options.stop_on_unknown = stop_on_unknown != 0;
        if (!to_times(books_at, &options.books_at)) {
            return nullptr;
        }
        replay = std::make_unique<Replay>(std::move(options));
        std::string error;
        if (!reader.open(PyBytes_AS_STRING(path.get()), &error)) {
            PyErr_SetString(PyExc_OSError, error.c_str());
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // The engines are private to this call until they are wrapped: the work runs without
    // the GIL, taken back between chunks for the progress callback and for signals.
    constexpr std::uint64_t CHUNK = 1u << 20;
    for (bool more = true; more;) {
        Py_BEGIN_ALLOW_THREADS more = replay->run(reader, CHUNK);
        Py_END_ALLOW_THREADS if (replay->stopped() != Stop::none) { return raise_stop(*replay); }
        if (PyErr_CheckSignals() < 0) {
            return nullptr;
        }
        if (progress != Py_None) {
            Ref done = Ref::steal(PyLong_FromUnsignedLongLong(reader.file_bytes()));
            if (!done || !Ref::steal(PyObject_CallOneArg(progress, done.get()))) {
                return nullptr;
            }
        }
    }
    replay->finish();
    if (replay->stopped() != Stop::none) {
        return raise_stop(*replay);
    }
    Ref trades = Ref::steal(to_bytearray(replay->trades()));
    Ref rows = Ref::steal(to_bytearray(replay->rows()));
    Ref samples = Ref::steal(to_bytearray(replay->samples()));
    Ref copies = Ref::steal(to_bytearray(replay->copies()));
    if (!trades || !rows || !samples || !copies) {
        return nullptr;
    }
    Ref stocks = Ref::steal(stocks_list(*replay));
    Ref system = Ref::steal(events_list(*replay));
    Ref actions = Ref::steal(actions_list(*replay));
    if (!stocks || !system || !actions) {
        return nullptr;
    }
    return Py_BuildValue("{sOsOsOsOsOsOsOsKsKsKsKsK}", "copies", copies.get(), "trades",
                         trades.get(), "rows", rows.get(), "samples", samples.get(), "stocks",
                         stocks.get(), "system", system.get(), "actions", actions.get(), "messages",
                         static_cast<unsigned long long>(replay->messages()), "skipped",
                         static_cast<unsigned long long>(replay->skipped()), "other",
                         static_cast<unsigned long long>(replay->other()), "unknown_matches",
                         static_cast<unsigned long long>(replay->unknown_matches()), "bytes",
                         static_cast<unsigned long long>(reader.offset()));
}

PyMethodDef methods[] = {
    {"replay", reinterpret_cast<PyCFunction>(itch_replay), METH_VARARGS,
     "replay(path, symbols, watch, depth, changes, every, stop_on_unknown, progress, books_at, "
     "/)\n--\n\n"
     "Replay an ITCH 5.0 file; use velmora.itch.replay() instead."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject*) noexcept {
    if (!api) {
        api = core::import_core_api();
    }
    return api ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora._itch",
    "velmora._itch: the native ITCH 5.0 replay.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::itch

PyMODINIT_FUNC PyInit__itch() { return PyModuleDef_Init(&velmora::itch::module_def); }
