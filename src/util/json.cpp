#include "util/json.hpp"

namespace corvane {

namespace {

// Builds the DOM like the library's own parser and stops at the first level too deep.
class DepthLimitedSax {
public:
    explicit DepthLimitedSax(Json& root) : dom_(root, false) {}

    bool null() { return dom_.null(); }
    bool boolean(bool v) { return dom_.boolean(v); }
    bool number_integer(Json::number_integer_t v) { return dom_.number_integer(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
    bool number_float(Json::number_float_t v, const Json::string_t& s) { return dom_.number_float(v, s); }
    bool string(Json::string_t& v) { return dom_.string(v); }
    bool binary(Json::binary_t& v) { return dom_.binary(v); }
    bool start_object(std::size_t n) { return ++depth_ <= kMaxJsonDepth && dom_.start_object(n); }
    bool key(Json::string_t& k) { return dom_.key(k); }
    bool end_object() {
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t n) { return ++depth_ <= kMaxJsonDepth && dom_.start_array(n); }
    bool end_array() {
        --depth_;
        return dom_.end_array();
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        failed_ = true;
        return false;
    }
    bool failed() const { return failed_; }

private:
    nlohmann::detail::json_sax_dom_parser<Json> dom_;
    int depth_ = 0;
    bool failed_ = false;
};

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
    // The library's lexer reads a raw NUL as the end of the input and would accept whatever
    // came before it; JSON text has no place for one (inside strings it must be escaped).
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    Json root;
    DepthLimitedSax sax(root);
    bool ok = false;
    try {
        ok = Json::sax_parse(text.begin(), text.end(), &sax, nlohmann::detail::input_format_t::json, true);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!ok || sax.failed()) return std::nullopt;
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
