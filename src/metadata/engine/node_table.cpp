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
    const RemovedIds removed(*ids);
    for (PairSet* set : all_edge_sets(record)) {
        absl::erase_if(*set, [&](const StringPair& e) { return removed.contains(e.first) || removed.contains(e.second); });
    }
    return ids->size();
}

}  // namespace corvane::detail
