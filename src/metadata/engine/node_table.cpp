#include <algorithm>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/node_table.hpp"
#include "util/lowercase.hpp"
#include "util/node_hash.hpp"

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
    std::string hash = node_hash_hex(meta.node_id);
    record.hash_to_id.insert_or_assign(hash, meta.node_id);
    record.id_to_hash.insert_or_assign(meta.node_id, std::move(hash));
    record.name_index[to_lower(meta.name)].push_back(meta.node_id);
    if (!meta.file_path.empty()) record.file_index[meta.file_path].push_back(meta.node_id);
    slot->second = std::move(meta);
}

void upsert_node(EngineState& state, NodeMeta meta) {
    note_upsert(state, meta);
    upsert_node(state.record, std::move(meta));
    note_table_sizes(state);
}

std::uint64_t remove_file(MetadataEngine& record, const std::string& file_path) {
    auto entry = record.file_index.find(file_path);
    if (entry == record.file_index.end()) return 0;
    IdList ids = std::move(entry->second);
    record.file_index.erase(entry);

    StringSet removed;
    for (const auto& id : ids) {
        if (auto node = record.nodes.find(id); node != record.nodes.end()) {
            std::string key = to_lower(node->second.name);
            record.nodes.erase(node);
            unlist(record.name_index, key, id);
        }
        if (auto h = record.id_to_hash.find(id); h != record.id_to_hash.end()) {
            record.hash_to_id.erase(h->second);
            record.id_to_hash.erase(h);
        }
        removed.insert(id);
    }
    for (PairSet* set : {&record.resolved_call_edges, &record.execution_edges, &record.generated_execution_edges,
                         &record.structural_edges}) {
        absl::erase_if(*set, [&](const StringPair& e) { return removed.contains(e.first) || removed.contains(e.second); });
    }
    return ids.size();
}

std::uint64_t invalidate_file(EngineState& state, const std::string& file_path) {
    note_file_removal(state, file_path);
    if (auto entry = state.record.file_index.find(file_path); entry != state.record.file_index.end()) {
        for (const auto& id : entry->second) {
            auto h = state.record.id_to_hash.find(id);
            if (h == state.record.id_to_hash.end()) continue;
            auto hash = decode_hex32(h->second);
            if (!hash) continue;
            state.dependency_builder.remove_node_edges(*hash);
            state.call_builder.remove_node_edges(*hash);
        }
    }
    const std::uint64_t listed = remove_file(state.record, file_path);
    note_table_sizes(state);
    return listed;
}

}  // namespace corvane
