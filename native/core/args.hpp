// Argument binding and integer conversion for the core's methods, with the core's messages.
#pragma once

#include <Python.h>

#include <cstdint>

#include "engine.hpp"

namespace velmora::core::args {

// A method's parameters: its name for messages, the parameter names, how many are required.
struct Params {
    const char* function;
    const char* const* names;
    int total;
    int required;
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

}  // namespace velmora::core::args
