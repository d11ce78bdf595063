#pragma once
// The graph core: a mutable adjacency store keyed by 32-byte node hashes (GraphBuilder) and
// the read-only compressed sparse row graph compiled from it (CsrGraph). Both know nothing
// of node ids, metadata or edge kinds.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "graph/csr/hash_index.hpp"
#include "util/hash.hpp"

namespace corvane::graph {

using NodeIndex = std::uint32_t;
// A 32-bit value a feeder may attach to each node with every edge it adds (the metadata
// engine gives its node handle), kept from the latest edge that named the node. The graph
// itself never reads it.
using NodeTag = std::uint32_t;
constexpr NodeTag kNoTag = 0xFFFFFFFFu;

struct CsrArrays {
    std::vector<std::uint64_t> offsets;  // N + 1 entries, offsets[0] == 0
    std::vector<NodeIndex> targets;

    std::span<const NodeIndex> neighbours(NodeIndex i) const {
        return {targets.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
    }
};

// A value a builder shares with the graphs compiled from it until the builder changes it:
// a compile copies nothing, and the first change after it copies once. Only the builder
// ever changes it, so a graph's view never moves.
template <class T>
class SharedUntilChanged {
public:
    SharedUntilChanged() : p_(std::make_shared<T>()) {}
    const T& get() const { return *p_; }
    T& edit() {
        if (p_.use_count() > 1) p_ = std::make_shared<T>(*p_);
        return *p_;
    }
    std::shared_ptr<const T> share() const { return p_; }

private:
    std::shared_ptr<T> p_;
};

class CsrGraph {
public:
    CsrArrays reverse;  // neighbours of i are its predecessors
    CsrArrays forward;  // neighbours of i are its successors
    std::vector<NodeTag> tags;
    // Unique per compile in the process, so that tables derived from a graph can tell
    // whether they belong to this one.
    std::uint64_t serial = 0;

    // Per index, the node's hash; and hash -> index. Shared with the builder the graph was
    // compiled from, as long as that builder adds no node.
    const std::vector<Hash32>& hashes() const { return hashes_ ? *hashes_ : kNoHashes; }
    const HashIndexMap& index() const { return index_ ? *index_ : kNoIndex; }

    std::size_t node_count() const { return hashes().size(); }
    std::optional<NodeIndex> find(const Hash32& hash) const;

    // Absent when the hash is not in the graph.
    std::optional<std::vector<Hash32>> successors(const Hash32& hash) const;
    std::optional<std::vector<Hash32>> predecessors(const Hash32& hash) const;

    // Breadth-first walk from start over `arrays` (forward or reverse of this graph), start
    // excluded, in discovery order. max_depth 0 means no bound; k >= 1 keeps distances 1..k.
    std::vector<Hash32> reachable(const Hash32& start, const CsrArrays& arrays, std::uint32_t max_depth) const;
    std::vector<NodeIndex> reachable_indexes(NodeIndex start, const CsrArrays& arrays, std::uint32_t max_depth) const;

private:
    friend class GraphBuilder;
    static inline const std::vector<Hash32> kNoHashes{};
    static inline const HashIndexMap kNoIndex{};
    std::shared_ptr<const std::vector<Hash32>> hashes_;
    std::shared_ptr<const HashIndexMap> index_;
};

class GraphBuilder {
public:
    std::size_t node_count() const { return hashes_.get().size(); }
    const std::vector<Hash32>& hashes() const { return hashes_.get(); }
    const std::vector<std::vector<NodeIndex>>& incoming() const { return incoming_; }
    const std::vector<std::vector<NodeIndex>>& outgoing() const { return outgoing_; }
    const HashIndexMap& index() const { return index_.get(); }
    const std::vector<NodeTag>& tags() const { return tags_; }

    // Inserts unknown hashes as new nodes (from first), then the edge unless present; the two
    // nodes' tags become the ones given.
    void add_edge(const Hash32& from, const Hash32& to, NodeTag from_tag = kNoTag, NodeTag to_tag = kNoTag);
    // The two halves of add_edge, for a feeder that remembers the index each hash got: the
    // node of the hash, inserted if unknown; then the edge between two such nodes (tags as
    // in add_edge). add_edge(f, t) is add_edge_between(insert(f), insert(t)).
    NodeIndex insert(const Hash32& hash) { return get_or_insert(hash); }
    void add_edge_between(NodeIndex from, NodeIndex to, NodeTag from_tag = kNoTag, NodeTag to_tag = kNoTag);
    // Start fetching what add_edge_between(from, to) touches: the nodes' entries, then
    // (once those are in) the lists they point to.
    void prefetch_nodes(NodeIndex from, NodeIndex to) const {
        __builtin_prefetch(&outgoing_[from]);
        __builtin_prefetch(&incoming_[to]);
        __builtin_prefetch(&tags_[from]);
        __builtin_prefetch(&tags_[to]);
    }
    void prefetch_lists(NodeIndex from, NodeIndex to) const {
        __builtin_prefetch(outgoing_[from].data());
        __builtin_prefetch(incoming_[to].data() + incoming_[to].size());
    }
    // Removes the edge, keeping both nodes; an unknown hash or a missing edge has no effect.
    void remove_edge(const Hash32& from, const Hash32& to);
    // Removes every edge into or out of the node; an unknown hash has no effect.
    void remove_node_edges(const Hash32& hash);
    // Calls f(neighbour hash, outgoing) once per edge out of the node (outgoing true) and once
    // per edge into it; nothing for an unknown hash. f must not change the builder.
    template <class F>
    void for_each_neighbour(const Hash32& hash, F&& f) const {
        const NodeIndex* i = index().find(hash);
        if (i == nullptr) return;
        for (NodeIndex j : outgoing_[*i]) f(hashes()[j], true);
        for (NodeIndex j : incoming_[*i]) f(hashes()[j], false);
    }
    // A new graph: copies of the lists, the hashes and index shared (see SharedUntilChanged);
    // the builder is left unchanged.
    CsrGraph compile() const;

private:
    NodeIndex get_or_insert(const Hash32& hash);

    SharedUntilChanged<std::vector<Hash32>> hashes_;
    std::vector<std::vector<NodeIndex>> incoming_;
    std::vector<std::vector<NodeIndex>> outgoing_;
    SharedUntilChanged<HashIndexMap> index_;
    std::vector<NodeTag> tags_;
};

}  // namespace corvane::graph
