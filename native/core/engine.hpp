// The integer-tick matching engine: price-time priority over 64-bit ticks, quantities and
// order ids, in plain C++ with no Python in it. The module's book type, its batch replay and
// the native benchmark all drive this one template; the benchmark also instantiates it over
// other level indexes to compare storage choices.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmora::core {

enum Side : std::uint8_t { BID = 0, ASK = 1 };

// Why an operation was refused; a refused operation has changed nothing. `unknown_id`: no
// order rests under the id named; `exceeds_open`: more than the order's open quantity.
enum class Refusal {
    none,
    bad_quantity,
    duplicate_id,
    level_overflow,
    full,
    unknown_id,
    exceeds_open
};

inline constexpr std::uint32_t NIL = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::int64_t MAX_QUANTITY = std::numeric_limits<std::int64_t>::max();

// Both sides are kept in ascending order of a key whose largest value is the best price:
// the price itself for bids, its bitwise complement for asks (order-reversing, and unlike
// negation defined for every 64-bit value). Computed without a branch or a select: the
// side (BID 0, ASK 1) negated is a mask of no bits or all bits.
static_assert(BID == 0 && ASK == 1, "side_mask relies on these values");
inline constexpr std::int64_t side_mask(Side side) noexcept {
    return -static_cast<std::int64_t>(side);
}
inline constexpr std::int64_t key_of(Side side, std::int64_t ticks) noexcept {
    return ticks ^ side_mask(side);
}
inline constexpr std::int64_t ticks_of(Side side, std::int64_t key) noexcept {
    return key ^ side_mask(side);
}

// The most node slots and level slots: node slots leave the top 4 bits of an index entry
// to a hash tag (IdIndex), level slots the top 2 bits of a node's `level` to its flags.
inline constexpr std::uint32_t MAX_NODES = (1u << 28) - 1;
inline constexpr std::uint32_t MAX_LEVELS = (1u << 30) - 1;

// One resting order: 36 bytes, packed on 4-byte boundaries (x86 and arm64 load 8 bytes from
// any address; the 4 bytes saved are a tenth of a resting order's cost). `prev`/`next` link
// the level's FIFO queue (NIL at the ends); a free node links the free list through `next`.
// `time` is when the order took its place in the queue (its entry, or the last change that
// sent it to the back).
struct [[gnu::packed, gnu::aligned(4)]] Node {
    static constexpr std::uint32_t TRADED = 1;  // part of the order has been filled
    static constexpr std::uint32_t SEEDED = 2;  // stands for volume seeded from aggregated levels

    std::int64_t id;
    std::int64_t quantity;  // open quantity, > 0 while resting
    std::int64_t time;
    std::uint32_t prev;
    std::uint32_t next;
    std::uint32_t level : 30;  // below MAX_LEVELS
    std::uint32_t flags : 2;
};
static_assert(sizeof(Node) == 36);

// One price level: 32 bytes. A level in a side holds at least one order; `total` is the sum
// of its orders' open quantities and `count` their number. A free level links through `head`.
struct Level {
    std::int64_t ticks;
    std::int64_t total;
    std::uint32_t head;
    std::uint32_t tail;
    std::uint32_t count;
    Side side;
};

// A block of memory of its own that grows in place or moves without copying where the system
// allows (Linux: a mapping of its own, grown by mremap, which moves pages rather than bytes
// and never holds the old and the new block at once), else by a copy. `bytes` 0: no block
// yet. Throws std::bad_alloc, leaving the block as it was.
inline void* grow_block(void* base, std::size_t bytes, std::size_t new_bytes) {
#if defined(__linux__)
    void* grown = bytes == 0 ? ::mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                             : ::mremap(base, bytes, new_bytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return grown;
#else
    void* grown = std::malloc(new_bytes);
    if (grown == nullptr) {
        throw std::bad_alloc();
    }
    if (bytes > 0) {
        std::memcpy(grown, base, bytes);
    }
    std::free(base);
    return grown;
#endif
}
inline void free_block(void* base, std::size_t bytes) noexcept {
#if defined(__linux__)
    if (bytes > 0) {
        ::munmap(base, bytes);
    }
#else
    (void)bytes;
    std::free(base);
#endif
}

// A slab of T addressed by slot numbers below `Max` through one base pointer: an access is
// one multiply-add, not the two dependent loads of a table of chunks. A slab starts empty and
// small: below CHUNK slots it lives in the C heap and grows by a quarter (4 slots at least),
// so a book of a few orders holds a few hundred bytes, not a chunk, and a small book's slab is
// on average about a ninth larger than its orders need; from CHUNK slots on it is a
// block of its own grown CHUNK slots at a time (grow_block), so a big book's capacity stays
// within one chunk of the slots in use; where that growth copies, by an eighth at least.
// Growth may move the slab: a reference into it does not survive reserve_one(). Free slots
// are chained through the member `Link`. T must be trivially copyable (the slab is copied and
// moved as bytes).
template <class T, std::uint32_t T::* Link, std::uint32_t Max>
class Pool {
  public:
    static constexpr std::uint32_t CHUNK = 1024;
    static constexpr std::uint32_t FIRST = 4;  // the slots of the first allocation
    static_assert(std::is_trivially_copyable_v<T>);

    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() { release_block(base_, capacity_); }

    T& operator[](std::uint32_t slot) noexcept { return base_[slot]; }
    const T& operator[](std::uint32_t slot) const noexcept { return base_[slot]; }
    // Makes sure the next acquire() cannot allocate. May throw std::bad_alloc; returns false
    // when the slot numbers are exhausted.
    [[gnu::always_inline]] bool reserve_one() {
        return free_ != NIL || used_ < capacity_ || grow();
    }
    // Requires a successful reserve_one() since the last acquire().
    std::uint32_t acquire() noexcept {
        if (free_ != NIL) {
            std::uint32_t slot = free_;
            free_ = base_[slot].*Link;
            return slot;
        }
        return used_++;
    }
    void release(std::uint32_t slot) noexcept {
        base_[slot].*Link = free_;
        free_ = slot;
    }
    std::size_t bytes() const noexcept { return std::size_t{capacity_} * sizeof(T); }
    std::uint32_t capacity() const noexcept { return capacity_; }

  private:
    [[gnu::noinline]] bool grow() {
        constexpr std::uint32_t most = Max / CHUNK * CHUNK;
        if (capacity_ >= most) {
            return false;
        }
        if (capacity_ < CHUNK) {
            // In the C heap: by a quarter, up to the first chunk, which is a block of its own.
            std::uint32_t capacity = std::min(CHUNK, capacity_ + std::max(FIRST, capacity_ / 4));
            T* grown;
            if (capacity < CHUNK) {
                grown = static_cast<T*>(std::realloc(base_, bytes_for(capacity)));
                if (grown == nullptr) {
                    throw std::bad_alloc();
                }
            } else {
                grown = static_cast<T*>(grow_block(nullptr, 0, bytes_for(capacity)));
                if (capacity_ > 0) {
                    std::memcpy(static_cast<void*>(grown), base_, bytes_for(capacity_));
                }
                std::free(base_);
            }
            base_ = grown;
            capacity_ = capacity;
            return true;
        }
        std::uint32_t capacity = capacity_ + CHUNK;
#if !defined(__linux__)
        // Growth copies here: by an eighth at least, so that the copies stay linear.
        capacity = std::min(most, std::max(capacity, capacity_ + capacity_ / 8 / CHUNK * CHUNK));
#endif
        base_ = static_cast<T*>(grow_block(base_, bytes_for(capacity_), bytes_for(capacity)));
        capacity_ = capacity;
        return true;
    }
    static std::size_t bytes_for(std::uint32_t capacity) noexcept {
        return std::size_t{capacity} * sizeof(T);
    }
    static void release_block(T* base, std::uint32_t capacity) noexcept {
        if (capacity < CHUNK) {
            std::free(base);
        } else {
            free_block(base, bytes_for(capacity));
        }
    }

    T* base_ = nullptr;
    std::uint32_t used_ = 0;      // slots ever handed out
    std::uint32_t capacity_ = 0;  // slots the slab holds
    std::uint32_t free_ = NIL;
};

// The id index: order id -> node slot, open addressing with linear probing and
// backward-shift deletion (no tombstones). An entry is 4 bytes: the slot (below MAX_NODES), a
// bit set when the entry sits away from its home position, and a 3-bit tag from the id's
// hash, which screens 7 of 8 mismatches without reading the node. An entry's home position
// is the top bits of the id's multiplicative hash: on ids that grow by one or by a stride,
// the low bits of the product repeat with a short period and would pile the entries into
// long runs, the high bits spread them evenly. Growth, and a backward shift past an entry
// away from home, read the entry's node for its id and so its home; an entry at home never
// moves in a backward shift, and most entries are at home. The load stays at most 4/5: a table of
// 2^17 positions then holds a 100 000-order book at 5.2 bytes an order, and probes stay short
// (bench/id_probes.cpp: at 4/5, 1.06 and 1.74 positions to find a present and an absent
// increasing id, 3.0 and 13 for random ids).
class IdIndex {
  public:
    IdIndex() = default;

    // The hash that places an id; computed once per operation and passed to the others.
    static std::uint32_t hash(std::int64_t id) noexcept {
        return static_cast<std::uint32_t>(
            (static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ULL) >> 32);
    }

    // The slot of id (hash h), or NIL; then *place is where insert_at() would put it. The
    // table always has a position (an empty one before the first growth), so the walk needs
    // no test for an empty table.
    template <class Nodes>
    [[gnu::always_inline]] std::uint32_t find(std::int64_t id, std::uint32_t h, const Nodes& nodes,
                                              std::size_t* place) const noexcept {
        std::uint32_t tag = tag_of(h);
        for (std::size_t i = home(h);; i = (i + 1) & mask_) {
            std::uint32_t e = table_[i];
            if (e == EMPTY) {
                *place = i;
                return NIL;
            }
            if ((e & TAG) == tag && nodes[e & SLOT].id == id) {
                return e & SLOT;
            }
        }
    }
    template <class Nodes>
    [[gnu::always_inline]] std::uint32_t find(std::int64_t id, std::uint32_t h,
                                              const Nodes& nodes) const noexcept {
        std::size_t place;
        return find(id, h, nodes, &place);
    }
    // Makes room for one more entry. May throw std::bad_alloc, changing nothing.
    template <class Nodes>
    [[gnu::always_inline]] void reserve_one(const Nodes& nodes) {
        if (count_ >= limit_) {
            grow(nodes);
        }
    }
    // Requires reserve_one() and an id not yet present.
    void insert(std::uint32_t h, std::uint32_t slot) noexcept {
        std::size_t i = home(h);
        while (table_[i] != EMPTY) {
            i = (i + 1) & mask_;
        }
        insert_at(i, h, slot);
    }
    // Puts an entry at the place a find() of its id answered, with no entry added, removed or
    // moved since (nor a growth: reserve_one() goes before that find()).
    void insert_at(std::size_t place, std::uint32_t h, std::uint32_t slot) noexcept {
        table_[place] = tag_of(h) | (place == home(h) ? 0 : AWAY) | slot;
        ++count_;
    }
    // Removes the entry of node `slot`, whose id has hash h. The walk to it compares slots,
    // which are unique, so it reads no node.
    template <class Nodes>
    void erase(std::uint32_t h, std::uint32_t slot, const Nodes& nodes) noexcept {
        std::size_t i = home(h);
        while ((table_[i] & SLOT) != slot) {
            i = (i + 1) & mask_;
        }
        // Backward shift: pull later entries of the run into the hole when their home
        // position does not lie cyclically in (hole, j].
        for (std::size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
            std::uint32_t e = table_[j];
            if (e == EMPTY) {
                break;
            }
            if (!(e & AWAY)) {
                continue;  // at home, which lies in (hole, j]
            }
            std::size_t at = home(hash(nodes[e & SLOT].id));
            bool stays = (i <= j) ? (i < at && at <= j) : (i < at || at <= j);
            if (!stays) {
                table_[i] = at == i ? e & ~AWAY : e;
                i = j;
            }
        }
        table_[i] = EMPTY;
        --count_;
    }
    // Starts loading the position a look-up of hash h reads first.
    void prefetch(std::uint32_t h) const noexcept { __builtin_prefetch(&table_[home(h)]); }
    // Positions a look-up of hash h reads before it stops at `slot` or an empty position.
    std::size_t probes(std::uint32_t h, std::uint32_t slot) const noexcept {
        std::size_t n = 1;
        for (std::size_t i = home(h); table_[i] != EMPTY && (table_[i] & SLOT) != slot;
             i = (i + 1) & mask_) {
            ++n;
        }
        return n;
    }
    // Every entry can be reached from its home without crossing an empty position and carries
    // its id's tag, the count matches and the load is at most 4/5; a description of the first
    // breach, or nullptr.
    template <class Nodes>
    const char* check(const Nodes& nodes) const {
        std::size_t n = 0;
        for (std::size_t i = 0; i < table_.size(); ++i) {
            std::uint32_t e = table_[i];
            if (e == EMPTY) {
                continue;
            }
            ++n;
            std::uint32_t h = hash(nodes[e & SLOT].id);
            if ((e & TAG) != tag_of(h) || ((e & AWAY) != 0) != (home(h) != i)) {
                return "id index entry carries the wrong tag or away bit";
            }
            for (std::size_t j = home(h); j != i; j = (j + 1) & mask_) {
                if (table_[j] == EMPTY) {
                    return "id index entry cut off from its home by an empty position";
                }
            }
        }
        if (n != count_ || count_ * 5 > table_.size() * 4) {
            return "id index count or load broken";
        }
        return nullptr;
    }
    std::size_t size() const noexcept { return count_; }
    std::size_t positions() const noexcept { return table_.size(); }
    std::size_t bytes() const noexcept { return table_.capacity() * sizeof(std::uint32_t); }

  private:
    template <class Nodes>
    [[gnu::noinline]] void grow(const Nodes& nodes) {
        std::vector<std::uint32_t> bigger(std::max<std::size_t>(16, table_.size() * 2), EMPTY);
        std::size_t mask = bigger.size() - 1;
        unsigned shift = 32 - static_cast<unsigned>(std::countr_zero(bigger.size()));
        for (std::uint32_t e : table_) {
            if (e != EMPTY) {
                std::size_t i = hash(nodes[e & SLOT].id) >> shift;
                std::uint32_t away = 0;
                while (bigger[i] != EMPTY) {
                    i = (i + 1) & mask;
                    away = AWAY;
                }
                bigger[i] = (e & ~AWAY) | away;
            }
        }
        table_.swap(bigger);
        mask_ = mask;
        shift_ = shift;
        limit_ = holds(table_.size());
    }

    static constexpr std::uint32_t SLOT = MAX_NODES;  // the low 28 bits
    static constexpr std::uint32_t AWAY = 1u << 28;
    static constexpr std::uint32_t TAG = 7u << 29;
    // No slot is MAX_NODES, so no entry is all ones.
    static constexpr std::uint32_t EMPTY = ~std::uint32_t{0};

    static std::uint32_t tag_of(std::uint32_t h) noexcept { return h << 29; }
    std::size_t home(std::uint32_t h) const noexcept {
        return static_cast<std::size_t>(std::uint64_t{h} >> shift_);
    }

    // The most entries a table of n positions holds: a load of 4/5.
    static std::size_t holds(std::size_t n) noexcept { return n / 5 * 4; }

    std::vector<std::uint32_t> table_ = std::vector<std::uint32_t>(1, EMPTY);
    std::size_t mask_ = 0;
    unsigned shift_ = 32;
    std::size_t count_ = 0;
    std::size_t limit_ = 0;  // grow before holding more entries than this
};

// One side's price levels in ascending key order (best last), as a list of sorted blocks of
// at most BLOCK entries. Activity concentrates near the best price, which sits at the end of
// the last block: finding, adding or removing a level there touches one short array, and a
// level far away costs a search over the block boundaries plus a shift within one block,
// never a shift of the whole side. A side's first block starts with room for a few levels and
// grows by doubling to BLOCK (a side of a few levels holds a few entries, not a full block);
// the blocks a split makes have full size. Inserting a level after prepare_insert() and every
// removal are free of allocation.
class BlockLevels {
  public:
    static constexpr std::size_t BLOCK = 64;
    static constexpr std::size_t FIRST = 4;  // the entries of a side's first block

    bool empty() const noexcept { return blocks_.empty(); }
    std::size_t size() const noexcept { return size_; }
    std::int64_t best_key() const noexcept { return blocks_.back().back().key; }
    std::uint32_t best_level() const noexcept { return blocks_.back().back().level; }

    std::uint32_t find(std::int64_t key) const noexcept {
        if (blocks_.empty()) {
            return NIL;
        }
        const Block& b = blocks_[block_for(key)];
        auto it = position(b, key);
        return (it != b.end() && it->key == key) ? it->level : NIL;
    }
    // Makes sure insert(key, ...) cannot allocate; may throw std::bad_alloc, and may split a
    // full block (which changes no key and no order).
    void prepare_insert(std::int64_t key) {
        if (blocks_.empty()) {
            // The first block comes from `spare_` at insert(): an empty block is never kept
            // in `blocks_`, since the order may trade away instead of resting.
            spare_.reserve(FIRST);
            blocks_.reserve(1);
            return;
        }
        std::size_t bi = block_for(key);
        if (blocks_[bi].size() < blocks_[bi].capacity()) {
            return;
        }
        if (blocks_[bi].size() < BLOCK) {
            blocks_[bi].reserve(std::min(BLOCK, blocks_[bi].size() * 2));
            return;
        }
        Block half;
        half.reserve(BLOCK);
        blocks_.reserve(blocks_.size() + 1);
        Block& full = blocks_[bi];
        half.assign(full.begin() + BLOCK / 2, full.end());
        full.erase(full.begin() + BLOCK / 2, full.end());
        blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(bi) + 1, std::move(half));
    }
    // Requires prepare_insert(key) and a key not present.
    void insert(std::int64_t key, std::uint32_t level) noexcept {
        if (blocks_.empty()) {
            blocks_.push_back(std::move(spare_));
        }
        Block& b = blocks_[block_for(key)];
        b.insert(position(b, key), Entry{key, level});
        ++size_;
    }
    void pop_best() noexcept {
        blocks_.back().pop_back();
        if (blocks_.back().empty()) {
            spare_ = std::move(blocks_.back());  // kept for the next first level
            blocks_.pop_back();
        }
        --size_;
    }
    // Requires the key to be present.
    void erase(std::int64_t key) noexcept {
        std::size_t bi = block_for(key);
        Block& b = blocks_[bi];
        b.erase(position(b, key));
        --size_;
        if (b.empty()) {
            spare_ = std::move(b);
            blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(bi));
        } else if (b.size() < BLOCK / 4 && bi + 1 < blocks_.size() &&
                   b.size() + blocks_[bi + 1].size() <= blocks_[bi + 1].capacity()) {
            // Keep blocks reasonably full so that many sparse removals cannot leave a block
            // per level; the next block has room for both, so the merge does not allocate.
            Block& next = blocks_[bi + 1];
            next.insert(next.begin(), b.begin(), b.end());
            blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(bi));
        }
    }
    // Calls f(key, level) from the best level down while it returns true.
    template <class F>
    void for_each_from_best(F&& f) const {
        for (auto b = blocks_.rbegin(); b != blocks_.rend(); ++b) {
            for (auto e = b->rbegin(); e != b->rend(); ++e) {
                if (!f(e->key, e->level)) {
                    return;
                }
            }
        }
    }
    // The entry with the lowest key at least `key`: false when there is none.
    bool first_from(std::int64_t key, std::int64_t* found, std::uint32_t* level) const noexcept {
        if (blocks_.empty()) {
            return false;
        }
        std::size_t bi = block_for(key);
        const Block& b = blocks_[bi];
        auto it = lower(b.begin(), b.end(), key);
        if (it == b.end()) {
            if (bi + 1 == blocks_.size()) {
                return false;
            }
            it = blocks_[bi + 1].begin();
        }
        *found = it->key;
        *level = it->level;
        return true;
    }
    // How many entries have keys in [from, to], counting up to `most` at most.
    std::size_t count_between(std::int64_t from, std::int64_t to, std::size_t most) const noexcept {
        if (blocks_.empty()) {
            return 0;
        }
        std::size_t n = 0;
        for (std::size_t bi = block_for(from); bi < blocks_.size(); ++bi) {
            const Block& b = blocks_[bi];
            for (auto it = lower(b.begin(), b.end(), from); it != b.end(); ++it) {
                if (it->key > to || n == most) {
                    return n;
                }
                ++n;
            }
        }
        return n;
    }
    // No block is empty and the keys ascend through all of them; a description of the first
    // breach, or nullptr.
    const char* check() const noexcept {
        std::size_t n = 0;
        for (std::size_t bi = 0; bi < blocks_.size(); ++bi) {
            const Block& b = blocks_[bi];
            if (b.empty() || b.size() > BLOCK || b.capacity() < b.size() ||
                (bi > 0 && blocks_[bi - 1].back().key >= b.front().key)) {
                return "level block empty, overfull or out of order";
            }
            n += b.size();
        }
        return n == size_ ? nullptr : "level blocks miscounted";
    }
    std::size_t bytes() const noexcept {
        std::size_t n = blocks_.capacity() * sizeof(Block) + spare_.capacity() * sizeof(Entry);
        for (const Block& b : blocks_) {
            n += b.capacity() * sizeof(Entry);
        }
        return n;
    }

  private:
    struct Entry {
        std::int64_t key;
        std::uint32_t level;
    };
    using Block = std::vector<Entry>;

    // The first of the entries in [first, last) whose key is at least key: a binary search
    // whose steps pick the half with a conditional move rather than a branch.
    template <class It>
    static It lower(It first, It last, std::int64_t key) noexcept {
        std::ptrdiff_t n = last - first;
        if (n == 0) {
            return first;
        }
        while (n > 1) {
            std::ptrdiff_t half = n / 2;
            first = first[half].key < key ? first + half : first;
            n -= half;
        }
        return first + (first->key < key);
    }

    // The first entry of b whose key is at least key. Most searches are for levels a few
    // places from the best, at the end of the last block: a short scan back from the end
    // beats a binary search there. A key below the last eight goes straight to the search.
    template <class B>
    static auto position(B& b, std::int64_t key) noexcept -> decltype(b.begin()) {
        auto it = b.end();
        if (b.size() > 8 && (it - 8)->key >= key) {
            return lower(b.begin(), it - 8, key);
        }
        for (int steps = 0; steps < 8 && it != b.begin(); ++steps) {
            if ((it - 1)->key < key) {
                return it;
            }
            --it;
        }
        return lower(b.begin(), it, key);
    }

    // The block that holds key, or where it belongs: the last block whose first key is at
    // most key (the first block for keys below every block).
    std::size_t block_for(std::int64_t key) const noexcept {
        std::size_t n = blocks_.size();
        if (n == 1 || blocks_[n - 1].front().key <= key) {
            return n - 1;
        }
        // The answer lies in [base, base + len); each step keeps the half that holds it.
        std::size_t base = 0, len = n - 1;
        while (len > 1) {
            std::size_t half = len / 2;
            base = blocks_[base + half].front().key <= key ? base + half : base;
            len -= half;
        }
        return base;
    }

    std::vector<Block> blocks_;  // never holds an empty block
    Block spare_;                // an emptied block's storage, reused for the next first one
    std::size_t size_ = 0;
};

// One side's price levels, best (largest key) first, for prices on a tick grid: levels whose
// key lies in a window of consecutive keys sit in an array indexed by key, with a bitmap of
// the positions in use (and a word saying which bitmap words are non-zero) to find the next
// best in a few instructions; levels outside the window, far from the best, sit in sorted
// blocks. A side starts without a window, its levels in the blocks. The window comes, NARROW
// keys wide, once that many keys around the best hold a few levels, and doubles (up to WIDTH
// keys) when a new level falls in the wider window and that would hold at least one level per
// DENSITY keys: a book of a few
// orders, or one whose levels lie many keys apart, holds no window, and a window costs at most
// about 66 bytes per level it holds (4 bytes a key and a bit). The window follows the market:
// a new level just above it (within its width) or the first level of a side whose window holds
// none moves it so that the level sits three quarters of the way up, moving the levels it
// leaves into the blocks and those it reaches out of them. A move touches at most a width of
// levels, and moves are at least a quarter width of insertions and removals apart, so no
// sequence of prices costs more than a few level moves per operation; what cannot move the
// window goes to the blocks, which handle any key.
class WindowLevels {
  public:
    static constexpr std::size_t WIDTH = 4096;  // the widest window
    static constexpr std::size_t NARROW = 64;   // the first window
    static constexpr std::size_t DENSITY = 16;  // keys per level a window may have at most
    static_assert(WIDTH / 64 == 64, "one summary word");

    WindowLevels() = default;
    WindowLevels(const WindowLevels&) = delete;
    WindowLevels& operator=(const WindowLevels&) = delete;
    ~WindowLevels() { std::free(slots_); }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    std::int64_t best_key() const noexcept { return best_key_; }
    std::uint32_t best_level() const noexcept { return best_level_; }

    std::uint32_t find(std::int64_t key) const noexcept {
        std::uint64_t at = offset(key);
        return at < width_ ? slots_[at] : far_.find(key);
    }
    // Makes sure insert(key, ...) cannot allocate; may throw std::bad_alloc, and may make,
    // widen or move the window (which changes no key and no level).
    void prepare_insert(std::int64_t key) {
        if (offset(key) < width_) {
            return;
        }
        // A doubled window reaches at most one width beyond the current one: a key further
        // out (a level far from the best) does not look at all.
        if (width_ < WIDTH && size_ + 1 >= (width_ ? width_ * 2 : NARROW) / DENSITY &&
            (width_ == 0 || offset(key) + width_ < 3 * width_)) {
            widen(key);
        }
        if (width_ != 0 && offset(key) >= width_) {
            if (size_ == 0) {
                lo_ = low_end_for(key, width_);  // nothing to move
            } else if (credit_ >= width_ / 4) {
                if (in_window_ == 0) {
                    rebase(std::max(key, far_.best_key()));
                } else if (std::uint64_t above =
                               static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(top());
                           key > top() && above <= width_) {
                    move_up(key);
                }
            }
        }
        if (offset(key) >= width_) {
            far_.prepare_insert(key);
        }
    }
    // Requires prepare_insert(key) and a key not present.
    void insert(std::int64_t key, std::uint32_t level) noexcept {
        std::uint64_t at = offset(key);
        if (at < width_) {
            put(at, level);
        } else {
            far_.insert(key, level);
        }
        if (size_ == 0 || key > best_key_) {
            best_key_ = key;
            best_level_ = level;
        }
        ++size_;
        credit_ += credit_ < CREDIT;
    }
    void pop_best() noexcept { erase(best_key_); }
    // Requires the key to be present.
    void erase(std::int64_t key) noexcept {
        std::uint64_t at = offset(key);
        if (at < width_) {
            clear(at);
        } else {
            far_.erase(key);
            at = width_ - 1;  // only read while the window holds a level
        }
        --size_;
        credit_ += credit_ < CREDIT;
        if (key == best_key_ && size_ > 0) {
            refresh_best(static_cast<std::size_t>(at));
        }
    }
    // Calls f(key, level) from the best level down while it returns true.
    template <class F>
    void for_each_from_best(F&& f) const {
        std::size_t at = in_window_ ? below(width_ - 1) : NONE;
        bool going = true;
        far_.for_each_from_best([&](std::int64_t key, std::uint32_t level) {
            for (; at != NONE && key_at(at) > key; at = at ? below(at - 1) : NONE) {
                if (!f(key_at(at), slots_[at])) {
                    return going = false;
                }
            }
            return going = f(key, level);
        });
        for (; going && at != NONE; at = at ? below(at - 1) : NONE) {
            going = f(key_at(at), slots_[at]);
        }
    }
    // The window's width is one of the allowed ones and lies in the key range, the bitmap and
    // its summary match the window's slots, the blocks hold no key inside the window, the
    // counts add up and the cached best is the best; a description of the first breach, or
    // nullptr.
    const char* check() const {
        if (const char* problem = far_.check()) {
            return problem;
        }
        if (width_ != 0 && (width_ < NARROW || width_ > WIDTH || !std::has_single_bit(width_) ||
                            lo_ > highest_low(width_))) {
            return "level window of a wrong width or out of the key range";
        }
        std::size_t used = 0;
        for (std::size_t at = 0; at < width_; ++at) {
            bool bit = (bits_[at / 64] >> (at % 64)) & 1;
            if (bit != (slots_[at] != NIL) ||
                ((summary_ >> (at / 64)) & 1) != (bits_[at / 64] != 0)) {
                return "level window bitmap does not match its slots";
            }
            used += bit;
        }
        if ((width_ == 0 && summary_ != 0) || used != in_window_ ||
            in_window_ + far_.size() != size_) {
            return "level window miscounted";
        }
        const char* problem = nullptr;
        bool first = true;
        for_each_from_best([&](std::int64_t key, std::uint32_t level) {
            if (first && (key != best_key_ || level != best_level_)) {
                problem = "cached best level is not the best";
            }
            first = false;
            return !problem;
        });
        far_.for_each_from_best([&](std::int64_t key, std::uint32_t) {
            if (offset(key) < width_) {
                problem = "a level in the blocks lies inside the window";
            }
            return !problem;
        });
        return problem;
    }
    std::size_t bytes() const noexcept { return window_bytes(width_) + far_.bytes(); }
    // The window's width in keys (0: none yet).
    std::size_t width() const noexcept { return width_; }

  private:
    static constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();
    static constexpr std::uint32_t CREDIT = WIDTH / 4;  // the cap of credit_

    // A window's one allocation: its slots, then its bitmap.
    static constexpr std::size_t window_bytes(std::size_t width) noexcept {
        return width * sizeof(std::uint32_t) + width / 8;
    }
    // The position of key in the window: inside it when below width_ (0 while there is none).
    std::uint64_t offset(std::int64_t key) const noexcept {
        return static_cast<std::uint64_t>(key) - static_cast<std::uint64_t>(lo_);
    }
    std::int64_t key_at(std::size_t at) const noexcept {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(lo_) + at);
    }
    std::int64_t top() const noexcept { return key_at(width_ - 1); }
    // The low end of a window of `width` keys that puts key three quarters of the way up,
    // within the range.
    static std::int64_t low_end_for(std::int64_t key, std::size_t width) noexcept {
        const std::int64_t below_key = static_cast<std::int64_t>(width * 3 / 4);
        if (key < std::numeric_limits<std::int64_t>::min() + below_key) {
            return std::numeric_limits<std::int64_t>::min();
        }
        return std::min(key - below_key, highest_low(width));
    }
    static std::int64_t highest_low(std::size_t width) noexcept {
        return std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(width - 1);
    }

    void put(std::size_t at, std::uint32_t level) noexcept {
        slots_[at] = level;
        bits_[at / 64] |= std::uint64_t{1} << (at % 64);
        summary_ |= std::uint64_t{1} << (at / 64);
        ++in_window_;
    }
    void clear(std::size_t at) noexcept {
        slots_[at] = NIL;
        bits_[at / 64] &= ~(std::uint64_t{1} << (at % 64));
        if (bits_[at / 64] == 0) {
            summary_ &= ~(std::uint64_t{1} << (at / 64));
        }
        --in_window_;
    }
    // The highest position at most `at` in use, or NONE.
    std::size_t below(std::size_t at) const noexcept {
        std::size_t w = at / 64;
        std::uint64_t word = bits_[w] & (~std::uint64_t{0} >> (63 - at % 64));
        if (word == 0) {
            std::uint64_t words = summary_ & ((std::uint64_t{1} << w) - 1);
            if (words == 0) {
                return NONE;
            }
            w = 63 - static_cast<std::size_t>(std::countl_zero(words));
            word = bits_[w];
        }
        return w * 64 + 63 - static_cast<std::size_t>(std::countl_zero(word));
    }
    // After the best level left: the window's levels all lie at or below position `from`
    // (where the best was, or the window's top when the best was in the blocks).
    void refresh_best(std::size_t from) noexcept {
        bool found = false;
        if (in_window_ > 0) {
            std::size_t at = below(from);
            best_key_ = key_at(at);
            best_level_ = slots_[at];
            found = true;
        }
        if (!far_.empty() && (!found || far_.best_key() > best_key_)) {
            best_key_ = far_.best_key();
            best_level_ = far_.best_level();
        }
    }

    // Makes the first window (NARROW keys) or doubles the window, placed so that the higher
    // of `key` and the best sits three quarters of the way up, as far as a doubled window
    // keeps every key of the current one, when the new window holds `key` and would hold at
    // least a level per DENSITY keys; the levels of the blocks it covers move into it. May
    // throw std::bad_alloc, changing nothing. Looking costs a block search and a few steps:
    // the count stops at the first key past the new window, and a key the new window would
    // not hold (far from the best) is not looked for at all.
    void widen(std::int64_t key) {
        std::size_t width = width_ == 0 ? NARROW : width_ * 2;
        std::int64_t lo = low_end_for(std::max(key, best_key_), width);  // size_ > 0 here
        if (width_ != 0) {
            std::int64_t least =
                lo_ < std::numeric_limits<std::int64_t>::min() + static_cast<std::int64_t>(width_)
                    ? std::numeric_limits<std::int64_t>::min()
                    : lo_ - static_cast<std::int64_t>(width_);
            lo = std::clamp(lo, least, std::min(lo_, highest_low(width)));
        }
        std::int64_t hi = static_cast<std::int64_t>(static_cast<std::uint64_t>(lo) + width - 1);
        if (key < lo || key > hi) {
            return;
        }
        std::size_t need = width / DENSITY;
        // The blocks hold no key of the current window, so this counts the keys the wider
        // window adds.
        if (in_window_ + 1 + far_.count_between(lo, hi, need) < need) {
            return;
        }
        void* block = std::malloc(window_bytes(width));
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        std::uint32_t* old = slots_;
        std::size_t old_width = width_;
        std::int64_t old_lo = lo_;
        slots_ = static_cast<std::uint32_t*>(block);
        bits_ = reinterpret_cast<std::uint64_t*>(slots_ + width);
        std::fill(slots_, slots_ + width, NIL);
        std::fill(bits_, bits_ + width / 64, 0);
        summary_ = 0;
        in_window_ = 0;
        width_ = width;
        lo_ = lo;
        for (std::size_t at = 0; at < old_width; ++at) {
            if (old[at] != NIL) {
                put(static_cast<std::size_t>(static_cast<std::uint64_t>(old_lo) + at -
                                             static_cast<std::uint64_t>(lo)),
                    old[at]);
            }
        }
        std::free(old);
        take_in();
    }
    // Moves the empty window so that `key` sits three quarters of the way up, and the levels
    // of the blocks it now covers into it.
    void rebase(std::int64_t key) noexcept {
        lo_ = low_end_for(key, width_);
        take_in();
        credit_ = 0;
    }
    // Moves the window up so that `key`, above it, sits three quarters of the way up: the
    // levels below its new low end go to the blocks (which may throw std::bad_alloc, leaving
    // every level filed in one place or the other), the rest shift down, and the levels of
    // the blocks it now covers come in.
    void move_up(std::int64_t key) {
        std::int64_t lo = low_end_for(key, width_);
        std::size_t shift = static_cast<std::size_t>(offset(lo));  // below twice the width
        std::size_t leaving = std::min(shift, width_);
        std::size_t out = leaving;
        try {
            while (out-- > 0) {
                if (slots_[out] != NIL) {
                    far_.prepare_insert(key_at(out));
                    far_.insert(key_at(out), slots_[out]);
                    clear(out);
                }
            }
        } catch (const std::bad_alloc&) {
            // The window has not moved: the levels already in the blocks are inside it, where
            // no block may hold one. They go back (removals from the blocks never allocate).
            for (std::size_t back = out + 1; back < leaving; ++back) {
                std::uint32_t level = far_.find(key_at(back));
                if (level != NIL) {
                    far_.erase(key_at(back));
                    put(back, level);
                }
            }
            throw;
        }
        if (shift < width_) {
            std::copy(slots_ + shift, slots_ + width_, slots_);
            std::fill(slots_ + (width_ - shift), slots_ + width_, NIL);
        }
        lo_ = lo;
        std::fill(bits_, bits_ + width_ / 64, 0);
        summary_ = 0;
        in_window_ = 0;
        for (std::size_t at = 0; at < width_; ++at) {
            if (slots_[at] != NIL) {
                put(at, slots_[at]);
            }
        }
        take_in();
        credit_ = 0;
    }
    // Moves the levels of the blocks inside the window into it.
    void take_in() noexcept {
        std::int64_t key;
        std::uint32_t level;
        while (far_.first_from(lo_, &key, &level) && offset(key) < width_) {
            far_.erase(key);
            put(static_cast<std::size_t>(offset(key)), level);
        }
    }

    std::uint32_t* slots_ = nullptr;  // width_ level slots (NIL: none)
    std::uint64_t* bits_ = nullptr;   // width_ / 64 words after them: bit at: slots_[at] is used
    std::uint64_t width_ = 0;         // keys in the window: 0 (none yet), NARROW .. WIDTH
    std::uint64_t summary_ = 0;       // bit w: bits_[w] is not 0
    std::int64_t lo_ = 0;             // the key at position 0
    std::size_t in_window_ = 0;
    BlockLevels far_;
    std::size_t size_ = 0;
    std::int64_t best_key_ = 0;  // valid while size_ > 0
    std::uint32_t best_level_ = NIL;
    std::uint32_t credit_ = CREDIT;  // insertions and removals since the last move, capped
};

// One fill as the engine reports it to a sink: the resting order's id, the price (the
// resting level's) and the quantity.
struct Fill {
    std::int64_t resting_id;
    std::int64_t ticks;
    std::int64_t quantity;
};

// A resting order as the look-ups report it.
struct OrderView {
    Side side;
    std::int64_t ticks;
    std::int64_t quantity;
    std::int64_t time;
    bool traded;
    bool seeded;
};

// The price a snapshot gives a level beyond a side's depth (its total is 0): the far end of
// the range, so that a row stays sorted from the best price outwards.
inline constexpr std::int64_t empty_ticks(Side side) noexcept {
    return side == BID ? std::numeric_limits<std::int64_t>::min()
                       : std::numeric_limits<std::int64_t>::max();
}

// The book. Invariants after every public operation:
//  - every order in `ids_` sits in exactly one level's queue, on that level's side; every
//    level in a side's index holds at least one order, and its total and count match its
//    queue;
//  - the best bid is below the best ask (the book is never crossed), except in feed mode.
// Sinks are called as sink(const Fill&) and must not throw. Every operation that changes a
// level at or above its side's watch (see top()) records it for changes(), which lets a
// caller keep the top levels without walking them after every event.
template <class Levels>
class BasicEngine {
  public:
    // A limit order: trades while it crosses the opposite best price, at the resting
    // orders' prices and oldest first, then rests what is left, stamped `time`. Refused
    // (nothing changed) for a non-positive quantity, an id already resting, or a level total
    // that would pass MAX_QUANTITY. May throw std::bad_alloc before changing anything.
    template <class Sink>
    [[gnu::always_inline]] Refusal add_limit(std::int64_t id, Side side, std::int64_t ticks,
                                             std::int64_t quantity, std::int64_t time,
                                             Sink&& sink) {
        std::uint32_t level;
        std::uint32_t h = IdIndex::hash(id);
        std::size_t place;
        Refusal refusal = prepare_rest(id, side, ticks, quantity, h, &level, &place);
        if (refusal != Refusal::none) {
            return refusal;
        }
        // Nothing below allocates or fails. In feed mode the order rests whatever it crosses.
        Side other = side == BID ? ASK : BID;
        // The other side's key of a price is the complement of this side's.
        std::int64_t left = feed_ ? quantity : take(other, ~key_of(side, ticks), quantity, sink);
        if (left > 0) {
            std::uint32_t slot = nodes_.acquire();
            nodes_[slot] = Node{id, left, time, NIL, NIL, 0, left != quantity ? Node::TRADED : 0u};
            append(side, ticks, level, slot);
            if (left == quantity) {
                ids_.insert_at(place, h, slot);  // nothing traded: the index is as found
            } else {
                ids_.insert(h, slot);
            }
        }
        return Refusal::none;
    }

    // A market order: trades against the opposite side, best first, until filled or the side
    // is empty; it never rests. Refused for a non-positive quantity or an id already resting.
    template <class Sink>
    Refusal add_market(std::int64_t id, Side side, std::int64_t quantity, Sink&& sink) {
        if (quantity <= 0) {
            return Refusal::bad_quantity;
        }
        if (contains(id)) {
            return Refusal::duplicate_id;
        }
        Side other = side == BID ? ASK : BID;
        take(other, std::numeric_limits<std::int64_t>::min(), quantity, sink);
        return Refusal::none;
    }

    // Withdraws a resting order; false when no order with that id rests.
    [[gnu::always_inline]] bool cancel(std::int64_t id) noexcept {
        std::uint32_t h = IdIndex::hash(id);
        std::uint32_t slot = ids_.find(id, h, nodes_);
        if (slot == NIL) {
            return false;
        }
        remove(slot, h);
        return true;
    }

    // Takes `quantity` off a resting order, which keeps its place in the queue; taking all
    // of it removes the order. Sets *left to the open quantity left. Refused for a
    // non-positive quantity, an unknown id, or more than the open quantity unless `clamp`
    // (then it takes what there is).
    Refusal reduce(std::int64_t id, std::int64_t quantity, bool clamp,
                   std::int64_t* left) noexcept {
        if (quantity <= 0) {
            return Refusal::bad_quantity;
        }
        std::uint32_t h = IdIndex::hash(id);
        std::uint32_t slot = ids_.find(id, h, nodes_);
        if (slot == NIL) {
            return Refusal::unknown_id;
        }
        if (quantity > nodes_[slot].quantity && !clamp) {
            return Refusal::exceeds_open;
        }
        *left = take_from(slot, h, quantity);
        return Refusal::none;
    }

    // A trade reported against a named resting order: fills it for `quantity` at its own
    // price, whatever rests ahead of it, keeping its place for the rest. Sets *side to the
    // resting order's side. Refused for a non-positive quantity, an unknown id or more than
    // the open quantity.
    template <class Sink>
    Refusal execute(std::int64_t id, std::int64_t quantity, Side* side, Sink&& sink) noexcept {
        if (quantity <= 0) {
            return Refusal::bad_quantity;
        }
        std::uint32_t h = IdIndex::hash(id);
        std::uint32_t slot = ids_.find(id, h, nodes_);
        if (slot == NIL) {
            return Refusal::unknown_id;
        }
        Node& n = nodes_[slot];
        if (quantity > n.quantity) {
            return Refusal::exceeds_open;
        }
        const Level& lv = levels_[n.level];
        *side = lv.side;
        sink(Fill{id, lv.ticks, quantity});
        n.flags |= Node::TRADED;
        take_from(slot, h, quantity);
        return Refusal::none;
    }

    // Replaces a resting order's price and open quantity. At the same price a lower quantity
    // keeps the order's place (and its time) and the same quantity changes nothing; a higher
    // quantity or a new price sends it to the back of the queue at that price, stamped
    // `time`, and a new price that crosses trades first, as an incoming limit order would.
    // Sets *side to the order's side. Refused for a non-positive quantity, an unknown id or
    // a level total that would pass MAX_QUANTITY. May throw std::bad_alloc before changing
    // anything.
    template <class Sink>
    Refusal modify(std::int64_t id, std::int64_t ticks, std::int64_t quantity, std::int64_t time,
                   Side* side, Sink&& sink) {
        if (quantity <= 0) {
            return Refusal::bad_quantity;
        }
        std::uint32_t h = IdIndex::hash(id);
        std::uint32_t slot = ids_.find(id, h, nodes_);
        if (slot == NIL) {
            return Refusal::unknown_id;
        }
        Node& n = nodes_[slot];
        std::uint32_t old_slot = n.level;
        Level& old = levels_[old_slot];
        Side own = old.side;
        *side = own;
        std::int64_t old_key = key_of(own, old.ticks);
        if (old.ticks == ticks) {
            if (quantity <= n.quantity) {
                if (quantity < n.quantity) {
                    take_from(slot, h, n.quantity - quantity);
                }
                return Refusal::none;
            }
            if (old.total - n.quantity > MAX_QUANTITY - quantity) {
                return Refusal::level_overflow;
            }
            touch(own, old_key, old_slot);
            old.total += quantity - n.quantity;
            n.quantity = quantity;
            n.time = time;
            if (n.next != NIL) {
                unlink(old, n);
                n.prev = old.tail;
                n.next = NIL;
                nodes_[old.tail].next = slot;
                old.tail = slot;
            }
            return Refusal::none;
        }
        Levels& own_side = sides_[own];
        std::int64_t key = key_of(own, ticks);
        std::uint32_t level = own_side.find(key);
        if (level != NIL && levels_[level].total > MAX_QUANTITY - quantity) {
            return Refusal::level_overflow;
        }
        if (level == NIL) {
            if (!levels_.reserve_one()) {
                return Refusal::full;
            }
            own_side.prepare_insert(key);
        }
        // Nothing below allocates or fails. An emptied old level stays in its side until the
        // order has rested, so that the insertion prepared above stays valid. The level pool
        // may have moved: the old level is looked up again.
        Level& from = levels_[old_slot];
        touch(own, old_key, old_slot);
        from.total -= n.quantity;
        bool emptied = --from.count == 0;
        if (!emptied) {
            unlink(from, n);
        }
        Side other = own == BID ? ASK : BID;
        std::int64_t left = feed_ ? quantity : take(other, ~key, quantity, sink);
        if (left > 0) {
            n.quantity = left;
            n.time = time;
            n.flags |= left != quantity ? Node::TRADED : 0;
            append(own, ticks, level, slot);
        } else {
            ids_.erase(h, slot, nodes_);
            nodes_.release(slot);
        }
        if (emptied) {
            reshape(own, old_key);
            own_side.erase(old_key);
            levels_.release(old_slot);
        }
        return Refusal::none;
    }

    // The seeded order resting at a side and price takes an operation whose id the book does
    // not know: it gives up `quantity`, or all it has if that is less, as a reduction or (with
    // `execute`) as a fill at its place. Sets *left to what it still holds. Refused for a
    // non-positive quantity, and as unknown_id when no seeded order rests there.
    template <class Sink>
    Refusal take_seeded(Side side, std::int64_t ticks, std::int64_t quantity, bool execute,
                        std::int64_t* left, Sink&& sink) noexcept {
        if (quantity <= 0) {
            return Refusal::bad_quantity;
        }
        std::uint32_t level = sides_[side].find(key_of(side, ticks));
        if (level == NIL) {
            return Refusal::unknown_id;
        }
        std::uint32_t slot = levels_[level].head;
        while (slot != NIL && !(nodes_[slot].flags & Node::SEEDED)) {
            slot = nodes_[slot].next;
        }
        if (slot == NIL) {
            return Refusal::unknown_id;
        }
        Node& n = nodes_[slot];
        quantity = std::min(quantity, n.quantity);
        if (execute) {
            sink(Fill{n.id, ticks, quantity});
            n.flags |= Node::TRADED;
        }
        *left = take_from(slot, IdIndex::hash(n.id), quantity);
        return Refusal::none;
    }

    // Puts an order at the tail of its level without matching (loading a saved book), with
    // add_limit's refusals; the caller checks that the finished book is not crossed.
    Refusal load(std::int64_t id, Side side, std::int64_t ticks, std::int64_t quantity,
                 std::int64_t time, bool traded, bool seeded) {
        std::uint32_t level;
        std::uint32_t h = IdIndex::hash(id);
        std::size_t place;
        Refusal refusal = prepare_rest(id, side, ticks, quantity, h, &level, &place);
        if (refusal == Refusal::none) {
            std::uint32_t slot = nodes_.acquire();
            std::uint32_t flags = (traded ? Node::TRADED : 0) | (seeded ? Node::SEEDED : 0);
            nodes_[slot] = Node{id, quantity, time, NIL, NIL, 0, flags};
            append(side, ticks, level, slot);
            ids_.insert_at(place, h, slot);
        }
        return refusal;
    }

    // A hint for a caller that knows what comes next: start loading the index position a
    // look-up of `id` reads first.
    void prefetch_id(std::int64_t id) const noexcept { ids_.prefetch(IdIndex::hash(id)); }

    // Feed mode: add_limit and modify rest the order at its price without matching, as a
    // market-by-order feed (ITCH) reports orders that the exchange itself left crossed during
    // halts and auctions; the feed's own executions and deletes uncross the book. Nothing else
    // depends on the two sides being apart: each side keeps its own levels, best price and
    // window, and market orders still sweep the other side from its best.
    bool feed() const noexcept { return feed_; }
    void set_feed(bool on) noexcept { feed_ = on; }

    bool has_best(Side side) const noexcept { return !sides_[side].empty(); }
    std::int64_t best(Side side) const noexcept { return ticks_of(side, sides_[side].best_key()); }
    // The total of a side's best level (the side must have one).
    std::int64_t best_total(Side side) const noexcept {
        return levels_[sides_[side].best_level()].total;
    }
    bool crossed() const noexcept {
        return has_best(BID) && has_best(ASK) && best(BID) >= best(ASK);
    }
    std::size_t size() const noexcept { return ids_.size(); }
    std::size_t index_positions() const noexcept { return ids_.positions(); }
    std::size_t levels(Side side) const noexcept { return sides_[side].size(); }
    bool contains(std::int64_t id) const noexcept {
        return ids_.find(id, IdIndex::hash(id), nodes_) != NIL;
    }
    // The resting order under an id; false when none rests.
    bool order(std::int64_t id, OrderView* out) const noexcept {
        std::uint32_t slot = ids_.find(id, IdIndex::hash(id), nodes_);
        if (slot == NIL) {
            return false;
        }
        const Node& n = nodes_[slot];
        const Level& lv = levels_[n.level];
        *out = OrderView{lv.side,
                         lv.ticks,
                         n.quantity,
                         n.time,
                         (n.flags & Node::TRADED) != 0,
                         (n.flags & Node::SEEDED) != 0};
        return true;
    }
    // The level at a side and price; false when none.
    bool level(Side side, std::int64_t ticks, std::int64_t* total,
               std::uint32_t* count) const noexcept {
        std::uint32_t slot = sides_[side].find(key_of(side, ticks));
        if (slot == NIL) {
            return false;
        }
        *total = levels_[slot].total;
        *count = levels_[slot].count;
        return true;
    }

    // Calls f(ticks, total, count) for the levels of a side from the best down, while it
    // returns true.
    template <class F>
    void for_each_level(Side side, F&& f) const {
        sides_[side].for_each_from_best([&](std::int64_t, std::uint32_t slot) {
            const Level& lv = levels_[slot];
            return f(lv.ticks, lv.total, lv.count);
        });
    }
    // Calls f(order, ticks) for a side's orders in priority order: levels from the best down
    // to the level whose key (key_of) is `down_to`, each level oldest first.
    template <class F>
    void for_each_order(Side side, F&& f,
                        std::int64_t down_to = std::numeric_limits<std::int64_t>::min()) const {
        sides_[side].for_each_from_best([&](std::int64_t key, std::uint32_t slot) {
            if (key < down_to) {
                return false;
            }
            const Level& lv = levels_[slot];
            for (std::uint32_t s = lv.head; s != NIL; s = nodes_[s].next) {
                f(nodes_[s], lv.ticks);
            }
            return true;
        });
    }

    // Writes the best `n` levels of a side, best first, as prices[i] and totals[i]; places
    // beyond the side's depth get empty_ticks(side) and a total of 0. Then watches the side
    // from its n-th level up (all of it when it has fewer), so that changes() reports the
    // operations that may have changed those n levels.
    void top(Side side, std::size_t n, std::int64_t* prices, std::int64_t* totals) noexcept {
        std::size_t i = 0;
        std::int64_t last = std::numeric_limits<std::int64_t>::min();
        if (n > 0) {
            sides_[side].for_each_from_best([&](std::int64_t key, std::uint32_t slot) {
                const Level& lv = levels_[slot];
                prices[i] = lv.ticks;
                totals[i] = lv.total;
                last = key;
                return ++i < n;
            });
        }
        watch_[side] = i == n ? last : std::numeric_limits<std::int64_t>::min();
        watching_ = true;
        for (; i < n; ++i) {
            prices[i] = empty_ticks(side);
            totals[i] = 0;
        }
    }
    // What operations changed at or above the sides' watches since the last call (bits
    // 1 << BID and 1 << ASK): `dirty` sides, and of those the `reshaped` ones, where a level
    // came or went or more than one level changed; on a side dirty but not reshaped, only
    // the total of `level` changed. Clears the record.
    struct Changes {
        unsigned dirty;
        unsigned reshaped;
        std::uint32_t level[2];
    };
    Changes changes() noexcept {
        Changes out = changes_;
        changes_ = Changes{0, 0, {NIL, NIL}};
        return out;
    }
    // Stops watching: changes() reports nothing until the next top().
    void unwatch() noexcept {
        watch_[BID] = watch_[ASK] = std::numeric_limits<std::int64_t>::max();
        watching_ = false;
    }
    // A level slot's price and total, for a level that changes() named.
    std::int64_t level_ticks(std::uint32_t slot) const noexcept { return levels_[slot].ticks; }
    std::int64_t level_total(std::uint32_t slot) const noexcept { return levels_[slot].total; }

    // Bytes held by the book: the engine itself and its own structures (not counting the
    // allocator's overhead).
    std::size_t bytes() const noexcept {
        return sizeof(*this) + nodes_.bytes() + levels_.bytes() + ids_.bytes() +
               sides_[BID].bytes() + sides_[ASK].bytes();
    }

    // Walks every structure and returns a description of the first broken invariant, or
    // nullptr. Slow; for tests.
    const char* check() const {
        std::size_t orders = 0;
        for (Side side : {BID, ASK}) {
            const char* problem = nullptr;
            std::int64_t previous_key = 0;
            bool first = true;
            sides_[side].for_each_from_best([&](std::int64_t key, std::uint32_t slot) {
                const Level& lv = levels_[slot];
                if (!first && key >= previous_key) {
                    problem = "levels out of order";
                } else if (lv.side != side || key_of(side, lv.ticks) != key) {
                    problem = "level filed under the wrong side or price";
                }
                first = false;
                previous_key = key;
                std::int64_t total = 0;
                std::uint32_t count = 0, prev = NIL;
                for (std::uint32_t s = lv.head; s != NIL && !problem; s = nodes_[s].next) {
                    const Node& n = nodes_[s];
                    if (n.prev != prev || n.level != slot || n.quantity <= 0 ||
                        n.quantity > MAX_QUANTITY - total) {
                        problem = "queue links, level or quantity broken";
                    } else if (ids_.find(n.id, IdIndex::hash(n.id), nodes_) != s) {
                        problem = "resting order missing from the id index";
                    }
                    total += n.quantity;
                    ++count;
                    prev = s;
                }
                if (!problem &&
                    (count == 0 || count != lv.count || total != lv.total || prev != lv.tail)) {
                    problem = "level total, count or tail does not match its queue";
                }
                orders += count;
                return !problem;
            });
            if (problem) {
                return problem;
            }
        }
        if (orders != ids_.size()) {
            return "id index and queues disagree on the number of orders";
        }
        if (const char* problem = ids_.check(nodes_)) {
            return problem;
        }
        for (Side side : {BID, ASK}) {
            if (const char* problem = sides_[side].check()) {
                return problem;
            }
        }
        if (crossed() && !feed_) {
            return "book is crossed";
        }
        return nullptr;
    }

  private:
    using Nodes = Pool<Node, &Node::next, MAX_NODES>;
    using Levels_ = Pool<Level, &Level::head, MAX_LEVELS>;

    // Everything that can refuse an order that may come to rest, or fail to allocate, before
    // anything changes: then the match and the rest cannot fail. Sets *level to the order's
    // level on its own side, or NIL when a new one will be needed (matching only touches the
    // other side, so that answer stays valid), and *place to where the id goes in the index
    // while no entry comes or goes. The index makes room before the look-up, so that one walk
    // answers both the duplicate check and the insertion.
    [[gnu::always_inline]] Refusal prepare_rest(std::int64_t id, Side side, std::int64_t ticks,
                                                std::int64_t quantity, std::uint32_t h,
                                                std::uint32_t* level, std::size_t* place) {
        if (quantity <= 0) {
            return Refusal::bad_quantity;
        }
        ids_.reserve_one(nodes_);
        if (ids_.find(id, h, nodes_, place) != NIL) {
            return Refusal::duplicate_id;
        }
        Levels& own = sides_[side];
        std::int64_t key = key_of(side, ticks);
        *level = own.find(key);
        if (*level != NIL && levels_[*level].total > MAX_QUANTITY - quantity) {
            return Refusal::level_overflow;
        }
        if (!nodes_.reserve_one() || !levels_.reserve_one()) {
            return Refusal::full;
        }
        if (*level == NIL) {
            own.prepare_insert(key);
        }
        return Refusal::none;
    }

    // Records for changes() that the total of level `slot`, at `key` of a side, changed.
    // Unwatched (no snapshot rows asked for) it tests one flag, and a caller's key for it
    // alone is not computed.
    [[gnu::always_inline]] void touch(Side side, std::int64_t key, std::uint32_t slot) noexcept {
        if (watching_ && key >= watch_[side]) {
            unsigned bit = 1u << side;
            if (changes_.level[side] != slot) {
                changes_.reshaped |= changes_.dirty & bit;  // a second level
                changes_.level[side] = slot;
            }
            changes_.dirty |= bit;
        }
    }
    // Records for changes() that a level at `key` of a side came or went.
    [[gnu::always_inline]] void reshape(Side side, std::int64_t key) noexcept {
        if (watching_ && key >= watch_[side]) {
            changes_.dirty |= 1u << side;
            changes_.reshaped |= 1u << side;
        }
    }

    // Fills `quantity` against side `side` while its best key is at least `limit_key`;
    // returns what is left.
    template <class Sink>
    [[gnu::always_inline]] std::int64_t take(Side side, std::int64_t limit_key,
                                             std::int64_t quantity, Sink& sink) noexcept {
        Levels& book_side = sides_[side];
        while (quantity > 0 && !book_side.empty() && book_side.best_key() >= limit_key) {
            std::uint32_t slot = book_side.best_level();
            touch(side, book_side.best_key(), slot);
            Level& lv = levels_[slot];
            while (quantity > 0 && lv.head != NIL) {
                std::uint32_t head = lv.head;
                Node& n = nodes_[head];
                std::int64_t fill = std::min(quantity, n.quantity);
                sink(Fill{n.id, lv.ticks, fill});
                quantity -= fill;
                lv.total -= fill;
                n.quantity -= fill;
                if (n.quantity == 0) {
                    lv.head = n.next;
                    --lv.count;
                    ids_.erase(IdIndex::hash(n.id), head, nodes_);
                    nodes_.release(head);
                } else {
                    n.flags |= Node::TRADED;
                }
            }
            if (lv.head == NIL) {
                reshape(side, book_side.best_key());
                book_side.pop_best();
                levels_.release(slot);
            } else {
                nodes_[lv.head].prev = NIL;
            }
        }
        return quantity;
    }

    // Puts node `slot` (its id, quantity, time and flags set) at the tail of the level at
    // `ticks`, creating that level when `level` is NIL (after prepare_rest() or an equivalent
    // reservation). Does not touch the id index.
    [[gnu::always_inline]] void append(Side side, std::int64_t ticks, std::uint32_t level,
                                       std::uint32_t slot) noexcept {
        std::int64_t key = key_of(side, ticks);
        if (level == NIL) {
            reshape(side, key);
            level = levels_.acquire();
            levels_[level] = Level{ticks, 0, NIL, NIL, 0, side};
            sides_[side].insert(key, level);
        } else {
            touch(side, key, level);
        }
        Level& lv = levels_[level];
        Node& n = nodes_[slot];
        n.prev = lv.tail;
        n.next = NIL;
        n.level = level;
        if (lv.tail == NIL) {
            lv.head = slot;
        } else {
            nodes_[lv.tail].next = slot;
        }
        lv.tail = slot;
        lv.total += n.quantity;
        ++lv.count;
    }

    // Takes up to `quantity` off the order in `slot` (id hash `h`) in place, removing it when
    // nothing is left; returns its open quantity after.
    std::int64_t take_from(std::uint32_t slot, std::uint32_t h, std::int64_t quantity) noexcept {
        Node& n = nodes_[slot];
        if (quantity >= n.quantity) {
            remove(slot, h);
            return 0;
        }
        Level& lv = levels_[n.level];
        touch(lv.side, key_of(lv.side, lv.ticks), n.level);
        n.quantity -= quantity;
        lv.total -= quantity;
        return n.quantity;
    }

    // Removes the order in `slot` (id hash `h`) from its level, the level from its side when
    // it empties, and the id from the index.
    [[gnu::always_inline]] void remove(std::uint32_t slot, std::uint32_t h) noexcept {
        Node& n = nodes_[slot];
        Level& lv = levels_[n.level];
        std::int64_t key = key_of(lv.side, lv.ticks);
        lv.total -= n.quantity;
        if (--lv.count == 0) {
            reshape(lv.side, key);
            sides_[lv.side].erase(key);
            levels_.release(n.level);
        } else {
            touch(lv.side, key, n.level);
            unlink(lv, n);
        }
        ids_.erase(h, slot, nodes_);
        nodes_.release(slot);
    }

    void unlink(Level& lv, Node& n) noexcept {
        if (n.prev == NIL) {
            lv.head = n.next;
        } else {
            nodes_[n.prev].next = n.next;
        }
        if (n.next == NIL) {
            lv.tail = n.prev;
        } else {
            nodes_[n.next].prev = n.prev;
        }
    }

    Nodes nodes_;
    Levels_ levels_;
    IdIndex ids_;
    Levels sides_[2];
    // The lowest key per side whose change changes() reports (the largest key: none, in
    // effect), and what changed there.
    std::int64_t watch_[2] = {std::numeric_limits<std::int64_t>::max(),
                              std::numeric_limits<std::int64_t>::max()};
    Changes changes_{0, 0, {NIL, NIL}};
    bool watching_ = false;  // whether top() has set a watch since the last unwatch()
    bool feed_ = false;
};

using Engine = BasicEngine<WindowLevels>;

}  // namespace velmora::core
