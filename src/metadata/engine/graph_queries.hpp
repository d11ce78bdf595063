#pragma once
// The compile step and the six graph questions of the metadata engine.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
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

// Checks in order: graph built ("Graph must be built first"), id known ("Unknown node_id: "),
// hash decodable ("Invalid hash"); then answers in node ids. Right after a compile step it
// goes from handle to graph index to id by array reads; once the identity table has changed
// (or with `plain`, the oracle of that path) it looks each hash up instead.
Result<NodeIdRefs> graph_query(const EngineState& state, GraphQuery query, const std::string& node_id,
                               std::uint32_t max_depth = 0, bool plain = false);

// Node ids for graph nodes, in order, skipping nodes whose hash no longer maps to an id.
NodeIdRefs node_ids_of(const MetadataEngine& record, const graph::CsrGraph& graph,
                       std::span<const graph::NodeIndex> indexes);

}  // namespace corvane
