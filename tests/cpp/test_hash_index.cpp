#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <unordered_set>

#include "graph/csr/hash_index.hpp"

using corvane::Hash32;
using corvane::Hash32Hash;
using corvane::graph::HashIndexMap;

TEST(HashIndexMap, AgreesWithUnorderedMapAcrossGrowthAndCopies) {
    std::mt19937_64 rng(11);
    HashIndexMap flat;
    std::unordered_map<Hash32, std::uint32_t, Hash32Hash> oracle;
    std::vector<Hash32> keys;
    for (std::uint32_t i = 0; i < 20000; ++i) {
        Hash32 k{};
        // Keys sharing their first word land in the same home slot: probing must still
        // tell them apart by the whole key.
        std::uint64_t w = (i % 7 == 0) ? 42 : rng();
        std::memcpy(k.data(), &w, 8);
        for (std::size_t b = 8; b < 32; ++b) k[b] = static_cast<std::uint8_t>(rng());
        if (oracle.contains(k)) continue;
        flat.insert_new(k, i);
        oracle.emplace(k, i);
        keys.push_back(k);
    }
    HashIndexMap copy = flat;
    ASSERT_EQ(copy.size(), oracle.size());
    for (const auto& k : keys) {
        ASSERT_NE(copy.find(k), nullptr);
        EXPECT_EQ(*copy.find(k), oracle.at(k));
    }
    for (int i = 0; i < 1000; ++i) {
        Hash32 miss{};
        for (auto& b : miss) b = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(flat.contains(miss), oracle.contains(miss));
    }
    EXPECT_THROW(flat.at(Hash32{}), std::out_of_range);
    EXPECT_EQ(HashIndexMap{}.find(Hash32{}), nullptr);
}

// PyGraphEngine's keys are the caller's text: zero-padded counters and short digests padded
// with zeros share most of their bytes. Hashing only the first word put all of them in one
// probe chain, and loading n such keys took time quadratic in n.
TEST(Hash32Hash, KeysSharingLongPrefixesSpreadOverBuckets) {
    std::mt19937_64 rng(5);
    constexpr std::size_t n = 20000, buckets = 1 << 16;
    std::unordered_set<std::size_t> counters, padded_digests, random_keys;
    for (std::uint64_t i = 0; i < n; ++i) {
        Hash32 counter{}, digest{}, random{};
        for (int b = 0; b < 8; ++b) counter[31 - b] = static_cast<std::uint8_t>(i >> (8 * b));
        for (std::size_t b = 16; b < 32; ++b) digest[b] = static_cast<std::uint8_t>(rng());
        for (auto& b : random) b = static_cast<std::uint8_t>(rng());
        counters.insert(Hash32Hash{}(counter) & (buckets - 1));
        padded_digests.insert(Hash32Hash{}(digest) & (buckets - 1));
        random_keys.insert(Hash32Hash{}(random) & (buckets - 1));
    }
    // n uniform draws from 2^16 buckets fill about 17,200 of them.
    EXPECT_GT(counters.size(), 16500u);
    EXPECT_GT(padded_digests.size(), 16500u);
    EXPECT_GT(random_keys.size(), 16500u);
    // Each byte on its own moves the hash.
    const Hash32 zero{};
    for (std::size_t b = 0; b < 32; ++b) {
        Hash32 k{};
        k[b] = 1;
        EXPECT_NE(Hash32Hash{}(k), Hash32Hash{}(zero)) << "byte " << b;
    }
}
