// The velmora.core.Book type: one engine per Python object.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "engine.hpp"

namespace velmora::core {

// What a Book owns besides its Python header: the engine, a reusable buffer for the fills
// of one per-event call, and whether operations on ids the book does not know may take
// their quantity from seeded orders.
struct BookState {
    Engine engine;
    std::vector<Fill> fills;
    bool seeded_fallback = false;
};

struct BookObject {
    PyObject_HEAD
    BookState* state;
};

extern PyTypeObject BookType;

// Fills in and readies BookType; false with an exception set.
bool ready_book_type() noexcept;

// The ints 0 to 256, filled in with the module (immortal objects, so never released): the
// small values of results (sides, counts, most quantities) without a call each.
inline PyObject* small_ints[257];
bool ready_small_ints() noexcept;

// A new reference to `value` as an int.
inline PyObject* int_object(std::int64_t value) noexcept {
    if (value >= 0 && value <= 256) {
        return Py_NewRef(small_ints[value]);
    }
    return PyLong_FromLongLong(value);
}

// Raises the exception that describes a refusal of order `id`; returns nullptr. `open` is
// the order's open quantity, for exceeds_open.
PyObject* raise_refusal(Refusal refusal, long long id, long long quantity,
                        long long open = 0) noexcept;

// Collects one call's fills. Never throws: the engine is mid-match when it calls this, and a
// fill that cannot be recorded must not stop the match half-way (the book stays consistent;
// the call then reports MemoryError).
struct Collect {
    std::vector<Fill>* out;
    bool* lost;
    void operator()(const Fill& fill) const noexcept {
        try {
            out->push_back(fill);
        } catch (...) {
            *lost = true;
        }
    }
};

// The fills collected in state->fills as a tuple of (resting_id, price, quantity), emptying
// the buffer; MemoryError when `lost`.
PyObject* fills_result(BookState* state, bool lost) noexcept;

// A new instance of `type` (Book or a subclass, called with no arguments) that takes over
// `state`; nullptr with an exception set.
PyObject* book_with_state(PyObject* type, std::unique_ptr<BookState> state,
                          const char* caller) noexcept;

// True with ValueError "the <what> describe a crossed book: ..." when a book built from
// saved orders or levels has its best bid at or above its best ask.
bool refuse_crossed(const Engine& engine, const char* what) noexcept;

// Where an order the book does not know rested, for the seeded fallback: `given` when the
// side= and price= keywords were both passed.
struct Seat {
    bool given = false;
    Side side = BID;
    std::int64_t ticks = 0;
};
// Converts the side= and price= keywords (nullptr when omitted); false with TypeError when
// only one is given, or with the conversion's error.
bool to_seat_given(PyObject* side, PyObject* price, Seat* out) noexcept;
inline bool to_seat(PyObject* side, PyObject* price, Seat* out) noexcept {
    out->given = false;
    return (!side && !price) || to_seat_given(side, price, out);
}

// The per-order operations and look-ups (orders.cpp).
PyObject* book_reduce_order(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept;
PyObject* book_execute(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* book_modify(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* book_order(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;
PyObject* book_level(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;
PyObject* book_from_depth(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

}  // namespace velmora::core
