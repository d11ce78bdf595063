#include "metadata/engine/edges.hpp"

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

}  // namespace

Result<bool> add_edge(EngineState& state, const std::string& from_id, const std::string& to_id, EdgeKind kind) {
    auto fed = feed_builders(state, from_id, to_id, kind);
    if (fed && *fed) edge_set(state.record, kind).emplace(from_id, to_id);
    return fed;
}

Result<std::uint32_t> connect_resolved_calls(EngineState& state, const std::string& caller_id,
                                             const std::vector<std::string>& targets) {
    // add_edge per target, with the caller's handle looked up once.
    const auto from = state.record.identities.find(caller_id);
    std::uint32_t count = 0;
    for (const auto& target : targets) {
        if (target == caller_id) continue;
        auto fed = feed_builders_from(state, from, target, EdgeKind::ResolvedCall);
        if (!fed) return fed.error();
        if (*fed) state.record.resolved_call_edges.emplace(caller_id, target);
        ++count;
    }
    return count;
}

// Feeding a stored pair through add_edge would insert it into the set it came from, where it
// already is; so the pairs are fed to the builders straight from the sets, with no copies and
// no set insertions, in the same order and with the same result.
Status refill_builders(EngineState& state) {
    constexpr EdgeKind order[] = {EdgeKind::Structural, EdgeKind::Execution, EdgeKind::GeneratedExecution,
                                  EdgeKind::ResolvedCall};
    state.dependency_builder = graph::GraphBuilder();
    state.call_builder = graph::GraphBuilder();
    for (EdgeKind kind : order) {
        for (const auto& [from, to] : edge_set(state.record, kind)) {
            if (auto fed = feed_builders(state, from, to, kind); !fed) return fed.error();
        }
    }
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
