// The PriceLevel record type and its table of native entry points.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstdint>

#include "runtime/function.hpp"

namespace velmora {

struct PriceLevelObject;

// Native entry points, in the order add_order, remove_order, peek, pop. With
// `skip_dispatch` false, a Python subclass's override of the method is honoured.
// Failure is reported through the error indicator: add_order returns nothing,
// remove_order returns false (test PyErr_Occurred), peek and pop return null.
// add_order queues the order under `order_id`, read from it by the caller beforehand.
struct PriceLevelEntryPoints {
    void (*add_order)(PriceLevelObject* self, PyObject* order, PyObject* order_id,
                      bool skip_dispatch);
    bool (*remove_order)(PriceLevelObject* self, PyObject* order_id, bool skip_dispatch);
    PyObject* (*peek)(PriceLevelObject* self, bool skip_dispatch);
    PyObject* (*pop)(PriceLevelObject* self, bool skip_dispatch);
};

// The resting orders of one side at one price. `queue` maps order_id to order in arrival
// order, oldest first; `total_quantity` is the sum of the queued orders' remaining quantities
// as long as every change goes through add_order, remove_order and pop, and whoever lowers a
// queued order's quantity lowers the total by as much (the type itself enforces none of it).
struct PriceLevelObject {
    PyObject_HEAD
    const PriceLevelEntryPoints* entry_points;
    PyObject* price;
    PyObject* queue;
    std::int32_t total_quantity;
    PyObject* side;
};

extern PyTypeObject PriceLevelType;

// A PriceLevel, or an instance of a subclass: the cast is checked when assertions are on.
inline PriceLevelObject* as_level(PyObject* o) {
    assert(PyObject_TypeCheck(o, &PriceLevelType));
    return reinterpret_cast<PriceLevelObject*>(o);
}

// A plain PriceLevel: no instance dict, no overrides; its fields may be used directly.
inline bool is_exact_level(PyObject* o) { return Py_IS_TYPE(o, &PriceLevelType); }

namespace price_level {

// The Python-visible methods (qualified names "PriceLevel.remove_order", ...). A native
// caller holding an exact PriceLevel may run one through function::call_body instead of
// a Python-level call: nobody can tell, and the traceback entry is the same.
extern function::Def remove_order_def;
extern function::Def peek_def;
extern function::Def pop_def;

// `level.add_order(order)` as the book makes it, through the level's add_order entry point: a
// level whose class overrides add_order gets the call; otherwise the order is queued under
// `order_id`, the identifier the caller has already read and indexes it by, so that the queue
// and the index agree whatever the order's attribute says by now. Anything other than a
// PriceLevel gets an ordinary method call. Returns false with an exception set.
bool add_order(PyObject* level, PyObject* order, PyObject* order_id);

// Whether `level.queue[order_id]` is `order`: 1 yes, 0 no (absent or another object), -1 error.
int holds(PyObject* level, PyObject* order_id, PyObject* order);

// Readies the type; every instance it allocates carries the table of entry points.
bool ready();

// Places the Python-visible add_order, remove_order, peek and pop on the type.
bool place_methods();

}  // namespace price_level
}  // namespace velmora
