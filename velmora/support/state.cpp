// Storage for the process-wide module state declared in state.hpp.
#include "support/state.hpp"

namespace velmora::state {

PyObject* module = nullptr;
PyObject* module_dict = nullptr;
PyObject* builtins = nullptr;
PyObject* print = nullptr;
PyObject* reversed = nullptr;
PyObject* small_ints[4] = {};
std::int64_t interpreter_id = -1;

void forget_module() noexcept {
    Py_CLEAR(module_dict);
    Py_CLEAR(module);
}

}  // namespace velmora::state
