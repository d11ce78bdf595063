#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "util/hex.hpp"

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

Status add_typed_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    auto& ids = state.record.id_to_hash;
    auto from = ids.find(from_id);
    if (from == ids.end()) return {};
    auto to = ids.find(to_id);
    if (to == ids.end()) return {};
    auto from_hash = decode_hex32(from->second);
    auto to_hash = decode_hex32(to->second);
    if (!from_hash || !to_hash) return invalid_value("Invalid hash");
    state.dependency_builder.add_edge(*from_hash, *to_hash);
    if (kind != EdgeKind::Structural) state.call_builder.add_edge(*from_hash, *to_hash);
    edge_set(state.record, kind).emplace(from_id, to_id);
    return {};
}

Status repopulate_builders(EngineState& state) {
    constexpr EdgeKind order[] = {EdgeKind::Structural, EdgeKind::Execution, EdgeKind::GeneratedExecution,
                                  EdgeKind::ResolvedCall};
    std::vector<StringPair> copies[4];
    for (int i = 0; i < 4; ++i) {
        const PairSet& set = edge_set(state.record, order[i]);
        copies[i].assign(set.begin(), set.end());
    }
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    for (int i = 0; i < 4; ++i) {
        for (const auto& [from, to] : copies[i]) {
            if (Status s = add_typed_edge(state, from, to, order[i]); !s) return s;
        }
    }
    return {};
}

}  // namespace corvane
