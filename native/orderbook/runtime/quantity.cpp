// Quantity conversion and arithmetic: the int range check, __int__ with its result rules and
// messages, and the native-or-Python operations on quantities.
#include "runtime/quantity.hpp"

#include <climits>

#include "private/cpython.hpp"

namespace velmora::quantity {
namespace {

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

}  // namespace

MaybeQty combine_objects(const Qty& a, const Qty& b, bool adding) {
    Ref x = a.to_object();
    Ref y = x ? b.to_object() : Ref();
    Ref r = y ? Ref::steal(adding ? PyNumber_InPlaceAdd(x.get(), y.get())
                                  : PyNumber_InPlaceSubtract(x.get(), y.get()))
              : Ref();
    return r ? MaybeQty(Qty::object(std::move(r))) : std::nullopt;
}

Ref as_int(PyObject* value) {
    if (PyLong_Check(value)) {
        return Ref::borrow(value);
    }
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    Ref result = nb && nb->nb_int ? Ref::steal(nb->nb_int(value)) : Ref();
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return Ref();
    }
    if (PyLong_CheckExact(result.get())) {
        return result;
    }
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0) {
        return Ref();
    }
    return result;
}

bool convert(PyObject* value, std::int32_t* out) {
    // A small int (or int subclass instance) is inside the range: its value is read directly.
    Py_ssize_t small = 0;
    if (PyLong_Check(value) && cpython::small_int(value, &small)) {
        *out = static_cast<std::int32_t>(small);
        return true;
    }
    Ref number = as_int(value);
    return number && from_long(number.get(), out);
}

int compare_objects(const Qty& a, const Qty& b, int op) {
    Ref x = a.to_object();
    Ref y = x ? b.to_object() : Ref();
    Ref result = y ? Ref::steal(PyObject_RichCompare(x.get(), y.get(), op)) : Ref();
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace velmora::quantity
