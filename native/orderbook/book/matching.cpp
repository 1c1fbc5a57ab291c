// Matching: _match fills one incoming order against the best level of the opposite side,
// oldest resting order first, recording a Trade per fill and removing what is used up.
#include "book/book_state.hpp"
#include "records/definitions.hpp"
#include "records/fields.hpp"
#include "records/order.hpp"
#include "records/price_level.hpp"
#include "runtime/args.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/names.hpp"
#include "runtime/protocol.hpp"

namespace velmora::book {
namespace {

// del self.orders[curr.order_id]
bool forget_order(PyObject* self, PyObject* curr) {
    Ref orders = attr(self, kOrders);
    Ref order_id = orders ? fields::id_of(curr) : Ref();
    return order_id && protocol::del_item(orders.get(), order_id.get());
}

// log = Trade(curr.price, quantity, order.side, order.order_id, curr.order_id,
//             TradeType.MARKET if order.price is None else TradeType.LIMIT)
// self.trade_log.append(log)
bool record_trade(PyObject* self, PyObject* order, PyObject* curr, const quantity::Qty& quantity) {
    Ref cls = names::lookup_global(names::Trade);  // the callable is evaluated first
    if (!cls) {
        return false;
    }
    Ref price = fields::price_of(curr);
    Ref q = price ? quantity.to_object() : Ref();
    Ref side = q ? fields::side_of(order) : Ref();
    Ref aggressor_id = side ? fields::id_of(order) : Ref();
    Ref filler_id = aggressor_id ? fields::id_of(curr) : Ref();
    Ref order_price = filler_id ? fields::price_of(order) : Ref();
    if (!order_price) {
        return false;
    }
    Ref trade_type = member(order_price.get() == Py_None ? kMarket : kLimit);
    if (!trade_type) {
        return false;
    }
    PyObject* values[] = {price.get(),        q.get(),         side.get(),
                          aggressor_id.get(), filler_id.get(), trade_type.get()};
    Ref log = definitions::new_trade(cls.get(), values);
    Ref trade_log = log ? attr(self, kTradeLog) : Ref();
    if (!trade_log) {
        return false;
    }
    if (PyList_CheckExact(trade_log.get())) {
        return PyList_Append(trade_log.get(), log.get()) == 0;
    }
    return bool(Ref::steal(PyObject_CallMethodOneArg(trade_log.get(), names::append, log.get())));
}

// The order at the head of a level must be the one the index holds under its identifier.
// One renamed while it rested would be filled and then fail to leave the index half-way
// through the fill; it is refused before the fill instead, with KeyError.
bool check_indexed(PyObject* self, PyObject* curr) {
    Ref order_id = fields::id_of(curr);
    Ref orders = order_id ? attr(self, kOrders) : Ref();
    if (!orders) {
        return false;
    }
    Ref entry = protocol::item(orders.get(), order_id.get());
    Ref indexed = entry ? second_item(entry.get()) : Ref();
    if (indexed && indexed.get() == curr) {
        return true;
    }
    if (!indexed) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_IndexError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError)) {
            return false;
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_KeyError,
                 "order %R at the head of its level is not in the index under that identifier; "
                 "it was renamed while resting",
                 order_id.get());
    return false;
}

// Compares curr's remaining quantity with order's under `op`, reading both afresh each time
// (a conversion may run code that changes them): 1 or 0, or -1 with an error set.
int compare_remaining(PyObject* curr, PyObject* order, int op) {
    quantity::MaybeQty resting = fields::remaining_of(curr);
    quantity::MaybeQty incoming = resting ? fields::remaining_of(order) : std::nullopt;
    return incoming ? quantity::compare(*resting, *incoming, op) : -1;
}

// One fill of `order` against the oldest order of `level`.
bool fill_once(PyObject* self, PyObject* order, PyObject* level) {
    Ref curr_ref = dispatch::call_method(level, names::peek, price_level::peek_def);
    if (!curr_ref || !check_indexed(self, curr_ref.get())) {
        return false;
    }
    PyObject* curr = curr_ref.get();

    // quantity = order.remaining_quantity if curr.rq >= order.rq else curr.rq
    int resting_covers = compare_remaining(curr, order, Py_GE);
    if (resting_covers < 0) {
        return false;
    }
    quantity::MaybeQty quantity =
        resting_covers ? fields::remaining_of(order) : fields::remaining_of(curr);
    if (!quantity || !record_trade(self, order, curr, *quantity)) {
        return false;
    }

    int larger = compare_remaining(curr, order, Py_GT);
    if (larger < 0) {
        return false;
    }
    if (larger) {
        // The resting order absorbs the whole incoming order and keeps its place.
        return set_status(order, kFilled) && set_status(curr, kPartiallyFilled) &&
               lower_total(level, order) && lower_remaining(curr, order) &&
               fields::set_remaining(order, quantity::Qty::native(0));
    }

    int equal = compare_remaining(curr, order, Py_EQ);
    if (equal < 0) {
        return false;
    }
    if (equal) {
        if (!set_status(order, kFilled) || !set_status(curr, kFilled) ||
            !lower_total(level, curr) || !fields::set_remaining(curr, quantity::Qty::native(0)) ||
            !fields::set_remaining(order, quantity::Qty::native(0)) || !forget_order(self, curr)) {
            return false;
        }
    } else {
        if (!set_status(order, kPartiallyFilled) || !set_status(curr, kFilled) ||
            !lower_total(level, curr) || !lower_remaining(order, curr) ||
            !fields::set_remaining(curr, quantity::Qty::native(0)) || !forget_order(self, curr)) {
            return false;
        }
    }
    // The used-up order has nothing left, so the pop lowers the total by nothing more.
    return bool(dispatch::call_method(level, names::pop, price_level::pop_def));
}

PyObject* match_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order = args[1];
    if (!args::check_type(order, &OrderType, "order", false, false)) {
        return nullptr;
    }
    ++changes;
    int bid = is_bid(order);
    Ref opposite = bid < 0 ? Ref() : attr(self, bid ? kAsks : kBids);
    if (!opposite || (bid = is_bid(order)) < 0) {
        return nullptr;
    }
    Ref best = call(self, bid ? kBestAskMethod : kBestBidMethod);
    Ref level = best ? side_item(opposite.get(), best.get()) : Ref();
    if (!level) {
        return nullptr;
    }
    for (;;) {
        int more = level_has_orders(level.get());
        if (more > 0) {
            more = has_quantity(order);
        }
        if (more < 0) {
            return nullptr;
        }
        if (!more) {
            break;
        }
        if (!fill_once(self, order, level.get())) {
            return nullptr;
        }
    }
    int more = level_has_orders(level.get());
    if (more < 0) {
        return nullptr;
    }
    if (!more) {
        if (PyObject_DelItem(opposite.get(), best.get()) < 0 || (bid = is_bid(order)) < 0) {
            return nullptr;
        }
        Ref side = attr(self, bid ? kAsks : kBids);
        Ref new_best = side ? first_key_or_none(side.get()) : Ref();
        if (!new_best || !set_attr(self, bid ? kBestAsk : kBestBid, new_best.get())) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject** const order_params[] = {&names::self, &names::order};
const char* const order_annotations[] = {"order", "Order", nullptr};

}  // namespace

function::Def match_def{
    "_match",
    "OrderBook._match",
    args::signature("_match", order_params),
    checked<match_body>,
    order_annotations,
    "(self, order)",
    {"velmora.orderbook.OrderBook._match", "native/orderbook/book/matching.cpp", __LINE__},
};

}  // namespace velmora::book
