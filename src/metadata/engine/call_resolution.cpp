#include "metadata/engine/call_resolution.hpp"

#include <algorithm>

#include "util/lowercase.hpp"
#include "util/utf8.hpp"

namespace corvane {

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// A key with its StringHash, for probing several maps by it.
struct HashedKey {
    explicit HashedKey(std::string_view t) : text(t), hash(StringHash{}(t)) {}
    HashedKey(std::string_view t, std::size_t h) : text(t), hash(h) {}
    std::string_view text;
    std::size_t hash;
};

bool shadowed_in(const PythonBindingContext& ctx, const HashedKey& scope, const HashedKey& name) {
    auto it = ctx.shadowed_names.find(scope.text, scope.hash);
    return it != ctx.shadowed_names.end() && it->second.find(name.text, name.hash) != it->second.end();
}

// The receiver entry for prefix in scope: absent when there is none, nullopt inside when the
// value is not a type name string.
const std::optional<std::string>* receiver_entry(const PythonBindingContext& ctx, const HashedKey& scope,
                                                 const HashedKey& prefix) {
    auto it = ctx.receiver_types.find(scope.text, scope.hash);
    if (it == ctx.receiver_types.end()) return nullptr;
    auto e = it->second.find(prefix.text, prefix.hash);
    return e == it->second.end() ? nullptr : &e->second;
}

std::optional<std::string> resolve_super(LookupSource& src, const CallerView& caller, std::string_view member) {
    auto c = enclosing_class(src, caller);
    if (!c) return std::nullopt;
    auto facts = src.extra_facts(*c);
    if (!facts || !facts->base_classes) return std::nullopt;
    std::vector<std::string> candidates;
    for (std::size_t i = 0; i < facts->base_classes->size(); ++i) {
        auto b = src.resolved_base(*c, *facts->base_classes, i);
        if (!b) continue;
        StringSet visited;
        if (auto m = find_method(src, *b, member, visited)) candidates.push_back(std::move(*m));
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    if (candidates.size() == 1) return std::move(candidates.front());
    return std::nullopt;
}

std::optional<std::string> method_of_type(LookupSource& src, const CallerView& caller, std::string_view type_name,
                                          std::string_view member, const PythonBindingContext& ctx) {
    auto c = resolve_class_name(src, caller, type_name, ctx);
    if (!c) return std::nullopt;
    StringSet visited;
    return find_method(src, *c, member, visited);
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    while (!text.empty()) {
        auto [cp, len] = decode_utf8(text);
        if (len == 0 || !is_white_space(cp)) break;
        text.remove_prefix(len);
    }
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        auto [cp, len] = decode_utf8(text.substr(start));
        if (len != text.size() - start || !is_white_space(cp)) break;
        text.remove_suffix(len);
    }
    return text;
}

std::optional<std::string> resolve_python_call(LookupSource& src, const CallerView& caller, std::string_view raw_name,
                                               const PythonBindingContext& ctx) {
    std::string_view name = trim_white_space(raw_name);
    if (name.empty()) return std::nullopt;
    const NameParts parts = split_dots(name);
    const std::size_t n = parts.size();
    const std::string& file = caller.meta.file_path;
    const bool qualified = caller.qualified;

    if (parts[0] == "super") {
        if (n != 2) return std::nullopt;
        return resolve_super(src, caller, parts[1]);
    }

    if (n >= 2 && qualified) {
        // The parts are views into name: all of them but the last, dots included.
        const std::string_view last = parts[n - 1];
        const std::string_view prefix = name.substr(0, static_cast<std::size_t>(last.data() - name.data()) - 1);
        const HashedKey head(parts[0]);
        const HashedKey hashed_prefix(prefix);
        const bool through_self = prefix.starts_with("self.") || prefix.starts_with("cls.");
        for (std::size_t k = caller.scopes.size(); k >= 1; --k) {
            const HashedKey scope(caller.scopes[k - 1].text, caller.scopes[k - 1].hash);
            if (!through_self && caller.scope_is(k, "Class")) continue;
            if (auto* entry = receiver_entry(ctx, scope, hashed_prefix)) {
                if (!*entry) return std::nullopt;
                return method_of_type(src, caller, **entry, last, ctx);
            }
            if (head.text == "self" || head.text == "cls") continue;
            if (shadowed_in(ctx, scope, head)) return std::nullopt;
        }
        const HashedKey module_scope("", module_scope_hash());
        if (auto* entry = receiver_entry(ctx, module_scope, hashed_prefix)) {
            if (!*entry) return std::nullopt;
            return method_of_type(src, caller, **entry, last, ctx);
        }
        if (shadowed_in(ctx, module_scope, head)) return std::nullopt;
    }

    if (n == 2 && (parts[0] == "self" || parts[0] == "cls")) {
        // In a static method the receiver is an ordinary name, left to the import and
        // same-file steps.
        auto own = src.extra_facts(caller.meta.node_id);
        if (!own || !own->static_method) {
            auto c = enclosing_class(src, caller);
            if (!c) return std::nullopt;
            StringSet visited;
            return find_method(src, *c, parts[1], visited);
        }
    }

    if (n == 1) {
        // Recursion: a function's own name, bare, is itself. Not so for a method: the class
        // body is no enclosing scope of its methods, so there the name means a definition
        // found by the steps below (a module-level function of the same name, for instance).
        const std::size_t s = caller.scopes.size();
        const bool method = s >= 2 && caller.scope_is(s - 1, "Class");
        if (name == caller.meta.name && !method) return caller.meta.node_id;
        if (!qualified) return std::nullopt;
        for (std::size_t k = caller.scopes.size(); k >= 1; --k) {
            if (caller.scope_is(k, "Class")) continue;
            std::string id = caller.scopes[k - 1].id;
            id += '.';
            id += name;
            if (is_definition_node(src, id)) return id;
        }
    }

    ImportLookup imported = lookup_import_binding(src, caller, parts[0], ctx);
    if (std::holds_alternative<ImportShadowed>(imported)) return std::nullopt;
    if (auto* found = std::get_if<ImportFound>(&imported)) {
        return resolve_through_bindings(src, *found->bindings, parts);
    }

    std::string local = scope_id(file, name);
    if (is_definition_node(src, local)) return local;
    if (n >= 2) return std::nullopt;
    if (is_python_builtin(name) || ctx.present) return std::nullopt;
    return unique_global_definition(src, name, kDefinitionTypes);
}

std::vector<ResolvedTarget> resolve_generic_calls(LookupSource& src, std::string_view caller_id,
                                                  const std::vector<std::string>& names, const TypeList& allowed_types) {
    static constexpr std::string_view kModules = "src/modules/";
    std::optional<std::string> preferred;
    if (std::size_t at = caller_id.find(kModules); at != std::string_view::npos) {
        std::string_view piece = caller_id.substr(at + kModules.size());
        piece = piece.substr(0, piece.find(kModules));
        piece = piece.substr(0, piece.find('/'));
        preferred = std::string(kModules) + std::string(piece) + "/";
    }

    std::vector<ResolvedTarget> out;
    std::vector<ResolvedTarget> matches;
    for (const auto& name : names) {
        if (src.name_index_empty()) continue;
        std::string key = to_lower(name);
        std::string_view short_key = key;
        if (std::size_t dot = short_key.rfind('.'); dot != std::string_view::npos) short_key.remove_prefix(dot + 1);
        const auto ids = src.ids_named(short_key);
        if (!ids) continue;
        matches.clear();
        for (const auto& id : *ids) {
            const NodeMeta* node = src.node(id);
            if (node == nullptr) continue;
            if (std::find(allowed_types.begin(), allowed_types.end(), node->node_type) == allowed_types.end()) continue;
            if (!src.has_node_hash(id)) continue;
            matches.push_back(id);
        }
        const bool prefer = preferred && std::any_of(matches.begin(), matches.end(), [&](const ResolvedTarget& m) {
                                return m.find(*preferred) != std::string::npos;
                            });
        for (auto& m : matches) {
            if (!prefer || m.find(*preferred) != std::string::npos) out.push_back(std::move(m));
        }
    }
    return out;
}

std::vector<ResolvedTarget> resolve_calls(LookupSource& src, const std::string& caller_id,
                                          const std::vector<std::string>& call_names) {
    src.start_caller();
    const NodeMeta* caller = src.node(caller_id);
    if (caller == nullptr) return {};
    if (caller->file_path.size() < 3 || !caller->file_path.ends_with(".py")) {
        return resolve_generic_calls(src, caller_id, call_names, kFunctionType);
    }
    auto ctx = src.binding_context(caller->file_path);
    const CallerView view(src, *caller);
    std::vector<ResolvedTarget> out;
    StringSet produced;
    for (const auto& name : call_names) {
        auto target = resolve_python_call(src, view, name, *ctx);
        if (!target || !produced.insert(*target).second) continue;
        if (!src.has_node_hash(*target)) continue;
        out.push_back(std::move(*target));
    }
    return out;
}

std::vector<ResolvedTarget> resolve_calls(const MetadataEngine& record, const std::string& caller_id,
                                          const std::vector<std::string>& call_names) {
    DirectLookup src(record);
    return resolve_calls(src, caller_id, call_names);
}

}  // namespace corvane
