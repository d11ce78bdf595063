#include "util/utf8.hpp"

#include <cstring>

namespace corvane {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline bool is_cont(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// The length of the well-formed sequence that starts with the non-ASCII byte s[0], `left`
// bytes being readable; 0 when there is none. The well-formed byte sequences of the Unicode
// standard (table 3-7).
inline std::size_t multibyte_length(const std::uint8_t* s, std::size_t left) {
    const std::uint8_t c = s[0];
    if (c >= 0xC2 && c <= 0xDF) {
        return left >= 2 && is_cont(s[1]) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (left < 3) return 0;
        // E0 needs A0.. (no overlongs), ED stops at 9F (no surrogates).
        const std::uint8_t lo = c == 0xE0 ? 0xA0 : 0x80;
        const std::uint8_t hi = c == 0xED ? 0x9F : 0xBF;
        return s[1] >= lo && s[1] <= hi && is_cont(s[2]) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (left < 4) return 0;
        // F0 needs 90.. (no overlongs), F4 stops at 8F (nothing above U+10FFFF).
        const std::uint8_t lo = c == 0xF0 ? 0x90 : 0x80;
        const std::uint8_t hi = c == 0xF4 ? 0x8F : 0xBF;
        return s[1] >= lo && s[1] <= hi && is_cont(s[2]) && is_cont(s[3]) ? 4 : 0;
    }
    return 0;  // a stray continuation byte, C0/C1, or F5..FF
}

}  // namespace

// With a word-at-a-time skip over ASCII, which is nearly all of what ids, names and paths hold.
bool is_valid_utf8(const std::uint8_t* s, std::size_t len) {
    std::size_t i = 0;
    while (i < len) {
        if (i + 16 <= len) {
            std::uint64_t a, b;
            std::memcpy(&a, s + i, 8);
            std::memcpy(&b, s + i + 8, 8);
            if (((a | b) & kHighBits) == 0) {
                i += 16;
                continue;
            }
        }
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = multibyte_length(s + i, len - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::pair<char32_t, std::size_t> decode_utf8(std::string_view text) {
    if (text.empty()) return {0, 0};
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    if (s[0] < 0x80) return {s[0], 1};
    const std::size_t n = multibyte_length(s, text.size());
    if (n == 0) return {0, 0};
    char32_t cp = s[0] & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (s[k] & 0x3F);
    return {cp, n};
}

}  // namespace corvane
