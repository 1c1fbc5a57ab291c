// Inline caches for attribute access on instances of Python classes, the way the interpreter
// specialises `obj.name` and `obj.name = value` in bytecode: remember, per access site, where
// lookup found the name for one class at one version tag, and go straight there while the
// class is unchanged and the instance still keeps its attributes in inline values.
//
// An instance of an ordinary 3.12 class without __slots__ keeps its attributes in a values
// array beside the object, indexed by the class's shared keys, until something asks for its
// __dict__ (or the shared keys are full). Those structures are private to the interpreter:
// their layout is checked once at import (check_layout()), and when it is not as expected every
// access takes the general path for good. A build without shortcuts never takes one at all.
//
// The guards are the interpreter's own (LOAD_ATTR_INSTANCE_VALUE, STORE_ATTR_INSTANCE_VALUE,
// LOAD_ATTR_METHOD_WITH_VALUES): the class's version tag, which changes with any change to
// the class or its bases (a new __getattribute__, a property of the same name) and is never
// reused; the class's shared keys; the instance still in inline-values form; and for a value,
// the slot not empty. Anything else falls back to the caller's general path, which does what
// attribute access always does.
#pragma once

#include <cstdint>

#include "private/fence.hpp"

namespace velmora::instance {

// Checks the private layout against an instance built for the purpose and enables the caches
// when it matches. Called once at import. A mismatch leaves them off for good and says so with
// an ImportWarning (ignored unless warnings are asked for): the book works the same, only
// slower. Returns false with an exception set when the probe objects could not be built or the
// warning is an error.
bool check_layout();

// The class's shared keys (opaque here), or null when it keeps none.
inline void* shared_keys(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_HEAPTYPE)
               ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys
               : nullptr;
}

// The instance's inline values, or null when it has none (its attributes live in a dict, or
// it has no values yet). Only for an instance of a class with Py_TPFLAGS_MANAGED_DICT: the
// word three pointers before such an object holds either the instance dict or, with its
// lowest bit set, the address of the values array minus one.
inline PyObject** inline_values(PyObject* obj) {
    char* word = reinterpret_cast<char**>(obj)[-3];
    return (reinterpret_cast<std::uintptr_t>(word) & 1) ? reinterpret_cast<PyObject**>(word + 1)
                                                        : nullptr;
}

// One access site: `obj.<name>` read or written, for one name, on instances of one class at
// a time. `name` points at an interned string made at import.
class Site {
  public:
    explicit constexpr Site(PyObject* const* name) noexcept : name_(name) {}
    PyObject* name() const noexcept { return *name_; }

    // The instance's own value for `name` (borrowed, valid until the next call that can run
    // Python code), or null when the shortcut does not apply: the caller then does the
    // ordinary lookup, which also raises whatever error is due. Sets no exception.
    PyObject* value(PyObject* obj) {
        PyObject** values = ready(obj, kValue);
        return values ? values[index_] : nullptr;
    }

    // `obj.<name> = value` into the instance's inline values when the slot already holds a
    // value: true when stored (the old value released, which can run code), false when the
    // caller must take the ordinary path. Sets no exception.
    bool store(PyObject* obj, PyObject* value) {
        PyObject** values = ready(obj, kValue);
        if (!values || !values[index_]) {
            return false;
        }
        PyObject* old = values[index_];
        values[index_] = Py_NewRef(value);
        Py_DECREF(old);
        return true;
    }

    // The object the class's MRO binds to `name` (borrowed from the class's dict, kept while
    // the class is unchanged) when the instance has no attribute of that name of its own, so
    // that `obj.<name>` is found on the class: how a method call finds its method. Null when
    // the shortcut does not apply. Sets no exception.
    PyObject* class_attribute(PyObject* obj) {
        PyObject** values = ready(obj, kMethod);
        if (!values) {
            return nullptr;
        }
        // A name not among the shared keys is still not while their count is unchanged
        // (shared keys only grow); once it has changed, look again.
        if (index_ < 0 && entries_now() != entries_ && !refresh(Py_TYPE(obj), kMethod)) {
            return nullptr;
        }
        if (index_ >= 0 && values[index_]) {
            return nullptr;  // the instance's own attribute hides the class's
        }
        return class_value_;
    }

  private:
    // A value site is filled only once the name is among the shared keys (index_ >= 0); a
    // method site also when it is not.
    enum Kind { kValue, kMethod };

    // The instance's inline values when the cache holds for its class (refreshing it if the
    // class changed), else null.
    PyObject** ready(PyObject* obj, Kind kind) {
        if (!kFastPaths) {
            return nullptr;
        }
        PyTypeObject* type = Py_TYPE(obj);
        if (type->tp_version_tag != version_ || version_ == 0 || shared_keys(type) != keys_ ||
            kind != kind_) {
            if (!refresh(type, kind)) {
                return nullptr;
            }
        }
        return inline_values(obj);
    }

    bool refresh(PyTypeObject* type, Kind kind);
    Py_ssize_t entries_now() const;

    PyObject* const* name_;
    unsigned int version_ = 0;  // 0: empty
    Kind kind_ = kValue;
    void* keys_ = nullptr;             // the class's shared keys when cached; compared only
    Py_ssize_t index_ = -1;            // the name's slot in the values, -1 when not a shared key
    Py_ssize_t entries_ = 0;           // the shared keys' count when the name was not among them
    PyObject* class_value_ = nullptr;  // for kMethod: what the MRO holds under the name
};

}  // namespace velmora::instance
