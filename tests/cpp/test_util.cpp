// The small helpers under util: hexadecimal hashes, JSON text, lower-casing.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "util/hex.hpp"
#include "util/json.hpp"
#include "util/lowercase.hpp"

#ifdef CORVANE_TEST_WITH_ICU
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#endif

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
    EXPECT_FALSE(parse_json("[1]\0"s));
    EXPECT_FALSE(parse_json("[1,\0 2]"s));
    EXPECT_FALSE(parse_json("\"a\0b\""s));
    EXPECT_FALSE(parse_json("\0"s));
    EXPECT_TRUE(parse_json("\"a\\u0000b\""));  // escaped, it is an ordinary character
    EXPECT_FALSE(normalize_json_text("{}\0"s));
}

TEST(Json, NormalisedTextIsCompactSortedAndKeepsUtf8) {
    EXPECT_EQ(normalize_json_text(" {\"b\": 1, \"a\": [true, null], \"b\": 2}\n"), "{\"a\":[true,null],\"b\":2}");
    EXPECT_EQ(normalize_json_text("[\"\\u00e9\", \"\xc3\xa9\"]"), "[\"\xc3\xa9\",\"\xc3\xa9\"]");
    EXPECT_FALSE(normalize_json_text("[1] [2]"));
    EXPECT_FALSE(normalize_json_text("[\"\xff\"]"));
    EXPECT_FALSE(normalize_json_text(""));
}

TEST(Lowercase, AsciiPathAgreesWithTheFullMapping) {
    // Text with one non-ASCII character takes the full path; its ASCII part must come out
    // as the ASCII path gives it.
    std::mt19937 rng(3);
    for (int iter = 0; iter < 2000; ++iter) {
        std::string s(rng() % 40, ' ');
        for (char& c : s) c = static_cast<char>(rng() % 0x80);
        const std::string ascii = to_lower(s);
        ASSERT_EQ(to_lower(s + "\xc3\xa9"), ascii + "\xc3\xa9");
        ASSERT_EQ(to_lower("\xc3\x89" + s), "\xc3\xa9" + ascii);
    }
}

#ifdef CORVANE_TEST_WITH_ICU
TEST(Lowercase, AgreesWithIcu) {
    auto icu_lower = [](const std::string& text) {
        std::string out;
        icu::StringByteSink<std::string> sink(&out);
        UErrorCode status = U_ZERO_ERROR;
        icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                                  nullptr, status);
        EXPECT_FALSE(U_FAILURE(status));
        return out;
    };
    for (const std::string s : {
             "HTTPServer.get_Session_", "__INIT__", "",
             "\xCE\xA3\xCE\xA5\xCE\x9D\xCE\x91\xCE\xA1\xCE\xA4\xCE\x97\xCE\xA3\xCE\x97",  // final sigma
             "\xCE\x8C\xCE\xA3\xCE\x9F\xCE\xA3 \xCE\xA3",                                  // sigma alone, after a space
             "\xC4\xB0stanbul",                                                            // dotted capital I
             "STRA\xC3\x9F" "E \xE1\xBA\x9E",                                              // sharp s, capital sharp s
             "\xC7\x85\xE2\x85\xAB\xEF\xBC\xA1",                                           // title case, numeral, fullwidth
             "\xF0\x90\x90\x80\xF0\x9E\xA4\x80",                                           // outside the BMP
         }) {
        EXPECT_EQ(to_lower(s), icu_lower(s)) << s;
    }
}
#endif
