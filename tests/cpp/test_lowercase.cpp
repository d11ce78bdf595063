// Lower-casing of text that is not well-formed UTF-8. Python never hands the engine such a
// name, but a snapshot written by another program may hold one: every byte that starts no
// character is kept as it is, and nothing is read past the end of the text.
#include <gtest/gtest.h>

#include "util/lowercase.hpp"

using corvane::to_lower;

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
