// The replay of an ITCH 5.0 stream onto one velmora.core engine per stock locate, in feed
// mode: adds rest without matching, executions, cancels, deletes and replaces change the
// named orders, and the trade messages are kept as records. No Python in here.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/book.hpp"
#include "reader.hpp"

namespace velmora::itch {

using core::BookState;
using core::Engine;

// One trade as the replay reports it: 48 bytes, the layout of velmora.itch.TRADE_DTYPE.
struct TradeRecord {
    std::int64_t time;   // nanoseconds since midnight
    std::int64_t price;  // 4 implied decimals
    std::int64_t shares;
    std::uint64_t reference;  // the resting order's (E, C; P as sent, 0 in practice; Q: 0)
    std::uint64_t match;      // the match number
    std::uint16_t locate;
    std::int8_t side;        // the resting order's: 0 bid, 1 ask, -1 unknown (Q)
    char kind;               // 'E', 'C', 'P' or 'Q'
    std::uint8_t broken;     // a later B message broke it
    std::uint8_t printable;  // C's printable flag; 1 for the others
    std::uint8_t pad[2];
};
static_assert(sizeof(TradeRecord) == 48);

// The per-stock counters, in this order in the summary: messages of each applied type, the
// other types, then trades, unknown references, reused references, executions or cancels
// larger than the order's open shares (clamped), messages applied before the stock's
// directory entry, and messages after which the book was crossed.
inline constexpr char COUNTED_TYPES[] = "RHAFECXDUPQB";
inline constexpr int N_TYPES = 12;
enum Counter {
    OTHER = N_TYPES,
    TRADES,
    UNKNOWN,
    DUPLICATE,
    OVERSHOOT,
    UNDIRECTED,
    CROSSED,
    N_COUNTERS
};

struct Stock {
    std::unique_ptr<BookState> state;
    char symbol[9] = {};
    bool directory = false;  // an R message named it
    bool watched = false;    // its top levels are recorded
    bool crossed = false;    // the book was crossed after its last change
    bool record = false;     // watched, and a row is kept after every change of its top
    std::array<std::uint64_t, N_COUNTERS> counts{};
    std::vector<std::int64_t> last;  // its top levels at the last recorded change
};

struct Options {
    bool all_symbols = true;
    std::unordered_set<std::string> symbols;  // 8 bytes each, space-padded as in the feed
    bool watch_all = true;
    std::unordered_set<std::string> watch;
    std::size_t depth = 0;   // top levels recorded per side (0: none)
    bool changes = false;    // a row after every change of a watched stock's top
    std::int64_t every = 0;  // a row per watched stock at each multiple (0: none)
    bool stop_on_unknown = false;
    std::vector<std::int64_t> books_at;  // ascending times at which every book is copied
};

struct SystemEvent {
    std::int64_t time;
    char code;
};
struct TradingAction {
    std::int64_t time;
    std::uint16_t locate;
    char state;
    char reason[5];
};

// Why the replay stopped early.
enum class Stop { none, unknown, malformed, memory };

class Replay {
  public:
    explicit Replay(Options options) : options_(std::move(options)) {
        status_.assign(65536, UNSEEN);
        stocks_.resize(65536);
        engines_.assign(65536, nullptr);
        active_.assign(65536, nullptr);
    }

    // Applies the messages of the reader until its end, an error or `budget` messages; true
    // while there is more to read.
    bool run(Reader& reader, std::uint64_t budget);

    // Copies the books for the chosen times the file did not reach.
    void finish();

    Stop stopped() const noexcept { return stop_; }
    const std::string& error() const noexcept { return error_; }

    std::vector<std::unique_ptr<Stock>>& stocks() noexcept { return stocks_; }
    std::vector<TradeRecord>& trades() noexcept { return trades_; }
    std::vector<std::int64_t>& rows() noexcept { return rows_; }
    std::vector<std::int64_t>& samples() noexcept { return samples_; }
    // The books at the chosen times: per resting order, at, locate, id, side, price,
    // shares, traded, time.
    std::vector<std::int64_t>& copies() noexcept { return copies_; }
    const std::vector<SystemEvent>& system_events() const noexcept { return system_; }
    const std::vector<TradingAction>& trading_actions() const noexcept { return actions_; }
    std::uint64_t messages() const noexcept { return messages_; }
    std::uint64_t skipped() const noexcept { return skipped_; }
    std::uint64_t unknown_matches() const noexcept { return unknown_matches_; }
    std::uint64_t other() const noexcept { return other_; }
    std::size_t row_width() const noexcept { return 3 + 4 * options_.depth; }

  private:
    enum Status : std::uint8_t { UNSEEN, ACTIVE, SKIPPED };

    // The stock of a locate (see new_stock()); the active ones without a call.
    [[gnu::always_inline]] Stock* stock_for(std::uint16_t locate) {
        Stock* stock = active_[locate];
        return stock ? stock : new_stock(locate);
    }
    [[gnu::noinline]] Stock* new_stock(std::uint16_t locate);
    void watch(Stock& stock, std::uint16_t locate);
    void prefetch(const unsigned char* p, const unsigned char* end) const noexcept;
    bool directory(const unsigned char* m);
    // A message of a type other than the common book changes, or of a stock not active yet:
    // counts it and applies it.
    [[gnu::noinline]] bool rare(const unsigned char* m, std::size_t n, std::int64_t time);
    // Writes what is due before a message stamped `time` (samples, copies of the books) and
    // sets the next due time; false for a time past midnight.
    [[gnu::noinline]] bool advance(const unsigned char* m, std::int64_t time);
    [[gnu::noinline]] bool too_short(const unsigned char* m, std::size_t n);
    // The book changes, each on the stock's book (counted by the caller); false to stop.
    [[gnu::always_inline]] inline bool add(Stock& stock, Engine& engine, const unsigned char* m,
                                           std::int64_t time);
    [[gnu::always_inline]] inline bool execute(Stock& stock, Engine& engine, const unsigned char* m,
                                               std::int64_t time);
    [[gnu::always_inline]] inline bool cancel(Stock& stock, Engine& engine, const unsigned char* m);
    [[gnu::always_inline]] inline bool remove(Stock& stock, Engine& engine, const unsigned char* m);
    [[gnu::always_inline]] inline bool replace(Stock& stock, Engine& engine, const unsigned char* m,
                                               std::int64_t time);
    // After a change of the book: whether it is crossed (looked at after an add or a replace,
    // or while it was), and its top levels when recorded (`count`: the messages so far).
    [[gnu::always_inline]] inline void changed(Stock& stock, Engine& engine, const unsigned char* m,
                                               std::int64_t time, bool may_cross,
                                               std::uint64_t count);
    void record_top(Stock& stock, std::uint16_t locate, std::int64_t time, bool sample);
    void sample_until(std::int64_t time);
    void copy_books(std::int64_t at);
    void set_due() noexcept;
    void break_trade(std::uint64_t match, Stock* stock);
    // Keeps a trade, indexed by its match number once a B message asked for the index; may
    // throw std::bad_alloc.
    void record_trade(Stock& stock, const TradeRecord& trade);
    bool fail(Stop why, std::string what);
    std::string at(const unsigned char* m) const;
    bool unknown(Stock& stock, std::uint64_t reference, const unsigned char* m);
    bool duplicate(Stock& stock, std::uint64_t reference, const unsigned char* m);

    Options options_;
    std::vector<std::uint8_t> status_;
    std::vector<std::unique_ptr<Stock>> stocks_;
    std::vector<Engine*> engines_;    // each active stock's
    std::vector<Stock*> active_;      // each active stock, nullptr for the others
    const Reader* reader_ = nullptr;  // of the run under way, for the offsets of errors
    std::int64_t due_ = -1;           // the time after which advance() has something to write
    std::vector<TradeRecord> trades_;
    std::unordered_map<std::uint64_t, std::size_t> by_match_;  // built at the first B
    bool matches_indexed_ = false;
    std::vector<std::int64_t> rows_;
    std::vector<std::int64_t> samples_;
    std::vector<std::int64_t> copies_;
    std::size_t next_copy_ = 0;           // the first of options_.books_at not yet copied
    std::vector<std::uint16_t> watched_;  // in the order they appeared
    std::int64_t next_sample_ = -1;       // the next sampling time (-1: before the first)
    std::vector<SystemEvent> system_;
    std::vector<TradingAction> actions_;
    std::uint64_t messages_ = 0;
    std::uint64_t skipped_ = 0;
    std::uint64_t unknown_matches_ = 0;
    std::uint64_t other_ = 0;
    Stop stop_ = Stop::none;
    std::string error_;
};

}  // namespace velmora::itch
