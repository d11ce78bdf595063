#pragma once
// Seeded hashing for every hash container of the engine. Node ids and names come from the
// code being analysed, so the hash is keyed per process from the system's random source.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/container/node_hash_map.h>

namespace corvane {

using Hash32 = std::array<std::uint8_t, 32>;

// Two 64-bit keys drawn once per process from getrandom(2).
const std::array<std::uint64_t, 2>& process_hash_seed();

std::uint64_t seeded_hash_bytes(const void* data, std::size_t len);
// The same hash under a fixed key, for values kept in files: the same in every process, so
// only for uses where a collision costs work, never a wrong answer.
std::uint64_t stable_hash_bytes(const void* data, std::size_t len);

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return seeded_hash_bytes(s.data(), s.size()); }
    std::size_t operator()(const std::string& s) const { return seeded_hash_bytes(s.data(), s.size()); }
    std::size_t operator()(const char* s) const { return (*this)(std::string_view(s)); }
};

struct StringEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

// Every byte of a 32-byte key is hashed: the metadata engine's keys are BLAKE3 digests, but
// PyGraphEngine's are whatever the caller wrote (zero-padded counters, short digests padded
// with zeros), and keys that share a word must not share a bucket. Two independent keyed
// multiplies, one per half, then a third to join them: a short dependency chain, so that
// lookups issued back to back still overlap their cache misses.
struct Hash32Hash {
    std::size_t operator()(const Hash32& h) const {
        std::uint64_t w[4];
        std::memcpy(w, h.data(), sizeof w);
        const auto& seed = process_hash_seed();
        const std::uint64_t low = fold(w[0] ^ seed[0], w[1] ^ seed[1] ^ 0xe7037ed1a0b428dbULL);
        const std::uint64_t high = fold(w[2] ^ seed[1], w[3] ^ seed[0] ^ 0xa0761d6478bd642fULL);
        return static_cast<std::size_t>(fold(low ^ 0x8ebc6af09c88c6e3ULL, high ^ 0x589965cc75374cc3ULL));
    }
    // The two halves of the 128-bit product, folded together.
    static std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
        const __uint128_t r = static_cast<__uint128_t>(a) * b;
        return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
    }
};

using StringPair = std::pair<std::string, std::string>;

// Open addressing: one probe of a control-byte group finds a key, with no node per entry.
template <class V>
using StringMap = absl::flat_hash_map<std::string, V, StringHash, StringEq>;
// For large values whose address must stay put while the map grows.
template <class V>
using StableStringMap = absl::node_hash_map<std::string, V, StringHash, StringEq>;
using StringSet = absl::flat_hash_set<std::string, StringHash, StringEq>;

}  // namespace corvane
