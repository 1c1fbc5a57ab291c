// Comparisons and mapping access with the interpreter's semantics.
#include "runtime/protocol.hpp"

#include "private/decimal_keys.hpp"

namespace velmora::protocol {

int compare(PyObject* a, PyObject* b, int op) {
    int native = decimal_keys::compare(a, b, op);  // two exact Decimals, when it can tell
    if (native >= 0) {
        return native;
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

int equals(PyObject* a, PyObject* b, int op) {
    richcmpfunc own = PyBaseObject_Type.tp_richcompare;
    richcmpfunc fa = Py_TYPE(a)->tp_richcompare;
    richcmpfunc fb = Py_TYPE(b)->tp_richcompare;
    if ((!fa || fa == own) && (!fb || fb == own)) {
        return (a == b) == (op == Py_EQ);
    }
    return compare(a, b, op);
}

Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && !PyErr_Occurred()) {
        Ref args = Ref::steal(PyTuple_Pack(1, key));  // as dict raises it, even for a tuple key
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return Ref::borrow(value);
}

}  // namespace velmora::protocol
