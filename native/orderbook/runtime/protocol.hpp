// Comparisons and mapping access exactly as Python statements make them, taking dict's own
// functions where the object is an exact dict (whose operations run no code beyond the keys'
// own __hash__ and __eq__).
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace velmora::protocol {

// `a <op> b` taken for its truth value: 1, 0, or -1 with an exception set. A real rich
// comparison: unlike PyObject_RichCompareBool there is no shortcut for identical objects.
int compare(PyObject* a, PyObject* b, int op);

// `a == b` (Py_EQ) or `a != b` (Py_NE) as compare() gives it; when neither type defines a
// comparison of its own (enumeration members do not), identity decides without running code.
int equals(PyObject* a, PyObject* b, int op);

// dict's own `d[key]` on a dict or a subclass without __missing__, KeyError included.
Ref dict_item(PyObject* dict, PyObject* key);

// `key in mapping`, `mapping[key]`, `mapping[key] = value`, `del mapping[key]`.
inline int contains(PyObject* mapping, PyObject* key) {
    return PyDict_CheckExact(mapping) ? PyDict_Contains(mapping, key)
                                      : PySequence_Contains(mapping, key);
}
inline Ref item(PyObject* mapping, PyObject* key) {
    return PyDict_CheckExact(mapping) ? dict_item(mapping, key)
                                      : Ref::steal(PyObject_GetItem(mapping, key));
}
inline bool set_item(PyObject* mapping, PyObject* key, PyObject* value) {
    return (PyDict_CheckExact(mapping) ? PyDict_SetItem(mapping, key, value)
                                       : PyObject_SetItem(mapping, key, value)) == 0;
}
inline bool del_item(PyObject* mapping, PyObject* key) {
    return (PyDict_CheckExact(mapping) ? PyDict_DelItem(mapping, key)
                                       : PyObject_DelItem(mapping, key)) == 0;
}

}  // namespace velmora::protocol
