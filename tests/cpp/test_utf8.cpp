#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "util/utf8.hpp"

using namespace corvane;

namespace {

// The plain definition: decode one scalar value, then check its range; length 0 when the
// sequence at s is malformed or runs past n.
std::pair<std::uint32_t, std::size_t> plain_decode(const std::uint8_t* s, std::size_t n) {
    if (n == 0) return {0, 0};
    const std::uint8_t c = s[0];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) { len = 1; cp = c; }
    else if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return {0, 0};
    if (len > n) return {0, 0};
    for (std::size_t k = 1; k < len; ++k) {
        if ((s[k] & 0xC0) != 0x80) return {0, 0};
        cp = (cp << 6) | (s[k] & 0x3F);
    }
    static const std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
    return {cp, len};
}

bool plain_valid_utf8(const std::uint8_t* s, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const std::size_t len = plain_decode(s + i, n - i).second;
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// decode_utf8 on the bytes, against the plain decoder.
void expect_decodes_like_plain(const std::uint8_t* s, std::size_t n) {
    const auto [cp, len] = decode_utf8(std::string_view(reinterpret_cast<const char*>(s), n));
    const auto [want_cp, want_len] = plain_decode(s, n);
    ASSERT_EQ(len, want_len);
    if (len != 0) ASSERT_EQ(static_cast<std::uint32_t>(cp), want_cp);
}

}  // namespace

TEST(Utf8, ValidatorAgreesWithPlainDefinition) {
    // Every two-byte string, and every three-byte one from lead byte E0 up.
    for (std::uint32_t v = 0; v < (1u << 16); ++v) {
        const std::uint8_t s[] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        ASSERT_EQ(is_valid_utf8(s, 2), plain_valid_utf8(s, 2)) << std::hex << v;
    }
    for (std::uint32_t v = 0xE00000; v < (1u << 24); ++v) {
        const std::uint8_t s[] = {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                                  static_cast<std::uint8_t>(v)};
        ASSERT_EQ(is_valid_utf8(s, 3), plain_valid_utf8(s, 3)) << std::hex << v;
    }
    // Random mixtures, long enough to cross the sixteen-byte ASCII skip.
    std::mt19937_64 rng(5);
    const std::uint8_t alphabet[] = {'a', 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2, 0xdf,
                                     0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff};
    for (int iter = 0; iter < 200000; ++iter) {
        std::vector<std::uint8_t> s(rng() % 40);
        for (auto& c : s) c = rng() % 3 ? 'x' : alphabet[rng() % std::size(alphabet)];
        ASSERT_EQ(is_valid_utf8(s.data(), s.size()), plain_valid_utf8(s.data(), s.size()));
    }
    // Four-byte forms around every boundary.
    for (std::uint32_t lead = 0xF0; lead <= 0xF5; ++lead) {
        for (std::uint32_t c1 = 0x80; c1 <= 0xC0; ++c1) {
            const std::uint8_t s[] = {static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(c1), 0x80, 0xbf};
            ASSERT_EQ(is_valid_utf8(s, 4), plain_valid_utf8(s, 4)) << lead << " " << c1;
        }
    }
}

TEST(Utf8, DecoderAgreesWithPlainDefinition) {
    // Every sequence of up to three bytes from each lead byte, truncations included, and the
    // four-byte ones around every boundary of the second byte.
    for (std::uint32_t v = 0; v < (1u << 24); v += (v >> 16) < 0xC0 ? 0x100 : 1) {
        const std::uint8_t s[] = {static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
                                  static_cast<std::uint8_t>(v)};
        for (std::size_t n = 1; n <= 3; ++n) expect_decodes_like_plain(s, n);
    }
    for (std::uint32_t lead = 0xF0; lead <= 0xF5; ++lead) {
        for (std::uint32_t c1 = 0x7F; c1 <= 0xC0; ++c1) {
            for (std::uint8_t c3 : {0x7F, 0x80, 0xBF, 0xC0}) {
                const std::uint8_t s[] = {static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(c1), 0x80, c3};
                for (std::size_t n = 1; n <= 4; ++n) expect_decodes_like_plain(s, n);
            }
        }
    }
}

TEST(Utf8, NamedCases) {
    auto valid = [](std::string_view s) { return is_valid_utf8(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); };
    EXPECT_TRUE(valid(""));
    EXPECT_TRUE(valid("plain ascii text long enough for the word skip"));
    EXPECT_TRUE(valid("\u00e9\u20ac\U0001F600\U0010FFFF"));
    EXPECT_FALSE(valid("\xC0\xAF"));              // overlong '/'
    EXPECT_FALSE(valid("\xE0\x80\xAF"));          // overlong, three bytes
    EXPECT_FALSE(valid("\xF0\x80\x80\xAF"));      // overlong, four bytes
    EXPECT_FALSE(valid("\xED\xA0\x80"));          // high surrogate
    EXPECT_FALSE(valid("\xED\xBF\xBF"));          // low surrogate
    EXPECT_FALSE(valid("\xF4\x90\x80\x80"));      // above U+10FFFF
    EXPECT_FALSE(valid("abc\xE2\x82"));            // truncated at the end
    EXPECT_FALSE(valid("\x80"));                    // stray continuation
    EXPECT_FALSE(valid("0123456789abcdef\xFF"));    // after a skipped word

    EXPECT_EQ(decode_utf8("\u3000x"), std::make_pair(char32_t{0x3000}, std::size_t{3}));
    EXPECT_EQ(decode_utf8("\U0001F600"), std::make_pair(char32_t{0x1F600}, std::size_t{4}));
    EXPECT_EQ(decode_utf8("\xE2\x80").second, 0u);     // truncated
    EXPECT_EQ(decode_utf8("\xED\xA0\x80").second, 0u); // surrogate
    EXPECT_EQ(decode_utf8("").second, 0u);
}
