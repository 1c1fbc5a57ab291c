// Argument binding and integer conversion for the core's methods, with the core's messages.
#pragma once

#include <Python.h>

#include <cstdint>

#include "engine.hpp"

namespace velmora::core::args {

// A method's parameters: its name for messages, the parameter names, how many are required
// and how many may be passed by position (-1: all; the others are keyword-only).
struct Params {
    const char* function;
    const char* const* names;
    int total;
    int required;
    int positional = -1;
};

// Binds vectorcall arguments to out[0..total) (borrowed; nullptr for an omitted optional
// parameter). False with TypeError set on a wrong count, an unknown or repeated keyword.
bool bind(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) noexcept;

// An int (or an object with __index__) that fits in a signed 64-bit integer, named `what` in
// the messages: TypeError for other types, OverflowError outside the range.
bool to_int64(PyObject* value, const char* what, std::int64_t* out) noexcept;

// 0 (BID) or 1 (ASK); ValueError otherwise.
bool to_side(PyObject* value, Side* out) noexcept;

// True or False, named `what` in the message; TypeError for anything else (a flag set by a
// truthy string or number would be a silent mistake).
bool to_flag(PyObject* value, const char* what, bool* out) noexcept;

}  // namespace velmora::core::args
