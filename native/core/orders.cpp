// velmora.core.Book's per-order operations as a market-by-order feed sends them (reduce,
// execute, modify), the look-ups of one order and one level, and seeding a book from
// aggregated levels.
#include <limits>
#include <memory>
#include <new>

#include "args.hpp"
#include "book.hpp"
#include "ref.hpp"

namespace velmora::core {

bool to_seat_given(PyObject* side, PyObject* price, Seat* out) noexcept {
    if (!side || !price) {
        PyErr_SetString(PyExc_TypeError,
                        "side and price locate seeded volume together: give both or neither");
        return false;
    }
    if (!args::to_side(side, &out->side) || !args::to_int64(price, "price", &out->ticks)) {
        return false;
    }
    out->given = true;
    return true;
}

namespace {

// A tuple that takes over the new references `items`; nullptr when one of them is (each is
// released either way).
template <std::size_t N>
[[gnu::always_inline]] inline PyObject* tuple_of(PyObject* const (&items)[N]) noexcept {
    bool complete = true;
    for (PyObject* item : items) {
        complete &= item != nullptr;
    }
    PyObject* tuple = complete ? PyTuple_New(N) : nullptr;
    if (!tuple) {
        for (PyObject* item : items) {
            Py_XDECREF(item);
        }
        return nullptr;
    }
    for (std::size_t i = 0; i < N; ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i]);  // steals
    }
    return tuple;
}

// `value` as an int: the argument it was converted from when that is an exact int of the
// same value (no new object), else a new one.
PyObject* int_of(PyObject* given, std::int64_t value, std::int64_t converted) noexcept {
    if (PyLong_CheckExact(given) && value == converted) {
        return Py_NewRef(given);
    }
    return PyLong_FromLongLong(value);
}

const char* const reduce_names[] = {"order_id", "quantity", "clamp", "side", "price"};
const args::Params reduce_params{"reduce", reduce_names, 5, 2, 2};

}  // namespace

PyObject* book_reduce_order(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    PyObject* a[5];
    std::int64_t id, quantity, left = 0;
    bool clamp = false;
    Seat seat;
    if (!args::bind(reduce_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id) || !args::to_int64(a[1], "quantity", &quantity) ||
        (a[2] && !args::to_flag(a[2], "clamp", &clamp)) || !to_seat(a[3], a[4], &seat)) {
        return nullptr;
    }
    BookState* state = self->state;
    Refusal refusal = state->engine.reduce(id, quantity, clamp, &left);
    if (refusal == Refusal::unknown_id) {
        if (!state->seeded_fallback || !seat.given ||
            state->engine.take_seeded(seat.side, seat.ticks, quantity, false, &left,
                                      [](const Fill&) noexcept {}) != Refusal::none) {
            Py_RETURN_NONE;
        }
        refusal = Refusal::none;
    }
    if (refusal == Refusal::exceeds_open) {
        OrderView order{};
        state->engine.order(id, &order);
        PyErr_Format(PyExc_ValueError,
                     "cannot reduce order %lld by %lld: it has %lld open "
                     "(clamp=True takes what there is)",
                     static_cast<long long>(id), static_cast<long long>(quantity),
                     static_cast<long long>(order.quantity));
        return nullptr;
    }
    if (refusal != Refusal::none) {
        return raise_refusal(refusal, id, quantity);
    }
    return int_object(left);
}

namespace {

const char* const execute_names[] = {"order_id", "quantity", "side", "price"};
const args::Params execute_params{"execute", execute_names, 4, 2, 2};

}  // namespace

namespace {

// A fill as a (resting_id, price, quantity) tuple, reusing the arguments for the id and the
// quantity where they are the same ints.
[[gnu::always_inline]] inline PyObject* fill_tuple(const Fill& fill, PyObject* const* a,
                                                   std::int64_t id,
                                                   std::int64_t quantity) noexcept {
    return tuple_of({int_of(a[0], fill.resting_id, id), int_object(fill.ticks),
                     int_of(a[1], fill.quantity, quantity)});
}

// execute() when the id is not resting (the seeded fallback, else None) or when it is
// refused: kept out of the common path.
[[gnu::noinline, gnu::cold]] PyObject* execute_otherwise(BookState* state, Refusal refusal,
                                                         PyObject* const* a, std::int64_t id,
                                                         std::int64_t quantity,
                                                         const Seat& seat) noexcept {
    if (refusal == Refusal::unknown_id) {
        Fill fill{};
        std::int64_t left;
        if (!state->seeded_fallback || !seat.given ||
            state->engine.take_seeded(seat.side, seat.ticks, quantity, true, &left,
                                      [&fill](const Fill& f) noexcept { fill = f; }) !=
                Refusal::none) {
            Py_RETURN_NONE;
        }
        return fill_tuple(fill, a, id, quantity);
    }
    if (refusal == Refusal::exceeds_open) {
        OrderView order{};
        state->engine.order(id, &order);
        PyErr_Format(PyExc_ValueError, "cannot execute order %lld for %lld: it has %lld open",
                     static_cast<long long>(id), static_cast<long long>(quantity),
                     static_cast<long long>(order.quantity));
        return nullptr;
    }
    return raise_refusal(refusal, id, quantity);
}

}  // namespace

PyObject* book_execute(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    PyObject* a[4];
    std::int64_t id, quantity;
    Seat seat;
    if (!args::bind(execute_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id) || !args::to_int64(a[1], "quantity", &quantity) ||
        !to_seat(a[2], a[3], &seat)) {
        return nullptr;
    }
    BookState* state = self->state;
    Fill fill{};
    Side side;
    Refusal refusal =
        state->engine.execute(id, quantity, &side, [&fill](const Fill& f) noexcept { fill = f; });
    if (refusal != Refusal::none) {
        return execute_otherwise(state, refusal, a, id, quantity, seat);
    }
    return fill_tuple(fill, a, id, quantity);
}

namespace {

const char* const modify_names[] = {"order_id", "price", "quantity", "time"};
const args::Params modify_params{"modify", modify_names, 4, 3};

}  // namespace

PyObject* book_modify(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* a[4];
    std::int64_t id, ticks, quantity, time = 0;
    if (!args::bind(modify_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id) || !args::to_int64(a[1], "price", &ticks) ||
        !args::to_int64(a[2], "quantity", &quantity) ||
        (a[3] && !args::to_int64(a[3], "time", &time))) {
        return nullptr;
    }
    BookState* state = self->state;
    bool lost = false;
    Side side;
    Refusal refusal;
    try {
        refusal =
            state->engine.modify(id, ticks, quantity, time, &side, Collect{&state->fills, &lost});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (refusal == Refusal::unknown_id) {
        Py_RETURN_NONE;
    }
    if (refusal != Refusal::none) {
        return raise_refusal(refusal, id, quantity);
    }
    return fills_result(state, lost);
}

namespace {

const char* const order_names[] = {"order_id"};
const args::Params order_params{"order", order_names, 1, 1};

}  // namespace

PyObject* book_order(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* a[1];
    std::int64_t id;
    if (!args::bind(order_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id)) {
        return nullptr;
    }
    OrderView order;
    if (!self->state->engine.order(id, &order)) {
        Py_RETURN_NONE;
    }
    return tuple_of({int_object(order.side), int_object(order.ticks), int_object(order.quantity),
                     Py_NewRef(order.traded ? Py_True : Py_False), int_object(order.time),
                     Py_NewRef(order.seeded ? Py_True : Py_False)});
}

namespace {

const char* const level_names[] = {"side", "price"};
const args::Params level_params{"level", level_names, 2, 2};

}  // namespace

PyObject* book_level(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* a[2];
    Side side;
    std::int64_t ticks, total;
    std::uint32_t count;
    if (!args::bind(level_params, args, nargs, kwnames, a) || !args::to_side(a[0], &side) ||
        !args::to_int64(a[1], "price", &ticks)) {
        return nullptr;
    }
    if (!self->state->engine.level(side, ticks, &total, &count)) {
        Py_RETURN_NONE;
    }
    return tuple_of({int_object(total), int_object(count)});
}

namespace {

// Loads one side's (price, total) pairs as seeded orders numbered from *next_id. Converting
// a pair's items can run Python code; the state is not yet visible to it, and both items are
// held before either is converted.
bool seed_side(BookState* state, Side side, PyObject* levels, std::int64_t time,
               std::int64_t* next_id, bool* ids_left) noexcept {
    const char* name = side == BID ? "bids" : "asks";
    Ref it = Ref::steal(PyObject_GetIter(levels));
    if (!it) {
        return false;
    }
    for (Py_ssize_t index = 0;; ++index) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) {
            return !PyErr_Occurred();
        }
        if ((!PyTuple_Check(pair.get()) && !PyList_Check(pair.get())) ||
            PySequence_Size(pair.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "%s[%zd] must be a (price, total) pair, not %.200s", name,
                         index, Py_TYPE(pair.get())->tp_name);
            return false;
        }
        Ref price = Ref::steal(PySequence_GetItem(pair.get(), 0));
        Ref total = price ? Ref::steal(PySequence_GetItem(pair.get(), 1)) : Ref();
        std::int64_t ticks, quantity, existing;
        std::uint32_t count;
        if (!total || !args::to_int64(price.get(), "price", &ticks) ||
            !args::to_int64(total.get(), "total", &quantity)) {
            return false;
        }
        if (quantity <= 0) {
            PyErr_Format(PyExc_ValueError, "%s[%zd]: the total must be positive, got %lld", name,
                         index, static_cast<long long>(quantity));
            return false;
        }
        if (state->engine.level(side, ticks, &existing, &count)) {
            PyErr_Format(PyExc_ValueError, "%s[%zd]: price %lld is given twice", name, index,
                         static_cast<long long>(ticks));
            return false;
        }
        if (!*ids_left) {
            PyErr_SetString(PyExc_OverflowError, "the seeded orders' ids would pass 2**63 - 1");
            return false;
        }
        Refusal refusal;
        try {
            refusal = state->engine.load(*next_id, side, ticks, quantity, time, false, true);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        if (refusal != Refusal::none) {
            raise_refusal(refusal, *next_id, quantity);
            PyObject* exc = PyErr_GetRaisedException();
            PyErr_Format(PyExc_ValueError, "%s[%zd]: %S", name, index, exc);
            Py_DECREF(exc);
            return false;
        }
        *ids_left = *next_id < std::numeric_limits<std::int64_t>::max();
        *next_id += *ids_left ? 1 : 0;
    }
}

const char* const from_depth_names[] = {"bids", "asks", "first_id", "time", "seeded_fallback"};
const args::Params from_depth_params{"from_depth", from_depth_names, 5, 2, 2};

}  // namespace

PyObject* book_from_depth(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    PyObject* a[5];
    std::int64_t first_id = std::numeric_limits<std::int64_t>::min(), time = 0;
    bool fallback = false;
    if (!args::bind(from_depth_params, args, nargs, kwnames, a) ||
        (a[2] && !args::to_int64(a[2], "first_id", &first_id)) ||
        (a[3] && !args::to_int64(a[3], "time", &time)) ||
        (a[4] && !args::to_flag(a[4], "seeded_fallback", &fallback))) {
        return nullptr;
    }
    std::unique_ptr<BookState> state;
    try {
        state = std::make_unique<BookState>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    std::int64_t next_id = first_id;
    bool ids_left = true;
    if (!seed_side(state.get(), BID, a[0], time, &next_id, &ids_left) ||
        !seed_side(state.get(), ASK, a[1], time, &next_id, &ids_left)) {
        return nullptr;
    }
    if (refuse_crossed(state->engine, "levels")) {
        return nullptr;
    }
    state->seeded_fallback = fallback;
    return book_with_state(type, std::move(state), "from_depth");
}

}  // namespace velmora::core
