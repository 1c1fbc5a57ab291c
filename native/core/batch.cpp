// Batch replay over buffers: the events are read straight from the caller's buffer and
// applied with no Python code running in the loop; the fills come back as one NumPy array,
// and the top levels after each event as another, written row by row as the loop goes.
#include "batch.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "args.hpp"
#include "ref.hpp"
#include "sampler.hpp"

namespace velmora::core::batch {
namespace {

// NumPy and the two dtypes, made on first use and kept for the life of the process.
struct NumPy {
    PyObject* empty = nullptr;
    PyObject* dtype = nullptr;
    PyObject* event_dtype = nullptr;
    PyObject* fill_dtype = nullptr;
    std::string event_format;  // the buffer format NumPy exports for EVENT_DTYPE
};
NumPy numpy;

}  // namespace

bool load_numpy() noexcept {
    if (numpy.empty) {
        return true;
    }
    Ref module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_ImportError,
                            "the batch API of velmora.core needs NumPy: "
                            "pip install 'velmora[batch]'");
            PyObject* exc = PyErr_GetRaisedException();
            PyException_SetCause(exc, cause);  // steals cause
            PyErr_SetRaisedException(exc);
        }
        return false;
    }
    Ref dtype = Ref::steal(PyObject_GetAttrString(module.get(), "dtype"));
    Ref empty = Ref::steal(PyObject_GetAttrString(module.get(), "empty"));
    if (!dtype || !empty) {
        return false;
    }
    Ref event_spec = Ref::steal(
        Py_BuildValue("{s:[ssssss],s:[ssssss],s:[iiiiii],s:i}", "names", "kind", "side", "order_id",
                      "price", "quantity", "time", "formats", "i1", "i1", "i8", "i8", "i8", "i8",
                      "offsets", 0, 1, 8, 16, 24, 32, "itemsize", static_cast<int>(sizeof(Event))));
    Ref fill_spec = Ref::steal(
        Py_BuildValue("{s:[ssssssss],s:[ssssssss],s:[iiiiiiii],s:i}", "names", "seq",
                      "aggressor_id", "resting_id", "price", "quantity", "side", "kind", "time",
                      "formats", "i8", "i8", "i8", "i8", "i8", "i1", "i1", "i8", "offsets", 0, 8,
                      16, 24, 32, 40, 41, 48, "itemsize", static_cast<int>(sizeof(FillRecord))));
    if (!event_spec || !fill_spec) {
        return false;
    }
    Ref event_dtype = Ref::steal(PyObject_CallOneArg(dtype.get(), event_spec.get()));
    Ref fill_dtype = Ref::steal(PyObject_CallOneArg(dtype.get(), fill_spec.get()));
    if (!event_dtype || !fill_dtype) {
        return false;
    }
    // Ask NumPy which format string it exports for the event layout, to recognise arrays of
    // exactly that dtype later.
    Ref probe = Ref::steal(PyObject_CallFunction(empty.get(), "iO", 0, event_dtype.get()));
    if (!probe) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(probe.get(), &view, PyBUF_RECORDS_RO) < 0) {
        return false;
    }
    std::string format = view.format ? view.format : "";
    PyBuffer_Release(&view);
    numpy.event_format = std::move(format);
    numpy.empty = empty.release();
    numpy.dtype = dtype.release();
    numpy.event_dtype = event_dtype.release();
    numpy.fill_dtype = fill_dtype.release();
    return true;
}

PyObject* numpy_dtype() noexcept { return numpy.dtype; }
PyObject* numpy_empty() noexcept { return numpy.empty; }

namespace {

// Releases a buffer view on scope exit, unless released earlier.
struct View {
    Py_buffer view{};
    bool held = false;
    void release() noexcept {
        if (held) {
            held = false;
            PyBuffer_Release(&view);
        }
    }
    ~View() { release(); }
};

// Where the events are in a buffer: a base, a stride between records, a count. False with
// TypeError for anything that is not a 1-D array of EVENT_DTYPE or a bytes-like buffer of
// whole records.
bool locate(const Py_buffer& view, const char** base, Py_ssize_t* stride, Py_ssize_t* count) {
    const char* format = view.format ? view.format : "B";
    bool raw =
        view.itemsize == 1 && (std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
                               std::strcmp(format, "c") == 0);
    if (view.ndim != 1) {
        PyErr_Format(PyExc_TypeError,
                     "events must be a one-dimensional array of velmora.core.EVENT_DTYPE, not "
                     "%d-dimensional (numpy.lib.recfunctions.unstructured_to_structured(table, "
                     "velmora.core.EVENT_DTYPE) turns a table of kind, side, order_id, price, "
                     "quantity and time columns into one)",
                     view.ndim);
        return false;
    }
    if (raw) {
        if (view.strides && view.strides[0] != 1) {
            PyErr_SetString(PyExc_TypeError, "a bytes-like events buffer must be contiguous");
            return false;
        }
        if (view.len % static_cast<Py_ssize_t>(sizeof(Event)) != 0) {
            PyErr_Format(PyExc_ValueError,
                         "a bytes-like events buffer must hold whole %zu-byte records, "
                         "got %zd bytes",
                         sizeof(Event), view.len);
            return false;
        }
        *base = static_cast<const char*>(view.buf);
        *stride = sizeof(Event);
        *count = view.len / static_cast<Py_ssize_t>(sizeof(Event));
        return true;
    }
    if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Event)) || numpy.event_format != format) {
        args::event_format_error(view.obj, numpy.event_dtype, format, view.itemsize, sizeof(Event));
        return false;
    }
    *base = static_cast<const char*>(view.buf);
    *stride = view.strides ? view.strides[0] : view.itemsize;
    *count = view.shape ? view.shape[0] : view.len / view.itemsize;
    return true;
}

// The fills of a batch, in a block that grows without copying them (grow_block): a flow with
// many fills would otherwise copy each one about twice more as a vector doubles.
class FillBuffer {
  public:
    FillBuffer() = default;
    FillBuffer(const FillBuffer&) = delete;
    FillBuffer& operator=(const FillBuffer&) = delete;
    ~FillBuffer() { free_block(base_, capacity() * sizeof(FillRecord)); }

    // Adds a fill, made in place; may throw std::bad_alloc, adding nothing.
    void emplace_back(std::int64_t seq, std::int64_t aggressor, const Fill& fill, std::int8_t side,
                      std::int8_t kind, std::int64_t time) {
        if (end_ == limit_) {
            grow();
        }
        ::new (static_cast<void*>(end_++)) FillRecord{
            seq, aggressor, fill.resting_id, fill.ticks, fill.quantity, side, kind, {}, time};
    }
    std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - base_); }
    bool empty() const noexcept { return end_ == base_; }
    const FillRecord* data() const noexcept { return base_; }

  private:
    std::size_t capacity() const noexcept { return static_cast<std::size_t>(limit_ - base_); }
    [[gnu::noinline]] void grow() {
        // 4 096 fills first, then doubling: the pages beyond the fills are never touched.
        std::size_t size = this->size(), old = capacity();
        std::size_t capacity = old == 0 ? 4096 : 2 * old;
        base_ = static_cast<FillRecord*>(
            grow_block(base_, old * sizeof(FillRecord), capacity * sizeof(FillRecord)));
        end_ = base_ + size;
        limit_ = base_ + capacity;
    }

    FillRecord* base_ = nullptr;
    FillRecord* end_ = nullptr;
    FillRecord* limit_ = nullptr;
};

// Records the fills of one event. Never throws (see Collect in book.hpp). The aggressor's
// side is read through `side` when the fill is made: an EXECUTE or MODIFY learns it from the
// order it names, and an EXECUTE's aggressor is on the other side (`flip`).
struct Record {
    FillBuffer* out;
    bool* lost;
    std::int64_t seq;
    std::int64_t aggressor;
    const Side* side;
    bool flip;
    std::int8_t kind;
    std::int64_t time;
    void operator()(const Fill& fill) const noexcept {
        auto s = static_cast<std::int8_t>(flip ? 1 - *side : *side);
        try {
            out->emplace_back(seq, aggressor, fill, s, kind, time);
        } catch (...) {
            *lost = true;
        }
    }
};

// The fills as a NumPy array of FILL_DTYPE.
PyObject* to_array(const FillBuffer& fills) noexcept {
    Ref array = Ref::steal(PyObject_CallFunction(
        numpy.empty, "nO", static_cast<Py_ssize_t>(fills.size()), numpy.fill_dtype));
    if (!array) {
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    if (view.len != static_cast<Py_ssize_t>(fills.size() * sizeof(FillRecord))) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_SystemError, "fill array of unexpected size");
        return nullptr;
    }
    if (!fills.empty()) {
        std::memcpy(view.buf, fills.data(), fills.size() * sizeof(FillRecord));
    }
    PyBuffer_Release(&view);
    return array.release();
}

// The top `depth` levels of both sides after each event, as rows of int64: seq (the event's
// index), then bid prices, bid totals, ask prices and ask totals, `depth` each, best first.
// `current` holds the book's top levels as of the last event. The engine reports what an
// event changed at or above a side's depth-th level: when only one level's total changed,
// that entry is patched; when levels came or went, the side is walked again.
class Snapshots {
  public:
    // The array for `count` rows, allocated before the loop (Python code runs here).
    bool open(std::size_t depth, bool changed_only, Py_ssize_t count) noexcept {
        depth_ = depth;
        changed_only_ = changed_only;
        row_words_ = 1 + 4 * depth;
        Ref format = Ref::steal(PyUnicode_FromFormat("(%zu,)i8", depth));
        if (!format) {
            return false;
        }
        auto offset = [depth](int k) { return static_cast<Py_ssize_t>(8 + 8 * depth * k); };
        Ref spec = Ref::steal(
            Py_BuildValue("{s:[sssss],s:[sOOOO],s:[nnnnn],s:n}", "names", "seq", "bid_price",
                          "bid_total", "ask_price", "ask_total", "formats", "i8", format.get(),
                          format.get(), format.get(), format.get(), "offsets", Py_ssize_t{0},
                          offset(0), offset(1), offset(2), offset(3), "itemsize", offset(4)));
        if (!spec) {
            return false;
        }
        Ref dtype = Ref::steal(PyObject_CallOneArg(numpy.dtype, spec.get()));
        if (!dtype) {
            return false;
        }
        array_ = Ref::steal(PyObject_CallFunction(numpy.empty, "nO", count, dtype.get()));
        if (!array_) {
            return false;
        }
        if (PyObject_GetBuffer(array_.get(), &view_.view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) <
            0) {
            return false;
        }
        view_.held = true;
        try {
            current_.assign(4 * depth, 0);
            scratch_.assign(2 * depth, 0);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // The book's top levels before the first event.
    void start(Engine& engine) noexcept {
        refresh(engine, BID, false);
        refresh(engine, ASK, false);
        engine.changes();
    }

    // After event `seq`: brings the sides the event changed near the top up to date, then
    // writes a row (in changed_only mode, only when the top levels differ from the last row's).
    void step(Engine& engine, Py_ssize_t seq) noexcept {
        Engine::Changes changes = engine.changes();
        bool changed = false;
        for (Side side : {BID, ASK}) {
            unsigned bit = 1u << side;
            if (changes.dirty & bit) {
                changed |= changes.reshaped & bit ? refresh(engine, side, changed_only_)
                                                  : patch(engine, side, changes.level[side]);
            }
        }
        if (changed || !changed_only_) {
            auto* row = static_cast<std::int64_t*>(view_.view.buf) +
                        static_cast<std::size_t>(rows_) * row_words_;
            row[0] = seq;
            std::memcpy(row + 1, current_.data(), current_.size() * sizeof(std::int64_t));
            ++rows_;
        }
    }

    // The array of the rows written, the buffer released.
    PyObject* finish() noexcept {
        view_.release();
        Py_ssize_t allocated = PyObject_Length(array_.get());
        if (allocated < 0) {
            return nullptr;
        }
        if (rows_ != allocated && rows_ >= allocated / 2) {
            // Most of the array is used: the rows written, as a view of it. Shrinking it in
            // place would hand the allocator back a smaller block than the next replay of
            // the same size asks for, which then comes from fresh pages each time.
            return PySequence_GetSlice(array_.get(), 0, rows_);
        }
        if (rows_ != allocated) {
            // The array owns its memory and nobody else has seen it: shrink it in place.
            Ref resize = Ref::steal(PyObject_GetAttrString(array_.get(), "resize"));
            Ref shape = Ref::steal(Py_BuildValue("(n)", rows_));
            Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "refcheck", Py_False));
            if (!resize || !shape || !kwargs) {
                return nullptr;
            }
            Ref done = Ref::steal(PyObject_Call(resize.get(), shape.get(), kwargs.get()));
            if (!done) {
                return nullptr;
            }
        }
        return array_.new_ref();
    }

  private:
    // Sets the total of one level of a side's top levels in `current`; true when it differs.
    bool patch(Engine& engine, Side side, std::uint32_t level) noexcept {
        std::int64_t* prices = current_.data() + 2 * depth_ * side;
        std::int64_t* totals = prices + depth_;
        std::int64_t ticks = engine.level_ticks(level);
        for (std::size_t i = 0; i < depth_; ++i) {
            if (prices[i] == ticks && totals[i] != 0) {
                std::int64_t total = engine.level_total(level);
                bool differs = totals[i] != total;
                totals[i] = total;
                return differs;
            }
        }
        return refresh(engine, side, changed_only_);  // not expected: a watched level is here
    }

    // Walks a side's top levels into `current` (through `scratch` when only a change
    // counts); true when they may differ from before.
    bool refresh(Engine& engine, Side side, bool compare) noexcept {
        std::int64_t* prices = current_.data() + 2 * depth_ * side;
        std::size_t bytes = 2 * depth_ * sizeof(std::int64_t);
        if (!compare) {
            engine.top(side, depth_, prices, prices + depth_);
            return true;
        }
        engine.top(side, depth_, scratch_.data(), scratch_.data() + depth_);
        if (std::memcmp(scratch_.data(), prices, bytes) == 0) {
            return false;
        }
        std::memcpy(prices, scratch_.data(), bytes);
        return true;
    }

    std::size_t depth_ = 0;
    bool changed_only_ = false;
    std::size_t row_words_ = 0;
    Ref array_;
    View view_;
    Py_ssize_t rows_ = 0;
    std::vector<std::int64_t> current_;
    std::vector<std::int64_t> scratch_;
};

const char* const replay_names[] = {"events",          "depth",   "changed_only", "clamp",
                                    "stop_on_unknown", "sampler", "group_ends"};
const args::Params replay_params{"replay", replay_names, 7, 1, 1};

PyStructSequence_Field replay_fields[] = {
    {"fills", "the fills, an array of FILL_DTYPE"},
    {"snapshots", "the top levels after each event (see Book.replay), or None without depth"},
    {"unknown", "events that named an order not resting, which changed nothing"},
    {"seeded", "events on unknown ids that seeded volume took"},
    // Not in the tuple (which stays four long for callers that unpack it): by name only.
    {"crossed", "events after which the book was crossed (a feed book only; else 0)"},
    {nullptr, nullptr},
};
PyStructSequence_Desc replay_desc = {
    "velmora.core.Replay",
    "What Book.replay returns: the fills, the snapshots (or None), and the counts of events on "
    "unknown ids and of those seeded volume took; .crossed counts the events after which a feed "
    "book was crossed.",
    replay_fields,
    4,
};

// The most levels per side a snapshot row holds: far more than any feed publishes, and small
// enough that a row's size is an int for NumPy.
constexpr std::int64_t MAX_DEPTH = 1 << 20;

// Why the loop stopped early: an event refused (nothing changed by it), or `lost`, an event
// applied whose fills could not all be recorded.
enum class Stop {
    none,
    refused,
    unknown,
    bad_kind,
    bad_side,
    crossing,
    no_memory,
    lost,
    too_many_rows
};

// One batch while its events are applied. LIMIT, MARKET and CANCEL, most of any flow, are
// applied inline; the per-order kinds and ids that are not resting go through calls, which
// keeps the common path small enough for the compiler to inline the engine into it.
struct Run {
    Engine& engine;
    bool fallback;
    bool clamp;
    bool stop_on_unknown;
    FillBuffer fills{};
    bool lost = false;
    Py_ssize_t unknown = 0;
    Py_ssize_t seeded = 0;
    Py_ssize_t crossed = 0;  // events after which the book was crossed
    Refusal refusal = Refusal::none;
    Stop stop = Stop::none;
    std::int64_t open = 0;  // the order's open quantity, when an event asked for more
    // The last LEVEL event: its index, side and price (a run continues from it).
    Py_ssize_t run_seq = -2;
    Side run_side = BID;
    std::int64_t run_price = 0;

    // Applies event i; false when the batch stops there (`stop` says why).
    [[gnu::always_inline]] bool apply(const Event& e, Py_ssize_t i) {
        bool known = true;
        if (e.kind == LIMIT || e.kind == MARKET) {
            if (e.side != BID && e.side != ASK) {
                stop = Stop::bad_side;
                return false;
            }
            auto side = static_cast<Side>(e.side);
            Record sink{&fills, &lost, i, e.order_id, &side, false, e.kind, e.time};
            refusal = e.kind == LIMIT
                          ? engine.add_limit(e.order_id, side, e.price, e.quantity, e.time, sink)
                          : engine.add_market(e.order_id, side, e.quantity, sink);
        } else if (e.kind == CANCEL) {
            known = engine.cancel(e.order_id);
        } else {
            known = per_order(e, i);
        }
        if (refusal != Refusal::none || stop != Stop::none) {
            return refused(e);
        }
        return known || not_resting(e, i);
    }

    // REDUCE, EXECUTE and MODIFY (else a bad kind); false when the id is not resting.
    [[gnu::noinline]] bool per_order(const Event& e, Py_ssize_t i) {
        auto side = static_cast<Side>(e.side);
        std::int64_t left;
        switch (e.kind) {
            case REDUCE: refusal = engine.reduce(e.order_id, e.quantity, clamp, &left); break;
            case EXECUTE:
                refusal = engine.execute(e.order_id, e.quantity, &side,
                                         Record{&fills, &lost, i, 0, &side, true, EXECUTE, e.time});
                break;
            case MODIFY:
                refusal = engine.modify(
                    e.order_id, e.price, e.quantity, e.time, &side,
                    Record{&fills, &lost, i, e.order_id, &side, false, MODIFY, e.time});
                break;
            case LEVEL: set_level(e, i); return true;
            default: stop = Stop::bad_kind; return true;
        }
        if (refusal == Refusal::unknown_id) {
            refusal = Refusal::none;
            return false;
        }
        return true;
    }

    // LEVEL: see Kind. Walks the side's orders from the best down to the levels it changes,
    // which are near the best in the feeds that send it.
    void set_level(const Event& e, Py_ssize_t i) {
        if (e.side != BID && e.side != ASK) {
            stop = Stop::bad_side;
            return;
        }
        auto side = static_cast<Side>(e.side);
        Side other = side == BID ? ASK : BID;
        std::int64_t total = 0;
        std::uint32_t count = 0;
        engine.level(side, e.price, &total, &count);
        if (e.quantity > 0 && total == 0 && engine.has_best(other) &&
            key_of(other, e.price) <= key_of(other, engine.best(other))) {
            stop = Stop::crossing;  // before anything changes
            return;
        }
        OrderView resting;
        if (e.quantity > 0 && engine.order(e.order_id, &resting) &&
            (resting.side != side || resting.ticks != e.price)) {
            refusal = Refusal::duplicate_id;  // refused before anything changes too
            return;
        }
        if (run_seq == i - 1 && run_side == side) {
            clear_between(side, run_price, e.price, false);
        }
        run_seq = i;
        run_side = side;
        run_price = e.price;
        if (e.quantity < 0 || (e.quantity == 0 && total == 0)) {
            return;
        }
        if (total > 0) {
            clear_between(side, e.price, e.price, true);
        }
        if (e.quantity > 0) {
            refusal = engine.load(e.order_id, side, e.price, e.quantity, e.time, false, true);
        }
    }

    // Removes the levels of a side strictly between prices a and b (in either order), or with
    // `closed` from a to b inclusive.
    void clear_between(Side side, std::int64_t a, std::int64_t b, bool closed) {
        std::int64_t better = std::max(key_of(side, a), key_of(side, b));
        std::int64_t worse = std::min(key_of(side, a), key_of(side, b));
        std::vector<std::int64_t> doomed;
        engine.for_each_order(
            side,
            [&](const Node& n, std::int64_t ticks) {
                std::int64_t key = key_of(side, ticks);
                if (closed ? key >= worse && key <= better : key > worse && key < better) {
                    doomed.push_back(n.id);
                }
            },
            worse);
        for (std::int64_t id : doomed) {
            engine.cancel(id);
        }
    }

    // An event on an id that is not resting: taken by seeded volume, else counted (or the
    // batch stops there). The event's side and price say where a seeded order would take it;
    // a CANCEL's quantity is the size of the order it deletes. False to stop.
    [[gnu::noinline]] bool not_resting(const Event& e, Py_ssize_t i) noexcept {
        bool located =
            fallback && (e.side == BID || e.side == ASK) && e.kind != MODIFY && e.quantity > 0;
        auto side = static_cast<Side>(e.side);
        std::int64_t left;
        if (located && engine.take_seeded(side, e.price, e.quantity, e.kind == EXECUTE, &left,
                                          Record{&fills, &lost, i, 0, &side, true, EXECUTE,
                                                 e.time}) == Refusal::none) {
            ++seeded;
            return true;
        }
        if (stop_on_unknown) {
            stop = Stop::unknown;
            return false;
        }
        ++unknown;
        return true;
    }

    // A refused event (or a bad kind or side): notes what the message needs. Always false.
    [[gnu::noinline, gnu::cold]] bool refused(const Event& e) noexcept {
        if (stop == Stop::none) {
            if (refusal == Refusal::exceeds_open) {
                OrderView order{};
                engine.order(e.order_id, &order);
                open = order.quantity;
            }
            stop = Stop::refused;
        }
        return false;
    }
};

}  // namespace

PyTypeObject ReplayType;

bool ready_replay_type() noexcept {
    return PyStructSequence_InitType2(&ReplayType, &replay_desc) == 0;
}

// How far ahead the loop prefetches the index position of an event's id (every kind but
// LEVEL names one, if only for the duplicate check of an add). On a deep book it is a cache
// miss at a random place, which the events in between hide; on a small one it is in the
// cache already and the prefetch only costs instructions, so the loop prefetches only for an
// index of PREFETCH_FROM positions or more (256 KB, about the size of a second-level cache).
// The resting order a cancellation names is not prefetched: its address is only known once
// the index position has arrived, and a second prefetch that read it measured no faster.
constexpr Py_ssize_t INDEX_AHEAD = 16;
constexpr std::size_t PREFETCH_FROM = std::size_t{1} << 15;

[[gnu::always_inline]] inline void prefetch_ahead(const Engine& engine, const char* base,
                                                  Py_ssize_t stride, Py_ssize_t count,
                                                  Py_ssize_t i) noexcept {
    if (i + INDEX_AHEAD < count) {
        std::int64_t id;
        std::memcpy(&id, base + (i + INDEX_AHEAD) * stride + offsetof(Event, order_id), sizeof id);
        engine.prefetch_id(id);
    }
}

PyObject* book_replay(BookObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    PyObject* a[7];
    std::int64_t depth = 0;
    bool changed_only = false, clamp = false, stop_on_unknown = false;
    if (!args::bind(replay_params, args, nargs, kwnames, a) ||
        (a[1] && !args::to_int64(a[1], "depth", &depth)) ||
        (a[2] && !args::to_flag(a[2], "changed_only", &changed_only)) ||
        (a[3] && !args::to_flag(a[3], "clamp", &clamp)) ||
        (a[4] && !args::to_flag(a[4], "stop_on_unknown", &stop_on_unknown)) || !load_numpy()) {
        return nullptr;
    }
    if (depth < 0 || depth > MAX_DEPTH) {
        PyErr_Format(PyExc_ValueError, "depth must be from 0 to %lld, got %lld",
                     static_cast<long long>(MAX_DEPTH), static_cast<long long>(depth));
        return nullptr;
    }
    if (changed_only && depth == 0) {
        PyErr_SetString(PyExc_ValueError, "changed_only needs a depth of at least 1");
        return nullptr;
    }
    // A sampler takes the rows instead of the snapshots; it says what it samples itself.
    Ref sampler_ref;  // held across the Python code below
    Sampler* sampler = nullptr;
    if (a[5] && a[5] != Py_None) {
        if (!PyObject_TypeCheck(a[5], &SamplerType)) {
            PyErr_Format(PyExc_TypeError, "sampler must be a velmora.core.Sampler, not %.100s",
                         Py_TYPE(a[5])->tp_name);
            return nullptr;
        }
        if (depth != 0 || changed_only) {
            PyErr_SetString(PyExc_ValueError,
                            "with a sampler, give the depth and changed to the Sampler: "
                            "replay's depth and changed_only are for its own snapshots");
            return nullptr;
        }
        sampler_ref = Ref::borrow(a[5]);
        sampler = reinterpret_cast<SamplerObject*>(a[5])->sampler;
    }
    bool grouped = sampler && sampler->config().every == Every::group;
    if (grouped != (a[6] && a[6] != Py_None)) {
        PyErr_SetString(PyExc_ValueError,
                        grouped ? "a Sampler(groups=True) needs group_ends: which events end "
                                  "their group"
                                : "group_ends is for a Sampler(groups=True)");
        return nullptr;
    }
    // Getting the buffer may run Python code (a __buffer__ method), which may change this
    // book; so may making the snapshot array. The engine is only looked at afterwards. While
    // the views are held no Python code runs until the loop is done, so nothing can resize
    // or free the memory under them.
    if (!PyObject_CheckBuffer(a[0])) {
        PyErr_Format(PyExc_TypeError,
                     "events must be an array of velmora.core.EVENT_DTYPE, not %.100s: "
                     "numpy.array(rows, dtype=velmora.core.EVENT_DTYPE) makes one from "
                     "(kind, side, order_id, price, quantity, time) tuples",
                     Py_TYPE(a[0])->tp_name);
        return nullptr;
    }
    View events;
    if (PyObject_GetBuffer(a[0], &events.view, PyBUF_RECORDS_RO) < 0) {
        return nullptr;
    }
    events.held = true;
    const char* base;
    Py_ssize_t stride, count;
    if (!locate(events.view, &base, &stride, &count)) {
        return nullptr;
    }
    View ends;
    if (grouped) {
        if (PyObject_GetBuffer(a[6], &ends.view, PyBUF_C_CONTIGUOUS) < 0) {
            return nullptr;
        }
        ends.held = true;
        if (ends.view.len != count) {
            PyErr_Format(PyExc_ValueError,
                         "group_ends must hold one byte (a bool) per event: %zd for %zd events",
                         ends.view.len, count);
            return nullptr;
        }
    }
    const auto* group_end = static_cast<const std::uint8_t*>(ends.view.buf);
    std::unique_ptr<Snapshots> snapshots;
    if (depth > 0) {
        try {
            snapshots = std::make_unique<Snapshots>();
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        if (!snapshots->open(static_cast<std::size_t>(depth), changed_only, count)) {
            return nullptr;
        }
    }

    BookState* state = self->state;
    Engine& engine = state->engine;
    Run run{engine, state->seeded_fallback, clamp, stop_on_unknown};
    Py_ssize_t i = 0;
    Event e{};
    if (snapshots) {
        snapshots->start(engine);
    }
    bool too_many_rows = false;
    try {
        if (sampler) {
            sampler->begin(engine);
        }
        bool sample_events = sampler && sampler->per_event();
        bool ahead = engine.index_positions() >= PREFETCH_FROM;
        // Only a feed book can cross, so only a feed book pays for looking.
        bool feed = engine.feed();
        bool after_event = feed || snapshots || sample_events;
        for (; i < count; ++i) {
            if (ahead) {
                prefetch_ahead(engine, base, stride, count, i);
            }
            std::memcpy(&e, base + i * stride, sizeof e);  // read once, whatever the alignment
            if (sampler && !sampler->before(engine, sampler->seen() + i - 1, e.time,
                                            run.fills.data(), run.fills.size())) {
                too_many_rows = true;
                break;
            }
            if (!run.apply(e, i)) {
                break;
            }
            if (after_event) {  // one test on the common path for the three below
                if (feed) {
                    run.crossed += engine.crossed();
                }
                if (snapshots) {
                    snapshots->step(engine, i);
                }
                if (sample_events) {
                    sampler->after(engine, sampler->seen() + i, e.time,
                                   grouped && group_end[i] != 0, run.fills.data(),
                                   run.fills.size());
                }
            }
            if (run.lost) {
                run.stop = Stop::lost;
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        run.stop = Stop::no_memory;  // thrown before the event changed anything
    }
    // Python code may run from here on (releasing the buffer, making the arrays), and may
    // change this book or replace its state: the engine is not touched again.
    engine.unwatch();
    events.release();
    ends.release();
    if (too_many_rows) {
        run.stop = Stop::too_many_rows;
    }
    Stop stop = run.stop;
    Refusal refusal = run.refusal;
    Py_ssize_t applied = stop == Stop::lost ? i + 1 : i;
    if (sampler) {
        sampler->end_call(sampler->seen() + applied - 1, run.fills.data(), run.fills.size());
        sampler->advance(applied);
    }

    Ref result = Ref::steal(PyStructSequence_New(&ReplayType));
    Ref array = Ref::steal(to_array(run.fills));
    Ref rows = snapshots ? Ref::steal(snapshots->finish()) : Ref::borrow(Py_None);
    Ref counts[3] = {Ref::steal(PyLong_FromSsize_t(run.unknown)),
                     Ref::steal(PyLong_FromSsize_t(run.seeded)),
                     Ref::steal(PyLong_FromSsize_t(run.crossed))};
    if (!result || !array || !rows || !counts[0] || !counts[1] || !counts[2]) {
        return nullptr;
    }
    PyStructSequence_SetItem(result.get(), 0, array.new_ref());      // steals
    PyStructSequence_SetItem(result.get(), 1, rows.release());       // steals
    PyStructSequence_SetItem(result.get(), 2, counts[0].release());  // steals
    PyStructSequence_SetItem(result.get(), 3, counts[1].release());  // steals
    PyStructSequence_SetItem(result.get(), 4, counts[2].release());  // steals
    if (stop == Stop::none) {
        return result.release();
    }
    // Stopped early: events before i are applied; event i changed nothing, unless its fills
    // were lost. The exception carries how many were applied, their fills, and the whole
    // result so far.
    long long id = e.order_id, quantity = e.quantity;
    switch (stop) {
        case Stop::lost:
            PyErr_Format(PyExc_MemoryError, "out of memory at event %zd; its fills are incomplete",
                         i);
            break;
        case Stop::no_memory: PyErr_Format(PyExc_MemoryError, "event %zd: out of memory", i); break;
        case Stop::too_many_rows:
            PyErr_Format(PyExc_ValueError,
                         "event %zd: the sampler would write more than %zu rows before it (time "
                         "%lld): an interval far smaller than the stream's gaps, or rows never "
                         "taken",
                         i, Sampler::MAX_ROWS, static_cast<long long>(e.time));
            break;
        case Stop::bad_kind:
            PyErr_Format(PyExc_ValueError,
                         "event %zd: kind must be 0 (LIMIT) to 6 (LEVEL), got kind %d, side %d", i,
                         e.kind, e.side);
            break;
        case Stop::crossing:
            PyErr_Format(PyExc_ValueError,
                         "event %zd: a LEVEL at price %lld with no level there would cross the "
                         "other side",
                         i, static_cast<long long>(e.price));
            break;
        case Stop::bad_side:
            PyErr_Format(PyExc_ValueError,
                         "event %zd: side must be 0 (BID) or 1 (ASK), got kind %d, side %d", i,
                         e.kind, e.side);
            break;
        case Stop::unknown:
            PyErr_Format(PyExc_KeyError, "event %zd: order id %lld is not resting in the book", i,
                         id);
            break;
        case Stop::refused:
            if (refusal == Refusal::exceeds_open) {
                if (e.kind == REDUCE) {
                    PyErr_Format(PyExc_ValueError,
                                 "event %zd: cannot reduce order %lld by %lld: it has %lld open "
                                 "(clamp=True takes what there is)",
                                 i, id, quantity, static_cast<long long>(run.open));
                } else {
                    PyErr_Format(PyExc_ValueError,
                                 "event %zd: cannot execute order %lld for %lld: it has %lld open",
                                 i, id, quantity, static_cast<long long>(run.open));
                }
            } else {
                raise_refusal(refusal, id, quantity);
                PyObject* cause = PyErr_GetRaisedException();
                PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(cause)), "event %zd: %S", i,
                             cause);
                Py_DECREF(cause);
            }
            break;
        case Stop::none: break;
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref applied_ = Ref::steal(PyLong_FromSsize_t(applied));
    if (!applied_ || PyObject_SetAttrString(exc, "applied", applied_.get()) < 0 ||
        PyObject_SetAttrString(exc, "fills", array.get()) < 0 ||
        PyObject_SetAttrString(exc, "result", result.get()) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* dtype(PyObject* name) noexcept {
    bool event = PyUnicode_CompareWithASCIIString(name, "EVENT_DTYPE") == 0;
    if (!event && PyUnicode_CompareWithASCIIString(name, "FILL_DTYPE") != 0) {
        return nullptr;
    }
    if (!load_numpy()) {
        return nullptr;
    }
    return Py_NewRef(event ? numpy.event_dtype : numpy.fill_dtype);
}

}  // namespace velmora::core::batch
