// OrderBook: the book's state, matching, limit and market order entry, cancellation,
// and the class itself, built at import from native function objects.
#include "book.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "definitions.hpp"
#include "order.hpp"
#include "price_level.hpp"
#include "report.hpp"
#include "support/args.hpp"
#include "support/function.hpp"
#include "support/names.hpp"
#include "support/ref.hpp"
#include "support/state.hpp"

namespace velmora::book {
namespace {

// Every operation here works on caller-visible Python objects: the sides are SortedDicts,
// orders and levels may be subclasses or stand-ins, and any comparison, attribute access
// or name lookup can run Python code that changes the book under our feet. So each step
// does exactly what the equivalent Python statement would, in the same order, holding a
// strong reference to everything it uses afterwards. Exact Order and PriceLevel records
// are read and written through their fields, which nobody can tell from attribute access.

Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// `a <op> b`, taken for its truth value: 1, 0, or -1 with an exception set. A real rich
// comparison: unlike PyObject_RichCompareBool there is no shortcut for identical objects.
int compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// True when neither type defines its own comparison (enumeration members do not): `==` and
// `!=` then fall back to identity, and no code runs, whichever way round they are tried.
bool compares_by_identity(PyObject* a, PyObject* b) {
    richcmpfunc own = PyBaseObject_Type.tp_richcompare;
    richcmpfunc fa = Py_TYPE(a)->tp_richcompare;
    richcmpfunc fb = Py_TYPE(b)->tp_richcompare;
    return (!fa || fa == own) && (!fb || fb == own);
}

// `a == b` (Py_EQ) or `a != b` (Py_NE), taken for its truth value, as compare() gives it.
int equals(PyObject* a, PyObject* b, int op) {
    if (compares_by_identity(a, b)) {
        return (a == b) == (op == Py_EQ);
    }
    return compare(a, b, op);
}

// ---- Lookups that cannot change while the types they go through stay unmodified -------------

// A type's version tag changes with any change to the type or its bases; 0 means none.
unsigned int version_of(PyTypeObject* type) {
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

// Where `name` is found along the type's MRO, as attribute lookup finds it: 1 with the value
// (borrowed, kept alive by that type's dict) and the type holding it, 0 when no type has it,
// -1 when a dict could not be searched (nothing is concluded then). Runs no Python code.
int find_in_mro(PyTypeObject* type, PyObject* name, PyObject** value, PyTypeObject** owner) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        *value = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (*value) {
            *owner = base;
            return 1;
        }
        if (!dict || PyErr_Occurred()) {
            PyErr_Clear();
            return -1;
        }
    }
    return 0;
}

// Class attribute reads like OrderStatus.FILLED. With the metaclass's plain attribute lookup,
// no attribute of that name on the metaclass and a plain object (no __get__) in the class's
// MRO, the read yields that object for as long as neither type changes: then the answer is
// kept, checked against both version tags.
struct MemberCache {
    PyObject* cls = nullptr;  // strong
    PyObject* value = nullptr;  // strong
    unsigned int cls_version = 0;
    unsigned int meta_version = 0;
};

bool cacheable_member(PyObject* cls, PyObject* name, PyObject* value) {
    PyTypeObject* meta = Py_TYPE(cls);
    PyObject* found = nullptr;
    PyTypeObject* owner = nullptr;
    return PyType_Check(cls) && meta->tp_getattro == PyType_Type.tp_getattro &&
           !Py_TYPE(value)->tp_descr_get && find_in_mro(meta, name, &found, &owner) == 0 &&
           find_in_mro(reinterpret_cast<PyTypeObject*>(cls), name, &found, &owner) == 1 &&
           found == value;
}

Ref class_attr(PyObject* cls, PyObject* name, MemberCache& cache) {
    if (cls == cache.cls && cache.cls_version != 0 &&
        reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag == cache.cls_version &&
        Py_TYPE(cls)->tp_version_tag == cache.meta_version) {
        return Ref::borrow(cache.value);
    }
    Ref value = attr(cls, name);
    if (!value) {
        return value;
    }
    if (cacheable_member(cls, name, value.get())) {
        unsigned int cls_version = version_of(reinterpret_cast<PyTypeObject*>(cls));
        unsigned int meta_version = version_of(Py_TYPE(cls));
        if (cls_version != 0 && meta_version != 0) {
            Py_XSETREF(cache.cls, Py_NewRef(cls));
            Py_XSETREF(cache.value, value.new_ref());
            cache.cls_version = cls_version;
            cache.meta_version = meta_version;
        }
    }
    return value;
}

// The members the engine reads, each with its own cache.
enum Member { kBid, kOpen, kPartiallyFilled, kFilled, kCancelled, kLimit, kMarket, kMemberCount };
MemberCache member_caches[kMemberCount];

// A member of one of the module's enumerations, e.g. OrderStatus.FILLED, looked up now.
Ref member(Member m) {
    static PyObject** const enum_names[kMemberCount] = {
        &names::OrderSide,   &names::OrderStatus, &names::OrderStatus, &names::OrderStatus,
        &names::OrderStatus, &names::TradeType,   &names::TradeType};
    static PyObject** const member_names[kMemberCount] = {
        &names::BID,    &names::OPEN,      &names::PARTIALLY_FILLED, &names::FILLED,
        &names::CANCELLED, &names::LIMIT, &names::MARKET};
    Ref cls = names::lookup_global(*enum_names[m]);
    return cls ? class_attr(cls.get(), *member_names[m], member_caches[m]) : Ref();
}

// A side's membership test and item lookup go through `__contains__` and `__getitem__`.
// SortedDict inherits both from dict, but dict's own are methods, so the interpreter finds
// them by a lookup and a call on every use. For the SortedDict class bound at import, while
// both still resolve to dict's and nothing defines __missing__, dict's lookup runs directly.
PyTypeObject* sorted_dict_type = nullptr;  // strong
unsigned int sorted_dict_version = 0;      // 0: not verified for the current version

bool plain_dict_lookups(PyTypeObject* type) {
    PyObject* found = nullptr;
    PyObject* own = nullptr;
    PyTypeObject* owner = nullptr;
    for (PyObject* name : {names::__contains__, names::__getitem__}) {
        if (find_in_mro(type, name, &found, &owner) != 1 ||
            find_in_mro(&PyDict_Type, name, &own, &owner) != 1 || found != own) {
            return false;
        }
    }
    return find_in_mro(type, names::__missing__, &found, &owner) == 0;
}

bool is_plain_sorted_dict(PyObject* side) {
    PyTypeObject* type = Py_TYPE(side);
    if (type != sorted_dict_type) {
        return false;
    }
    if (sorted_dict_version != 0 && type->tp_version_tag == sorted_dict_version) {
        return true;
    }
    unsigned int version = version_of(type);
    sorted_dict_version = version != 0 && plain_dict_lookups(type) ? version : 0;
    return sorted_dict_version != 0;
}

// `key in side`: 1, 0, or -1 with an exception set.
int side_contains(PyObject* side, PyObject* key) {
    return is_plain_sorted_dict(side) ? PyDict_Contains(side, key)
                                      : PySequence_Contains(side, key);
}

// dict's own `d[key]` on a dict or a subclass that has no __missing__.
Ref dict_item(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (!value && !PyErr_Occurred()) {
        Ref args = Ref::steal(PyTuple_Pack(1, key));  // as dict raises it, even for a tuple key
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return Ref::borrow(value);
}

// `side[key]`
Ref side_item(PyObject* side, PyObject* key) {
    return is_plain_sorted_dict(side) ? dict_item(side, key)
                                      : Ref::steal(PyObject_GetItem(side, key));
}

// self.<name>(*args), found by ordinary attribute lookup so a subclass can override it.
Ref call_method(PyObject* name, PyObject* self) {
    PyObject* args[] = {self};
    return Ref::steal(PyObject_VectorcallMethod(name, args, 1, nullptr));
}
Ref call_method(PyObject* name, PyObject* self, PyObject* arg) {
    PyObject* args[] = {self, arg};
    return Ref::steal(PyObject_VectorcallMethod(name, args, 2, nullptr));
}

// The methods of the class that the engine calls on self (defined at the end).
extern function::Def match_def, update_limit_order_def, best_bid_def, best_ask_def;

// self.<name>(arg) for a method of this class, `def`. The lookup is the one the call above
// makes (the interpreter's own method lookup: type attribute, then the instance dict). When
// it finds this class's own function, neither overridden nor shadowed, the body runs
// directly: the same code with the same traceback entry, without the call machinery.
Ref call_book_method(PyObject* name, function::Def& def, PyObject* self,
                     PyObject* arg = nullptr) {
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(self, name, &found);
    Ref method = Ref::steal(found);
    if (!method) {
        return Ref();
    }
    PyObject* args[] = {self, arg};
    std::size_t n = arg ? 2 : 1;
    if (!unbound) {
        return Ref::steal(PyObject_Vectorcall(method.get(), args + 1, n - 1, nullptr));
    }
    if (function::is_own_method(method.get(), def, nullptr)) {
        return Ref::steal(function::call_body(def, nullptr, args));
    }
    return Ref::steal(PyObject_Vectorcall(method.get(), args, n, nullptr));
}

// ---- The index of resting orders ------------------------------------------------------

// An exact dict: its lookups and changes run no code beyond the keys' own __eq__/__hash__,
// so dict's own functions do what the mapping protocol would do.
bool is_plain_dict(PyObject* o) { return PyDict_CheckExact(o); }

// `key in mapping`
int mapping_contains(PyObject* mapping, PyObject* key) {
    return is_plain_dict(mapping) ? PyDict_Contains(mapping, key)
                                  : PySequence_Contains(mapping, key);
}

// `mapping[key]`
Ref mapping_item(PyObject* mapping, PyObject* key) {
    return is_plain_dict(mapping) ? dict_item(mapping, key)
                                  : Ref::steal(PyObject_GetItem(mapping, key));
}

// `mapping[key] = value`
bool set_mapping_item(PyObject* mapping, PyObject* key, PyObject* value) {
    return (is_plain_dict(mapping) ? PyDict_SetItem(mapping, key, value)
                                   : PyObject_SetItem(mapping, key, value)) == 0;
}

// `del mapping[key]`
bool del_mapping_item(PyObject* mapping, PyObject* key) {
    return (is_plain_dict(mapping) ? PyDict_DelItem(mapping, key)
                                   : PyObject_DelItem(mapping, key)) == 0;
}

// `entry[1]`: an index entry is a (level, order) tuple.
Ref second_item(PyObject* entry) {
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 1) {
        return Ref::borrow(PyTuple_GET_ITEM(entry, 1));
    }
    return Ref::steal(PyObject_GetItem(entry, state::small_ints[1]));
}

// ---- Order fields -----------------------------------------------------------------

template <PyObject* OrderObject::*field>
Ref get(PyObject* order, PyObject* name) {
    if (is_exact_order(order)) {
        PyObject* value = as_order(order)->*field;
        return Ref::borrow(value ? value : Py_None);
    }
    return attr(order, name);
}

Ref side_of(PyObject* order) { return get<&OrderObject::side>(order, names::side); }
Ref price_of(PyObject* order) { return get<&OrderObject::price>(order, names::price); }
Ref id_of(PyObject* order) { return get<&OrderObject::order_id>(order, names::order_id); }
Ref status_of(PyObject* order) { return get<&OrderObject::status>(order, names::status); }

template <PyObject* OrderObject::*field>
bool set(PyObject* order, PyObject* name, PyObject* value) {
    if (is_exact_order(order)) {
        Py_XSETREF(as_order(order)->*field, Py_NewRef(value));
        return true;
    }
    return PyObject_SetAttr(order, name, value) == 0;
}

bool set_price(PyObject* order, PyObject* value) {
    return set<&OrderObject::price>(order, names::price, value);
}

// order.status = OrderStatus.<m>
bool set_status(PyObject* order, Member m) {
    Ref value = member(m);
    return value && set<&OrderObject::status>(order, names::status, value.get());
}

// `order.side == OrderSide.BID`: 1, 0, or -1 with an exception set.
int is_bid(PyObject* order) {
    Ref side = side_of(order);
    Ref bid = side ? member(kBid) : Ref();
    return bid ? equals(side.get(), bid.get(), Py_EQ) : -1;
}

// ---- Quantities ---------------------------------------------------------------------

// A quantity as read from an order or a level. Read from the field of an exact record it
// stays a native number: an int cannot run code when compared or subtracted, so native
// arithmetic is indistinguishable. Read from anything else it is whatever object the
// attribute gave, and every operation on it goes through Python.
class Qty {
  public:
    static Qty native(std::int64_t v) {
        Qty q;
        q.native_ = v;
        return q;
    }
    static Qty object(Ref o) {
        Qty q;
        q.object_ = std::move(o);
        return q;
    }
    bool is_native() const { return !object_; }
    std::int64_t value() const { return native_; }
    // The quantity as a Python object (a new int for a native one); null with an error.
    Ref to_object() const {
        return object_ ? Ref::borrow(object_.get()) : Ref::steal(PyLong_FromLongLong(native_));
    }

  private:
    std::int64_t native_ = 0;
    Ref object_;
};

using MaybeQty = std::optional<Qty>;

bool fits_int32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

MaybeQty remaining_of(PyObject* order) {
    if (is_exact_order(order)) {
        return Qty::native(as_order(order)->remaining_quantity);
    }
    Ref value = attr(order, names::remaining_quantity);
    return value ? MaybeQty(Qty::object(std::move(value))) : std::nullopt;
}

MaybeQty total_of(PyObject* level) {
    if (is_exact_level(level)) {
        return Qty::native(as_level(level)->total_quantity);
    }
    Ref value = attr(level, names::total_quantity);
    return value ? MaybeQty(Qty::object(std::move(value))) : std::nullopt;
}

int compare(const Qty& a, const Qty& b, int op) {
    if (a.is_native() && b.is_native()) {
        std::int64_t x = a.value(), y = b.value();
        switch (op) {
            case Py_GT: return x > y;
            case Py_GE: return x >= y;
            case Py_EQ: return x == y;
            default: break;
        }
    }
    Ref x = a.to_object();
    Ref y = x ? b.to_object() : Ref();
    return y ? compare(x.get(), y.get(), op) : -1;
}

int has_quantity(PyObject* order) {
    MaybeQty q = remaining_of(order);
    return q ? compare(*q, Qty::native(0), Py_GT) : -1;
}

// `a -= b` on two quantities, with Python's in-place subtraction unless both are native.
MaybeQty subtract(const Qty& a, const Qty& b) {
    if (a.is_native() && b.is_native()) {
        return Qty::native(a.value() - b.value());
    }
    Ref x = a.to_object();
    Ref y = x ? b.to_object() : Ref();
    Ref r = y ? Ref::steal(PyNumber_InPlaceSubtract(x.get(), y.get())) : Ref();
    return r ? MaybeQty(Qty::object(std::move(r))) : std::nullopt;
}

// Stores a quantity attribute. A native value that fits goes straight into the field of an
// exact record; everything else goes through the attribute, whose setter converts it and
// raises (with its own traceback entry) exactly as an assignment from Python would.
bool set_remaining(PyObject* order, const Qty& q) {
    if (q.is_native() && fits_int32(q.value()) && is_exact_order(order)) {
        as_order(order)->remaining_quantity = static_cast<std::int32_t>(q.value());
        return true;
    }
    Ref value = q.to_object();
    return value && PyObject_SetAttr(order, names::remaining_quantity, value.get()) == 0;
}

bool set_total(PyObject* level, const Qty& q) {
    if (q.is_native() && fits_int32(q.value()) && is_exact_level(level)) {
        as_level(level)->total_quantity = static_cast<std::int32_t>(q.value());
        return true;
    }
    Ref value = q.to_object();
    return value && PyObject_SetAttr(level, names::total_quantity, value.get()) == 0;
}

// level.total_quantity -= source.remaining_quantity
bool lower_total(PyObject* level, PyObject* source) {
    MaybeQty total = total_of(level);
    MaybeQty q = total ? remaining_of(source) : std::nullopt;
    MaybeQty result = q ? subtract(*total, *q) : std::nullopt;
    return result && set_total(level, *result);
}

// target.remaining_quantity -= source.remaining_quantity
bool lower_remaining(PyObject* target, PyObject* source) {
    MaybeQty current = remaining_of(target);
    MaybeQty q = current ? remaining_of(source) : std::nullopt;
    MaybeQty result = q ? subtract(*current, *q) : std::nullopt;
    return result && set_remaining(target, *result);
}

// ---- Price levels -------------------------------------------------------------------

// `bool(level.queue)`: 1, 0, or -1 with an exception set.
int level_has_orders(PyObject* level) {
    Ref queue;
    if (is_exact_level(level)) {
        PyObject* q = as_level(level)->queue;
        queue = Ref::borrow(q ? q : Py_None);
    } else if (!(queue = attr(level, names::queue))) {
        return -1;
    }
    return PyObject_IsTrue(queue.get());
}

// The Python-level methods of a level. An exact PriceLevel runs the method body directly.
Ref level_peek(PyObject* level) {
    if (is_exact_level(level)) {
        return Ref::steal(function::call_body(price_level::peek_def, level, nullptr));
    }
    return call_method(names::peek, level);
}

Ref level_pop(PyObject* level) {
    if (is_exact_level(level)) {
        return Ref::steal(function::call_body(price_level::pop_def, level, nullptr));
    }
    return call_method(names::pop, level);
}

Ref level_remove_order(PyObject* level, PyObject* order_id) {
    if (is_exact_level(level)) {
        PyObject* args[] = {order_id};
        return Ref::steal(function::call_body(price_level::remove_order_def, level, args));
    }
    return call_method(names::remove_order, level, order_id);
}

// ---- Sides ----------------------------------------------------------------------------

// `next(iter(side.keys())) if side else None`: the best price of a sorted side.
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

// del self.orders[curr.order_id]
bool forget_order(PyObject* self, PyObject* curr) {
    Ref orders = attr(self, names::orders);
    Ref order_id = orders ? id_of(curr) : Ref();
    return order_id && del_mapping_item(orders.get(), order_id.get());
}

// self.orders[order_id] = (level, order)
bool index_order(PyObject* self, PyObject* level, PyObject* order, PyObject* order_id) {
    Ref entry = Ref::steal(PyTuple_Pack(2, level, order));
    Ref orders = entry ? attr(self, names::orders) : Ref();
    return orders && set_mapping_item(orders.get(), order_id, entry.get());
}

// Operations that change a book's state bump this count, so that code which has called out
// to Python can tell cheaply whether the engine ran in the meantime.
std::uint64_t engine_changes = 0;

// "order '7' is already resting in this book"
void raise_resting(PyObject* order_id) {
    PyErr_Format(PyExc_ValueError, "order %R is already resting in this book", order_id);
}

// An order that already rests in this book must not be entered a second time: a second
// index entry under the same identifier would orphan the first and corrupt its level.
// Returns the identifier read, or null with an exception set.
Ref refuse_resting(PyObject* self, PyObject* order) {
    Ref order_id = id_of(order);
    Ref orders = order_id ? attr(self, names::orders) : Ref();
    if (!orders) {
        return Ref();
    }
    int resting = mapping_contains(orders.get(), order_id.get());
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
// its caller's stack and holds nothing: the caller holds its order.
class Submission {
  public:
    Submission() = default;
    Submission(const Submission&) = delete;
    Submission& operator=(const Submission&) = delete;
    ~Submission() {
        if (order_) {
            active_.pop_back();
        }
    }

    // Registers `order`; false with ValueError when it is being submitted already.
    bool enter(PyObject* order) noexcept {
        for (const Submission* s : active_) {
            if (s->order_ == order) {
                Ref order_id = id_of(order);
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
        changes_ = engine_changes;
    }

    // The innermost submission of `order`, or null.
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

// The Decimal class bound at import, when it is the immutable built-in one: its comparisons
// run no Python code and cannot be patched, and one that equals itself is not a NaN, so it is
// ordered against itself too.
PyTypeObject* decimal_type = nullptr;  // strong

// ValueError "limit order price cannot be ordered against itself (got %R)". An error from the
// comparison that says the price cannot be compared becomes its cause; any other error (a
// RecursionError, say) is left to propagate as it is.
bool refuse_unordered(PyObject* price) {
    PyObject* cause = PyErr_GetRaisedException();
    if (cause && !PyErr_GivenExceptionMatches(cause, PyExc_TypeError) &&
        !PyErr_GivenExceptionMatches(cause, PyExc_ValueError) &&
        !PyErr_GivenExceptionMatches(cause, PyExc_ArithmeticError)) {
        PyErr_SetRaisedException(cause);
        return false;
    }
    PyErr_Format(PyExc_ValueError, "limit order price cannot be ordered against itself (got %R)",
                 price);
    if (cause) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(cause));  // steals
        PyException_SetContext(error, cause);           // steals
        PyErr_SetRaisedException(error);
    }
    return false;
}

// A limit price must be usable as a key of a sorted side for good. None cannot be ordered;
// a price unequal to itself (NaN) or not ordered against itself (`price <= price` false or
// raising, as for 1j) would break the side's ordering and with it every later order there.
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
        same = compare(price, price, Py_EQ);
    }
    if (same == 0) {
        PyErr_Format(PyExc_ValueError, "limit order price must be equal to itself (got %R)",
                     price);
    }
    if (same <= 0) {
        return false;
    }
    if (PyFloat_CheckExact(price) || Py_IS_TYPE(price, decimal_type)) {
        return true;
    }
    int ordered = compare(price, price, Py_LE);
    return ordered > 0 || refuse_unordered(price);
}

bool Submission::vouches_for_price(PyObject* price) const noexcept {
    return price_ && price == price_ &&
           (PyLong_CheckExact(price) || PyFloat_CheckExact(price) ||
            Py_IS_TYPE(price, decimal_type));
}

// ---- Construction and best prices -------------------------------------------------------

PyObject** const x_params[] = {&names::x};
PyObject** const self_params[] = {&names::self};
PyObject** const order_params[] = {&names::self, &names::order};
PyObject** const order_id_params[] = {&names::self, &names::order_id};

PyObject* negate_body(PyObject*, PyObject* const* args) { return PyNumber_Negative(args[0]); }

// The key function of the bid side: `lambda x: -x`, a new one for every book. It pickles
// as operator.neg, which negates through the same number protocol and so sorts the same.
function::Def negate_def{
    "<lambda>",
    "OrderBook.__init__.<locals>.<lambda>",
    {"<lambda>", x_params, 1, 1},
    negate_body,
    nullptr,
    "(x)",
    {"velmora.orderbook.OrderBook.__init__.<locals>.<lambda>", "velmora/book.cpp", __LINE__},
    nullptr,
    {"operator", "neg"},
};

PyObject* init_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref sorted_dict = names::lookup_global(names::SortedDict);
    Ref key = sorted_dict ? function::make(negate_def) : Ref();
    Ref bids = key ? Ref::steal(PyObject_CallOneArg(sorted_dict.get(), key.get())) : Ref();
    if (!bids || PyObject_SetAttr(self, names::bids, bids.get()) < 0) {
        return nullptr;
    }
    sorted_dict = names::lookup_global(names::SortedDict);
    Ref asks = sorted_dict ? Ref::steal(PyObject_CallNoArgs(sorted_dict.get())) : Ref();
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
    return PyObject_GetAttr(args[0], names::_best_bid);
}

PyObject* best_ask_body(PyObject*, PyObject* const* args) {
    return PyObject_GetAttr(args[0], names::_best_ask);
}

// ---- Matching ---------------------------------------------------------------------------

// log = Trade(curr.price, quantity, order.side, order.order_id, curr.order_id,
//             TradeType.MARKET if order.price is None else TradeType.LIMIT)
// self.trade_log.append(log)
bool record_trade(PyObject* self, PyObject* order, PyObject* curr, const Qty& quantity) {
    Ref cls = names::lookup_global(names::Trade);  // the callable is evaluated first
    if (!cls) {
        return false;
    }
    Ref price = price_of(curr);
    Ref q = price ? quantity.to_object() : Ref();
    Ref side = q ? side_of(order) : Ref();
    Ref aggressor_id = side ? id_of(order) : Ref();
    Ref filler_id = aggressor_id ? id_of(curr) : Ref();
    Ref order_price = filler_id ? price_of(order) : Ref();
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
    Ref trade_log = log ? attr(self, names::trade_log) : Ref();
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
    Ref order_id = id_of(curr);
    Ref orders = order_id ? attr(self, names::orders) : Ref();
    if (!orders) {
        return false;
    }
    Ref entry = mapping_item(orders.get(), order_id.get());
    Ref indexed = entry ? second_item(entry.get()) : Ref();
    if (indexed && indexed.get() == curr) {
        return true;
    }
    if (!indexed) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) &&
            !PyErr_ExceptionMatches(PyExc_IndexError) &&
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

// One fill of `order` against the oldest order of `level`.
bool fill_once(PyObject* self, PyObject* order, PyObject* level) {
    Ref curr_ref = level_peek(level);
    if (!curr_ref || !check_indexed(self, curr_ref.get())) {
        return false;
    }
    PyObject* curr = curr_ref.get();

    // quantity = order.remaining_quantity if curr.rq >= order.rq else curr.rq
    MaybeQty resting = remaining_of(curr);
    MaybeQty incoming = resting ? remaining_of(order) : std::nullopt;
    int resting_covers = incoming ? compare(*resting, *incoming, Py_GE) : -1;
    if (resting_covers < 0) {
        return false;
    }
    MaybeQty quantity = resting_covers ? remaining_of(order) : remaining_of(curr);
    if (!quantity || !record_trade(self, order, curr, *quantity)) {
        return false;
    }

    resting = remaining_of(curr);
    incoming = resting ? remaining_of(order) : std::nullopt;
    int larger = incoming ? compare(*resting, *incoming, Py_GT) : -1;
    if (larger < 0) {
        return false;
    }
    if (larger) {
        // The resting order absorbs the whole incoming order and keeps its place.
        return set_status(order, kFilled) && set_status(curr, kPartiallyFilled) &&
               lower_total(level, order) && lower_remaining(curr, order) &&
               set_remaining(order, Qty::native(0));
    }

    resting = remaining_of(curr);
    incoming = resting ? remaining_of(order) : std::nullopt;
    int equal = incoming ? compare(*resting, *incoming, Py_EQ) : -1;
    if (equal < 0) {
        return false;
    }
    if (equal) {
        if (!set_status(order, kFilled) || !set_status(curr, kFilled) ||
            !lower_total(level, curr) || !set_remaining(curr, Qty::native(0)) ||
            !set_remaining(order, Qty::native(0)) || !forget_order(self, curr)) {
            return false;
        }
    } else {
        if (!set_status(order, kPartiallyFilled) || !set_status(curr, kFilled) ||
            !lower_total(level, curr) || !lower_remaining(order, curr) ||
            !set_remaining(curr, Qty::native(0)) || !forget_order(self, curr)) {
            return false;
        }
    }
    // The used-up order has nothing left, so the pop lowers the total by nothing more.
    return bool(level_pop(level));
}

PyObject* match_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order = args[1];
    if (!args::check_type(order, &OrderType, "order", false, false)) {
        return nullptr;
    }
    ++engine_changes;
    int bid = is_bid(order);
    Ref opposite = bid < 0 ? Ref() : attr(self, bid ? names::asks : names::bids);
    if (!opposite || (bid = is_bid(order)) < 0) {
        return nullptr;
    }
    Ref best = bid ? call_book_method(names::best_ask, best_ask_def, self)
                   : call_book_method(names::best_bid, best_bid_def, self);
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
        Ref side = attr(self, bid ? names::asks : names::bids);
        Ref new_best = side ? first_key_or_none(side.get()) : Ref();
        if (!new_best ||
            PyObject_SetAttr(self, bid ? names::_best_ask : names::_best_bid, new_best.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---- Limit and market entry ---------------------------------------------------------------

// while self.<opposite side> and <price crosses> and order.remaining_quantity > 0:
//     self._match(order)
// A buy crosses when price >= self.best_ask(), a sell when price <= self.best_bid() (equal
// prices trade); with no price (a market order) there is no price test.
bool match_while_crossing(PyObject* self, PyObject* order, PyObject* price) {
    int bid = is_bid(order);
    if (bid < 0) {
        return false;
    }
    PyObject* opposite_name = bid ? names::asks : names::bids;
    PyObject* best_name = bid ? names::best_ask : names::best_bid;
    function::Def& best_def = bid ? best_ask_def : best_bid_def;
    for (;;) {
        Ref opposite = attr(self, opposite_name);
        int go = opposite ? PyObject_IsTrue(opposite.get()) : -1;
        if (go > 0 && price) {
            Ref best = call_book_method(best_name, best_def, self);
            go = best ? compare(price, best.get(), bid ? Py_GE : Py_LE) : -1;
        }
        if (go > 0) {
            go = has_quantity(order);
        }
        if (go <= 0) {
            return go == 0;
        }
        if (!call_book_method(names::_match, match_def, self, order)) {
            return false;
        }
    }
}

PyObject* add_limit_order_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* order = args[1];
    Submission submission;
    if (!args::check_type(order, &OrderType, "order", false, false) ||
        !submission.enter(order)) {
        return nullptr;
    }
    Ref order_id = refuse_resting(self, order);
    if (!order_id) {
        return nullptr;
    }
    ++engine_changes;
    Ref price = price_of(order);  // read once: the crossing tests compare this value
    if (!price || !check_limit_price(price.get())) {
        return nullptr;
    }
    submission.checked(price.get(), order_id.get());
    if (!match_while_crossing(self, order, price.get())) {
        return nullptr;
    }
    if (!call_book_method(names::_update_limit_order, update_limit_order_def, self, order)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// new_price_level = PriceLevel(price, order.side), typed as a PriceLevel.
Ref new_level(PyObject* price, PyObject* order) {
    Ref cls = names::lookup_global(names::PriceLevel);
    Ref side = cls ? side_of(order) : Ref();
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
    PyObject* cache = bid ? names::_best_bid : names::_best_ask;
    Ref best = attr(self, cache);
    if (!best) {
        return false;
    }
    std::uint64_t changes = engine_changes;
    int better = 1;
    if (best.get() != Py_None) {
        better = compare(price, best.get(), bid ? Py_GT : Py_LT);
    }
    if (better < 0) {
        return false;
    }
    Ref new_best;
    if (changes != engine_changes) {
        new_best = first_key_or_none(side);
    } else if (better) {
        new_best = Ref::borrow(price);
    } else {
        return true;
    }
    return new_best && PyObject_SetAttr(self, cache, new_best.get()) == 0;
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
    Ref orders = attr(self, names::orders);
    int resting = orders ? mapping_contains(orders.get(), order_id) : -1;
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
        Ref status = status_of(order);
        Ref filled = status ? member(kFilled) : Ref();
        go = filled ? equals(status.get(), filled.get(), Py_NE) : -1;
    }
    if (go <= 0) {
        return go < 0 ? nullptr : Py_NewRef(Py_None);
    }
    // What add_limit_order checked on entry is asked again only where it could have changed.
    const Submission* entry = Submission::of(order);
    std::uint64_t changes_before = engine_changes++;
    int bid = is_bid(order);
    Ref side_dict = bid < 0 ? Ref() : attr(self, bid ? names::bids : names::asks);
    Ref price = side_dict ? price_of(order) : Ref();
    if (!price ||
        (!(entry && entry->vouches_for_price(price.get())) && !check_limit_price(price.get()))) {
        return nullptr;
    }
    Ref order_id = id_of(order);
    if (!order_id) {
        return nullptr;
    }
    if (!(entry && entry->vouches_for_id(order_id.get(), changes_before))) {
        Ref orders = attr(self, names::orders);
        int resting = orders ? mapping_contains(orders.get(), order_id.get()) : -1;
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
    std::uint64_t changes = engine_changes;
    Ref level = present ? side_item(side_dict.get(), price.get()) : new_level(price.get(), order);
    if (!level || !price_level::add_order(level.get(), order, order_id.get())) {
        return nullptr;
    }
    if (changes != engine_changes) {
        int fits = still_fits(self, side_dict.get(), price.get(), level.get(), !present,
                              order_id.get());
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
    if (!args::check_type(order, &OrderType, "order", false, false) ||
        !submission.enter(order) || !refuse_resting(self, order) || !set_price(order, Py_None)) {
        return nullptr;
    }
    ++engine_changes;
    if (!match_while_crossing(self, order, nullptr)) {
        return nullptr;
    }
    int unfilled = has_quantity(order);
    if (unfilled < 0 || (unfilled && !set_status(order, kPartiallyFilled))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- Cancellation -----------------------------------------------------------------------------

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
    Ref orders = attr(self, names::orders);
    int resting = orders ? mapping_contains(orders.get(), order_id) : -1;
    if (resting <= 0) {
        return resting < 0 ? nullptr : Py_NewRef(Py_False);
    }
    ++engine_changes;
    orders = attr(self, names::orders);
    Ref entry = orders ? mapping_item(orders.get(), order_id) : Ref();
    Ref order_ref = entry ? second_item(entry.get()) : Ref();
    if (!order_ref) {
        return nullptr;
    }
    PyObject* order = order_ref.get();
    int bid = is_bid(order);
    Ref side = bid < 0 ? Ref() : attr(self, bid ? names::bids : names::asks);
    PyObject* cache = bid ? names::_best_bid : names::_best_ask;
    Ref price = side ? price_of(order) : Ref();
    Ref level = price ? side_item(side.get(), price.get()) : Ref();
    Ref id = level ? id_of(order) : Ref();
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
    if (!set_status(order, kCancelled) || !level_remove_order(level.get(), order_id)) {
        return nullptr;
    }
    level = side_item(side.get(), price.get());
    MaybeQty total = level ? total_of(level.get()) : std::nullopt;
    int emptied = total ? compare(*total, Qty::native(0), Py_EQ) : -1;
    if (emptied < 0) {
        return nullptr;
    }
    if (emptied) {
        if (PyObject_DelItem(side.get(), price.get()) < 0) {
            return nullptr;
        }
        Ref best = attr(self, cache);
        int was_best = best ? compare(price.get(), best.get(), Py_EQ) : -1;
        if (was_best < 0) {
            return nullptr;
        }
        if (was_best) {
            Ref new_best = first_key_or_none(side.get());
            if (!new_best || PyObject_SetAttr(self, cache, new_best.get()) < 0) {
                return nullptr;
            }
        }
    }
    orders = attr(self, names::orders);
    if (!orders || !del_mapping_item(orders.get(), order_id)) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

// ---- The class --------------------------------------------------------------------------------

#define BOOK_SITE(fn) {"velmora.orderbook.OrderBook." fn, "velmora/book.cpp", __LINE__}

const char* const order_annotations[] = {"order", "Order", nullptr};
const char* const entry_annotations[] = {"order", "Order", "return", "None", nullptr};
const char* const cancel_annotations[] = {"order_id", "str", "return", "bool", nullptr};
const char* const price_annotations[] = {"return", "Decimal", nullptr};

function::Def init_def{
    "__init__", "OrderBook.__init__", {"__init__", self_params, 1, 1},
    init_body,  nullptr,              "(self)",
    BOOK_SITE("__init__"),
};
function::Def match_def{
    "_match",   "OrderBook._match",  {"_match", order_params, 2, 2},
    match_body, order_annotations, "(self, order)",
    BOOK_SITE("_match"),
};
function::Def update_limit_order_def{
    "_update_limit_order",
    "OrderBook._update_limit_order",
    {"_update_limit_order", order_params, 2, 2},
    update_limit_order_body,
    order_annotations,
    "(self, order)",
    BOOK_SITE("_update_limit_order"),
};
function::Def add_limit_order_def{
    "add_limit_order",
    "OrderBook.add_limit_order",
    {"add_limit_order", order_params, 2, 2},
    add_limit_order_body,
    entry_annotations,
    "(self, order)",
    BOOK_SITE("add_limit_order"),
};
function::Def add_market_order_def{
    "add_market_order",
    "OrderBook.add_market_order",
    {"add_market_order", order_params, 2, 2},
    add_market_order_body,
    entry_annotations,
    "(self, order)",
    BOOK_SITE("add_market_order"),
};
function::Def cancel_order_def{
    "cancel_order",
    "OrderBook.cancel_order",
    {"cancel_order", order_id_params, 2, 2},
    cancel_order_body,
    cancel_annotations,
    "(self, order_id)",
    BOOK_SITE("cancel_order"),
};
function::Def best_bid_def{
    "best_bid",    "OrderBook.best_bid", {"best_bid", self_params, 1, 1},
    best_bid_body, price_annotations,   "(self)",
    BOOK_SITE("best_bid"),
};
function::Def best_ask_def{
    "best_ask",    "OrderBook.best_ask", {"best_ask", self_params, 1, 1},
    best_ask_body, price_annotations,   "(self)",
    BOOK_SITE("best_ask"),
};

}  // namespace

bool make_class() {
    Ref sorted_dict = names::lookup_global(names::SortedDict);
    if (!sorted_dict) {
        return false;
    }
    if (PyType_Check(sorted_dict.get())) {
        Py_XSETREF(sorted_dict_type, reinterpret_cast<PyTypeObject*>(sorted_dict.release()));
        sorted_dict_version = 0;
    }
    Ref decimal = names::lookup_global(names::Decimal);
    if (!decimal) {
        return false;
    }
    if (PyType_Check(decimal.get()) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(decimal.get()),
                          Py_TPFLAGS_IMMUTABLETYPE)) {
        Py_XSETREF(decimal_type, reinterpret_cast<PyTypeObject*>(decimal.release()));
    }
    function::Def* const methods[] = {
        &init_def,         &match_def,         &update_limit_order_def,      &add_limit_order_def,
        &add_market_order_def, &cancel_order_def, &best_bid_def, &best_ask_def,
        &report::print_trade_log_def, &report::str_def,
    };
    Ref ns = Ref::steal(PyDict_New());
    Ref qualname = ns ? Ref::steal(PyUnicode_FromString("OrderBook")) : Ref();
    if (!qualname || PyDict_SetItem(ns.get(), names::__module__, names::velmora_orderbook) < 0 ||
        PyDict_SetItem(ns.get(), names::__qualname__, qualname.get()) < 0) {
        return false;
    }
    for (function::Def* def : methods) {
        Ref fn = function::make(*def);
        if (!fn || PyDict_SetItemString(ns.get(), def->name, fn.get()) < 0) {
            return false;
        }
    }
    Ref cls = definitions::plain_class(qualname.get(), ns.get());
    return cls && names::store_global(names::OrderBook, cls.get());
}

}  // namespace velmora::book
