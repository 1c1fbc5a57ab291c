// Pickle support for Order and PriceLevel.
#pragma once

#include <Python.h>

namespace velmora::pickling {

// Installs __reduce__ and __setstate__ on a readied native type (Order or PriceLevel),
// unless the type already customises pickling.
bool setup(PyTypeObject* type);

// Binds __pyx_unpickle_Order and __pyx_unpickle_PriceLevel in the module namespace.
bool bind_reconstructors();

}  // namespace velmora::pickling
