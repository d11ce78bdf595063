#include "metadata/engine/edges.hpp"

#include <vector>

namespace corvane {

PairSet& edge_set(MetadataEngine& record, EdgeKind kind) {
    switch (kind) {
        case EdgeKind::ResolvedCall: return record.resolved_call_edges;
        case EdgeKind::Execution: return record.execution_edges;
        case EdgeKind::GeneratedExecution: return record.generated_execution_edges;
        case EdgeKind::Structural: break;
    }
    return record.structural_edges;
}

namespace {

// The builder half of add_typed_edge: false when an id has no node hash (nothing to feed).
Result<bool> feed_builders(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    const IdentityTable& ids = state.record.identities;
    auto from = ids.find(from_id);
    if (!from) return false;
    auto to = ids.find(to_id);
    if (!to) return false;
    const Hash32* from_hash = ids.hash(*from);
    const Hash32* to_hash = ids.hash(*to);
    if (!from_hash || !to_hash) return invalid_value("Invalid hash");
    state.dependency_builder.add_edge(*from_hash, *to_hash, *from, *to);
    if (kind != EdgeKind::Structural) state.call_builder.add_edge(*from_hash, *to_hash, *from, *to);
    return true;
}

}  // namespace

Status add_typed_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    auto fed = feed_builders(state, from_id, to_id, kind);
    if (!fed) return fed.error();
    if (*fed) edge_set(state.record, kind).emplace(from_id, to_id);
    return {};
}

// Feeding a stored pair through add_typed_edge would insert it into the set it came from,
// where it already is; so the pairs are fed to the builders straight from the sets, with no
// copies and no set insertions, in the same order and with the same result.
Status repopulate_builders(EngineState& state) {
    constexpr EdgeKind order[] = {EdgeKind::Structural, EdgeKind::Execution, EdgeKind::GeneratedExecution,
                                  EdgeKind::ResolvedCall};
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    for (EdgeKind kind : order) {
        for (const auto& [from, to] : edge_set(state.record, kind)) {
            if (auto fed = feed_builders(state, from, to, kind); !fed) return fed.error();
        }
    }
    return {};
}

}  // namespace corvane
