// The DBN market-by-order replay: the stream cut into records, each record's effect on its
// book, and what is kept at the end of each event group.
#include "replay.hpp"

#include <algorithm>
#include <cstdio>
#include <new>

namespace velmora::dbn {
namespace {

using core::ASK;
using core::BID;
using core::Fill;
using core::Refusal;
using core::Side;

struct NoFills {
    void operator()(const Fill&) const noexcept {}
};

// The place of each action byte among the counters (OTHER for any byte not an action).
struct ActionIndex {
    std::uint8_t index[256] = {};
    constexpr ActionIndex() {
        for (int i = 0; i < 256; ++i) {
            index[i] = OTHER;
        }
        for (int i = 0; i < N_ACTIONS; ++i) {
            index[static_cast<unsigned char>(ACTIONS[i])] = static_cast<std::uint8_t>(i);
        }
    }
};
constexpr ActionIndex actions;

// Instrument ids below this are found through a table; the others (and a second publisher
// of an id) through a hash map.
constexpr std::uint32_t TABLE_IDS = 1u << 22;
constexpr std::uint32_t SKIP = 0xFFFFFFFFu;  // a table entry for an instrument filtered out

// The ids the top-of-book levels of a venue that sends no orders rest under, one per side:
// the two lowest int64s, which a feed's order ids (below 2^63 in practice) do not reach.
constexpr std::int64_t tob_id(Side side) noexcept { return INT64_MIN + side; }

}  // namespace

bool Replay::fail(Stop why, std::string what) {
    stop_ = why;
    error_ = std::move(what);
    error_offset_ = offset_;
    return false;
}

[[gnu::noinline]] bool Replay::unknown(Book& book, const unsigned char* r) {
    Mbo m = decode(r);
    ++book.counts[UNKNOWN];
    if (!options_.stop_on_unknown) {
        return true;
    }
    return fail(Stop::unknown, "order id " + std::to_string(m.order_id) + " of a '" +
                                   std::string(1, m.action) + "' record at byte " +
                                   std::to_string(offset_) + " is not resting in the book of " +
                                   "instrument " + std::to_string(m.instrument) + " at publisher " +
                                   std::to_string(m.publisher));
}

void Replay::take_top(Book& book, std::int64_t* out) noexcept {
    std::size_t d = options_.depth;
    Engine& engine = book.state->engine;
    engine.top(BID, d, out, out + d);
    engine.top(ASK, d, out + 2 * d, out + 3 * d);
}

Book* Replay::make_book(std::uint16_t publisher, std::uint32_t instrument) {
    auto book = std::make_unique<Book>();
    book->state = std::make_unique<BookState>();
    book->state->engine.set_feed(true);
    book->publisher = publisher;
    book->instrument = instrument;
    book->watched = options_.depth > 0 && (options_.watch_all || options_.watch.count(instrument));
    if (book->watched) {
        book->last.assign(4 * options_.depth, 0);
        take_top(*book, book->last.data());
        watched_.push_back(static_cast<std::uint32_t>(books_.size()));
    }
    books_.push_back(std::move(book));
    return books_.back().get();
}

// The first book of an instrument: its index + 1, 0 when it has none yet, SKIP when the
// filter leaves the instrument out.
inline std::uint32_t Replay::head(std::uint32_t instrument) const noexcept {
    if (instrument < by_instrument_.size()) {
        return by_instrument_[instrument];
    }
    if (instrument < TABLE_IDS) {
        return 0;
    }
    auto it = by_key_.find(instrument);
    return it == by_key_.end() ? 0 : it->second;
}

// The book of (publisher, instrument): its index + 1, 0 when none, SKIP when filtered out.
// The books of one instrument are chained, newest first; a chain is as long as the number
// of venues sending the instrument, read from two small arrays.
inline std::uint32_t Replay::find(std::uint16_t publisher,
                                  std::uint32_t instrument) const noexcept {
    std::uint32_t at = head(instrument);
    if (at == SKIP) {
        return SKIP;
    }
    while (at != 0 && publishers_[at - 1] != publisher) {
        at = next_[at - 1];
    }
    return at;
}

// The book of a record: the last record's (an event's records, and often the next event's,
// are for one book), else its instrument's in the table; anything else (a large id, a first
// record, an instrument filtered out) goes to book_for, out of line.
inline Book* Replay::book_of(const Mbo& m) {
    Book* book = last_;
    if (book && m.publisher == book->publisher && m.instrument == book->instrument) {
        return book;
    }
    if (m.instrument < by_instrument_.size()) {
        std::uint32_t at = by_instrument_[m.instrument];
        if (at != SKIP) {
            for (; at != 0; at = next_[at - 1]) {  // the instrument's venues, newest first
                if (publishers_[at - 1] == m.publisher) {
                    last_ = books_[at - 1].get();
                    return last_;
                }
            }
        }
    }
    return book_for(m.publisher, m.instrument);
}

// The book of a record, made at its first record; nullptr for an instrument the filter
// leaves out.
[[gnu::noinline]] Book* Replay::book_for(std::uint16_t publisher, std::uint32_t instrument) {
    std::uint32_t at = find(publisher, instrument);
    if (at == SKIP) {
        return nullptr;
    }
    if (at != 0) {
        last_ = books_[at - 1].get();
        return last_;
    }
    bool kept = options_.all_instruments || options_.instruments.count(instrument);
    std::uint32_t* slot;
    if (instrument < TABLE_IDS) {
        if (instrument >= by_instrument_.size()) {
            std::size_t grown = std::min<std::size_t>(TABLE_IDS, by_instrument_.size() * 2);
            by_instrument_.resize(std::max<std::size_t>(instrument + 1, grown), 0);
        }
        slot = &by_instrument_[instrument];
    } else {
        slot = &by_key_[instrument];
    }
    if (!kept) {
        *slot = SKIP;
        return nullptr;
    }
    publishers_.reserve(books_.size() + 1);
    next_.reserve(books_.size() + 1);
    Book* book = make_book(publisher, instrument);
    publishers_.push_back(publisher);
    next_.push_back(*slot);
    *slot = static_cast<std::uint32_t>(books_.size());
    last_ = book;
    return book;
}

// A top-of-book venue's add: the level replaces its whole side (an undefined price leaves
// the side empty).
[[gnu::noinline]] bool Replay::top_of_book(Book& book, const unsigned char* r) {
    Mbo m = decode(r);
    if (m.side != 'B' && m.side != 'A') {
        ++book.counts[INVALID];
        return true;
    }
    Side side = m.side == 'B' ? BID : ASK;
    Engine& engine = book.state->engine;
    std::int64_t ids[8];
    std::size_t n = 0;
    bool more = true;
    while (more) {  // normally the one level of the side, in one pass
        n = 0;
        engine.for_each_order(side, [&](const core::Node& node, std::int64_t) {
            if (n < 8) {
                ids[n++] = node.id;
            }
        });
        more = n == 8;
        for (std::size_t i = 0; i < n; ++i) {
            engine.cancel(ids[i]);
        }
    }
    if (m.price == UNDEF_PRICE || m.size == 0) {
        return true;
    }
    Refusal res = engine.add_limit(tob_id(side), side, m.price, m.size, m.ts_event, NoFills{});
    if (res != Refusal::none) {
        return full(r);
    }
    return true;
}

// Writes the sampling rows due before a record whose clock reads `time`: one per watched
// book at each multiple of the interval passed, each book as its last closed group left it.
void Replay::sample_until(std::int64_t time) {
    std::int64_t every = options_.every;
    if (next_sample_ < 0) {
        next_sample_ = time / every * every + (time % every != 0 ? every : 0);
        return;
    }
    std::size_t d = options_.depth;
    while (next_sample_ < time) {
        for (std::uint32_t at : watched_) {
            Book& book = *books_[at];
            std::size_t pos = samples_.size();
            samples_.resize(pos + sample_width());
            std::int64_t* row = samples_.data() + pos;
            row[0] = next_sample_;
            row[1] = static_cast<std::int64_t>(book.last_group);
            row[2] = book.publisher;
            row[3] = book.instrument;
            std::copy(book.last.begin(), book.last.begin() + static_cast<std::ptrdiff_t>(4 * d),
                      row + 4);
        }
        next_sample_ += every;
    }
}

// The end of an event group: the book is consistent again, and only now looked at.
inline void Replay::end_group(Book& book, const unsigned char* r) {
    ++book.counts[GROUPS];
    book.last_group = records_ - 1;
    if (book.changed) {
        book.changed = false;
        // Only an add or a modify can cross a book; cancels and clears can only uncross it,
        // so a book that was not crossed is not looked at after them.
        if (book.crossed | book.raised) {
            book.crossed = book.state->engine.crossed();
            book.raised = false;
        }
        if (book.watched) {
            watched_row(book, r);
        }
    }
    book.counts[CROSSED] += book.crossed;
}

// A watched book's top levels at the end of a group that changed it: kept as its last, and
// written as a row when they differ from the last and rows are asked for after changes.
[[gnu::noinline]] void Replay::watched_row(Book& book, const unsigned char* r) {
    Mbo m = decode(r);
    std::size_t at = rows_.size();
    rows_.resize(at + row_width());
    std::int64_t* row = rows_.data() + at;
    row[0] = m.ts_event;
    row[1] = m.ts_recv;
    row[2] = static_cast<std::int64_t>(records_ - 1);
    row[3] = m.publisher;
    row[4] = m.instrument;
    std::int64_t* top = row + 5;
    take_top(book, top);
    if (std::equal(top, top + 4 * options_.depth, book.last.begin())) {
        rows_.resize(at);
    } else {
        std::copy(top, top + 4 * options_.depth, book.last.begin());
        if (!options_.changes) {
            rows_.resize(at);
        }
    }
}

[[gnu::cold, gnu::noinline]] bool Replay::not_mbo(const unsigned char* r) {
    std::size_t length = std::size_t{r[0]} * 4;
    std::uint8_t rtype = r[1];
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", rtype);
    return fail(Stop::malformed, "record " + std::to_string(records_) + " is a " +
                                     rtype_name(rtype) + " record (type " + hex + ", " +
                                     std::to_string(length) +
                                     " bytes), not market-by-order (type 0xA0, " +
                                     std::to_string(options_.record_size) + " bytes)");
}

[[gnu::cold, gnu::noinline]] bool Replay::full(const unsigned char* r) {
    Mbo m = decode(r);
    return fail(Stop::memory, "the book of instrument " + std::to_string(m.instrument) +
                                  " cannot take the order: the book or its level is full");
}

[[gnu::cold, gnu::noinline]] bool Replay::duplicate(const unsigned char* r) {
    Mbo m = decode(r);
    return fail(Stop::unknown, "order id " + std::to_string(m.order_id) + " added at byte " +
                                   std::to_string(offset_) + " is already resting");
}

// The sampling rows due before a record whose clock reads `clock` (past the next sampling
// time), after checking that they can be written.
[[gnu::noinline]] bool Replay::sample_for(std::int64_t clock) {
    if (clock > INT64_MAX - options_.every) {  // the sampling times would overflow
        return fail(Stop::malformed, "record " + std::to_string(records_ - 1) + " has a clock of " +
                                         std::to_string(clock) +
                                         " ns, beyond the times sampling can reach");
    }
    if (next_sample_ >= 0) {
        // The samples this record asks for, checked before any is written: a damaged
        // time (or an interval far too fine for the file) would fill memory.
        std::int64_t due = (clock - next_sample_ - 1) / options_.every + 1;
        double rows = static_cast<double>(due) * static_cast<double>(watched_.size());
        double bytes = static_cast<double>(samples_.size() * 8) +
                       rows * static_cast<double>(sample_width() * 8);
        if (bytes > static_cast<double>(options_.max_sample_bytes)) {
            return fail(Stop::limit,
                        "the clock moves from " + std::to_string(next_sample_) + " ns to " +
                            std::to_string(clock) + " ns at record " +
                            std::to_string(records_ - 1) + " (byte " + std::to_string(offset_) +
                            "): the samples would take more " + "than max_sample_bytes (" +
                            std::to_string(options_.max_sample_bytes) +
                            "); a damaged time, or an interval too fine for the file");
        }
    }
    sample_until(clock);
    return true;
}

// A clear: the venue's book is empty (a snapshot's adds may follow). The orders are
// withdrawn one by one, which keeps the engine's storage: a new engine would map and fault
// in its first chunks again at every clear.
[[gnu::noinline]] void Replay::clear(Book& book) {
    Engine& engine = book.state->engine;
    clear_ids_.clear();
    for (Side side : {BID, ASK}) {
        engine.for_each_order(
            side, [&](const core::Node& node, std::int64_t) { clear_ids_.push_back(node.id); });
    }
    for (std::int64_t gone : clear_ids_) {
        engine.cancel(gone);
    }
    book.changed = true;
}

// One record, whole in memory. The common record (an add, cancel or modify of a known
// book) runs through here without a call of the replay's own: the rest (errors, sampling,
// a new book, clears, top-of-book levels, watched rows) is out of line.
[[gnu::always_inline]] inline bool Replay::apply(const unsigned char* r) {
    if (r[1] != MBO_RTYPE || r[0] < MBO_SIZE / 4) [[unlikely]] {
        return not_mbo(r);
    }
    Mbo m = decode(r);
    ++records_;
    if (options_.every > 0) [[unlikely]] {
        std::int64_t clock = options_.clock == Clock::recv ? m.ts_recv : m.ts_event;
        if (clock > next_sample_ && !sample_for(clock)) {
            return false;
        }
    }
    Book* found = book_of(m);
    if (!found) [[unlikely]] {
        ++skipped_;
        return true;
    }
    Book& book = *found;
    ++book.counts[actions.index[static_cast<unsigned char>(m.action)]];
    if (m.flags & (F_SNAPSHOT | F_MAYBE_BAD_BOOK | F_BAD_TS_RECV)) [[unlikely]] {
        book.counts[SNAPSHOT] += (m.flags & F_SNAPSHOT) != 0;
        book.counts[BAD_BOOK] += (m.flags & F_MAYBE_BAD_BOOK) != 0;
        book.counts[BAD_TS_RECV] += (m.flags & F_BAD_TS_RECV) != 0;
    }
    Engine& engine = book.state->engine;
    auto id = static_cast<std::int64_t>(m.order_id);
    switch (m.action) {
        case 'A': {
            book.changed = true;
            book.raised = true;
            if (m.flags & F_TOB) [[unlikely]] {
                if (!top_of_book(book, r)) {
                    return false;
                }
                break;
            }
            if ((m.side != 'B' && m.side != 'A') || m.size == 0 || m.price == UNDEF_PRICE)
                [[unlikely]] {
                ++book.counts[INVALID];
                break;
            }
            Refusal res = engine.add_limit(id, m.side == 'B' ? BID : ASK, m.price, m.size,
                                           m.ts_event, NoFills{});
            if (res != Refusal::none) [[unlikely]] {
                if (res != Refusal::duplicate_id) {
                    return full(r);
                }
                ++book.counts[DUPLICATE];
                if (options_.stop_on_unknown) {
                    return duplicate(r);
                }
            }
            break;
        }
        case 'C': {
            book.changed = true;
            std::int64_t left;
            Refusal res = m.size == 0 ? (engine.contains(id) ? Refusal::none : Refusal::unknown_id)
                                      : engine.reduce(id, m.size, false, &left);
            if (res != Refusal::none) [[unlikely]] {
                if (res == Refusal::exceeds_open) {
                    ++book.counts[OVERSHOOT];
                    res = engine.reduce(id, m.size, true, &left);
                }
                if (res == Refusal::unknown_id && !unknown(book, r)) {
                    return false;
                }
            }
            break;
        }
        case 'M': {
            book.changed = true;
            book.raised = true;
            if (m.size == 0) [[unlikely]] {  // modified to nothing: gone
                if (!engine.cancel(id) && !unknown(book, r)) {
                    return false;
                }
                break;
            }
            if (m.price == UNDEF_PRICE) [[unlikely]] {
                ++book.counts[INVALID];
                break;
            }
            Side side;
            Refusal res = engine.modify(id, m.price, m.size, m.ts_event, &side, NoFills{});
            if (res != Refusal::none) [[unlikely]] {
                if (res != Refusal::unknown_id) {
                    return full(r);
                }
                if (!unknown(book, r)) {
                    return false;
                }
            }
            break;
        }
        case 'R': clear(book); break;
        case 'T':
        case 'F':
            trades_.push_back(TradeRecord{m.ts_event, m.ts_recv, m.price, m.size, m.order_id,
                                          records_ - 1, m.instrument, m.publisher, m.action,
                                          m.side});
            ++book.counts[TRADES];
            break;
        default: break;  // 'N' and any other byte: nothing to apply
    }
    if (m.flags & F_LAST) {
        end_group(book, r);
    }
    return true;
}

bool Replay::feed(const unsigned char* data, std::size_t n) {
    try {
        std::size_t pos = 0;
        if (carried_ > 0) {  // complete the record the last piece cut
            std::size_t need = std::size_t{carry_[0]} * 4;
            std::size_t take = std::min(need - carried_, n);
            std::memcpy(carry_ + carried_, data, take);
            carried_ += take;
            pos = take;
            if (carried_ < need) {
                return true;
            }
            carried_ = 0;
            if (!apply(carry_)) {
                return false;
            }
            offset_ += need;
        }
        while (pos < n) {
            const unsigned char* r = data + pos;
            std::size_t length = std::size_t{r[0]} * 4;
            if (length < HEADER_SIZE) {
                return fail(Stop::malformed, "record " + std::to_string(records_) +
                                                 " gives its length as " + std::to_string(length) +
                                                 " bytes, less than a record header");
            }
            if (n - pos < length) {
                carried_ = n - pos;
                std::memcpy(carry_, r, carried_);
                return true;
            }
            if (!apply(r)) {
                return false;
            }
            pos += length;
            offset_ += length;
        }
        return true;
    } catch (const std::bad_alloc&) {
        return fail(Stop::memory, "out of memory at byte " + std::to_string(offset_));
    }
}

bool Replay::finish() {
    if (carried_ > 0) {
        std::size_t need = std::size_t{carry_[0]} * 4;
        std::string what = need < HEADER_SIZE
                               ? "the file ends inside record " + std::to_string(records_)
                               : "the file ends inside record " + std::to_string(records_) +
                                     ", after " + std::to_string(carried_) + " of its " +
                                     std::to_string(need) + " bytes";
        return fail(Stop::malformed, what);
    }
    return true;
}

}  // namespace velmora::dbn
