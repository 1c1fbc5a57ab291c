// The out-of-line half of the interpreter reads: version tags, the private method lookup, dict
// watchers and the function snapshot.
#include "private/cpython.hpp"

namespace velmora::cpython {

unsigned int version_tag(PyTypeObject* type) {
    return kFastPaths && PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

// The interpreter's own lookup (type attribute, then the instance dict) leaves a method
// unbound instead of making a bound method object for one call.
int get_method(PyObject* obj, PyObject* name, PyObject** found) {
    if (kFastPaths) {
        return _PyObject_GetMethod(obj, name, found);
    }
    *found = PyObject_GetAttr(obj, name);
    return 0;
}

int add_dict_watcher(PyDict_WatchCallback callback) {
    if (!kFastPaths) {
        return -1;
    }
    int id = PyDict_AddWatcher(callback);
    if (id < 0) {
        PyErr_Clear();
    }
    return id;
}

bool FunctionBody::take(PyObject* fn) {
    function_.clear();
    if (!kFastPaths || !PyFunction_Check(fn)) {
        return true;
    }
    PyObject* closure = PyFunction_GET_CLOSURE(fn);
    Py_ssize_t n = closure ? PyTuple_GET_SIZE(closure) : 0;
    Ref cells = Ref::steal(PyTuple_New(n));
    if (!cells) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* value = PyCell_GET(PyTuple_GET_ITEM(closure, i));
        PyTuple_SET_ITEM(cells.get(), i, Py_NewRef(value ? value : Py_None));  // steals
    }
    code_.set(Ref::borrow(PyFunction_GET_CODE(fn)));
    cells_.set(std::move(cells));
    function_.set(Ref::borrow(fn));
    return true;
}

bool FunctionBody::unchanged() const {
    PyObject* fn = function_.get();
    if (!fn || PyFunction_GET_CODE(fn) != code_.get()) {
        return false;
    }
    PyObject* closure = PyFunction_GET_CLOSURE(fn);
    Py_ssize_t n = PyTuple_GET_SIZE(cells_.get());
    if (!closure || PyTuple_GET_SIZE(closure) != n) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyCell_GET(PyTuple_GET_ITEM(closure, i)) != PyTuple_GET_ITEM(cells_.get(), i)) {
            return false;
        }
    }
    return true;
}

}  // namespace velmora::cpython
