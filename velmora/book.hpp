// The OrderBook class: state, matching, limit and market entry, cancellation.
#pragma once

#include <Python.h>

namespace velmora::book {

// Builds the class OrderBook from its ten native functions and binds it.
bool make_class();

}  // namespace velmora::book
