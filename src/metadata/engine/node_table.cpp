#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/node_table.hpp"
#include "metadata/engine/table_queries.hpp"
#include "util/lowercase.hpp"

namespace corvane {

namespace {

// Removes every occurrence of id from the list under key, and the key once its list is empty.
void unlist(StringMap<IdList>& index, const std::string& key, const std::string& id) {
    auto it = index.find(key);
    if (it == index.end()) return;
    auto& ids = it->second;
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    if (ids.empty()) index.erase(it);
}

// Membership in the small set of a file's ids, decided for most other ids by length and last
// eight bytes alone: remove_file scans every edge set whole, and hashing both ends of every
// pair would dominate the cost of invalidating one file.
class RemovedIds {
public:
    explicit RemovedIds(const IdList& ids) {
        for (const auto& id : ids) {
            if (id.size() >= by_length_.size()) by_length_.resize(id.size() + 1);
            by_length_[id.size()].push_back({tail(id), &id});
        }
    }
    bool contains(const std::string& id) const {
        if (id.size() >= by_length_.size()) return false;
        const std::uint64_t t = tail(id);
        for (const auto& [candidate_tail, candidate] : by_length_[id.size()]) {
            if (candidate_tail == t && *candidate == id) return true;
        }
        return false;
    }

private:
    static std::uint64_t tail(const std::string& id) {
        std::uint64_t t = 0;
        const std::size_t n = std::min<std::size_t>(8, id.size());
        std::memcpy(&t, id.data() + id.size() - n, n);
        return t;
    }
    std::vector<std::vector<std::pair<std::uint64_t, const std::string*>>> by_length_;
};

}  // namespace

void upsert_node(MetadataEngine& record, NodeMeta meta) {
    if (!meta.lines_count && meta.lines_start && meta.lines_end) {
        meta.lines_count = *meta.lines_end >= *meta.lines_start ? *meta.lines_end - *meta.lines_start + 1u : 0u;
    }
    auto [slot, inserted] = record.nodes.try_emplace(meta.node_id);
    if (!inserted) {
        const NodeMeta& old = slot->second;
        unlist(record.name_index, to_lower(old.name), meta.node_id);
        if (!old.file_path.empty()) unlist(record.file_index, old.file_path, meta.node_id);
    }
    record.identities.assign_own_hash(meta.node_id);
    record.name_index[to_lower(meta.name)].push_back(meta.node_id);
    if (!meta.file_path.empty()) record.file_index[meta.file_path].push_back(meta.node_id);
    slot->second = std::move(meta);
}

void upsert_node(EngineState& state, NodeMeta meta) {
    note_upsert(state, meta);
    state.parsed.forget(meta.node_id);
    index_for_search(state, meta);
    upsert_node(state.record, std::move(meta));
    note_table_sizes(state);
    note_search_sizes(state);
}

namespace {

// Takes the file's entry out of file_index and its nodes out of nodes, name_index and the
// identity table; the ids it listed, or nothing when there was no entry.
std::optional<IdList> remove_listed_nodes(MetadataEngine& record, const std::string& file_path) {
    auto entry = record.file_index.find(file_path);
    if (entry == record.file_index.end()) return std::nullopt;
    IdList ids = std::move(entry->second);
    record.file_index.erase(entry);
    for (const auto& id : ids) {
        if (auto node = record.nodes.find(id); node != record.nodes.end()) {
            std::string key = to_lower(node->second.name);
            record.nodes.erase(node);
            unlist(record.name_index, key, id);
        }
        record.identities.remove(id);
    }
    return ids;
}

// The pairs of every set that touch the node, read from its dependency_builder adjacency.
// Valid only while that builder holds exactly the pairs of the four sets under genuine,
// back-mapped hashes (IncrementalState::exact_builders with a valid record of reads).
void adjacent_pairs(const EngineState& state, const std::string& id, const Hash32& hash,
                    std::vector<StringPair>& out) {
    const graph::GraphBuilder& b = state.dependency_builder;
    const auto* i = b.index.find(hash);
    if (i == nullptr) return;
    auto other = [&](graph::NodeIndex j) { return state.record.identities.id_of_hash(b.hashes[j]); };
    for (graph::NodeIndex j : b.outgoing[*i]) {
        if (const std::string* to = other(j)) out.emplace_back(id, *to);
    }
    for (graph::NodeIndex j : b.incoming[*i]) {
        if (const std::string* from = other(j)) out.emplace_back(*from, id);
    }
}

}  // namespace

std::uint64_t remove_file(MetadataEngine& record, const std::string& file_path) {
    auto ids = remove_listed_nodes(record, file_path);
    if (!ids) return 0;
    const RemovedIds removed(*ids);
    for (PairSet* set : all_edge_sets(record)) {
        absl::erase_if(*set, [&](const StringPair& e) { return removed.contains(e.first) || removed.contains(e.second); });
    }
    return ids->size();
}

std::uint64_t invalidate_file(EngineState& state, const std::string& file_path) {
    note_file_removal(state, file_path);
    unindex_file_for_search(state, file_path);
    // Scanning every edge set costs O(E); when the builders are known to mirror the sets,
    // the removed nodes' own adjacency names every pair that has to go.
    const bool by_adjacency = record_vouched(state) && state.incremental.exact_builders;
    std::vector<StringPair> touching;
    if (auto entry = state.record.file_index.find(file_path); entry != state.record.file_index.end()) {
        for (const auto& id : entry->second) {
            state.parsed.forget(id);
            const IdentityTable& identities = state.record.identities;
            auto h = identities.find(id);
            const Hash32* hash = h ? identities.hash(*h) : nullptr;
            if (hash == nullptr) continue;
            if (by_adjacency) adjacent_pairs(state, id, *hash, touching);
            state.dependency_builder.remove_node_edges(*hash);
            state.call_builder.remove_node_edges(*hash);
        }
    }
    std::uint64_t listed = 0;
    if (by_adjacency) {
        if (auto ids = remove_listed_nodes(state.record, file_path)) {
            listed = ids->size();
            const auto sets = all_edge_sets(state.record);
            for (const auto& pair : touching) {
                for (PairSet* set : sets) set->erase(pair);
            }
        }
    } else {
        listed = remove_file(state.record, file_path);
    }
    note_table_sizes(state);
    note_search_sizes(state);
    return listed;
}

}  // namespace corvane
