// The Order record type.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstdint>

namespace velmora {

struct OrderObject {
    PyObject_HEAD
    PyObject* side;
    std::int32_t original_quantity;
    PyObject* price;
    std::int32_t remaining_quantity;
    PyObject* order_id;  // exactly a str, or None
    PyObject* status;
};

extern PyTypeObject OrderType;

// An Order, or an instance of a subclass: the cast is checked when assertions are on.
inline OrderObject* as_order(PyObject* o) {
    assert(PyObject_TypeCheck(o, &OrderType));
    return reinterpret_cast<OrderObject*>(o);
}

// A plain Order: its attributes are exactly its fields, so native code may read and
// write them directly without anyone being able to tell.
inline bool is_exact_order(PyObject* o) { return Py_IS_TYPE(o, &OrderType); }

namespace order {
bool ready();
}  // namespace order

}  // namespace velmora
