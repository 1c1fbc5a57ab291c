// Override dispatch: one method lookup, then either the native body or what was found.
#include "runtime/dispatch.hpp"

#include "private/cpython.hpp"

namespace velmora::dispatch {

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
    int unbound = cpython::get_method(obj, name, &found);
    Ref method = Ref::steal(found);
    if (!method) {
        return Ref();
    }
    // Unbound, the function itself; bound, a method of it on this very instance.
    if (function::is_own_method(method.get(), def, unbound ? nullptr : obj)) {
        return run_body(def, obj, arg);
    }
    PyObject* args[] = {obj, arg};
    std::size_t n = arg ? 2 : 1;
    if (unbound) {
        return Ref::steal(PyObject_Vectorcall(method.get(), args, n, nullptr));
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
