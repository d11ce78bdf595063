// parse_json and the "django_relations" normalisation on arbitrary text: never crash, never
// recurse without bound; a normalised text is itself valid and normalises to itself.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = corvane::parse_json(text);
    auto normal = corvane::normalize_json_text(text);
    if (parsed.has_value() != normal.has_value()) std::abort();
    if (!normal) return 0;
    auto again = corvane::normalize_json_text(*normal);
    if (!again || *again != *normal) std::abort();
    auto reparsed = corvane::parse_json(*normal);
    if (!reparsed || *reparsed != *parsed) std::abort();
    return 0;
}
