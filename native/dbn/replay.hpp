// The replay of DBN market-by-order records onto one velmora.core engine per (publisher,
// instrument), in feed mode, with the vendor's rules: records come in event groups closed by
// F_LAST, and the books are looked at (rows, samples, crossed checks) only at a group's end;
// a fill or trade record is kept as a trade and leaves the book alone (the cancel that
// follows it carries the change); a clear empties the book and the snapshot's adds rebuild
// it. No Python in here: the caller hands in the decompressed stream block by block.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/book.hpp"
#include "records.hpp"

namespace velmora::dbn {

using core::BookState;
using core::Engine;

// One trade or fill record as the replay keeps it: 56 bytes, velmora.dbn.TRADE_DTYPE.
struct TradeRecord {
    std::int64_t ts_event;
    std::int64_t ts_recv;
    std::int64_t price;  // 1e-9 units
    std::int64_t size;
    std::uint64_t order_id;  // F: the resting order's; T: as sent (0 in practice)
    std::uint64_t record;    // its index among the file's records
    std::uint32_t instrument;
    std::uint16_t publisher;
    char action;  // 'T' (the aggressor's trade) or 'F' (a resting order's fill)
    char side;    // as the record gives it: 'B', 'A' or 'N'
};
static_assert(sizeof(TradeRecord) == 56);

// The trades kept, in blocks of a fixed size that are never moved: a vector's growth would
// copy every trade kept so far, and fault in fresh memory for them, at each doubling.
class Trades {
  public:
    static constexpr std::size_t BLOCK = std::size_t{1} << 16;  // 3.5 MB

    void push_back(const TradeRecord& t) {
        if (at_ == end_) {
            grow();
        }
        *at_++ = t;
    }
    std::size_t size() const noexcept {
        return blocks_.empty() ? 0 : (blocks_.size() - 1) * BLOCK + (BLOCK - (end_ - at_));
    }
    // Calls f(first, count) for each block in order.
    template <class F>
    void for_each_block(F&& f) const {
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            f(blocks_[i].get(), i + 1 < blocks_.size() ? BLOCK : BLOCK - (end_ - at_));
        }
    }

  private:
    void grow() {
        blocks_.reserve(blocks_.size() + 1);
        blocks_.push_back(std::make_unique_for_overwrite<TradeRecord[]>(BLOCK));
        at_ = blocks_.back().get();
        end_ = at_ + BLOCK;
    }

    std::vector<std::unique_ptr<TradeRecord[]>> blocks_;
    TradeRecord* at_ = nullptr;  // the next free place in the last block
    TradeRecord* end_ = nullptr;
};

// The per-book counters, in this order in the summary: records of each action (A C M R T F
// N, then any other byte), event groups closed, trades kept, records naming an order not
// resting (unknown), adds of an order already resting (duplicate), cancels larger than the
// order (overshoot: the order is removed), records that cannot rest an order (invalid: an
// add without a side, size or price), groups that ended with the book crossed, records
// flagged as snapshot, maybe-bad-book and bad-ts-recv.
inline constexpr char ACTIONS[] = "ACMRTFN";
inline constexpr int N_ACTIONS = 7;
enum Counter {
    OTHER = N_ACTIONS,
    GROUPS,
    TRADES,
    UNKNOWN,
    DUPLICATE,
    OVERSHOOT,
    INVALID,
    CROSSED,
    SNAPSHOT,
    BAD_BOOK,
    BAD_TS_RECV,
    N_COUNTERS
};

struct Book {
    std::unique_ptr<BookState> state;
    std::uint16_t publisher = 0;
    std::uint32_t instrument = 0;
    bool watched = false;          // its top levels are recorded
    bool changed = false;          // a record of the open group may have changed it
    bool raised = false;           // ... and may have crossed it (an add or a modify)
    bool crossed = false;          // it was crossed at the end of its last group
    std::uint64_t last_group = 0;  // the record that closed its last group
    std::array<std::uint64_t, N_COUNTERS> counts{};
    std::vector<std::int64_t> last;  // its top levels at the end of its last group
};

enum class Clock { recv, event };

struct Options {
    bool all_instruments = true;
    std::unordered_set<std::uint32_t> instruments;
    bool watch_all = true;
    std::unordered_set<std::uint32_t> watch;
    std::size_t depth = 0;   // top levels recorded per side (0: none)
    bool changes = false;    // a row after every group that changed a watched book's top
    std::int64_t every = 0;  // a row per watched book at each multiple of it (0: none)
    Clock clock = Clock::recv;
    bool stop_on_unknown = false;
    std::size_t record_size = MBO_SIZE;                       // 64 when the file appends ts_out
    std::uint64_t max_sample_bytes = std::uint64_t{4} << 30;  // the samples' memory at most
};

// Why the replay stopped: an unknown id (asked to stop at one), a stream that is not
// records, no memory left, or more samples than the caller allowed.
enum class Stop { none, unknown, malformed, memory, limit };

class Replay {
  public:
    explicit Replay(Options options) : options_(std::move(options)) {}

    // Applies the records of the next piece of the stream, `offset` its first byte's place
    // in the whole; a record cut by the piece's end is kept and completed by the next one.
    // False when the replay stopped (stopped(), error()).
    bool feed(const unsigned char* data, std::size_t n);
    // The end of the stream: false when it ends inside a record.
    bool finish();

    Stop stopped() const noexcept { return stop_; }
    const std::string& error() const noexcept { return error_; }
    std::uint64_t error_offset() const noexcept { return error_offset_; }

    std::vector<std::unique_ptr<Book>>& books() noexcept { return books_; }
    const Trades& trades() const noexcept { return trades_; }
    std::vector<std::int64_t>& rows() noexcept { return rows_; }
    std::vector<std::int64_t>& samples() noexcept { return samples_; }
    std::uint64_t records() const noexcept { return records_; }
    std::uint64_t skipped() const noexcept { return skipped_; }
    std::uint64_t bytes() const noexcept { return offset_; }
    std::size_t row_width() const noexcept { return 5 + 4 * options_.depth; }
    std::size_t sample_width() const noexcept { return 4 + 4 * options_.depth; }

    void set_offset(std::uint64_t offset) noexcept { offset_ = offset; }

  private:
    std::uint32_t head(std::uint32_t instrument) const noexcept;
    std::uint32_t find(std::uint16_t publisher, std::uint32_t instrument) const noexcept;
    Book* book_of(const Mbo& m);
    Book* book_for(std::uint16_t publisher, std::uint32_t instrument);
    Book* make_book(std::uint16_t publisher, std::uint32_t instrument);
    bool apply(const unsigned char* r);
    bool not_mbo(const unsigned char* r);
    bool sample_for(std::int64_t clock);
    void end_group(Book& book, const unsigned char* r);
    void watched_row(Book& book, const unsigned char* r);
    void take_top(Book& book, std::int64_t* out) noexcept;
    void sample_until(std::int64_t time);
    bool top_of_book(Book& book, const unsigned char* r);
    void clear(Book& book);
    bool fail(Stop why, std::string what);
    bool full(const unsigned char* r);
    bool duplicate(const unsigned char* r);
    bool unknown(Book& book, const unsigned char* r);

    Options options_;
    std::vector<std::unique_ptr<Book>> books_;  // in order of first record
    // The first book of each instrument (index + 1; SKIP: filtered out), by instrument id
    // in a table for the ids below TABLE_IDS and in `by_key_` above; each book's publisher
    // and the next book of its instrument.
    std::vector<std::uint32_t> by_instrument_;
    std::unordered_map<std::uint32_t, std::uint32_t> by_key_;
    std::vector<std::uint16_t> publishers_;
    std::vector<std::uint32_t> next_;
    Book* last_ = nullptr;  // the book of the last record applied
    std::vector<std::uint32_t> watched_;
    Trades trades_;
    std::vector<std::int64_t> rows_;
    std::vector<std::int64_t> samples_;
    std::vector<std::int64_t> clear_ids_;  // a clear's orders, withdrawn after the walk
    std::int64_t next_sample_ = -1;
    std::uint64_t records_ = 0;
    std::uint64_t skipped_ = 0;
    std::uint64_t offset_ = 0;  // of the next byte of the stream fed
    unsigned char carry_[1024];
    std::size_t carried_ = 0;
    std::size_t carry_need_ = 0;
    Stop stop_ = Stop::none;
    std::string error_;
    std::uint64_t error_offset_ = 0;
};

}  // namespace velmora::dbn
