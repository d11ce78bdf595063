#pragma once
// Recomputes the derived edges of every node: resolved calls from its `calls` list and
// structural edges from its Django relations.
#include "metadata/engine/engine_state.hpp"
#include "util/result.hpp"

namespace corvane {

// Empties resolved_call_edges, refills both builders from the stored edges, then resolves
// every node again. Each file's binding context and each class's bases are parsed once per
// pass. The first add_typed_edge error ends the pass. The plain pass, kept as the oracle of
// the incremental one; it drops what the incremental refresh recorded.
Status repopulate_edges_full(EngineState& state);

// The same result, re-resolving only the nodes whose answers can have changed since the
// last refresh (incremental.hpp); a full pass when that cannot be shown safe.
Status repopulate_edges(EngineState& state);

}  // namespace corvane
