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

std::string Replay::at(const unsigned char* m) const {
    return std::to_string(reader_->offset_of(m));
}

bool Replay::unknown(Stock& stock, std::uint64_t reference, const unsigned char* m) {
    ++stock.counts[UNKNOWN];
    if (!options_.stop_on_unknown) {
        return true;
    }
    return fail(Stop::unknown, "order reference " + std::to_string(reference) + " of a '" +
                                   std::string(1, static_cast<char>(m[0])) + "' message at byte " +
                                   at(m) + " is not resting in the book of " + "stock locate " +
                                   std::to_string(be16(m + 1)));
}

bool Replay::duplicate(Stock& stock, std::uint64_t reference, const unsigned char* m) {
    ++stock.counts[DUPLICATE];
    if (!options_.stop_on_unknown) {
        return true;
    }
    return fail(Stop::unknown, "order reference " + std::to_string(reference) + " of a '" +
                                   std::string(1, static_cast<char>(m[0])) + "' message at byte " +
                                   at(m) + " is already resting");
}

// Starts recording the stock's top levels, from the book as it is.
void Replay::watch(Stock& stock, std::uint16_t locate) {
    stock.watched = true;
    stock.record = options_.changes;
    watched_.push_back(locate);
    std::size_t d = options_.depth;
    stock.last.assign(4 * d, 0);
    stock.state->engine.top(BID, d, stock.last.data(), stock.last.data() + d);
    stock.state->engine.top(ASK, d, stock.last.data() + 2 * d, stock.last.data() + 3 * d);
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
    if (options_.watch_all && options_.depth > 0) {
        watch(*stock, locate);
    }
    engines_[locate] = &stock->state->engine;
    active_[locate] = stock.get();
    stocks_[locate] = std::move(stock);
    status_[locate] = ACTIVE;
    return active_[locate];
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
        watch(*stock, locate);
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

void Replay::set_due() noexcept {
    std::int64_t due = DAY - 1;
    if (options_.every > 0) {
        due = std::min(due, next_sample_);
    }
    if (next_copy_ < options_.books_at.size()) {
        due = std::min(due, options_.books_at[next_copy_]);
    }
    due_ = due;
}

bool Replay::advance(const unsigned char* m, std::int64_t time) {
    if (time >= DAY) {
        // Beyond the day the feed's clock counts: a damaged field, which would also ask for
        // samples without end.
        return fail(Stop::malformed,
                    "a time past midnight (" + std::to_string(time) + " ns) at byte " + at(m));
    }
    if (options_.every > 0 && time > next_sample_) {
        sample_until(time);
    }
    while (next_copy_ < options_.books_at.size() && time > options_.books_at[next_copy_]) {
        copy_books(options_.books_at[next_copy_++]);
    }
    set_due();
    return true;
}

// An empty message, one of a type the replay does not read (counted, skipped by its
// length), or one shorter than its type's layout.
bool Replay::too_short(const unsigned char* m, std::size_t n) {
    if (n == 0) {
        return fail(Stop::malformed, "an empty message at byte " + at(m));
    }
    unsigned char type = m[0];
    std::size_t need = layouts.length[type];
    if (need == 0) {
        ++other_;
        if (n >= 3) {
            Stock* stock = active_[be16(m + 1)];
            if (stock) {
                ++stock->counts[OTHER];
            }
        }
        return true;
    }
    return fail(Stop::malformed, "a '" + std::string(1, static_cast<char>(type)) + "' message of " +
                                     std::to_string(n) + " bytes at byte " + at(m) + " (it has " +
                                     std::to_string(need) + ")");
}

inline bool Replay::add(Stock& st, Engine& engine, const unsigned char* m, std::int64_t time) {
    std::uint64_t ref = be64(m + 11);
    unsigned char bs = m[19];
    std::int64_t shares = static_cast<std::int64_t>(be32(m + 20));
    std::int64_t price = static_cast<std::int64_t>(be32(m + 32));
    if ((bs != 'B' && bs != 'S') || shares == 0) [[unlikely]] {
        return fail(Stop::malformed, "an add order at byte " + at(m) +
                                         (shares == 0 ? " has no shares" : " has no side"));
    }
    Refusal r = engine.add_limit(static_cast<std::int64_t>(ref), bs == 'B' ? BID : ASK, price,
                                 shares, time, NoFills{});
    if (r != Refusal::none) [[unlikely]] {
        if (r == Refusal::duplicate_id) {
            return duplicate(st, ref, m);
        }
        return fail(Stop::memory, "the book of stock locate " + std::to_string(be16(m + 1)) +
                                      " cannot hold more orders");
    }
    return true;
}

inline bool Replay::execute(Stock& st, Engine& engine, const unsigned char* m, std::int64_t time) {
    std::uint64_t ref = be64(m + 11);
    std::int64_t shares = static_cast<std::int64_t>(be32(m + 19));
    std::uint64_t match = be64(m + 23);
    std::int64_t price = 0;
    Side side = BID;
    auto sink = [&](const Fill& f) noexcept { price = f.ticks; };
    if (shares == 0) [[unlikely]] {
        return fail(Stop::malformed, "an execution of no shares at byte " + at(m));
    }
    Refusal r = engine.execute(static_cast<std::int64_t>(ref), shares, &side, sink);
    if (r == Refusal::exceeds_open) [[unlikely]] {
        ++st.counts[OVERSHOOT];
        core::OrderView view{};
        engine.order(static_cast<std::int64_t>(ref), &view);
        r = engine.execute(static_cast<std::int64_t>(ref), view.quantity, &side, sink);
    }
    if (r == Refusal::unknown_id) [[unlikely]] {
        return unknown(st, ref, m);
    }
    char type = static_cast<char>(m[0]);
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
                                 static_cast<std::uint16_t>(be16(m + 1)),
                                 static_cast<std::int8_t>(side),
                                 type,
                                 0,
                                 static_cast<std::uint8_t>(printable),
                                 {0, 0}});
    return true;
}

inline bool Replay::cancel(Stock& st, Engine& engine, const unsigned char* m) {
    std::uint64_t ref = be64(m + 11);
    std::int64_t shares = static_cast<std::int64_t>(be32(m + 19));
    std::int64_t left;
    if (shares == 0) [[unlikely]] {
        return fail(Stop::malformed, "a cancel of no shares at byte " + at(m));
    }
    Refusal r = engine.reduce(static_cast<std::int64_t>(ref), shares, false, &left);
    if (r == Refusal::exceeds_open) [[unlikely]] {
        ++st.counts[OVERSHOOT];
        r = engine.reduce(static_cast<std::int64_t>(ref), shares, true, &left);
    }
    if (r == Refusal::unknown_id) [[unlikely]] {
        return unknown(st, ref, m);
    }
    return true;
}

inline bool Replay::remove(Stock& st, Engine& engine, const unsigned char* m) {
    std::uint64_t ref = be64(m + 11);
    if (!engine.cancel(static_cast<std::int64_t>(ref))) [[unlikely]] {
        return unknown(st, ref, m);
    }
    return true;
}

inline bool Replay::replace(Stock& st, Engine& engine, const unsigned char* m, std::int64_t time) {
    std::uint64_t old_ref = be64(m + 11);
    std::uint64_t new_ref = be64(m + 19);
    std::int64_t shares = static_cast<std::int64_t>(be32(m + 27));
    std::int64_t price = static_cast<std::int64_t>(be32(m + 31));
    core::OrderView view{};
    if (shares == 0) [[unlikely]] {
        return fail(Stop::malformed, "a replace with no shares at byte " + at(m));
    }
    if (!engine.order(static_cast<std::int64_t>(old_ref), &view)) [[unlikely]] {
        return unknown(st, old_ref, m);
    }
    // The new reference rests first, so that one reused while live is refused before
    // anything changes (one look-up fewer than asking first).
    if (new_ref == old_ref) {
        engine.cancel(static_cast<std::int64_t>(old_ref));
    }
    Refusal r = engine.add_limit(static_cast<std::int64_t>(new_ref), view.side, price, shares, time,
                                 NoFills{});
    if (r == Refusal::duplicate_id) [[unlikely]] {
        return duplicate(st, new_ref, m);
    }
    if (new_ref != old_ref) {
        engine.cancel(static_cast<std::int64_t>(old_ref));
    }
    if (r != Refusal::none) [[unlikely]] {
        return fail(Stop::memory, "the book of stock locate " + std::to_string(be16(m + 1)) +
                                      " cannot hold more orders");
    }
    return true;
}

inline void Replay::changed(Stock& st, Engine& engine, const unsigned char* m, std::int64_t time,
                            bool may_cross, std::uint64_t count) {
    // Only an add or a replace can cross a book; a removal can only keep it crossed, so a
    // book that was not crossed is not looked at again (which saves the reads of both
    // sides' best prices on most messages).
    if (may_cross || st.crossed) {
        st.crossed = engine.crossed();
        st.counts[CROSSED] += st.crossed;
    }
    if (st.record) [[unlikely]] {
        messages_ = count;  // the row names the message
        record_top(st, static_cast<std::uint16_t>(be16(m + 1)), time, false);
    }
}

bool Replay::rare(const unsigned char* m, std::size_t n, std::int64_t time) {
    (void)n;
    unsigned char type = m[0];
    if (type == 'S') {
        system_.push_back(SystemEvent{time, static_cast<char>(m[11])});
        return true;
    }
    if (type == 'R') {
        return directory(m);
    }
    std::uint16_t locate = static_cast<std::uint16_t>(be16(m + 1));
    Stock* stock = stock_for(locate);
    if (!stock) {
        ++skipped_;
        return true;
    }
    Stock& st = *stock;
    ++st.counts[layouts.index[type]];
    st.counts[UNDIRECTED] += !st.directory;
    Engine& engine = *engines_[locate];
    bool ok = true;
    switch (type) {
        case 'A':
        case 'F': ok = add(st, engine, m, time); break;
        case 'E':
        case 'C': ok = execute(st, engine, m, time); break;
        case 'X': ok = cancel(st, engine, m); break;
        case 'D': ok = remove(st, engine, m); break;
        case 'U': ok = replace(st, engine, m, time); break;
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
            return true;
        }
        case 'Q': {
            std::uint64_t shares = be64(m + 11);
            record_trade(
                st,
                TradeRecord{time,
                            static_cast<std::int64_t>(be32(m + 27)),
                            static_cast<std::int64_t>(std::min<std::uint64_t>(shares, INT64_MAX)),
                            0,
                            be64(m + 31),
                            locate,
                            -1,
                            'Q',
                            0,
                            1,
                            {0, 0}});
            return true;
        }
        case 'B': break_trade(be64(m + 11), stock); return true;
        case 'H': {
            TradingAction action{time, locate, static_cast<char>(m[19]), {}};
            std::memcpy(action.reason, m + 21, 4);
            actions_.push_back(action);
            return true;
        }
        default: return true;
    }
    if (ok) {
        changed(st, engine, m, time, type == 'A' || type == 'F' || type == 'U', messages_);
    }
    return ok;
}

// The messages of a day interleave thousands of books, so nearly every message starts with
// cache misses on its stock, its engine and the engine's id index. The messages ahead are
// read early, each a stage further: the stock and its engine three ahead, the index position
// of the reference two ahead (the engine has arrived). The named order itself is not
// prefetched: measured on the core's batch, that gained nothing. `p` is the length prefix
// of the next message.
void Replay::prefetch(const unsigned char* p, const unsigned char* end) const noexcept {
    std::size_t left = static_cast<std::size_t>(end - p);
    if (left < 2) {
        return;
    }
    std::size_t a = 2 + be16(p);  // to the prefix of the message two ahead
    if (left < a + 2 || left < a + 2 + be16(p + a)) {
        return;
    }
    const unsigned char* two = p + a + 2;
    std::size_t b = a + 2 + be16(p + a);  // to the prefix of the one three ahead
    if (left >= b + 2 && left >= b + 2 + be16(p + b)) {
        std::uint16_t locate = static_cast<std::uint16_t>(be16(p + b + 3));
        if (const Engine* engine = engines_[locate]) {
            __builtin_prefetch(active_[locate]);
            const char* e = reinterpret_cast<const char*>(engine);
            __builtin_prefetch(e);
            __builtin_prefetch(e + 64);
            __builtin_prefetch(e + 128);
        }
    }
    unsigned char type = two[0];
    if (type == 'A' || type == 'F' || type == 'E' || type == 'C' || type == 'X' || type == 'D' ||
        type == 'U') {
        if (const Engine* engine = engines_[be16(two + 1)]) {
            engine->prefetch_id(static_cast<std::int64_t>(be64(two + 11)));
        }
    }
}

bool Replay::run(Reader& reader, std::uint64_t budget) {
    reader_ = &reader;
    const unsigned char* p = reader.cursor();
    const unsigned char* end = reader.limit();
    std::uint64_t count = messages_;
    const std::uint64_t stop = budget > UINT64_MAX - count ? UINT64_MAX : count + budget;
    // Hands the position and the count back on every way out.
    struct Sync {
        Reader& reader;
        const unsigned char*& p;
        std::uint64_t& count;
        std::uint64_t& messages;
        ~Sync() {
            reader.take(p);
            messages = count;
        }
    } sync{reader, p, count, messages_};
    const unsigned char* m = nullptr;
    try {
        while (count < stop) {
            // The window holds two bytes past its limit, so the length may be read first.
            std::size_t n = (std::size_t{p[0]} << 8) | p[1];
            std::size_t left = static_cast<std::size_t>(end - p);
            if (left < 2 + n) [[unlikely]] {  // also when fewer than 2 bytes are left
                reader.take(p);
                Reader::Status s = reader.fill();
                p = reader.cursor();
                end = reader.limit();
                if (s == Reader::END) {
                    return false;
                }
                if (s == Reader::FAILED) {
                    return fail(Stop::malformed, reader.error());
                }
                n = (std::size_t{p[0]} << 8) | p[1];
            }
            m = p + 2;
            p = m + n;
            ++count;
            prefetch(p, end);
            unsigned char type = m[0];  // of the next message when n is 0: looked at below
            std::size_t need = layouts.length[type];
            if (need == 0 || n < need) [[unlikely]] {
                if (!too_short(m, n)) {
                    return false;
                }
                continue;
            }
            std::int64_t time = be48(m + 5);
            if (time > due_) [[unlikely]] {
                messages_ = count;
                if (!advance(m, time)) {
                    return false;
                }
            }
            std::uint16_t locate = static_cast<std::uint16_t>(be16(m + 1));
            Stock* st = active_[locate];
            bool ok;
            if (st == nullptr) [[unlikely]] {
                messages_ = count;
                ok = rare(m, n, time);
            } else {
                Engine& engine = *engines_[locate];
                switch (type) {
                    case 'A':
                    case 'F':
                        ++st->counts[layouts.index[type]];
                        st->counts[UNDIRECTED] += !st->directory;
                        ok = add(*st, engine, m, time);
                        if (ok) {
                            changed(*st, engine, m, time, true, count);
                        }
                        break;
                    case 'D':
                        ++st->counts[layouts.index['D']];
                        st->counts[UNDIRECTED] += !st->directory;
                        ok = remove(*st, engine, m);
                        if (ok) {
                            changed(*st, engine, m, time, false, count);
                        }
                        break;
                    case 'U':
                        ++st->counts[layouts.index['U']];
                        st->counts[UNDIRECTED] += !st->directory;
                        ok = replace(*st, engine, m, time);
                        if (ok) {
                            changed(*st, engine, m, time, true, count);
                        }
                        break;
                    case 'X':
                        ++st->counts[layouts.index['X']];
                        st->counts[UNDIRECTED] += !st->directory;
                        ok = cancel(*st, engine, m);
                        if (ok) {
                            changed(*st, engine, m, time, false, count);
                        }
                        break;
                    case 'E':
                        ++st->counts[layouts.index['E']];
                        st->counts[UNDIRECTED] += !st->directory;
                        ok = execute(*st, engine, m, time);
                        if (ok) {
                            changed(*st, engine, m, time, false, count);
                        }
                        break;
                    default:
                        messages_ = count;
                        ok = rare(m, n, time);
                        break;
                }
            }
            if (!ok) [[unlikely]] {
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        return fail(Stop::memory,
                    "out of memory at byte " + (m ? at(m) : std::to_string(reader.offset())));
    }
    return true;
}

}  // namespace velmora::itch
