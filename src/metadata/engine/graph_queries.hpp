#pragma once
// The compile step and the six graph questions of the metadata engine.
#include <cstdint>
#include <string>
#include <vector>

#include "metadata/engine/engine_state.hpp"

namespace corvane {

// Compiles both builders into the two graphs, then refreshes every node's graph counts.
void compile_step(EngineState& state);

// Rewrites calls_count, callers_count and blast_radius_score of every node that has a
// decodable hash, from call_graph. `plain` selects the one-walk-per-node definition that the
// fast path is checked against.
void refresh_graph_metrics(EngineState& state, bool plain = false);

enum class GraphQuery { Callers, Callees, Dependents, Dependencies, RecursiveCallees, BlastRadius };

// Checks in order: graph built ("Graph must be built first"), id known ("Unknown node_id: "),
// hash decodable ("Invalid hash"); then answers in node ids.
Result<std::vector<std::string>> graph_query(const EngineState& state, GraphQuery query, const std::string& node_id,
                                             std::uint32_t max_depth = 0);

// Node ids for graph hashes, in order, skipping hashes that no longer map to an id.
std::vector<std::string> hashes_to_node_ids(const MetadataEngine& record, const std::vector<Hash32>& hashes);

}  // namespace corvane
