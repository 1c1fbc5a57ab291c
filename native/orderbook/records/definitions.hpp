// Enumerations, the Trade data class and the order identifier source.
#pragma once

#include <Python.h>

#include "runtime/function.hpp"

namespace velmora::definitions {

// OrderSide, OrderStatus, TradeType, each as a `class X(Enum):` statement makes it.
bool make_enumerations();

// `_order_counter = 0` and the function `_next_id`.
bool make_order_id_source();

// The Trade data class.
bool make_trade();

// `type(name, (), namespace)`: a plain class with no bases besides object.
Ref plain_class(PyObject* name, PyObject* ns);

// `cls(*values)` for the six Trade constructor values, where `cls` is what the name
// `Trade` was bound to when the call began. While that is the module's own, unmodified data
// class, the record is built without running the generated __init__ frame; the result
// cannot be told apart (same class, the same attributes set in the same order, the
// timestamp from the field's own default factory at this moment).
Ref new_trade(PyObject* cls, PyObject* const* values);

// The members the engine and the records read, e.g. OrderStatus.FILLED: the enumeration is
// looked up at each use (whatever the name is bound to now) and its member kept against the
// class's and metaclass's version tags.
enum Member { kBid, kOpen, kPartiallyFilled, kFilled, kCancelled, kLimit, kMarket, kMemberCount };
Ref member(Member m);

// The function `_next_id`: its body, signature and traceback site.
extern function::Def next_id_def;

}  // namespace velmora::definitions
