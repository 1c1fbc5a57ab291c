// Process-wide module state: the one module object, its namespace, the builtins
// and the two built-in functions fetched once at import.
#pragma once

#include <Python.h>

#include <cstdint>

namespace velmora::state {

inline constexpr const char* kModuleName = "velmora.orderbook";

extern PyObject* module;       // strong; null until the execution step records it
extern PyObject* module_dict;  // strong; the namespace of `module`
extern PyObject* builtins;     // strong; the builtins module
extern PyObject* print;        // strong; builtins.print as it was at import
extern PyObject* reversed;     // strong; builtins.reversed as it was at import
extern PyObject* small_ints[4];  // 0, 1, 2, 3
extern std::int64_t interpreter_id;  // -1 until the first create step

// Drops the recorded module after a failed import, so the next import starts afresh.
void forget_module() noexcept;

}  // namespace velmora::state
