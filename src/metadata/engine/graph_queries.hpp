#pragma once
// The compile step and the six graph questions of the metadata engine.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/engine_state.hpp"

namespace corvane {

// Compiles both builders into the two graphs, then refreshes every node's graph counts.
// Returns how many node records that changed.
std::size_t compile_step(EngineState& state);

// Rewrites calls_count, callers_count and blast_radius_score of every node that has a
// decodable hash, from call_graph; returns how many records differ from before. `plain`
// selects the one-walk-per-node definition that the fast path is checked against.
std::size_t refresh_graph_metrics(EngineState& state, bool plain = false);

enum class GraphQuery { Callers, Callees, Dependents, Dependencies, RecursiveCallees, BlastRadius };

// The answer of a query: the ids as the identity table holds them, valid while the engine
// lock is held and the record unchanged (the caller copies them out before releasing it).
using NodeIdRefs = std::vector<std::string_view>;

// The answer of a query as indexes of the graph it ran on, before they become ids: what a
// caller that keeps something of its own per graph node works from. Valid while the engine
// lock is held and the state unchanged.
struct IndexAnswer {
    const graph::CsrGraph* graph = nullptr;  // null: the node has no edges (empty answer)
    const GraphIdentity* compiled = nullptr;  // null: ids are found by hash lookups
    std::span<const graph::NodeIndex> direct;  // a neighbour list of `graph`
    std::vector<graph::NodeIndex> walked;      // a transitive answer
    bool transitive = false;

    std::span<const graph::NodeIndex> indexes() const {
        return transitive ? std::span<const graph::NodeIndex>(walked) : direct;
    }
};

// Checks in order: graph built ("Graph must be built first"), id known ("Unknown node_id: "),
// hash decodable ("Invalid hash"); then answers in graph indexes. Right after a compile step
// it goes from handle to graph index by an array read; once the identity table has changed
// (or with `plain`, the oracle of that path) it looks the hash up instead.
Result<IndexAnswer> graph_query_indexes(const EngineState& state, GraphQuery query, std::string_view node_id,
                                        std::uint32_t max_depth = 0, bool plain = false);
// The same for the node of handle h (from state.record.identities.find(), unchanged since).
Result<IndexAnswer> graph_query_indexes(const EngineState& state, GraphQuery query, NodeHandle h,
                                        std::uint32_t max_depth = 0, bool plain = false);

// The id of graph index i of an answer; a null view (data() null) when its hash maps back
// to no id, which leaves the node out of the answer.
inline std::string_view id_at(const EngineState& state, const IndexAnswer& answer, graph::NodeIndex i) {
    if (answer.compiled != nullptr) return answer.compiled->id_of_index[i];
    const std::string* id = state.record.identities.id_of_hash(answer.graph->hashes()[i]);
    return id != nullptr ? std::string_view(*id) : std::string_view();
}

// The same answer in node ids, in order.
Result<NodeIdRefs> graph_query(const EngineState& state, GraphQuery query, std::string_view node_id,
                               std::uint32_t max_depth = 0, bool plain = false);

}  // namespace corvane
