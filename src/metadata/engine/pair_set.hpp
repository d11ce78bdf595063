#pragma once
// A set of directed id pairs, one of the engine's four typed edge sets. A pair is kept as the
// two ends' handles in an identity table, packed into one 64-bit key, so that an id's text is
// stored once however many edges name it, and feeding a pair to the graph builders needs no
// lookup by text. The sets of an engine record share the record's identity table; a set made
// on its own (a copy taken out of a record, a literal in a test) keeps a table of its own.
// Pairs compare, iterate and are looked up by their ids' text, whatever the handles.
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "metadata/engine/identity_table.hpp"

namespace corvane {

using IdPairView = std::pair<std::string_view, std::string_view>;

class PairSet {
public:
    using Key = std::uint64_t;
    static Key key(NodeHandle from, NodeHandle to) { return (Key{from} << 32) | to; }
    static NodeHandle from_of(Key k) { return static_cast<NodeHandle>(k >> 32); }
    static NodeHandle to_of(Key k) { return static_cast<NodeHandle>(k); }
    using Keys = absl::flat_hash_set<Key>;

    PairSet() = default;
    PairSet(std::initializer_list<IdPairView> pairs);
    // A set bound to a table another object owns (the engine record's).
    explicit PairSet(IdentityTable& ids) : ids_(&ids) {}
    // A copy holds its ids in a table of its own.
    PairSet(const PairSet& other);
    PairSet(PairSet&& other);
    // Assignment keeps the table this set uses and holds the other's pairs by id in it.
    PairSet& operator=(const PairSet& other);
    PairSet& operator=(PairSet&& other);
    // A bound set leaves its holds to its table's owner, which drops the table with it.
    ~PairSet() = default;

    // The same pairs, carried over from a set whose table `ids` is a copy of (same handles).
    PairSet(const PairSet& other, IdentityTable& ids) : ids_(&ids), keys_(other.keys_) {}
    // Takes the pairs of a set whose table moved to `ids` (the handles stay), leaving it empty.
    PairSet(PairSet&& other, IdentityTable& ids) noexcept : ids_(&ids), keys_(std::move(other.keys_)) {
        other.keys_.clear();
    }
    // The same, replacing this set's pairs without giving up their holds (their table is
    // gone or replaced).
    void take(PairSet&& other, IdentityTable& ids) noexcept {
        own_.reset();
        ids_ = &ids;
        keys_ = std::move(other.keys_);
        other.keys_.clear();
    }

    // ---- by handle (the ends must be handles of this set's table) ----------------------------

    bool insert(NodeHandle from, NodeHandle to);
    bool contains(NodeHandle from, NodeHandle to) const { return keys_.contains(key(from, to)); }
    // Starts fetching what insert(from, to) reads first.
    void prefetch(NodeHandle from, NodeHandle to) const { keys_.prefetch(key(from, to)); }
    bool erase(NodeHandle from, NodeHandle to);
    // Erases every pair pred(from, to) selects.
    template <class Pred>
    void erase_if(Pred&& pred) {
        absl::erase_if(keys_, [&](Key k) {
            if (!pred(from_of(k), to_of(k))) return false;
            ids_->release(from_of(k));
            ids_->release(to_of(k));
            return true;
        });
    }
    const Keys& keys() const { return keys_; }
    // The keys grouped by their first handle, in handle order (within a group, in the set's
    // order): a reader of them meets each node's pairs one after another.
    std::vector<Key> keys_by_first() const;

    // ---- by id --------------------------------------------------------------------------

    bool insert(IdPairView pair);
    bool emplace(std::string_view from, std::string_view to) { return insert(IdPairView(from, to)); }
    bool contains(IdPairView pair) const;
    bool erase(IdPairView pair);

    std::size_t size() const { return keys_.size(); }
    bool empty() const { return keys_.empty(); }
    void clear();
    void reserve(std::size_t n) { keys_.reserve(n); }

    // The table the handles refer to (for a set of its own, made on first use).
    IdentityTable& table() const;

    // Iterates the pairs as (from id, to id), in no particular order.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::pair<const std::string&, const std::string&>;
        using reference = value_type;
        using difference_type = std::ptrdiff_t;
        struct pointer {
            value_type pair;
            const value_type* operator->() const { return &pair; }
        };

        const_iterator() = default;
        reference operator*() const { return {ids_->id(from_of(*it_)), ids_->id(to_of(*it_))}; }
        pointer operator->() const { return {**this}; }
        const_iterator& operator++() {
            ++it_;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++it_;
            return old;
        }
        bool operator==(const const_iterator& o) const { return it_ == o.it_; }

    private:
        friend class PairSet;
        const_iterator(const IdentityTable* ids, Keys::const_iterator it) : ids_(ids), it_(it) {}
        const IdentityTable* ids_ = nullptr;
        Keys::const_iterator it_;
    };
    using iterator = const_iterator;
    const_iterator begin() const { return {ids_, keys_.begin()}; }
    const_iterator end() const { return {ids_, keys_.end()}; }

    // The same pairs of ids, whatever the handles.
    bool operator==(const PairSet& other) const;

private:
    // Each key holds both its ends once in *ids_.
    mutable IdentityTable* ids_ = nullptr;
    mutable std::unique_ptr<IdentityTable> own_;  // ids_ points here for a set of its own
    Keys keys_;
};

}  // namespace corvane
