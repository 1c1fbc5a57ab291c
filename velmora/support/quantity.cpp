// Quantity conversion: int range check, __int__ with its result rules, and the messages.
#include "support/quantity.hpp"

#include <climits>

#include "support/ref.hpp"

namespace velmora::quantity {

bool from_long(PyObject* value, std::int32_t* out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow || v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool convert(PyObject* value, std::int32_t* out) {
    if (PyLong_Check(value)) {
        return from_long(value, out);
    }
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref result = Ref::steal(nb->nb_int(value));
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return false;
    }
    if (!PyLong_CheckExact(result.get())) {
        if (!PyLong_Check(result.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(result.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0) {
            return false;
        }
    }
    return from_long(result.get(), out);
}

}  // namespace velmora::quantity
