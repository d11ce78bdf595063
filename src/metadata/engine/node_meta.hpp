#pragma once
// The node metadata record and the engine record that holds the node table, its indexes
// and the four typed edge sets. The snapshot stores exactly these fields, in this order, with
// `identities` written as its two maps, id -> hash then hash -> id.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "metadata/engine/id_index.hpp"
#include "metadata/engine/identity_table.hpp"
#include "metadata/engine/pair_set.hpp"
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

// How many times the record-level operations (node_table.hpp) changed a record, so that
// the edge refresh can tell a change made behind its journal. A tally, not part of the
// record's value: records compare equal whatever their tallies.
struct ChangeTally {
    std::uint64_t value = 0;
    void advance() { ++value; }
    bool operator==(const ChangeTally&) const { return true; }
};

// The engine record (named for the snapshot's record type): nodes, their indexes and
// identities, and the four typed edge sets; the indexes list, and the sets pair, handles of
// `identities`.
struct MetadataEngine {
    StableStringMap<NodeMeta> nodes;
    IdIndex name_index{identities};  // lower-cased name -> ids, insertion order
    IdIndex file_index{identities};  // file path -> ids, insertion order
    IdentityTable identities;  // the snapshot's id_to_hash and hash_to_id, and every edge end
    PairSet resolved_call_edges{identities};
    PairSet execution_edges{identities};
    PairSet generated_execution_edges{identities};
    PairSet structural_edges{identities};
    ChangeTally changes;  // never stored

    MetadataEngine() = default;
    // A copy's table numbers the handles as the source's does, so the pairs carry over.
    MetadataEngine(const MetadataEngine& o)
        : nodes(o.nodes),
          name_index(o.name_index, identities),
          file_index(o.file_index, identities),
          identities(o.identities),
          resolved_call_edges(o.resolved_call_edges, identities),
          execution_edges(o.execution_edges, identities),
          generated_execution_edges(o.generated_execution_edges, identities),
          structural_edges(o.structural_edges, identities),
          changes(o.changes) {}
    MetadataEngine(MetadataEngine&& o) noexcept
        : nodes(std::move(o.nodes)),
          name_index(std::move(o.name_index), identities),
          file_index(std::move(o.file_index), identities),
          identities(std::move(o.identities)),
          resolved_call_edges(std::move(o.resolved_call_edges), identities),
          execution_edges(std::move(o.execution_edges), identities),
          generated_execution_edges(std::move(o.generated_execution_edges), identities),
          structural_edges(std::move(o.structural_edges), identities),
          changes(o.changes) {}
    MetadataEngine& operator=(const MetadataEngine& o) {
        if (this != &o) *this = MetadataEngine(o);
        return *this;
    }
    MetadataEngine& operator=(MetadataEngine&& o) noexcept {
        if (this == &o) return *this;
        nodes = std::move(o.nodes);
        identities = std::move(o.identities);
        name_index.take(std::move(o.name_index), identities);
        file_index.take(std::move(o.file_index), identities);
        resolved_call_edges.take(std::move(o.resolved_call_edges), identities);
        execution_edges.take(std::move(o.execution_edges), identities);
        generated_execution_edges.take(std::move(o.generated_execution_edges), identities);
        structural_edges.take(std::move(o.structural_edges), identities);
        changes = o.changes;
        return *this;
    }

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
