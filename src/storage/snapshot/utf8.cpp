#include "storage/snapshot/utf8.hpp"

#include <cstring>

namespace corvane {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline bool is_cont(std::uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

// The well-formed byte sequences of the Unicode standard (table 3-7), with a word-at-a-time
// skip over ASCII, which is nearly all of what ids, names and paths hold.
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
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        const std::size_t left = len - i;
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || !is_cont(s[i + 1])) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3) return false;
            const std::uint8_t c1 = s[i + 1];
            // E0 needs A0.. (no overlongs), ED stops at 9F (no surrogates).
            const std::uint8_t lo = c == 0xE0 ? 0xA0 : 0x80;
            const std::uint8_t hi = c == 0xED ? 0x9F : 0xBF;
            if (c1 < lo || c1 > hi || !is_cont(s[i + 2])) return false;
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4) return false;
            const std::uint8_t c1 = s[i + 1];
            // F0 needs 90.. (no overlongs), F4 stops at 8F (nothing above U+10FFFF).
            const std::uint8_t lo = c == 0xF0 ? 0x90 : 0x80;
            const std::uint8_t hi = c == 0xF4 ? 0x8F : 0xBF;
            if (c1 < lo || c1 > hi || !is_cont(s[i + 2]) || !is_cont(s[i + 3])) return false;
            i += 4;
        } else {
            return false;  // a stray continuation byte, C0/C1, or F5..FF
        }
    }
    return true;
}

}  // namespace corvane
