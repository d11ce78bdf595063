// The small helpers under util: hexadecimal hashes and JSON text (lower-casing and UTF-8
// have their own files).
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "util/hex.hpp"
#include "util/json.hpp"

using namespace corvane;

TEST(Hex, RoundTripsAndRefusesAnythingButSixtyFourDigits) {
    std::mt19937_64 rng(17);
    for (int iter = 0; iter < 1000; ++iter) {
        Hash32 h;
        for (auto& b : h) b = static_cast<std::uint8_t>(rng());
        const std::string text = encode_hex32(h);
        ASSERT_EQ(text.size(), 64u);
        ASSERT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
        ASSERT_EQ(decode_hex32(text), h);
        std::string upper = text;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ASSERT_EQ(decode_hex32(upper), h);
    }
    const std::string good(64, 'a');
    EXPECT_FALSE(decode_hex32(good.substr(1)));
    EXPECT_FALSE(decode_hex32(good + "a"));
    EXPECT_FALSE(decode_hex32(""));
    for (std::size_t pos : {0u, 1u, 31u, 62u, 63u}) {
        for (char bad : {'g', 'G', ' ', '\0', '/', ':', '@', '`'}) {
            std::string s = good;
            s[pos] = bad;
            EXPECT_FALSE(decode_hex32(s)) << pos << " " << int(bad);
        }
    }
}

TEST(Hex, VectorDecodeAgreesWithThePlainOneOnEveryByteAtEveryPlace) {
    std::mt19937_64 rng(23);
    const std::string digits = "0123456789abcdefABCDEF";
    for (int iter = 0; iter < 200; ++iter) {
        std::string text(64, '0');
        for (char& c : text) c = digits[rng() % digits.size()];
        ASSERT_EQ(decode_hex32(text), decode_hex32_plain(text));
        ASSERT_TRUE(decode_hex32(text));
        // Every byte value, in every place: only the 22 digits decode.
        const std::size_t pos = iter % 64;
        for (int byte = 0; byte < 256; ++byte) {
            std::string s = text;
            s[pos] = static_cast<char>(byte);
            ASSERT_EQ(decode_hex32(s), decode_hex32_plain(s)) << pos << " " << byte;
            ASSERT_EQ(decode_hex32(s).has_value(), digits.find(static_cast<char>(byte)) != std::string::npos);
        }
    }
}

namespace {

std::string nested(int depth, char open, char close) {
    return std::string(depth, open) + std::string(depth, close);
}

}  // namespace

TEST(Json, NestingIsCappedForArraysAndObjects) {
    EXPECT_TRUE(parse_json(nested(kMaxJsonDepth, '[', ']')));
    EXPECT_FALSE(parse_json(nested(kMaxJsonDepth + 1, '[', ']')));
    EXPECT_FALSE(parse_json(nested(200000, '[', ']')));  // refused, not a stack overflow
    std::string objects;
    for (int i = 0; i < kMaxJsonDepth; ++i) objects += "{\"k\":";
    objects += "1" + std::string(kMaxJsonDepth, '}');
    EXPECT_TRUE(parse_json(objects));
    EXPECT_FALSE(parse_json("[" + objects + "]"));
    // The depth returns to zero after each closed container.
    EXPECT_TRUE(parse_json("[" + nested(kMaxJsonDepth - 1, '[', ']') + "," + nested(kMaxJsonDepth - 1, '[', ']') + "]"));
}

TEST(Json, RawNulIsRefusedAnywhere) {
    using namespace std::string_literals;
    EXPECT_FALSE(parse_json("{\"a\":1}\0garbage"s));  // not taken for the end of the text
    EXPECT_FALSE(parse_json("[1]\0"s));
    EXPECT_FALSE(parse_json("[1,\0 2]"s));
    EXPECT_FALSE(parse_json("\"a\0b\""s));
    EXPECT_FALSE(parse_json("\0"s));
    EXPECT_EQ(dump_compact(*parse_json(R"(["a\u0000b"])")), "[\"a\\u0000b\"]");  // escaped, it is a character
    EXPECT_FALSE(normalize_json_text("{}\0"s));
}

TEST(Json, OneValueWithWhitespaceAroundIt) {
    EXPECT_TRUE(parse_json(" \t\r\n{}\n"));
    EXPECT_FALSE(parse_json("{} x"));
    EXPECT_FALSE(parse_json("\"\xff\""));
}

TEST(Json, NormalisedTextIsCompactSortedAndKeepsUtf8) {
    EXPECT_EQ(normalize_json_text(" {\"b\": 1, \"a\": [true, null, 1.5], \"b\": 2}\n"), "{\"a\":[true,null,1.5],\"b\":2}");
    EXPECT_EQ(normalize_json_text("[\"\\u00e9\", \"\xc3\xa9\"]"), "[\"\xc3\xa9\",\"\xc3\xa9\"]");
    EXPECT_FALSE(normalize_json_text("[1] [2]"));
    EXPECT_FALSE(normalize_json_text("[\"\xff\"]"));
    EXPECT_FALSE(normalize_json_text(""));
}
