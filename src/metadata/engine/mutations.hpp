#pragma once
// Every change to an engine state goes through the operations declared here. Each one tells
// the incremental edge refresh's journal what it changed, so that the next repopulate_edges
// re-resolves exactly the nodes whose answers can differ, or falls back to the full pass;
// check_incremental_invariants (incremental.hpp) states what they keep. Callers hold the
// engine lock (exclusive) around each call.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "util/result.hpp"

namespace corvane {

// ---- the node table ------------------------------------------------------------------------

// Inserts or replaces the node (indexes, identity, search index).
void upsert_node(EngineState& state, NodeMeta meta);

// Drops the file's nodes from the record (nodes, both indexes, identities) and every edge
// touching them, from the sets and both builders; returns how many ids file_index listed for
// the file. The compiled graphs stay as they are until the next compile.
std::uint64_t invalidate_file(EngineState& state, const std::string& file_path);

// Replaces the record by a restored one: nothing of it was resolved here, so the next
// refresh is a full one. Refills the builders from its edges, and rebuilds the search index if a
// search has asked for one.
Status adopt_record(EngineState& state, MetadataEngine record);

// ---- edges ---------------------------------------------------------------------------------

// Adds the pair to its kind's set and to the builders. Ids without a node hash make it a
// silent no-op; a stored hash that does not decode fails with "Invalid hash".
Status add_typed_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind);

// Empties generated_execution_edges and refills the builders.
Status clear_generated_edges(EngineState& state);

// Resolves the caller's call names and adds one resolved-call edge per target other than the
// caller itself; the count includes edges that already existed. Stops at the first edge
// error, keeping the edges added before it. A caller resolved with exactly its stored `calls`
// has its reads recorded, so the refresh after indexing re-resolves only what changed since;
// any other pair it adds lasts only until the next refresh, as after a full pass. Defined
// beside the record of reads it writes, in incremental.cpp.
Result<std::uint32_t> resolve_and_connect_calls(EngineState& state, const std::string& caller_id,
                                                const std::vector<std::string>& call_names);

// Django relations: each named related model becomes a structural edge from the node to
// every class node of that name. Text that is not a JSON array gives 0. Every successful edge
// counts, also one that existed already; the first error ends it, keeping earlier edges.
Result<std::uint32_t> resolve_django_relations(EngineState& state, const std::string& node_id,
                                               std::string_view relations_json);

// ---- repopulation --------------------------------------------------------------------------

// Replaces both builders by empty ones and feeds every stored edge again, in the order
// structural, execution, generated execution, resolved call.
Status repopulate_builders(EngineState& state);

// Recomputes the derived edges of every node: resolved calls from its `calls` list and
// structural edges from its Django relations. Re-resolves only the nodes whose answers can
// have changed since the last refresh, or all of them when that cannot be shown safe.
Status repopulate_edges(EngineState& state);

// The same result by the plain pass: empties resolved_call_edges, refills both builders,
// then resolves every node again, parsing each file's context and each class's bases once.
// The first edge error ends the pass. Kept as the oracle of repopulate_edges; it drops what
// the incremental refresh recorded.
Status repopulate_edges_full(EngineState& state);

}  // namespace corvane
