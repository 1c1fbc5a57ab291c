// Argument binding for every function and method of the module, and the type checks
// of typed parameters, all raising the module's own TypeError wording.
#pragma once

#include <Python.h>

#include <cstddef>

namespace velmora::args {

inline constexpr Py_ssize_t kMaxParams = 4;

// The parameters of one function: positional-or-keyword, the first `n_required`
// without a default. `params` points at interned name variables (names::...).
struct Signature {
    const char* name;  // used in every message, e.g. "cancel_order"
    PyObject** const* params;
    Py_ssize_t n_params;
    Py_ssize_t n_required;
    // Functions without parameters that use the "takes no arguments" wording.
    bool no_arguments = false;
};

// The signature of a function with parameters: their count is taken from the table itself and
// checked, when the module is compiled, against what the binder can hold.
template <std::size_t N>
constexpr Signature signature(const char* name, PyObject** const (&params)[N],
                              Py_ssize_t n_required = N) {
    static_assert(N <= kMaxParams, "the binder holds at most kMaxParams parameters");
    return Signature{name, params, static_cast<Py_ssize_t>(N), n_required};
}

// Binds vectorcall arguments into out[0..n_params): borrowed references, null for an
// optional parameter not given. Returns false with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The same for a tuple and an optional keyword dict (tp_init). out[] holds new
// references on success, as a dict may lose its items while the caller runs Python code.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)". With `exact`,
// a subclass of `type` is refused too, and the exception gets a note saying so.
bool check_type(PyObject* obj, PyTypeObject* type, const char* name, bool allow_none, bool exact);

// Sets TypeError "Expected %s, got %.200s"; always returns false.
bool raise_expected(const char* expected, PyObject* obj);

}  // namespace velmora::args
