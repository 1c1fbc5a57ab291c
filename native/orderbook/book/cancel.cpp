// Cancellation: cancel_order withdraws a resting order by identifier, deleting its level when
// it empties and moving the side's cached best price when that level was the best.
#include "book/book_state.hpp"
#include "records/fields.hpp"
#include "records/price_level.hpp"
#include "runtime/args.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/names.hpp"
#include "runtime/protocol.hpp"

namespace velmora::book {
namespace {

// The order is withdrawn only when the book holds it where the index says: queued under the
// identifier asked for, in the level filed at its price on its side, and still carrying that
// identifier. An order moved or renamed while it rested fails that test with KeyError before
// anything is marked or removed. The price and identifier are read once; the rest of the
// cancellation uses those values, so a later change cannot send it to another level.
PyObject* cancel_order_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order_id = args[1];
    if (!args::check_type(order_id, &PyUnicode_Type, "order_id", false, true)) {
        return nullptr;
    }
    Ref orders = attr(self, kOrders);
    int resting = orders ? protocol::contains(orders.get(), order_id) : -1;
    if (resting <= 0) {
        return resting < 0 ? nullptr : Py_NewRef(Py_False);
    }
    ++changes;
    orders = attr(self, kOrders);
    Ref entry = orders ? protocol::item(orders.get(), order_id) : Ref();
    Ref order_ref = entry ? second_item(entry.get()) : Ref();
    if (!order_ref) {
        return nullptr;
    }
    PyObject* order = order_ref.get();
    int bid = is_bid(order);
    Ref side = bid < 0 ? Ref() : attr(self, bid ? kBids : kAsks);
    Attr cache = bid ? kBestBid : kBestAsk;
    Ref price = side ? fields::price_of(order) : Ref();
    Ref level = price ? side_item(side.get(), price.get()) : Ref();
    Ref id = level ? fields::id_of(order) : Ref();
    if (!id) {
        return nullptr;
    }
    int queued = price_level::holds(level.get(), order_id, order);
    if (queued < 0) {
        return nullptr;
    }
    bool same_id = id.get() == order_id ||
                   (PyUnicode_CheckExact(id.get()) && PyUnicode_Compare(id.get(), order_id) == 0);
    if (!queued || !same_id) {
        PyErr_Format(PyExc_KeyError,
                     "order %R is not queued under that identifier at its price %R; it was moved "
                     "or renamed while resting",
                     order_id, price.get());
        return nullptr;
    }
    if (!set_status(order, kCancelled) ||
        !dispatch::call_method(level.get(), names::remove_order, price_level::remove_order_def,
                               order_id)) {
        return nullptr;
    }
    level = side_item(side.get(), price.get());
    quantity::MaybeQty total = level ? fields::total_of(level.get()) : std::nullopt;
    int emptied = total ? quantity::compare(*total, quantity::Qty::native(0), Py_EQ) : -1;
    if (emptied < 0) {
        return nullptr;
    }
    if (emptied) {
        if (PyObject_DelItem(side.get(), price.get()) < 0) {
            return nullptr;
        }
        Ref best = attr(self, cache);
        int was_best = best ? protocol::compare(price.get(), best.get(), Py_EQ) : -1;
        if (was_best < 0) {
            return nullptr;
        }
        if (was_best) {
            Ref new_best = first_key_or_none(side.get());
            if (!new_best || !set_attr(self, cache, new_best.get())) {
                return nullptr;
            }
        }
    }
    orders = attr(self, kOrders);
    if (!orders || !protocol::del_item(orders.get(), order_id)) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

PyObject** const order_id_params[] = {&names::self, &names::order_id};
const char* const cancel_annotations[] = {"order_id", "str", "return", "bool", nullptr};

}  // namespace

function::Def cancel_order_def{
    "cancel_order",
    "OrderBook.cancel_order",
    args::signature("cancel_order", order_id_params),
    checked<cancel_order_body>,
    cancel_annotations,
    "(self, order_id)",
    {"velmora.orderbook.OrderBook.cancel_order", "native/orderbook/book/cancel.cpp", __LINE__},
};

}  // namespace velmora::book
