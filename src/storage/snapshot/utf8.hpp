#pragma once
// Strict UTF-8 validation: shortest forms only, no surrogates, nothing above U+10FFFF.
#include <cstddef>
#include <cstdint>

namespace corvane {

bool is_valid_utf8(const std::uint8_t* data, std::size_t len);

}  // namespace corvane
