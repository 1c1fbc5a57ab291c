// Rows of a replay taken when the caller wants them, with the measures researchers compute on
// them, in the same pass: plain C++ over an Engine, no Python. A replay of any feed (the
// batch, and the native replays of exchange files) drives one Sampler per book it samples:
// before(time) ahead of each event, after(...) behind it, finish() at the end of the stream.
// The state (the next tick, the best quotes for order-flow imbalance, what traded since the
// last row) carries over from one call to the next, so a stream can be fed in chunks.
//
// A row is words of 8 bytes: the index of the last event it reflects (-1: none yet), its
// time, the top `depth` levels (bid prices, bid totals, ask prices, ask totals, best first;
// empty places as the batch writes them), then one word per measure, int64 or float64.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine.hpp"

namespace velmora::core {

// 128-bit arithmetic for sums and times that may pass the range of int64 (a GCC and Clang
// extension; __extension__ keeps -Wpedantic quiet about it).
__extension__ typedef __int128 Wide;

// When rows are written.
enum class Every {
    event,   // after every event
    change,  // after an event that changed the top `depth` levels
    time,    // at each multiple of `interval` nanoseconds of event time, from the first event's
             // time to the first multiple at or after the last one: the book as of the last
             // event at or before it; intervals without events repeat the book
    events,  // after every `interval`-th event
    at,      // at each of the given times, as for `time`
    group,   // after an event that ends its group (the caller says which do)
};

// What follows the levels in a row. Prices in ticks; NaN where a side it needs is empty.
enum class Measure : std::uint8_t {
    mid,         // (best bid + best ask) / 2
    spread,      // best ask - best bid
    microprice,  // best prices weighted by the other side's best size: the size-weighted mid
    imbalance,   // (bid size - ask size) / (bid size + ask size) over the top k levels
    ofi,         // order-flow imbalance since the last row (Cont, Kukanov and Stoikov), int64
    volume,      // quantity traded since the last row, int64
    notional,    // sum of price x quantity of those fills, float64 (ticks x quantity)
    vwap,        // notional / volume
    trades,      // fills since the last row, int64
    events,      // events since the last row, int64
};

struct MeasureSpec {
    Measure kind;
    std::uint32_t k;  // levels, for imbalance
    bool integer() const noexcept {
        return kind == Measure::ofi || kind == Measure::volume || kind == Measure::trades ||
               kind == Measure::events;
    }
};

// `Fill` is the replay's record of one fill: its `price` and `quantity` are summed.
template <typename Fill>
class BasicSampler {
  public:
    struct Config {
        Every every = Every::event;
        std::int64_t interval = 0;     // nanoseconds (time) or events (events)
        std::vector<std::int64_t> at;  // sorted times (at)
        std::size_t depth = 0;
        std::vector<MeasureSpec> measures;
    };

    // The most rows one sampler holds before it is emptied: a guard against an interval far
    // smaller than the stream's span.
    static constexpr std::size_t MAX_ROWS = std::size_t{1} << 27;

    explicit BasicSampler(Config config) : config_(std::move(config)) {
        width_ = 2 + 4 * config_.depth + config_.measures.size();
        for (const MeasureSpec& m : config_.measures) {
            needs_ofi_ |= m.kind == Measure::ofi;
            needs_fills_ |= m.kind == Measure::volume || m.kind == Measure::notional ||
                            m.kind == Measure::vwap || m.kind == Measure::trades;
        }
        top_.assign(4 * config_.depth, 0);
    }

    const Config& config() const noexcept { return config_; }
    std::size_t width() const noexcept { return width_; }
    std::vector<std::int64_t>& rows() noexcept { return rows_; }
    std::size_t row_count() const noexcept { return rows_.size() / width_; }

    // Before the first event of a replay call: the book as it stands. The call's fills are
    // shown to before(), after() and end_call() as (first, count so far): a row sums those
    // since the last row, end_call() keeps the sums of the rest for the next call.
    void begin(Engine& engine) {
        mark_ = 0;
        // The quotes as they stand: what changed the book between two calls is no event of
        // the stream, and adds nothing to the order-flow imbalance.
        quotes(engine, prev_);
        watch(engine);
    }

    // After the last event of a replay call, `last` (its index in the stream): what traded
    // since the last row counts on.
    void end_call(std::int64_t last, const Fill* fills, std::size_t count) noexcept {
        last_seq_ = last;
        take_fills(fills, count);
    }

    // Whether after() must see every event: the modes that write after events, and the
    // order-flow imbalance, which follows the best quotes event by event.
    bool per_event() const noexcept {
        return needs_ofi_ || (config_.every != Every::time && config_.every != Every::at);
    }

    // Ahead of an event at `time`: rows for the ticks (or given times) before it. False,
    // with nothing written, when they would take the rows past MAX_ROWS; throws
    // std::bad_alloc when the rows cannot grow.
    // `last` is the index of the last event applied.
    bool before(Engine& engine, std::int64_t last, std::int64_t time, const Fill* fills,
                std::size_t count) {
        last_seq_ = last;
        if (config_.every == Every::time) {
            if (!ticking_) {
                ticking_ = true;
                next_tick_ = ceil_multiple(time, config_.interval);
            }
            if (next_tick_ < time) {
                // Ticks next_tick_, next_tick_ + interval, ... below `time` (128 bits: a
                // tick may lie past the range of int64).
                Wide ticks = (time - next_tick_ - 1) / config_.interval + 1;
                if (ticks > static_cast<Wide>(MAX_ROWS - row_count())) {
                    return false;
                }
                for (; ticks > 0; --ticks) {
                    emit(engine, static_cast<std::int64_t>(next_tick_), fills, count);
                    next_tick_ += config_.interval;
                }
            }
        } else if (config_.every == Every::at) {
            while (next_at_ < config_.at.size() && config_.at[next_at_] < time) {
                emit(engine, config_.at[next_at_++], fills, count);
            }
        }
        return true;
    }

    // Behind event `seq` (its index in the whole stream) at `time`, which ends its group when
    // `group_end`; only where per_event() says so.
    void after(Engine& engine, std::int64_t seq, std::int64_t time, bool group_end,
               const Fill* fills, std::size_t count) {
        last_seq_ = seq;
        if (needs_ofi_) {
            Quotes now;
            quotes(engine, now);
            // Most events leave both best levels as they were, which adds nothing.
            if (now.bid_size != prev_.bid_size || now.ask_size != prev_.ask_size ||
                now.bid_price != prev_.bid_price || now.ask_price != prev_.ask_price ||
                now.has_bid != prev_.has_bid || now.has_ask != prev_.has_ask) [[unlikely]] {
                ofi_ += flow(prev_, now);
                prev_ = now;
            }
        }
        Engine::Changes changes =
            config_.every == Every::change ? engine.changes() : Engine::Changes{0, 0, {0, 0}};
        bool write = false;
        switch (config_.every) {
            case Every::event: write = true; break;
            case Every::events: write = ++counted_ % config_.interval == 0; break;
            case Every::group: write = group_end; break;
            case Every::change: write = changes.dirty && top_changed(engine); break;
            case Every::time:
            case Every::at: break;
        }
        if (write) {
            emit(engine, time, fills, count);
        }
    }

    // At the end of the stream: the first tick at or after the last event, or the given
    // times not yet reached.
    void finish(Engine& engine) {
        if (config_.every == Every::time && ticking_) {
            // The first tick at or after the last event; at the very end of int64 time, the
            // last time there is.
            constexpr Wide last = std::numeric_limits<std::int64_t>::max();
            emit(engine, static_cast<std::int64_t>(next_tick_ < last ? next_tick_ : last), nullptr,
                 0);
            next_tick_ += config_.interval;
            ticking_ = false;  // the stream is done; a later one starts afresh
        } else if (config_.every == Every::at) {
            while (next_at_ < config_.at.size()) {
                emit(engine, config_.at[next_at_++], nullptr, 0);
            }
        }
    }

    // Events of earlier calls, so that a row's index counts from the stream's start.
    std::int64_t seen() const noexcept { return seen_; }
    void advance(std::int64_t applied) noexcept { seen_ += applied; }

  private:
    struct Quotes {
        std::int64_t bid_price, bid_size, ask_price, ask_size;
        bool has_bid, has_ask;
    };

    static void quotes(const Engine& engine, Quotes& q) noexcept {
        q.has_bid = engine.has_best(BID);
        q.has_ask = engine.has_best(ASK);
        q.bid_price = q.has_bid ? engine.best(BID) : 0;
        q.bid_size = q.has_bid ? engine.best_total(BID) : 0;
        q.ask_price = q.has_ask ? engine.best(ASK) : 0;
        q.ask_size = q.has_ask ? engine.best_total(ASK) : 0;
    }

    // One event's contribution to order-flow imbalance (Cont, Kukanov and Stoikov 2014):
    // e = [Pb >= Pb'] qb - [Pb <= Pb'] qb' - [Pa <= Pa'] qa + [Pa >= Pa'] qa', primes before
    // the event. An empty side counts as a bid at minus infinity (an ask at plus infinity)
    // with size 0.
    static Wide flow(const Quotes& was, const Quotes& now) noexcept {
        Wide e = 0;
        int bid = compare(now.has_bid, now.bid_price, was.has_bid, was.bid_price);
        if (bid >= 0) {
            e += now.bid_size;
        }
        if (bid <= 0) {
            e -= was.bid_size;
        }
        int ask = -compare(now.has_ask, -now.ask_price, was.has_ask, -was.ask_price);
        if (ask <= 0) {
            e -= now.ask_size;
        }
        if (ask >= 0) {
            e += was.ask_size;
        }
        return e;
    }
    // -1, 0 or 1 as a is below, at or above b, an absent price being below every other.
    static int compare(bool has_a, std::int64_t a, bool has_b, std::int64_t b) noexcept {
        if (!has_a || !has_b) {
            return has_a == has_b ? 0 : (has_a ? 1 : -1);
        }
        return (a > b) - (a < b);
    }

    // Sums of 64-bit quantities are kept in 128 bits; a row shows them in int64, held at its
    // ends in the (absurd) case they pass it.
    static std::int64_t saturate(Wide v) noexcept {
        constexpr Wide hi = std::numeric_limits<std::int64_t>::max();
        constexpr Wide lo = std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(v > hi ? hi : v < lo ? lo : v);
    }

    static Wide ceil_multiple(std::int64_t t, std::int64_t step) noexcept {
        Wide q = t / step;
        if (q * step < t) {
            ++q;
        }
        return q * step;
    }

    // The top levels into top_ (and the engine watching them, for change mode).
    void refresh_top(Engine& engine) noexcept {
        std::size_t n = config_.depth;
        if (n == 0) {
            return;
        }
        engine.top(BID, n, top_.data(), top_.data() + n);
        engine.top(ASK, n, top_.data() + 2 * n, top_.data() + 3 * n);
    }

    bool top_changed(Engine& engine) {
        scratch_ = top_;
        refresh_top(engine);
        return scratch_ != top_;
    }

    // What traded since the mark: into the sums of the row to come.
    void take_fills(const Fill* fills, std::size_t count) noexcept {
        if (needs_fills_ && count > mark_) {
            for (std::size_t i = mark_; i < count; ++i) {
                volume_ += fills[i].quantity;
                notional_ += static_cast<Wide>(fills[i].price) * fills[i].quantity;
            }
            trades_ += static_cast<std::int64_t>(count - mark_);
        }
        mark_ = std::max(mark_, count);
    }

    // Watches the top `depth` levels in change mode, for changes(); else nothing, as a
    // watch costs the engine a record of every change under it.
    void watch(Engine& engine) noexcept {
        if (config_.every == Every::change) {
            refresh_top(engine);
        } else {
            engine.unwatch();
        }
    }

    void emit(Engine& engine, std::int64_t time, const Fill* fills, std::size_t count) {
        std::size_t at = rows_.size();
        rows_.resize(at + width_);  // may throw: nothing is counted before it succeeds
        take_fills(fills, count);
        std::int64_t events = last_seq_ - row_seq_;
        row_seq_ = last_seq_;
        std::int64_t* row = rows_.data() + at;
        row[0] = last_seq_;
        row[1] = time;
        std::size_t n = config_.depth;
        if (n) {
            if (config_.every != Every::change) {
                refresh_top(engine);
            }
            std::copy(top_.begin(), top_.end(), row + 2);
        }
        std::int64_t* out = row + 2 + 4 * n;
        Quotes q;
        quotes(engine, q);
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        bool both = q.has_bid && q.has_ask;
        for (const MeasureSpec& m : config_.measures) {
            double value = nan;
            std::int64_t whole = 0;
            switch (m.kind) {
                case Measure::mid:
                    if (both) {
                        value =
                            (static_cast<double>(q.bid_price) + static_cast<double>(q.ask_price)) /
                            2;
                    }
                    break;
                case Measure::spread:
                    if (both) {
                        // In doubles: the difference of two far ticks may pass int64.
                        value = static_cast<double>(q.ask_price) - static_cast<double>(q.bid_price);
                    }
                    break;
                case Measure::microprice:
                    if (both) {
                        auto b = static_cast<double>(q.bid_size);
                        auto a = static_cast<double>(q.ask_size);
                        value = (static_cast<double>(q.bid_price) * a +
                                 static_cast<double>(q.ask_price) * b) /
                                (a + b);
                    }
                    break;
                case Measure::imbalance: {
                    double b = 0, a = 0;
                    for (std::size_t i = 0; i < m.k; ++i) {
                        b += static_cast<double>(top_[n + i]);
                        a += static_cast<double>(top_[3 * n + i]);
                    }
                    if (a + b > 0) {
                        value = (b - a) / (b + a);
                    }
                    break;
                }
                case Measure::ofi: whole = saturate(ofi_); break;
                case Measure::volume: whole = saturate(volume_); break;
                case Measure::notional: value = static_cast<double>(notional_); break;
                case Measure::vwap:
                    if (volume_ > 0) {
                        value = static_cast<double>(notional_) / static_cast<double>(volume_);
                    }
                    break;
                case Measure::trades: whole = trades_; break;
                case Measure::events: whole = events; break;
            }
            *out++ = m.integer() ? whole : std::bit_cast<std::int64_t>(value);
        }
        ofi_ = volume_ = notional_ = 0;
        trades_ = 0;
        if (n && config_.every != Every::change) {
            watch(engine);  // refresh_top() watched the top `depth` levels
        }
    }

    Config config_;
    std::size_t width_ = 0;
    bool needs_ofi_ = false, needs_fills_ = false;
    std::vector<std::int64_t> rows_;
    std::vector<std::int64_t> top_, scratch_;
    bool ticking_ = false;
    Wide next_tick_ = 0;
    std::size_t next_at_ = 0;
    std::int64_t counted_ = 0;
    std::int64_t last_seq_ = -1;
    std::int64_t seen_ = 0;
    Quotes prev_{};
    Wide ofi_ = 0, volume_ = 0;
    std::int64_t trades_ = 0;
    std::int64_t row_seq_ = -1;  // the last row's event
    std::size_t mark_ = 0;       // the call's fills before it are in the sums
    Wide notional_ = 0;
};

}  // namespace velmora::core
