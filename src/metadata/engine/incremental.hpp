#pragma once
// Edge refresh in time proportional to the change. A full refresh resolves every node and
// records, per node, which ids, name_index keys and JSON side data its resolution read and
// which edges it produced. Changes to the node table made through the EngineState-level
// operations are journalled; the next refresh re-resolves only the nodes whose own record
// changed or whose reads touch a changed key, and keeps everything else. The result is the
// one the full pass defines: the same four edge sets and the same builder edges (builder
// neighbour order may differ; it carries no meaning).
//
// Whenever the shortcut cannot be shown safe (no complete record of reads, an earlier error,
// a node table changed behind the journal, too large a change) the refresh is a full one.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "util/result.hpp"

namespace corvane {

// repopulate_edges' result, incrementally where possible.
Status refresh_derived_edges(EngineState& state);
// The full pass, recording every node's reads for the next refresh.
Status refresh_derived_edges_fully(EngineState& state);

// Journal hooks, run by the EngineState-level node table operations: before a node is
// upserted, before a file's nodes are removed, and after either.
void note_upsert(EngineState& state, const NodeMeta& incoming);
void note_file_removal(EngineState& state, const std::string& file_path);
void note_table_sizes(EngineState& state);

// The record of reads is complete and the node table has not changed behind the journal.
bool record_vouched(const EngineState& state);

// Drops what was recorded; the next refresh is a full one.
void forget_recorded_reads(EngineState& state);

// Empties generated_execution_edges and refills the builders.
Status clear_generated_edges(EngineState& state);

// resolve_and_connect_calls, noting the pairs it adds: the next refresh keeps only those
// that the caller's `calls` resolve to, as the full pass would. A caller resolved with
// exactly its stored `calls` has its reads recorded, so the refresh after indexing re-resolves
// only what changed since.
Result<std::uint32_t> resolve_and_connect_calls_journaled(EngineState& state, const std::string& caller_id,
                                                          const std::vector<std::string>& call_names);

// Django relation targets of one node, in order, the node itself left out: exactly the
// structural pairs resolve_django_relations adds.
std::vector<std::string> relation_targets(LookupSource& src, const std::string& node_id, std::string_view relations_json);

}  // namespace corvane
