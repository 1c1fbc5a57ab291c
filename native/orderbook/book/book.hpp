// The OrderBook class, assembled at import from the engine's native functions.
#pragma once

#include <Python.h>

namespace velmora::book {

// Builds the class OrderBook from its ten native functions and binds it.
bool make_class();

}  // namespace velmora::book
