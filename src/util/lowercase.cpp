#include "util/lowercase.hpp"

#include <algorithm>
#include <cstdint>

namespace corvane {
namespace {

enum : std::uint8_t { kIgnorable = 1, kCased = 2, kExpands = 4 };

struct CaseEntry {
    std::int32_t mapping;  // code point delta, or an index into kExpansions
    std::uint8_t flags;
};

#include "util/lowercase_table.inc"

constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

const CaseEntry& case_entry(char32_t cp) {
    return kEntries[kBlocks[kBlockIndex[cp >> kBlockShift] * kBlockSize + (cp & (kBlockSize - 1))]];
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes the well-formed UTF-8 character at text[i]; returns its length, or 0 when the
// byte there does not start one (the caller copies that byte unchanged).
unsigned decode(std::string_view text, std::size_t i, char32_t& cp) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + i;
    const std::size_t left = text.size() - i;
    const unsigned char b = p[0];
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    if (b >= 0xC2 && b <= 0xDF) {
        if (left < 2 || !continuation(p[1])) return 0;
        cp = (char32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b >= 0xE0 && b <= 0xEF) {
        // Second byte limits exclude overlong forms (E0) and surrogates (ED).
        const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
        if (left < 3 || p[1] < lo || p[1] > hi || !continuation(p[2])) return 0;
        cp = (char32_t(b & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        // Exclude overlong forms (F0) and code points above U+10FFFF (F4).
        const unsigned char lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
        if (left < 4 || p[1] < lo || p[1] > hi || !continuation(p[2]) || !continuation(p[3])) return 0;
        cp = (char32_t(b & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
             (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

char* put_utf8(char* w, char32_t cp) {
    if (cp < 0x80) {
        *w++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *w++ = static_cast<char>(0xC0 | (cp >> 6));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (cp >> 12));
        *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *w++ = static_cast<char>(0xF0 | (cp >> 18));
        *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return w;
}

// Whether the first character from text[i] on that is not case-ignorable is cased.
// A byte that starts no character ends the search, like the end of the text.
bool cased_follows(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        char32_t cp;
        const unsigned len = decode(text, i, cp);
        if (len == 0) return false;
        const std::uint8_t flags = case_entry(cp).flags;
        if (!(flags & kIgnorable)) return flags & kCased;
        i += len;
    }
    return false;
}

}  // namespace

std::string to_lower(std::string_view text) {
    bool ascii = true;
    for (unsigned char c : text) {
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        }
        return out;
    }
    // No character's lowercase form is more than half again as long in UTF-8 as the character
    // (the table generator checks this), so the text is written in place without growing.
    std::string out(text.size() + text.size() / 2, '\0');
    char* w = out.data();
    // Whether the last character that is not case-ignorable was cased: the half of the
    // final-sigma context that looks back.
    bool cased_before = false;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        const unsigned len = decode(text, i, cp);
        if (len == 0) {
            *w++ = text[i++];
            cased_before = false;
            continue;
        }
        const CaseEntry& entry = case_entry(cp);
        if (cp == kCapitalSigma) {
            w = put_utf8(w, cased_before && !cased_follows(text, i + len) ? kFinalSigma : kSmallSigma);
        } else if (entry.flags & kExpands) {
            const std::string_view expansion = kExpansions[entry.mapping];
            w = std::copy(expansion.begin(), expansion.end(), w);
        } else {
            w = put_utf8(w, static_cast<char32_t>(static_cast<std::int32_t>(cp) + entry.mapping));
        }
        if (!(entry.flags & kIgnorable)) cased_before = entry.flags & kCased;
        i += len;
    }
    out.resize(static_cast<std::size_t>(w - out.data()));
    return out;
}

}  // namespace corvane
