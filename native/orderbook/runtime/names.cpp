// The interned strings and the lookup of module globals.
#include "runtime/names.hpp"

#include <cstddef>
#include <cstdint>

#include "private/cpython.hpp"
#include "runtime/state.hpp"

namespace velmora::names {

#define VELMORA_DEFINE_X(n) PyObject* n = nullptr;
#define VELMORA_DEFINE_S(n, text) PyObject* n = nullptr;
VELMORA_NAMES(VELMORA_DEFINE_X, VELMORA_DEFINE_S)
#undef VELMORA_DEFINE_X
#undef VELMORA_DEFINE_S

bool init() {
#define VELMORA_INTERN_X(n) \
    if (!(n) && !((n) = PyUnicode_InternFromString(#n))) return false;
#define VELMORA_INTERN_S(n, text) \
    if (!(n) && !((n) = PyUnicode_InternFromString(text))) return false;
    VELMORA_NAMES(VELMORA_INTERN_X, VELMORA_INTERN_S)
#undef VELMORA_INTERN_X
#undef VELMORA_INTERN_S
    return true;
}

namespace detail {
CacheEntry cache[kCacheSize];
std::uint64_t version = 1;  // never 0: 0 marks a single forgotten entry
PyObject* watched_module_dict = nullptr;
}  // namespace detail

namespace {

// Global lookups are cached per name. A dict watcher sees every change to the module
// namespace and to the builtins before it is made: it forgets the entry of the name
// changed, or bumps `version` to make every entry stale at once. A cached value is
// borrowed: the dict that holds it cannot drop it without first telling the watcher.
// The cache is used only while `watched_module_dict` is the namespace recorded (it is
// set only once the watcher exists).
using detail::cache;
using detail::CacheEntry;
using detail::kCacheSize;
using detail::version;
using detail::watched_module_dict;

constexpr std::size_t kMaxProbes = 16;
std::uint64_t changes_seen = 0;  // every event the watcher has been told of, in any dict
int watcher_id = -1;

CacheEntry* find_entry(PyObject* key);

int on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    // Must not run Python code or release references here. A change of one interned
    // name forgets only that name (interned: it is the very key the cache holds);
    // anything else forgets everything.
    ++changes_seen;
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
         event == PyDict_EVENT_DELETED) &&
        key && PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key)) {
        if (CacheEntry* entry = find_entry(key)) {
            entry->version = 0;
        }
        return 0;
    }
    ++version;
    if (event == PyDict_EVENT_DEALLOCATED && dict == watched_module_dict) {
        watched_module_dict = nullptr;  // a new namespace may reuse the address
    }
    return 0;
}

// The entry for `key`, or the free slot where it would go; null when every slot holds another
// key (the lookup then simply goes uncached). Probes at most kMaxProbes slots.
CacheEntry* slot_for(PyObject* key) {
    std::size_t i = detail::home_slot(key);
    for (std::size_t probes = 0; probes < kMaxProbes; ++probes) {
        if (!cache[i].key || cache[i].key == key) {
            return &cache[i];
        }
        i = (i + 1) & (kCacheSize - 1);
    }
    return nullptr;
}

CacheEntry* find_entry(PyObject* key) {
    CacheEntry* entry = slot_for(key);
    return entry && entry->key == key ? entry : nullptr;
}

Ref lookup_uncached(PyObject* key) {
    if (state::module_dict) {
        if (PyObject* v = PyDict_GetItemWithError(state::module_dict.get(), key)) {
            return Ref::borrow(v);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    if (state::builtins) {
        PyObject* bdict = PyModule_GetDict(state::builtins.get());  // borrowed, never fails
        if (PyObject* v = PyDict_GetItemWithError(bdict, key)) {
            return Ref::borrow(v);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref();
}

// Whether lookups may use the cache: the watcher is installed and watches the namespace
// currently recorded.
bool cache_usable() {
    return watcher_id >= 0 && state::module_dict && state::module_dict.get() == watched_module_dict;
}

}  // namespace

void watch_namespace() {
    ++version;
    if (watcher_id < 0) {
        watcher_id = cpython::add_dict_watcher(on_namespace_change);
        if (watcher_id < 0) {
            return;  // lookups simply stay uncached
        }
        if (PyDict_Watch(watcher_id, PyModule_GetDict(state::builtins.get())) < 0) {
            PyErr_Clear();
            PyDict_ClearWatcher(watcher_id);
            watcher_id = -1;
            return;
        }
    }
    watched_module_dict = nullptr;
    if (PyDict_Watch(watcher_id, state::module_dict.get()) < 0) {
        PyErr_Clear();
        return;
    }
    watched_module_dict = state::module_dict.get();
}

Ref detail::lookup_global_slow(PyObject* key) {
    if (!cache_usable()) {
        return lookup_uncached(key);
    }
    CacheEntry* entry = slot_for(key);
    if (!entry) {
        return lookup_uncached(key);
    }
    if (entry->key == key && entry->version == version) {
        return Ref::borrow(entry->value);
    }
    Ref value = lookup_uncached(key);
    if (value) {
        entry->key = key;
        entry->value = value.get();
        entry->version = version;
    }
    return value;
}

int lookup_attr(PyObject* obj, PyObject* attr, Ref& out) {
    out = Ref::steal(PyObject_GetAttr(obj, attr));
    if (out) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

bool store_global(PyObject* key, PyObject* value) {
    PyObject* ns = state::module_dict.get();
    if (!ns) {
        // Reached only through a function kept from a failed import: the namespace it would
        // bind into is gone until an import succeeds (lookups then fall back to the builtins).
        PyErr_Format(PyExc_RuntimeError,
                     "cannot bind '%U': the namespace of %s was dropped when its import failed",
                     key, state::kModuleName);
        return false;
    }
    std::uint64_t before = changes_seen;
    if (PyDict_SetItem(ns, key, value) < 0) {
        return false;
    }
    // The store can run Python code (the __eq__ of a colliding non-string key, the finaliser
    // of the value replaced), and that code may rebind names. Any such rebinding is a change
    // of its own: when the watcher saw at most one change in all, there was none besides
    // ours (ours makes no event only when the name already held `value`), so `key` is now
    // bound to `value` in the namespace, which outranks the builtins. Caching that answer
    // spares the next lookup of the name a search of the namespace.
    if (changes_seen - before <= 1 && cache_usable() && state::module_dict.get() == ns) {
        if (CacheEntry* entry = slot_for(key)) {
            *entry = CacheEntry{key, value, version};
        }
    }
    return true;
}

}  // namespace velmora::names
