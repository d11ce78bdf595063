#pragma once
#include <cstdint>
#include <string>

#include "metadata/engine/engine_state.hpp"
#include "util/hex.hpp"

namespace corvane {

// Node table (exclusive lock).
void upsert_node(MetadataEngine& record, NodeMeta meta);
// upsert_node on the state's record, noting the change for the next edge refresh. Callers
// that own an engine state use this one.
void upsert_node(EngineState& state, NodeMeta meta);

// Drops the file's nodes from the record (nodes, both indexes, identities) and every
// edge touching them; returns how many ids file_index listed for the file.
std::uint64_t remove_file(MetadataEngine& record, const std::string& file_path);

// remove_file, after taking the nodes' edges out of both builders. The compiled graphs stay
// as they are until the next compile.
std::uint64_t invalidate_file(EngineState& state, const std::string& file_path);

}  // namespace corvane
