// Calling the module's own functions and methods the way Python would, except that when the
// lookup finds the module's own, unoverridden function object, its native body runs directly:
// the same code and the same traceback entry, without the call machinery. Whatever a subclass,
// an instance attribute or a rebound name puts in its place is called instead.
#pragma once

#include <Python.h>

#include "private/instance.hpp"
#include "ref.hpp"
#include "runtime/function.hpp"

namespace velmora::dispatch {

// `obj.<name>(arg)` (or `obj.<name>()` without `arg`) for the method that `def` defines.
Ref call_method_looked_up(PyObject* obj, PyObject* name, function::Def& def, PyObject* arg);
inline Ref call_method(PyObject* obj, PyObject* name, function::Def& def, PyObject* arg = nullptr) {
    // An exact native type is immutable and has no instance dict: nothing can override, so
    // lookup could only find `def`'s own function.
    if (def.owner && Py_IS_TYPE(obj, def.owner)) {
        PyObject* args[] = {arg};
        return Ref::steal(function::call_body(def, obj, args));
    }
    return call_method_looked_up(obj, name, def, arg);
}

// Runs `def`'s body for `obj` as a call through the function object would.
Ref run_body(function::Def& def, PyObject* obj, PyObject* arg);

// The same call for a method of a Python class, its lookup cached at `site`: when the
// instance has no attribute of that name and its class binds `def`'s own function to it, the
// body runs without a lookup.
inline Ref call_method(PyObject* obj, instance::Site& site, function::Def& def,
                       PyObject* arg = nullptr) {
    PyObject* found = site.class_attribute(obj);  // borrowed; no code runs before its use
    if (found && function::is_own_method(found, def, nullptr)) {
        return run_body(def, obj, arg);
    }
    return call_method_looked_up(obj, site.name(), def, arg);
}

// `fn()` for a function looked up elsewhere (a module global) that may be `def`'s own.
Ref call(PyObject* fn, function::Def& def);

// The method `name` as found on `obj` when it is not `def`'s own: 1 found (in `out`), 0 our
// own applies, -1 error. For the native entry points, which call an override themselves.
int find_override(PyObject* obj, PyObject* name, const function::Def& def, Ref& out);

}  // namespace velmora::dispatch
