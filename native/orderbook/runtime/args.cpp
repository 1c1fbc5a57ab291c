// One binder walks positional and keyword arguments against a signature and raises
// every binding error from here, in the module's wording.
#include "runtime/args.hpp"

#include "ref.hpp"
#include "runtime/names.hpp"

namespace velmora::args {
namespace {

void raise_count(const Signature& sig, Py_ssize_t given) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < sig.n_required) {
        expected = sig.n_required;
        more_or_less = "at least";
    } else {
        expected = sig.n_params;
        more_or_less = "at most";
    }
    if (sig.n_required == sig.n_params) {
        more_or_less = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, more_or_less, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter called `key`, -1 if none, -2 with an error set.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        if (*sig.params[i] == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        PyObject* p = *sig.params[i];
        if (PyUnicode_GET_LENGTH(p) != PyUnicode_GET_LENGTH(key)) {
            continue;
        }
        int cmp = PyUnicode_Compare(p, key);
        if (cmp == 0) {
            return i;
        }
        if (cmp == -1 && PyErr_Occurred()) {
            return -2;
        }
    }
    return -1;
}

// The shared core: keywords as parallel arrays of keys and values.
bool bind_core(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* const* kwkeys, PyObject* const* kwvalues, Py_ssize_t nkw, PyObject** out) {
    if (sig.no_arguments) {
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", sig.name, "takes no arguments",
                         nargs);
            return false;
        }
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", sig.name, "takes no keyword arguments");
            return false;
        }
        return true;
    }
    if (nargs > sig.n_params) {
        raise_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = kwkeys[k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        Py_ssize_t i = find_param(sig, key);
        if (i == -2) {
            return false;
        }
        if (i == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return false;
        }
        if (i < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return false;
        }
        out[i] = kwvalues[k];
    }
    for (Py_ssize_t i = nargs; i < sig.n_required; ++i) {
        if (!out[i]) {
            raise_count(sig, i);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwkeys = nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr;
    return bind_core(sig, args, nargs, kwkeys, args + nargs, nkw, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    if (nkw > 2 * kMaxParams + 8) {
        nkw = 2 * kMaxParams + 8;  // more than can bind: the first bad key decides
    }
    PyObject* keys[2 * kMaxParams + 8];
    PyObject* values[2 * kMaxParams + 8];
    Py_ssize_t n = 0;
    if (kwds) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (n < nkw && PyDict_Next(kwds, &pos, &k, &v)) {
            keys[n] = k;
            values[n] = v;
            ++n;
        }
    }
    PyObject* const* items = nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    if (!bind_core(sig, items, nargs, keys, values, n, out)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        Py_XINCREF(out[i]);
    }
    return true;
}

bool check_type(PyObject* obj, PyTypeObject* type, const char* name, bool allow_none, bool exact) {
    if (Py_IS_TYPE(obj, type) || (allow_none && obj == Py_None)) {
        return true;
    }
    bool subclass = PyObject_TypeCheck(obj, type);
    if (subclass && !exact) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    if (subclass) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal(PyUnicode_FromString(
            "Note that velmora.orderbook is deliberately stricter than PEP-484 and rejects "
            "subclasses of builtin types for this argument."));
        if (note) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(exc, names::add_note, note.get()));
        }
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    return false;
}

bool raise_expected(const char* expected, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(obj)->tp_name);
    return false;
}

}  // namespace velmora::args
