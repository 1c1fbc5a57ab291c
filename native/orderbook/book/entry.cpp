// Limit and market order entry: add_limit_order crosses while the price crosses and then
// rests the remainder through _update_limit_order; add_market_order sweeps and never rests.
// Both refuse what would corrupt the book: a resting or re-entered order, an unusable price.
#include <new>
#include <vector>

#include "book/book_state.hpp"
#include "records/fields.hpp"
#include "records/order.hpp"
#include "records/price_level.hpp"
#include "runtime/args.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/names.hpp"
#include "runtime/protocol.hpp"

namespace velmora::book {
namespace {

// "order '7' is already resting in this book"
void raise_resting(PyObject* order_id) {
    PyErr_Format(PyExc_ValueError, "order %R is already resting in this book", order_id);
}

// An order that already rests in this book must not be entered a second time: a second
// index entry under the same identifier would orphan the first and corrupt its level.
// Returns the identifier read, or null with an exception set.
Ref refuse_resting(PyObject* self, PyObject* order) {
    Ref order_id = fields::id_of(order);
    Ref orders = order_id ? attr(self, kOrders) : Ref();
    if (!orders) {
        return Ref();
    }
    int resting = protocol::contains(orders.get(), order_id.get());
    if (resting != 0) {
        if (resting > 0) {
            raise_resting(order_id.get());
        }
        return Ref();
    }
    return order_id;
}

// The add_limit_order and add_market_order calls running, innermost last. A submission
// re-entered with the same order (from one of its own comparisons, say) would match and rest
// an order that the outer call is still matching: it is refused instead. Each entry lives on
// its caller's stack and holds nothing: the caller holds its order. Threads that work on
// different books interleave their entries, so each one leaves by its own address.
class Submission {
  public:
    Submission() = default;
    Submission(const Submission&) = delete;
    Submission& operator=(const Submission&) = delete;
    ~Submission() {
        if (order_) {
            for (auto it = active_.end(); it != active_.begin();) {
                if (*--it == this) {
                    active_.erase(it);
                    break;
                }
            }
        }
    }

    // Registers `order`; false with ValueError when it is being submitted already.
    bool enter(PyObject* order) noexcept {
        for (const Submission* s : active_) {
            if (s->order_ == order) {
                Ref order_id = fields::id_of(order);
                if (order_id) {
                    PyErr_Format(PyExc_ValueError, "order %R is already being submitted",
                                 order_id.get());
                }
                return false;
            }
        }
        try {
            active_.push_back(this);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        order_ = order;
        return true;
    }

    // What add_limit_order checked on entry: the price, the identifier that was not resting,
    // and the engine's change count at that moment. Borrowed; the caller keeps them alive.
    void checked(PyObject* price, PyObject* order_id) noexcept {
        price_ = price;
        order_id_ = order_id;
        changes_ = changes;
    }

    // The innermost submission of `order`, or null (also when another thread's came after it:
    // then what it checked is checked again).
    static const Submission* of(PyObject* order) noexcept {
        return !active_.empty() && active_.back()->order_ == order ? active_.back() : nullptr;
    }

    // True when `price` is the very price checked on entry and of a type whose comparisons
    // give the same answers every time (an exact int, float or Decimal): no need to ask again.
    bool vouches_for_price(PyObject* price) const noexcept;

    // True when `order_id` is the identifier checked on entry and the engine has changed
    // nothing since: it still does not rest in the book.
    bool vouches_for_id(PyObject* order_id, std::uint64_t changes) const noexcept {
        return order_id_ && order_id == order_id_ && changes == changes_;
    }

  private:
    static inline std::vector<const Submission*> active_;
    PyObject* order_ = nullptr;
    PyObject* price_ = nullptr;
    PyObject* order_id_ = nullptr;
    std::uint64_t changes_ = 0;
};

bool Submission::vouches_for_price(PyObject* price) const noexcept {
    return price_ && price == price_ &&
           (PyLong_CheckExact(price) || PyFloat_CheckExact(price) ||
            Py_IS_TYPE(price, decimal_type.as<PyTypeObject>()));
}

// while self.<opposite side> and <price crosses> and order.remaining_quantity > 0:
//     self._match(order)
// A buy crosses when price >= self.best_ask(), a sell when price <= self.best_bid() (equal
// prices trade); with no price (a market order) there is no price test.
bool match_while_crossing(PyObject* self, PyObject* order, PyObject* price) {
    int bid = is_bid(order);
    if (bid < 0) {
        return false;
    }
    Attr opposite_name = bid ? kAsks : kBids;
    Method best_method = bid ? kBestAskMethod : kBestBidMethod;
    for (;;) {
        Ref opposite = attr(self, opposite_name);
        int go = opposite ? PyObject_IsTrue(opposite.get()) : -1;
        if (go > 0 && price) {
            Ref best = call(self, best_method);
            go = best ? protocol::compare(price, best.get(), bid ? Py_GE : Py_LE) : -1;
        }
        if (go > 0) {
            go = has_quantity(order);
        }
        if (go <= 0) {
            return go == 0;
        }
        if (!call(self, kMatchMethod, order)) {
            return false;
        }
    }
}

PyObject* add_limit_order_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order = args[1];
    Submission submission;
    if (!args::check_type(order, &OrderType, "order", false, false) || !submission.enter(order)) {
        return nullptr;
    }
    Ref order_id = refuse_resting(self, order);
    if (!order_id) {
        return nullptr;
    }
    ++changes;
    Ref price = fields::price_of(order);  // read once: the crossing tests compare this value
    if (!price || !check_limit_price(price.get())) {
        return nullptr;
    }
    submission.checked(price.get(), order_id.get());
    if (!match_while_crossing(self, order, price.get())) {
        return nullptr;
    }
    if (!call(self, kUpdateLimitOrderMethod, order)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// new_price_level = PriceLevel(price, order.side), typed as a PriceLevel.
Ref new_level(PyObject* price, PyObject* order) {
    Ref cls = names::lookup_global(names::PriceLevel);
    Ref side = cls ? fields::side_of(order) : Ref();
    if (!side) {
        return Ref();
    }
    PyObject* values[] = {price, side.get()};
    Ref level = Ref::steal(PyObject_Vectorcall(cls.get(), values, 2, nullptr));
    if (!level) {
        return Ref();
    }
    if (level.get() == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'add_order'");
        return Ref();
    }
    if (!PyObject_TypeCheck(level.get(), &PriceLevelType)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                     Py_TYPE(level.get())->tp_name, PriceLevelType.tp_name);
        return Ref();
    }
    return level;
}

// A new level at `price` moves the side's cached best price when it is better. Should the
// comparison run code that changes the book, the cache is set from the side itself instead.
bool update_best_after_new_level(PyObject* self, PyObject* side, PyObject* price, bool bid) {
    Attr cache = bid ? kBestBid : kBestAsk;
    Ref best = attr(self, cache);
    if (!best) {
        return false;
    }
    std::uint64_t seen = changes;
    int better = 1;
    if (best.get() != Py_None) {
        better = protocol::compare(price, best.get(), bid ? Py_GT : Py_LT);
    }
    if (better < 0) {
        return false;
    }
    Ref new_best;
    if (seen != changes) {
        new_best = first_key_or_none(side);
    } else if (better) {
        new_best = Ref::borrow(price);
    } else {
        return true;
    }
    return new_best && set_attr(self, cache, new_best.get());
}

// Whether the book still has room for the order as it was when its level was chosen: the
// level is still the side's level at `price` (or, for a new level, the price still has none)
// and no order has come to rest under `order_id` meanwhile. 1 yes, 0 no, -1 error.
int still_fits(PyObject* self, PyObject* side, PyObject* price, PyObject* level, bool is_new,
               PyObject* order_id) {
    int present = side_contains(side, price);
    if (present < 0) {
        return -1;
    }
    if (present) {
        if (is_new) {
            return 0;
        }
        Ref current = side_item(side, price);
        if (!current) {
            return -1;
        }
        if (current.get() != level) {
            return 0;
        }
    } else if (!is_new) {
        return 0;
    }
    Ref orders = attr(self, kOrders);
    int resting = orders ? protocol::contains(orders.get(), order_id) : -1;
    return resting < 0 ? -1 : !resting;
}

// Rests what is left of a limit order at its price. The price and the identifier are read
// once and used for the level, the side, the index and the cache alike; both are checked
// again here, since matching can run code that changes the order after add_limit_order
// looked at it. A refusal at this point leaves the trades made and the order out of the book.
PyObject* update_limit_order_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order = args[1];
    if (!args::check_type(order, &OrderType, "order", false, false)) {
        return nullptr;
    }
    int go = has_quantity(order);
    if (go > 0) {
        Ref status = fields::status_of(order);
        Ref filled = status ? member(kFilled) : Ref();
        go = filled ? protocol::equals(status.get(), filled.get(), Py_NE) : -1;
    }
    if (go <= 0) {
        return go < 0 ? nullptr : Py_NewRef(Py_None);
    }
    // What add_limit_order checked on entry is asked again only where it could have changed.
    const Submission* entry = Submission::of(order);
    std::uint64_t changes_before = changes++;
    int bid = is_bid(order);
    Ref side_dict = bid < 0 ? Ref() : attr(self, bid ? kBids : kAsks);
    Ref price = side_dict ? fields::price_of(order) : Ref();
    if (!price ||
        (!(entry && entry->vouches_for_price(price.get())) && !check_limit_price(price.get()))) {
        return nullptr;
    }
    Ref order_id = fields::id_of(order);
    if (!order_id) {
        return nullptr;
    }
    if (!(entry && entry->vouches_for_id(order_id.get(), changes_before))) {
        Ref orders = attr(self, kOrders);
        int resting = orders ? protocol::contains(orders.get(), order_id.get()) : -1;
        if (resting != 0) {
            if (resting > 0) {
                raise_resting(order_id.get());
            }
            return nullptr;
        }
    }
    int present = side_contains(side_dict.get(), price.get());
    if (present < 0) {
        return nullptr;
    }
    std::uint64_t seen = changes;
    Ref level = present ? side_item(side_dict.get(), price.get()) : new_level(price.get(), order);
    if (!level || !price_level::add_order(level.get(), order, order_id.get())) {
        return nullptr;
    }
    if (seen != changes) {
        int fits =
            still_fits(self, side_dict.get(), price.get(), level.get(), !present, order_id.get());
        if (fits <= 0) {
            if (fits == 0) {
                PyErr_Format(PyExc_ValueError,
                             "the book changed while order %R was coming to rest; it was not "
                             "rested",
                             order_id.get());
            }
            return nullptr;
        }
    }
    if (!present && PyObject_SetItem(side_dict.get(), price.get(), level.get()) < 0) {
        return nullptr;
    }
    if (!index_order(self, level.get(), order, order_id.get())) {
        return nullptr;
    }
    if (present) {
        Py_RETURN_NONE;
    }
    // The side is asked again, as written; the level went to the side chosen first, and that
    // side's cache is the one that can move, whatever the answer now.
    if (is_bid(order) < 0 ||
        !update_best_after_new_level(self, side_dict.get(), price.get(), bid)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* add_market_order_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order = args[1];
    Submission submission;
    if (!args::check_type(order, &OrderType, "order", false, false) || !submission.enter(order) ||
        !refuse_resting(self, order) ||
        !fields::set<&OrderObject::price, &names::price>(order, Py_None)) {
        return nullptr;
    }
    ++changes;
    if (!match_while_crossing(self, order, nullptr)) {
        return nullptr;
    }
    int unfilled = has_quantity(order);
    if (unfilled < 0 || (unfilled && !set_status(order, kPartiallyFilled))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject** const order_params[] = {&names::self, &names::order};
const char* const order_annotations[] = {"order", "Order", nullptr};
const char* const entry_annotations[] = {"order", "Order", "return", "None", nullptr};

#define ENTRY_SITE(fn) \
    {"velmora.orderbook.OrderBook." fn, "native/orderbook/book/entry.cpp", __LINE__}

}  // namespace

// ValueError with `message`, a format filled with the price. An error from the comparison that
// says the price cannot be compared (a TypeError, a ValueError, or an ArithmeticError such as
// the InvalidOperation a signalling NaN raises) becomes its cause; any other error (a
// RecursionError, say) is left to propagate as it is.
namespace {

bool refuse_price(PyObject* price, const char* message) {
    PyObject* cause = PyErr_GetRaisedException();
    if (cause && !PyErr_GivenExceptionMatches(cause, PyExc_TypeError) &&
        !PyErr_GivenExceptionMatches(cause, PyExc_ValueError) &&
        !PyErr_GivenExceptionMatches(cause, PyExc_ArithmeticError)) {
        PyErr_SetRaisedException(cause);
        return false;
    }
    PyErr_Format(PyExc_ValueError, message, price);
    if (cause) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(cause));  // steals
        PyException_SetContext(error, cause);           // steals
        PyErr_SetRaisedException(error);
    }
    return false;
}

}  // namespace

// A limit price must be usable as a key of a sorted side for good. None cannot be ordered;
// a price unequal to itself (a NaN; a signalling one raises instead of answering) or not
// ordered against itself (`price <= price` false or raising, as for 1j) would break the
// side's ordering and with it every later order there.
bool check_limit_price(PyObject* price) {
    if (price == Py_None) {
        PyErr_SetString(PyExc_ValueError, "limit order price must not be None");
        return false;
    }
    if (PyLong_CheckExact(price)) {
        return true;
    }
    int same;
    if (PyFloat_CheckExact(price)) {
        double v = PyFloat_AS_DOUBLE(price);
        same = v == v;
    } else {
        same = protocol::compare(price, price, Py_EQ);
    }
    if (same <= 0) {
        return refuse_price(price, "limit order price must be equal to itself (got %R)");
    }
    // An exact float or Decimal runs no code when compared and cannot be patched; one that
    // equals itself is not a NaN, so it is ordered against itself too.
    if (PyFloat_CheckExact(price) || Py_IS_TYPE(price, decimal_type.as<PyTypeObject>())) {
        return true;
    }
    int ordered = protocol::compare(price, price, Py_LE);
    return ordered > 0 ||
           refuse_price(price, "limit order price cannot be ordered against itself (got %R)");
}

function::Def update_limit_order_def{
    "_update_limit_order",
    "OrderBook._update_limit_order",
    args::signature("_update_limit_order", order_params),
    checked<update_limit_order_body>,
    order_annotations,
    "(self, order)",
    ENTRY_SITE("_update_limit_order"),
};
function::Def add_limit_order_def{
    "add_limit_order",
    "OrderBook.add_limit_order",
    args::signature("add_limit_order", order_params),
    checked<add_limit_order_body>,
    entry_annotations,
    "(self, order)",
    ENTRY_SITE("add_limit_order"),
};
function::Def add_market_order_def{
    "add_market_order",
    "OrderBook.add_market_order",
    args::signature("add_market_order", order_params),
    checked<add_market_order_body>,
    entry_annotations,
    "(self, order)",
    ENTRY_SITE("add_market_order"),
};

}  // namespace velmora::book
