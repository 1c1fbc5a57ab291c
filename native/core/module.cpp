// The velmora.core module: PyInit_core, the namespace (Book, the side and event constants,
// the lazily made NumPy dtypes) and the bridge methods that Book takes from Python code.
#include <Python.h>

#include "batch.hpp"
#include "book.hpp"
#include "capi.hpp"
#include "ref.hpp"
#include "sampler.hpp"

namespace velmora::core {
namespace {

// Module attributes made on demand: the NumPy dtypes, so that importing the module never
// imports NumPy.
PyObject* module_getattr(PyObject* module, PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) {  // only a direct call can pass anything else
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    PyObject* value = batch::dtype(name);
    if (value || PyErr_Occurred()) {
        return value;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (module_name) {
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%U'", module_name.get(),
                     name);
    }
    return nullptr;
}

// Book's conversions to and from the exact book and its decimal ladder are Python code over
// Python objects: velmora._core_bridge lists them in BOOK_METHODS, installed here as they are.
bool install_bridge() noexcept {
    Ref bridge = Ref::steal(PyImport_ImportModule("velmora._core_bridge"));
    if (!bridge) {
        return false;
    }
    Ref methods = Ref::steal(PyObject_GetAttrString(bridge.get(), "BOOK_METHODS"));
    if (!methods) {
        return false;
    }
    if (!PyDict_CheckExact(methods.get())) {
        PyErr_SetString(PyExc_TypeError, "velmora._core_bridge.BOOK_METHODS must be a dict");
        return false;
    }
    PyObject* dict = BookType.tp_dict;  // borrowed from the type
    PyObject* name = nullptr;           // both borrowed from `methods`, which nothing else holds
    PyObject* method = nullptr;
    for (Py_ssize_t pos = 0; PyDict_Next(methods.get(), &pos, &name, &method);) {
        if (!PyUnicode_CheckExact(name)) {
            PyErr_SetString(PyExc_TypeError,
                            "velmora._core_bridge.BOOK_METHODS: names must be str");
            return false;
        }
        if (PyDict_SetItem(dict, name, method) < 0) {
            return false;
        }
    }
    PyType_Modified(&BookType);
    return true;
}

PyObject* wrap_state(BookState* state) noexcept {
    return book_with_state(reinterpret_cast<PyObject*>(&BookType),
                           std::unique_ptr<BookState>(state), "_C_API.wrap");
}

const CoreApi core_api = {CAPI_VERSION, sizeof(Engine), sizeof(BookState), &BookType, wrap_state};

// The capsule velmora._itch takes Books through.
bool add_capi(PyObject* module) noexcept {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<CoreApi*>(&core_api), CAPI_NAME, nullptr));
    return capsule && PyModule_AddObjectRef(module, "_C_API", capsule.get()) == 0;
}

int module_exec(PyObject* module) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "velmora.core can only be loaded into the main interpreter");
        return -1;
    }
    if ((!small_ints[256] && !ready_small_ints()) || (!BookType.tp_name && !ready_book_type()) ||
        (!batch::ReplayType.tp_name && !batch::ready_replay_type()) ||
        (!(SamplerType.tp_flags & Py_TPFLAGS_READY) && !ready_sampler_type())) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "Book", reinterpret_cast<PyObject*>(&BookType)) < 0 ||
        PyModule_AddObjectRef(module, "Replay", reinterpret_cast<PyObject*>(&batch::ReplayType)) <
            0 ||
        PyModule_AddObjectRef(module, "Sampler", reinterpret_cast<PyObject*>(&SamplerType)) < 0 ||
        PyModule_AddIntConstant(module, "BID", BID) < 0 ||
        PyModule_AddIntConstant(module, "ASK", ASK) < 0 ||
        PyModule_AddIntConstant(module, "LIMIT", batch::LIMIT) < 0 ||
        PyModule_AddIntConstant(module, "MARKET", batch::MARKET) < 0 ||
        PyModule_AddIntConstant(module, "CANCEL", batch::CANCEL) < 0 ||
        PyModule_AddIntConstant(module, "REDUCE", batch::REDUCE) < 0 ||
        PyModule_AddIntConstant(module, "EXECUTE", batch::EXECUTE) < 0 ||
        PyModule_AddIntConstant(module, "MODIFY", batch::MODIFY) < 0 ||
        PyModule_AddIntConstant(module, "LEVEL", batch::LEVEL) < 0) {
        return -1;
    }
    return add_capi(module) && install_bridge() ? 0 : -1;
}

PyMethodDef module_methods[] = {
    {"__getattr__", reinterpret_cast<PyCFunction>(module_getattr), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora.core",
    "velmora.core: a limit order book on integer ticks, at native speed.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::core

PyMODINIT_FUNC PyInit_core() { return PyModuleDef_Init(&velmora::core::module_def); }
