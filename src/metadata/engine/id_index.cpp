#include "metadata/engine/id_index.hpp"

#include <algorithm>

namespace corvane {

void IdIndex::add(std::string_view key, std::string_view id) { map_[key].push_back(ids_->hold(id)); }

void IdIndex::add(std::string_view key, NodeHandle h) {
    ids_->hold(h);
    map_[key].push_back(h);
}

void IdIndex::remove(std::string_view key, NodeHandle h) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    Handles& list = it->second;
    const auto kept = std::remove(list.begin(), list.end(), h);
    for (auto at = kept; at != list.end(); ++at) ids_->release(h);
    list.erase(kept, list.end());
    if (list.empty()) map_.erase(it);
}

void IdIndex::remove(std::string_view key, std::string_view id) {
    if (const std::optional<NodeHandle> h = ids_->find_held(id)) remove(key, *h);
}

void IdIndex::assign(std::string key, const std::vector<std::string_view>& ids) {
    std::vector<std::size_t> hashes;
    hashes.reserve(ids.size());
    for (std::string_view id : ids) hashes.push_back(StringHash{}(id));
    assign(std::move(key), ids, hashes);
}

void IdIndex::assign(std::string key, std::span<const std::string_view> ids, std::span<const std::size_t> id_hashes) {
    Handles list;
    list.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) list.push_back(ids_->hold(ids[i], id_hashes[i]));
    auto [it, inserted] = map_.try_emplace(std::move(key));
    if (!inserted) release_all(it->second);
    it->second = std::move(list);
}

std::optional<IdList> IdIndex::take(std::string_view key) {
    auto it = map_.find(key);
    if (it == map_.end()) return std::nullopt;
    IdList out = view(it->second).to_list();
    release_all(it->second);
    map_.erase(it);
    return out;
}

std::optional<IdsView> IdIndex::find(std::string_view key, std::size_t hash) const {
    auto it = map_.find(key, hash);
    if (it == map_.end()) return std::nullopt;
    return view(it->second);
}

void IdIndex::clear() {
    for (const auto& [key, handles] : map_) release_all(handles);
    map_.clear();
}

bool IdIndex::operator==(const IdIndex& other) const {
    if (map_.size() != other.map_.size()) return false;
    for (const auto& [key, handles] : map_) {
        auto it = other.map_.find(key);
        if (it == other.map_.end() || it->second.size() != handles.size()) return false;
        const IdsView a = view(handles), b = other.view(it->second);
        if (!std::equal(a.begin(), a.end(), b.begin())) return false;
    }
    return true;
}

void IdIndex::release_all(const Handles& handles) {
    for (NodeHandle h : handles) ids_->release(h);
}

}  // namespace corvane
