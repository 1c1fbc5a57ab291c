// LOBSTER messages as velmora.core events, with the LEVEL runs of levels that come into view
// from beyond the orderbook file's depth ("the follow rule"): plain C++ over the arrays the
// parsers fill, one pass over the messages and their rows.
//
// A message of type 1 to 4 becomes one event (an addition, a reduction, a deletion, an
// execution). After it come, for each side (bids first) whose row shows a level the data does
// not describe, a run of LEVEL events: from the last level seen before the first such place to
// the end of the row, the new levels at the file's totals and the others kept as replayed
// (quantity -1), closed at the far end when the side shows fewer levels than the depth.
//
// Which places count as "not described" (per side, row r against row r - 1): a place showing
// a price the row before did not show is new; it is unexplained when the message is not an
// addition of exactly that size at that price on this side, it lies among the deepest places
// (as many as the message freed: levels of the row before that are gone, less the one place
// an addition at a price the row before lacked takes), and the row before showed the side's
// full depth (with fewer shown, nothing lies beyond). A side falling below full depth also
// gets a run, so that levels gone from the book are removed to the far end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "parse.hpp"

namespace velmora::lobster {

// The event kinds and sides of velmora.core (its EVENT_DTYPE's codes).
inline constexpr std::int8_t kLimit = 0, kCancel = 2, kReduce = 3, kExecute = 4, kLevel = 6;
inline constexpr std::int8_t kBid = 0, kAsk = 1;
// The ids of levels taken from the file count down from here: far from LOBSTER's positive ids
// and from those the seeded first row's orders get (from -2**63 up).
inline constexpr std::int64_t kWindowIds = -(std::int64_t{1} << 62);
// A price beyond any level, for the ends of a LEVEL run.
inline constexpr std::int64_t kFar = std::int64_t{1} << 62;
// One event as EVENT_DTYPE lays it out: 40 bytes.
struct Event {
    std::int8_t kind;
    std::int8_t side;
    std::uint8_t padding[6];
    std::int64_t order_id, price, quantity, time;
};
static_assert(sizeof(Event) == 40 && offsetof(Event, order_id) == 8 &&
              offsetof(Event, price) == 16 && offsetof(Event, quantity) == 24 &&
              offsetof(Event, time) == 32);

// One message record (MESSAGE_DTYPE, 34 packed bytes) read into its fields.
struct Message {
    std::int64_t time, order_id, size, price;
    std::int8_t type, direction;

    static Message at(const unsigned char* records, std::size_t k) noexcept {
        const unsigned char* p = records + k * kMessageSize;
        Message m{};
        std::memcpy(&m.time, p + MessageOffsets::time, 8);
        std::memcpy(&m.order_id, p + MessageOffsets::order_id, 8);
        std::memcpy(&m.size, p + MessageOffsets::size, 8);
        std::memcpy(&m.price, p + MessageOffsets::price, 8);
        std::memcpy(&m.type, p + MessageOffsets::type, 1);
        std::memcpy(&m.direction, p + MessageOffsets::direction, 1);
        return m;
    }
};

// Where the events go: written while there is room, counted throughout, so that a caller whose
// arrays were too small learns how many it needs.
class EventSink {
  public:
    EventSink(Event* events, std::int64_t* owners, std::size_t capacity) noexcept
        : events_(events), owners_(owners), capacity_(capacity) {}
    void put(const Event& e, std::size_t owner) noexcept {
        if (count_ < capacity_) {
            events_[count_] = e;
            owners_[count_] = static_cast<std::int64_t>(owner);
        }
        ++count_;
    }
    std::size_t count() const noexcept { return count_; }

  private:
    Event* events_;
    std::int64_t* owners_;
    std::size_t capacity_;
    std::size_t count_ = 0;
};

namespace detail {

// The LEVEL run of one side of row r, if the follow rule asks for one. `row` and `before` are
// rows r and r - 1 of the orderbook (4 x depth or more int64 each); `fresh` room for depth flags.
inline void level_run(const std::int64_t* row, const std::int64_t* before, std::size_t depth,
                      std::int8_t side, const Message& m, std::size_t owner, bool* fresh,
                      std::int64_t& next_id, EventSink& sink) noexcept {
    const std::size_t pc = side == kAsk ? 0 : 2;  // price column of level 0; size is pc + 1
    std::size_t count = 0, count_before = 0;
    bool moved = false;
    for (std::size_t j = 0; j < depth; ++j) {
        std::int64_t p = row[4 * j + pc], q = before[4 * j + pc];
        bool shown = row[4 * j + pc + 1] > 0, shown_before = before[4 * j + pc + 1] > 0;
        count += shown;
        count_before += shown_before;
        moved |= (p != q && (shown || shown_before)) || shown != shown_before;
    }
    // Most messages change a size alone: no level came or went.
    if (!moved) {
        return;
    }
    if (count_before != depth) {
        return;  // nothing comes into view from beyond a side not shown in full
    }
    const bool shrank = count < depth;
    std::size_t first_unexplained = depth;
    {
        const bool own = m.type == 1 && m.direction == (side == kBid ? 1 : -1);
        std::size_t gone = 0;
        bool opens = own;
        for (std::size_t i = 0; i < depth; ++i) {
            if (before[4 * i + pc + 1] <= 0) {
                continue;
            }
            std::int64_t q = before[4 * i + pc];
            opens &= q != m.price;
            bool kept = false;
            for (std::size_t j = 0; j < depth && !kept; ++j) {
                kept = row[4 * j + pc + 1] > 0 && row[4 * j + pc] == q;
            }
            gone += !kept;
        }
        std::size_t freed = gone > static_cast<std::size_t>(opens) ? gone - opens : 0;
        std::size_t deepest = count > freed ? count - freed : 0;
        for (std::size_t j = 0; j < depth; ++j) {
            fresh[j] = false;
            if (row[4 * j + pc + 1] <= 0) {
                continue;
            }
            std::int64_t p = row[4 * j + pc];
            bool seen = false;
            for (std::size_t i = 0; i < depth && !seen; ++i) {
                seen = before[4 * i + pc + 1] > 0 && before[4 * i + pc] == p;
            }
            fresh[j] = !seen;
            bool explained = own && p == m.price && row[4 * j + pc + 1] == m.size;
            if (fresh[j] && !explained && j >= deepest && first_unexplained == depth) {
                first_unexplained = j;
            }
        }
    }
    if (first_unexplained == depth && !shrank) {
        return;
    }
    std::size_t k0 = first_unexplained < depth ? first_unexplained : count;
    const std::int64_t best = side == kBid ? kFar : -kFar;
    Event e{};
    e.kind = kLevel;
    e.side = side;
    e.time = m.time;
    auto put = [&](std::int64_t price, std::int64_t quantity) {
        e.order_id = next_id--;
        e.price = price;
        e.quantity = quantity;
        sink.put(e, owner);
    };
    put(k0 >= 1 ? row[4 * (std::min(k0, depth) - 1) + pc] : best, -1);
    for (std::size_t j = k0; j < count; ++j) {
        put(row[4 * j + pc], fresh[j] ? row[4 * j + pc + 1] : -1);
    }
    if (count < depth) {
        put(-best, 0);
    }
}

}  // namespace detail

// The events of messages [first, n) (types 1 to 4), and with `rows` (n rows of `fields` int64,
// `depth` levels used) the LEVEL runs of rows 1 to n - 1 after their messages' events; LEVEL
// ids count down from kWindowIds - id_from. `fresh` is room for `depth` flags. Returns the
// LEVEL events made.
inline std::size_t make_events(const unsigned char* messages, std::size_t n, std::size_t first,
                               const std::int64_t* rows, std::size_t fields, std::size_t depth,
                               std::int64_t id_from, bool* fresh, EventSink& sink) noexcept {
    static constexpr std::int8_t kinds[] = {-1, kLimit, kReduce, kCancel, kExecute};
    std::int64_t next_id = kWindowIds - id_from;
    const std::int64_t start_id = next_id;
    for (std::size_t r = first; r < n; ++r) {
        Message m = Message::at(messages, r);
        if (m.type >= 1 && m.type <= 4) {
            Event e{};
            e.kind = kinds[m.type];
            e.side = m.direction == 1 ? kBid : kAsk;
            e.order_id = m.order_id;
            e.price = m.price;
            e.quantity = m.size;
            e.time = m.time;
            sink.put(e, r);
        }
        if (rows != nullptr && r >= 1) {
            const std::int64_t* row = rows + r * fields;
            detail::level_run(row, row - fields, depth, kBid, m, r, fresh, next_id, sink);
            detail::level_run(row, row - fields, depth, kAsk, m, r, fresh, next_id, sink);
        }
    }
    return static_cast<std::size_t>(start_id - next_id);
}

}  // namespace velmora::lobster
