#pragma once
// The four typed edge sets of the record and the way an edge enters them and the builders.
#include <string>

#include "metadata/engine/engine_state.hpp"
#include "util/result.hpp"

namespace corvane {

PairSet& edge_set(MetadataEngine& record, EdgeKind kind);

// The one way an edge enters: its kind's set and the builders. Ids without a node hash make
// it a silent no-op; a stored hash that does not decode fails with "Invalid hash".
Status add_typed_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind);

// Replaces both builders by empty ones and feeds every stored edge again, in the order
// structural, execution, generated execution, resolved call.
Status repopulate_builders(EngineState& state);

}  // namespace corvane
