// The check a book's state must pass when a snapshot of it loads: the invariants the engine
// relies on (book.cpp states them), on the attributes about to be set on the restored book.
// Snapshots are files that get truncated, edited and mixed up; a book restored from a damaged
// one would trade wrongly from then on, so it is refused with ValueError instead. The walk is
// native because it reads every resting order: in Python it costs as much as the load itself.
#include <cstdarg>
#include <iterator>

#include "book/book_state.hpp"
#include "records/fields.hpp"
#include "records/order.hpp"
#include "records/price_level.hpp"
#include "runtime/names.hpp"
#include "runtime/protocol.hpp"

namespace velmora::book {
namespace {

// ValueError "damaged OrderBook snapshot: <what>", `what` made by PyUnicode_FromFormat.
bool damaged(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref what = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (what) {
        PyErr_Format(PyExc_ValueError, "damaged OrderBook snapshot: %U", what.get());
    }
    return false;
}

// The pending error, taken when it says that a price cannot be held or compared (a
// ValueError from the price rules; a TypeError or ArithmeticError from a comparison), to
// become the cause of the refusal; null with any other error (a RecursionError, say) left
// to propagate as it is.
PyObject* take_price_error() {
    PyObject* error = PyErr_GetRaisedException();
    if (error && (PyErr_GivenExceptionMatches(error, PyExc_ValueError) ||
                  PyErr_GivenExceptionMatches(error, PyExc_TypeError) ||
                  PyErr_GivenExceptionMatches(error, PyExc_ArithmeticError))) {
        return error;
    }
    PyErr_SetRaisedException(error);
    return nullptr;
}

// Puts `cause` (a reference this takes) under the error just raised.
bool caused_by(PyObject* cause) {
    PyObject* error = PyErr_GetRaisedException();
    if (error) {
        PyException_SetCause(error, Py_NewRef(cause));  // steals
        PyException_SetContext(error, cause);           // steals
        PyErr_SetRaisedException(error);
    } else {
        Py_DECREF(cause);
    }
    return false;
}

// The names a walk compares with, read once per check.
struct Walk {
    PyObject* orders;  // the index, an exact dict
    Ref bid, open, partially_filled, cancelled;
    Py_ssize_t queued = 0;
};

// `a == b` as the engine compares prices, sides and identifiers: 1, 0, or -1.
int same(PyObject* a, PyObject* b) { return a == b ? 1 : protocol::equals(a, b, Py_EQ); }

quantity::MaybeQty original_of(PyObject* order) {
    return fields::get_quantity<&OrderObject::original_quantity, &names::original_quantity>(order);
}

// "order %R <what> %S of %S open", the open and original quantities filled in.
bool damaged_quantities(const char* format, PyObject* order_id, const quantity::Qty& remaining,
                        const quantity::Qty& original) {
    Ref open_now = remaining.to_object();
    Ref at_first = open_now ? original.to_object() : Ref();
    return at_first && damaged(format, order_id, open_now.get(), at_first.get());
}

// One queued order of a level. `total` gains its open quantity.
bool check_order(Walk& w, bool bid, PyObject* price, PyObject* level, PyObject* queued_id,
                 PyObject* order, quantity::Qty& total) {
    const char* word = bid ? "bid" : "ask";
    if (!PyObject_TypeCheck(order, &OrderType)) {
        return damaged("the %s level at %R queues a %.200s, not an Order", word, price,
                       Py_TYPE(order)->tp_name);
    }
    Ref order_id = fields::id_of(order);
    int ok = order_id ? same(order_id.get(), queued_id) : -1;
    if (ok <= 0) {
        return ok == 0 && damaged("the %s level at %R queues order %R under %R", word, price,
                                  order_id.get(), queued_id);
    }
    PyObject* entry = PyDict_GetItemWithError(w.orders, queued_id);  // borrowed, used at once
    if (!entry && PyErr_Occurred()) {
        return false;
    }
    if (!entry || !PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2 ||
        PyTuple_GET_ITEM(entry, 0) != level || PyTuple_GET_ITEM(entry, 1) != order) {
        return damaged("order %R, queued at %R, is not in the index with its level", queued_id,
                       price);
    }
    Ref side = fields::side_of(order);
    ok = side ? same(side.get(), w.bid.get()) : -1;
    if (ok < 0) {
        return false;
    }
    if (ok != bid) {
        return damaged("the %s level at %R holds order %R of side %R", word, price, queued_id,
                       side.get());
    }
    Ref order_price = fields::price_of(order);
    ok = order_price ? same(order_price.get(), price) : -1;
    if (ok <= 0) {
        return ok == 0 && damaged("the %s level at %R holds order %R priced %R", word, price,
                                  queued_id, order_price.get());
    }
    quantity::MaybeQty remaining = fields::remaining_of(order);
    quantity::MaybeQty original = remaining ? original_of(order) : std::nullopt;
    if (!original) {
        return false;
    }
    int positive = quantity::compare(*remaining, quantity::Qty::native(0), Py_GT);
    int within = positive > 0 ? quantity::compare(*remaining, *original, Py_LE) : positive;
    if (within <= 0) {
        return within == 0 && damaged_quantities("order %R rests with %S of %S open", queued_id,
                                                 *remaining, *original);
    }
    Ref status = fields::status_of(order);
    int is_open = status ? same(status.get(), w.open.get()) : -1;
    int resting = is_open;
    if (resting == 0) {
        resting = same(status.get(), w.partially_filled.get());
    }
    if (resting == 0) {
        resting = same(status.get(), w.cancelled.get());
    }
    if (resting <= 0) {
        return resting == 0 &&
               damaged("order %R rests with the status %R", queued_id, status.get());
    }
    if (is_open) {
        int untouched = quantity::compare(*remaining, *original, Py_EQ);
        if (untouched <= 0) {
            return untouched == 0 &&
                   damaged_quantities("order %R is OPEN but has traded: %S of %S open", queued_id,
                                      *remaining, *original);
        }
    }
    quantity::MaybeQty sum = quantity::add(total, *remaining);
    if (!sum) {
        return false;
    }
    total = std::move(*sum);
    return true;
}

// One level of a side, filed under `price`.
bool check_level(Walk& w, bool bid, PyObject* price, PyObject* level) {
    const char* word = bid ? "bid" : "ask";
    // A key no limit order could rest at (None, a NaN, 1j) would make every later order at
    // that side raise, or sort wrongly.
    if (!check_limit_price(price)) {
        PyObject* why = take_price_error();
        if (!why) {
            return false;
        }
        damaged("the %s level at %R is at no price a book can hold (%S)", word, price, why);
        return caused_by(why);
    }
    if (!PyObject_TypeCheck(level, &PriceLevelType)) {
        return damaged("the %s level at %R is a %.200s, not a PriceLevel", word, price,
                       Py_TYPE(level)->tp_name);
    }
    Ref level_price = fields::get<&PriceLevelObject::price, &names::price>(level);
    int ok = level_price ? same(level_price.get(), price) : -1;
    if (ok <= 0) {
        return ok == 0 &&
               damaged("the %s level at %R has the price %R", word, price, level_price.get());
    }
    Ref side = fields::get<&PriceLevelObject::side, &names::side>(level);
    ok = side ? same(side.get(), w.bid.get()) : -1;
    if (ok < 0) {
        return false;
    }
    if (ok != bid) {
        return damaged("the %s level at %R has the side %R", word, price, side.get());
    }
    Ref queue = fields::queue_of(level);
    if (!queue) {
        return false;
    }
    if (!PyObject_TypeCheck(queue.get(), &PyODict_Type)) {
        return damaged("the %s level at %R has a %.200s for a queue, not an OrderedDict", word,
                       price, Py_TYPE(queue.get())->tp_name);
    }
    if (PyDict_GET_SIZE(queue.get()) == 0) {
        return damaged("the %s level at %R is empty", word, price);
    }
    // Code the orders run (a subclass's property, a price's __eq__) may change the queue: each
    // entry is held before anything is asked of it, and the walk never reads past the end.
    quantity::Qty total = quantity::Qty::native(0);
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(queue.get(), &pos, &key, &value);) {
        Ref queued_id = Ref::borrow(key);
        Ref order = Ref::borrow(value);
        if (!check_order(w, bid, price, level, queued_id.get(), order.get(), total)) {
            return false;
        }
        ++w.queued;
    }
    quantity::MaybeQty level_total = fields::total_of(level);
    if (!level_total) {
        return false;
    }
    ok = quantity::compare(*level_total, total, Py_EQ);
    if (ok <= 0) {
        Ref stated = ok == 0 ? level_total->to_object() : Ref();
        Ref held = stated ? total.to_object() : Ref();
        return held && damaged("the %s level at %R has the total %S, but its orders hold %S", word,
                               price, stated.get(), held.get());
    }
    return true;
}

Global sorted_dict_class, negate;

bool check_side(Walk& w, bool bid, PyObject* side, PyObject* best) {
    const char* word = bid ? "bid" : "ask";
    // isinstance() believes a __class__ attribute; the walk below needs a real dict.
    int sorted = PyDict_Check(side) ? PyObject_IsInstance(side, sorted_dict_class.get()) : 0;
    if (sorted <= 0) {
        return sorted == 0 &&
               damaged("its %s side is a %.200s, not a SortedDict", word, Py_TYPE(side)->tp_name);
    }
    Ref key = Ref::steal(PyObject_GetAttrString(side, "key"));
    if (!key) {
        return false;
    }
    if (key.get() != (bid ? negate.get() : Py_None)) {
        return damaged("its %s side does not sort the %s price first", word,
                       bid ? "highest" : "lowest");
    }
    // The engine caches the very key object, and a snapshot keeps that identity.
    Ref first = first_key_or_none(side);
    if (!first) {
        return false;
    }
    if (best != first.get()) {
        return first.get() == Py_None
                   ? damaged("its cached best %s is %R, but the %s side is empty", word, best, word)
                   : damaged("its cached best %s is %R, but the %s side starts at %R", word, best,
                             word, first.get());
    }
    // A SortedDict is a dict of its own items; their order does not matter here.
    PyObject *price, *level;
    for (Py_ssize_t pos = 0; PyDict_Next(side, &pos, &price, &level);) {
        Ref price_ref = Ref::borrow(price);
        Ref level_ref = Ref::borrow(level);
        if (!check_level(w, bid, price_ref.get(), level_ref.get())) {
            return false;
        }
    }
    return true;
}

// The engine trades a bid that reaches the best ask at once, so a resting bid is always
// below every resting ask; a crossed snapshot would go on trading at the wrong prices.
bool check_not_crossed(PyObject* best_bid, PyObject* best_ask) {
    if (best_bid == Py_None || best_ask == Py_None) {
        return true;
    }
    Ref bid = Ref::borrow(best_bid), ask = Ref::borrow(best_ask);
    int below = protocol::compare(bid.get(), ask.get(), Py_LT);
    if (below > 0) {
        return true;
    }
    if (below == 0) {
        return damaged("it is crossed: its best bid %R is not below its best ask %R", bid.get(),
                       ask.get());
    }
    PyObject* why = take_price_error();
    if (!why) {
        return false;
    }
    damaged("its best bid %R and best ask %R cannot be compared (%S)", bid.get(), ask.get(), why);
    return caused_by(why);
}

// An index entry that no level queues: one whose pair is not (a level filed in its side at
// its price, an order queued there under this identifier). 1 found (raised), 0 none, -1 error.
int find_stray(PyObject* orders, PyObject* const sides[2]) {
    PyObject *order_id, *entry;
    for (Py_ssize_t pos = 0; PyDict_Next(orders, &pos, &order_id, &entry);) {
        Ref id_ref = Ref::borrow(order_id);
        Ref entry_ref = Ref::borrow(entry);
        bool queued = false;
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 &&
            PyObject_TypeCheck(PyTuple_GET_ITEM(entry, 0), &PriceLevelType)) {
            PyObject* level = PyTuple_GET_ITEM(entry, 0);
            Ref price = fields::get<&PriceLevelObject::price, &names::price>(level);
            Ref queue = price ? fields::queue_of(level) : Ref();
            if (!queue) {
                return -1;
            }
            for (int s = 0; s < 2 && !queued; ++s) {
                PyObject* filed = PyDict_GetItemWithError(sides[s], price.get());
                if (!filed && PyErr_Occurred()) {
                    return -1;
                }
                queued = filed == level;
            }
            if (queued) {
                PyObject* held = PyODict_Check(queue.get())
                                     ? PyDict_GetItemWithError(queue.get(), order_id)
                                     : nullptr;
                if (!held && PyErr_Occurred()) {
                    return -1;
                }
                queued = held == PyTuple_GET_ITEM(entry, 1);
            }
        }
        if (!queued) {
            damaged("its index holds order %R, which no level queues", order_id);
            return 1;
        }
    }
    return 0;
}

PyObject* check_snapshot_body(PyObject*, PyObject* const* args) {
    PyObject* attributes = args[0];
    if (!PyDict_CheckExact(attributes)) {
        damaged("its attributes are a %.200s, not a dict", Py_TYPE(attributes)->tp_name);
        return nullptr;
    }
    // A book that was never constructed has no engine attribute, and nothing to check.
    PyObject** const engine_names[] = {&names::bids,      &names::asks,      &names::orders,
                                       &names::_best_bid, &names::_best_ask, &names::trade_log};
    Ref values[std::size(engine_names)];
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) {
        return nullptr;
    }
    for (std::size_t i = 0; i < std::size(engine_names); ++i) {
        PyObject* value = PyDict_GetItemWithError(attributes, *engine_names[i]);
        if (!value && (PyErr_Occurred() || PyList_Append(missing.get(), *engine_names[i]) < 0)) {
            return nullptr;
        }
        values[i] = Ref::borrow(value);
    }
    Py_ssize_t absent = PyList_GET_SIZE(missing.get());
    if (absent == static_cast<Py_ssize_t>(std::size(engine_names))) {
        Py_RETURN_NONE;
    }
    if (absent) {
        Ref separator = Ref::steal(PyUnicode_FromString(", "));
        Ref list = separator ? Ref::steal(PyUnicode_Join(separator.get(), missing.get())) : Ref();
        if (list) {
            damaged("it has no %U", list.get());
        }
        return nullptr;
    }
    PyObject *bids = values[0].get(), *asks = values[1].get(), *orders = values[2].get();
    if (!PyDict_CheckExact(orders)) {
        damaged("its orders index is a %.200s, not a dict", Py_TYPE(orders)->tp_name);
        return nullptr;
    }
    if (!PyList_Check(values[5].get())) {
        damaged("its trade log is a %.200s, not a list", Py_TYPE(values[5].get())->tp_name);
        return nullptr;
    }
    Walk w{orders, member(kBid), member(kOpen), member(kPartiallyFilled), member(kCancelled)};
    if (!w.bid || !w.open || !w.partially_filled || !w.cancelled ||
        !check_side(w, true, bids, values[3].get()) ||
        !check_side(w, false, asks, values[4].get()) ||
        !check_not_crossed(values[3].get(), values[4].get())) {
        return nullptr;
    }
    if (w.queued != PyDict_GET_SIZE(orders)) {
        PyObject* const sides[2] = {bids, asks};
        if (find_stray(orders, sides) == 0) {  // the index changed under the walk
            damaged("its index holds %zd orders, but its levels queue %zd", PyDict_GET_SIZE(orders),
                    w.queued);
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* attributes_name = nullptr;  // interned when the check is installed
PyObject** const attributes_params[] = {&attributes_name};

function::Def check_snapshot_def{
    "_check_restored_book",
    "_check_restored_book",
    args::signature("_check_restored_book", attributes_params),
    check_snapshot_body,
    nullptr,
    "(attributes)",
    {"velmora.orderbook._check_restored_book", "native/orderbook/book/snapshot.cpp", __LINE__},
};

}  // namespace

bool install_snapshot_check() {
    attributes_name = PyUnicode_InternFromString("attributes");
    Ref sorted_dict_class_now = attributes_name ? names::lookup_global(names::SortedDict) : Ref();
    Ref operator_module =
        sorted_dict_class_now ? Ref::steal(PyImport_ImportModule("operator")) : Ref();
    Ref neg =
        operator_module ? Ref::steal(PyObject_GetAttrString(operator_module.get(), "neg")) : Ref();
    Ref check = neg ? function::make(check_snapshot_def) : Ref();
    if (!check || PyDict_SetItemString(function::FunctionType.tp_dict, check_snapshot_def.name,
                                       check.get()) < 0) {
        return false;
    }
    PyType_Modified(&function::FunctionType);
    sorted_dict_class.set(std::move(sorted_dict_class_now));
    negate.set(std::move(neg));
    return true;
}

}  // namespace velmora::book
