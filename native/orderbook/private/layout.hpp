// Mirrors of CPython 3.12's private object layouts that the engine's shortcuts read: a dict's
// keys object and its entries, and the decimal module's Decimal. Nothing here is trusted on
// its own: each reader checks the layout against objects built for the purpose when the module
// is imported (instance.cpp, decimal_keys.cpp) and takes the general path for good if it
// differs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "private/fence.hpp"

namespace velmora::layout {

// PyDictKeysObject: this head, then the index table (2**log2_index_bytes bytes, entries of
// 1, 2, 4 or 8 bytes as the table grows), then the entries.
struct KeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
constexpr std::uint8_t kGeneralKeys = 0;  // any keys: entries carry their hash
constexpr std::uint8_t kSplitKeys = 2;    // a class's shared keys for its instances' values

// An entry of a dict whose keys are all exact str (unicode or split kind).
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
// An entry of a general dict.
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};

inline const KeysHead* keys_of(PyObject* dict) {
    return reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}
inline const char* indices_of(const KeysHead* keys) {
    return reinterpret_cast<const char*>(keys + 1);
}
template <typename Entry>
const Entry* entries_of(const KeysHead* keys) {
    return reinterpret_cast<const Entry*>(indices_of(keys) +
                                          (std::size_t{1} << keys->log2_index_bytes));
}
// The index table's slot i: an entry number, -1 empty, -2 a deleted entry's slot.
inline Py_ssize_t index_at(const KeysHead* keys, std::size_t i) {
    const char* indices = indices_of(keys);
    if (keys->log2_size < 8) {
        return reinterpret_cast<const std::int8_t*>(indices)[i];
    }
    if (keys->log2_size < 16) {
        return reinterpret_cast<const std::int16_t*>(indices)[i];
    }
    if (keys->log2_size >= 32) {
        return static_cast<Py_ssize_t>(reinterpret_cast<const std::int64_t*>(indices)[i]);
    }
    return reinterpret_cast<const std::int32_t*>(indices)[i];
}

// decimal.Decimal: the object head, its cached hash (-1 until computed), and its mpd_t value:
// flags (sign and special kinds), exponent, digit count, coefficient length in words of
// 10**19, allocated words, and the words, least significant first.
struct DecimalObject {
    PyObject_HEAD
    Py_hash_t hash;
    std::uint8_t flags;
    Py_ssize_t exp;
    Py_ssize_t digits;
    Py_ssize_t len;
    Py_ssize_t alloc;
    const std::uint64_t* data;
};
constexpr std::uint8_t kDecimalNegative = 1;
constexpr std::uint8_t kDecimalSpecial = 2 | 4 | 8;  // infinity, quiet NaN, signalling NaN

}  // namespace velmora::layout
