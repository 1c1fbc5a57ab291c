// OrderBook: its state, construction and best prices, the invariants the engine keeps, and the
// class itself, assembled at import from the functions of the engine's parts (matching.cpp,
// entry.cpp, cancel.cpp) and of the reports (report.cpp).
//
// A book is six instance attributes set by __init__: `bids` and `asks`, SortedDicts from price
// to PriceLevel (bids keyed by negation, so that both iterate best price first); `orders`, the
// index from order_id to the pair (level, order) of every resting order; `_best_bid` and
// `_best_ask`; and `trade_log`. Between public operations the engine keeps:
//   - every resting order is in `orders` under its order_id and queued under that same id in
//     exactly one level, the one its index entry names, filed in the side of the order's side
//     under a key equal to the order's price;
//   - a level's total_quantity is the sum of its queued orders' remaining quantities, each of
//     them positive: no remaining quantity is negative;
//   - a level in a side is never empty;
//   - `_best_bid` and `_best_ask` are the first keys of `bids` and `asks`, None when empty.
// Callers can break these from outside, by changing a resting order's fields or the containers
// themselves; the engine refuses to build on such a change where it can see one, and never
// breaks them itself. A build with assertions checks them after every public operation on a
// book made of the module's own types (of up to kMaxCheckedOrders resting orders).
#include "book/book.hpp"

#include <cassert>
#include <iterator>

#include "book/book_state.hpp"
#include "book/report.hpp"
#include "private/decimal_keys.hpp"
#include "records/definitions.hpp"
#include "records/fields.hpp"
#include "records/order.hpp"
#include "records/price_level.hpp"
#include "runtime/names.hpp"

namespace velmora::book {
namespace {

// ---- Construction and best prices -------------------------------------------------------

PyObject** const x_params[] = {&names::x};
PyObject** const self_params[] = {&names::self};

PyObject* negate_body(PyObject*, PyObject* const* args) { return PyNumber_Negative(args[0]); }

// The key function of the bid side: `lambda x: -x`, a new one for every book. It pickles
// as operator.neg, which negates through the same number protocol and so sorts the same.
function::Def negate_def{
    "<lambda>",
    "OrderBook.__init__.<locals>.<lambda>",
    args::signature("<lambda>", x_params),
    negate_body,
    nullptr,
    "(x)",
    {"velmora.orderbook.OrderBook.__init__.<locals>.<lambda>", "native/orderbook/book/book.cpp",
     __LINE__},
    nullptr,
    {"operator", "neg"},
};

PyObject* init_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref sorted_dict_class = names::lookup_global(names::SortedDict);
    Ref key = sorted_dict_class ? function::make(negate_def) : Ref();
    Ref bids = key ? Ref::steal(PyObject_CallOneArg(sorted_dict_class.get(), key.get())) : Ref();
    if (!bids || PyObject_SetAttr(self, names::bids, bids.get()) < 0) {
        return nullptr;
    }
    sorted_dict_class = names::lookup_global(names::SortedDict);
    Ref asks = sorted_dict_class ? Ref::steal(PyObject_CallNoArgs(sorted_dict_class.get())) : Ref();
    if (!asks || PyObject_SetAttr(self, names::asks, asks.get()) < 0) {
        return nullptr;
    }
    Ref orders = Ref::steal(PyDict_New());
    if (!orders || PyObject_SetAttr(self, names::orders, orders.get()) < 0 ||
        PyObject_SetAttr(self, names::_best_bid, Py_None) < 0 ||
        PyObject_SetAttr(self, names::_best_ask, Py_None) < 0) {
        return nullptr;
    }
    Ref trade_log = Ref::steal(PyList_New(0));
    if (!trade_log || PyObject_SetAttr(self, names::trade_log, trade_log.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* best_bid_body(PyObject*, PyObject* const* args) {
    return attr(args[0], kBestBid).release();
}

PyObject* best_ask_body(PyObject*, PyObject* const* args) {
    return attr(args[0], kBestAsk).release();
}

const char* const price_annotations[] = {"return", "Decimal", nullptr};

#define BOOK_SITE(fn) \
    {"velmora.orderbook.OrderBook." fn, "native/orderbook/book/book.cpp", __LINE__}

}  // namespace

function::Def init_def{
    "__init__", "OrderBook.__init__",  args::signature("__init__", self_params), init_body, nullptr,
    "(self)",   BOOK_SITE("__init__"),
};
function::Def best_bid_def{
    "best_bid",
    "OrderBook.best_bid",
    args::signature("best_bid", self_params),
    best_bid_body,
    price_annotations,
    "(self)",
    BOOK_SITE("best_bid"),
};
function::Def best_ask_def{
    "best_ask",
    "OrderBook.best_ask",
    args::signature("best_ask", self_params),
    best_ask_body,
    price_annotations,
    "(self)",
    BOOK_SITE("best_ask"),
};

#ifndef NDEBUG
namespace {

// Prices of these types hash and compare without running any code of the caller's.
bool is_plain_number(PyObject* price) {
    return PyLong_CheckExact(price) || PyFloat_CheckExact(price) ||
           Py_IS_TYPE(price, decimal_type.as<PyTypeObject>());
}

// Each check walks the whole book: beyond this many resting orders it is skipped, so that
// the tests that build deep books stay linear.
constexpr Py_ssize_t kMaxCheckedOrders = 2000;

// The module names through which a rebound value could run the caller's code inside an
// operation, and what they were bound to when the class was made.
PyObject** const watched_names[] = {&names::Trade,      &names::OrderSide,  &names::OrderStatus,
                                    &names::TradeType,  &names::SortedDict, &names::OrderedDict,
                                    &names::PriceLevel, &names::_next_id};
Global originals[std::size(watched_names)];

bool names_as_at_import() {
    for (std::size_t i = 0; i < std::size(watched_names); ++i) {
        Ref value = names::lookup_global(*watched_names[i]);
        if (!value || value.get() != originals[i].get()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The invariants above, for a book whose containers, levels, orders, prices, sides and
// statuses are the module's own exact types and members, with the module's names bound as at
// import, so that no code of the caller's can have run inside the operation: 1 they hold, 0
// they do not, -1 the book is not of that kind (or looking failed). Sides are walked by
// identity and plain prices compared, so the check itself runs none either.
int invariants(PyObject* self) {
    if (!names_as_at_import()) {
        return -1;
    }
    Ref bid_member = member(kBid);
    Ref open = bid_member ? member(kOpen) : Ref();
    Ref partial = open ? member(kPartiallyFilled) : Ref();
    Ref side_enum = partial ? names::lookup_global(names::OrderSide) : Ref();
    Ref ask_member = side_enum ? attr(side_enum.get(), names::ASK) : Ref();
    Ref orders = ask_member ? attr(self, kOrders) : Ref();
    if (!orders || !PyDict_CheckExact(orders.get())) {
        PyErr_Clear();
        return -1;
    }
    if (PyDict_GET_SIZE(orders.get()) > kMaxCheckedOrders) {
        return -1;
    }
    Py_ssize_t resting = 0;
    for (bool bid : {true, false}) {
        Ref side = attr(self, bid ? kBids : kAsks);
        Ref best = side ? attr(self, bid ? kBestBid : kBestAsk) : Ref();
        Ref it = best && sorted_dict.matches(side.get()) ? Ref::steal(PyObject_GetIter(side.get()))
                                                         : Ref();
        if (!it) {
            PyErr_Clear();
            return -1;
        }
        bool first = true;
        while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
            if (!is_plain_number(key.get())) {
                return -1;
            }
            if (first && key.get() != best.get()) {
                return 0;
            }
            first = false;
            PyObject* level = PyDict_GetItemWithError(side.get(), key.get());  // borrowed
            if (!level || !is_exact_level(level)) {
                PyErr_Clear();
                return -1;
            }
            PriceLevelObject* lv = as_level(level);
            if (!PyODict_CheckExact(lv->queue) || lv->price != key.get()) {
                return -1;
            }
            if (PyDict_GET_SIZE(lv->queue) == 0) {
                return 0;
            }
            std::int64_t total = 0;
            Py_ssize_t pos = 0;
            PyObject *order_id, *order;
            while (PyDict_Next(lv->queue, &pos, &order_id, &order)) {
                if (!is_exact_order(order)) {
                    return -1;
                }
                OrderObject* o = as_order(order);
                // Any side but OrderSide.BID sells; a side other than the two members and
                // None could answer `== OrderSide.BID` with code of its own: not checked.
                bool sells = o->side == ask_member.get() || o->side == Py_None;
                if ((o->side != bid_member.get() && !sells) ||
                    (o->status != open.get() && o->status != partial.get())) {
                    return -1;
                }
                PyObject* entry = PyDict_GetItemWithError(orders.get(), order_id);  // borrowed
                if (bid == sells || !entry || !PyTuple_CheckExact(entry) ||
                    PyTuple_GET_SIZE(entry) != 2 || PyTuple_GET_ITEM(entry, 0) != level ||
                    PyTuple_GET_ITEM(entry, 1) != order || o->remaining_quantity <= 0 ||
                    PyObject_RichCompareBool(o->order_id, order_id, Py_EQ) != 1) {
                    PyErr_Clear();
                    return 0;
                }
                if (o->price != key.get()) {
                    if (!is_plain_number(o->price)) {
                        return -1;
                    }
                    if (PyObject_RichCompareBool(o->price, key.get(), Py_EQ) != 1) {
                        PyErr_Clear();
                        return 0;
                    }
                }
                total += o->remaining_quantity;
                ++resting;
            }
            if (total != lv->total_quantity) {
                return 0;
            }
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return -1;
        }
        if (first && best.get() != Py_None) {
            return 0;
        }
    }
    return PyDict_GET_SIZE(orders.get()) == resting ? 1 : 0;
}

}  // namespace

// Whether the operation's argument can run no code of the caller's either: an identifier, or
// an exact Order whose fields are plain values and members.
bool plain_argument(PyObject* arg) {
    if (PyUnicode_CheckExact(arg)) {
        return true;
    }
    if (!is_exact_order(arg)) {
        return false;
    }
    OrderObject* o = as_order(arg);
    Ref bid = member(kBid);
    Ref side_enum = bid ? names::lookup_global(names::OrderSide) : Ref();
    Ref ask = side_enum ? attr(side_enum.get(), names::ASK) : Ref();
    Ref open = ask ? member(kOpen) : Ref();
    if (!open) {
        PyErr_Clear();
        return false;
    }
    return (o->price == Py_None || is_plain_number(o->price)) &&
           (o->side == bid.get() || o->side == ask.get()) && o->status == open.get() &&
           PyUnicode_CheckExact(o->order_id);
}

PyObject* check_invariants(function::Body body, PyObject* self, PyObject* const* args) {
    PyObject* book = args[0];
    int before = plain_argument(args[1]) ? invariants(book) : -1;
    PyObject* result = body(self, args);
    if (result && before == 1) {
        PyObject* pending = PyErr_GetRaisedException();
        int after = invariants(book);
        PyErr_SetRaisedException(pending);
        // -1 is allowed: the call may have brought in objects the check cannot read safely.
        assert(after != 0 && "an engine operation broke the book's invariants");
        (void)after;
    }
    return result;
}
#endif

bool make_class() {
    Ref sorted_dict_class = names::lookup_global(names::SortedDict);
    Ref decimal = sorted_dict_class ? names::lookup_global(names::Decimal) : Ref();
    if (!decimal) {
        return false;
    }
#ifndef NDEBUG
    for (std::size_t i = 0; i < std::size(watched_names); ++i) {
        originals[i].set(names::lookup_global(*watched_names[i]));
        if (!originals[i]) {
            return false;
        }
    }
#endif
    sorted_dict.reset(PyType_Check(sorted_dict_class.get())
                          ? reinterpret_cast<PyTypeObject*>(sorted_dict_class.get())
                          : nullptr);
    bool immutable_decimal =
        PyType_Check(decimal.get()) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(decimal.get()), Py_TPFLAGS_IMMUTABLETYPE);
    decimal_type.set(immutable_decimal ? std::move(decimal) : Ref());
    if (!decimal_keys::check_layout(decimal_type.get())) {
        return false;
    }
    function::Def* const methods[] = {
        &init_def,
        &match_def,
        &update_limit_order_def,
        &add_limit_order_def,
        &add_market_order_def,
        &cancel_order_def,
        &best_bid_def,
        &best_ask_def,
        &report::print_trade_log_def,
        &report::str_def,
    };
    Ref ns = Ref::steal(PyDict_New());
    Ref qualname = ns ? Ref::steal(PyUnicode_FromString("OrderBook")) : Ref();
    if (!qualname || PyDict_SetItem(ns.get(), names::__module__, names::velmora_orderbook) < 0 ||
        PyDict_SetItem(ns.get(), names::__qualname__, qualname.get()) < 0) {
        return false;
    }
    for (function::Def* def : methods) {
        def->exclusive = true;  // each public operation runs whole before another thread's
        Ref fn = function::make(*def);
        if (!fn || PyDict_SetItemString(ns.get(), def->name, fn.get()) < 0) {
            return false;
        }
    }
    Ref cls = definitions::plain_class(qualname.get(), ns.get());
    return cls && names::store_global(names::OrderBook, cls.get()) && install_snapshot_check();
}

}  // namespace velmora::book
