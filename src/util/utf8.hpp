#pragma once
// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace corvane {

bool is_valid_utf8(const std::uint8_t* data, std::size_t len);

// The scalar value at the start of s and the length of its sequence; length 0 when s is
// empty or starts with a malformed or truncated sequence.
std::pair<char32_t, std::size_t> decode_utf8(std::string_view s);

}  // namespace corvane
