// Unpacking a two-item iterable the way `a, b = value` does, with the interpreter's messages.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace velmora::unpack {

// `first, second = value`: true with both set, or false with the interpreter's exception
// ("cannot unpack non-iterable ...", "not enough values to unpack ...", "too many values
// to unpack ...", or whatever iterating raised).
bool pair(PyObject* value, Ref& first, Ref& second);

}  // namespace velmora::unpack
