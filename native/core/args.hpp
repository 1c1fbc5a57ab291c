// Argument binding and integer conversion for the core's methods, with the core's messages.
#pragma once

#include <Python.h>

#include <cstddef>
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

// The general cases of bind() and to_int64().
bool bind_keywords(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) noexcept;
bool to_int64_slow(PyObject* value, const char* what, std::int64_t* out) noexcept;

// Binds vectorcall arguments to out[0..total) (borrowed; nullptr for an omitted optional
// parameter). False with TypeError set on a wrong count, an unknown or repeated keyword.
// Positional arguments alone, as many as allowed, are bound inline.
inline bool bind(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) noexcept {
    int positional = params.positional >= 0 ? params.positional : params.total;
    if (!kwnames && nargs >= params.required && nargs <= positional) {
        for (int i = 0; i < params.total; ++i) {
            out[i] = i < nargs ? args[i] : nullptr;
        }
        return true;
    }
    return bind_keywords(params, args, nargs, kwnames, out);
}

// An int (or an object with __index__) that fits in a signed 64-bit integer, named `what` in
// the messages: TypeError for other types, OverflowError outside the range. An exact int
// stored in one digit is read directly.
inline bool to_int64(PyObject* value, const char* what, std::int64_t* out) noexcept {
    if (PyLong_CheckExact(value) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
        return true;
    }
    return to_int64_slow(value, what, out);
}

bool to_side_slow(PyObject* value, Side* out) noexcept;

// Sets TypeError for an events buffer that is not of EVENT_DTYPE: for an array with a dtype
// (`exporter`, the buffer's owner), the first field of `event_dtype` it lacks or holds with
// another type or offset; else the buffer's format and item size.
void event_format_error(PyObject* exporter, PyObject* event_dtype, const char* format,
                        Py_ssize_t itemsize, std::size_t record) noexcept;

// 0 (BID) or 1 (ASK); ValueError otherwise.
inline bool to_side(PyObject* value, Side* out) noexcept {
    if (PyLong_CheckExact(value) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
        if (v == BID || v == ASK) {
            *out = static_cast<Side>(v);
            return true;
        }
    }
    return to_side_slow(value, out);
}

// True or False, named `what` in the message; TypeError for anything else (a flag set by a
// truthy string or number would be a silent mistake).
bool to_flag(PyObject* value, const char* what, bool* out) noexcept;

}  // namespace velmora::core::args
