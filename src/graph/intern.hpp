// Small open-addressing hash tables for the graph's interning: sets of u32
// ids whose keys live in the graph's own vectors, and a u64 -> u32 map.
// Linear probing, power-of-two capacity, at most half full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/large_alloc.hpp"

namespace vantu {

inline constexpr std::uint32_t kNoId = 0xffffffffu;

// A 64-bit finalizer used for the tables' own hashing.
inline std::uint64_t table_mix(std::uint64_t z) {
    z ^= z >> 33;
    z *= 0xff51afd7ed558ccdull;
    z ^= z >> 33;
    z *= 0xc4ceb9fe1a85ec53ull;
    z ^= z >> 33;
    return z;
}

// A set of ids; the caller supplies each id's hash and an equality test
// against the key being looked up. A slot is 8 bytes: the id and the high
// half of its hash, which both places the entry (so growing never reads the
// keys again) and spares most equality tests. At most 3/4 full. The tables
// of large graphs are big, and their cache misses dominate the cost of
// building a node.
class IdTable {
public:
    template <class Eq>
    std::uint32_t find(std::uint64_t hash, Eq eq) const {
        if (slots_.empty()) return kNoId;
        const std::size_t mask = slots_.size() - 1;
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.id == kNoId) return kNoId;
            if (s.tag == tag && eq(s.id)) return s.id;
        }
    }

    // The id must not be present yet.
    void insert(std::uint64_t hash, std::uint32_t id) {
        if ((used_ + 1) * 4 > slots_.size() * 3) grow();
        place(static_cast<std::uint32_t>(hash >> 32), id);
        ++used_;
    }

    std::size_t size() const { return used_; }

private:
    struct Slot {
        std::uint32_t id = kNoId;
        std::uint32_t tag = 0;
    };

    void place(std::uint32_t tag, std::uint32_t id) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = tag & mask;
        while (slots_[i].id != kNoId) i = (i + 1) & mask;
        slots_[i] = Slot{id, tag};
    }

    void grow() {
        // Tags index the table, so it holds at most 2^32 slots: far beyond
        // any u32-addressed store at 3/4 load.
        std::vector<Slot, LargeAlloc<Slot>> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        for (const Slot& s : old)
            if (s.id != kNoId) place(s.tag, s.id);
    }

    std::vector<Slot, LargeAlloc<Slot>> slots_;
    std::size_t used_ = 0;
};

// A map from 64-bit keys to u32 values (kNoId is not a storable value).
class U64Map {
public:
    std::uint32_t find(std::uint64_t key) const {
        if (slots_.empty()) return kNoId;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = table_mix(key) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.value == kNoId) return kNoId;
            if (s.key == key) return s.value;
        }
    }

    // The key must not be present yet.
    void insert(std::uint64_t key, std::uint32_t value) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        place(key, value);
        ++used_;
    }

    std::size_t size() const { return used_; }

private:
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t value = kNoId;
    };

    void place(std::uint64_t key, std::uint32_t value) {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = table_mix(key) & mask;
        while (slots_[i].value != kNoId) i = (i + 1) & mask;
        slots_[i] = Slot{key, value};
    }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
        for (const Slot& s : old)
            if (s.value != kNoId) place(s.key, s.value);
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace vantu
