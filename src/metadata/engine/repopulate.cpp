#include "metadata/engine/repopulate.hpp"

#include <string>
#include <vector>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/django_relations.hpp"
#include "metadata/engine/edges.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/python_lookup.hpp"

namespace corvane {

Status repopulate_edges(EngineState& state) { return refresh_derived_edges(state); }

Status repopulate_edges_full(EngineState& state) {
    forget_recorded_reads(state);
    std::vector<std::string> ids;
    ids.reserve(state.record.nodes.size());
    for (const auto& [id, meta] : state.record.nodes) ids.push_back(id);

    state.record.resolved_call_edges.clear();
    if (Status s = repopulate_builders(state); !s) return s;

    // Adding edges leaves nodes and indexes alone, so what the source caches stays true for
    // the whole pass.
    CachedLookup src(state.record);
    for (const auto& id : ids) {
        const NodeMeta* node = src.node(id);
        if (node == nullptr) continue;
        if (node->calls) {
            auto targets = resolve_calls(src, id, *node->calls);
            if (auto r = connect_resolved_calls(state, id, targets); !r) return r.error();
        }
        if (node->django_relations_json) {
            if (auto r = resolve_django_relations(state, src, id, *node->django_relations_json); !r) return r.error();
        }
    }
    return {};
}

}  // namespace corvane
