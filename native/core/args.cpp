// Argument binding and integer conversion for the core's methods.
#include "args.hpp"

#include <cstring>

#include "ref.hpp"

namespace velmora::core::args {

bool bind_keywords(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) noexcept {
    if (params.positional >= 0 && nargs > params.positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)",
                     params.function, params.positional, params.positional == 1 ? "" : "s", nargs);
        return false;
    }
    if (nargs > params.total) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)",
                     params.function, params.total, params.total == 1 ? "" : "s", nargs);
        return false;
    }
    for (int i = 0; i < params.total; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < params.total && PyUnicode_CompareWithASCIIString(key, params.names[i]) != 0) {
            ++i;
        }
        if (i == params.total) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         params.function, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         params.function, params.names[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (int i = 0; i < params.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)",
                         params.function, params.names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool to_int64_slow(PyObject* value, const char* what, std::int64_t* out) noexcept {
    if (!PyLong_Check(value) && !PyIndex_Check(value)) {
        if (std::strcmp(what, "price") == 0) {
            // A price in currency units (a Decimal, a float) is the usual mistake here.
            PyErr_Format(PyExc_TypeError,
                         "price must be an integer number of ticks, not %.200s: velmora.core "
                         "prices are integer ticks (price / tick_size, e.g. "
                         "int(Decimal('101.25') / Decimal('0.01')) == 10125; "
                         "Book.from_orderbook and to_orderbook take tick_size)",
                         Py_TYPE(value)->tp_name);
        } else {
            PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", what,
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) {
        PyErr_Format(PyExc_OverflowError, "%s out of range: it must fit in a signed 64-bit integer",
                     what);
        return false;
    }
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    *out = v;
    return true;
}

bool to_side_slow(PyObject* value, Side* out) noexcept {
    std::int64_t v;
    if (!to_int64(value, "side", &v)) {
        return false;
    }
    if (v != BID && v != ASK) {
        PyErr_Format(PyExc_ValueError, "side must be 0 (BID) or 1 (ASK), got %lld",
                     static_cast<long long>(v));
        return false;
    }
    *out = static_cast<Side>(v);
    return true;
}

bool to_flag(PyObject* value, const char* what, bool* out) noexcept {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be True or False, not %.200s", what,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    *out = value == Py_True;
    return true;
}

namespace {

// The first field of EVENT_DTYPE that `dtype` lacks or holds with another type or offset, as
// "field 'price' is float64 at offset 16 where EVENT_DTYPE has int64 at 16"; an empty string
// when every field agrees; nullptr with an exception set when a lookup fails.
Ref first_difference(PyObject* dtype, PyObject* event_dtype) {
    Ref names = Ref::steal(PyObject_GetAttrString(event_dtype, "names"));
    Ref wanted = Ref::steal(PyObject_GetAttrString(event_dtype, "fields"));
    Ref fields = Ref::steal(PyObject_GetAttrString(dtype, "fields"));
    if (!names || !wanted || !fields) {
        return Ref{};
    }
    if (fields.get() == Py_None) {
        return Ref::steal(PyUnicode_FromFormat("its items are %S, not records with fields", dtype));
    }
    Ref sequence = Ref::steal(PySequence_Fast(names.get(), "EVENT_DTYPE.names"));
    if (!sequence) {
        return Ref{};
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(sequence.get(), i);  // borrowed from the tuple
        Ref want = Ref::steal(PyObject_GetItem(wanted.get(), name));
        if (!want) {
            return Ref{};
        }
        Ref got = Ref::steal(PyObject_CallMethod(fields.get(), "get", "O", name));
        if (!got) {
            return Ref{};
        }
        bool pair = PyTuple_Check(want.get()) && PyTuple_GET_SIZE(want.get()) >= 2;
        if (!pair) {
            return Ref::steal(PyUnicode_FromString(""));  // not NumPy's layout: say no more
        }
        if (!PyTuple_Check(got.get()) || PyTuple_GET_SIZE(got.get()) < 2) {
            if (got.get() != Py_None) {
                return Ref::steal(
                    PyUnicode_FromFormat("field %R is described as %R", name, got.get()));
            }
            return Ref::steal(PyUnicode_FromFormat(
                "it has no field %R, where EVENT_DTYPE has %S at offset %S", name,
                PyTuple_GET_ITEM(want.get(), 0), PyTuple_GET_ITEM(want.get(), 1)));
        }
        int same = PyObject_RichCompareBool(got.get(), want.get(), Py_EQ);
        if (same < 0) {
            return Ref{};
        }
        if (!same) {
            return Ref::steal(PyUnicode_FromFormat(
                "field %R is %S at offset %S, where EVENT_DTYPE has %S at offset %S", name,
                PyTuple_GET_ITEM(got.get(), 0), PyTuple_GET_ITEM(got.get(), 1),
                PyTuple_GET_ITEM(want.get(), 0), PyTuple_GET_ITEM(want.get(), 1)));
        }
    }
    return Ref::steal(PyUnicode_FromString(""));
}

}  // namespace

void event_format_error(PyObject* exporter, PyObject* event_dtype, const char* format,
                        Py_ssize_t itemsize, std::size_t record) noexcept {
    Ref why;
    if (exporter && event_dtype && PyObject_HasAttrString(exporter, "dtype")) {
        Ref dtype = Ref::steal(PyObject_GetAttrString(exporter, "dtype"));
        why = dtype ? first_difference(dtype.get(), event_dtype) : Ref{};
        if (!why) {
            PyErr_Clear();  // the plain message below still says what is wanted
        } else if (PyUnicode_GET_LENGTH(why.get()) == 0 &&
                   itemsize == static_cast<Py_ssize_t>(record)) {
            why.reset();  // the same fields, laid out otherwise: the format tells how
        } else if (PyUnicode_GET_LENGTH(why.get()) == 0) {
            why = Ref::steal(PyUnicode_FromFormat(
                "its records are %zd bytes, not %zu: fields beyond EVENT_DTYPE's, or padding",
                itemsize, record));
            if (!why) {
                PyErr_Clear();
            }
        }
    }
    if (why) {
        PyErr_Format(PyExc_TypeError,
                     "events must be an array of velmora.core.EVENT_DTYPE or a bytes-like "
                     "buffer of %zu-byte records: %U (numpy.array(rows, "
                     "dtype=velmora.core.EVENT_DTYPE) makes one)",
                     record, why.get());
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "events must be an array of velmora.core.EVENT_DTYPE or a bytes-like "
                 "buffer of %zu-byte records, not items of format '%.100s' and size %zd",
                 record, format, itemsize);
}

}  // namespace velmora::core::args
