// Batch replay: one call applies an array of events to a book and returns its fills as a
// NumPy structured array. NumPy is imported on first use only.
#pragma once

#include <Python.h>

#include <cstdint>

#include "book.hpp"

namespace velmora::core::batch {

// One event, 32 bytes in native byte order: the layout of EVENT_DTYPE and of raw buffers.
struct Event {
    std::int8_t kind;  // 0 limit, 1 market, 2 cancel
    std::int8_t side;  // 0 bid, 1 ask; ignored by a cancel
    std::uint8_t pad[6];
    std::int64_t order_id;
    std::int64_t price;     // ticks; used by a limit order only
    std::int64_t quantity;  // ignored by a cancel
};
static_assert(sizeof(Event) == 32);

// One fill, 48 bytes: the layout of FILL_DTYPE.
struct FillRecord {
    std::int64_t seq;  // index of the event in the replayed array
    std::int64_t aggressor_id;
    std::int64_t resting_id;
    std::int64_t price;
    std::int64_t quantity;
    std::int8_t side;  // the aggressor's side
    std::int8_t kind;  // 0 limit, 1 market
    std::uint8_t pad[6];
};
static_assert(sizeof(FillRecord) == 48);

enum Kind : std::int8_t { LIMIT = 0, MARKET = 1, CANCEL = 2 };

// Book.replay(events).
PyObject* book_replay(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// The module attributes EVENT_DTYPE and FILL_DTYPE (new reference), imported lazily; nullptr
// with ImportError when NumPy is missing, or with no exception set for another name.
PyObject* dtype(PyObject* name) noexcept;

}  // namespace velmora::core::batch
