// The interned strings and the lookup of module globals.
#include "support/names.hpp"

#include "support/state.hpp"

namespace velmora::names {

#define VELMORA_DEFINE_X(n) PyObject* n = nullptr;
#define VELMORA_DEFINE_S(n, text) PyObject* n = nullptr;
VELMORA_NAMES(VELMORA_DEFINE_X, VELMORA_DEFINE_S)
#undef VELMORA_DEFINE_X
#undef VELMORA_DEFINE_S

bool init() {
#define VELMORA_INTERN_X(n) \
    if (!n && !(n = PyUnicode_InternFromString(#n))) return false;
#define VELMORA_INTERN_S(n, text) \
    if (!n && !(n = PyUnicode_InternFromString(text))) return false;
    VELMORA_NAMES(VELMORA_INTERN_X, VELMORA_INTERN_S)
#undef VELMORA_INTERN_X
#undef VELMORA_INTERN_S
    return true;
}

Ref lookup_global(PyObject* key) {
    if (state::module_dict) {
        if (PyObject* v = PyDict_GetItemWithError(state::module_dict, key)) {
            return Ref::borrow(v);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    if (state::builtins) {
        PyObject* bdict = PyModule_GetDict(state::builtins);  // borrowed, never fails
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
    return PyDict_SetItem(state::module_dict, key, value) == 0;
}

}  // namespace velmora::names
