// Lower-casing: the full mapping with final sigma, its ASCII path, and text that is not
// well-formed UTF-8. Python never hands the engine such a name, but a snapshot written by
// another program may hold one: every byte that starts no character is kept as it is, and
// nothing is read past the end of the text.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "util/lowercase.hpp"

#ifdef CORVANE_TEST_WITH_ICU
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#endif

using corvane::to_lower;

TEST(Lowercase, IsFullUnicodeWithFinalSigma) {
    EXPECT_EQ(to_lower("ABC_def"), "abc_def");
    EXPECT_EQ(to_lower("\xCE\x9F\xCE\xA3"), "\xCE\xBF\xCF\x82");          // ΟΣ -> ος (final sigma)
    EXPECT_EQ(to_lower("\xCE\xA3\xCE\x9F"), "\xCF\x83\xCE\xBF");          // ΣΟ -> σο
    EXPECT_EQ(to_lower("\xC4\xB0"), "i\xCC\x87");                          // İ -> i + combining dot
}

TEST(Lowercase, IllFormedBytesAreCopiedUnchanged) {
    EXPECT_EQ(to_lower("\xCE"), "\xCE");                                   // truncated at the end
    EXPECT_EQ(to_lower("\xC3\x84\xCE"), "\xC3\xA4\xCE");                   // Ä then a truncated character
    EXPECT_EQ(to_lower("\xE2\x82" "A"), "\xE2\x82" "a");                   // truncated before ASCII
    EXPECT_EQ(to_lower("\x80\xBF\xC3\x84"), "\x80\xBF\xC3\xA4");           // stray continuation bytes
    EXPECT_EQ(to_lower("\xC0\xC1\xF5\xFF\xC3\x84"), "\xC0\xC1\xF5\xFF\xC3\xA4");  // bytes that never start one
    EXPECT_EQ(to_lower("\xC1\x81\xC3\x84"), "\xC1\x81\xC3\xA4");           // overlong 'A'
    EXPECT_EQ(to_lower("\xE0\x81\x81\xC3\x84"), "\xE0\x81\x81\xC3\xA4");   // overlong three-byte form
    EXPECT_EQ(to_lower("\xED\xA0\x80\xC3\x84"), "\xED\xA0\x80\xC3\xA4");   // encoded surrogate
    EXPECT_EQ(to_lower("\xF4\x90\x80\x80\xC3\x84"), "\xF4\x90\x80\x80\xC3\xA4");  // above U+10FFFF
    EXPECT_EQ(to_lower("\xF0\x90\x90\x80\xF0\x90\x90"), "\xF0\x90\x90\xA8\xF0\x90\x90");  // 𐐀 -> 𐐨, then truncated
}

TEST(Lowercase, IllFormedByteEndsTheFinalSigmaContext) {
    // A capital sigma after a cased letter is final unless a cased letter follows; a byte that
    // starts no character counts as neither cased nor case-ignorable, on either side.
    EXPECT_EQ(to_lower("A\xCE\xA3\xFF" "b"), "a\xCF\x82\xFF" "b");
    EXPECT_EQ(to_lower("A\xFF\xCE\xA3"), "a\xFF\xCF\x83");
    EXPECT_EQ(to_lower("A\xCE\xA3'\xFF" "b"), "a\xCF\x82'\xFF" "b");  // the apostrophe is skipped, the byte is not
    EXPECT_EQ(to_lower("A\xCE\xA3'b"), "a\xCF\x83'b");
    EXPECT_EQ(to_lower("A'\xCE\xA3\xCE"), "a'\xCF\x82\xCE");          // truncated character after the sigma
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
