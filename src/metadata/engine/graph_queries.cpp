#include "metadata/engine/graph_queries.hpp"

#include <algorithm>

#include "graph/csr/ancestor_counts.hpp"
#include "util/prefetch.hpp"
#include "util/two_threads.hpp"

namespace corvane {

namespace {

// Below these sizes a second thread costs more than it saves.
constexpr std::size_t kParallelCompileNodes = std::size_t{1} << 14;
constexpr std::size_t kParallelMetricsRecords = std::size_t{1} << 14;

GraphIdentity identify(const IdentityTable& ids, const graph::CsrGraph& graph) {
    GraphIdentity out;
    out.graph_serial = graph.serial;
    out.generation = ids.generation();
    out.index_of_handle.assign(ids.handle_bound(), GraphIdentity::kAbsent);
    out.id_of_index.assign(graph.node_count(), std::string_view());
    if (ids.hashes_map_back()) {
        // A hash names at most one id, both ways. A graph node's tag is the handle that fed
        // its last edge: that id, unless the handle has lost or changed its hash since.
        for (graph::NodeIndex i = 0; i < graph.node_count(); ++i) {
            const Hash32& hash = graph.hashes()[i];
            NodeHandle h = graph.tags[i];
            const Hash32* tagged = h < ids.handle_bound() ? ids.hash(h) : nullptr;
            if (tagged == nullptr || *tagged != hash) {
                auto back = ids.handle_of_hash(hash);
                if (!back) continue;
                h = *back;
            }
            out.id_of_index[i] = ids.id(h);
            if (const Hash32* own = ids.hash(h); own != nullptr && *own == hash) out.index_of_handle[h] = i;
        }
        return out;
    }
    for (NodeHandle h = 0; h < out.index_of_handle.size(); ++h) {
        const Hash32* hash = ids.hash(h);
        if (hash == nullptr) continue;
        if (const graph::NodeIndex* i = graph.index().find(*hash)) out.index_of_handle[h] = *i;
    }
    for (graph::NodeIndex i = 0; i < graph.node_count(); ++i) {
        if (const std::string* id = ids.id_of_hash(graph.hashes()[i])) out.id_of_index[i] = *id;
    }
    return out;
}

// Writes the counts of the call graph (radius: ancestor counts by its index) into every
// node record that has a decodable hash; returns how many records changed.
std::size_t apply_graph_metrics(EngineState& state, const std::vector<std::uint32_t>& radius, bool by_handle) {
    const graph::CsrGraph& g = *state.call_graph;
    const IdentityTable& ids = state.record.identities;
    // Every record is a node of its own, its id a string elsewhere again, and the lookups
    // that follow probe tables at random: the records are taken in a list first, so each
    // step of that chain can be fetched for the records ahead.
    std::vector<std::pair<const std::string*, NodeMeta*>> records;
    records.reserve(state.record.nodes.size());
    for (auto& [id, meta] : state.record.nodes) records.emplace_back(&id, &meta);
    // Each record's counts are its own: large tables are written in two halves at once,
    // so that two threads' misses overlap as well.
    auto write_range = [&](std::size_t begin, std::size_t end) noexcept {
        std::size_t changed = 0;
        for (std::size_t k = begin; k < end; ++k) {
            if (k + 3 * kNearAhead < end) prefetch(records[k + 3 * kNearAhead].first);
            if (k + 2 * kNearAhead < end) {
                prefetch_text(*records[k + 2 * kNearAhead].first);
                prefetch_object(*records[k + 2 * kNearAhead].second);
            }
            if (k + kNearAhead < end) ids.prefetch_find(*records[k + kNearAhead].first);
            NodeMeta& meta = *records[k].second;
            auto h = ids.find(*records[k].first);
            if (!h) continue;
            const Hash32* hash = ids.hash(*h);
            if (hash == nullptr) continue;
            std::optional<graph::NodeIndex> i;
            if (!by_handle) {
                i = g.find(*hash);
            } else if (const graph::NodeIndex j = state.call_graph_ids.index_of_handle[*h]; j != GraphIdentity::kAbsent) {
                i = j;
            }
            std::uint32_t calls = 0, callers = 0, reach = 0;
            if (i) {
                calls = static_cast<std::uint32_t>(g.forward.offsets[*i + 1] - g.forward.offsets[*i]);
                callers = static_cast<std::uint32_t>(g.reverse.offsets[*i + 1] - g.reverse.offsets[*i]);
                reach = radius[*i];
            }
            changed += meta.calls_count != calls || meta.callers_count != callers || meta.blast_radius_score != reach;
            meta.calls_count = calls;
            meta.callers_count = callers;
            meta.blast_radius_score = reach;
        }
        return changed;
    };
    const std::size_t n = records.size(), half = n / 2;
    std::size_t changed = 0, changed_second = 0;
    run_both(n >= kParallelMetricsRecords, [&] { changed = write_range(0, half); },
             [&] { changed_second = write_range(half, n); });
    return changed + changed_second;
}

}  // namespace

std::size_t compile_step(EngineState& state) {
    // The two graphs are independent: a large pair is compiled on two threads. Running out
    // of memory on either reaches the caller once both are done.
    auto dependency = [&state] {
        state.dependency_graph = state.dependency_builder.compile();
        state.dependency_graph_ids = identify(state.record.identities, *state.dependency_graph);
    };
    auto call = [&state] {
        state.call_graph = state.call_builder.compile();
        state.call_graph_ids = identify(state.record.identities, *state.call_graph);
    };
    // Counting ancestors is the costly part of the step. A change that leaves the nodes as
    // they were changes only the counts that paths from the nodes reaching it add or take
    // away (none at all when the call edges are the same: a body edited, a docstring).
    std::optional<graph::CsrGraph> previous_call_graph = std::move(state.call_graph);
    run_both(state.dependency_builder.node_count() >= kParallelCompileNodes, dependency, call);
    const graph::CsrGraph& g = *state.call_graph;
    std::optional<std::vector<std::uint32_t>> counts;
    if (previous_call_graph) counts = graph::ancestor_counts_after(*previous_call_graph, state.call_graph_counts, g);
    previous_call_graph.reset();
    if (!counts) return refresh_graph_metrics(state);
    state.call_graph_counts = std::move(*counts);
    return apply_graph_metrics(state, state.call_graph_counts, state.call_graph_ids.valid_for(g, state.record.identities));
}

std::size_t refresh_graph_metrics(EngineState& state, bool plain) {
    if (!state.call_graph) return 0;
    const graph::CsrGraph& g = *state.call_graph;
    // The counts are kept with the graph either way: the next compile starts from them.
    state.call_graph_counts = plain ? graph::ancestor_counts_plain(g) : graph::ancestor_counts(g);
    return apply_graph_metrics(state, state.call_graph_counts,
                               !plain && state.call_graph_ids.valid_for(g, state.record.identities));
}

Result<IndexAnswer> graph_query_indexes(const EngineState& state, GraphQuery query, std::string_view node_id,
                                        std::uint32_t max_depth, bool plain) {
    const bool dependency = query == GraphQuery::Dependents || query == GraphQuery::Dependencies;
    if (!(dependency ? state.dependency_graph : state.call_graph)) return wrong_state("Graph must be built first");
    auto h = state.record.identities.find(node_id);
    if (!h) return invalid_value("Unknown node_id: " + std::string(node_id));
    return graph_query_indexes(state, query, *h, max_depth, plain);
}

Result<IndexAnswer> graph_query_indexes(const EngineState& state, GraphQuery query, NodeHandle h,
                                        std::uint32_t max_depth, bool plain) {
    const bool dependency = query == GraphQuery::Dependents || query == GraphQuery::Dependencies;
    const auto& graph = dependency ? state.dependency_graph : state.call_graph;
    if (!graph) return wrong_state("Graph must be built first");
    const IdentityTable& ids = state.record.identities;
    const Hash32* hash = ids.hash(h);
    if (hash == nullptr) return invalid_value("Invalid hash");

    const GraphIdentity& compiled = dependency ? state.dependency_graph_ids : state.call_graph_ids;
    const bool by_handle = !plain && compiled.valid_for(*graph, ids);
    std::optional<graph::NodeIndex> start;
    if (!by_handle) {
        start = graph->find(*hash);
    } else if (const graph::NodeIndex i = compiled.index_of_handle[h]; i != GraphIdentity::kAbsent) {
        start = i;
    }
    IndexAnswer answer;
    if (!start) return answer;  // a node without edges is not in the graph
    answer.graph = &*graph;
    answer.compiled = by_handle ? &compiled : nullptr;
    switch (query) {
        case GraphQuery::Callers:
        case GraphQuery::Dependents: answer.direct = graph->reverse.neighbours(*start); break;
        case GraphQuery::Callees:
        case GraphQuery::Dependencies: answer.direct = graph->forward.neighbours(*start); break;
        case GraphQuery::RecursiveCallees:
        case GraphQuery::BlastRadius:
            answer.transitive = true;
            answer.walked = graph->reachable_indexes(
                *start, query == GraphQuery::BlastRadius ? graph->reverse : graph->forward, max_depth);
            break;
    }
    return answer;
}

Result<NodeIdRefs> graph_query(const EngineState& state, GraphQuery query, std::string_view node_id,
                               std::uint32_t max_depth, bool plain) {
    Result<IndexAnswer> answer = graph_query_indexes(state, query, node_id, max_depth, plain);
    if (!answer) return answer.error();
    NodeIdRefs out;
    out.reserve(answer->indexes().size());
    for (graph::NodeIndex i : answer->indexes()) {
        if (const std::string_view id = id_at(state, *answer, i); id.data() != nullptr) out.push_back(id);
    }
    return out;
}

}  // namespace corvane
