#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "metadata/engine/node_table.hpp"
#include "util/lowercase.hpp"

namespace corvane::detail {

const NodeMeta& upsert_node(MetadataEngine& record, NodeMeta meta) {
    if (!meta.lines_count && meta.lines_start && meta.lines_end) {
        meta.lines_count = *meta.lines_end >= *meta.lines_start ? *meta.lines_end - *meta.lines_start + 1u : 0u;
    }
    auto [slot, inserted] = record.nodes.try_emplace(meta.node_id);
    if (!inserted) {
        // The node is listed under its old name and file by its handle.
        const NodeMeta& old = slot->second;
        if (const std::optional<NodeHandle> listed = record.identities.find_held(meta.node_id)) {
            record.name_index.remove(to_lower(old.name), *listed);
            if (!old.file_path.empty()) record.file_index.remove(old.file_path, *listed);
        }
    }
    const NodeHandle h = record.identities.assign_own_hash(meta.node_id);
    record.name_index.add(to_lower(meta.name), h);
    if (!meta.file_path.empty()) record.file_index.add(meta.file_path, h);
    slot->second = std::move(meta);
    record.changes.advance();
    return slot->second;
}

std::optional<IdList> remove_file_nodes(MetadataEngine& record, const std::string& file_path) {
    std::optional<IdList> ids = record.file_index.take(file_path);
    if (!ids) return std::nullopt;
    for (const auto& id : *ids) {
        if (auto node = record.nodes.find(id); node != record.nodes.end()) {
            std::string key = to_lower(node->second.name);
            record.nodes.erase(node);
            record.name_index.remove(key, id);
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
