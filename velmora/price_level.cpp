// The PriceLevel record type (in progress).
#include "price_level.hpp"

namespace velmora {

PyTypeObject PriceLevelType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace price_level {

const PriceLevelEntryPoints entry_points = {nullptr, nullptr, nullptr, nullptr};

bool ready() {
    if (PriceLevelType.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    PriceLevelType.tp_name = "velmora.orderbook.PriceLevel";
    PriceLevelType.tp_basicsize = sizeof(PriceLevelObject);
    PriceLevelType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    PriceLevelType.tp_new = PyType_GenericNew;
    return PyType_Ready(&PriceLevelType) == 0;
}

bool place_methods() { return true; }

}  // namespace price_level
}  // namespace velmora
