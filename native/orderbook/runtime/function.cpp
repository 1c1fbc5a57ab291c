// The native function type: vectorcall entry, binding as a method, the attributes a
// Python function has (__name__, __qualname__, __module__, __doc__, __annotations__,
// __dict__) and a text signature for inspect.
#include "runtime/function.hpp"

#include <cstddef>

#include "runtime/exclusive.hpp"
#include "runtime/names.hpp"

namespace velmora::function {
namespace {

using FO = FunctionObject;

FO* as_fn(PyObject* o) { return reinterpret_cast<FO*>(o); }

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    FO* f = as_fn(callable);
    Def& def = *const_cast<Def*>(f->def);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (def.owner) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %s() needs an argument", def.qualname);
            trace::add(def.site);
            return nullptr;
        }
        self = args[0];
        if (!PyObject_TypeCheck(self, def.owner)) {
            PyErr_Format(PyExc_TypeError,
                         "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                         def.name, def.owner->tp_name, Py_TYPE(self)->tp_name);
            trace::add(def.site);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    PyObject* bound[args::kMaxParams];
    PyObject* const* values = args;
    if (kwnames || nargs != def.sig.n_params || def.sig.no_arguments) {
        if (!args::bind(def.sig, args, nargs, kwnames, bound)) {
            trace::add(def.site);
            return nullptr;
        }
        values = bound;
    }
    PyObject* result;
    if (def.exclusive) {
        exclusive::Hold hold(values[0]);  // the caller keeps its arguments alive meanwhile
        result = hold ? def.body(self, values) : nullptr;
    } else {
        result = def.body(self, values);
    }
    if (!result) {
        trace::add(def.site);
    }
    return result;
}

int fn_traverse(PyObject* o, visitproc visit, void* arg) {
    FO* f = as_fn(o);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject* o) {
    FO* f = as_fn(o);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    fn_clear(o);
    FO* f = as_fn(o);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyObject_GC_Del(o);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* o) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(o)->qualname, o);
}

PyObject* get_name(PyObject* o, void*) { return Py_NewRef(as_fn(o)->name); }
PyObject* get_qualname(PyObject* o, void*) { return Py_NewRef(as_fn(o)->qualname); }

int set_string(PyObject*& slot, PyObject* value, const char* attr) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* o, PyObject* value, void*) {
    return set_string(as_fn(o)->name, value, "__name__");
}
int set_qualname(PyObject* o, PyObject* value, void*) {
    return set_string(as_fn(o)->qualname, value, "__qualname__");
}

PyObject* get_module(PyObject* o, void*) {
    PyObject* m = as_fn(o)->module;
    return Py_NewRef(m ? m : Py_None);
}
int set_module(PyObject* o, PyObject* value, void*) {
    Py_XSETREF(as_fn(o)->module, Py_XNewRef(value));
    return 0;
}
PyObject* get_doc(PyObject* o, void*) {
    PyObject* d = as_fn(o)->doc;
    return Py_NewRef(d ? d : Py_None);
}
int set_doc(PyObject* o, PyObject* value, void*) {
    Py_XSETREF(as_fn(o)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* o, void*) {
    FO* f = as_fn(o);
    if (!f->annotations && !(f->annotations = PyDict_New())) {
        return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* o, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(o)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_text_signature(PyObject* o, void*) {
    const char* sig = as_fn(o)->def->text_signature;
    if (!sig) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(sig);
}

// By qualified name, found again in the module; a function with a stand-in reduces to
// `copy.copy(stand_in)`, which loads as the stand-in itself (builtins copy as themselves):
// the one way a reduce value can name another global than the object pickled.
PyObject* fn_reduce(PyObject* o, PyObject*) {
    const char* const* stand_in = as_fn(o)->def->pickled_as;
    if (!stand_in[0]) {
        return Py_NewRef(as_fn(o)->qualname);
    }
    Ref module = Ref::steal(PyImport_ImportModule(stand_in[0]));
    Ref target = module ? Ref::steal(PyObject_GetAttrString(module.get(), stand_in[1])) : Ref();
    Ref copy_module = target ? Ref::steal(PyImport_ImportModule("copy")) : Ref();
    Ref copy = copy_module ? Ref::steal(PyObject_GetAttrString(copy_module.get(), "copy")) : Ref();
    if (!copy) {
        return nullptr;
    }
    return Py_BuildValue("(O(O))", copy.get(), target.get());
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    FunctionType.tp_name = "velmora.orderbook.function";
    FunctionType.tp_basicsize = sizeof(FO);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FO, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_dealloc = fn_dealloc;
    FunctionType.tp_traverse = fn_traverse;
    FunctionType.tp_clear = fn_clear;
    FunctionType.tp_descr_get = fn_descr_get;
    FunctionType.tp_repr = fn_repr;
    FunctionType.tp_getset = fn_getset;
    FunctionType.tp_methods = fn_methods;
    FunctionType.tp_dictoffset = offsetof(FO, dict);
    return PyType_Ready(&FunctionType) == 0;
}

Ref make(Def& def) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = name ? Ref::steal(PyUnicode_FromString(def.qualname)) : Ref();
    if (!qualname) {
        return Ref();
    }
    Ref annotations;
    if (def.annotations && def.annotations[0]) {
        annotations = Ref::steal(PyDict_New());
        if (!annotations) {
            return Ref();
        }
        for (const char* const* a = def.annotations; *a; a += 2) {
            Ref text = Ref::steal(PyUnicode_FromString(a[1]));
            if (!text || PyDict_SetItemString(annotations.get(), a[0], text.get()) < 0) {
                return Ref();
            }
        }
    }
    FO* f = PyObject_GC_New(FO, &FunctionType);
    if (!f) {
        return Ref();
    }
    f->vectorcall = fn_vectorcall;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(names::velmora_orderbook);
    f->doc = nullptr;
    f->annotations = annotations.release();
    f->dict = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

bool is_own_method(PyObject* obj, const Def& def, PyObject* self) {
    if (PyMethod_Check(obj)) {
        if (PyMethod_GET_SELF(obj) != self) {
            return false;
        }
        obj = PyMethod_GET_FUNCTION(obj);
    }
    return Py_IS_TYPE(obj, &FunctionType) && as_fn(obj)->def == &def;
}

PyObject* call_body(Def& def, PyObject* self, PyObject* const* args) {
    PyObject* result = def.body(self, args);
    if (!result) {
        trace::add(def.site);
    }
    return result;
}

}  // namespace velmora::function
