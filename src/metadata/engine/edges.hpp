#pragma once
// Edge-level operations on an engine state: each keeps the record's four typed edge sets and
// the two builders in step, and tells the journal nothing. An engine state changes only
// through mutations.hpp; these are its parts, and the incremental refresh's.
#include <cstdint>
#include <string>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "util/result.hpp"

namespace corvane::detail {

PairSet& edge_set(MetadataEngine& record, EdgeKind kind);

// The one way an edge enters: its kind's set and the builders. Ids without a node hash make
// it a silent no-op (false); a stored hash that does not decode fails with "Invalid hash".
Result<bool> add_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind);

// Adds one resolved-call edge from the caller per target, skipping the caller itself; the
// count includes edges that already existed. Stops at the first error, keeping the edges
// added before it.
Result<std::uint32_t> connect_resolved_calls(EngineState& state, const std::string& caller_id,
                                             const std::vector<std::string>& targets);

// Replaces both builders by empty ones and feeds every stored edge again, in the order
// structural, execution, generated execution, resolved call. `every_end_hashed`, when given,
// receives whether both ids of every stored pair have a node hash.
Status refill_builders(EngineState& state, bool* every_end_hashed = nullptr);
// The same refill, each pair fed on its own as add_edge feeds it: the reference the one
// above must agree with, builder for builder.
Status refill_builders_pair_by_pair(EngineState& state);

// Takes a resolved-call pair out of its set. When the builders mirror the sets pair for pair
// (IncrementalState::exact_builders) it leaves each builder too, unless another set that
// feeds that builder holds the same pair; otherwise the builders wait for a refill.
void drop_resolved_call(EngineState& state, const std::string& from_id, const std::string& to_id);

using HandlePair = std::pair<NodeHandle, NodeHandle>;

// The pairs of every set that touch the node, read from its dependency_builder adjacency.
// Valid only while that builder holds exactly the pairs of the four sets under genuine,
// back-mapped hashes (exact_builders with a record of reads the journal vouches for).
void adjacent_pairs(const EngineState& state, NodeHandle node, const Hash32& hash, std::vector<HandlePair>& out);

}  // namespace corvane::detail
