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

// The events of the text (the library's SAX interface) under parse_json's rules, for a
// reader that builds its own structure instead of the DOM: false, wherever the events
// stopped, for text that parse_json refuses. The handler's parse_error is never called.
template <class Sax>
bool parse_json_events(std::string_view text, Sax& sax);

// Compact form: no whitespace, object members in ascending byte order of their keys,
// non-ASCII written as UTF-8.
std::string dump_compact(const Json& value);

// The text parsed and written back compactly (sorted keys, last duplicate wins, UTF-8 kept);
// absent when it is not valid JSON.
std::optional<std::string> normalize_json_text(std::string_view text);

namespace json_detail {

// Forwards the events and stops at the first level too deep or the first error.
template <class Sax>
class DepthLimited {
public:
    explicit DepthLimited(Sax& inner) : inner_(inner) {}
    bool null() { return inner_.null(); }
    bool boolean(bool v) { return inner_.boolean(v); }
    bool number_integer(Json::number_integer_t v) { return inner_.number_integer(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return inner_.number_unsigned(v); }
    bool number_float(Json::number_float_t v, const Json::string_t& s) { return inner_.number_float(v, s); }
    bool string(Json::string_t& v) { return inner_.string(v); }
    bool binary(Json::binary_t& v) { return inner_.binary(v); }
    bool start_object(std::size_t n) { return ++depth_ <= kMaxJsonDepth && inner_.start_object(n); }
    bool key(Json::string_t& k) { return inner_.key(k); }
    bool end_object() {
        --depth_;
        return inner_.end_object();
    }
    bool start_array(std::size_t n) { return ++depth_ <= kMaxJsonDepth && inner_.start_array(n); }
    bool end_array() {
        --depth_;
        return inner_.end_array();
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    Sax& inner_;
    int depth_ = 0;
};

}  // namespace json_detail

template <class Sax>
bool parse_json_events(std::string_view text, Sax& sax) {
    // The library's lexer reads a raw NUL as the end of the input and would accept whatever
    // came before it; JSON text has no place for one (inside strings it must be escaped).
    if (text.find('\0') != std::string_view::npos) return false;
    json_detail::DepthLimited<Sax> limited(sax);
    try {
        return Json::sax_parse(text.begin(), text.end(), &limited, nlohmann::detail::input_format_t::json, true);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace corvane
