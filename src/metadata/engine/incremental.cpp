#include "metadata/engine/incremental.hpp"

#include <algorithm>
#include <unordered_set>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "util/hex.hpp"
#include "util/json.hpp"
#include "util/lowercase.hpp"
#include "util/node_hash.hpp"

namespace corvane {

namespace {

std::uint64_t key_hash(std::string_view text) { return seeded_hash_bytes(text.data(), text.size()); }

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
};

// Logs every read into `log`; parsed side data comes from the engine's store.
class RecordingLookup final : public CachedLookup {
public:
    RecordingLookup(const MetadataEngine& record, ParsedSideData& store, Reads& log)
        : CachedLookup(record, store), log_(log) {}

    const NodeMeta* node(std::string_view id) override {
        log_.ids.push_back(key_hash(id));
        return LookupSource::node(id);
    }
    const IdList* ids_named(std::string_view lowered_name) override {
        log_.names.push_back(key_hash(lowered_name));
        return LookupSource::ids_named(lowered_name);
    }
    const std::string* node_hash(std::string_view id) override {
        log_.ids.push_back(key_hash(id));
        return LookupSource::node_hash(id);
    }
    bool name_index_empty() override {
        log_.index_emptiness = true;
        return LookupSource::name_index_empty();
    }

private:
    Reads& log_;
};

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
    for (std::uint64_t h : reads.ids) inc.readers_of_id[h].push_back(s);
    for (std::uint64_t h : reads.names) inc.readers_of_name[h].push_back(s);
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
        for (auto it = index->begin(); it != index->end();) {
            std::erase_if(it->second, dead);
            it = it->second.empty() ? index->erase(it) : std::next(it);
        }
    }
    std::erase_if(inc.readers_of_index_emptiness, dead);
    inc.free_slots.clear();
    for (std::uint32_t s = 0; s < inc.slots.size(); ++s) {
        if (dead(s)) inc.free_slots.push_back(s);
    }
    inc.dead_reads = 0;
}

// ---- builders ------------------------------------------------------------------------------

std::optional<Hash32> stored_hash(const MetadataEngine& record, const std::string& id) {
    auto h = record.id_to_hash.find(id);
    if (h == record.id_to_hash.end()) return std::nullopt;
    return decode_hex32(h->second);
}

void drop_builder_edge(graph::GraphBuilder& b, const Hash32& from, const Hash32& to) {
    const auto* f = b.index.find(from);
    const auto* t = b.index.find(to);
    if (f == nullptr || t == nullptr) return;
    auto& out = b.outgoing[*f];
    out.erase(std::remove(out.begin(), out.end(), *t), out.end());
    auto& in = b.incoming[*t];
    in.erase(std::remove(in.begin(), in.end(), *f), in.end());
}

// Takes a resolved-call pair out of its set, and out of each builder unless another set
// that feeds that builder holds the same pair.
void drop_call_pair(EngineState& state, const std::string& from, const std::string& to) {
    MetadataEngine& rec = state.record;
    StringPair pair(from, to);
    if (rec.resolved_call_edges.erase(pair) == 0 || !state.incremental.exact_builders) return;
    auto fh = stored_hash(rec, from);
    auto th = stored_hash(rec, to);
    if (!fh || !th) return;
    if (rec.execution_edges.contains(pair) || rec.generated_execution_edges.contains(pair)) return;
    drop_builder_edge(state.call_builder, *fh, *th);
    if (!rec.structural_edges.contains(pair)) drop_builder_edge(state.dependency_builder, *fh, *th);
}

// The builders mirror the sets pair for pair (so single edges can be taken out of them, and
// invalidate_file can find a node's pairs from its adjacency) only when every id's hash is
// its own and maps back to it (no two ids share one), and no stored pair has an end without
// a hash (which a full refill would feed once the end gained one). These can fail only for
// a restored snapshot, and every later operation keeps them.
bool builders_can_be_exact(const MetadataEngine& rec) {
    if (rec.id_to_hash.size() != rec.hash_to_id.size()) return false;
    for (const auto& [id, hash] : rec.id_to_hash) {
        if (hash != node_hash_hex(id)) return false;
        auto back = rec.hash_to_id.find(hash);
        if (back == rec.hash_to_id.end() || back->second != id) return false;
    }
    for (const PairSet* set : {&rec.resolved_call_edges, &rec.execution_edges, &rec.generated_execution_edges,
                               &rec.structural_edges}) {
        for (const auto& [from, to] : *set) {
            if (!rec.id_to_hash.contains(from) || !rec.id_to_hash.contains(to)) return false;
        }
    }
    return true;
}

// ---- resolving one node ----------------------------------------------------------------

// Resolves one node against the current record, replaces the resolved-call pairs it owned
// (old_calls) by the new ones, adds its Django relation pairs and records it.
Status resolve_node(EngineState& state, Reads& reads, RecordingLookup& src, const std::string& id,
                    const std::vector<std::string>& old_calls) {
    IncrementalState& inc = state.incremental;
    reads.clear();
    const NodeMeta* node = src.node(id);
    std::vector<std::string> calls;
    std::vector<std::string> relations;
    const bool resolved = node != nullptr && (node->calls || node->django_relations_json);
    if (node != nullptr && node->calls) {
        for (auto& [target, hash] : resolve_calls(src, id, *node->calls)) {
            if (target != id) calls.push_back(std::move(target));
        }
        sort_unique(calls);
        // Without its own hash the caller can store no pair.
        if (src.node_hash(id) == nullptr) calls.clear();
    }
    if (node != nullptr && node->django_relations_json) {
        relations = relation_targets(src, id, *node->django_relations_json);
        sort_unique(relations);
    }

    for (const auto& t : old_calls) {
        if (!std::binary_search(calls.begin(), calls.end(), t)) drop_call_pair(state, id, t);
    }
    if (resolved) {
        const std::uint32_t s = open_slot(inc, id);
        index_reads(inc, s, reads);
        inc.call_edges += calls.size();
        inc.slots[s].call_targets = calls;
        inc.slots[s].relation_targets = relations;
    }
    for (const auto& t : calls) {
        if (Status st = add_typed_edge(state, id, t, EdgeKind::ResolvedCall); !st) return st;
    }
    for (const auto& t : relations) {
        if (Status st = add_typed_edge(state, id, t, EdgeKind::Structural); !st) return st;
    }
    return {};
}

void finish_refresh(EngineState& state) {
    IncrementalState& inc = state.incremental;
    inc.journal.clear();
    inc.valid = true;
    note_table_sizes(state);
    if (inc.dead_reads > inc.live_reads + 4096) compact(inc);
}

// ---- the journal -------------------------------------------------------------------------

void note_node(EngineState& state, const std::string& id) {
    auto& journal = state.incremental.journal.nodes;
    if (journal.contains(id)) return;
    NodeBefore before;
    if (auto n = state.record.nodes.find(id); n != state.record.nodes.end()) before.node = n->second;
    if (auto h = state.record.id_to_hash.find(id); h != state.record.id_to_hash.end()) before.hash = h->second;
    journal.emplace(id, std::move(before));
}

void note_name(EngineState& state, std::string key) {
    auto& journal = state.incremental.journal.names;
    if (journal.contains(key)) return;
    std::optional<IdList> before;
    if (auto it = state.record.name_index.find(key); it != state.record.name_index.end()) before = it->second;
    journal.emplace(std::move(key), std::move(before));
}

void note_emptiness(EngineState& state) {
    auto& was = state.incremental.journal.name_index_was_empty;
    if (!was) was = state.record.name_index.empty();
}

// What other nodes' resolutions can see of a node: its existence, type, name, file, JSON
// side data and hash.
bool same_for_readers(const NodeBefore& before, const NodeMeta* now, const std::string* now_hash) {
    if (before.node.has_value() != (now != nullptr)) return false;
    if (before.hash.has_value() != (now_hash != nullptr)) return false;
    if (now_hash != nullptr && *before.hash != *now_hash) return false;
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
bool same_members(const std::optional<IdList>& before, const IdList* now) {
    std::vector<std::string_view> a, b;
    if (before) a.assign(before->begin(), before->end());
    if (now != nullptr) b.assign(now->begin(), now->end());
    sort_unique(a);
    sort_unique(b);
    return a == b;
}

bool journal_empty(const ChangeJournal& j) {
    return j.nodes.empty() && j.names.empty() && j.removed.empty() && j.direct_calls.empty() &&
           !j.name_index_was_empty;
}

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
    if (rec.nodes.size() != inc.expected_nodes || rec.id_to_hash.size() != inc.expected_hashes ||
        rec.name_index.size() != inc.expected_names) {
        return refresh_derived_edges_fully(state);
    }
    inc.last_refresh_full = false;
    inc.last_refresh_resolved = 0;
    if (journal_empty(journal) && inc.exact_builders && rec.resolved_call_edges.size() == inc.call_edges) return {};

    // Which keys really changed: a file removed and added again mostly comes back the same.
    std::vector<std::string> own_changed;
    std::vector<std::uint64_t> ids_changed;
    std::unordered_set<std::uint64_t> ids_changed_set;
    for (const auto& [id, before] : journal.nodes) {
        auto n = rec.nodes.find(id);
        const NodeMeta* now = n == rec.nodes.end() ? nullptr : &n->second;
        auto h = rec.id_to_hash.find(id);
        const std::string* now_hash = h == rec.id_to_hash.end() ? nullptr : &h->second;
        const bool readers_same = same_for_readers(before, now, now_hash);
        if (!readers_same) {
            ids_changed.push_back(key_hash(id));
            ids_changed_set.insert(ids_changed.back());
        }
        if (!readers_same || !same_own_inputs(before, now)) own_changed.push_back(id);
    }
    std::vector<std::uint64_t> names_changed;
    for (const auto& [key, before] : journal.names) {
        auto it = rec.name_index.find(key);
        if (!same_members(before, it == rec.name_index.end() ? nullptr : &it->second)) {
            names_changed.push_back(key_hash(key));
        }
    }
    const bool emptiness_changed = journal.name_index_was_empty && *journal.name_index_was_empty != rec.name_index.empty();

    // The nodes to resolve again: changed ones and the readers of changed keys.
    StringSet dirty_set;
    std::vector<std::string> dirty;
    auto mark = [&](const std::string& id) {
        if (dirty_set.insert(id).second) dirty.push_back(id);
    };
    auto mark_readers = [&](const std::vector<std::uint32_t>& readers) {
        for (std::uint32_t s : readers) {
            if (inc.slots[s].live) mark(inc.slots[s].id);
        }
    };
    for (const auto& id : own_changed) mark(id);
    for (std::uint64_t h : ids_changed) {
        if (auto it = inc.readers_of_id.find(h); it != inc.readers_of_id.end()) mark_readers(it->second);
    }
    for (std::uint64_t h : names_changed) {
        if (auto it = inc.readers_of_name.find(h); it != inc.readers_of_name.end()) mark_readers(it->second);
    }
    if (emptiness_changed) mark_readers(inc.readers_of_index_emptiness);
    // Past this share, resolving everything in one sweep is cheaper than the bookkeeping.
    if (dirty.size() > 1024 && dirty.size() * 2 > inc.slot_of.size()) return refresh_derived_edges_fully(state);

    // remove_file took every edge of a removed id; where the id came back unchanged, the
    // clean nodes that read it still own those pairs, so put them back.
    std::unordered_set<std::uint32_t> restored;
    for (const auto& id : journal.removed) {
        const std::uint64_t h = key_hash(id);
        if (ids_changed_set.contains(h)) continue;  // every reader is dirty
        auto it = inc.readers_of_id.find(h);
        if (it == inc.readers_of_id.end()) continue;
        for (std::uint32_t s : it->second) {
            const ResolvedNode& r = inc.slots[s];
            if (!r.live || dirty_set.contains(r.id) || !restored.insert(s).second) continue;
            for (const auto& t : r.call_targets) {
                if (Status st = add_typed_edge(state, r.id, t, EdgeKind::ResolvedCall); !st) return st;
            }
            for (const auto& t : r.relation_targets) {
                if (Status st = add_typed_edge(state, r.id, t, EdgeKind::Structural); !st) return st;
            }
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

    // Pairs that resolve_and_connect_calls added for names the caller's `calls` do not give.
    for (const auto& [from, to] : journal.direct_calls) {
        if (!owns_call(inc, from, to)) drop_call_pair(state, from, to);
    }

    if (!inc.exact_builders) {
        if (Status st = repopulate_builders(state); !st) return st;
    }
    // Every owned pair is in the set; a different size means a pair came from elsewhere.
    if (rec.resolved_call_edges.size() != inc.call_edges) return refresh_derived_edges_fully(state);
    finish_refresh(state);
    return {};
}

}  // namespace

std::vector<std::string> relation_targets(LookupSource& src, const std::string& node_id,
                                          std::string_view relations_json) {
    std::vector<std::string> out;
    auto parsed = parse_json(relations_json);
    if (!parsed || !parsed->is_array()) return out;
    static const TypeList kClassType{"Class"};
    for (const Json& element : *parsed) {
        if (!element.is_object()) continue;
        auto it = element.find("related_model");
        if (it == element.end() || !it->is_string()) continue;
        for (auto& [target, hash] : resolve_generic_calls(src, "", {it->get<std::string>()}, kClassType)) {
            if (target != node_id) out.push_back(std::move(target));
        }
    }
    return out;
}

Status refresh_derived_edges_fully(EngineState& state) {
    MetadataEngine& rec = state.record;
    state.incremental = IncrementalState{};
    std::vector<std::string> ids;
    ids.reserve(rec.nodes.size());
    for (const auto& [id, meta] : rec.nodes) {
        if (meta.calls || meta.django_relations_json) ids.push_back(id);
    }
    rec.resolved_call_edges.clear();
    if (Status s = repopulate_builders(state); !s) return s;
    state.incremental.exact_builders = builders_can_be_exact(rec);

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
    Status s = state.incremental.valid ? incremental_refresh(state) : refresh_derived_edges_fully(state);
    if (!s) state.incremental = IncrementalState{};
    return s;
}

void note_upsert(EngineState& state, const NodeMeta& incoming) {
    if (!state.incremental.valid) return;
    note_emptiness(state);
    note_node(state, incoming.node_id);
    if (auto old = state.record.nodes.find(incoming.node_id); old != state.record.nodes.end()) {
        note_name(state, to_lower(old->second.name));
    }
    note_name(state, to_lower(incoming.name));
}

void note_file_removal(EngineState& state, const std::string& file_path) {
    if (!state.incremental.valid) return;
    auto entry = state.record.file_index.find(file_path);
    if (entry == state.record.file_index.end()) return;
    note_emptiness(state);
    for (const auto& id : entry->second) {
        note_node(state, id);
        if (auto n = state.record.nodes.find(id); n != state.record.nodes.end()) note_name(state, to_lower(n->second.name));
        state.incremental.journal.removed.insert(id);
    }
}

void note_table_sizes(EngineState& state) {
    IncrementalState& inc = state.incremental;
    inc.expected_nodes = state.record.nodes.size();
    inc.expected_hashes = state.record.id_to_hash.size();
    inc.expected_names = state.record.name_index.size();
}

void forget_recorded_reads(EngineState& state) { state.incremental = IncrementalState{}; }

Status clear_generated_edges(EngineState& state) {
    // Generated edges are never derived, so what was recorded stays true; only a refill
    // that fails half-way leaves builders the record cannot vouch for.
    state.record.generated_execution_edges.clear();
    Status s = repopulate_builders(state);
    if (!s) forget_recorded_reads(state);
    return s;
}

Result<std::uint32_t> resolve_and_connect_calls_journaled(EngineState& state, const std::string& caller_id,
                                                          const std::vector<std::string>& call_names) {
    CachedLookup src(state.record, state.parsed);
    auto targets = resolve_calls(src, caller_id, call_names);
    if (state.incremental.valid) {
        for (const auto& [target, hash] : targets) {
            if (target != caller_id) state.incremental.journal.direct_calls.emplace_back(caller_id, target);
        }
    }
    return connect_resolved_calls(state, caller_id, targets);
}

}  // namespace corvane
