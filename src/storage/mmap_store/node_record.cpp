#include "storage/mmap_store/node_record.hpp"

#include <cstring>
#include <limits>

namespace corvane::storage {

namespace {

constexpr std::size_t kKindAt = 0;
constexpr std::size_t kHashAt = 1;
constexpr std::size_t kNameAt = 36;
constexpr std::size_t kListOffsetAt = 44;
constexpr std::size_t kListLengthAt = 48;
constexpr std::size_t kValueTagAt = 56;
constexpr std::size_t kValueAt = 64;
constexpr std::size_t kFirstAt = 72;
constexpr std::size_t kSecondAt = 76;
constexpr std::size_t kInlineName = 8;

constexpr std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

void put_u32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_u64(std::uint8_t* at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Offset from the field at `from` back to `to`; both are positions in the record.
bool relative(std::size_t from, std::size_t to, std::int32_t& out) {
    const auto diff = static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from);
    if (diff < std::numeric_limits<std::int32_t>::min() || diff > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(diff);
    return true;
}

}  // namespace

Result<std::vector<std::uint8_t>> build_node_record(const NodeRecordFields& f) {
    if (f.name.size() > kMaxRecordNameBytes) {
        return wrong_state("record name of " + std::to_string(f.name.size()) + " bytes is too long to encode");
    }
    if (f.list.size() > std::numeric_limits<std::uint32_t>::max()) {
        return wrong_state("record list of " + std::to_string(f.list.size()) + " entries is too long to encode");
    }
    const bool inline_name = f.name.size() <= kInlineName;
    const std::size_t name_bytes = inline_name ? 0 : f.name.size();
    const std::size_t list_at = align8(name_bytes);
    const std::size_t root = align8(list_at + 8 * f.list.size());

    std::int32_t name_offset = 0;
    std::int32_t list_offset = 0;
    if ((!inline_name && !relative(root + kNameAt, 0, name_offset)) || !relative(root + kListOffsetAt, list_at, list_offset)) {
        return wrong_state("record of " + std::to_string(root + kRecordRootSize) + " bytes is too long to encode");
    }

    std::vector<std::uint8_t> out(root + kRecordRootSize, 0);
    std::uint8_t* r = out.data() + root;
    if (!inline_name) std::memcpy(out.data(), f.name.data(), f.name.size());
    for (std::size_t i = 0; i < f.list.size(); ++i) put_u64(out.data() + list_at + 8 * i, f.list[i]);

    r[kKindAt] = f.kind;
    std::memcpy(r + kHashAt, f.hash.data(), f.hash.size());
    if (inline_name) {
        std::memset(r + kNameAt, 0xFF, kInlineName);
        if (!f.name.empty()) std::memcpy(r + kNameAt, f.name.data(), f.name.size());
    } else {
        const auto len = static_cast<std::uint32_t>(f.name.size());
        put_u32(r + kNameAt, 0x80u | (len & 0x3Fu) | ((len >> 6) << 8));
        put_u32(r + kNameAt + 4, static_cast<std::uint32_t>(name_offset));
    }
    put_u32(r + kListOffsetAt, static_cast<std::uint32_t>(list_offset));
    put_u32(r + kListLengthAt, static_cast<std::uint32_t>(f.list.size()));
    if (f.value) {
        r[kValueTagAt] = 1;
        put_u64(r + kValueAt, *f.value);
    }
    put_u32(r + kFirstAt, f.first);
    put_u32(r + kSecondAt, f.second);
    return out;
}

std::vector<std::uint8_t> sample_node_record() {
    NodeRecordFields f;
    f.kind = 2;
    f.name = "python_test_node";
    f.first = 1;
    f.second = 10;
    // A 16-byte name and an empty list always encode.
    return std::move(build_node_record(f).value());
}

}  // namespace corvane::storage
