// The one way the engine reads and writes the fields of Order and PriceLevel records: straight
// from the struct for an exact record, whose attributes are exactly its fields (nobody can
// tell the difference), and through attribute access for anything else, where a subclass's
// property or a stand-in object must be asked.
#pragma once

#include <Python.h>

#include <cstdint>

#include "records/order.hpp"
#include "records/price_level.hpp"
#include "ref.hpp"
#include "runtime/names.hpp"
#include "runtime/quantity.hpp"

namespace velmora::fields {

template <typename Record>
bool is_exact(PyObject* o);
template <>
inline bool is_exact<OrderObject>(PyObject* o) {
    return is_exact_order(o);
}
template <>
inline bool is_exact<PriceLevelObject>(PyObject* o) {
    return is_exact_level(o);
}

template <auto Field>
struct FieldOf;
template <typename R, typename T, T R::* F>
struct FieldOf<F> {
    using Record = R;
};

// `obj.<name>` for an object field.
template <auto Field, PyObject** Name>
Ref get(PyObject* obj) {
    using Record = typename FieldOf<Field>::Record;
    if (is_exact<Record>(obj)) {
        PyObject* value = reinterpret_cast<Record*>(obj)->*Field;
        return Ref::borrow(value ? value : Py_None);
    }
    return Ref::steal(PyObject_GetAttr(obj, *Name));
}

// `obj.<name> = value` for an object field.
template <auto Field, PyObject** Name>
bool set(PyObject* obj, PyObject* value) {
    using Record = typename FieldOf<Field>::Record;
    if (is_exact<Record>(obj)) {
        Py_XSETREF(reinterpret_cast<Record*>(obj)->*Field, Py_NewRef(value));
        return true;
    }
    return PyObject_SetAttr(obj, *Name, value) == 0;
}

// `obj.<name>` for a quantity field, as a native number when read from the struct.
template <auto Field, PyObject** Name>
quantity::MaybeQty get_quantity(PyObject* obj) {
    using Record = typename FieldOf<Field>::Record;
    if (is_exact<Record>(obj)) {
        return quantity::Qty::native(reinterpret_cast<Record*>(obj)->*Field);
    }
    Ref value = Ref::steal(PyObject_GetAttr(obj, *Name));
    return value ? quantity::MaybeQty(quantity::Qty::object(std::move(value))) : std::nullopt;
}

// `obj.<name> = q` for a quantity field. A native value that fits goes into the struct;
// anything else goes through the attribute, whose setter converts it and raises (with its own
// traceback entry) exactly as an assignment from Python would.
template <auto Field, PyObject** Name>
bool set_quantity(PyObject* obj, const quantity::Qty& q) {
    using Record = typename FieldOf<Field>::Record;
    if (q.is_native() && q.value() >= INT32_MIN && q.value() <= INT32_MAX &&
        is_exact<Record>(obj)) {
        reinterpret_cast<Record*>(obj)->*Field = static_cast<std::int32_t>(q.value());
        return true;
    }
    Ref value = q.to_object();
    return value && PyObject_SetAttr(obj, *Name, value.get()) == 0;
}

// The fields the engine uses, by name.
inline Ref side_of(PyObject* order) { return get<&OrderObject::side, &names::side>(order); }
inline Ref price_of(PyObject* order) { return get<&OrderObject::price, &names::price>(order); }
inline Ref id_of(PyObject* order) { return get<&OrderObject::order_id, &names::order_id>(order); }
inline Ref status_of(PyObject* order) { return get<&OrderObject::status, &names::status>(order); }
inline Ref queue_of(PyObject* level) { return get<&PriceLevelObject::queue, &names::queue>(level); }

inline quantity::MaybeQty remaining_of(PyObject* order) {
    return get_quantity<&OrderObject::remaining_quantity, &names::remaining_quantity>(order);
}
inline quantity::MaybeQty total_of(PyObject* level) {
    return get_quantity<&PriceLevelObject::total_quantity, &names::total_quantity>(level);
}
inline bool set_remaining(PyObject* order, const quantity::Qty& q) {
    return set_quantity<&OrderObject::remaining_quantity, &names::remaining_quantity>(order, q);
}
inline bool set_total(PyObject* level, const quantity::Qty& q) {
    return set_quantity<&PriceLevelObject::total_quantity, &names::total_quantity>(level, q);
}

}  // namespace velmora::fields
