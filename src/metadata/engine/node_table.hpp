#pragma once
// Record-level node table operations: they change a bare record and tell no one. An engine
// state changes only through mutations.hpp, which journals each change for the incremental
// edge refresh; these are for it, and for tests that build a record or change one behind
// the journal on purpose. Each one advances the record's change tally.
#include <cstdint>
#include <optional>
#include <string>

#include "metadata/engine/node_meta.hpp"

namespace corvane::detail {

// Inserts or replaces the node, keeping both indexes and the identity table in step; the
// stored node.
const NodeMeta& upsert_node(MetadataEngine& record, NodeMeta meta);

// Drops the file's nodes from the record (nodes, both indexes, identities) and every
// edge touching them; returns how many ids file_index listed for the file.
std::uint64_t remove_file(MetadataEngine& record, const std::string& file_path);

// remove_file without the edges: takes the file's entry out of file_index and its nodes out
// of nodes, name_index and the identity table. The ids it listed, or nothing when there was
// no entry.
std::optional<IdList> remove_file_nodes(MetadataEngine& record, const std::string& file_path);

}  // namespace corvane::detail
