// Argument binding and integer conversion for the core's methods.
#include "args.hpp"

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
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", what,
                     Py_TYPE(value)->tp_name);
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

}  // namespace velmora::core::args
