// Storage for the process-wide module state declared in state.hpp.
#include "runtime/state.hpp"

namespace velmora::state {

Global module;
Global module_dict;
Global builtins;
Global print;
Global reversed;
Global zero;
Global one;
std::int64_t interpreter_id = -1;

void forget_module() noexcept {
    module_dict.clear();
    module.clear();
}

}  // namespace velmora::state
