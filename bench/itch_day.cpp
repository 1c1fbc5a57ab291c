// A day-like ITCH 5.0 file for the ITCH benchmark (bench/itch.py), written fast: one pass of
// a seeded flow over many stocks with real ITCH's message mix (adds about 44 %, deletes 39 %,
// replaces 9 %, executions and cancels a few %, trades, imbalance and other skipped types the
// rest), every reference naming a live order of its stock, the stocks' activity skewed as a
// real day's is (a few stocks carry most messages, many almost none).
//
//     build/itch-day OUT MESSAGES STOCKS SEED
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Order {
    std::uint32_t stock;
    std::uint32_t price;
    std::uint32_t shares;
    std::uint32_t slot;  // its place in the stock's live list
    char side;
};

struct Stock {
    std::uint32_t mid;
    char symbol[8];
    std::vector<std::uint64_t> live;
};

std::vector<unsigned char> out;

void put16(std::uint64_t v) {
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}
void put32(std::uint64_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}
void put48(std::uint64_t v) {
    for (int s = 40; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}
void put64(std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<unsigned char>(v >> s));
}
void head(std::size_t length, char type, std::uint32_t locate, std::uint64_t time) {
    put16(length);
    out.push_back(static_cast<unsigned char>(type));
    put16(locate);
    put16(0);
    put48(time);
}
void bytes(const char* p, std::size_t n) { out.insert(out.end(), p, p + n); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s OUT MESSAGES STOCKS SEED\n", argv[0]);
        return 2;
    }
    const std::uint64_t messages = std::strtoull(argv[2], nullptr, 10);
    const std::uint32_t n_stocks = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    std::mt19937_64 rng(std::strtoull(argv[4], nullptr, 10));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    out.reserve(messages * 34);

    std::vector<Stock> stocks(n_stocks);
    std::vector<double> weights(n_stocks);
    std::uint64_t time = 4ull * 3600 * 1000000000ull;
    for (std::uint32_t i = 0; i < n_stocks; ++i) {
        Stock& s = stocks[i];
        s.mid = static_cast<std::uint32_t>(50000 + rng() % 5000000);
        s.mid -= s.mid % 100;
        std::string name = "T" + std::to_string(i);
        std::memset(s.symbol, ' ', 8);
        std::memcpy(s.symbol, name.data(), std::min<std::size_t>(8, name.size()));
        weights[i] = 1.0 / std::pow(i + 1.0, 1.1);  // Zipf-like activity
        head(39, 'R', i + 1, time);
        bytes(s.symbol, 8);
        bytes("QN", 2);
        put32(100);
        bytes("NCZ PN N ", 9);
        put32(0);
        bytes(" ", 1);
    }
    std::discrete_distribution<std::uint32_t> pick(weights.begin(), weights.end());
    std::vector<Order> orders;  // by reference - 1
    orders.reserve(messages / 2 + 16);
    std::uint64_t match = 1;
    const std::uint64_t span = 16ull * 3600 * 1000000000ull;
    std::geometric_distribution<std::uint32_t> away(0.3);

    auto add = [&](std::uint32_t si, char type) {
        Stock& s = stocks[si];
        char side = (rng() & 1) ? 'B' : 'S';
        std::uint32_t k = std::min<std::uint32_t>(away(rng), 200);
        std::uint32_t price = side == 'B' ? s.mid - 100 * (k + 1) : s.mid + 100 * k;
        std::uint32_t shares = 100 * (1 + static_cast<std::uint32_t>(rng() % 10));
        std::uint64_t ref = orders.size() + 1;
        orders.push_back(Order{si, price, shares, static_cast<std::uint32_t>(s.live.size()), side});
        s.live.push_back(ref);
        head(type == 'F' ? 40 : 36, type, si + 1, time);
        put64(ref);
        out.push_back(static_cast<unsigned char>(side));
        put32(shares);
        bytes(s.symbol, 8);
        put32(price);
        if (type == 'F') bytes("MPID", 4);
    };
    auto forget = [&](std::uint64_t ref) {
        Order& o = orders[ref - 1];
        Stock& s = stocks[o.stock];
        std::uint64_t last = s.live.back();
        s.live[o.slot] = last;
        orders[last - 1].slot = o.slot;
        s.live.pop_back();
    };

    for (std::uint64_t i = n_stocks; i < messages; ++i) {
        time += 1 + rng() % (2 * span / messages);
        std::uint32_t si = pick(rng);
        Stock& s = stocks[si];
        double u = unit(rng);
        if (s.live.size() < 8 || u < 0.44) {
            add(si, u < 0.01 ? 'F' : 'A');
            continue;
        }
        std::uint64_t ref = s.live[rng() % s.live.size()];
        Order& o = orders[ref - 1];
        if (u < 0.83) {  // delete
            head(19, 'D', si + 1, time);
            put64(ref);
            forget(ref);
        } else if (u < 0.92) {  // replace: a new reference near the old price
            std::uint64_t fresh = orders.size() + 1;
            std::uint32_t price = o.side == 'B' ? std::min(o.price + 100, s.mid - 100)
                                                : std::max(o.price - 100, s.mid);
            head(35, 'U', si + 1, time);
            put64(ref);
            put64(fresh);
            put32(o.shares);
            put32(price);
            Order moved{si, price, o.shares, o.slot, o.side};
            s.live[o.slot] = fresh;
            orders.push_back(moved);
        } else if (u < 0.945) {  // executed, most in full
            std::uint32_t shares = (rng() % 4 == 0 && o.shares > 100) ? o.shares / 2 : o.shares;
            bool priced = rng() % 50 == 0;
            head(priced ? 36 : 31, priced ? 'C' : 'E', si + 1, time);
            put64(ref);
            put32(shares);
            put64(match++);
            if (priced) {
                out.push_back('Y');
                put32(o.price);
            }
            o.shares -= shares;
            if (o.shares == 0) forget(ref);
        } else if (u < 0.96) {  // partial cancel
            if (o.shares <= 100) {
                head(19, 'D', si + 1, time);
                put64(ref);
                forget(ref);
            } else {
                head(23, 'X', si + 1, time);
                put64(ref);
                put32(100);
                o.shares -= 100;
            }
        } else if (u < 0.967) {  // a hidden-order trade
            head(44, 'P', si + 1, time);
            put64(0);
            out.push_back('B');
            put32(100);
            bytes(s.symbol, 8);
            put32(s.mid);
            put64(match++);
        } else {  // net order imbalance, skipped by the replay
            head(50, 'I', si + 1, time);
            put64(1000);
            put64(100);
            out.push_back('B');
            bytes(s.symbol, 8);
            put32(s.mid);
            put32(s.mid);
            put32(s.mid);
            bytes("OL", 2);
        }
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::size_t resting = 0;
    for (const Stock& s : stocks) resting += s.live.size();
    std::printf("%llu messages, %zu bytes, %u stocks, %zu orders resting at the end\n",
                static_cast<unsigned long long>(messages), out.size(), n_stocks, resting);
    return 0;
}
