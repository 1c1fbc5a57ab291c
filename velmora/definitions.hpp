// Enumerations, the Trade data class and the order identifier source.
#pragma once

#include <Python.h>

#include "support/function.hpp"

namespace velmora::definitions {

// OrderSide, OrderStatus, TradeType, each as a `class X(Enum):` statement makes it.
bool make_enumerations();

// `_order_counter = 0` and the function `_next_id`.
bool make_order_id_source();

// The Trade data class.
bool make_trade();

// The function `_next_id`: its body, signature and traceback site.
extern function::Def next_id_def;

}  // namespace velmora::definitions
