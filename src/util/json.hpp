#pragma once
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace corvane {

using Json = nlohmann::json;

// Arrays and objects nested deeper than this are refused, so hostile text never exhausts
// the stack or the memory of a caller.
inline constexpr int kMaxJsonDepth = 128;

// One JSON value, optionally surrounded by JSON whitespace, nothing after it. Absent for
// invalid text (including invalid UTF-8, a raw NUL byte anywhere, and nesting beyond
// kMaxJsonDepth).
std::optional<Json> parse_json(std::string_view text);

// Compact form: no whitespace, object members in ascending byte order of their keys,
// non-ASCII written as UTF-8.
std::string dump_compact(const Json& value);

// The text parsed and written back compactly (sorted keys, last duplicate wins, UTF-8 kept);
// absent when it is not valid JSON.
std::optional<std::string> normalize_json_text(std::string_view text);

}  // namespace corvane
