#include "metadata/engine/incremental.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <unordered_set>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/django_relations.hpp"
#include "metadata/engine/edges.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "util/lowercase.hpp"

namespace corvane {

namespace {

// Read keys are kept by a hash that is the same in every process, so that the record of
// reads can be saved beside a snapshot and taken up again by the process that restores it.
std::uint64_t key_hash(std::string_view text) { return stable_hash_bytes(text.data(), text.size()); }

// The keys one resolution read.
struct Reads {
    std::vector<std::uint64_t> ids;
    std::vector<std::uint64_t> names;
    bool index_emptiness = false;

    void clear() {
        ids.clear();
        names.clear();
        index_emptiness = false;
    }
    void add_id(std::uint64_t hash) {
        if (ids.empty() || ids.back() != hash) ids.push_back(hash);
    }
    // Room for what most resolutions read, so that logging does not grow the lists.
    void reserve() {
        ids.reserve(64);
        names.reserve(16);
    }
};

// Logs every read into `log`; parsed side data comes from the engine's store.
class RecordingLookup final : public CachedLookup {
public:
    RecordingLookup(const MetadataEngine& record, ParsedSideData& store, Reads& log)
        : CachedLookup(record, store), log_(log) {}

    using CachedLookup::has_node_hash;
    using CachedLookup::node;

    // A key read twice in a row (a node, then its hash) is logged once.
    const NodeMeta* node(std::string_view id, std::size_t hash) override {
        log_.add_id(key_hash(id));
        return LookupSource::node(id, hash);
    }
    std::optional<IdsView> ids_named(std::string_view lowered_name) override {
        log_.names.push_back(key_hash(lowered_name));
        return find_ids_named(lowered_name, StringHash{}(lowered_name));
    }
    bool has_node_hash(std::string_view id, std::size_t hash) override {
        log_.add_id(key_hash(id));
        return LookupSource::has_node_hash(id, hash);
    }
    bool name_index_empty() override {
        log_.index_emptiness = true;
        return LookupSource::name_index_empty();
    }

private:
    Reads& log_;
};

// A node the refresh resolves: it has call names or Django relations.
bool resolvable(const NodeMeta& meta) { return meta.calls || meta.django_relations_json; }

template <class T>
void sort_unique(std::vector<T>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

// ---- the record of resolved nodes --------------------------------------------------------

std::uint32_t open_slot(IncrementalState& inc, const std::string& id) {
    std::uint32_t s;
    if (!inc.free_slots.empty()) {
        s = inc.free_slots.back();
        inc.free_slots.pop_back();
    } else {
        s = static_cast<std::uint32_t>(inc.slots.size());
        inc.slots.emplace_back();
    }
    ResolvedNode& r = inc.slots[s];
    r = ResolvedNode{};
    r.id = id;
    r.live = true;
    inc.slot_of[id] = s;
    return s;
}

void index_reads(IncrementalState& inc, std::uint32_t s, Reads& reads) {
    sort_unique(reads.ids);
    sort_unique(reads.names);
    for (std::uint64_t h : reads.ids) inc.readers_of_id.add(h, s);
    for (std::uint64_t h : reads.names) inc.readers_of_name.add(h, s);
    if (reads.index_emptiness) inc.readers_of_index_emptiness.push_back(s);
    const auto n = static_cast<std::uint32_t>(reads.ids.size() + reads.names.size() + (reads.index_emptiness ? 1 : 0));
    inc.slots[s].reads = n;
    inc.live_reads += n;
}

// The slot's index entries stay until the next compaction; only then may it be reused.
void close_slot(IncrementalState& inc, std::uint32_t s) {
    ResolvedNode& r = inc.slots[s];
    r.live = false;
    inc.live_reads -= r.reads;
    inc.dead_reads += r.reads;
    inc.call_edges -= r.call_targets.size();
    if (auto it = inc.slot_of.find(r.id); it != inc.slot_of.end() && it->second == s) inc.slot_of.erase(it);
    r.id.clear();
    r.id.shrink_to_fit();
    r.call_targets = {};
    r.relation_targets = {};
}

void compact(IncrementalState& inc) {
    auto dead = [&](std::uint32_t s) { return !inc.slots[s].live; };
    for (ReaderIndex* index : {&inc.readers_of_id, &inc.readers_of_name}) {
        index->filter([&](std::uint32_t s) { return !dead(s); });
    }
    std::erase_if(inc.readers_of_index_emptiness, dead);
    inc.free_slots.clear();
    for (std::uint32_t s = 0; s < inc.slots.size(); ++s) {
        if (dead(s)) inc.free_slots.push_back(s);
    }
    inc.dead_reads = 0;
}

// ---- builders ------------------------------------------------------------------------------

// The builders mirror the sets pair for pair (so single edges can be taken out of them, and
// invalidate_file can find a node's pairs from its adjacency) only when every id's hash is
// its own and maps back to it (no two ids share one), and no stored pair has an end without
// a hash (which a full refill would feed once the end gained one). These can fail only for
// a restored snapshot, and every later operation keeps them.
bool builders_can_be_exact(const MetadataEngine& rec) {
    if (!rec.identities.all_own()) return false;
    for (const PairSet* set : all_edge_sets(rec)) {
        for (PairSet::Key k : set->keys()) {
            if (!rec.identities.has_stored(PairSet::from_of(k)) || !rec.identities.has_stored(PairSet::to_of(k))) return false;
        }
    }
    return true;
}

// ---- resolving one node ----------------------------------------------------------------

// Opens the node's slot for what one resolution read and produced, dated now.
void record_resolution(IncrementalState& inc, const std::string& id, Reads& reads, std::vector<std::string> calls,
                       std::vector<std::string> relations) {
    const std::uint32_t s = open_slot(inc, id);
    index_reads(inc, s, reads);
    inc.call_edges += calls.size();
    inc.slots[s].call_targets = std::move(calls);
    inc.slots[s].relation_targets = std::move(relations);
    inc.slots[s].resolved_at = ++inc.clock;
    if (auto j = inc.journal.nodes.find(id); j != inc.journal.nodes.end()) j->second.covered_at = inc.slots[s].resolved_at;
    inc.journal.noting_paused = false;
}

// The resolved-call targets the edge refresh gives a node with these resolved targets:
// distinct, sorted, the node itself left out, none when the caller has no hash.
std::vector<std::string> owned_call_targets(LookupSource& src, const std::string& id, std::vector<ResolvedTarget> targets) {
    std::vector<std::string> calls;
    for (auto& target : targets) {
        if (target != id) calls.push_back(std::move(target));
    }
    sort_unique(calls);
    // Without its own hash the caller can store no pair.
    if (!src.has_node_hash(id)) calls.clear();
    return calls;
}

// The pairs a node's resolution owns, into their sets and the builders.
Status add_owned_pairs(EngineState& state, const std::string& id, const std::vector<std::string>& calls,
                       const std::vector<std::string>& relations) {
    for (const auto& t : calls) {
        if (auto fed = detail::add_edge(state, id, t, EdgeKind::ResolvedCall); !fed) return fed.error();
    }
    for (const auto& t : relations) {
        if (auto fed = detail::add_edge(state, id, t, EdgeKind::Structural); !fed) return fed.error();
    }
    return {};
}

// Resolves one node against the current record, replaces the resolved-call pairs it owned
// (old_calls) by the new ones, adds its Django relation pairs and records it.
Status resolve_node(EngineState& state, Reads& reads, RecordingLookup& src, const std::string& id,
                    const std::vector<std::string>& old_calls) {
    IncrementalState& inc = state.incremental;
    reads.clear();
    const NodeMeta* node = src.node(id);
    std::vector<std::string> calls;
    std::vector<std::string> relations;
    const bool resolved = node != nullptr && resolvable(*node);
    if (node != nullptr && node->calls) calls = owned_call_targets(src, id, resolve_calls(src, id, *node->calls));
    if (node != nullptr && node->django_relations_json) {
        relations = detail::relation_targets(src, id, *node->django_relations_json);
        sort_unique(relations);
    }

    for (const auto& t : old_calls) {
        if (!std::binary_search(calls.begin(), calls.end(), t)) detail::drop_resolved_call(state, id, t);
    }
    if (resolved) record_resolution(inc, id, reads, calls, relations);
    return add_owned_pairs(state, id, calls, relations);
}

void finish_refresh(EngineState& state) {
    IncrementalState& inc = state.incremental;
    inc.journal.clear();
    inc.valid = true;
    note_table_sizes(state);
    if (inc.dead_reads > inc.live_reads + 4096) compact(inc);
}

// ---- the journal -------------------------------------------------------------------------

void note_node(EngineState& state, const std::string& id, bool resolvable) {
    IncrementalState& inc = state.incremental;
    auto [entry, first] = inc.journal.nodes.try_emplace(id);
    entry->second.changed_at = ++inc.clock;
    entry->second.resolvable = resolvable;
    if (!first) return;
    if (auto n = state.record.nodes.find(id); n != state.record.nodes.end()) {
        entry->second.node = std::make_shared<const NodeMeta>(n->second);
    }
    if (auto h = state.record.identities.find(id)) entry->second.hash = state.record.identities.hash_text(*h);
}

void note_name(EngineState& state, std::string key) {
    IncrementalState& inc = state.incremental;
    auto [entry, first] = inc.journal.names.try_emplace(std::move(key));
    entry->second.changed_at = ++inc.clock;
    if (!first) return;
    if (auto listed = state.record.name_index.find(entry->first)) entry->second.ids = listed->to_list();
}

void note_emptiness(EngineState& state) {
    auto& was = state.incremental.journal.name_index_was_empty;
    if (!was) was = state.record.name_index.empty();
}

// What other nodes' resolutions can see of a node: its existence, type, name, file, JSON
// side data and hash.
bool same_for_readers(const NodeBefore& before, const NodeMeta* now, const std::optional<std::string>& now_hash) {
    if ((before.node != nullptr) != (now != nullptr)) return false;
    if (before.hash != now_hash) return false;
    if (now == nullptr) return true;
    const NodeMeta& b = *before.node;
    return b.node_type == now->node_type && b.name == now->name && b.file_path == now->file_path &&
           b.extra_json == now->extra_json;
}

bool same_own_inputs(const NodeBefore& before, const NodeMeta* now) {
    if (now == nullptr) return true;
    return before.node->calls == now->calls && before.node->django_relations_json == now->django_relations_json;
}

// Resolution treats a name_index list as a set of ids: order and repeats change no result.
bool same_members(const std::optional<IdList>& before, const std::optional<IdsView>& now) {
    if (before.has_value() != now.has_value()) return false;
    std::vector<std::string_view> a, b;
    if (before) a.assign(before->begin(), before->end());
    if (now) b.assign(now->begin(), now->end());
    sort_unique(a);
    sort_unique(b);
    return a == b;
}

// The node table is as the journal last saw it: a record-level change (or any other) made
// behind the journal shows in the tally or the sizes.
bool table_as_noted(const EngineState& state) {
    const MetadataEngine& rec = state.record;
    const IncrementalState& inc = state.incremental;
    return rec.changes.value == inc.expected_changes && rec.nodes.size() == inc.expected_nodes &&
           rec.identities.hash_count() == inc.expected_hashes && rec.name_index.size() == inc.expected_names;
}

// Nothing noted one by one since the last refresh (births may still have gone unnoted).
bool nothing_noted(const ChangeJournal& j) {
    return j.nodes.empty() && j.names.empty() && j.removed.empty() && j.direct_calls.empty() && !j.name_index_was_empty;
}

bool journal_empty(const ChangeJournal& j) { return nothing_noted(j) && !j.births_unnoted; }

bool owns_call(const IncrementalState& inc, const std::string& from, const std::string& to) {
    auto it = inc.slot_of.find(from);
    if (it == inc.slot_of.end()) return false;
    const auto& targets = inc.slots[it->second].call_targets;
    return std::binary_search(targets.begin(), targets.end(), to);
}

Status incremental_refresh(EngineState& state) {
    MetadataEngine& rec = state.record;
    IncrementalState& inc = state.incremental;
    ChangeJournal& journal = inc.journal;
    if (!table_as_noted(state)) return refresh_derived_edges_fully(state);
    inc.last_refresh_full = false;
    inc.last_refresh_resolved = 0;
    if (journal_empty(journal) && inc.exact_builders && rec.resolved_call_edges.size() == inc.call_edges) return {};

    // Which keys really changed, and when last: a file removed and added again mostly comes
    // back the same. A resolution dated after a key's last change saw it as it is now; a
    // change older than every recorded resolution (nodes added before indexing resolved
    // their callers) has no reader to redo.
    std::uint64_t oldest_resolution = inc.clock + 1;
    for (const auto& r : inc.slots) {
        if (r.live) oldest_resolution = std::min(oldest_resolution, r.resolved_at);
    }
    using Dated = std::pair<std::uint64_t, std::uint64_t>;  // key hash, last change
    std::vector<std::pair<const std::string*, std::uint64_t>> own_changed;
    std::vector<Dated> ids_changed;
    std::unordered_set<std::uint64_t> removed_ids_changed;
    for (const auto& [id, before] : journal.nodes) {
        // A node added since the last refresh, before every recorded resolution, that either
        // was resolved since its last change or has nothing to resolve and was never resolved
        // (so it has no slot): no reader and no own edge to redo. Nodes added before indexing
        // resolved their callers are all of this kind.
        if (before.node == nullptr && before.changed_at <= oldest_resolution &&
            (before.covered_at > before.changed_at || (!before.resolvable && before.covered_at == 0))) {
            continue;
        }
        auto n = rec.nodes.find(id);
        const NodeMeta* now = n == rec.nodes.end() ? nullptr : &n->second;
        auto h = rec.identities.find(id);
        const std::optional<std::string> now_hash = h ? std::optional(rec.identities.hash_text(*h)) : std::nullopt;
        const bool readers_same = same_for_readers(before, now, now_hash);
        if (!readers_same && before.changed_at > oldest_resolution) ids_changed.emplace_back(key_hash(id), before.changed_at);
        if (!readers_same && journal.removed.contains(id)) removed_ids_changed.insert(key_hash(id));
        // A node with nothing to resolve and nothing recorded has no edges to redo. One that
        // is gone but still recorded (added, resolved while indexing, removed again) looks
        // the same to readers as before the journal began, yet its record has to go.
        const bool recorded = inc.slot_of.contains(id);
        const bool gone_but_recorded = now == nullptr && recorded;
        if ((!readers_same || !same_own_inputs(before, now) || gone_but_recorded) &&
            ((now != nullptr && resolvable(*now)) || recorded)) {
            own_changed.emplace_back(&id, before.changed_at);
        }
    }
    std::vector<Dated> names_changed;
    for (const auto& [key, before] : journal.names) {
        if (before.changed_at <= oldest_resolution) continue;
        if (!same_members(before.ids, rec.name_index.find(key))) {
            names_changed.emplace_back(key_hash(key), before.changed_at);
        }
    }
    const bool emptiness_changed = journal.name_index_was_empty && *journal.name_index_was_empty != rec.name_index.empty();

    // The nodes to resolve again: changed ones and the readers of changed keys.
    StringSet dirty_set;
    std::vector<std::string> dirty;
    auto mark = [&](const std::string& id) {
        if (dirty_set.insert(id).second) dirty.push_back(id);
    };
    auto resolved_before = [&](std::uint32_t s, std::uint64_t changed_at) {
        return inc.slots[s].live && inc.slots[s].resolved_at < changed_at;
    };
    auto mark_readers = [&](const auto& readers, std::uint64_t changed_at) {
        for (std::uint32_t s : readers) {
            if (resolved_before(s, changed_at)) mark(inc.slots[s].id);
        }
    };
    for (const auto& [id, changed_at] : own_changed) {
        auto it = inc.slot_of.find(*id);
        if (it == inc.slot_of.end() || resolved_before(it->second, changed_at)) mark(*id);
    }
    if (journal.births_unnoted) {
        for (const auto& [id, meta] : rec.nodes) {
            if (resolvable(meta) && !inc.slot_of.contains(id)) mark(id);
        }
    }
    for (const auto& [h, changed_at] : ids_changed) {
        mark_readers(inc.readers_of_id.readers(h), changed_at);
    }
    for (const auto& [h, changed_at] : names_changed) {
        mark_readers(inc.readers_of_name.readers(h), changed_at);
    }
    if (emptiness_changed) mark_readers(inc.readers_of_index_emptiness, journal.emptiness_changed_at);
    // Past this share, resolving everything in one sweep is cheaper than the bookkeeping.
    if (dirty.size() > 1024 && dirty.size() * 2 > inc.slot_of.size()) return refresh_derived_edges_fully(state);

    // remove_file took every edge of a removed id; where the id came back unchanged, the
    // clean nodes that read it still own those pairs, so put them back.
    std::unordered_set<std::uint32_t> restored;
    for (const auto& id : journal.removed) {
        const std::uint64_t h = key_hash(id);
        // Where the id changed, its readers from before are dirty and those since hold their pairs.
        if (removed_ids_changed.contains(h)) continue;
        for (std::uint32_t s : inc.readers_of_id.readers(h)) {
            const ResolvedNode& r = inc.slots[s];
            if (!r.live || dirty_set.contains(r.id) || !restored.insert(s).second) continue;
            if (Status st = add_owned_pairs(state, r.id, r.call_targets, r.relation_targets); !st) return st;
        }
    }

    Reads reads;
    RecordingLookup src(rec, state.parsed, reads);
    for (const auto& id : dirty) {
        std::vector<std::string> old_calls;
        if (auto it = inc.slot_of.find(id); it != inc.slot_of.end()) {
            const std::uint32_t s = it->second;
            old_calls = inc.slots[s].call_targets;
            close_slot(inc, s);
        }
        if (Status st = resolve_node(state, reads, src, id, old_calls); !st) return st;
    }
    inc.last_refresh_resolved = dirty.size();

    // Resolved calls added outside a refresh (resolve_and_connect_calls for names the
    // caller's `calls` do not give, add_typed_edge) that no recorded node owns.
    for (const auto& [from, to] : journal.direct_calls) {
        if (!owns_call(inc, from, to)) detail::drop_resolved_call(state, from, to);
    }

    if (!inc.exact_builders) {
        if (Status st = detail::refill_builders(state); !st) return st;
    }
    // Every owned pair is in the set; a different size means a pair came from elsewhere.
    if (rec.resolved_call_edges.size() != inc.call_edges) return refresh_derived_edges_fully(state);
    finish_refresh(state);
    return {};
}

}  // namespace

Status refresh_derived_edges_fully(EngineState& state) {
    MetadataEngine& rec = state.record;
    state.incremental = IncrementalState{};
    std::vector<std::string> ids;
    ids.reserve(rec.nodes.size());
    for (const auto& [id, meta] : rec.nodes) {
        if (resolvable(meta)) ids.push_back(id);
    }
    rec.resolved_call_edges.clear();
    // The refill looks every pair's ids up: what builders_can_be_exact would find again.
    bool every_end_hashed = false;
    if (Status s = detail::refill_builders(state, &every_end_hashed); !s) return s;
    state.incremental.exact_builders = rec.identities.all_own() && every_end_hashed;

    // Whatever changed behind the hooks' back is parsed afresh.
    state.parsed.clear();
    Reads reads;
    RecordingLookup src(rec, state.parsed, reads);
    for (const auto& id : ids) {
        if (Status s = resolve_node(state, reads, src, id, {}); !s) {
            state.incremental = IncrementalState{};
            return s;
        }
    }
    state.incremental.last_refresh_full = true;
    state.incremental.last_refresh_resolved = ids.size();
    finish_refresh(state);
    return {};
}

Status refresh_derived_edges(EngineState& state) {
    take_saved_reads(state);
    Status s = state.incremental.valid ? incremental_refresh(state) : refresh_derived_edges_fully(state);
    if (!s) state.incremental = IncrementalState{};
    return s;
}

void note_upsert(EngineState& state, const NodeMeta& incoming) {
    if (!state.incremental.valid || state.incremental.journal.noting_paused) return;
    note_emptiness(state);
    note_node(state, incoming.node_id, resolvable(incoming));
    if (auto old = state.record.nodes.find(incoming.node_id); old != state.record.nodes.end()) {
        note_name(state, to_lower(old->second.name));
    }
    note_name(state, to_lower(incoming.name));
}

void note_file_removal(EngineState& state, const std::string& file_path) {
    if (!state.incremental.valid || state.incremental.journal.noting_paused) return;
    auto listed = state.record.file_index.find(file_path);
    if (!listed) return;
    note_emptiness(state);
    for (const auto& id : *listed) {
        note_node(state, id, false);
        if (auto n = state.record.nodes.find(id); n != state.record.nodes.end()) note_name(state, to_lower(n->second.name));
        state.incremental.journal.removed.insert(id);
    }
}

void note_table_sizes(EngineState& state) {
    IncrementalState& inc = state.incremental;
    if ((inc.expected_names == 0) != state.record.name_index.empty()) inc.journal.emptiness_changed_at = ++inc.clock;
    inc.expected_nodes = state.record.nodes.size();
    inc.expected_hashes = state.record.identities.hash_count();
    inc.expected_names = state.record.name_index.size();
    inc.expected_changes = state.record.changes.value;
}

void note_direct_call(EngineState& state, const std::string& from_id, const std::string& to_id) {
    if (state.incremental.valid) state.incremental.journal.direct_calls.emplace_back(from_id, to_id);
}

void forget_recorded_reads(EngineState& state) { state.incremental = IncrementalState{}; }

bool record_vouched(const EngineState& state) {
    return state.incremental.valid && table_as_noted(state);
}

Result<std::uint32_t> resolve_and_connect_calls(EngineState& state, const std::string& caller_id,
                                                const std::vector<std::string>& call_names) {
    take_saved_reads(state);
    IncrementalState& inc = state.incremental;
    const NodeMeta* caller = nullptr;
    if (auto it = state.record.nodes.find(caller_id); it != state.record.nodes.end()) caller = &it->second;
    // Resolved with exactly its stored calls, and nothing else to resolve, a caller's result
    // is what the refresh would compute now: record it, so the refresh need not redo it.
    if (caller != nullptr && caller->calls == call_names && !caller->django_relations_json && record_vouched(state)) {
        Reads reads;
        reads.reserve();
        RecordingLookup src(state.record, state.parsed, reads);
        auto targets = resolve_calls(src, caller_id, call_names);
        auto count = detail::connect_resolved_calls(state, caller_id, targets);
        if (!count) {
            forget_recorded_reads(state);
            return count;
        }
        auto calls = owned_call_targets(src, caller_id, std::move(targets));
        if (auto it = inc.slot_of.find(caller_id); it != inc.slot_of.end()) {
            // Pairs of an earlier resolution that this one no longer gives go at the refresh.
            for (const auto& t : inc.slots[it->second].call_targets) {
                if (!std::binary_search(calls.begin(), calls.end(), t)) inc.journal.direct_calls.emplace_back(caller_id, t);
            }
            close_slot(inc, it->second);
        }
        record_resolution(inc, caller_id, reads, std::move(calls), {});
        return count;
    }
    CachedLookup src(state.record, state.parsed);
    auto targets = resolve_calls(src, caller_id, call_names);
    for (const auto& target : targets) {
        if (target != caller_id) note_direct_call(state, caller_id, target);
    }
    return detail::connect_resolved_calls(state, caller_id, targets);
}

// ---- the record of reads saved beside a snapshot ------------------------------------------

namespace {

constexpr std::uint32_t kReadsRecordVersion = 2;

// Native byte order: the bytes are only ever read back beside the snapshot file of this
// machine they were saved with.
class RecordWriter {
public:
    explicit RecordWriter(std::size_t expected) { out_.reserve(expected); }
    void u8(std::uint8_t v) { put(&v, sizeof v); }
    void u32(std::uint32_t v) { put(&v, sizeof v); }
    void u64(std::uint64_t v) { put(&v, sizeof v); }
    void str(std::string_view s) {
        u64(s.size());
        put(s.data(), s.size());
    }
    // A count, then the items' bytes as they are held.
    template <class T>
    void items(const std::vector<T>& v) {
        u64(v.size());
        put(v.data(), v.size() * sizeof(T));
    }
    std::vector<std::uint8_t> take() { return std::move(out_); }

private:
    void put(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    std::vector<std::uint8_t> out_;
};

class RecordReader {
public:
    explicit RecordReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool u8(std::uint8_t& v) { return get(&v, sizeof v); }
    bool u32(std::uint32_t& v) { return get(&v, sizeof v); }
    bool u64(std::uint64_t& v) { return get(&v, sizeof v); }
    bool str(std::string& s) {
        std::uint64_t n;
        if (!u64(n) || n > left()) return false;
        s.assign(reinterpret_cast<const char*>(bytes_.data() + at_), n);
        at_ += n;
        return true;
    }
    // A count of items of at least `each` bytes: never more than the bytes left could hold.
    bool count(std::uint64_t& n, std::size_t each) { return u64(n) && n <= left() / each; }
    template <class T>
    bool items(std::vector<T>& v) {
        std::uint64_t n;
        if (!count(n, sizeof(T))) return false;
        v.resize(n);
        return get(v.data(), n * sizeof(T));
    }
    bool done() const { return at_ == bytes_.size(); }

private:
    std::size_t left() const { return bytes_.size() - at_; }
    bool get(void* p, std::size_t n) {
        if (n > left()) return false;
        if (n > 0) std::memcpy(p, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// Nothing left for a refresh to do: nothing journalled and, where births went unnoted (an
// index just built), every node they brought that has something to resolve resolved since.
bool settled(const EngineState& state) {
    const ChangeJournal& j = state.incremental.journal;
    if (!nothing_noted(j)) return false;
    if (!j.births_unnoted) return true;
    for (const auto& [id, meta] : state.record.nodes) {
        if (resolvable(meta) && !state.incremental.slot_of.contains(id)) return false;
    }
    return true;
}

}  // namespace

bool ReaderIndex::assign(const std::vector<Head>& heads, std::vector<Link> links, std::uint32_t slot_count) {
    heads_.clear();
    links_.clear();
    std::vector<bool> named(links.size(), false);
    auto name = [&](std::uint32_t at) {
        if (at == kEnd) return true;
        if (at >= links.size() || named[at]) return false;
        named[at] = true;
        return true;
    };
    for (const Link& link : links) {
        if (link.slot >= slot_count || !name(link.next)) return false;
    }
    heads_.reserve(heads.size());
    for (const Head& head : heads) {
        if (head.link == kEnd || !name(head.link) || !heads_.emplace(head.key, head.link).second) {
            heads_.clear();
            return false;
        }
    }
    links_ = std::move(links);
    return true;
}

std::optional<std::vector<std::uint8_t>> encode_recorded_reads(const EngineState& state) {
    const IncrementalState& inc = state.incremental;
    // With nothing journalled every resolved-call pair is owned, so the pairs themselves give
    // each node's call targets back: they are not written. Where nothing was resolved, a full
    // refresh has nothing to do either: no record.
    if (!inc.valid || inc.slot_of.empty() || !table_as_noted(state) ||
        state.record.resolved_call_edges.size() != inc.call_edges || !settled(state)) {
        return std::nullopt;
    }
    // The slots as they are numbered, dead ones too, and the reader indexes as they are held:
    // the links are written as one block, in their order, so saving costs no walk of chains.
    const ReaderIndex* indexes[] = {&inc.readers_of_id, &inc.readers_of_name};
    std::size_t expected = 64 + inc.readers_of_index_emptiness.size() * 4;
    for (const ResolvedNode& r : inc.slots) expected += 16 + r.id.size();
    for (const ReaderIndex* index : indexes) expected += index->links().size() * sizeof(ReaderIndex::Link) * 2;
    RecordWriter w(expected);
    w.u32(kReadsRecordVersion);
    w.u64(inc.slots.size());
    for (const ResolvedNode& r : inc.slots) {
        w.u8(r.live ? 1 : 0);
        if (!r.live) continue;
        w.str(r.id);
        w.u64(r.relation_targets.size());
        for (const auto& t : r.relation_targets) w.str(t);
    }
    for (const ReaderIndex* index : indexes) {
        w.items(index->heads());
        w.items(index->links());
    }
    w.items(inc.readers_of_index_emptiness);
    return w.take();
}

bool adopt_recorded_reads(EngineState& state, std::span<const std::uint8_t> bytes) {
    const MetadataEngine& rec = state.record;
    IncrementalState inc;
    RecordReader r(bytes);
    std::uint32_t version = 0;
    std::uint64_t n = 0;
    if (!r.u32(version) || version != kReadsRecordVersion || !r.count(n, 1) || n >= UINT32_MAX) return false;
    inc.slots.resize(n);
    std::size_t live = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
        ResolvedNode& node = inc.slots[s];
        std::uint8_t is_live = 0;
        if (!r.u8(is_live) || is_live > 1) return false;
        if (!is_live) continue;
        std::uint64_t relations = 0;
        if (!r.str(node.id) || !r.count(relations, 8)) return false;
        node.relation_targets.resize(relations);
        for (auto& t : node.relation_targets) {
            if (!r.str(t)) return false;
        }
        sort_unique(node.relation_targets);
        auto meta = rec.nodes.find(node.id);
        if (meta == rec.nodes.end() || !resolvable(meta->second) || !inc.slot_of.emplace(node.id, s).second) return false;
        node.live = true;
        node.resolved_at = 1;
        ++live;
    }
    // Every node that has something to resolve is recorded.
    std::size_t to_resolve = 0;
    for (const auto& [id, meta] : rec.nodes) to_resolve += resolvable(meta) ? 1 : 0;
    if (to_resolve != live) return false;

    for (ReaderIndex* index : {&inc.readers_of_id, &inc.readers_of_name}) {
        std::vector<ReaderIndex::Head> heads;
        std::vector<ReaderIndex::Link> links;
        if (!r.items(heads) || !r.items(links) || !index->assign(heads, std::move(links), static_cast<std::uint32_t>(n))) {
            return false;
        }
        for (const ReaderIndex::Link& link : index->links()) ++inc.slots[link.slot].reads;
    }
    if (!r.items(inc.readers_of_index_emptiness) || !r.done()) return false;
    for (std::uint32_t s : inc.readers_of_index_emptiness) {
        if (s >= n) return false;
        ++inc.slots[s].reads;
    }

    // Each pair to its caller's slot by the caller's handle: one id lookup per node, not per pair.
    const IdentityTable& ids = rec.identities;
    std::vector<std::uint32_t> slot_of_handle(ids.handle_bound(), UINT32_MAX);
    for (const auto& [id, s] : inc.slot_of) {
        if (auto h = ids.find(id)) slot_of_handle[*h] = s;
    }
    std::vector<std::uint32_t> targets(n, 0);
    for (PairSet::Key k : rec.resolved_call_edges.keys()) {
        const std::uint32_t s = slot_of_handle[PairSet::from_of(k)];
        if (s == UINT32_MAX) return false;
        ++targets[s];
    }
    for (std::uint32_t s = 0; s < n; ++s) inc.slots[s].call_targets.reserve(targets[s]);
    for (PairSet::Key k : rec.resolved_call_edges.keys()) {
        inc.slots[slot_of_handle[PairSet::from_of(k)]].call_targets.push_back(ids.id(PairSet::to_of(k)));
    }
    auto present = [&](const std::string& id) { return rec.identities.has_hash(id); };
    for (ResolvedNode& node : inc.slots) {
        (node.live ? inc.live_reads : inc.dead_reads) += node.reads;
        if (!node.live) continue;
        sort_unique(node.call_targets);
        inc.call_edges += node.call_targets.size();
        if (!present(node.id)) continue;
        for (const auto& t : node.relation_targets) {
            if (present(t) && !rec.structural_edges.contains(StringPair(node.id, t))) return false;
        }
    }
    if (inc.call_edges != rec.resolved_call_edges.size()) return false;
    inc.clock = 1;  // every change from here on is dated after every recorded resolution
    inc.valid = true;
    inc.exact_builders = builders_can_be_exact(rec);
    state.incremental = std::move(inc);
    note_table_sizes(state);
    return true;
}

void take_saved_reads(EngineState& state) {
    if (!state.incremental.saved) return;
    const IncrementalState::Saved saved = std::move(*state.incremental.saved);
    state.incremental.saved.reset();
    // Changed since the restore by a way that did not come here first: not the record the
    // reads were taken from.
    if (state.record.changes.value != saved.changes || state.record.resolved_call_edges.size() != saved.resolved_calls) {
        return;
    }
    if (auto bytes = saved.read()) (void)adopt_recorded_reads(state, *bytes);
}

namespace {

Error broken(const std::string& what) { return wrong_state("incremental invariant broken: " + what); }

// The slots, their index from ids and the reader indexes agree.
Status check_slots(const IncrementalState& inc) {
    std::uint64_t live_reads = 0;
    std::size_t call_edges = 0;
    for (std::uint32_t s = 0; s < inc.slots.size(); ++s) {
        const ResolvedNode& r = inc.slots[s];
        if (!r.live) continue;
        auto it = inc.slot_of.find(r.id);
        if (it == inc.slot_of.end() || it->second != s) return broken("live slot of " + r.id + " not indexed by its id");
        if (!std::is_sorted(r.call_targets.begin(), r.call_targets.end()) ||
            std::adjacent_find(r.call_targets.begin(), r.call_targets.end()) != r.call_targets.end() ||
            !std::is_sorted(r.relation_targets.begin(), r.relation_targets.end()) ||
            std::adjacent_find(r.relation_targets.begin(), r.relation_targets.end()) != r.relation_targets.end()) {
            return broken("targets of " + r.id + " not distinct and sorted");
        }
        if (r.resolved_at > inc.clock) return broken("resolution of " + r.id + " dated after the clock");
        live_reads += r.reads;
        call_edges += r.call_targets.size();
    }
    for (const auto& [id, s] : inc.slot_of) {
        if (s >= inc.slots.size() || !inc.slots[s].live || inc.slots[s].id != id) return broken("slot index of " + id);
    }
    if (live_reads != inc.live_reads) return broken("live read count");
    if (call_edges != inc.call_edges) return broken("owned call count");
    std::vector<bool> free(inc.slots.size(), false);
    for (std::uint32_t s : inc.free_slots) {
        if (s >= inc.slots.size() || inc.slots[s].live || free[s]) return broken("free slot list");
        free[s] = true;
    }
    bool reader_ok = true;
    auto check_reader = [&](std::uint32_t s) { reader_ok = reader_ok && s < inc.slots.size() && !free[s]; };
    inc.readers_of_id.for_each_reader(check_reader);
    inc.readers_of_name.for_each_reader(check_reader);
    for (std::uint32_t s : inc.readers_of_index_emptiness) check_reader(s);
    if (!reader_ok) return broken("a recorded read names no slot, or a free one");
    return {};
}

// What a valid record of reads vouches for: every resolvable node is recorded or journalled
// (or among the births the refresh finds by scanning),
// each recorded node's pairs are in their sets, and every resolved-call pair is owned or
// journalled as added directly.
Status check_recorded_edges(const EngineState& state) {
    const MetadataEngine& rec = state.record;
    const IncrementalState& inc = state.incremental;
    const ChangeJournal& journal = inc.journal;
    if (!table_as_noted(state)) return broken("the node table changed behind the journal");
    for (const auto& [id, meta] : rec.nodes) {
        if (resolvable(meta) && !inc.slot_of.contains(id) && !journal.nodes.contains(id) &&
            !journal.births_unnoted) {
            return broken(id + " is resolvable but neither recorded nor journalled");
        }
    }
    auto present = [&](const std::string& id) { return !journal.removed.contains(id) && rec.identities.has_hash(id); };
    for (const auto& r : inc.slots) {
        if (!r.live) continue;
        if (!rec.nodes.contains(r.id) && !journal.nodes.contains(r.id)) return broken("recorded node " + r.id + " is gone unjournalled");
        if (!present(r.id)) continue;
        for (const auto& t : r.call_targets) {
            if (present(t) && !rec.resolved_call_edges.contains(StringPair(r.id, t))) return broken("owned call " + r.id + " -> " + t + " missing");
        }
        for (const auto& t : r.relation_targets) {
            if (present(t) && !rec.structural_edges.contains(StringPair(r.id, t))) return broken("relation " + r.id + " -> " + t + " missing");
        }
    }
    std::set<StringPair> direct(journal.direct_calls.begin(), journal.direct_calls.end());
    for (const auto& pair : rec.resolved_call_edges) {
        if (!owns_call(inc, pair.first, pair.second) && !direct.contains(pair)) {
            return broken("resolved call " + pair.first + " -> " + pair.second + " neither owned nor journalled");
        }
    }
    return {};
}

// Exact builders hold the pairs of the sets that feed them, under the ends' own hashes, in
// both directions, and nothing else.
Status check_builder(const graph::GraphBuilder& b, const MetadataEngine& rec, bool with_structural, const char* name) {
    std::set<std::pair<Hash32, Hash32>> want, got;
    for (const PairSet* set : all_edge_sets(rec)) {
        if (set == &rec.structural_edges && !with_structural) continue;
        for (PairSet::Key k : set->keys()) {
            const Hash32* fh = rec.identities.hash(PairSet::from_of(k));
            const Hash32* th = rec.identities.hash(PairSet::to_of(k));
            if (!fh || !th) return broken(std::string(name) + " builder is exact over a pair without hashes");
            want.emplace(*fh, *th);
        }
    }
    std::set<std::pair<Hash32, Hash32>> backwards;
    for (std::size_t i = 0; i < b.node_count(); ++i) {
        for (graph::NodeIndex j : b.outgoing()[i]) got.emplace(b.hashes()[i], b.hashes()[j]);
        for (graph::NodeIndex j : b.incoming()[i]) backwards.emplace(b.hashes()[j], b.hashes()[i]);
    }
    if (got != backwards) return broken(std::string(name) + " builder's two directions disagree");
    if (got != want) return broken(std::string(name) + " builder does not hold exactly its sets' pairs");
    return {};
}

}  // namespace

Status check_incremental_invariants(const EngineState& state) {
    const IncrementalState& inc = state.incremental;
    if (Status s = check_slots(inc); !s) return s;
    if (inc.valid) {
        if (Status s = check_recorded_edges(state); !s) return s;
    }
    if (inc.exact_builders) {
        if (!builders_can_be_exact(state.record)) return broken("exact builders over hashes that are not the ids' own");
        if (Status s = check_builder(state.dependency_builder, state.record, true, "dependency"); !s) return s;
        if (Status s = check_builder(state.call_builder, state.record, false, "call"); !s) return s;
    }
    return {};
}

}  // namespace corvane
