#include "util/hex.hpp"

#include <array>
#include <cstring>

namespace corvane {

namespace {

constexpr signed char nibble(char c) {
    if (c >= '0' && c <= '9') return static_cast<signed char>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<signed char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<signed char>(c - 'A' + 10);
    return -1;
}

}  // namespace

std::optional<Hash32> decode_hex32(std::string_view text) {
    if (text.size() != 64) return std::nullopt;
    Hash32 out;
    for (std::size_t i = 0; i < 32; ++i) {
        signed char hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if ((hi | lo) < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return out;
}

void encode_hex32_into(const Hash32& hash, char* out) {
    // Two digits per byte from one table read.
    static constexpr auto pairs = [] {
        std::array<char, 512> t{};
        constexpr char digits[] = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            t[2 * b] = digits[b >> 4];
            t[2 * b + 1] = digits[b & 15];
        }
        return t;
    }();
    for (std::size_t i = 0; i < 32; ++i) std::memcpy(out + 2 * i, &pairs[2 * hash[i]], 2);
}

std::string encode_hex32(const Hash32& hash) {
    std::string s(64, '\0');
    encode_hex32_into(hash, s.data());
    return s;
}

}  // namespace corvane
