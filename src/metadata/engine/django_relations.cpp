#include "metadata/engine/django_relations.hpp"

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/edges.hpp"
#include "util/json.hpp"

namespace corvane::detail {

std::vector<std::string> relation_targets(LookupSource& src, const std::string& node_id,
                                          std::string_view relations_json) {
    std::vector<std::string> out;
    auto parsed = parse_json(relations_json);
    if (!parsed || !parsed->is_array()) return out;
    for (const Json& element : *parsed) {
        if (!element.is_object()) continue;
        auto it = element.find("related_model");
        if (it == element.end() || !it->is_string()) continue;
        // An empty caller id: no module preference applies to model names.
        for (auto& target : resolve_generic_calls(src, "", {it->get<std::string>()}, kClassType)) {
            if (target != node_id) out.push_back(std::move(target));
        }
    }
    return out;
}

Result<std::uint32_t> resolve_django_relations(EngineState& state, LookupSource& src, const std::string& node_id,
                                               std::string_view relations_json) {
    std::uint32_t count = 0;
    for (const auto& target : relation_targets(src, node_id, relations_json)) {
        if (auto fed = add_edge(state, node_id, target, EdgeKind::Structural); !fed) return fed.error();
        ++count;
    }
    return count;
}

}  // namespace corvane::detail
