// The native function object: what the module's functions, the methods of OrderBook
// and the Python-visible methods of the native types are made of. It calls through
// vectorcall and binds to instances like a Python function.
#pragma once

#include <Python.h>

#include "ref.hpp"
#include "runtime/args.hpp"
#include "runtime/trace.hpp"

namespace velmora::function {

// The body receives the bound arguments (borrowed; optional ones may be null). For a
// method of a native type, `self` is the instance, checked against `owner`, and is not
// counted among the arguments; otherwise `self` is null. New reference, or null with an
// exception set.
using Body = PyObject* (*)(PyObject * self, PyObject* const* args);

struct Def {
    const char* name;
    const char* qualname;
    args::Signature sig;
    Body body;
    // Pairs of parameter name and annotation text, ending at a null name.
    const char* const* annotations;
    const char* text_signature;  // for inspect.signature, e.g. "(self, order_id)"
    trace::Site site;
    PyTypeObject* owner = nullptr;  // set for methods of a native type
    // A function with no global name of its own (a local lambda) pickles as this
    // equivalent standard-library global, module and name; otherwise by qualified name.
    const char* pickled_as[2] = {nullptr, nullptr};
    // Calls through the function object hold its first argument (an OrderBook method's self)
    // for the calling thread while the body runs: another thread waits (runtime/exclusive.hpp).
    bool exclusive = false;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Def* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // created lazily
    PyObject* dict;
};

extern PyTypeObject FunctionType;

bool ready();

// A new function object for `def`, with its annotation dict made from the table.
Ref make(Def& def);

// True when `obj` is a function object of `def`, or a bound method of one whose
// instance is `self`: the object a lookup finds when nothing overrides the method.
bool is_own_method(PyObject* obj, const Def& def, PyObject* self);

// Calls `def`'s body directly, as a call through the function object would, adding
// the traceback entry on failure. `args` must already be bound.
PyObject* call_body(Def& def, PyObject* self, PyObject* const* args);

}  // namespace velmora::function
