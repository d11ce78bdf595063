// The store's record builder on arbitrary fields: the image is read back field by field by
// an independent decoder of the documented layout.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/mmap_store/node_record.hpp"

namespace {

std::uint32_t get_u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint64_t get_u64(const std::uint8_t* p) { return get_u32(p) | std::uint64_t{get_u32(p + 4)} << 32; }

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Layout of the input: kind, value tag, list length, the 32-byte hash, two numbers, the
    // value, the list entries, then the name (all remaining bytes).
    constexpr std::size_t kFixed = 1 + 1 + 1 + 32 + 4 + 4 + 8;
    if (size < kFixed) return 0;
    corvane::storage::NodeRecordFields f;
    const std::uint8_t* p = data;
    f.kind = *p++;
    const bool has_value = (*p++ & 1) != 0;
    std::size_t list_len = *p++;
    std::memcpy(f.hash.data(), p, 32);
    p += 32;
    f.first = get_u32(p);
    f.second = get_u32(p + 4);
    const std::uint64_t value = get_u64(p + 8);
    p += 16;
    if (has_value) f.value = value;
    std::size_t rest = size - kFixed;
    if (list_len * 8 > rest) list_len = rest / 8;
    std::vector<std::uint64_t> list(list_len);
    for (std::size_t i = 0; i < list_len; ++i) list[i] = get_u64(p + 8 * i);
    p += 8 * list_len;
    rest -= 8 * list_len;
    f.list = list;
    f.name = std::string_view(reinterpret_cast<const char*>(p), rest);

    auto built = corvane::storage::build_node_record(f);
    check(built.ok());
    const std::vector<std::uint8_t>& rec = *built;
    check(rec.size() >= corvane::storage::kRecordRootSize && rec.size() % 8 == 0);
    const std::size_t root = rec.size() - corvane::storage::kRecordRootSize;
    const std::uint8_t* r = rec.data() + root;

    check(r[0] == f.kind);
    check(std::memcmp(r + 1, f.hash.data(), 32) == 0);
    check(r[33] == 0 && r[34] == 0 && r[35] == 0);
    if (f.name.size() <= 8) {
        for (std::size_t i = 0; i < 8; ++i) {
            check(r[36 + i] == (i < f.name.size() ? static_cast<std::uint8_t>(f.name[i]) : 0xFF));
        }
    } else {
        const std::uint32_t word = get_u32(r + 36);
        check((word & 0x80) != 0);
        const std::size_t len = (word & 0x3F) | ((word >> 8) << 6);
        check(len == f.name.size());
        const auto off = static_cast<std::int32_t>(get_u32(r + 40));
        const std::int64_t at = static_cast<std::int64_t>(root) + 36 + off;
        check(at >= 0 && static_cast<std::size_t>(at) + len <= root);
        check(std::memcmp(rec.data() + at, f.name.data(), len) == 0);
    }
    const auto list_off = static_cast<std::int32_t>(get_u32(r + 44));
    const std::int64_t list_at = static_cast<std::int64_t>(root) + 44 + list_off;
    check(list_at >= 0 && list_at % 8 == 0);
    check(get_u32(r + 48) == f.list.size());
    check(static_cast<std::size_t>(list_at) + 8 * f.list.size() <= root);
    for (std::size_t i = 0; i < f.list.size(); ++i) check(get_u64(rec.data() + list_at + 8 * i) == f.list[i]);
    check(get_u32(r + 52) == 0);
    check(r[56] == (f.value ? 1 : 0));
    for (int i = 57; i < 64; ++i) check(r[i] == 0);
    check(get_u64(r + 64) == f.value.value_or(0));
    check(get_u32(r + 72) == f.first && get_u32(r + 76) == f.second);
    return 0;
}
