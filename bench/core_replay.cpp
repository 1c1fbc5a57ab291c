// The core engine with no Python anywhere: replays a flow file written by bench/core.py and
// prints the time of each repeat, for the engine as shipped (a window of levels by price with
// sorted blocks beyond it) and for three other level indexes (sorted blocks alone, a
// red-black tree, one flat sorted array) to compare storage.
//
//   core-replay FLOW_FILE REPEATS
//
// The file holds two little-endian int64 counts (set-up events, timed events) and then the
// events as the batch API's 40-byte records. Output: one JSON object per line and variant.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "core/engine.hpp"

namespace {

using namespace velmora::core;

struct Event {
    std::int8_t kind;
    std::int8_t side;
    std::uint8_t pad[6];
    std::int64_t order_id;
    std::int64_t price;
    std::int64_t quantity;
    std::int64_t time;
};
static_assert(sizeof(Event) == 40);

// The batch API's fill record, filled in exactly as the batch replay does.
struct FillRecord {
    std::int64_t seq, aggressor_id, resting_id, price, quantity;
    std::int8_t side, kind;
    std::uint8_t pad[6];
    std::int64_t time;
};

// A side as one red-black tree keyed by the priority key.
class MapLevels {
  public:
    bool empty() const noexcept { return map_.empty(); }
    std::size_t size() const noexcept { return map_.size(); }
    std::int64_t best_key() const noexcept { return map_.rbegin()->first; }
    std::uint32_t best_level() const noexcept { return map_.rbegin()->second; }
    std::uint32_t find(std::int64_t key) const noexcept {
        auto it = map_.find(key);
        return it == map_.end() ? NIL : it->second;
    }
    void prepare_insert(std::int64_t) {}
    void insert(std::int64_t key, std::uint32_t level) { map_.emplace(key, level); }
    void pop_best() noexcept { map_.erase(std::prev(map_.end())); }
    void erase(std::int64_t key) noexcept { map_.erase(key); }
    template <class F>
    void for_each_from_best(F&& f) const {
        for (auto it = map_.rbegin(); it != map_.rend(); ++it) {
            if (!f(it->first, it->second)) {
                return;
            }
        }
    }
    // libstdc++'s node: four words of links and colour plus the pair, 48 bytes.
    std::size_t bytes() const noexcept { return map_.size() * 48; }

  private:
    std::map<std::int64_t, std::uint32_t> map_;
};

// A side as one flat sorted array, best last.
class FlatLevels {
  public:
    bool empty() const noexcept { return v_.empty(); }
    std::size_t size() const noexcept { return v_.size(); }
    std::int64_t best_key() const noexcept { return v_.back().key; }
    std::uint32_t best_level() const noexcept { return v_.back().level; }
    std::uint32_t find(std::int64_t key) const noexcept {
        auto it = std::lower_bound(v_.begin(), v_.end(), key, less);
        return (it != v_.end() && it->key == key) ? it->level : NIL;
    }
    void prepare_insert(std::int64_t) { v_.reserve(v_.size() + 1); }
    void insert(std::int64_t key, std::uint32_t level) {
        v_.insert(std::lower_bound(v_.begin(), v_.end(), key, less), Entry{key, level});
    }
    void pop_best() noexcept { v_.pop_back(); }
    void erase(std::int64_t key) noexcept {
        v_.erase(std::lower_bound(v_.begin(), v_.end(), key, less));
    }
    template <class F>
    void for_each_from_best(F&& f) const {
        for (auto it = v_.rbegin(); it != v_.rend(); ++it) {
            if (!f(it->key, it->level)) {
                return;
            }
        }
    }
    std::size_t bytes() const noexcept { return v_.capacity() * sizeof(Entry); }

  private:
    struct Entry {
        std::int64_t key;
        std::uint32_t level;
    };
    static bool less(const Entry& e, std::int64_t key) noexcept { return e.key < key; }
    std::vector<Entry> v_;
};

template <class Engine>
std::size_t apply(Engine& engine, const Event* events, std::size_t n,
                  std::vector<FillRecord>& fills) {
    for (std::size_t i = 0; i < n; ++i) {
        const Event& e = events[i];
        auto side = static_cast<Side>(e.side);
        auto sink = [&](const Fill& f) {
            fills.push_back(FillRecord{static_cast<std::int64_t>(i),
                                       e.order_id,
                                       f.resting_id,
                                       f.ticks,
                                       f.quantity,
                                       e.side,
                                       e.kind,
                                       {},
                                       e.time});
        };
        if (e.kind == 0) {
            engine.add_limit(e.order_id, side, e.price, e.quantity, e.time, sink);
        } else if (e.kind == 1) {
            engine.add_market(e.order_id, side, e.quantity, sink);
        } else {
            engine.cancel(e.order_id);
        }
    }
    return fills.size();
}

template <class Levels>
void run(const char* name, const std::vector<Event>& all, std::size_t setup, int repeats) {
    std::vector<long long> times;
    std::size_t nfills = 0, resting = 0, bytes = 0;
    for (int r = 0; r <= repeats; ++r) {  // round 0 warms up
        BasicEngine<Levels> engine;
        std::vector<FillRecord> fills;
        fills.reserve((all.size() - setup) / 2 + 16);
        apply(engine, all.data(), setup, fills);
        fills.clear();
        auto start = std::chrono::steady_clock::now();
        nfills = apply(engine, all.data() + setup, all.size() - setup, fills);
        auto stop = std::chrono::steady_clock::now();
        if (r > 0) {
            times.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
        }
        resting = engine.size();
        bytes = engine.bytes();
    }
    std::printf("{\"variant\": \"%s\", \"ns\": [", name);
    for (std::size_t i = 0; i < times.size(); ++i) {
        std::printf("%s%lld", i ? ", " : "", times[i]);
    }
    std::printf("], \"fills\": %zu, \"resting\": %zu, \"bytes\": %zu}\n", nfills, resting, bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s FLOW_FILE REPEATS [VARIANT]\n", argv[0]);
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    std::int64_t counts[2];
    if (!f || std::fread(counts, sizeof counts, 1, f) != 1 || counts[0] < 0 || counts[1] < 0) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<Event> all(static_cast<std::size_t>(counts[0] + counts[1]));
    if (std::fread(all.data(), sizeof(Event), all.size(), f) != all.size()) {
        std::fprintf(stderr, "short file %s\n", argv[1]);
        return 1;
    }
    std::fclose(f);
    int repeats = std::max(1, std::atoi(argv[2]));
    auto setup = static_cast<std::size_t>(counts[0]);
    const char* only = argc > 3 ? argv[3] : nullptr;
    auto wanted = [&](const char* name) { return !only || std::strcmp(only, name) == 0; };
    if (wanted("window")) {
        run<WindowLevels>("window", all, setup, repeats);
    }
    if (wanted("blocks")) {
        run<BlockLevels>("blocks", all, setup, repeats);
    }
    if (wanted("tree")) {
        run<MapLevels>("tree", all, setup, repeats);
    }
    if (wanted("flat")) {
        run<FlatLevels>("flat", all, setup, repeats);
    }
    return 0;
}
