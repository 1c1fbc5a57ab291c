// The module frame: PyInit_orderbook, the create and execution steps, and the
// import-time sequence that fills the namespace of velmora.orderbook.
#include <Python.h>

#include "book/book.hpp"
#include "private/instance.hpp"
#include "records/definitions.hpp"
#include "records/order.hpp"
#include "records/pickling.hpp"
#include "records/price_level.hpp"
#include "ref.hpp"
#include "runtime/exclusive.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"
#include "runtime/state.hpp"
#include "runtime/trace.hpp"

namespace velmora {
namespace {

trace::Site init_site{"init velmora.orderbook", "native/orderbook/module.cpp", __LINE__};

bool check_single_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (state::interpreter_id == -1) {
        state::interpreter_id = current;
        return true;
    }
    if (state::interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies spec.<from> into the module namespace as <to>; a missing attribute is skipped.
bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                    bool allow_none) {
    Ref attr = Ref::steal(PyUnicode_FromString(from));
    Ref owned;
    if (!attr || names::lookup_attr(spec, attr.get(), owned) < 0) {
        return false;
    }
    if (!owned || (!allow_none && owned.get() == Py_None)) {
        return true;
    }
    return PyDict_SetItemString(dict, to, owned.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!check_single_interpreter()) {
        return nullptr;
    }
    if (state::module) {
        return Py_NewRef(state::module.get());
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed from module
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool check_version() {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return true;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, state::kModuleName,
                            "does not match", major, minor) == 0;
}

bool make_constants() {
    if (!names::init()) {
        return false;
    }
    if (!state::zero) {
        state::zero.set(Ref::steal(PyLong_FromLong(0)));
    }
    if (!state::one) {
        state::one.set(Ref::steal(PyLong_FromLong(1)));
    }
    return state::zero && state::one;
}

bool register_in_sys_modules() {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    int has = PyDict_Contains(modules, names::velmora_orderbook);
    if (has < 0) {
        return false;
    }
    return has || PyDict_SetItem(modules, names::velmora_orderbook, state::module.get()) == 0;
}

Ref builtin(PyObject* name) {
    Ref value;
    if (names::lookup_attr(state::builtins.get(), name, value) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

bool fetch_builtins() {
    Ref print = builtin(names::print);
    if (!print) {
        return false;
    }
    // enumerate is only required, not kept: the import fails without it as the module's
    // import-time lookup of the builtins it uses does, though the trade log counts natively.
    Ref enumerate = builtin(names::enumerate);
    if (!enumerate) {
        return false;
    }
    Ref reversed = builtin(names::reversed);
    if (!reversed) {
        return false;
    }
    state::print.set(std::move(print));
    state::reversed.set(std::move(reversed));
    return true;
}

bool publish_type(PyObject* name, PyTypeObject* type) {
    return names::store_global(name, reinterpret_cast<PyObject*>(type)) && pickling::setup(type);
}

// `from <module> import <names...>`, binding each name in the namespace.
bool import_from(PyObject* module_name, std::initializer_list<PyObject*> wanted) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(wanted.size())));
    if (!fromlist) {
        return false;
    }
    Py_ssize_t i = 0;
    for (PyObject* n : wanted) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));  // steals
    }
    Ref empty = Ref::steal(PyDict_New());
    if (!empty) {
        return false;
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, state::module_dict.get(),
                                                             empty.get(), fromlist.get(), 0));
    if (!module) {
        return false;
    }
    for (PyObject* n : wanted) {
        Ref value;
        if (names::lookup_attr(module.get(), n, value) < 0) {
            return false;
        }
        if (!value) {
            // A submodule of that name, as `from package import submodule` finds it.
            Ref mod_name = Ref::steal(PyObject_GetAttr(module.get(), names::__name__));
            if (mod_name && PyUnicode_Check(mod_name.get())) {
                Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", mod_name.get(), n));
                if (full) {
                    value = Ref::steal(PyImport_GetModule(full.get()));
                }
            }
            PyErr_Clear();
        }
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", n);
            return false;
        }
        if (!names::store_global(n, value.get())) {
            return false;
        }
    }
    return true;
}

bool import_dependencies() {
    return import_from(names::collections, {names::OrderedDict}) &&
           import_from(names::dataclasses, {names::dataclass, names::field}) &&
           import_from(names::datetime, {names::datetime}) &&
           import_from(names::decimal, {names::Decimal}) &&
           import_from(names::enum_, {names::Enum}) &&
           import_from(names::sortedcontainers, {names::SortedDict}) &&
           import_from(names::typing, {names::Optional});
}

// The module body, run once the namespace is recorded: the types, the imports, the shared
// definitions, the OrderBook class and the reconstructors. Failures get the init entry.
bool run_body() {
    if (!register_in_sys_modules() || !fetch_builtins()) {
        return false;
    }
    if (!function::ready() || !order::ready() || !publish_type(names::Order, &OrderType)) {
        return false;
    }
    if (!price_level::ready() || !publish_type(names::PriceLevel, &PriceLevelType)) {
        return false;
    }
    if (!import_dependencies() || !definitions::make_enumerations() ||
        !definitions::make_order_id_source() || !definitions::make_trade()) {
        return false;
    }
    if (!price_level::place_methods() || !book::make_class() || !pickling::bind_reconstructors() ||
        !exclusive::follow_forks()) {
        return false;
    }
    Ref test = Ref::steal(PyDict_New());
    return test && names::store_global(names::__test__, test.get());
}

int module_exec(PyObject* module) {
    if (state::module) {
        if (state::module.get() == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'orderbook' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    state::module.set(Ref::borrow(module));
    state::module_dict.set(Ref::borrow(PyModule_GetDict(module)));
    bool ok = false;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (builtins) {
        state::builtins.set(Ref::borrow(builtins.get()));
        names::watch_namespace();
        ok = PyDict_SetItemString(state::module_dict.get(), "__builtins__", builtins.get()) == 0 &&
             check_version() && make_constants() && instance::check_layout();
        if (ok) {
            ok = run_body();
            if (!ok) {
                trace::add(init_site);
            }
        }
    }
    if (!ok) {
        state::forget_module();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orderbook",  // m_name
    nullptr,      // m_doc: the module's __doc__ is None
    0,            // m_size: all state is process-wide
    nullptr,      // m_methods: every function is made by the execution step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit_orderbook() { return PyModuleDef_Init(&velmora::module_def); }
