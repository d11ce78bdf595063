#pragma once
// Node identity: each node id held once, with a dense handle and its 32-byte node hash in
// binary beside it. It holds the two relations the engine record stores, "id -> hash"
// (stored hash) and "hash -> id" (back-mapping), which normally say the same thing: every id
// maps to its own hash and that hash back to it. A restored snapshot may hold anything in
// either, so the odd cases are kept too, apart from the common path:
// - a stored hash that is not the id's own is kept decoded; its text is kept as well when it
//   is not the lowercase rendering of those bytes (upper case, or not 64 hexadecimal digits,
//   in which case the id has no decodable hash);
// - a back-mapping may name an id that has no stored hash (the id then has a handle with no
//   hash of its own), or be keyed by text that is not 64 lowercase hexadecimal digits (no
//   lookup can ever reach such a key; it is kept only to be written again).
// An edge or an index list may name an id that has neither (edges restored from a snapshot,
// or added before their nodes): the edge sets and the indexes hold such an id by a handle
// too, with no hash and no node. The table counts the holds on each handle, and a handle
// nobody holds any more is freed.
// Such entries are invisible to find(), to both relations and to equality.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/hash.hpp"
#include "util/prefetch.hpp"

namespace corvane {

using NodeHandle = std::uint32_t;

class IdentityTable {
public:
    IdentityTable() = default;
    // A copy keys its id lookups by its own copies of the ids, not by the source's.
    IdentityTable(const IdentityTable& other);
    IdentityTable& operator=(const IdentityTable& other);
    // Moving keeps every entry where it is (a deque's blocks change owner), so the keys hold.
    IdentityTable(IdentityTable&&) noexcept = default;
    IdentityTable& operator=(IdentityTable&&) noexcept = default;

    // ---- changes (each one advances generation() when it changes anything) --------------

    // The id's stored hash becomes its own, and that hash maps back to it; the id's handle.
    NodeHandle assign_own_hash(std::string_view id);
    // Drops the id's stored hash and the back-mapping keyed by that hash; unknown ids are
    // left alone.
    void remove(std::string_view id);
    // The entries as a snapshot holds them; a later entry for the same key replaces an
    // earlier one.
    void restore_hash(std::string_view id, std::string_view hash_text) {
        restore_hash(id, StringHash{}(id), hash_text);
    }
    void restore_back_mapping(std::string_view hash_text, std::string_view id) {
        restore_back_mapping(hash_text, id, StringHash{}(id));
    }
    // The same, with the id's StringHash worked out by the caller (a reader that fetches
    // the table's memory for a block of entries before applying them).
    void restore_hash(std::string_view id, std::size_t id_hash, std::string_view hash_text);
    void restore_back_mapping(std::string_view hash_text, std::string_view id, std::size_t id_hash);
    // An edge end or an index listing: the id's handle (interned with no hash when it has
    // none), held once more until a matching release().
    NodeHandle hold(std::string_view id) { return hold(id, StringHash{}(id)); }
    NodeHandle hold(std::string_view id, std::size_t hash);
    void hold(NodeHandle h) { ++entries_[h].holds; }
    // Gives up one hold; a handle with no hash, no back-mapping and no hold left is freed.
    void release(NodeHandle h) {
        --entries_[h].holds;
        release_if_unused(h);
    }
    // Room for this many ids without rehashing.
    void reserve(std::size_t ids) {
        by_id_.reserve(ids);
        by_hash_.reserve(ids);
    }

    // ---- lookups ---------------------------------------------------------------------------

    // The handle of an id that has a stored hash.
    std::optional<NodeHandle> find(std::string_view id) const { return find(id, StringHash{}(id)); }
    // The same with the id's StringHash already computed.
    std::optional<NodeHandle> find(std::string_view id, std::size_t hash) const;
    bool has_hash(std::string_view id) const { return find(id).has_value(); }
    // The handle of any id the table holds, with a stored hash or not. For an id without
    // one the answer follows the edge sets, and generation() does not change with it.
    std::optional<NodeHandle> find_held(std::string_view id) const;
    // Whether the handle's id has a stored hash (decodable or not).
    bool has_stored(NodeHandle h) const { return entries_[h].stored; }
    // Starts fetching what find(id) will read first, for a caller that looks many ids up.
    void prefetch_find(std::string_view id) const { by_id_.prefetch(id); }
    // Starts fetching what a back-mapping keyed by this hash reads first.
    void prefetch_back_mapping(const Hash32& hash) const { by_hash_.prefetch(hash); }
    const std::string& id(NodeHandle h) const { return entries_[h].id; }
    // Starts fetching the text of the handle's id (its entry must be in cache or on its way).
    void prefetch_id_text(NodeHandle h) const { prefetch_text(entries_[h].id); }
    // The stored hash of a handle; null when it has none or its text does not decode.
    const Hash32* hash(NodeHandle h) const {
        const Entry& e = entries_[h];
        return e.stored && e.decodes ? &e.hash : nullptr;
    }
    // The stored hash as text, exactly as stored.
    std::string hash_text(NodeHandle h) const;
    // The id the hash maps back to, if any.
    const std::string* id_of_hash(const Hash32& hash) const;

    std::size_t hash_count() const { return stored_; }
    std::size_t back_mapping_count() const { return by_hash_.size() + odd_back_.size(); }
    // Handles are below this bound.
    std::size_t handle_bound() const { return entries_.size(); }
    // Changes whenever a lookup above could answer differently; unique in the process, and
    // a copy gets a new one (its ids live elsewhere).
    std::uint64_t generation() const { return generation_.value; }
    // Every id's stored hash is its own and maps back to it, and nothing else maps back.
    bool all_own() const;
    // Every stored hash that decodes maps back to its own id (not necessarily its own hash):
    // then a hash names at most one id, both ways.
    bool hashes_map_back() const { return misfits_ == 0; }
    // The handle the hash maps back to, if any (that handle may have no stored hash).
    std::optional<NodeHandle> handle_of_hash(const Hash32& hash) const;

    // ---- the snapshot's view -----------------------------------------------------------------

    // The texts of both relations: how many strings and their total length. Summed over
    // the handles in order, where walking the hash -> id map would visit an id per entry.
    struct TextSize {
        std::size_t strings = 0;
        std::size_t bytes = 0;
    };
    TextSize text_size() const;

    // Both walk ahead of themselves (util/prefetch.hpp): a table of 10^6 ids is walked at
    // the speed of memory latency otherwise.
    template <class F>  // f(id, hash text), one call per stored hash
    void for_each_hash(F&& f) const {
        std::string hex;
        const std::size_t n = entries_.size();
        for (NodeHandle h = 0; h < n; ++h) {
            if (h + kNearAhead < n) prefetch_text(entries_[h + kNearAhead].id);
            if (entries_[h].stored) f(entries_[h].id, text_of(h, hex));
        }
    }
    template <class F>  // f(hash text, id), one call per back-mapping
    void for_each_back_mapping(F&& f) const {
        std::string hex;
        walk_ahead(
            by_hash_, [this](const auto& kv) { prefetch(&entries_[kv.second]); },
            [this](const auto& kv) { prefetch_text(entries_[kv.second].id); },
            [&](const auto& kv) { f(std::string_view(hex_of(kv.first, hex)), std::string_view(entries_[kv.second].id)); });
        for (const auto& [text, id] : odd_back_) f(std::string_view(text), std::string_view(id));
    }

    // For writing the table out piece by piece (the snapshot): a stored hash's bytes, and
    // its text when that is not their lowercase rendering (null when it is); the
    // back-mappings keyed by a hash's bytes, and those under any other key.
    const Hash32& stored_hash(NodeHandle h) const { return entries_[h].hash; }
    const std::string* odd_hash_text(NodeHandle h) const {
        if (odd_text_.empty()) return nullptr;
        auto it = odd_text_.find(h);
        return it == odd_text_.end() ? nullptr : &it->second;
    }
    using BackMappings = absl::flat_hash_map<Hash32, NodeHandle, Hash32Hash>;
    const BackMappings& back_mappings() const { return by_hash_; }
    const StringMap<std::string>& odd_back_mappings() const { return odd_back_; }

    // The same two relations, whatever the handles.
    bool operator==(const IdentityTable& other) const;

private:
    static constexpr NodeHandle kNone = 0xFFFFFFFFu;
    struct Entry {
        std::string id;
        Hash32 hash{};
        bool live = false;     // the handle is in use
        bool stored = false;   // the id has a stored hash
        bool decodes = false;  // ... and it decodes to `hash`
        std::uint32_t back_refs = 0;  // back-mappings that name this id
        std::uint32_t holds = 0;  // holds by the edge sets and the indexes
    };

    NodeHandle intern(std::string_view id);
    NodeHandle intern(std::string_view id, std::size_t hash);
    void release_if_unused(NodeHandle h);
    void set_stored(NodeHandle h, std::string_view text);
    // Points the back-mapping of `hash` at h; the handle it named before, or kNone.
    NodeHandle map_back(const Hash32& hash, NodeHandle h);
    bool misfit(NodeHandle h) const;
    // Counts the handles' misfits out (sign -1) before a change and back in (+1) after it.
    void tally(int sign, NodeHandle a, NodeHandle b = kNone);
    const std::string& text_of(NodeHandle h, std::string& hex) const;
    static const std::string& hex_of(const Hash32& hash, std::string& hex);

    std::deque<Entry> entries_;  // by handle; a deque, so the ids stay put for by_id_'s keys
    std::vector<NodeHandle> free_;
    absl::flat_hash_map<std::string_view, NodeHandle, StringHash, StringEq> by_id_;
    BackMappings by_hash_;                                          // back-mappings keyed by lowercase text
    absl::flat_hash_map<NodeHandle, std::string> odd_text_;        // stored hash text not rendered from `hash`
    StringMap<std::string> odd_back_;                              // back-mappings under any other key
    std::size_t stored_ = 0;
    std::int64_t misfits_ = 0;  // stored hashes that decode but do not map back to their id

    struct Generation {
        std::uint64_t value = next();
        Generation() = default;
        Generation(const Generation&) : value(next()) {}
        Generation& operator=(const Generation&) {
            value = next();
            return *this;
        }
        Generation(Generation&&) = default;
        Generation& operator=(Generation&&) = default;
        void advance() { value = next(); }
        static std::uint64_t next();
    };
    Generation generation_;
};

}  // namespace corvane
