#include "metadata/engine/graph_queries.hpp"

#include "util/hex.hpp"

namespace corvane {

void compile_step(EngineState& state) {
    state.dependency_graph = state.dependency_builder.compile();
    state.call_graph = state.call_builder.compile();
    refresh_graph_metrics(state);
}

void refresh_graph_metrics(EngineState& state, bool plain) {
    if (!state.call_graph) return;
    const graph::CsrGraph& g = *state.call_graph;
    const std::vector<std::uint32_t> radius = plain ? graph::ancestor_counts_plain(g) : graph::ancestor_counts(g);
    auto& ids = state.record.id_to_hash;
    for (auto& [id, meta] : state.record.nodes) {
        auto h = ids.find(id);
        if (h == ids.end()) continue;
        auto hash = decode_hex32(h->second);
        if (!hash) continue;
        std::uint32_t calls = 0, callers = 0, reach = 0;
        if (auto i = g.find(*hash)) {
            calls = static_cast<std::uint32_t>(g.forward.offsets[*i + 1] - g.forward.offsets[*i]);
            callers = static_cast<std::uint32_t>(g.reverse.offsets[*i + 1] - g.reverse.offsets[*i]);
            reach = radius[*i];
        }
        meta.calls_count = calls;
        meta.callers_count = callers;
        meta.blast_radius_score = reach;
    }
}

NodeIdRefs node_ids_of(const MetadataEngine& record, const graph::CsrGraph& graph,
                       std::span<const graph::NodeIndex> indexes) {
    NodeIdRefs out;
    out.reserve(indexes.size());
    std::string hex(64, '\0');
    for (graph::NodeIndex i : indexes) {
        encode_hex32_into(graph.hashes[i], hex.data());
        if (auto it = record.hash_to_id.find(hex); it != record.hash_to_id.end()) out.push_back(&it->second);
    }
    return out;
}

Result<NodeIdRefs> graph_query(const EngineState& state, GraphQuery query, const std::string& node_id,
                               std::uint32_t max_depth) {
    const bool dependency = query == GraphQuery::Dependents || query == GraphQuery::Dependencies;
    const auto& graph = dependency ? state.dependency_graph : state.call_graph;
    if (!graph) return wrong_state("Graph must be built first");
    auto h = state.record.id_to_hash.find(node_id);
    if (h == state.record.id_to_hash.end()) return invalid_value("Unknown node_id: " + node_id);
    auto hash = decode_hex32(h->second);
    if (!hash) return invalid_value("Invalid hash");
    auto start = graph->find(*hash);
    if (!start) return NodeIdRefs{};  // a node without edges is not in the graph

    switch (query) {
        case GraphQuery::Callers:
        case GraphQuery::Dependents: return node_ids_of(state.record, *graph, graph->reverse.neighbours(*start));
        case GraphQuery::Callees:
        case GraphQuery::Dependencies: return node_ids_of(state.record, *graph, graph->forward.neighbours(*start));
        case GraphQuery::RecursiveCallees:
            return node_ids_of(state.record, *graph, graph->reachable_indexes(*start, graph->forward, max_depth));
        case GraphQuery::BlastRadius: break;
    }
    return node_ids_of(state.record, *graph, graph->reachable_indexes(*start, graph->reverse, max_depth));
}

}  // namespace corvane
