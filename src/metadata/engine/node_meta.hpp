#pragma once
// The node metadata record and the engine record that holds the node table, its indexes
// and the four typed edge sets. The snapshot stores exactly these fields, in this order, with
// `identities` written as its two maps, id -> hash then hash -> id.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "metadata/engine/identity_table.hpp"
#include "util/hash.hpp"

namespace corvane {

struct NodeMeta {
    std::string node_id;
    std::string node_type;
    std::string name;
    std::string file_path;
    std::optional<std::string> signature;
    std::optional<std::string> docstring;
    std::optional<std::uint32_t> lines_start;
    std::optional<std::uint32_t> lines_end;
    std::optional<std::vector<std::string>> returns;
    std::optional<std::vector<std::string>> calls;
    std::optional<std::string> django_relations_json;
    std::optional<std::uint32_t> calls_count;
    std::optional<std::uint32_t> callers_count;
    std::optional<std::uint32_t> lines_count;
    std::optional<bool> is_async;
    std::optional<bool> is_generator;
    std::optional<std::uint32_t> param_count;
    std::optional<bool> is_exported;
    std::optional<std::uint32_t> blast_radius_score;
    std::optional<std::string> extra_json;

    bool operator==(const NodeMeta&) const = default;
};

using IdList = std::vector<std::string>;

// How many times the record-level operations (node_table.hpp) changed a record, so that
// the edge refresh can tell a change made behind its journal. A tally, not part of the
// record's value: records compare equal whatever their tallies.
struct ChangeTally {
    std::uint64_t value = 0;
    void advance() { ++value; }
    bool operator==(const ChangeTally&) const { return true; }
};

// The engine record (named for the snapshot's record type): nodes, their indexes and
// identities, and the four typed edge sets.
struct MetadataEngine {
    StableStringMap<NodeMeta> nodes;
    StringMap<IdList> name_index;  // lower-cased name -> ids, insertion order
    StringMap<IdList> file_index;  // file path -> ids, insertion order
    IdentityTable identities;  // the snapshot's id_to_hash and hash_to_id
    PairSet resolved_call_edges;
    PairSet execution_edges;
    PairSet generated_execution_edges;
    PairSet structural_edges;
    ChangeTally changes;  // never stored

    bool operator==(const MetadataEngine&) const = default;
};

// The four typed edge sets, in the order the snapshot stores them.
inline std::array<PairSet*, 4> all_edge_sets(MetadataEngine& r) {
    return {&r.resolved_call_edges, &r.execution_edges, &r.generated_execution_edges, &r.structural_edges};
}
inline std::array<const PairSet*, 4> all_edge_sets(const MetadataEngine& r) {
    return {&r.resolved_call_edges, &r.execution_edges, &r.generated_execution_edges, &r.structural_edges};
}

}  // namespace corvane
