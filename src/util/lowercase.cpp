#include "util/lowercase.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>

namespace corvane {

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
    std::string out;
    out.reserve(text.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    // The root locale gives the default full mappings, Final_Sigma included.
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                              nullptr, status);
    if (U_FAILURE(status)) return std::string(text);
    return out;
}

}  // namespace corvane
