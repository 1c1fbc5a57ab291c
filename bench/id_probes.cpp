// Average probes of the core's id index (positions read per look-up) for increasing, strided
// and random ids, at the loads the index runs at, against the same table placing entries by
// the low bits of the hash (the index before it took the high bits).
//
//   id-probes
//
// Each row fills a 2^17-position table to a load, then counts the probes of looking up every
// id present (hit) and 20 000 ids of the same pattern not present (miss: the duplicate check
// of every add); "stream" holds the load steady while the oldest of the ids leaves as each new
// one comes, 5 table sizes over, the way a feed's book moves, and counts both again.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "core/engine.hpp"

namespace {

using velmora::core::IdIndex;
using velmora::core::NIL;

struct Node {
    std::int64_t id;
};
using Nodes = std::vector<Node>;

// The index before: the low 32 bits of the folded product place the entry.
class LowBits {
  public:
    explicit LowBits(std::size_t size) : table_(size, NIL), mask_(size - 1) {}
    static std::uint32_t hash(std::int64_t id) {
        std::uint64_t x = static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::uint32_t>(x ^ (x >> 32));
    }
    void insert(std::int64_t id, std::uint32_t slot) {
        std::size_t i = hash(id) & mask_;
        while (table_[i] != NIL) {
            i = (i + 1) & mask_;
        }
        table_[i] = slot;
    }
    std::size_t probes(const Nodes& nodes, std::int64_t id) const {
        std::size_t n = 1;
        for (std::size_t i = hash(id) & mask_; table_[i] != NIL && nodes[table_[i]].id != id;
             i = (i + 1) & mask_) {
            ++n;
        }
        return n;
    }

  private:
    std::vector<std::uint32_t> table_;
    std::size_t mask_;
};

constexpr std::size_t SIZE = 1 << 17;

std::int64_t id_at(int pattern, std::uint64_t k, std::mt19937_64& rng) {
    switch (pattern) {
        case 0:
            return static_cast<std::int64_t>(k);  // increasing
        case 1:
            return static_cast<std::int64_t>(k * 4096);  // strided
        default:
            return static_cast<std::int64_t>(rng());  // random
    }
}

struct Figures {
    double load, hit, miss, old_hit, old_miss;
};

// Probes at `load`, after filling (stream = false) or after a long stream at that load.
Figures measure(int pattern, double load, bool stream) {
    std::mt19937_64 rng(7);
    std::size_t live = static_cast<std::size_t>(load * SIZE);
    Nodes nodes;
    IdIndex index;
    std::uint64_t k = 0;
    std::vector<std::uint32_t> ring;  // live slots, oldest first
    auto add = [&] {
        std::int64_t id = id_at(pattern, k++, rng);
        std::uint32_t slot = static_cast<std::uint32_t>(nodes.size());
        nodes.push_back(Node{id});
        index.reserve_one(nodes);
        index.insert(IdIndex::hash(id), slot);
        ring.push_back(slot);
    };
    while (ring.size() < live) {
        add();
    }
    if (stream) {
        std::size_t start = 0;
        for (std::size_t n = 0; n < 5 * SIZE; ++n) {
            std::uint32_t old = ring[start++];
            index.erase(IdIndex::hash(nodes[old].id), old, nodes);
            add();
        }
        ring.erase(ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(start));
    }
    LowBits old(index.positions());
    for (std::uint32_t slot : ring) {
        old.insert(nodes[slot].id, slot);
    }
    Figures f{};
    f.load = static_cast<double>(index.size()) / static_cast<double>(index.positions());
    for (std::uint32_t slot : ring) {
        f.hit += static_cast<double>(index.probes(IdIndex::hash(nodes[slot].id), slot));
        f.old_hit += static_cast<double>(old.probes(nodes, nodes[slot].id));
    }
    f.hit /= static_cast<double>(ring.size());
    f.old_hit /= static_cast<double>(ring.size());
    constexpr int MISSES = 20000;
    for (int n = 0; n < MISSES; ++n) {
        std::int64_t id = id_at(pattern, k++, rng);
        f.miss += static_cast<double>(index.probes(IdIndex::hash(id), NIL));
        f.old_miss += static_cast<double>(old.probes(nodes, id));
    }
    f.miss /= MISSES;
    f.old_miss /= MISSES;
    return f;
}

}  // namespace

int main() {
    const char* names[] = {"increasing", "strided 4096", "random"};
    std::printf("%-13s %-6s %5s  %8s %8s  %8s %8s\n", "ids", "", "load", "hit", "miss",
                "low hit", "low miss");
    for (bool stream : {false, true}) {
        for (int pattern = 0; pattern < 3; ++pattern) {
            for (double load : {0.45, 0.5, 0.625, 0.75, 0.8}) {
                Figures f = measure(pattern, load, stream);
                std::printf("%-13s %-6s %5.3f  %8.2f %8.2f  %8.2f %8.2f\n", names[pattern],
                            stream ? "stream" : "filled", f.load, f.hit, f.miss, f.old_hit,
                            f.old_miss);
            }
        }
    }
    return 0;
}
