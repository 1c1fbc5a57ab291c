// A replay's rows against an orderbook file's, one pass: how many rows agree at each depth,
// and which rows disagree somewhere (the caller looks at those few more closely). The replay's
// rows are velmora.core's changed-only snapshots, each message pointing at the one that shows
// its book, or at the starting book.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "parse.hpp"

namespace velmora::lobster {

inline constexpr std::int64_t kEmptyBid = -kEmptyAsk;

// A snapshot record of velmora.core: seq, then bid prices, bid totals, ask prices, ask totals,
// `levels` int64 each.
struct SnapshotLayout {
    std::size_t levels;
    std::size_t size() const noexcept { return 8 * (1 + 4 * levels); }
};

// Rows [first, n): row r of the replay is snapshot `row_of[r]` (or `initial`, laid out as one
// snapshot without its seq, when negative), compared with `rows` (n rows of `fields` int64,
// the file's layout: ask price, ask size, bid price, bid size per level) over `depth` levels.
// Adds to equal[m] the rows whose first m + 1 levels agree; writes the rows that differ to
// `bad` (room for n - first) and returns how many.
inline std::size_t compare_rows(const unsigned char* snaps, SnapshotLayout layout,
                                const std::int64_t* row_of, const std::int64_t* initial,
                                const std::int64_t* rows, std::size_t fields, std::size_t n,
                                std::size_t first, std::size_t depth, std::int64_t* equal,
                                std::int64_t* bad) noexcept {
    const std::size_t levels = layout.levels;
    std::size_t bad_count = 0;
    std::size_t same_run = 0;  // rows equal throughout, not yet added to equal[]
    for (std::size_t r = first; r < n; ++r) {
        // The snapshot's values, past its seq.
        const unsigned char* values =
            row_of[r] < 0 ? reinterpret_cast<const unsigned char*>(initial)
                          : snaps + static_cast<std::size_t>(row_of[r]) * layout.size() + 8;
        auto at = [values](std::size_t k) {
            std::int64_t v;
            std::memcpy(&v, values + 8 * k, 8);
            return v;
        };
        const std::int64_t* theirs = rows + r * fields;
        std::size_t agree = 0;
        for (; agree < depth; ++agree) {
            std::int64_t bid_price = at(agree), bid_total = at(levels + agree),
                         ask_price = at(2 * levels + agree), ask_total = at(3 * levels + agree);
            const std::int64_t* t = theirs + 4 * agree;
            if (t[0] != (ask_total > 0 ? ask_price : kEmptyAsk) || t[1] != ask_total ||
                t[2] != (bid_total > 0 ? bid_price : kEmptyBid) || t[3] != bid_total) {
                break;
            }
        }
        if (agree == depth) {
            ++same_run;
            continue;
        }
        for (std::size_t m = 0; m < agree; ++m) {
            ++equal[m];
        }
        bad[bad_count++] = static_cast<std::int64_t>(r);
    }
    for (std::size_t m = 0; m < depth; ++m) {
        equal[m] += static_cast<std::int64_t>(same_run);
    }
    return bad_count;
}

}  // namespace velmora::lobster
