#include "metadata/engine/edges.hpp"

#include <algorithm>
#include <optional>

#include "util/prefetch.hpp"
#include "util/two_threads.hpp"

namespace corvane::detail {

PairSet& edge_set(MetadataEngine& record, EdgeKind kind) {
    switch (kind) {
        case EdgeKind::ResolvedCall: return record.resolved_call_edges;
        case EdgeKind::Execution: return record.execution_edges;
        case EdgeKind::GeneratedExecution: return record.generated_execution_edges;
        case EdgeKind::Structural: break;
    }
    return record.structural_edges;
}

namespace {

// The builder half of add_edge, with the from id's handle already looked up: false when an
// id has no node hash (nothing to feed), else both handles.
using Fed = std::optional<std::pair<NodeHandle, NodeHandle>>;

Result<Fed> feed_builders_from(EngineState& state, std::optional<NodeHandle> from, const std::string& to_id,
                               EdgeKind kind) {
    const IdentityTable& ids = state.record.identities;
    if (!from) return Fed{};
    auto to = ids.find(to_id);
    if (!to) return Fed{};
    const Hash32* from_hash = ids.hash(*from);
    const Hash32* to_hash = ids.hash(*to);
    if (!from_hash || !to_hash) return invalid_value("Invalid hash");
    state.dependency_builder.add_edge(*from_hash, *to_hash, *from, *to);
    if (kind != EdgeKind::Structural) state.call_builder.add_edge(*from_hash, *to_hash, *from, *to);
    return Fed(std::pair(*from, *to));
}

Status feed_builders(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    auto fed = feed_builders_from(state, state.record.identities.find(from_id), to_id, kind);
    if (!fed) return fed.error();
    return {};
}

// add_edge with the from id's handle already looked up.
Result<bool> add_edge_from(EngineState& state, std::optional<NodeHandle> from, const std::string& to_id,
                           EdgeKind kind) {
    auto fed = feed_builders_from(state, from, to_id, kind);
    if (!fed) return fed.error();
    if (!*fed) return false;
    edge_set(state.record, kind).insert((*fed)->first, (*fed)->second);
    return true;
}

}  // namespace

Result<bool> add_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    return add_edge_from(state, state.record.identities.find(from_id), to_id, kind);
}

Result<std::uint32_t> connect_resolved_calls(EngineState& state, const std::string& caller_id,
                                             const std::vector<std::string>& targets) {
    // add_edge per target, with the caller's handle looked up once.
    const auto from = state.record.identities.find(caller_id);
    std::uint32_t count = 0;
    for (const auto& target : targets) {
        if (target == caller_id) continue;
        if (auto fed = add_edge_from(state, from, target, EdgeKind::ResolvedCall); !fed) return fed.error();
        ++count;
    }
    return count;
}

namespace {

constexpr EdgeKind kRefillOrder[] = {EdgeKind::Structural, EdgeKind::Execution, EdgeKind::GeneratedExecution,
                                     EdgeKind::ResolvedCall};

// Feeding a stored pair through add_edge would insert it into the set it came from, where it
// already is; so the pairs are fed to a builder straight from the sets, with no copies and no
// set insertions, in the same order and with the same result as feed_builders would give.
// The sets hold handles, so no id is looked up: the refill remembers per handle the index the
// builder gave the handle's hash (a handle's hash does not change during the refill, and the
// builder starts empty), and feeds the builder by index, fetching the memory of the pairs a
// few places ahead. One Refill fills one builder; it only reads the identity table, so the
// two builders can be filled at once.
class Refill {
public:
    Refill(const IdentityTable& ids, graph::GraphBuilder& builder)
        : ids_(ids), builder_(builder), index_(ids.handle_bound(), kUnknown) {}

    Status feed_set(const PairSet& set) {
        block_.clear();
        block_.reserve(std::min(set.size(), kBlock));
        for (PairSet::Key k : set.keys()) {
            block_.push_back(k);
            if (block_.size() == kBlock) {
                if (Status s = feed_block(); !s) return s;
                block_.clear();
            }
        }
        return feed_block();
    }

    bool every_end_hashed() const { return every_end_hashed_; }

private:
    static constexpr graph::NodeIndex kUnknown = 0xFFFFFFFFu;
    static constexpr std::size_t kBlock = 4096;
    static constexpr std::size_t kIndexAhead = 16, kNodeAhead = 8, kListAhead = 4;

    Status feed_block() {
        const std::size_t n = block_.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kIndexAhead < n) {
                const PairSet::Key k = block_[i + kIndexAhead];
                prefetch(&index_[PairSet::from_of(k)]);
                prefetch(&index_[PairSet::to_of(k)]);
            }
            if (i + kNodeAhead < n) {
                const auto [a, b] = known_indexes(block_[i + kNodeAhead]);
                if (a != kUnknown && b != kUnknown) builder_.prefetch_nodes(a, b);
            }
            if (i + kListAhead < n) {
                const auto [a, b] = known_indexes(block_[i + kListAhead]);
                if (a != kUnknown && b != kUnknown) builder_.prefetch_lists(a, b);
            }
            const NodeHandle from = PairSet::from_of(block_[i]), to = PairSet::to_of(block_[i]);
            // An id without a node hash: nothing to feed, like feed_builders.
            if (!known(from) || !known(to)) {
                every_end_hashed_ = false;
                continue;
            }
            // Both hashes are checked before the builder changes, as feed_builders does.
            if (index_[from] == kUnknown && !ids_.hash(from)) return invalid_value("Invalid hash");
            if (index_[to] == kUnknown && !ids_.hash(to)) return invalid_value("Invalid hash");
            const graph::NodeIndex a = index_of(from);
            builder_.add_edge_between(a, index_of(to), from, to);
        }
        return {};
    }

    // Whether the handle has a stored hash; a handle the builder knows has one.
    bool known(NodeHandle h) const { return index_[h] != kUnknown || ids_.has_stored(h); }

    std::pair<graph::NodeIndex, graph::NodeIndex> known_indexes(PairSet::Key k) const {
        return {index_[PairSet::from_of(k)], index_[PairSet::to_of(k)]};
    }

    graph::NodeIndex index_of(NodeHandle h) {
        if (index_[h] == kUnknown) index_[h] = builder_.insert(*ids_.hash(h));
        return index_[h];
    }

    const IdentityTable& ids_;
    graph::GraphBuilder& builder_;
    std::vector<graph::NodeIndex> index_;  // per handle, its node in the builder
    std::vector<PairSet::Key> block_;
    bool every_end_hashed_ = true;
};

// Below this many pairs a second thread costs more than it saves.
constexpr std::size_t kParallelRefillPairs = std::size_t{1} << 16;

}  // namespace

Status refill_builders_pair_by_pair(EngineState& state) {
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    for (EdgeKind kind : kRefillOrder) {
        for (const auto& [from, to] : edge_set(state.record, kind)) {
            if (Status s = feed_builders(state, from, to, kind); !s) return s;
        }
    }
    return {};
}

Status refill_builders(EngineState& state, bool* every_end_hashed) {
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    // The dependency builder takes every pair, the call builder those of the call kinds, each
    // in kRefillOrder: the order feed_builders gives each builder. Filled apart (on two threads
    // when large), a failure may leave a builder fuller than pair-by-pair feeding would; then
    // that feeding is done again from the start, for its exact state and error.
    const IdentityTable& ids = state.record.identities;
    Refill dependency(ids, state.dependency_builder), call(ids, state.call_builder);
    auto fill = [&state](Refill& refill, bool call_kinds_only) -> Status {
        for (EdgeKind kind : kRefillOrder) {
            if (call_kinds_only && kind == EdgeKind::Structural) continue;
            if (Status s = refill.feed_set(edge_set(state.record, kind)); !s) return s;
        }
        return {};
    };
    std::size_t pairs = 0;
    for (EdgeKind kind : kRefillOrder) pairs += edge_set(state.record, kind).size();
    Status dependency_fed, call_fed;
    run_both(pairs >= kParallelRefillPairs, [&] { dependency_fed = fill(dependency, false); },
             [&] { call_fed = fill(call, true); });
    if (!dependency_fed || !call_fed) {
        if (every_end_hashed != nullptr) *every_end_hashed = false;
        return refill_builders_pair_by_pair(state);
    }
    if (every_end_hashed != nullptr) *every_end_hashed = dependency.every_end_hashed();
    return {};
}

void drop_resolved_call(EngineState& state, const std::string& from_id, const std::string& to_id) {
    MetadataEngine& rec = state.record;
    const IdentityTable& ids = rec.identities;
    auto from = ids.find_held(from_id), to = ids.find_held(to_id);
    if (!from || !to) return;
    if (!rec.resolved_call_edges.erase(*from, *to) || !state.incremental.exact_builders) return;
    // The erase may have freed a handle that had no hash; then it fed no builder.
    auto fh_handle = ids.find(from_id), th_handle = ids.find(to_id);
    const Hash32* fh = fh_handle ? ids.hash(*fh_handle) : nullptr;
    const Hash32* th = th_handle ? ids.hash(*th_handle) : nullptr;
    if (!fh || !th) return;
    if (rec.execution_edges.contains(*from, *to) || rec.generated_execution_edges.contains(*from, *to)) return;
    state.call_builder.remove_edge(*fh, *th);
    if (!rec.structural_edges.contains(*from, *to)) state.dependency_builder.remove_edge(*fh, *th);
}

void adjacent_pairs(const EngineState& state, NodeHandle node, const Hash32& hash, std::vector<HandlePair>& out) {
    const IdentityTable& ids = state.record.identities;
    state.dependency_builder.for_each_neighbour(hash, [&](const Hash32& other, bool outgoing) {
        auto other_handle = ids.handle_of_hash(other);
        if (!other_handle) return;
        if (outgoing) {
            out.emplace_back(node, *other_handle);
        } else {
            out.emplace_back(*other_handle, node);
        }
    });
}

}  // namespace corvane::detail
