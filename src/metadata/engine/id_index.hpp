#pragma once
// An index from a key (a lower-cased name, a file path) to the ids listed under it, in the
// order they were added: the record's name_index and file_index. An id is listed by its
// handle in the record's identity table and held there while listed, so its text is stored
// once however many lists name it; a list of up to four ids needs no allocation of its own.
// Lists compare, and are read, by their ids' text, whatever the handles.
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "metadata/engine/identity_table.hpp"
#include "util/hash.hpp"

namespace corvane {

using IdList = std::vector<std::string>;

// The ids of one list, read through the table that holds them.
class IdsView {
public:
    IdsView(const IdentityTable& ids, std::span<const NodeHandle> handles) : ids_(&ids), handles_(handles) {}

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string;
        using reference = const std::string&;
        using pointer = const std::string*;
        using difference_type = std::ptrdiff_t;

        const_iterator() = default;
        const_iterator(const IdentityTable* ids, const NodeHandle* at) : ids_(ids), at_(at) {}
        reference operator*() const { return ids_->id(*at_); }
        pointer operator->() const { return &ids_->id(*at_); }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++at_;
            return old;
        }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }

    private:
        const IdentityTable* ids_ = nullptr;
        const NodeHandle* at_ = nullptr;
    };

    const_iterator begin() const { return {ids_, handles_.data()}; }
    const_iterator end() const { return {ids_, handles_.data() + handles_.size()}; }
    std::size_t size() const { return handles_.size(); }
    bool empty() const { return handles_.empty(); }
    std::span<const NodeHandle> handles() const { return handles_; }
    IdList to_list() const { return IdList(begin(), end()); }

private:
    const IdentityTable* ids_;
    std::span<const NodeHandle> handles_;
};

class IdIndex {
public:
    using Handles = absl::InlinedVector<NodeHandle, 4>;
    using Map = StringMap<Handles>;

    // An index bound to a table another object owns (the engine record's).
    explicit IdIndex(IdentityTable& ids) : ids_(&ids) {}
    // The same lists, carried over from an index whose table `ids` is a copy of (same
    // handles, holds included).
    IdIndex(const IdIndex& other, IdentityTable& ids) : ids_(&ids), map_(other.map_) {}
    // Takes the lists of an index whose table moved to `ids`, leaving it empty.
    IdIndex(IdIndex&& other, IdentityTable& ids) noexcept : ids_(&ids), map_(std::move(other.map_)) {
        other.map_.clear();
    }
    void take(IdIndex&& other, IdentityTable& ids) noexcept {
        ids_ = &ids;
        map_ = std::move(other.map_);
        other.map_.clear();
    }
    IdIndex(const IdIndex&) = delete;
    IdIndex& operator=(const IdIndex&) = delete;
    // The holds are the table's: its owner drops them with it.
    ~IdIndex() = default;

    // Lists the id under key, after the ids listed there already.
    void add(std::string_view key, std::string_view id);
    void add(std::string_view key, NodeHandle h);
    // Takes every listing of the id out of key's list, and the key once its list is empty.
    void remove(std::string_view key, NodeHandle h);
    void remove(std::string_view key, std::string_view id);
    // Replaces key's list by these ids (an entry read from a snapshot).
    void assign(std::string key, const std::vector<std::string_view>& ids);
    // The same, with each id's StringHash worked out by the caller.
    void assign(std::string key, std::span<const std::string_view> ids, std::span<const std::size_t> id_hashes);
    // Starts fetching what an assign or find of the key reads first.
    void prefetch(std::string_view key) const { map_.prefetch(key); }
    // Takes key's entry out; its ids in order, or nothing when there was none.
    std::optional<IdList> take(std::string_view key);

    std::optional<IdsView> find(std::string_view key) const { return find(key, StringHash{}(key)); }
    std::optional<IdsView> find(std::string_view key, std::size_t hash) const;
    bool contains(std::string_view key) const { return map_.contains(key); }

    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    void clear();
    void reserve(std::size_t n) { map_.reserve(n); }

    // Key -> handles of this index's table, in no particular order.
    const Map& entries() const { return map_; }
    const IdentityTable& table() const { return *ids_; }
    IdsView view(const Handles& handles) const { return IdsView(*ids_, std::span<const NodeHandle>(handles)); }

    // The same keys with the same ids in the same order, whatever the handles.
    bool operator==(const IdIndex& other) const;

private:
    void release_all(const Handles& handles);

    IdentityTable* ids_;
    Map map_;
};

}  // namespace corvane
