// Override dispatch: one method lookup, then either the native body or what was found.
#include "runtime/dispatch.hpp"

namespace velmora::dispatch {
namespace {

// The interpreter's own method lookup (type attribute, then the instance dict, without
// creating a bound method) is private API. It is used only for the version it was checked
// against; any other version takes attribute lookup, which finds the same method, bound.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
constexpr bool kHaveGetMethod = true;
int get_method(PyObject* obj, PyObject* name, PyObject** found) {
    return _PyObject_GetMethod(obj, name, found);
}
#else
constexpr bool kHaveGetMethod = false;
int get_method(PyObject* obj, PyObject* name, PyObject** found) {
    *found = PyObject_GetAttr(obj, name);
    return 0;
}
#endif

}  // namespace

Ref run_body(function::Def& def, PyObject* obj, PyObject* arg) {
    if (def.owner) {  // a method of a native type: the instance is not among the arguments
        PyObject* args[] = {arg};
        return Ref::steal(function::call_body(def, obj, args));
    }
    PyObject* args[] = {obj, arg};
    return Ref::steal(function::call_body(def, nullptr, args));
}

Ref call_method_looked_up(PyObject* obj, PyObject* name, function::Def& def, PyObject* arg) {
    PyObject* found = nullptr;
    int unbound = get_method(obj, name, &found);
    Ref method = Ref::steal(found);
    if (!method) {
        return Ref();
    }
    PyObject* args[] = {obj, arg};
    std::size_t n = arg ? 2 : 1;
    if (unbound) {
        if (function::is_own_method(method.get(), def, nullptr)) {
            return run_body(def, obj, arg);
        }
        return Ref::steal(PyObject_Vectorcall(method.get(), args, n, nullptr));
    }
    if (!kHaveGetMethod && function::is_own_method(method.get(), def, obj)) {
        return run_body(def, obj, arg);
    }
    return Ref::steal(PyObject_Vectorcall(method.get(), args + 1, n - 1, nullptr));
}

Ref call(PyObject* fn, function::Def& def) {
    if (function::is_own_method(fn, def, nullptr)) {
        return Ref::steal(function::call_body(def, nullptr, nullptr));
    }
    return Ref::steal(PyObject_CallNoArgs(fn));
}

int find_override(PyObject* obj, PyObject* name, const function::Def& def, Ref& out) {
    out = Ref::steal(PyObject_GetAttr(obj, name));
    if (!out) {
        return -1;
    }
    if (function::is_own_method(out.get(), def, obj)) {
        out.reset();
        return 0;
    }
    return 1;
}

}  // namespace velmora::dispatch
