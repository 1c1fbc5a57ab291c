// Two-item unpacking as the interpreter does it.
#include "runtime/unpack.hpp"

namespace velmora::unpack {

bool pair(PyObject* value, Ref& first, Ref& second) {
    if ((PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) ||
        (PyList_CheckExact(value) && PyList_GET_SIZE(value) == 2)) {
        PyObject* const* items =
            PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0) : &PyList_GET_ITEM(value, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter &&
            !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref* targets[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                             i);
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace velmora::unpack
