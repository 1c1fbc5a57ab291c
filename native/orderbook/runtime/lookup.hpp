// Lookups whose answers the interpreter's rules fix for as long as the types involved stay
// unmodified, kept against the types' version tags: where a name is found along a type's MRO,
// class attribute reads such as OrderStatus.FILLED, and whether a dict subclass still looks
// items up exactly as dict does.
#pragma once

#include <Python.h>

#include "private/cpython.hpp"
#include "ref.hpp"

namespace velmora::lookup {

// Where `name` is found along the type's MRO, as attribute lookup finds it: 1 with the value
// (borrowed, kept alive by that type's dict) and the type holding it, 0 when no type has it,
// -1 when a dict could not be searched (nothing is concluded then). Runs no Python code.
int find_in_mro(PyTypeObject* type, PyObject* name, PyObject** value, PyTypeObject** owner);

// `cls.<name>` for a class attribute that is a plain object (no __get__) read through the
// metaclass's ordinary lookup: the answer is kept while neither the class nor its metaclass
// changes. The cache owns nothing: it remembers the class's address with its version tag,
// and since a tag is never reused, a match can only be the same, unchanged, living class,
// whose dict still holds the value. A class the namespace lets go of is freed as usual.
class MemberCache {
  public:
    Ref get(PyObject* cls, PyObject* name) {
        // The metaclass's tag first: once it matches, `cls` is an instance of that metaclass,
        // hence a class, and its own tag can be read (an object of another kind now at the
        // remembered address may be smaller than a type).
        if (cls == cls_ && cls_version_ != 0 && cpython::tag_of(Py_TYPE(cls)) == meta_version_ &&
            cpython::tag_of(reinterpret_cast<PyTypeObject*>(cls)) == cls_version_) {
            return Ref::borrow(value_);
        }
        return refresh(cls, name);
    }

  private:
    Ref refresh(PyObject* cls, PyObject* name);

    PyObject* cls_ = nullptr;    // compared, never dereferenced unless the tags match
    PyObject* value_ = nullptr;  // borrowed from the class's dict while the tags match
    unsigned int cls_version_ = 0;
    unsigned int meta_version_ = 0;
};

// Whether objects of one dict subclass (SortedDict) still test membership and look items up
// with dict's own functions: true while the type's __contains__ and __getitem__ are dict's and
// it defines no __missing__, checked once per version of the type. Holds the type it was given
// for the life of the process.
class PlainDictType {
  public:
    void reset(PyTypeObject* type);
    bool matches(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type != type_) {
            return false;
        }
        return (version_ != 0 && cpython::tag_of(type) == version_) || verify(type);
    }

  private:
    bool verify(PyTypeObject* type);

    PyTypeObject* type_ = nullptr;  // strong
    unsigned int version_ = 0;      // 0: not verified for the current version
};

}  // namespace velmora::lookup
