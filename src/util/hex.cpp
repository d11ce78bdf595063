#include "util/hex.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace corvane {

namespace {

// Each byte's value as a hexadecimal digit, 0xFF for anything else.
constexpr auto kNibble = [] {
    std::array<std::uint8_t, 256> t{};
    t.fill(0xFF);
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    return t;
}();

}  // namespace

std::optional<Hash32> decode_hex32_plain(std::string_view text) {
    if (text.size() != 64) return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    Hash32 out;
    unsigned seen = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned hi = kNibble[in[2 * i]], lo = kNibble[in[2 * i + 1]];
        seen |= hi | lo;
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    if (seen > 15) return std::nullopt;  // some byte was no digit
    return out;
}

#if defined(__x86_64__)

namespace {

// 16 digits: their values in the 16 bytes, and whether every byte was a digit.
inline __m128i nibbles16(const unsigned char* in, int& ok_mask) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    // Signed compares: a byte of 0x80 or more is below every bound and so no digit.
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));  // 'A'-'F' -> 'a'-'f'; only they land there
    const __m128i letter =
        _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
    ok_mask &= _mm_movemask_epi8(_mm_or_si128(digit, letter));
    return _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(v, _mm_set1_epi8('0'))),
                        _mm_and_si128(letter, _mm_sub_epi8(folded, _mm_set1_epi8('a' - 10))));
}

// Each 16-bit lane holds (high digit, low digit) as (low byte, high byte): their byte value.
inline __m128i pair_values(__m128i n) {
    return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(n, _mm_set1_epi16(0x00FF)), 4), _mm_srli_epi16(n, 8));
}

}  // namespace

std::optional<Hash32> decode_hex32(std::string_view text) {
    // A restore decodes each stored hash more than once: 16 digits per step.
    if (text.size() != 64) return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    int ok = 0xFFFF;
    const __m128i a = pair_values(nibbles16(in, ok)), b = pair_values(nibbles16(in + 16, ok));
    const __m128i c = pair_values(nibbles16(in + 32, ok)), d = pair_values(nibbles16(in + 48, ok));
    if (ok != 0xFFFF) return std::nullopt;
    Hash32 out;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data()), _mm_packus_epi16(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + 16), _mm_packus_epi16(c, d));
    return out;
}

#else

std::optional<Hash32> decode_hex32(std::string_view text) { return decode_hex32_plain(text); }

#endif

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
