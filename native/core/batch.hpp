// Batch replay: one call applies an array of events to a book and returns its fills as a
// NumPy structured array, and optionally the top levels after every event. NumPy is imported
// on first use only.
#pragma once

#include <Python.h>

#include <cstdint>

#include "book.hpp"

namespace velmora::core::batch {

// One event, 40 bytes in native byte order: the layout of EVENT_DTYPE and of raw buffers.
struct Event {
    std::int8_t kind;  // a Kind
    std::int8_t side;  // 0 bid, 1 ask: the order's side for LIMIT and MARKET; where the
                       // order rests for the seeded fallback of CANCEL, REDUCE and EXECUTE
    std::uint8_t pad[6];
    std::int64_t order_id;
    std::int64_t price;     // ticks: LIMIT, MODIFY, LEVEL; the seeded fallback's price
    std::int64_t quantity;  // all but CANCEL, which reads it for the seeded fallback only;
                            // for LEVEL, the level's total
    std::int64_t time;      // stamps the event's fills and the order it rests
};
static_assert(sizeof(Event) == 40);

// One fill, 56 bytes: the layout of FILL_DTYPE.
struct FillRecord {
    std::int64_t seq;           // index of the event in the replayed array
    std::int64_t aggressor_id;  // the event's order id; 0 for EXECUTE, which names none
    std::int64_t resting_id;
    std::int64_t price;
    std::int64_t quantity;
    std::int8_t side;  // the aggressor's side (for EXECUTE, the side opposite the resting one)
    std::int8_t kind;  // the kind of the event that made the fill
    std::uint8_t pad[6];
    std::int64_t time;  // the event's time
};
static_assert(sizeof(FillRecord) == 56);

// LEVEL (batch only) makes the level at `side`/`price` what an aggregated feed shows: one
// seeded order `order_id` holding `quantity`, in place of the orders resting there (0 removes
// the level; a negative quantity leaves it as it is). A LEVEL right after a LEVEL of the same
// side also removes the levels strictly between the two prices, so a run of them states a
// stretch of the side exactly.
enum Kind : std::int8_t {
    LIMIT = 0,
    MARKET = 1,
    CANCEL = 2,
    REDUCE = 3,
    EXECUTE = 4,
    MODIFY = 5,
    LEVEL = 6
};

// NumPy, imported on first use: false with ImportError (naming velmora[batch]) when it is
// missing. After that, numpy.dtype and numpy.empty (borrowed, kept for the process).
bool load_numpy() noexcept;
PyObject* numpy_dtype() noexcept;
PyObject* numpy_empty() noexcept;

// The result type of Book.replay (velmora.core.Replay), readied with the module.
extern PyTypeObject ReplayType;
bool ready_replay_type() noexcept;

// Book.replay(events, *, depth, changed_only, clamp, stop_on_unknown).
PyObject* book_replay(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// The module attributes EVENT_DTYPE and FILL_DTYPE (new reference), imported lazily; nullptr
// with ImportError when NumPy is missing, or with no exception set for another name.
PyObject* dtype(PyObject* name) noexcept;

}  // namespace velmora::core::batch
