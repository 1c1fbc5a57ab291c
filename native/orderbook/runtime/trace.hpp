// Traceback entries that name the module function in which an exception passed,
// the way an interpreted function would appear in a traceback.
#pragma once

#include <Python.h>

namespace velmora::trace {

// One place that can fail: the function name shown in the traceback and the source
// line it points at. The code object is made on first use and kept.
struct Site {
    const char* funcname;  // e.g. "velmora.orderbook.OrderBook.cancel_order"
    const char* filename;  // e.g. "native/orderbook/book/book.cpp"
    int line;
    PyObject* code = nullptr;
};

// Adds an entry for `site` to the pending exception's traceback. Requires an exception
// set; keeps it set whatever happens (a failure to build the entry is swallowed).
void add(Site& site) noexcept;

}  // namespace velmora::trace
