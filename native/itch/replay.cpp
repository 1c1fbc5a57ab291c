// The ITCH 5.0 replay: decoding of the message layouts NASDAQ publishes (big-endian fields
// after a one-byte type; stock locate at 1, tracking number at 3, the time as 6 bytes of
// nanoseconds since midnight at 5) and their effect on the books.
#include "replay.hpp"

#include <algorithm>
#include <new>

namespace velmora::itch {
namespace {

using core::ASK;
using core::BID;
using core::Fill;
using core::Refusal;
using core::Side;

inline std::uint64_t be16(const unsigned char* p) noexcept {
    return (std::uint64_t{p[0]} << 8) | p[1];
}
inline std::uint64_t be32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline std::uint64_t be64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline std::int64_t be48(const unsigned char* p) noexcept {
    return static_cast<std::int64_t>((be16(p) << 32) | be32(p + 2));
}

// The length of each message type the replay reads (0: any other type, skipped by its own
// length), and its place among the counted types (N_TYPES: not counted by type).
struct Layouts {
    std::uint8_t length[256] = {};
    std::uint8_t index[256] = {};
    constexpr Layouts() {
        for (int i = 0; i < 256; ++i) {
            index[i] = N_TYPES;
        }
        const char types[] = "SRHAFECXDUPQB";
        const std::uint8_t lengths[] = {12, 39, 25, 36, 40, 31, 36, 23, 19, 35, 44, 40, 19};
        for (int i = 0; i < 13; ++i) {
            length[static_cast<unsigned char>(types[i])] = lengths[i];
        }
        for (int i = 0; i < N_TYPES; ++i) {
            index[static_cast<unsigned char>(COUNTED_TYPES[i])] = static_cast<std::uint8_t>(i);
        }
    }
};
constexpr Layouts layouts;

constexpr std::int64_t DAY = 86'400'000'000'000;  // ITCH times are nanoseconds since midnight

struct NoFills {
    void operator()(const Fill&) const noexcept {}
};

}  // namespace

void Replay::record_trade(Stock& stock, const TradeRecord& trade) {
    trades_.push_back(trade);
    if (matches_indexed_) {
        by_match_.emplace(trade.match, trades_.size() - 1);
    }
    ++stock.counts[TRADES];
}

bool Replay::fail(Stop why, std::string what) {
    stop_ = why;
    error_ = std::move(what);
    return false;
}

bool Replay::unknown(Stock& stock, std::uint64_t reference, char type) {
    ++stock.counts[UNKNOWN];
    if (!options_.stop_on_unknown) {
        return true;
    }
    return fail(Stop::unknown, "order reference " + std::to_string(reference) + " of a '" +
                                   std::string(1, type) + "' message at byte " +
                                   std::to_string(offset_) + " is not resting in the book of " +
                                   "stock locate " + std::to_string(locate_));
}

bool Replay::duplicate(Stock& stock, std::uint64_t reference, char type) {
    ++stock.counts[DUPLICATE];
    if (!options_.stop_on_unknown) {
        return true;
    }
    return fail(Stop::unknown, "order reference " + std::to_string(reference) + " of a '" +
                                   std::string(1, type) + "' message at byte " +
                                   std::to_string(offset_) + " is already resting");
}

// The stock of a locate not yet active: made on its first message when every stock is
// replayed; nullptr when the filter leaves it out (or has not yet seen its directory entry).
Stock* Replay::new_stock(std::uint16_t locate) {
    if (status_[locate] == SKIPPED || !options_.all_symbols) {
        return nullptr;
    }
    auto stock = std::make_unique<Stock>();
    stock->state = std::make_unique<BookState>();
    stock->state->engine.set_feed(true);
    stock->watched = options_.watch_all && options_.depth > 0;
    if (stock->watched) {
        watched_.push_back(locate);
        stock->last.assign(4 * options_.depth, 0);
        std::size_t d = options_.depth;
        stock->state->engine.top(BID, d, stock->last.data(), stock->last.data() + d);
        stock->state->engine.top(ASK, d, stock->last.data() + 2 * d, stock->last.data() + 3 * d);
    }
    engines_[locate] = &stock->state->engine;
    stocks_[locate] = std::move(stock);
    status_[locate] = ACTIVE;
    return stocks_[locate].get();
}

// A stock directory entry: names the locate's stock and, under a filter, decides whether
// its messages are applied.
bool Replay::directory(const unsigned char* m) {
    std::uint16_t locate = static_cast<std::uint16_t>(be16(m + 1));
    std::string symbol(reinterpret_cast<const char*>(m + 11), 8);
    if (status_[locate] == UNSEEN && !options_.all_symbols) {
        if (!options_.symbols.count(symbol)) {
            status_[locate] = SKIPPED;
            ++skipped_;
            return true;
        }
        options_.all_symbols = true;  // make it, then put the filter back
        stock_for(locate);
        options_.all_symbols = false;
    }
    Stock* stock = stock_for(locate);
    if (!stock) {
        ++skipped_;
        return true;
    }
    if (!stock->watched && !options_.watch_all && options_.depth > 0 &&
        options_.watch.count(symbol)) {
        stock->watched = true;
        watched_.push_back(locate);
        std::size_t d = options_.depth;
        stock->last.assign(4 * d, 0);
        stock->state->engine.top(BID, d, stock->last.data(), stock->last.data() + d);
        stock->state->engine.top(ASK, d, stock->last.data() + 2 * d, stock->last.data() + 3 * d);
    }
    std::memcpy(stock->symbol, symbol.data(), 8);
    stock->directory = true;
    ++stock->counts[layouts.index['R']];
    return true;
}

// Appends a row of the stock's top levels when they differ from the last one (or always,
// for a sample).
void Replay::record_top(Stock& stock, std::uint16_t locate, std::int64_t time, bool sample) {
    std::size_t d = options_.depth;
    Engine& engine = stock.state->engine;
    std::vector<std::int64_t>& out = sample ? samples_ : rows_;
    std::size_t at = out.size();
    out.resize(at + row_width());
    std::int64_t* row = out.data() + at;
    row[0] = time;
    row[1] = static_cast<std::int64_t>(messages_) - 1;
    row[2] = locate;
    std::int64_t* top = row + 3;
    engine.top(BID, d, top, top + d);
    engine.top(ASK, d, top + 2 * d, top + 3 * d);
    if (sample) {
        return;
    }
    if (std::equal(top, top + 4 * d, stock.last.begin())) {
        out.resize(at);
        return;
    }
    std::copy(top, top + 4 * d, stock.last.begin());
}

// Writes the samples due before a message stamped `time`: one row per watched stock at each
// multiple of the interval that the clock has passed.
void Replay::sample_until(std::int64_t time) {
    std::int64_t every = options_.every;
    if (next_sample_ < 0) {
        next_sample_ = (time + every - 1) / every * every;
        return;
    }
    while (next_sample_ < time) {
        for (std::uint16_t locate : watched_) {
            record_top(*stocks_[locate], locate, next_sample_, true);
        }
        next_sample_ += every;
    }
}

// Every book's resting orders at time `at`, in priority order (bids best first, then asks).
void Replay::copy_books(std::int64_t at) {
    for (std::size_t locate = 0; locate < stocks_.size(); ++locate) {
        if (!stocks_[locate]) {
            continue;
        }
        for (Side side : {BID, ASK}) {
            stocks_[locate]->state->engine.for_each_order(
                side, [&](const core::Node& n, std::int64_t ticks) {
                    std::int64_t row[8] = {
                        at,         static_cast<std::int64_t>(locate),   n.id,  side, ticks,
                        n.quantity, (n.flags & core::Node::TRADED) != 0, n.time};
                    copies_.insert(copies_.end(), row, row + 8);
                });
        }
    }
}

void Replay::finish() {
    try {
        while (next_copy_ < options_.books_at.size()) {
            copy_books(options_.books_at[next_copy_++]);
        }
    } catch (const std::bad_alloc&) {
        fail(Stop::memory, "out of memory copying the books");
    }
}

void Replay::break_trade(std::uint64_t match, Stock* stock) {
    if (!matches_indexed_) {
        by_match_.reserve(trades_.size() * 2);
        for (std::size_t i = 0; i < trades_.size(); ++i) {
            by_match_.emplace(trades_[i].match, i);
        }
        matches_indexed_ = true;
    }
    auto it = by_match_.find(match);
    if (it == by_match_.end()) {
        ++unknown_matches_;
        return;
    }
    trades_[it->second].broken = 1;
    (void)stock;
}

// The messages of a day interleave thousands of books, so nearly every message starts with
// cache misses on its stock, its engine and the engine's id index. The messages ahead are
// read early, each a stage further: the stock and its engine three ahead, the index position
// of the reference two ahead (the engine has arrived). The named order itself is not
// prefetched: measured on the core's batch, that gained nothing.
void Replay::prefetch(Reader& reader) const noexcept {
    const unsigned char* ahead[3];
    std::size_t n = reader.peek(3, ahead);
    for (std::size_t k = n; k-- > 0;) {
        const unsigned char* p = ahead[k];
        std::uint16_t locate = static_cast<std::uint16_t>(be16(p + 1));
        const Engine* engine = engines_[locate];
        if (!engine) {
            continue;
        }
        if (k == 2) {
            __builtin_prefetch(stocks_[locate].get());
            const char* e = reinterpret_cast<const char*>(engine);
            __builtin_prefetch(e);
            __builtin_prefetch(e + 64);
            __builtin_prefetch(e + 128);
            continue;
        }
        unsigned char type = p[0];
        if (type == 'A' || type == 'F' || type == 'E' || type == 'C' || type == 'X' ||
            type == 'D' || type == 'U') {
            std::int64_t ref = static_cast<std::int64_t>(be64(p + 11));
            if (k == 1) {
                engine->prefetch_id(ref);
            }
        }
    }
}

bool Replay::run(Reader& reader, std::uint64_t budget) {
    const unsigned char* m = nullptr;
    std::size_t n = 0;
    try {
        for (std::uint64_t done = 0; done < budget; ++done) {
            Reader::Status s = reader.next(&m, &n);
            if (s == Reader::END) {
                return false;
            }
            if (s == Reader::FAILED) {
                return fail(Stop::malformed, reader.error());
            }
            offset_ = reader.offset() - n - 2;
            ++messages_;
            prefetch(reader);
            if (n == 0) {
                return fail(Stop::malformed, "an empty message at byte " + std::to_string(offset_));
            }
            unsigned char type = m[0];
            std::size_t need = layouts.length[type];
            if (need == 0) {
                ++other_;
                if (n >= 3) {
                    std::uint16_t locate = static_cast<std::uint16_t>(be16(m + 1));
                    if (status_[locate] == ACTIVE) {
                        ++stocks_[locate]->counts[OTHER];
                    }
                }
                continue;
            }
            if (n < need) {
                return fail(Stop::malformed, "a '" + std::string(1, static_cast<char>(type)) +
                                                 "' message of " + std::to_string(n) +
                                                 " bytes at byte " + std::to_string(offset_) +
                                                 " (it has " + std::to_string(need) + ")");
            }
            std::int64_t time = be48(m + 5);
            if (time >= DAY) {
                // Beyond the day the feed's clock counts: a damaged field, which would also
                // ask for samples without end.
                return fail(Stop::malformed, "a time past midnight (" + std::to_string(time) +
                                                 " ns) at byte " + std::to_string(offset_));
            }
            if (options_.every > 0 && time > next_sample_) {
                sample_until(time);
            }
            while (next_copy_ < options_.books_at.size() && time > options_.books_at[next_copy_]) {
                copy_books(options_.books_at[next_copy_++]);
            }
            if (type == 'S') {
                system_.push_back(SystemEvent{time, static_cast<char>(m[11])});
                continue;
            }
            if (type == 'R') {
                directory(m);
                continue;
            }
            std::uint16_t locate = static_cast<std::uint16_t>(be16(m + 1));
            Stock* stock = stock_for(locate);
            if (!stock) {
                ++skipped_;
                continue;
            }
            locate_ = locate;
            Stock& st = *stock;
            ++st.counts[layouts.index[type]];
            if (!st.directory) {
                ++st.counts[UNDIRECTED];
            }
            Engine& engine = st.state->engine;
            bool book = true;  // the message may change the book
            switch (type) {
                case 'A':
                case 'F': {
                    std::uint64_t ref = be64(m + 11);
                    unsigned char bs = m[19];
                    std::int64_t shares = static_cast<std::int64_t>(be32(m + 20));
                    std::int64_t price = static_cast<std::int64_t>(be32(m + 32));
                    if ((bs != 'B' && bs != 'S') || shares == 0) {
                        return fail(Stop::malformed,
                                    "an add order at byte " + std::to_string(offset_) +
                                        (shares == 0 ? " has no shares" : " has no side"));
                    }
                    Refusal r =
                        engine.add_limit(static_cast<std::int64_t>(ref), bs == 'B' ? BID : ASK,
                                         price, shares, time, NoFills{});
                    if (r == Refusal::duplicate_id) {
                        if (!duplicate(st, ref, static_cast<char>(type))) {
                            return false;
                        }
                    } else if (r != Refusal::none) {
                        return fail(Stop::memory, "the book of stock locate " +
                                                      std::to_string(locate) +
                                                      " cannot hold more orders");
                    }
                    break;
                }
                case 'E':
                case 'C': {
                    std::uint64_t ref = be64(m + 11);
                    std::int64_t shares = static_cast<std::int64_t>(be32(m + 19));
                    std::uint64_t match = be64(m + 23);
                    std::int64_t price = 0;
                    Side side = BID;
                    auto sink = [&](const Fill& f) noexcept { price = f.ticks; };
                    if (shares == 0) {
                        return fail(Stop::malformed,
                                    "an execution of no shares at byte " + std::to_string(offset_));
                    }
                    Refusal r = engine.execute(static_cast<std::int64_t>(ref), shares, &side, sink);
                    if (r == Refusal::exceeds_open) {
                        ++st.counts[OVERSHOOT];
                        core::OrderView view{};
                        engine.order(static_cast<std::int64_t>(ref), &view);
                        r = engine.execute(static_cast<std::int64_t>(ref), view.quantity, &side,
                                           sink);
                    }
                    if (r == Refusal::unknown_id) {
                        if (!unknown(st, ref, static_cast<char>(type))) {
                            return false;
                        }
                        break;
                    }
                    bool printable = true;
                    if (type == 'C') {
                        printable = m[31] == 'Y';
                        price = static_cast<std::int64_t>(be32(m + 32));
                    }
                    record_trade(st, TradeRecord{time,
                                                 price,
                                                 shares,
                                                 ref,
                                                 match,
                                                 locate,
                                                 static_cast<std::int8_t>(side),
                                                 static_cast<char>(type),
                                                 0,
                                                 static_cast<std::uint8_t>(printable),
                                                 {0, 0}});
                    break;
                }
                case 'X': {
                    std::uint64_t ref = be64(m + 11);
                    std::int64_t shares = static_cast<std::int64_t>(be32(m + 19));
                    std::int64_t left;
                    if (shares == 0) {
                        return fail(Stop::malformed,
                                    "a cancel of no shares at byte " + std::to_string(offset_));
                    }
                    Refusal r = engine.reduce(static_cast<std::int64_t>(ref), shares, false, &left);
                    if (r == Refusal::exceeds_open) {
                        ++st.counts[OVERSHOOT];
                        r = engine.reduce(static_cast<std::int64_t>(ref), shares, true, &left);
                    }
                    if (r == Refusal::unknown_id && !unknown(st, ref, 'X')) {
                        return false;
                    }
                    break;
                }
                case 'D': {
                    std::uint64_t ref = be64(m + 11);
                    if (!engine.cancel(static_cast<std::int64_t>(ref)) && !unknown(st, ref, 'D')) {
                        return false;
                    }
                    break;
                }
                case 'U': {
                    std::uint64_t old_ref = be64(m + 11);
                    std::uint64_t new_ref = be64(m + 19);
                    std::int64_t shares = static_cast<std::int64_t>(be32(m + 27));
                    std::int64_t price = static_cast<std::int64_t>(be32(m + 31));
                    core::OrderView view{};
                    if (shares == 0) {
                        return fail(Stop::malformed,
                                    "a replace with no shares at byte " + std::to_string(offset_));
                    }
                    if (!engine.order(static_cast<std::int64_t>(old_ref), &view)) {
                        if (!unknown(st, old_ref, 'U')) {
                            return false;
                        }
                        break;
                    }
                    // The new reference rests first, so that one reused while live is refused
                    // before anything changes (one look-up fewer than asking first).
                    if (new_ref == old_ref) {
                        engine.cancel(static_cast<std::int64_t>(old_ref));
                    }
                    Refusal r = engine.add_limit(static_cast<std::int64_t>(new_ref), view.side,
                                                 price, shares, time, NoFills{});
                    if (r == Refusal::duplicate_id) {
                        if (!duplicate(st, new_ref, 'U')) {
                            return false;
                        }
                        break;
                    }
                    if (new_ref != old_ref) {
                        engine.cancel(static_cast<std::int64_t>(old_ref));
                    }
                    if (r != Refusal::none) {
                        return fail(Stop::memory, "the book of stock locate " +
                                                      std::to_string(locate) +
                                                      " cannot hold more orders");
                    }
                    break;
                }
                case 'P': {
                    unsigned char bs = m[19];
                    record_trade(st, TradeRecord{time,
                                                 static_cast<std::int64_t>(be32(m + 32)),
                                                 static_cast<std::int64_t>(be32(m + 20)),
                                                 be64(m + 11),
                                                 be64(m + 36),
                                                 locate,
                                                 static_cast<std::int8_t>(bs == 'B'   ? 0
                                                                          : bs == 'S' ? 1
                                                                                      : -1),
                                                 'P',
                                                 0,
                                                 1,
                                                 {0, 0}});
                    book = false;
                    break;
                }
                case 'Q': {
                    std::uint64_t shares = be64(m + 11);
                    record_trade(st, TradeRecord{time,
                                                 static_cast<std::int64_t>(be32(m + 27)),
                                                 static_cast<std::int64_t>(
                                                     std::min<std::uint64_t>(shares, INT64_MAX)),
                                                 0,
                                                 be64(m + 31),
                                                 locate,
                                                 -1,
                                                 'Q',
                                                 0,
                                                 1,
                                                 {0, 0}});
                    book = false;
                    break;
                }
                case 'B':
                    break_trade(be64(m + 11), stock);
                    book = false;
                    break;
                case 'H': {
                    TradingAction action{time, locate, static_cast<char>(m[19]), {}};
                    std::memcpy(action.reason, m + 21, 4);
                    actions_.push_back(action);
                    book = false;
                    break;
                }
                default: book = false; break;
            }
            if (book) {
                // Only an add or a replace can cross a book; a removal can only keep it
                // crossed, so a book that was not crossed is not looked at again (which
                // saves the reads of both sides' best prices on most messages).
                if (st.crossed || type == 'A' || type == 'F' || type == 'U') {
                    st.crossed = engine.crossed();
                    st.counts[CROSSED] += st.crossed;
                }
                if (st.watched && options_.changes) {
                    record_top(st, locate, time, false);
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return fail(Stop::memory, "out of memory at byte " + std::to_string(offset_));
    }
    return true;
}

}  // namespace velmora::itch
