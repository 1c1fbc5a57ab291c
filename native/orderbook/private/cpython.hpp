// The interpreter's internals that the rest of the engine asks for, one small question each:
// type version tags, the value of a small int, the interpreter's own method lookup, whether an
// OrderedDict has an instance dict, what a Python function runs, and dict watchers. In a build
// without shortcuts every answer is "no shortcut", and the caller takes the general path.
#pragma once

#include "private/fence.hpp"
#include "ref.hpp"

namespace velmora::cpython {

// A type's version tag, assigning one if it has none; 0 when it cannot have one, and always 0
// in a build without shortcuts, so nothing keyed by a tag is ever cached there. A tag changes
// with any change to the type or its bases and is never reused.
unsigned int version_tag(PyTypeObject* type);

// The tag the type has now (0: none), to compare with one that version_tag() gave.
inline unsigned int tag_of(PyTypeObject* type) { return type->tp_version_tag; }

// The value of an int, or of an instance of an int subclass (read the same way), stored in a
// single digit, under 2**30 either side of zero: true with `*out` set. False, with nothing
// raised, for any other int: the caller converts it the general way. `number` passes
// PyLong_Check.
inline bool small_int(PyObject* number, Py_ssize_t* out) {
    auto* n = reinterpret_cast<PyLongObject*>(number);
    if (!kFastPaths || !PyUnstable_Long_IsCompact(n)) {
        return false;
    }
    *out = PyUnstable_Long_CompactValue(n);
    return true;
}

// `obj.<name>` as a method call looks it up: 1 when `*found` is the function the type holds,
// unbound (call it with `obj` first), 0 when it is the attribute as attribute lookup gives it,
// bound if it binds. New reference in `*found`, or null with an exception set.
int get_method(PyObject* obj, PyObject* name, PyObject** found);

// True when `obj` is exactly an OrderedDict that has no instance dict: its methods are then the
// built-in ones, which nothing can replace (the type is immutable) or shadow. The instance dict
// sits at the type's tp_dictoffset, null until something asks for it.
inline bool plain_odict(PyObject* obj) {
    Py_ssize_t offset = PyODict_Type.tp_dictoffset;
    return kFastPaths && PyODict_CheckExact(obj) && offset > 0 &&
           !*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// A dict watcher for a cache that must hear of every change to the dicts it watches: its id, or
// -1 with nothing raised when the interpreter has none left, and always -1 in a build without
// shortcuts (nothing is cached then).
int add_dict_watcher(PyDict_WatchCallback callback);

// What a Python function runs: its code object and the contents of its closure cells, both
// replaceable in place without touching the class that holds the function. Taken once, then
// compared on use. Holds them for the life of the process.
class FunctionBody {
  public:
    // Takes what `fn` runs now when it is a Python function, and forgets any earlier one.
    // Returns false with an exception set.
    bool take(PyObject* fn);

    // True while the function taken still runs that code on those values; false when none was
    // taken, and always in a build without shortcuts.
    bool unchanged() const;

  private:
    Global function_;
    Global code_;
    Global cells_;  // a tuple of the cells' contents, None for an empty cell
};

}  // namespace velmora::cpython
