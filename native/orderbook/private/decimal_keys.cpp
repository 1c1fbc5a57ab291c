// Native comparisons of exact Decimals and the first probe of a dict keyed by them.
#include "private/decimal_keys.hpp"

#include <cstddef>
#include <cstdint>

#include "private/layout.hpp"
#include "ref.hpp"
#include "runtime/state.hpp"

namespace velmora::decimal_keys {
namespace {

PyTypeObject* type = nullptr;  // the Decimal type the reads are checked against; null: off

const layout::DecimalObject* dec(PyObject* o) {
    return reinterpret_cast<const layout::DecimalObject*>(o);
}

// -1, 0, 1 as |a| is less than, equal to or greater than |b|, for finite values of one
// exponent: by digit count, then word by word from the most significant.
int compare_coefficients(const layout::DecimalObject* a, const layout::DecimalObject* b) {
    if (a->digits != b->digits) {
        return a->digits < b->digits ? -1 : 1;
    }
    for (Py_ssize_t i = a->len - 1; i >= 0; --i) {
        if (a->data[i] != b->data[i]) {
            return a->data[i] < b->data[i] ? -1 : 1;
        }
    }
    return 0;
}

}  // namespace

int compare(PyObject* a, PyObject* b, int op) {
    if (!kFastPaths || !type || !Py_IS_TYPE(a, type) || !Py_IS_TYPE(b, type)) {
        return -1;
    }
    const layout::DecimalObject* x = dec(a);
    const layout::DecimalObject* y = dec(b);
    // Specials, different exponents and different signs (0 and -0 are equal) are left to the
    // decimal module.
    if (((x->flags | y->flags) & layout::kDecimalSpecial) || x->exp != y->exp ||
        ((x->flags ^ y->flags) & layout::kDecimalNegative) || x->len != y->len || x->len < 1) {
        return -1;
    }
    int c = compare_coefficients(x, y);
    if (x->flags & layout::kDecimalNegative) {
        c = -c;
    }
    switch (op) {
        case Py_LT: return c < 0;
        case Py_LE: return c <= 0;
        case Py_EQ: return c == 0;
        case Py_NE: return c != 0;
        case Py_GT: return c > 0;
        case Py_GE: return c >= 0;
        default: return -1;
    }
}

int probe(PyObject* dict, PyObject* key, PyObject** value) {
    if (!kFastPaths || !type || !Py_IS_TYPE(key, type) ||
        reinterpret_cast<PyDictObject*>(dict)->ma_values) {
        return -1;
    }
    const layout::KeysHead* keys = layout::keys_of(dict);
    Py_hash_t hash = dec(key)->hash;
    if (keys->kind != layout::kGeneralKeys || hash == -1) {
        return -1;
    }
    // The slot the dict's own look-up examines first. An empty one ends that look-up with
    // no comparison made; a key found there by identity, or of the same hash and an equal
    // exact Decimal, is what it finds. Anything else (a deleted slot, another key) it would
    // probe further, and so does the caller.
    std::size_t mask = (std::size_t{1} << keys->log2_size) - 1;
    Py_ssize_t ix = layout::index_at(keys, static_cast<std::size_t>(hash) & mask);
    if (ix == -1) {
        return 0;
    }
    if (ix < 0 || ix >= keys->nentries) {
        return -1;
    }
    const layout::GeneralEntry& entry = layout::entries_of<layout::GeneralEntry>(keys)[ix];
    if (entry.key != key && (entry.hash != hash || compare(entry.key, key, Py_EQ) != 1)) {
        return -1;
    }
    *value = entry.value;
    return 1;
}

namespace {

Ref make(PyObject* cls, const char* text) {
    return Ref::steal(PyObject_CallFunction(cls, "s", text));
}

// What the native reads must see in Decimals whose layout is known.
bool decimals_read_as_expected(PyObject* cls, bool* good) {
    struct Known {
        const char* text;
        std::uint8_t flags;
        Py_ssize_t exp, digits, len;
        std::uint64_t low, high;
    };
    const Known known[] = {
        {"-123.45", 1, -2, 5, 1, 12345, 0},
        {"12345678901234567890123", 0, 0, 23, 2, 5678901234567890123ULL, 1234},
        {"0", 0, 0, 1, 1, 0, 0},
        {"1E+5", 0, 5, 1, 1, 1, 0},
    };
    for (const Known& k : known) {
        Ref d = make(cls, k.text);
        if (!d) {
            return false;
        }
        const layout::DecimalObject* x = dec(d.get());
        // Only the sign and the special kinds: the other flags say how the storage was allocated.
        std::uint8_t kind = x->flags & (layout::kDecimalNegative | layout::kDecimalSpecial);
        *good = *good && x->hash == -1 && kind == k.flags && x->exp == k.exp &&
                x->digits == k.digits && x->len == k.len && x->data && x->data[0] == k.low &&
                (k.len < 2 || x->data[1] == k.high);
        Py_hash_t hash = PyObject_Hash(d.get());
        if (hash == -1) {
            return false;
        }
        *good = *good && x->hash == hash;
    }
    for (const char* special : {"NaN", "sNaN", "-Infinity"}) {
        Ref d = make(cls, special);
        if (!d) {
            return false;
        }
        *good = *good && (dec(d.get())->flags & layout::kDecimalSpecial);
    }
    return true;
}

// Native comparisons agree with the decimal module's on pairs that cover every branch.
bool comparisons_agree(PyObject* cls, bool* good) {
    const char* values[] = {"1.05",
                            "1.50",
                            "-1.05",
                            "-2.50",
                            "0.00",
                            "-0.00",
                            "10.00",
                            "1.5",
                            "NaN",
                            "99999999999999999999.99",
                            "100000000000000000000.00"};
    for (const char* a_text : values) {
        for (const char* b_text : values) {
            Ref a = make(cls, a_text);
            Ref b = a ? make(cls, b_text) : Ref();
            if (!b) {
                return false;
            }
            for (int op : {Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE}) {
                int native = compare(a.get(), b.get(), op);
                if (native < 0) {
                    continue;
                }
                Ref r = Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
                int expected = r ? PyObject_IsTrue(r.get()) : -1;
                if (expected < 0) {
                    return false;
                }
                *good = *good && native == expected;
            }
        }
    }
    // Prices of one tick grid are decided natively.
    Ref a = make(cls, "100.01");
    Ref b = a ? make(cls, "100.02") : Ref();
    *good = *good && b && compare(a.get(), b.get(), Py_LT) == 1;
    return bool(b);
}

// First probes find what the dict holds: small and large index tables, a found key by
// identity and by equality, an absent key.
bool probes_agree(PyObject* cls, bool* good) {
    for (long n : {3L, 300L}) {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) {
            return false;
        }
        for (long i = 1; i <= n; ++i) {
            Ref key = Ref::steal(PyObject_CallFunction(cls, "l", i));
            Ref value = key ? Ref::steal(PyLong_FromLong(i)) : Ref();
            if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
                return false;
            }
        }
        long found = 0;
        for (long i = 1; i <= n + 1; ++i) {
            Ref key = Ref::steal(PyObject_CallFunction(cls, "l", i));
            if (!key || PyObject_Hash(key.get()) == -1) {
                return false;
            }
            PyObject* value = nullptr;
            int r = probe(dict.get(), key.get(), &value);
            if (r == 1) {
                *good = *good && i <= n && PyLong_Check(value) && PyLong_AsLong(value) == i;
                ++found;
            } else if (r == 0) {
                *good = *good && i == n + 1;
            }
        }
        *good = *good && found == n;  // consecutive small hashes: every first probe hits
    }
    return true;
}

}  // namespace

bool check_layout(PyObject* decimal_type) {
    type = nullptr;
    if (!kFastPaths || !decimal_type || !PyType_Check(decimal_type)) {
        return true;
    }
    PyTypeObject* candidate = reinterpret_cast<PyTypeObject*>(decimal_type);
    bool good = candidate->tp_basicsize >= static_cast<Py_ssize_t>(sizeof(layout::DecimalObject));
    if (good) {
        type = candidate;  // on while the checks run
        bool built = decimals_read_as_expected(decimal_type, &good) &&
                     comparisons_agree(decimal_type, &good) && probes_agree(decimal_type, &good);
        type = built && good ? candidate : nullptr;
        if (!built) {
            return false;
        }
    }
    return good || PyErr_WarnFormat(PyExc_ImportWarning, 1,
                                    "%s: this interpreter's Decimal layout is not the one the "
                                    "native price reads expect; they are off",
                                    state::kModuleName) == 0;
}

}  // namespace velmora::decimal_keys
