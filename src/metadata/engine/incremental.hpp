#pragma once
// Edge refresh in time proportional to the change. A full refresh resolves every node and
// records, per node, which ids, name_index keys and JSON side data its resolution read and
// which edges it produced. Changes made through the operations of mutations.hpp are
// journalled; the next refresh re-resolves only the nodes whose own record changed or whose
// reads touch a changed key, and keeps everything else. The result is the
// one the full pass defines: the same four edge sets and the same builder edges (builder
// neighbour order may differ; it carries no meaning).
//
// Whenever the shortcut cannot be shown safe (no complete record of reads, an earlier error,
// a node table changed behind the journal, too large a change) the refresh is a full one.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "util/result.hpp"

namespace corvane {

// repopulate_edges' result, incrementally where possible.
Status refresh_derived_edges(EngineState& state);
// The full pass, recording every node's reads for the next refresh.
Status refresh_derived_edges_fully(EngineState& state);

// Journal hooks, run by the operations of mutations.hpp: before a node is upserted, before a
// file's nodes are removed, when a resolved-call pair is added outside a refresh, and after
// any change to the node table.
void note_upsert(EngineState& state, const NodeMeta& incoming);
void note_file_removal(EngineState& state, const std::string& file_path);
void note_direct_call(EngineState& state, const std::string& from_id, const std::string& to_id);
void note_table_sizes(EngineState& state);

// The record of reads is complete and the node table has not changed behind the journal.
bool record_vouched(const EngineState& state);

// Drops what was recorded; the next refresh is a full one.
void forget_recorded_reads(EngineState& state);

// The record of reads as bytes to save with a snapshot of this state, when it vouches for
// the state as it stands (valid, nothing changed since the last refresh) and some node was
// resolved. None otherwise.
std::optional<std::vector<std::uint8_t>> encode_recorded_reads(const EngineState& state);
// Takes up a record of reads that encode_recorded_reads gave for the state the record was
// restored from, so that the next refresh re-resolves only what changes from here on.
// False, with the state untouched (the next refresh a full one), when the bytes do not
// decode or do not fit the record.
bool adopt_recorded_reads(EngineState& state, std::span<const std::uint8_t> bytes);
// Takes up the record of reads a restore left to read (IncrementalState::saved), if any and
// if the record is still as restored. Every operation that changes the state or refreshes
// the edges runs it first.
void take_saved_reads(EngineState& state);

// What the refresh relies on, checked whole (for tests; it reads every edge): the first
// broken invariant as an error, or success.
Status check_incremental_invariants(const EngineState& state);

}  // namespace corvane
