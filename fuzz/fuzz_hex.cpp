// Hexadecimal node keys: exactly 64 digits of either case decode, nothing else does, and a
// decoded key encodes back to the lower-cased input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/hex.hpp"

namespace {

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bool expect = text.size() == 64;
    for (char c : text) expect = expect && is_hex_digit(c);
    auto decoded = corvane::decode_hex32(text);
    if (decoded.has_value() != expect) std::abort();
    if (!decoded) return 0;
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    if (corvane::encode_hex32(*decoded) != lower) std::abort();
    return 0;
}
