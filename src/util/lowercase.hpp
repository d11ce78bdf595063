#pragma once
#include <string>
#include <string_view>

namespace corvane {

// Full Unicode lowercase mapping (one character may become several) with the final-sigma
// rule, as for name_index keys, name lookups and search. Input is UTF-8.
std::string to_lower(std::string_view text);

}  // namespace corvane
