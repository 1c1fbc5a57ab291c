// velmora.core.Book: the Python type around one engine. Per-event entry (add_limit,
// add_market, cancel), best prices, depth, the ladder text, the resting orders as rows, and
// pickling through those rows. The per-order operations live in orders.cpp.
#include "book.hpp"

#include <charconv>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "args.hpp"
#include "batch.hpp"
#include "ref.hpp"

namespace velmora::core {

PyObject* raise_refusal(Refusal refusal, long long id, long long quantity,
                        long long open) noexcept {
    switch (refusal) {
        case Refusal::bad_quantity:
            PyErr_Format(PyExc_ValueError, "quantity must be positive, got %lld", quantity);
            break;
        case Refusal::duplicate_id:
            PyErr_Format(PyExc_ValueError, "order id %lld is already resting in the book", id);
            break;
        case Refusal::level_overflow:
            PyErr_SetString(PyExc_OverflowError,
                            "the level's total quantity would exceed 2**63 - 1");
            break;
        case Refusal::full:
            PyErr_SetString(PyExc_MemoryError, "the book cannot hold more orders");
            break;
        case Refusal::unknown_id:
            PyErr_Format(PyExc_KeyError, "order id %lld is not resting in the book", id);
            break;
        case Refusal::exceeds_open:
            PyErr_Format(PyExc_ValueError, "quantity %lld exceeds the %lld open on order %lld",
                         quantity, open, id);
            break;
        case Refusal::none:
            PyErr_SetString(PyExc_SystemError, "raise_refusal() without a refusal");
            break;
    }
    return nullptr;
}

namespace {

PyObject* triple(long long a, long long b, long long c) noexcept {
    Ref x = Ref::steal(PyLong_FromLongLong(a));
    Ref y = Ref::steal(PyLong_FromLongLong(b));
    Ref z = Ref::steal(PyLong_FromLongLong(c));
    if (!x || !y || !z) {
        return nullptr;
    }
    return PyTuple_Pack(3, x.get(), y.get(), z.get());
}

}  // namespace

// Building Python objects can run a collector and so arbitrary code, which may call this
// book again: the buffer is moved out first and handed back afterwards for reuse.
PyObject* fills_result(BookState* state, bool lost) noexcept {
    if (lost) {
        state->fills.clear();
        return PyErr_NoMemory();
    }
    if (state->fills.empty()) {
        return PyTuple_New(0);
    }
    std::vector<Fill> fills = std::move(state->fills);
    state->fills.clear();
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fills.size())));
    for (std::size_t i = 0; result && i < fills.size(); ++i) {
        PyObject* item = triple(fills[i].resting_id, fills[i].ticks, fills[i].quantity);
        if (!item) {
            result.reset();
            break;
        }
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    if (state->fills.capacity() == 0) {
        fills.clear();
        state->fills = std::move(fills);
    }
    return result.release();
}

namespace {

const char* const limit_names[] = {"order_id", "side", "price", "quantity", "time"};
const args::Params limit_params{"add_limit", limit_names, 5, 4};

PyObject* book_add_limit(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    PyObject* a[5];
    std::int64_t id, ticks, quantity, time = 0;
    Side side;
    if (!args::bind(limit_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id) || !args::to_side(a[1], &side) ||
        !args::to_int64(a[2], "price", &ticks) || !args::to_int64(a[3], "quantity", &quantity) ||
        (a[4] && !args::to_int64(a[4], "time", &time))) {
        return nullptr;
    }
    BookState* state = self->state;
    bool lost = false;
    Refusal refusal;
    try {
        refusal =
            state->engine.add_limit(id, side, ticks, quantity, time, Collect{&state->fills, &lost});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (refusal != Refusal::none) {
        return raise_refusal(refusal, id, quantity);
    }
    return fills_result(state, lost);
}

const char* const market_names[] = {"order_id", "side", "quantity"};
const args::Params market_params{"add_market", market_names, 3, 3};

PyObject* book_add_market(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    PyObject* a[3];
    std::int64_t id, quantity;
    Side side;
    if (!args::bind(market_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id) || !args::to_side(a[1], &side) ||
        !args::to_int64(a[2], "quantity", &quantity)) {
        return nullptr;
    }
    BookState* state = self->state;
    bool lost = false;
    Refusal refusal = state->engine.add_market(id, side, quantity, Collect{&state->fills, &lost});
    if (refusal != Refusal::none) {
        return raise_refusal(refusal, id, quantity);
    }
    return fills_result(state, lost);
}

// The seeded fallback's keywords (side, price, quantity) are read only when the id is not
// resting, but checked whenever they are given.
const char* const cancel_names[] = {"order_id", "side", "price", "quantity"};
const args::Params cancel_params{"cancel", cancel_names, 4, 1, 1};

PyObject* book_cancel(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* a[4];
    std::int64_t id, quantity = 0;
    Seat seat;
    if (!args::bind(cancel_params, args, nargs, kwnames, a) ||
        !args::to_int64(a[0], "order_id", &id) || !to_seat(a[1], a[2], &seat) ||
        (a[3] && !args::to_int64(a[3], "quantity", &quantity))) {
        return nullptr;
    }
    BookState* state = self->state;
    if (state->engine.cancel(id)) {
        Py_RETURN_TRUE;
    }
    // A cancel without a quantity, or with one below 1, takes nothing from seeded volume.
    std::int64_t left;
    bool seeded = state->seeded_fallback && seat.given && quantity > 0 &&
                  state->engine.take_seeded(seat.side, seat.ticks, quantity, false, &left,
                                            [](const Fill&) noexcept {}) == Refusal::none;
    return PyBool_FromLong(seeded);
}

PyObject* best_of(BookObject* self, Side side) noexcept {
    const Engine& engine = self->state->engine;
    if (!engine.has_best(side)) {
        Py_RETURN_NONE;
    }
    return PyLong_FromLongLong(engine.best(side));
}

PyObject* book_best_bid(BookObject* self, PyObject*) noexcept { return best_of(self, BID); }
PyObject* book_best_ask(BookObject* self, PyObject*) noexcept { return best_of(self, ASK); }

const char* const depth_names[] = {"side", "levels"};
const args::Params depth_params{"depth", depth_names, 2, 1};

PyObject* book_depth(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* a[2];
    Side side;
    std::int64_t levels = 10;
    if (!args::bind(depth_params, args, nargs, kwnames, a) || !args::to_side(a[0], &side) ||
        (a[1] && !args::to_int64(a[1], "levels", &levels))) {
        return nullptr;
    }
    if (levels < 0) {
        PyErr_Format(PyExc_ValueError, "levels must not be negative, got %lld",
                     static_cast<long long>(levels));
        return nullptr;
    }
    // Collect the figures first: building Python objects may run code that changes the book.
    std::vector<Fill> rows;
    try {
        self->state->engine.for_each_level(
            side, [&](std::int64_t ticks, std::int64_t total, std::uint32_t count) {
                if (static_cast<std::int64_t>(rows.size()) >= levels) {
                    return false;
                }
                rows.push_back(Fill{ticks, total, count});
                return true;
            });
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; list && i < rows.size(); ++i) {
        PyObject* item = triple(rows[i].resting_id, rows[i].ticks, rows[i].quantity);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

// The resting orders as rows (order_id, side, price, quantity, traded, time, seeded): bids
// from the best level down, then asks from the best level up, each level oldest first.
struct Row {
    std::int64_t id;
    std::int64_t ticks;
    std::int64_t quantity;
    std::int64_t time;
    Side side;
    std::uint32_t flags;
};

PyObject* book_orders(BookObject* self, PyObject*) noexcept {
    std::vector<Row> rows;
    try {
        rows.reserve(self->state->engine.size());
        for (Side side : {BID, ASK}) {
            self->state->engine.for_each_order(side, [&](const Node& n, std::int64_t ticks) {
                rows.push_back(Row{n.id, ticks, n.quantity, n.time, side, n.flags});
            });
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    Ref sides[2] = {Ref::steal(PyLong_FromLong(BID)), Ref::steal(PyLong_FromLong(ASK))};
    if (!list || !sides[0] || !sides[1]) {
        return nullptr;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        Ref id = Ref::steal(PyLong_FromLongLong(r.id));
        Ref ticks = Ref::steal(PyLong_FromLongLong(r.ticks));
        Ref quantity = Ref::steal(PyLong_FromLongLong(r.quantity));
        Ref time = Ref::steal(PyLong_FromLongLong(r.time));
        if (!id || !ticks || !quantity || !time) {
            return nullptr;
        }
        PyObject* item = PyTuple_Pack(7, id.get(), sides[r.side].get(), ticks.get(), quantity.get(),
                                      r.flags & Node::TRADED ? Py_True : Py_False, time.get(),
                                      r.flags & Node::SEEDED ? Py_True : Py_False);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

// A private state built from rows; nullptr with an exception for a malformed row, a refused
// order or a crossed result. Converting a row's items can run Python code; the state is not
// yet visible to it, and each item is held before any of them is converted.
std::unique_ptr<BookState> load_rows(PyObject* rows, bool feed = false) noexcept {
    std::unique_ptr<BookState> state;
    try {
        state = std::make_unique<BookState>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    state->engine.set_feed(feed);
    Ref it = Ref::steal(PyObject_GetIter(rows));
    if (!it) {
        return nullptr;
    }
    for (Py_ssize_t index = 0;; ++index) {
        Ref row = Ref::steal(PyIter_Next(it.get()));
        if (!row) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            break;
        }
        if (!PyTuple_Check(row.get()) && !PyList_Check(row.get())) {
            PyErr_Format(PyExc_TypeError,
                         "row %zd must be a tuple (order_id, side, price, quantity, traded[, "
                         "time[, seeded]]), not %.200s",
                         index, Py_TYPE(row.get())->tp_name);
            return nullptr;
        }
        Ref item[7];
        Py_ssize_t n = PySequence_Size(row.get());
        if (n < 5 || n > 7) {
            PyErr_Format(PyExc_ValueError,
                         "row %zd must hold 5 to 7 items (order_id, side, price, quantity, "
                         "traded[, time[, seeded]]), not %zd",
                         index, n);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            item[k] = Ref::steal(PySequence_GetItem(row.get(), k));
            if (!item[k]) {
                return nullptr;
            }
        }
        std::int64_t id, ticks, quantity, time = 0;
        Side side;
        if (!args::to_int64(item[0].get(), "order_id", &id) ||
            !args::to_side(item[1].get(), &side) ||
            !args::to_int64(item[2].get(), "price", &ticks) ||
            !args::to_int64(item[3].get(), "quantity", &quantity) ||
            (n > 5 && !args::to_int64(item[5].get(), "time", &time))) {
            return nullptr;
        }
        int traded = PyObject_IsTrue(item[4].get());
        int seeded = n > 6 ? PyObject_IsTrue(item[6].get()) : 0;
        if (traded < 0 || seeded < 0) {
            return nullptr;
        }
        Refusal refusal;
        try {
            refusal = state->engine.load(id, side, ticks, quantity, time, traded != 0, seeded != 0);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (refusal != Refusal::none) {
            raise_refusal(refusal, id, quantity);
            PyObject* exc = PyErr_GetRaisedException();
            PyErr_Format(PyExc_ValueError, "row %zd: %S", index, exc);
            Py_DECREF(exc);
            return nullptr;
        }
    }
    if (!feed && refuse_crossed(state->engine, "rows")) {
        return nullptr;
    }
    return state;
}

// Book(*, feed=False): the one keyword is read before anything is allocated.
bool new_book_feed(PyObject* args, PyObject* kwargs, bool* feed) noexcept {
    *feed = false;
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "Book() takes no arguments but the keyword 'feed'");
        return false;
    }
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        return true;
    }
    PyObject* flag = PyDict_GetItemString(kwargs, "feed");  // borrowed
    if (!flag || PyDict_GET_SIZE(kwargs) != 1) {
        PyErr_SetString(PyExc_TypeError, "Book() takes no arguments but the keyword 'feed'");
        return false;
    }
    Ref held = Ref::borrow(flag);  // converting it may run code that changes the dict
    return args::to_flag(held.get(), "feed", feed);
}

PyObject* book_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    bool feed;
    if (!new_book_feed(args, kwargs, &feed)) {
        return nullptr;
    }
    BookState* state;
    try {
        state = new BookState();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    state->engine.set_feed(feed);
    auto* self = reinterpret_cast<BookObject*>(type->tp_alloc(type, 0));
    if (!self) {
        delete state;
        return nullptr;
    }
    self->state = state;
    return reinterpret_cast<PyObject*>(self);
}

void book_dealloc(BookObject* self) noexcept {
    delete self->state;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* book_from_orders(PyObject* type, PyObject* rows) noexcept {
    std::unique_ptr<BookState> state = load_rows(rows);
    if (!state) {
        return nullptr;
    }
    return book_with_state(type, std::move(state), "from_orders");
}

// The pickled state: {"orders": rows, "seeded_fallback": flag, "feed": flag}; a bare
// iterable of rows is taken as well (the flags then off). A feed book's rows may be crossed.
PyObject* book_setstate(BookObject* self, PyObject* value) noexcept {
    Ref rows = Ref::borrow(value);
    bool fallback = false;
    bool feed = false;
    if (PyDict_Check(value)) {
        rows = Ref::borrow(PyDict_GetItemString(value, "orders"));
        PyObject* flag = PyDict_GetItemString(value, "seeded_fallback");
        PyObject* feed_flag = PyDict_GetItemString(value, "feed");
        if (!rows) {
            PyErr_SetString(PyExc_ValueError, "the state holds no \"orders\"");
            return nullptr;
        }
        Ref held = Ref::borrow(flag);  // the dict may change while the rows are read
        Ref held_feed = Ref::borrow(feed_flag);
        if ((held && !args::to_flag(held.get(), "seeded_fallback", &fallback)) ||
            (held_feed && !args::to_flag(held_feed.get(), "feed", &feed))) {
            return nullptr;
        }
    }
    std::unique_ptr<BookState> state = load_rows(rows.get(), feed);
    if (!state) {
        return nullptr;
    }
    state->seeded_fallback = fallback;
    delete std::exchange(self->state, state.release());
    Py_RETURN_NONE;
}

PyObject* book_reduce(BookObject* self, PyObject*) noexcept {
    Ref rows = Ref::steal(book_orders(self, nullptr));
    if (!rows) {
        return nullptr;
    }
    PyObject* fallback = self->state->seeded_fallback ? Py_True : Py_False;
    if (self->state->engine.feed()) {  // the key only where it is set: older states stay
        return Py_BuildValue("(O(){sOsOsO})", reinterpret_cast<PyObject*>(Py_TYPE(self)), "orders",
                             rows.get(), "seeded_fallback", fallback, "feed", Py_True);
    }
    return Py_BuildValue("(O(){sOsO})", reinterpret_cast<PyObject*>(Py_TYPE(self)), "orders",
                         rows.get(), "seeded_fallback", fallback);
}

PyObject* book_get_seeded_fallback(BookObject* self, void*) noexcept {
    return PyBool_FromLong(self->state->seeded_fallback);
}

int book_set_seeded_fallback(BookObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'seeded_fallback'");
        return -1;
    }
    bool flag;
    if (!args::to_flag(value, "seeded_fallback", &flag)) {
        return -1;
    }
    self->state->seeded_fallback = flag;
    return 0;
}

PyObject* book_get_feed(BookObject* self, void*) noexcept {
    return PyBool_FromLong(self->state->engine.feed());
}

// Leaving feed mode needs a book that is not crossed, which the matching rules assume.
int book_set_feed(BookObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete attribute 'feed'");
        return -1;
    }
    bool flag;
    if (!args::to_flag(value, "feed", &flag)) {
        return -1;
    }
    if (!flag && refuse_crossed(self->state->engine, "orders")) {
        return -1;
    }
    self->state->engine.set_feed(flag);
    return 0;
}

PyObject* book_get_crossed(BookObject* self, void*) noexcept {
    return PyBool_FromLong(self->state->engine.crossed());
}

PyObject* book_check(BookObject* self, PyObject*) noexcept {
    const char* problem = self->state->engine.check();
    if (problem) {
        PyErr_SetString(PyExc_AssertionError, problem);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* book_native_bytes(BookObject* self, PyObject*) noexcept {
    return PyLong_FromSize_t(self->state->engine.bytes());
}

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// The ladder in the exact book's format, prices in ticks: asks from the highest down, a
// divider, bids from the highest down.
PyObject* book_str(BookObject* self) noexcept {
    const Engine& engine = self->state->engine;
    std::string out;
    try {
        std::vector<std::pair<std::int64_t, std::int64_t>> asks;
        engine.for_each_level(ASK, [&](std::int64_t ticks, std::int64_t total, std::uint32_t) {
            asks.emplace_back(ticks, total);
            return true;
        });
        out += "===== ORDER BOOK =====\nASKS\n";
        for (auto level = asks.rbegin(); level != asks.rend(); ++level) {
            append_int(out, level->first);
            out += "  ";
            append_int(out, level->second);
            out += '\n';
        }
        out += "---------------------\n";
        engine.for_each_level(BID, [&](std::int64_t ticks, std::int64_t total, std::uint32_t) {
            append_int(out, ticks);
            out += "  ";
            append_int(out, total);
            out += '\n';
            return true;
        });
        out += "BIDS\n======================";
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

Py_ssize_t book_len(BookObject* self) noexcept {
    return static_cast<Py_ssize_t>(self->state->engine.size());
}

int book_contains(BookObject* self, PyObject* key) noexcept {
    std::int64_t id;
    if (!args::to_int64(key, "order_id", &id)) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();  // no id outside the range can rest
            return 0;
        }
        return -1;
    }
    return self->state->engine.contains(id) ? 1 : 0;
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef book_methods[] = {
    {"add_limit", FASTCALL(book_add_limit), METH_FASTCALL | METH_KEYWORDS,
     "add_limit($self, order_id, side, price, quantity, time=0)\n--\n\n"
     "Submit a limit order; returns its fills as (resting_id, price, quantity) tuples."},
    {"add_market", FASTCALL(book_add_market), METH_FASTCALL | METH_KEYWORDS,
     "add_market($self, order_id, side, quantity)\n--\n\n"
     "Submit a market order; returns its fills. A market order never rests."},
    {"cancel", FASTCALL(book_cancel), METH_FASTCALL | METH_KEYWORDS,
     "cancel($self, order_id, *, side=None, price=None, quantity=None)\n--\n\n"
     "Withdraw a resting order; False if none rests under that id. With seeded_fallback on, "
     "side, price and quantity locate seeded volume to take instead."},
    {"reduce", FASTCALL(book_reduce_order), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, order_id, quantity, *, clamp=False, side=None, price=None)\n--\n\n"
     "Take quantity off a resting order, keeping its place; returns the open quantity left "
     "(0: removed), or None if no order rests under that id."},
    {"execute", FASTCALL(book_execute), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, order_id, quantity, *, side=None, price=None)\n--\n\n"
     "Fill a named resting order at its own price, keeping its place; returns the fill as "
     "(resting_id, price, quantity), or None if no order rests under that id."},
    {"modify", FASTCALL(book_modify), METH_FASTCALL | METH_KEYWORDS,
     "modify($self, order_id, price, quantity, time=0)\n--\n\n"
     "Replace a resting order's price and open quantity; returns the fills a crossing price "
     "makes, or None if no order rests under that id."},
    {"order", FASTCALL(book_order), METH_FASTCALL | METH_KEYWORDS,
     "order($self, order_id)\n--\n\n"
     "The resting order as (side, price, quantity, traded, time, seeded), or None."},
    {"level", FASTCALL(book_level), METH_FASTCALL | METH_KEYWORDS,
     "level($self, side, price)\n--\n\nThe level at a price as (total, count), or None."},
    {"best_bid", FASTCALL(book_best_bid), METH_NOARGS,
     "best_bid($self, /)\n--\n\nThe highest bid price in ticks, or None."},
    {"best_ask", FASTCALL(book_best_ask), METH_NOARGS,
     "best_ask($self, /)\n--\n\nThe lowest ask price in ticks, or None."},
    {"depth", FASTCALL(book_depth), METH_FASTCALL | METH_KEYWORDS,
     "depth($self, side, levels=10)\n--\n\n"
     "The best `levels` levels of a side as (price, total quantity, order count), best first."},
    {"orders", FASTCALL(book_orders), METH_NOARGS,
     "orders($self, /)\n--\n\n"
     "The resting orders as (order_id, side, price, quantity, traded) rows: bids best first, "
     "then asks best first, each level oldest first."},
    {"from_orders", FASTCALL(book_from_orders), METH_O | METH_CLASS,
     "from_orders($type, rows, /)\n--\n\n"
     "A book holding the given rows (as orders() returns them), in that queue order."},
    {"from_depth", FASTCALL(book_from_depth), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_depth($type, bids, asks, *, first_id=-9223372036854775808, time=0, "
     "seeded_fallback=False)\n--\n\n"
     "A book seeded from aggregated levels, (price, total) per level: one seeded order per "
     "level, numbered from first_id in the order given, bids first."},
    {"replay", FASTCALL(batch::book_replay), METH_FASTCALL | METH_KEYWORDS,
     "replay($self, events, *, depth=0, changed_only=False, clamp=False, "
     "stop_on_unknown=False, sampler=None, group_ends=None)\n--\n\n"
     "Apply an array of events (EVENT_DTYPE layout) in order; returns a Replay: the fills "
     "(FILL_DTYPE), the top `depth` levels after each event, and the counts of events on "
     "unknown ids and of those seeded volume took. A Sampler takes rows and measures when "
     "it is asked to instead (group_ends: one bool per event, for Sampler(groups=True))."},
    {"__reduce__", FASTCALL(book_reduce), METH_NOARGS, nullptr},
    {"__setstate__", FASTCALL(book_setstate), METH_O, nullptr},
    {"_check", FASTCALL(book_check), METH_NOARGS,
     "_check($self, /)\n--\n\nRaise AssertionError if an internal invariant is broken."},
    {"_native_bytes", FASTCALL(book_native_bytes), METH_NOARGS,
     "_native_bytes($self, /)\n--\n\nBytes held by the book's native structures."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef book_getset[] = {
    {"seeded_fallback", reinterpret_cast<getter>(book_get_seeded_fallback),
     reinterpret_cast<setter>(book_set_seeded_fallback),
     "Whether reduce, execute and cancel on an id that is not resting take their quantity "
     "from the seeded order at the side and price they give.",
     nullptr},
    {"feed", reinterpret_cast<getter>(book_get_feed), reinterpret_cast<setter>(book_set_feed),
     "Feed mode: add_limit and modify rest orders at their price without matching, so the "
     "book may lock or cross until the feed's executions and deletes resolve it.",
     nullptr},
    {"crossed", reinterpret_cast<getter>(book_get_crossed), nullptr,
     "Whether the best bid is at or above the best ask (only a feed book can be).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods book_as_sequence = {
    .sq_length = reinterpret_cast<lenfunc>(book_len),
    .sq_contains = reinterpret_cast<objobjproc>(book_contains),
};

}  // namespace

PyTypeObject BookType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_small_ints() noexcept {
    for (long v = 0; v <= 256; ++v) {
        small_ints[v] = PyLong_FromLong(v);
        if (!small_ints[v]) {
            return false;
        }
    }
    return true;
}

bool refuse_crossed(const Engine& engine, const char* what) noexcept {
    if (!engine.crossed()) {
        return false;
    }
    PyErr_Format(PyExc_ValueError,
                 "the %s describe a crossed book: best bid %lld is not below best ask %lld", what,
                 static_cast<long long>(engine.best(BID)),
                 static_cast<long long>(engine.best(ASK)));
    return true;
}

PyObject* book_with_state(PyObject* type, std::unique_ptr<BookState> state,
                          const char* caller) noexcept {
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) {
        return nullptr;
    }
    Ref book = Ref::steal(PyObject_Call(type, empty.get(), nullptr));
    if (!book) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(book.get(), &BookType)) {
        PyErr_Format(PyExc_TypeError, "%s() needs a Book class", caller);
        return nullptr;
    }
    auto* self = reinterpret_cast<BookObject*>(book.get());
    delete std::exchange(self->state, state.release());
    return book.release();
}

bool ready_book_type() noexcept {
    BookType.tp_name = "velmora.core.Book";
    BookType.tp_basicsize = sizeof(BookObject);
    BookType.tp_dealloc = reinterpret_cast<destructor>(book_dealloc);
    BookType.tp_as_sequence = &book_as_sequence;
    BookType.tp_str = reinterpret_cast<reprfunc>(book_str);
    BookType.tp_flags = Py_TPFLAGS_DEFAULT;
    BookType.tp_doc =
        "Book(*, feed=False)\n--\n\nA limit order book on integer ticks with price-time "
        "priority; feed=True rests every limit order without matching.";
    BookType.tp_methods = book_methods;
    BookType.tp_getset = book_getset;
    BookType.tp_new = book_new;
    return PyType_Ready(&BookType) == 0;
}

}  // namespace velmora::core
