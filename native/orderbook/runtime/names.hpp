// Interned strings for every attribute and global name the module uses, made once
// at import, and the lookup of module globals with their fallback to the builtins.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "ref.hpp"
#include "runtime/state.hpp"

// X(identifier) interns the identifier's own spelling; S(identifier, "text") interns text.
// clang-format off: one table, laid out by hand
#define VELMORA_NAMES(X, S)                                                                    \
    X(side) X(original_quantity) X(price) X(remaining_quantity) X(order_id) X(status)          \
    X(queue) X(total_quantity) X(order) X(self) X(x) X(OrderSide) X(OrderStatus)               \
    X(TradeType) X(Trade) X(SortedDict) X(OrderedDict) X(_next_id) X(_order_counter)           \
    X(Order) X(PriceLevel) X(OrderBook) X(BID) X(ASK) X(OPEN) X(PARTIALLY_FILLED) X(FILLED)    \
    X(CANCELLED) X(LIMIT) X(MARKET) X(bids) X(asks) X(orders) X(_best_bid) X(_best_ask)        \
    X(trade_log) X(_match) X(_update_limit_order) X(best_bid) X(best_ask) X(add_order)         \
    X(remove_order) X(peek) X(pop) X(values) X(popitem) X(last) X(items) X(keys) X(append)     \
    X(name) X(update) X(dataclass) X(field) X(datetime) X(now) X(default_factory)              \
    S(init_, "init") X(Enum) X(Decimal) X(Optional) X(collections) X(dataclasses) X(decimal)   \
    S(enum_, "enum") X(sortedcontainers) X(typing) X(pickle) X(PickleError)                    \
    X(quantity_filled) X(aggressor_side) X(aggressor_id) X(filler_id) X(trade_type)            \
    X(timestamp) X(add_note) X(print) X(enumerate) X(reversed) S(__pyx_state, "__pyx_state")   \
    S(__pyx_type, "__pyx_type") S(__pyx_checksum, "__pyx_checksum")                            \
    S(__pyx_unpickle_Order, "__pyx_unpickle_Order")                                            \
    S(__pyx_unpickle_PriceLevel, "__pyx_unpickle_PriceLevel") S(__module__, "__module__")      \
    S(__qualname__, "__qualname__") S(__annotations__, "__annotations__")                      \
    S(__dict__, "__dict__") S(__new__, "__new__") S(__reduce__, "__reduce__")                  \
    S(__reduce_ex__, "__reduce_ex__") S(__getstate__, "__getstate__")                          \
    S(__setstate__, "__setstate__") S(__test__, "__test__") S(__prepare__, "__prepare__")      \
    S(__mro_entries__, "__mro_entries__") S(__init__, "__init__")                              \
    S(__contains__, "__contains__") S(__getitem__, "__getitem__")                              \
    S(__missing__, "__missing__") S(__name__, "__name__")                                      \
    S(velmora_orderbook, "velmora.orderbook") S(empty, "")
// clang-format on

namespace velmora::names {

// The argument is the name being declared, which cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VELMORA_DECLARE_X(n) extern PyObject* n;
#define VELMORA_DECLARE_S(n, text) extern PyObject* n;
// NOLINTEND(bugprone-macro-parentheses)
VELMORA_NAMES(VELMORA_DECLARE_X, VELMORA_DECLARE_S)
#undef VELMORA_DECLARE_X
#undef VELMORA_DECLARE_S

// Creates every interned string; idempotent. Returns false with an exception set.
bool init();

// Starts watching the module namespace and the builtins for changes, so that global
// lookups can be cached. Called whenever a module namespace is recorded.
void watch_namespace();

namespace detail {

// The cache of global lookups; names.cpp keeps it and states its rules. A name is looked for
// first in its home slot, inline, and anywhere else out of line.
struct CacheEntry {
    PyObject* key;
    PyObject* value;  // borrowed from the namespace (or the builtins) that binds it
    std::uint64_t version;
};
inline constexpr std::size_t kCacheSize = 128;  // a power of two, well above the names used
extern CacheEntry cache[kCacheSize];
extern std::uint64_t version;
extern PyObject* watched_module_dict;  // identity only, never dereferenced

inline std::size_t home_slot(PyObject* key) {
    return (reinterpret_cast<std::uintptr_t>(key) >> 4) & (kCacheSize - 1);
}

Ref lookup_global_slow(PyObject* key);

}  // namespace detail

// The value bound to `name` in the module namespace, else among the builtins; raises
// NameError "name '%U' is not defined" when it is in neither. A rebinding is seen at once.
inline Ref lookup_global(PyObject* key) {
    const detail::CacheEntry& entry = detail::cache[detail::home_slot(key)];
    PyObject* ns = state::module_dict.get();
    if (entry.key == key && entry.version == detail::version && ns &&
        ns == detail::watched_module_dict) {
        return Ref::borrow(entry.value);
    }
    return detail::lookup_global_slow(key);
}

// Attribute lookup that tells a missing attribute apart: 1 found (stored in `out`),
// 0 missing (AttributeError cleared), -1 any other error.
int lookup_attr(PyObject* obj, PyObject* name, Ref& out);

// Binds `name` in the module namespace.
bool store_global(PyObject* name, PyObject* value);

}  // namespace velmora::names
