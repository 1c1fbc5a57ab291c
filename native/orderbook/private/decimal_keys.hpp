// Exact Decimal prices read natively: the comparison of two finite Decimals of the same sign
// and exponent (as every price on one tick grid is) without the decimal module's context
// machinery, and the first probe of a dict keyed by such prices (a side), which answers most
// look-ups with no comparison call at all. Both give exactly the answers the decimal module
// and dict would, run no code, and decline whenever they cannot be sure; the caller then takes
// the general path. The layouts they read are checked once at import (check_layout()).
#pragma once

#include "private/fence.hpp"

namespace velmora::decimal_keys {

// Checks the layouts against Decimals and dicts built for the purpose and enables the native
// reads when they match. `decimal_type` is the built-in, immutable Decimal, held for the life
// of the process by its caller, or null (the reads stay off). When the built-in Decimal's
// layout differs, they stay off for good and an ImportWarning (ignored unless warnings are
// asked for) says so: the book works the same, only slower. Returns false with an exception
// set when the probe objects could not be built or the warning is an error.
bool check_layout(PyObject* decimal_type);

// `a <op> b` for exact Decimals: 1 true, 0 false, -1 undecided (nothing raised).
int compare(PyObject* a, PyObject* b, int op);

// The value of `key` in `dict`, a dict whose look-ups are dict's own, for an exact Decimal
// key: 1 found (`*value` borrowed from the dict), 0 absent, -1 undecided (nothing raised).
int probe(PyObject* dict, PyObject* key, PyObject** value);

}  // namespace velmora::decimal_keys
