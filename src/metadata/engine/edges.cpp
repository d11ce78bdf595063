#include "metadata/engine/edges.hpp"

#include <optional>

#include "util/prefetch.hpp"

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
// id has no node hash (nothing to feed).
Result<bool> feed_builders_from(EngineState& state, std::optional<NodeHandle> from, const std::string& to_id,
                                EdgeKind kind) {
    const IdentityTable& ids = state.record.identities;
    if (!from) return false;
    auto to = ids.find(to_id);
    if (!to) return false;
    const Hash32* from_hash = ids.hash(*from);
    const Hash32* to_hash = ids.hash(*to);
    if (!from_hash || !to_hash) return invalid_value("Invalid hash");
    state.dependency_builder.add_edge(*from_hash, *to_hash, *from, *to);
    if (kind != EdgeKind::Structural) state.call_builder.add_edge(*from_hash, *to_hash, *from, *to);
    return true;
}

Result<bool> feed_builders(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    return feed_builders_from(state, state.record.identities.find(from_id), to_id, kind);
}

const Hash32* stored_hash(const MetadataEngine& record, const std::string& id) {
    auto h = record.identities.find(id);
    return h ? record.identities.hash(*h) : nullptr;
}

// add_edge with the from id's handle already looked up.
Result<bool> add_edge_from(EngineState& state, std::optional<NodeHandle> from, const std::string& from_id,
                           const std::string& to_id, EdgeKind kind) {
    auto fed = feed_builders_from(state, from, to_id, kind);
    if (fed && *fed) edge_set(state.record, kind).emplace(from_id, to_id);
    return fed;
}

}  // namespace

Result<bool> add_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    return add_edge_from(state, state.record.identities.find(from_id), from_id, to_id, kind);
}

Result<std::uint32_t> connect_resolved_calls(EngineState& state, const std::string& caller_id,
                                             const std::vector<std::string>& targets) {
    // add_edge per target, with the caller's handle looked up once.
    const auto from = state.record.identities.find(caller_id);
    std::uint32_t count = 0;
    for (const auto& target : targets) {
        if (target == caller_id) continue;
        if (auto fed = add_edge_from(state, from, caller_id, target, EdgeKind::ResolvedCall); !fed) return fed.error();
        ++count;
    }
    return count;
}

namespace {

constexpr EdgeKind kRefillOrder[] = {EdgeKind::Structural, EdgeKind::Execution, EdgeKind::GeneratedExecution,
                                     EdgeKind::ResolvedCall};

// Feeding a stored pair through add_edge would insert it into the set it came from, where it
// already is; so the pairs are fed to the builders straight from the sets, with no copies and
// no set insertions, in the same order and with the same result as feed_builders would give.
// Pair by pair, that costs two identity lookups and two builder lookups per builder, each a
// cache miss at this size. So the refill looks up the ids of a block of pairs with their
// memory fetched ahead, remembers per handle the index each builder gave the handle's hash
// (a handle's hash does not change during the refill, and the builders start empty), and
// feeds the builders by index.
class Refill {
public:
    explicit Refill(EngineState& state)
        : state_(state),
          ids_(state.record.identities),
          dependency_(ids_.handle_bound(), kUnknown),
          call_(ids_.handle_bound(), kUnknown) {}

    Status feed_set(const PairSet& set, bool to_call_graph) {
        std::vector<const StringPair*> block;
        block.reserve(kBlock);
        for (const StringPair& p : set) {
            block.push_back(&p);
            if (block.size() == kBlock) {
                if (Status s = feed_block(block, to_call_graph); !s) return s;
                block.clear();
            }
        }
        return feed_block(block, to_call_graph);
    }

    bool every_end_hashed() const { return every_end_hashed_; }

private:
    static constexpr graph::NodeIndex kUnknown = 0xFFFFFFFFu;
    static constexpr std::size_t kBlock = 4096;
    static constexpr std::size_t kTextAhead = 16, kFindAhead = 8, kNodeAhead = 8, kListAhead = 4;

    struct Handles {
        std::optional<NodeHandle> from, to;
    };

    Status feed_block(const std::vector<const StringPair*>& block, bool to_call_graph) {
        const std::size_t n = block.size();
        handles_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kTextAhead < n) {
                prefetch_text(block[i + kTextAhead]->first);
                prefetch_text(block[i + kTextAhead]->second);
            }
            if (i + kFindAhead < n) {
                ids_.prefetch_find(block[i + kFindAhead]->first);
                ids_.prefetch_find(block[i + kFindAhead]->second);
            }
            handles_[i].from = ids_.find(block[i]->first);
            handles_[i].to = handles_[i].from ? ids_.find(block[i]->second) : std::nullopt;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kNodeAhead < n) prefetch_known(handles_[i + kNodeAhead], to_call_graph, &Refill::prefetch_nodes);
            if (i + kListAhead < n) prefetch_known(handles_[i + kListAhead], to_call_graph, &Refill::prefetch_lists);
            const Handles& h = handles_[i];
            // An id without a node hash: nothing to feed, like feed_builders.
            if (!h.from || !h.to) {
                every_end_hashed_ = false;
                continue;
            }
            if (Status s = feed(*h.from, *h.to, to_call_graph); !s) return s;
        }
        return {};
    }

    // Both hashes are checked before either builder changes, as feed_builders does. A handle
    // the dependency builder knows (it gets every pair the call builder gets) has a hash.
    Status feed(NodeHandle from, NodeHandle to, bool to_call_graph) {
        if (dependency_[from] == kUnknown && !ids_.hash(from)) return invalid_value("Invalid hash");
        if (dependency_[to] == kUnknown && !ids_.hash(to)) return invalid_value("Invalid hash");
        add(state_.dependency_builder, dependency_, from, to);
        if (to_call_graph) add(state_.call_builder, call_, from, to);
        return {};
    }

    void add(graph::GraphBuilder& builder, std::vector<graph::NodeIndex>& index, NodeHandle from, NodeHandle to) {
        const graph::NodeIndex a = index_of(builder, index, from);
        builder.add_edge_between(a, index_of(builder, index, to), from, to);
    }

    graph::NodeIndex index_of(graph::GraphBuilder& builder, std::vector<graph::NodeIndex>& index, NodeHandle h) {
        if (index[h] == kUnknown) index[h] = builder.insert(*ids_.hash(h));
        return index[h];
    }

    // The builders' memory for a pair still ahead, when both its nodes have an index by now.
    template <class Fetch>
    void prefetch_known(const Handles& h, bool to_call_graph, Fetch fetch) const {
        if (!h.from || !h.to) return;
        prefetch(&dependency_[*h.from]);
        prefetch(&dependency_[*h.to]);
        (this->*fetch)(state_.dependency_builder, dependency_, *h.from, *h.to);
        if (to_call_graph) (this->*fetch)(state_.call_builder, call_, *h.from, *h.to);
    }
    void prefetch_nodes(const graph::GraphBuilder& b, const std::vector<graph::NodeIndex>& index, NodeHandle from,
                        NodeHandle to) const {
        if (index[from] != kUnknown && index[to] != kUnknown) b.prefetch_nodes(index[from], index[to]);
    }
    void prefetch_lists(const graph::GraphBuilder& b, const std::vector<graph::NodeIndex>& index, NodeHandle from,
                        NodeHandle to) const {
        if (index[from] != kUnknown && index[to] != kUnknown) b.prefetch_lists(index[from], index[to]);
    }

    EngineState& state_;
    const IdentityTable& ids_;
    std::vector<graph::NodeIndex> dependency_;  // per handle, its node in each builder
    std::vector<graph::NodeIndex> call_;
    std::vector<Handles> handles_;
    bool every_end_hashed_ = true;
};

}  // namespace

Status refill_builders_pair_by_pair(EngineState& state) {
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    for (EdgeKind kind : kRefillOrder) {
        for (const auto& [from, to] : edge_set(state.record, kind)) {
            if (auto fed = feed_builders(state, from, to, kind); !fed) return fed.error();
        }
    }
    return {};
}

Status refill_builders(EngineState& state, bool* every_end_hashed) {
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    Refill refill(state);
    for (EdgeKind kind : kRefillOrder) {
        if (Status s = refill.feed_set(edge_set(state.record, kind), kind != EdgeKind::Structural); !s) return s;
    }
    if (every_end_hashed != nullptr) *every_end_hashed = refill.every_end_hashed();
    return {};
}

void drop_resolved_call(EngineState& state, const std::string& from_id, const std::string& to_id) {
    MetadataEngine& rec = state.record;
    const StringPair pair(from_id, to_id);
    if (rec.resolved_call_edges.erase(pair) == 0 || !state.incremental.exact_builders) return;
    const Hash32* fh = stored_hash(rec, from_id);
    const Hash32* th = stored_hash(rec, to_id);
    if (!fh || !th) return;
    if (rec.execution_edges.contains(pair) || rec.generated_execution_edges.contains(pair)) return;
    state.call_builder.remove_edge(*fh, *th);
    if (!rec.structural_edges.contains(pair)) state.dependency_builder.remove_edge(*fh, *th);
}

void adjacent_pairs(const EngineState& state, const std::string& id, const Hash32& hash, std::vector<StringPair>& out) {
    const IdentityTable& ids = state.record.identities;
    state.dependency_builder.for_each_neighbour(hash, [&](const Hash32& other, bool outgoing) {
        const std::string* other_id = ids.id_of_hash(other);
        if (other_id == nullptr) return;
        if (outgoing) {
            out.emplace_back(id, *other_id);
        } else {
            out.emplace_back(*other_id, id);
        }
    });
}

}  // namespace corvane::detail
