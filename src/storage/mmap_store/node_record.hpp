#pragma once
// The fixed-layout node record image kept in the store file: variable parts first, then an
// 80-byte root that refers back to them by signed 32-bit offsets, all little-endian. Records
// are position-independent, so their bytes do not depend on where they land in the file.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "util/hash.hpp"
#include "util/result.hpp"

namespace corvane::storage {

struct NodeRecordFields {
    std::uint8_t kind = 0;
    Hash32 hash{};
    std::string_view name;
    std::span<const std::uint64_t> list;
    std::optional<std::uint64_t> value;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
};

inline constexpr std::size_t kRecordRootSize = 80;
// Longest name the descriptor can encode: the length is split over 6 + 24 bits.
inline constexpr std::size_t kMaxRecordNameBytes = (std::size_t{1} << 30) - 1;

// The record image; an error (RuntimeError) when a name or a list cannot be encoded.
Result<std::vector<std::uint8_t>> build_node_record(const NodeRecordFields& fields);

// The 96-byte sample record appended by the store's only Python-facing writer: kind 2, zero
// hash, name "python_test_node", empty list, no value, numbers 1 and 10.
std::vector<std::uint8_t> sample_node_record();

}  // namespace corvane::storage
