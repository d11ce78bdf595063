#include "metadata/engine/mutations.hpp"

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/django_relations.hpp"
#include "metadata/engine/edges.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/node_table.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "metadata/engine/table_queries.hpp"

namespace corvane {

void upsert_node(EngineState& state, NodeMeta meta) {
    take_saved_reads(state);
    note_upsert(state, meta);
    state.parsed.forget(meta.node_id);
    unindex_node_for_search(state, meta.node_id);
    index_for_search(state, detail::upsert_node(state.record, std::move(meta)));
    note_table_sizes(state);
    note_search_sizes(state);
}

std::uint64_t invalidate_file(EngineState& state, const std::string& file_path) {
    take_saved_reads(state);
    note_file_removal(state, file_path);
    unindex_file_for_search(state, file_path);
    // Scanning every edge set costs O(E); when the builders are known to mirror the sets,
    // the removed nodes' own adjacency names every pair that has to go.
    const bool by_adjacency = record_vouched(state) && state.incremental.exact_builders;
    std::vector<detail::HandlePair> touching;
    if (auto listed = state.record.file_index.find(file_path)) {
        const IdentityTable& identities = state.record.identities;
        for (NodeHandle h : listed->handles()) {
            state.parsed.forget(identities.id(h));
            const Hash32* hash = identities.hash(h);
            if (hash == nullptr) continue;
            if (by_adjacency) detail::adjacent_pairs(state, h, *hash, touching);
            state.dependency_builder.remove_node_edges(*hash);
            state.call_builder.remove_node_edges(*hash);
        }
    }
    std::uint64_t listed = 0;
    if (by_adjacency) {
        if (auto ids = detail::remove_file_nodes(state.record, file_path)) {
            listed = ids->size();
            const auto sets = all_edge_sets(state.record);
            // The removed ids' handles stay while a pair holds them, so the pairs still name them.
            for (const auto& [from, to] : touching) {
                for (PairSet* set : sets) set->erase(from, to);
            }
        }
    } else {
        listed = detail::remove_file(state.record, file_path);
    }
    note_table_sizes(state);
    note_search_sizes(state);
    return listed;
}

Status adopt_record(EngineState& state, MetadataEngine record) {
    state.record = std::move(record);
    forget_recorded_reads(state);
    state.parsed.clear();
    Status refilled = detail::refill_builders(state);
    reset_search_index(state);
    return refilled;
}

Status add_typed_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    take_saved_reads(state);
    auto fed = detail::add_edge(state, from_id, to_id, kind);
    if (!fed) return fed.error();
    // The full pass keeps only the resolved calls that some node's `calls` give.
    if (*fed && kind == EdgeKind::ResolvedCall) note_direct_call(state, from_id, to_id);
    return {};
}

Status clear_generated_edges(EngineState& state) {
    take_saved_reads(state);
    // Generated edges are never derived, so what was recorded stays true.
    state.record.generated_execution_edges.clear();
    return repopulate_builders(state);
}

Result<std::uint32_t> resolve_django_relations(EngineState& state, const std::string& node_id,
                                               std::string_view relations_json) {
    take_saved_reads(state);
    // Structural pairs outlive every refresh, so nothing of them needs journalling.
    DirectLookup src(state.record);
    return detail::resolve_django_relations(state, src, node_id, relations_json);
}

Status repopulate_builders(EngineState& state) {
    take_saved_reads(state);
    // A refill that fails half-way leaves builders the record of reads cannot vouch for.
    Status s = detail::refill_builders(state);
    if (!s) forget_recorded_reads(state);
    return s;
}

Status repopulate_edges(EngineState& state) { return refresh_derived_edges(state); }

Status repopulate_edges_full(EngineState& state) {
    forget_recorded_reads(state);
    std::vector<std::string> ids;
    ids.reserve(state.record.nodes.size());
    for (const auto& [id, meta] : state.record.nodes) ids.push_back(id);

    state.record.resolved_call_edges.clear();
    if (Status s = detail::refill_builders(state); !s) return s;

    // Adding edges leaves nodes and indexes alone, so what the source caches stays true for
    // the whole pass.
    CachedLookup src(state.record);
    for (const auto& id : ids) {
        const NodeMeta* node = src.node(id);
        if (node == nullptr) continue;
        if (node->calls) {
            auto targets = resolve_calls(src, id, *node->calls);
            if (auto r = detail::connect_resolved_calls(state, id, targets); !r) return r.error();
        }
        if (node->django_relations_json) {
            if (auto r = detail::resolve_django_relations(state, src, id, *node->django_relations_json); !r) {
                return r.error();
            }
        }
    }
    return {};
}

}  // namespace corvane
