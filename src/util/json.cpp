#include "util/json.hpp"

namespace corvane {

std::optional<Json> parse_json(std::string_view text) {
    Json root;
    nlohmann::detail::json_sax_dom_parser<Json> dom(root, false);
    if (!parse_json_events(text, dom)) return std::nullopt;
    return root;
}

std::string dump_compact(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<std::string> normalize_json_text(std::string_view text) {
    auto value = parse_json(text);
    if (!value) return std::nullopt;
    return dump_compact(*value);
}

}  // namespace corvane
