#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "util/hash.hpp"

namespace corvane {

// Exactly 64 hexadecimal digits, either case; anything else is refused.
std::optional<Hash32> decode_hex32(std::string_view text);
// The same, a digit at a time: what the vector version is tested against.
std::optional<Hash32> decode_hex32_plain(std::string_view text);

// 64 lowercase hexadecimal digits.
std::string encode_hex32(const Hash32& hash);
void encode_hex32_into(const Hash32& hash, char* out64);

}  // namespace corvane
