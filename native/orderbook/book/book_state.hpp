// What the parts of the OrderBook engine share: the book's state as they reach it (the sides,
// the index of resting orders), the members of the enumerations, the order and level
// operations they combine, and the engine's methods that they call on self.
//
// Every operation works on caller-visible Python objects: the sides are SortedDicts, orders
// and levels may be subclasses or stand-ins, and any comparison, attribute access or name
// lookup can run Python code that changes the book under our feet. So each step does what the
// equivalent Python statement would, in the same order, holding a strong reference to
// everything it uses afterwards; shortcuts are taken only where nobody can tell.
#pragma once

#include <Python.h>

#include <cstdint>

#include "private/instance.hpp"
#include "records/definitions.hpp"
#include "ref.hpp"
#include "runtime/function.hpp"
#include "runtime/lookup.hpp"
#include "runtime/quantity.hpp"

namespace velmora::book {

// The methods of OrderBook, each defined with its subsystem: construction and best prices in
// book.cpp, _match in matching.cpp, limit and market entry in entry.cpp, cancel_order in
// cancel.cpp.
extern function::Def init_def, best_bid_def, best_ask_def, match_def, add_limit_order_def,
    update_limit_order_def, add_market_order_def, cancel_order_def;

// Puts the check of a restored book's attributes (snapshot.cpp) on the function type, as
// `_check_restored_book(attributes)`: None, or ValueError "damaged OrderBook snapshot: ...".
// Whole-book pickling reaches it there, which leaves the module's and the class's documented
// namespaces as they are.
bool install_snapshot_check();

// Whether `price` can key a sorted side for good, by the rules a limit order's price meets
// (entry.cpp): true, or false with ValueError (or an error the comparison raised) set.
bool check_limit_price(PyObject* price);

// Operations that change a book's state bump this count, so that code which has called out
// to Python can tell cheaply whether the engine ran in the meantime.
extern std::uint64_t changes;

// The classes bound at import that the engine takes shortcuts for: SortedDict (the sides)
// and, when it is the immutable built-in one, Decimal.
extern lookup::PlainDictType sorted_dict;
extern Global decimal_type;

Ref attr(PyObject* obj, PyObject* name);

// The book's own attributes, `self.bids` and so on, read and written through inline caches
// (private/instance.hpp): straight from the instance while its class is unchanged and it
// keeps its attributes inline, by attribute access otherwise.
enum Attr { kBids, kAsks, kOrders, kBestBid, kBestAsk, kTradeLog, kAttrCount };
extern instance::Site attr_sites[kAttrCount];
inline Ref attr(PyObject* self, Attr a) {
    instance::Site& site = attr_sites[a];
    if (PyObject* value = site.value(self)) {
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetAttr(self, site.name()));
}
inline bool set_attr(PyObject* self, Attr a, PyObject* value) {
    instance::Site& site = attr_sites[a];
    return site.store(self, value) || PyObject_SetAttr(self, site.name(), value) == 0;
}

// The book's methods as called on self (`self.best_ask()`, `self._match(order)`), each
// looked up through an inline cache; the native body runs directly when the lookup finds the
// module's own function.
enum Method { kBestBidMethod, kBestAskMethod, kMatchMethod, kUpdateLimitOrderMethod, kMethodCount };
Ref call(PyObject* self, Method m, PyObject* arg = nullptr);

// The body of a public engine operation. With assertions on, the book's invariants (stated in
// book.cpp) are checked around it: if they held before a successful call, they hold after it.
#ifndef NDEBUG
PyObject* check_invariants(function::Body body, PyObject* self, PyObject* const* args);
template <function::Body body>
PyObject* checked(PyObject* self, PyObject* const* args) {
    return check_invariants(body, self, args);
}
#else
template <function::Body body>
PyObject* checked(PyObject* self, PyObject* const* args) {
    return body(self, args);
}
#endif

// The members the engine reads (definitions.hpp).
using definitions::Member;
using definitions::member;
using enum definitions::Member;

// `order.side == OrderSide.BID`: 1, 0, or -1 with an exception set.
int is_bid(PyObject* order);
// order.status = OrderStatus.<m>
bool set_status(PyObject* order, Member m);
// `order.remaining_quantity > 0`: 1, 0, or -1.
int has_quantity(PyObject* order);
// level.total_quantity -= source.remaining_quantity
bool lower_total(PyObject* level, PyObject* source);
// target.remaining_quantity -= source.remaining_quantity
bool lower_remaining(PyObject* target, PyObject* source);

// `key in side` and `side[key]` on a sorted side.
int side_contains(PyObject* side, PyObject* key);
Ref side_item(PyObject* side, PyObject* key);
// `next(iter(side.keys())) if side else None`: the best price of a sorted side.
Ref first_key_or_none(PyObject* side);

// `entry[1]`: an index entry is a (level, order) tuple.
Ref second_item(PyObject* entry);
// self.orders[order_id] = (level, order)
bool index_order(PyObject* self, PyObject* level, PyObject* order, PyObject* order_id);

// `bool(level.queue)`: 1, 0, or -1 with an exception set.
int level_has_orders(PyObject* level);

}  // namespace velmora::book
