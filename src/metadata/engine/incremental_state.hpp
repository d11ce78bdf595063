#pragma once
// What the engine remembers between two edge refreshes so that the next one re-resolves only
// the nodes whose answers can have changed: per resolved node what its resolution read and
// what it produced, an index from each read key to its readers, and a journal of the changes
// made to the node table since the last refresh. Plain values, so an engine state stays
// copyable. The operations are in incremental.hpp.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "metadata/engine/node_meta.hpp"
#include "util/hash.hpp"

namespace corvane {

// A node as it was when the journal first saw it change, and when it changed last. Times are
// ticks of IncrementalState::clock, which also dates each resolution: a resolution that came
// after a key's last change has seen the key as it is now.
struct NodeBefore {
    std::shared_ptr<const NodeMeta> node;  // null when the node did not exist
    std::optional<std::string> hash;
    std::uint64_t changed_at = 0;
    std::uint64_t covered_at = 0;  // the node's latest recorded resolution since the journal began
    bool resolvable = false;       // as its latest change left it: it has calls or Django relations
};

struct NameBefore {
    std::optional<IdList> ids;
    std::uint64_t changed_at = 0;
};

struct ChangeJournal {
    StringMap<NodeBefore> nodes;                // node id -> state before its first change
    StringMap<NameBefore> names;                // name_index key -> its list before the first change
    StringSet removed;                           // ids whose edges remove_file took away
    std::vector<StringPair> direct_calls;        // resolved-call pairs added outside a refresh, maybe not owned
    std::optional<bool> name_index_was_empty;
    std::uint64_t emptiness_changed_at = 0;
    // From an empty start until the first resolution is recorded, changes are not noted one
    // by one (births_unnoted stays set until the next refresh, noting_paused until that first
    // resolution). Every node then in the table was born since the journal began and before
    // every resolution, so no reader can have seen it otherwise than it is now; what is left
    // to do is resolving those that have nothing recorded, which the refresh finds by
    // scanning the table. Indexing adds every node before resolving any: noting each one
    // cost an entry keyed by its id in `nodes` and another by its name in `names`.
    bool births_unnoted = false;
    bool noting_paused = false;

    void clear() { *this = ChangeJournal(); }
};

// One resolved node: what its last resolution produced.
struct ResolvedNode {
    std::string id;
    std::vector<std::string> call_targets;      // distinct, sorted; the pairs it owns in resolved_call_edges
    std::vector<std::string> relation_targets;  // distinct, sorted; structural pairs from its Django relations
    std::uint32_t reads = 0;                    // entries it has in the reader indexes
    std::uint64_t resolved_at = 0;              // clock tick of the resolution
    bool live = false;
};

// The slots that read each key, keyed by a 64-bit hash of the key text that is the same in
// every process (the record is saved beside snapshots). A collision can only make an extra
// node look affected, never hide one that is. Each key's readers are chained through one
// array, newest first: recording a read is one probe and one append, with no list of its
// own per key.
class ReaderIndex {
public:
    static constexpr std::uint32_t kEnd = UINT32_MAX;
    struct Link {
        std::uint32_t slot;
        std::uint32_t next;  // kEnd ends the chain
    };
    struct Head {
        std::uint64_t key;
        std::uint32_t link;   // the newest reader's
        std::uint32_t unused = 0;  // written as it is: no stray bytes in a saved record
    };

    class Readers {
    public:
        class iterator {
        public:
            iterator(const std::vector<Link>* links, std::uint32_t at) : links_(links), at_(at) {}
            std::uint32_t operator*() const { return (*links_)[at_].slot; }
            iterator& operator++() {
                at_ = (*links_)[at_].next;
                return *this;
            }
            bool operator==(const iterator& o) const { return at_ == o.at_; }

        private:
            const std::vector<Link>* links_;
            std::uint32_t at_;
        };
        Readers(const std::vector<Link>* links, std::uint32_t head) : links_(links), head_(head) {}
        iterator begin() const { return {links_, head_}; }
        iterator end() const { return {links_, kEnd}; }

    private:
        const std::vector<Link>* links_;
        std::uint32_t head_;
    };

    void add(std::uint64_t key, std::uint32_t slot) {
        auto [it, fresh] = heads_.try_emplace(key, kEnd);
        links_.push_back({slot, it->second});
        it->second = static_cast<std::uint32_t>(links_.size() - 1);
    }
    // The index as it is held, for saving: each key's first link, and the links.
    std::vector<Head> heads() const {
        std::vector<Head> out;
        out.reserve(heads_.size());
        for (const auto& [key, link] : heads_) out.push_back({key, link});
        return out;
    }
    const std::vector<Link>& links() const { return links_; }
    // The index from what heads() and links() gave, when it is one: every slot below
    // slot_count, every link named at most once (by a head or by another link's next), so
    // that each chain ends. False, and the index left empty, otherwise.
    bool assign(const std::vector<Head>& heads, std::vector<Link> links, std::uint32_t slot_count);
    // Empty for a key nobody read.
    Readers readers(std::uint64_t key) const {
        auto it = heads_.find(key);
        return {&links_, it == heads_.end() ? kEnd : it->second};
    }
    // Calls f(slot) once per recorded read, whatever its key.
    template <class F>
    void for_each_reader(F&& f) const {
        for (const Link& link : links_) f(link.slot);
    }
    // Keeps the readers for which keep(slot) holds, in their order.
    template <class Keep>
    void filter(Keep keep) {
        std::vector<Link> links;
        links.reserve(links_.size());
        absl::erase_if(heads_, [&](auto& entry) {
            const std::uint32_t old_head = entry.second;
            entry.second = kEnd;
            std::uint32_t last = kEnd;
            for (std::uint32_t i = old_head; i != kEnd; i = links_[i].next) {
                if (!keep(links_[i].slot)) continue;
                const auto at = static_cast<std::uint32_t>(links.size());
                (last == kEnd ? entry.second : links[last].next) = at;
                links.push_back({links_[i].slot, kEnd});
                last = at;
            }
            return entry.second == kEnd;
        });
        links_ = std::move(links);
    }

private:
    absl::flat_hash_map<std::uint64_t, std::uint32_t> heads_;  // key -> its newest link
    std::vector<Link> links_;
};

struct IncrementalState {
    // True while every node that has calls or Django relations either has its reads recorded
    // or is in the journal: from an empty record, and after a refresh that completed.
    // Anything the journal cannot vouch for clears it, and the next refresh is a full one.
    bool valid = false;
    // The builders hold exactly the pairs of the four sets, under genuine node hashes that
    // map back to their ids: single edges can be taken out of them, and invalidate_file can
    // find a node's pairs from its adjacency. Otherwise they are refilled at each refresh.
    bool exact_builders = false;
    std::uint64_t clock = 0;

    std::vector<ResolvedNode> slots;
    std::vector<std::uint32_t> free_slots;  // dead slots no index entry refers to any more
    StringMap<std::uint32_t> slot_of;       // node id -> its live slot
    ReaderIndex readers_of_id;              // ids probed in nodes / id_to_hash, module and class JSON read
    ReaderIndex readers_of_name;            // lower-cased name_index keys looked up
    std::vector<std::uint32_t> readers_of_index_emptiness;
    std::uint64_t live_reads = 0;
    std::uint64_t dead_reads = 0;
    std::size_t call_edges = 0;  // call_targets summed over live slots

    // Sizes and change tally the record had after the last journalled change: a mismatch
    // means the node table was changed behind the journal's back.
    std::size_t expected_nodes = 0;
    std::size_t expected_hashes = 0;
    std::size_t expected_names = 0;
    std::uint64_t expected_changes = 0;

    ChangeJournal journal;

    // What the last refresh did, for tests and benchmarks.
    bool last_refresh_full = false;
    std::size_t last_refresh_resolved = 0;

    // After a restore: how to read the record of reads saved with the snapshot, taken up at
    // the first change or refresh (a process that only queries never reads it), and only
    // while the record is as restored: the same change tally and resolved-call count.
    struct Saved {
        std::function<std::optional<std::vector<std::uint8_t>>()> read;
        std::uint64_t changes = 0;
        std::size_t resolved_calls = 0;
    };
    std::optional<Saved> saved;

    // The record of an engine state whose record is empty: nothing to resolve, nothing read,
    // empty builders that mirror the empty edge sets. Resolutions recorded from here on let
    // the first refresh after indexing be incremental.
    static IncrementalState of_empty_record() {
        IncrementalState s;
        s.valid = true;
        s.exact_builders = true;
        s.journal.births_unnoted = true;
        s.journal.noting_paused = true;
        return s;
    }
};

}  // namespace corvane
