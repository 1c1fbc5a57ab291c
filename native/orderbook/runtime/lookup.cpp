// MRO searches and the version-tagged caches built on them.
#include "runtime/lookup.hpp"

#include "runtime/names.hpp"

namespace velmora::lookup {

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

namespace {

bool cacheable_member(PyObject* cls, PyObject* name, PyObject* value) {
    PyTypeObject* meta = Py_TYPE(cls);
    PyObject* found = nullptr;
    PyTypeObject* owner = nullptr;
    return PyType_Check(cls) && meta->tp_getattro == PyType_Type.tp_getattro &&
           !Py_TYPE(value)->tp_descr_get && find_in_mro(meta, name, &found, &owner) == 0 &&
           find_in_mro(reinterpret_cast<PyTypeObject*>(cls), name, &found, &owner) == 1 &&
           found == value;
}

}  // namespace

Ref MemberCache::refresh(PyObject* cls, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(cls, name));
    if (!value || !cacheable_member(cls, name, value.get())) {
        return value;
    }
    unsigned int cls_version = cpython::version_tag(reinterpret_cast<PyTypeObject*>(cls));
    unsigned int meta_version = cpython::version_tag(Py_TYPE(cls));
    if (cls_version != 0 && meta_version != 0) {
        cls_ = cls;
        value_ = value.get();
        cls_version_ = cls_version;
        meta_version_ = meta_version;
    }
    return value;
}

void PlainDictType::reset(PyTypeObject* type) {
    Py_XINCREF(type);
    Py_XSETREF(type_, type);
    version_ = 0;
}

bool PlainDictType::verify(PyTypeObject* type) {
    unsigned int version = cpython::version_tag(type);
    bool plain = version != 0;
    PyObject* found = nullptr;
    PyObject* own = nullptr;
    PyTypeObject* owner = nullptr;
    for (PyObject* name : {names::__contains__, names::__getitem__}) {
        plain = plain && find_in_mro(type, name, &found, &owner) == 1 &&
                find_in_mro(&PyDict_Type, name, &own, &owner) == 1 && found == own;
    }
    plain = plain && find_in_mro(type, names::__missing__, &found, &owner) == 0;
    version_ = plain ? version : 0;
    return plain;
}

}  // namespace velmora::lookup
