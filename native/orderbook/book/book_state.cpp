// The operations on a book's state that matching, entry and cancellation share.
#include "book/book_state.hpp"

#include "private/decimal_keys.hpp"
#include "records/fields.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/names.hpp"
#include "runtime/protocol.hpp"
#include "runtime/state.hpp"

namespace velmora::book {

std::uint64_t changes = 0;
lookup::PlainDictType sorted_dict;
Global decimal_type;

Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

instance::Site attr_sites[kAttrCount] = {
    instance::Site(&names::bids),      instance::Site(&names::asks),
    instance::Site(&names::orders),    instance::Site(&names::_best_bid),
    instance::Site(&names::_best_ask), instance::Site(&names::trade_log),
};

Ref call(PyObject* self, Method m, PyObject* arg) {
    static instance::Site sites[kMethodCount] = {
        instance::Site(&names::best_bid), instance::Site(&names::best_ask),
        instance::Site(&names::_match), instance::Site(&names::_update_limit_order)};
    static function::Def* const defs[kMethodCount] = {&best_bid_def, &best_ask_def, &match_def,
                                                      &update_limit_order_def};
    return dispatch::call_method(self, sites[m], *defs[m], arg);
}

int is_bid(PyObject* order) {
    Ref side = fields::side_of(order);
    Ref bid = side ? member(kBid) : Ref();
    return bid ? protocol::equals(side.get(), bid.get(), Py_EQ) : -1;
}

bool set_status(PyObject* order, Member m) {
    Ref value = member(m);
    return value && fields::set<&OrderObject::status, &names::status>(order, value.get());
}

int has_quantity(PyObject* order) {
    quantity::MaybeQty q = fields::remaining_of(order);
    return q ? quantity::compare(*q, quantity::Qty::native(0), Py_GT) : -1;
}

bool lower_total(PyObject* level, PyObject* source) {
    quantity::MaybeQty total = fields::total_of(level);
    quantity::MaybeQty q = total ? fields::remaining_of(source) : std::nullopt;
    quantity::MaybeQty result = q ? quantity::subtract(*total, *q) : std::nullopt;
    return result && fields::set_total(level, *result);
}

bool lower_remaining(PyObject* target, PyObject* source) {
    quantity::MaybeQty current = fields::remaining_of(target);
    quantity::MaybeQty q = current ? fields::remaining_of(source) : std::nullopt;
    quantity::MaybeQty result = q ? quantity::subtract(*current, *q) : std::nullopt;
    return result && fields::set_remaining(target, *result);
}

// A side's membership test and item lookup go through `__contains__` and `__getitem__`.
// SortedDict inherits both from dict, but dict's own are methods, so the interpreter finds
// them by a lookup and a call on every use; for the SortedDict class bound at import, while
// nothing replaces them, dict's lookup runs directly. For an exact Decimal price, the slot
// that look-up would examine first usually settles it without a comparison call
// (private/decimal_keys.hpp).
int side_contains(PyObject* side, PyObject* key) {
    if (!sorted_dict.matches(side)) {
        return PySequence_Contains(side, key);
    }
    PyObject* level = nullptr;
    int found = decimal_keys::probe(side, key, &level);
    return found >= 0 ? found : PyDict_Contains(side, key);
}

Ref side_item(PyObject* side, PyObject* key) {
    if (!sorted_dict.matches(side)) {
        return Ref::steal(PyObject_GetItem(side, key));
    }
    PyObject* level = nullptr;
    return decimal_keys::probe(side, key, &level) == 1 ? Ref::borrow(level)
                                                       : protocol::dict_item(side, key);
}

Ref first_key_or_none(PyObject* side) {
    int non_empty = PyObject_IsTrue(side);
    if (non_empty <= 0) {
        return non_empty < 0 ? Ref() : Ref::borrow(Py_None);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(side, names::keys));
    Ref it = keys ? Ref::steal(PyObject_GetIter(keys.get())) : Ref();
    if (!it) {
        return Ref();
    }
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return first;
}

Ref second_item(PyObject* entry) {
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 1) {
        return Ref::borrow(PyTuple_GET_ITEM(entry, 1));
    }
    return Ref::steal(PyObject_GetItem(entry, state::one.get()));
}

bool index_order(PyObject* self, PyObject* level, PyObject* order, PyObject* order_id) {
    Ref entry = Ref::steal(PyTuple_Pack(2, level, order));
    Ref orders = entry ? attr(self, kOrders) : Ref();
    return orders && protocol::set_item(orders.get(), order_id, entry.get());
}

int level_has_orders(PyObject* level) {
    Ref queue = fields::queue_of(level);
    return queue ? PyObject_IsTrue(queue.get()) : -1;
}

}  // namespace velmora::book
