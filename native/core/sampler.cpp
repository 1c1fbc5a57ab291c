// velmora.core.Sampler: what it samples and measures, checked when it is made; the rows as a
// NumPy array of a dtype made to match.
#include "sampler.hpp"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "args.hpp"
#include "batch.hpp"
#include "book.hpp"
#include "ref.hpp"

namespace velmora::core {
namespace {

constexpr std::int64_t MAX_DEPTH = 1 << 20;

struct Named {
    const char* name;
    Measure kind;
};
constexpr Named MEASURES[] = {
    {"mid", Measure::mid},
    {"spread", Measure::spread},
    {"microprice", Measure::microprice},
    {"imbalance", Measure::imbalance},
    {"ofi", Measure::ofi},
    {"volume", Measure::volume},
    {"notional", Measure::notional},
    {"vwap", Measure::vwap},
    {"trades", Measure::trades},
    {"events", Measure::events},
};
constexpr const char* MEASURE_LIST =
    "mid, spread, microprice, imbalance:K, ofi, volume, notional, vwap, trades, events";

// The measure a name asks for ("imbalance:5" for the top 5 levels), and its column's name.
bool parse_measure(PyObject* item, std::size_t depth, MeasureSpec* out, std::string* column) {
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "measures must be names (str), not %.100s",
                     Py_TYPE(item)->tp_name);
        return false;
    }
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (!text) {
        return false;
    }
    std::string_view name(text, static_cast<std::size_t>(size));
    std::string_view base = name.substr(0, name.find(':'));
    for (const Named& m : MEASURES) {
        if (base != m.name) {
            continue;
        }
        out->kind = m.kind;
        out->k = 0;
        if (m.kind != Measure::imbalance) {
            if (base.size() != name.size()) {
                break;  // only imbalance takes a count
            }
            *column = std::string(base);
            return true;
        }
        std::string_view count = name.substr(std::min(base.size() + 1, name.size()));
        std::int64_t k = 0;
        bool digits = base.size() < name.size() && !count.empty() && count.size() < 8;
        for (char c : count) {
            digits &= c >= '0' && c <= '9';
            k = k * 10 + (c - '0');
        }
        if (!digits || k < 1) {
            PyErr_Format(PyExc_ValueError,
                         "imbalance takes the number of levels it sums, as in 'imbalance:5'; "
                         "got %R",
                         item);
            return false;
        }
        if (static_cast<std::size_t>(k) > depth) {
            PyErr_Format(PyExc_ValueError,
                         "%R needs the top %lld levels, but the sampler's depth is %zu", item,
                         static_cast<long long>(k), depth);
            return false;
        }
        out->k = static_cast<std::uint32_t>(k);
        *column = "imbalance_" + std::to_string(k);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "unknown measure %R: the measures are %s", item, MEASURE_LIST);
    return false;
}

// The given times, sorted; any sequence of ints (a NumPy array of int64 is read directly).
bool parse_times(PyObject* at, std::vector<std::int64_t>* out) {
    Ref items = Ref::steal(PySequence_Fast(at, "at must be a sequence of times (int64 ns)"));
    if (!items) {
        return false;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out->reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Borrowed from `items`, which this function alone holds; a conversion that runs
        // Python code cannot change it.
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        std::int64_t t;
        if (!args::to_int64(item, "a time in at", &t)) {
            return false;
        }
        if (!out->empty() && t < out->back()) {
            PyErr_Format(PyExc_ValueError,
                         "at must be sorted in ascending order: at[%zd] = %lld comes after "
                         "at[%zd] = %lld",
                         i, static_cast<long long>(t), i - 1, static_cast<long long>(out->back()));
            return false;
        }
        out->push_back(t);
    }
    return true;
}

// The rows' dtype: seq, time, the levels, the measures.
Ref make_dtype(const Sampler::Config& config, const std::vector<std::string>& columns) {
    Ref names = Ref::steal(PyList_New(0));
    Ref formats = Ref::steal(PyList_New(0));
    if (!names || !formats) {
        return Ref();
    }
    auto add = [&](const char* name, PyObject* format) {
        Ref n = Ref::steal(PyUnicode_FromString(name));
        return n && PyList_Append(names.get(), n.get()) == 0 &&
               PyList_Append(formats.get(), format) == 0;
    };
    Ref i8 = Ref::steal(PyUnicode_FromString("i8"));
    Ref f8 = Ref::steal(PyUnicode_FromString("f8"));
    Ref levels = Ref::steal(PyUnicode_FromFormat("(%zu,)i8", config.depth));
    if (!i8 || !f8 || !levels || !add("seq", i8.get()) || !add("time", i8.get())) {
        return Ref();
    }
    if (config.depth > 0) {
        for (const char* name : {"bid_price", "bid_total", "ask_price", "ask_total"}) {
            if (!add(name, levels.get())) {
                return Ref();
            }
        }
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (!add(columns[i].c_str(), config.measures[i].integer() ? i8.get() : f8.get())) {
            return Ref();
        }
    }
    Ref spec =
        Ref::steal(Py_BuildValue("{s:O,s:O}", "names", names.get(), "formats", formats.get()));
    return spec ? Ref::steal(PyObject_CallOneArg(batch::numpy_dtype(), spec.get())) : Ref();
}

const char* const sampler_names[] = {"depth",  "every",   "every_events", "at",
                                     "groups", "changed", "measures"};
const args::Params sampler_params{"Sampler", sampler_names, 7, 0, 1};

PyObject* sampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    // Through vectorcall's binder, for the core's argument messages. The keyword values are
    // borrowed from `kwargs`, which the caller holds for the call.
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat;
    Ref kwnames;
    try {
        flat.assign(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
            if (!kwnames) {
                return nullptr;
            }
            PyObject *key, *value;
            Py_ssize_t k = 0;
            for (Py_ssize_t pos = 0; PyDict_Next(kwargs, &pos, &key, &value); ++k) {
                PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));  // steals
                flat.push_back(value);
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* a[7];
    if (!args::bind(sampler_params, flat.data(), nargs, kwnames.get(), a) || !batch::load_numpy()) {
        return nullptr;
    }
    Sampler::Config config;
    std::int64_t depth = 0, interval = 0;
    bool groups = false, changed = false;
    int modes = 0;
    if (a[0] && !args::to_int64(a[0], "depth", &depth)) {
        return nullptr;
    }
    if (depth < 0 || depth > MAX_DEPTH) {
        PyErr_Format(PyExc_ValueError, "depth must be from 0 to %lld, got %lld",
                     static_cast<long long>(MAX_DEPTH), static_cast<long long>(depth));
        return nullptr;
    }
    config.depth = static_cast<std::size_t>(depth);
    for (int k : {1, 2}) {
        if (a[k] && a[k] != Py_None) {
            ++modes;
            if (!args::to_int64(a[k], sampler_names[k], &interval)) {
                return nullptr;
            }
            if (interval <= 0) {
                PyErr_Format(PyExc_ValueError, "%s must be a positive number of %s, got %lld",
                             sampler_names[k], k == 1 ? "nanoseconds" : "events",
                             static_cast<long long>(interval));
                return nullptr;
            }
            config.every = k == 1 ? Every::time : Every::events;
            config.interval = interval;
        }
    }
    if (a[3] && a[3] != Py_None) {
        ++modes;
        config.every = Every::at;
        if (!parse_times(a[3], &config.at)) {
            return nullptr;
        }
    }
    if ((a[4] && !args::to_flag(a[4], "groups", &groups)) ||
        (a[5] && !args::to_flag(a[5], "changed", &changed))) {
        return nullptr;
    }
    if (groups) {
        ++modes;
        config.every = Every::group;
    }
    if (changed) {
        ++modes;
        config.every = Every::change;
        if (depth == 0) {
            PyErr_SetString(PyExc_ValueError, "changed needs a depth of at least 1");
            return nullptr;
        }
    }
    if (modes > 1) {
        PyErr_SetString(PyExc_ValueError,
                        "give at most one of every, every_events, at, groups and changed");
        return nullptr;
    }
    std::vector<std::string> columns;
    if (a[6] && a[6] != Py_None) {
        Ref items = Ref::steal(PySequence_Fast(a[6], "measures must be a sequence of names"));
        if (!items || PyUnicode_Check(a[6])) {
            if (items) {
                PyErr_SetString(PyExc_TypeError,
                                "measures must be a sequence of names, not one string");
            }
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
            MeasureSpec spec{};
            std::string column;
            if (!parse_measure(PySequence_Fast_GET_ITEM(items.get(), i), config.depth, &spec,
                               &column)) {
                return nullptr;
            }
            for (const std::string& seen : columns) {
                if (seen == column) {
                    PyErr_Format(PyExc_ValueError, "measure '%s' is given twice", column.c_str());
                    return nullptr;
                }
            }
            columns.push_back(std::move(column));
            config.measures.push_back(spec);
        }
    }
    if (depth == 0 && config.measures.empty()) {
        PyErr_SetString(PyExc_ValueError,
                        "a Sampler with depth 0 writes no levels: give it a depth, measures, or "
                        "both");
        return nullptr;
    }
    Ref dtype = make_dtype(config, columns);
    if (!dtype) {
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    auto* s = reinterpret_cast<SamplerObject*>(self.get());
    try {
        s->sampler = new Sampler(std::move(config));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    s->dtype = dtype.release();
    return self.release();
}

void sampler_dealloc(SamplerObject* self) noexcept {
    delete self->sampler;
    Py_XDECREF(self->dtype);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

// take() -> the rows written since the last take, as an array of the sampler's dtype.
PyObject* sampler_take(SamplerObject* self, PyObject*) noexcept {
    Sampler& sampler = *self->sampler;
    auto count = static_cast<Py_ssize_t>(sampler.row_count());
    Ref array = Ref::steal(PyObject_CallFunction(batch::numpy_empty(), "nO", count, self->dtype));
    if (!array) {
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    // Making the array may have run Python code that took the rows meanwhile (another
    // thread): copy no more than both hold.
    std::size_t bytes =
        std::min(static_cast<std::size_t>(view.len), sampler.rows().size() * sizeof(std::int64_t));
    if (bytes) {
        std::memcpy(view.buf, sampler.rows().data(), bytes);
    }
    PyBuffer_Release(&view);
    sampler.rows().clear();
    return array.release();
}

// finish(book): the rows the end of the stream completes (the last tick, the times left).
PyObject* sampler_finish(SamplerObject* self, PyObject* book) noexcept {
    if (!PyObject_TypeCheck(book, &BookType)) {
        PyErr_Format(PyExc_TypeError, "finish() takes the velmora.core.Book replayed, not %.100s",
                     Py_TYPE(book)->tp_name);
        return nullptr;
    }
    try {
        self->sampler->finish(reinterpret_cast<BookObject*>(book)->state->engine);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

Py_ssize_t sampler_len(SamplerObject* self) noexcept {
    return static_cast<Py_ssize_t>(self->sampler->row_count());
}

PyObject* sampler_get_dtype(SamplerObject* self, void*) noexcept { return Py_NewRef(self->dtype); }

PyMethodDef sampler_methods[] = {
    {"take", reinterpret_cast<PyCFunction>(sampler_take), METH_NOARGS,
     "take($self)\n--\n\nThe rows written since the last take() (or since the start), as an array "
     "of "
     "the sampler's dtype; they are no longer held here."},
    {"finish", reinterpret_cast<PyCFunction>(sampler_finish), METH_O,
     "finish($self, book, /)\n--\n\nWrites the rows the end of the stream completes: the first "
     "tick at or "
     "after the last event (every), the times not reached (at)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sampler_getset[] = {
    {"dtype", reinterpret_cast<getter>(sampler_get_dtype), nullptr, "the rows' NumPy dtype",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods sampler_as_sequence = {};

}  // namespace

PyTypeObject SamplerType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_sampler_type() noexcept {
    SamplerType.tp_name = "velmora.core.Sampler";
    SamplerType.tp_basicsize = sizeof(SamplerObject);
    SamplerType.tp_dealloc = reinterpret_cast<destructor>(sampler_dealloc);
    SamplerType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    SamplerType.tp_doc =
        "Sampler(depth=0, *, every=None, every_events=None, at=None, groups=False, "
        "changed=False, measures=())\n--\n\n"
        "Rows of the top `depth` levels and the given measures, taken when asked: every "
        "`every` nanoseconds of event time, every `every_events` events, at the times `at`, "
        "at the end of each event group (Book.replay's group_ends), when the top levels "
        "change, or else after every event. Give it to Book.replay; take() the rows.";
    SamplerType.tp_methods = sampler_methods;
    SamplerType.tp_getset = sampler_getset;
    sampler_as_sequence.sq_length = reinterpret_cast<lenfunc>(sampler_len);
    SamplerType.tp_as_sequence = &sampler_as_sequence;
    SamplerType.tp_new = sampler_new;
    return PyType_Ready(&SamplerType) == 0;
}

}  // namespace velmora::core
