// The quantity conversion shared by Order, PriceLevel and the pickle states: a Python
// value to a signed 32-bit integer.
#pragma once

#include <Python.h>

#include <cstdint>

namespace velmora::quantity {

// Converts `value`; returns false with an exception set. An int (or subclass) must lie
// in the 32-bit range; anything else goes through its type's __int__ (never __index__).
bool convert(PyObject* value, std::int32_t* out);

// The same for a value known to be an int or a subclass of int.
bool from_long(PyObject* value, std::int32_t* out);

}  // namespace velmora::quantity
