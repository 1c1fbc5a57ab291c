// Pickle support for Order and PriceLevel (in progress).
#include "pickling.hpp"

namespace velmora::pickling {

bool setup(PyTypeObject*) { return true; }
bool bind_reconstructors() { return true; }

}  // namespace velmora::pickling
