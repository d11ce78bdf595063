#include "metadata/engine/django_relations.hpp"

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/edges.hpp"
#include "util/json.hpp"

namespace corvane {

Result<std::uint32_t> resolve_django_relations(EngineState& state, LookupSource& src, const std::string& node_id,
                                               std::string_view relations_json) {
    auto parsed = parse_json(relations_json);
    if (!parsed || !parsed->is_array()) return std::uint32_t{0};
    std::uint32_t count = 0;
    for (const Json& element : *parsed) {
        if (!element.is_object()) continue;
        auto it = element.find("related_model");
        if (it == element.end() || !it->is_string()) continue;
        // An empty caller id: no module preference applies to model names.
        auto matches = resolve_generic_calls(src, "", {it->get<std::string>()}, kClassType);
        for (const auto& target : matches) {
            if (target == node_id) continue;
            if (Status s = add_typed_edge(state, node_id, target, EdgeKind::Structural); !s) return s.error();
            ++count;
        }
    }
    return count;
}

Result<std::uint32_t> resolve_django_relations(EngineState& state, const std::string& node_id,
                                               std::string_view relations_json) {
    DirectLookup src(state.record);
    return resolve_django_relations(state, src, node_id, relations_json);
}

}  // namespace corvane
