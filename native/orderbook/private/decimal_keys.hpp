// Exact Decimal prices read natively: the comparison of two finite Decimals of the same sign
// and exponent (as every price on one tick grid is) without the decimal module's context
// machinery, and the first probe of a dict keyed by such prices (a side), which answers most
// look-ups with no comparison call at all. Both give exactly the answers the decimal module
// and dict would, run no code, and decline whenever they cannot be sure; the caller then takes
// the general path. The layouts they read are checked once at import (check_layout()).
#pragma once

#include <Python.h>

namespace velmora::decimal_keys {

// Checks the layouts against Decimals and dicts built for the purpose and enables the native
// reads when they match. `decimal_type` must be the built-in, immutable Decimal; it is held
// for the life of the process by its caller. `*ok` tells whether they are on. Returns false
// with an exception set only when the probe objects could not be built.
bool check_layout(PyObject* decimal_type, bool* ok);

// `a <op> b` for exact Decimals: 1 true, 0 false, -1 undecided (nothing raised).
int compare(PyObject* a, PyObject* b, int op);

// The value of `key` in `dict`, a dict whose look-ups are dict's own, for an exact Decimal
// key: 1 found (`*value` borrowed from the dict), 0 absent, -1 undecided (nothing raised).
int probe(PyObject* dict, PyObject* key, PyObject** value);

}  // namespace velmora::decimal_keys
