// Process-wide module state: the one module object, its namespace, the builtins, the two
// built-in functions fetched once at import, and the small ints the engine uses.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace velmora::state {

inline constexpr const char* kModuleName = "velmora.orderbook";

extern Global module;                // null until the execution step records it
extern Global module_dict;           // the namespace of `module`
extern Global builtins;              // the builtins module
extern Global print;                 // builtins.print as it was at import
extern Global reversed;              // builtins.reversed as it was at import
extern Global zero;                  // 0: where _order_counter starts
extern Global one;                   // 1: its step, and the index of an order in an index entry
extern std::int64_t interpreter_id;  // -1 until the first create step

// Drops the recorded module after a failed import, so the next import starts afresh.
void forget_module() noexcept;

}  // namespace velmora::state
