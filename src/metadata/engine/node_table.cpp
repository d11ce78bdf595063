#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "metadata/engine/node_table.hpp"
#include "util/lowercase.hpp"

namespace corvane::detail {

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

const NodeMeta& upsert_node(MetadataEngine& record, NodeMeta meta) {
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
    record.changes.advance();
    return slot->second;
}

std::optional<IdList> remove_file_nodes(MetadataEngine& record, const std::string& file_path) {
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
    record.changes.advance();
    return ids;
}

std::uint64_t remove_file(MetadataEngine& record, const std::string& file_path) {
    auto ids = remove_file_nodes(record, file_path);
    if (!ids) return 0;
    // A removed id that some pair names is still held by that pair, so it keeps its handle.
    std::vector<bool> removed;
    for (const auto& id : *ids) {
        if (auto h = record.identities.find_held(id)) {
            if (removed.empty()) removed.resize(record.identities.handle_bound());
            removed[*h] = true;
        }
    }
    if (removed.empty()) return ids->size();
    for (PairSet* set : all_edge_sets(record)) {
        set->erase_if([&](NodeHandle from, NodeHandle to) { return removed[from] || removed[to]; });
    }
    return ids->size();
}

}  // namespace corvane::detail
