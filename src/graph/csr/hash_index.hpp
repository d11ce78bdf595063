#pragma once
// An open-addressing map from 32-byte node hashes to dense node indexes. The seeded hash of
// all 32 bytes spreads any keys evenly; linear probing over one flat array keeps lookups to
// a cache line or two and makes copying the map a single memcpy, which matters because
// every compile copies the builder's index.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "util/hash.hpp"

namespace corvane::graph {

class HashIndexMap {
public:
    using Value = std::uint32_t;

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    const Value* find(const Hash32& key) const {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.value == kEmpty) return nullptr;
            if (std::memcmp(s.key.data(), key.data(), key.size()) == 0) return &s.value;
        }
    }

    bool contains(const Hash32& key) const { return find(key) != nullptr; }

    Value at(const Hash32& key) const {
        if (const Value* v = find(key)) return *v;
        throw std::out_of_range("hash not in index");
    }

    // Inserts a key that is not present yet.
    void insert_new(const Hash32& key, Value value) {
        if (value == kEmpty) throw std::length_error("node index out of range");
        if ((count_ + 1) * 8 > slots_.size() * 5) grow();
        place(key, value);
        ++count_;
    }

private:
    static constexpr Value kEmpty = 0xFFFFFFFFu;
    struct Slot {
        Hash32 key;
        Value value = kEmpty;
    };

    std::size_t home(const Hash32& key) const { return Hash32Hash{}(key) & mask_; }

    void place(const Hash32& key, Value value) {
        std::size_t i = home(key);
        while (slots_[i].value != kEmpty) i = (i + 1) & mask_;
        slots_[i].key = key;
        slots_[i].value = value;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (const Slot& s : old) {
            if (s.value != kEmpty) place(s.key, s.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace corvane::graph
