// The inline caches' slow half: filling a site from the class, and the import-time check of
// the private layout they read.
#include "private/instance.hpp"

#include <cstddef>

#include "private/cpython.hpp"
#include "private/layout.hpp"
#include "ref.hpp"
#include "runtime/lookup.hpp"
#include "runtime/state.hpp"

namespace velmora::instance {
namespace {

using layout::KeysHead;
using layout::kSplitKeys;
using layout::UnicodeEntry;
constexpr Py_ssize_t kMaxSharedKeys = 30;  // a class's shared keys never hold more

// Set by the import-time check; the probe itself runs with it on.
bool usable = false;

const KeysHead* head(void* keys) { return static_cast<const KeysHead*>(keys); }

// The entry index of `name` in shared keys: >= 0 found, -1 absent, -2 the keys are not as
// expected or hold an equal string that is not the same object (then nothing is cached).
Py_ssize_t index_of(void* keys, PyObject* name) {
    const KeysHead* k = head(keys);
    if (k->kind != kSplitKeys || k->nentries < 0 || k->nentries > kMaxSharedKeys) {
        return -2;
    }
    auto* entries = reinterpret_cast<const UnicodeEntry*>(reinterpret_cast<const char*>(k + 1) +
                                                          (std::size_t{1} << k->log2_index_bytes));
    for (Py_ssize_t i = 0; i < k->nentries; ++i) {
        PyObject* key = entries[i].key;
        if (key == name) {
            return i;
        }
        // Attribute names are interned before they become shared keys, so an equal name is
        // the same object; anything else is not a layout this code knows.
        if (!key || !PyUnicode_CheckExact(key) || PyUnicode_Compare(key, name) == 0) {
            PyErr_Clear();
            return -2;
        }
    }
    return -1;
}

}  // namespace

Py_ssize_t Site::entries_now() const { return head(keys_)->nentries; }

bool Site::refresh(PyTypeObject* type, Kind kind) {
    version_ = 0;
    PyObject* name = *name_;
    void* keys = shared_keys(type);
    if (!usable || !keys || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ||
        !PyUnicode_CheckExact(name) || type->tp_getattro != PyObject_GenericGetAttr ||
        (kind == kValue && type->tp_setattro != PyObject_GenericSetAttr)) {
        return false;
    }
    unsigned int version = cpython::version_tag(type);
    PyObject* found = nullptr;
    PyTypeObject* owner = nullptr;
    int in_class = version ? lookup::find_in_mro(type, name, &found, &owner) : -1;
    // A key of the class's own dict whose __eq__ ran during the search may have changed the
    // class: then nothing found is trusted.
    if (in_class < 0 || type->tp_version_tag != version) {
        return false;
    }
    Py_ssize_t index = index_of(keys, name);
    if (kind == kValue) {
        // The instance's value is what lookup finds only when the class has nothing of that
        // name; and a value site needs the name's slot.
        if (in_class != 0 || index < 0) {
            return false;
        }
    } else if (in_class != 1 || Py_TYPE(found)->tp_descr_set || index == -2) {
        // A method site needs what the class holds, and it must not be a data descriptor
        // (which would take precedence over the instance's own attribute).
        return false;
    }
    version_ = version;
    kind_ = kind;
    keys_ = keys;
    index_ = index;
    entries_ = head(keys)->nentries;
    class_value_ = kind == kMethod ? found : nullptr;
    return true;
}

namespace {

// Builds an instance of a fresh class and checks that what the sites read and write is what
// attribute access sees: the inline values at the expected slots, a store through a site seen
// by getattr, an instance attribute hiding a class attribute, a deleted attribute and a
// materialised __dict__ both turning the shortcut off. `*ok` tells whether they are on.
bool probe_layout(bool* ok) {
    *ok = false;
    usable = false;
    if (!kFastPaths) {
        return true;
    }
    Ref first = Ref::steal(PyUnicode_InternFromString("first"));
    Ref second = first ? Ref::steal(PyUnicode_InternFromString("second")) : Ref();
    Ref method = second ? Ref::steal(PyUnicode_InternFromString("method")) : Ref();
    Ref members = method ? Ref::steal(PyDict_New()) : Ref();
    Ref a = members ? Ref::steal(PyList_New(0)) : Ref();
    Ref b = a ? Ref::steal(PyList_New(0)) : Ref();
    Ref c = b ? Ref::steal(PyList_New(0)) : Ref();
    Ref in_class = c ? Ref::steal(PyList_New(0)) : Ref();
    if (!in_class || PyDict_SetItem(members.get(), method.get(), in_class.get()) < 0) {
        return false;
    }
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                               "layout_probe", members.get()));
    Ref obj = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    Ref other = obj ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    if (!other || PyObject_SetAttr(obj.get(), first.get(), a.get()) < 0 ||
        PyObject_SetAttr(obj.get(), second.get(), b.get()) < 0 ||
        PyObject_SetAttr(other.get(), first.get(), a.get()) < 0 ||
        PyObject_SetAttr(other.get(), second.get(), b.get()) < 0) {
        return false;
    }
    usable = true;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    void* keys = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ? shared_keys(type) : nullptr;
    PyObject* const probe_names[] = {first.get(), second.get(), method.get()};
    Site first_site(&probe_names[0]), second_site(&probe_names[1]), method_site(&probe_names[2]);
    bool good = keys && head(keys)->refcnt > 0 && head(keys)->nentries == 2 &&
                index_of(keys, first.get()) == 0 && index_of(keys, second.get()) == 1 &&
                first_site.value(obj.get()) == a.get() && second_site.value(obj.get()) == b.get();
    if (good) {
        Py_ssize_t refs = Py_REFCNT(a.get());
        good = first_site.store(obj.get(), c.get()) && Py_REFCNT(a.get()) == refs - 1;
    }
    if (good) {
        Ref seen = Ref::steal(PyObject_GetAttr(obj.get(), first.get()));
        good = seen.get() == c.get() && method_site.class_attribute(obj.get()) == in_class.get();
    }
    if (good) {
        good = PyObject_SetAttr(obj.get(), method.get(), a.get()) == 0 &&
               method_site.class_attribute(obj.get()) == nullptr &&
               method_site.class_attribute(other.get()) == in_class.get() &&
               PyObject_DelAttr(other.get(), second.get()) == 0 &&
               second_site.value(other.get()) == nullptr;
    }
    if (good) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj.get(), nullptr));
        good = dict && inline_values(obj.get()) == nullptr &&
               reinterpret_cast<PyObject**>(obj.get())[-3] == dict.get() &&
               first_site.value(obj.get()) == nullptr && !first_site.store(obj.get(), a.get());
    }
    if (PyErr_Occurred()) {
        return false;
    }
    usable = good;
    *ok = good;
    return true;
}

}  // namespace

bool check_layout() {
    bool ok = false;
    if (!probe_layout(&ok)) {
        return false;
    }
    if (kFastPaths && !ok) {
        return PyErr_WarnFormat(PyExc_ImportWarning, 1,
                                "%s: this interpreter's object layout is not the one the "
                                "attribute caches read; they are off",
                                state::kModuleName) == 0;
    }
    return true;
}

}  // namespace velmora::instance
