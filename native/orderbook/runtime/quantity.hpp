// Quantities: the conversion of a Python value to the signed 32-bit integers that Order and
// PriceLevel store, the __int__ protocol it shares with the pickle checksums, and arithmetic
// on quantities read from records.
#pragma once

#include <Python.h>

#include <climits>
#include <cstdint>
#include <optional>

#include "ref.hpp"

namespace velmora::quantity {

// `value` as an int: itself when it is an int (or a subclass), else what its type's __int__
// returns (never __index__), refused or warned about as the interpreter does.
Ref as_int(PyObject* value);

// Converts `value` to a 32-bit quantity; false with an exception set (TypeError "an integer
// is required", OverflowError "value too large to convert to int", or __int__'s own).
bool convert(PyObject* value, std::int32_t* out);

// A quantity as read from an order or a level. Read from the field of an exact record it is a
// native number: an int runs no code when compared or combined, so native arithmetic cannot
// be told apart. Read from anything else it is whatever object the attribute gave, and every
// operation on it goes through Python.
class Qty {
  public:
    static Qty native(std::int64_t v) {
        Qty q;
        q.native_ = v;
        return q;
    }
    static Qty object(Ref o) {
        Qty q;
        q.object_ = std::move(o);
        return q;
    }
    bool is_native() const { return !object_; }
    std::int64_t value() const { return native_; }
    // The quantity as a Python object (a new int for a native one); null with an error.
    Ref to_object() const {
        return object_ ? Ref::borrow(object_.get()) : Ref::steal(PyLong_FromLongLong(native_));
    }
    // The quantity converted for a field: false with an exception set.
    bool to_int32(std::int32_t* out) const {
        if (object_) {
            return convert(object_.get(), out);
        }
        if (native_ < INT32_MIN || native_ > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
            return false;
        }
        *out = static_cast<std::int32_t>(native_);
        return true;
    }

  private:
    std::int64_t native_ = 0;
    Ref object_;
};

using MaybeQty = std::optional<Qty>;

// The operations below take native numbers inline, on the engine's every step, and leave
// anything else to Python out of line.
int compare_objects(const Qty& a, const Qty& b, int op);
MaybeQty combine_objects(const Qty& a, const Qty& b, bool adding);

// `a <op> b` for any rich comparison: 1, 0, or -1 with an exception set.
inline int compare(const Qty& a, const Qty& b, int op) {
    if (!a.is_native() || !b.is_native()) {
        return compare_objects(a, b, op);
    }
    std::int64_t x = a.value(), y = b.value();
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// `a += b` or `a -= b`, with Python's in-place operator unless both are native.
inline MaybeQty add(const Qty& a, const Qty& b) {
    if (a.is_native() && b.is_native()) {
        return Qty::native(a.value() + b.value());
    }
    return combine_objects(a, b, true);
}
inline MaybeQty subtract(const Qty& a, const Qty& b) {
    if (a.is_native() && b.is_native()) {
        return Qty::native(a.value() - b.value());
    }
    return combine_objects(a, b, false);
}

}  // namespace velmora::quantity
