#include "graph/csr/csr_graph.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>

#include "graph/csr/index_scan.hpp"
#include "util/prefetch.hpp"

namespace corvane::graph {

namespace {

void erase_value(std::vector<NodeIndex>& list, NodeIndex value) {
    list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

// One direction of the compiled graph: exactly one allocation per array, lists kept in
// arrival order.
CsrArrays compile_lists(const std::vector<std::vector<NodeIndex>>& lists) {
    CsrArrays out;
    out.offsets.resize(lists.size() + 1);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < lists.size(); ++i) {
        out.offsets[i] = total;
        total += lists[i].size();
    }
    out.offsets[lists.size()] = total;
    out.targets.reserve(total);
    // Each list is a heap block of its own: fetched ahead, their misses overlap.
    walk_ahead(lists, kNoPrefetch, [](const auto& list) { prefetch(list.data()); },
               [&](const auto& list) { out.targets.insert(out.targets.end(), list.begin(), list.end()); });
    return out;
}

std::vector<Hash32> to_hashes(const std::vector<Hash32>& hashes, std::span<const NodeIndex> indexes) {
    std::vector<Hash32> out;
    out.reserve(indexes.size());
    for (NodeIndex i : indexes) out.push_back(hashes[i]);
    return out;
}

// Visited flags that are cleared once per 255 walks instead of once per walk: a node is
// visited in the current walk when its stamp is the walk's number, so a short walk touches
// only the nodes it reaches. One byte per node, like plain flags, so that long walks keep
// their cache footprint. Kept per thread, grown to the largest graph walked.
class VisitMarks {
public:
    void start_walk(std::size_t n) {
        if (stamps_.size() < n) stamps_.resize(n, 0);
        if (++current_ == 0) {  // the numbers wrapped: old stamps could pass for new ones
            std::fill(stamps_.begin(), stamps_.end(), 0);
            current_ = 1;
        }
    }
    // True when i was not visited yet in this walk (and is now).
    bool mark(NodeIndex i) {
        if (stamps_[i] == current_) return false;
        stamps_[i] = current_;
        return true;
    }

private:
    std::vector<std::uint8_t> stamps_;
    std::uint8_t current_ = 0;
};

}  // namespace

NodeIndex GraphBuilder::get_or_insert(const Hash32& hash) {
    if (const NodeIndex* found = index().find(hash)) return *found;
    // Indexes are 32-bit; wrapping would alias two nodes.
    if (node_count() > std::numeric_limits<NodeIndex>::max())
        throw std::length_error("graph builder holds the maximum number of nodes");
    const auto id = static_cast<NodeIndex>(node_count());
    std::vector<Hash32>& hashes = hashes_.edit();
    hashes.push_back(hash);
    try {
        incoming_.emplace_back();
        outgoing_.emplace_back();
        tags_.push_back(kNoTag);
        index_.edit().insert_new(hash, id);
    } catch (...) {
        // Keep the containers the same length if memory runs out half-way.
        hashes.resize(id);
        incoming_.resize(id);
        outgoing_.resize(id);
        tags_.resize(id);
        throw;
    }
    return id;
}

void GraphBuilder::add_edge(const Hash32& from, const Hash32& to, NodeTag from_tag, NodeTag to_tag) {
    const NodeIndex a = get_or_insert(from);
    add_edge_between(a, get_or_insert(to), from_tag, to_tag);
}

void GraphBuilder::add_edge_between(NodeIndex a, NodeIndex b, NodeTag from_tag, NodeTag to_tag) {
    tags_[a] = from_tag;
    tags_[b] = to_tag;
    auto& out = outgoing_[a];
    if (detail::contains_index(out.data(), out.size(), b)) return;
    out.push_back(b);
    try {
        incoming_[b].push_back(a);
    } catch (...) {
        out.pop_back();
        throw;
    }
}

void GraphBuilder::remove_edge(const Hash32& from, const Hash32& to) {
    const NodeIndex* f = index().find(from);
    const NodeIndex* t = index().find(to);
    if (f == nullptr || t == nullptr) return;
    erase_value(outgoing_[*f], *t);
    erase_value(incoming_[*t], *f);
}

void GraphBuilder::remove_node_edges(const Hash32& hash) {
    const NodeIndex* found = index().find(hash);
    if (!found) return;
    const NodeIndex c = *found;
    std::vector<NodeIndex> preds = std::move(incoming_[c]);
    std::vector<NodeIndex> succs = std::move(outgoing_[c]);
    incoming_[c].clear();
    outgoing_[c].clear();
    // A self-loop puts c in both copies; its own lists are already empty then.
    for (NodeIndex p : preds)
        if (p != c) erase_value(outgoing_[p], c);
    for (NodeIndex s : succs)
        if (s != c) erase_value(incoming_[s], c);
}

CsrGraph GraphBuilder::compile() const {
    CsrGraph g;
    g.hashes_ = hashes_.share();
    g.reverse = compile_lists(incoming_);
    g.forward = compile_lists(outgoing_);
    g.index_ = index_.share();
    g.tags = tags_;
    static std::atomic<std::uint64_t> compiles{0};
    g.serial = ++compiles;
    return g;
}

std::optional<NodeIndex> CsrGraph::find(const Hash32& hash) const {
    if (const NodeIndex* found = index().find(hash)) return *found;
    return std::nullopt;
}

std::optional<std::vector<Hash32>> CsrGraph::successors(const Hash32& hash) const {
    auto i = find(hash);
    if (!i) return std::nullopt;
    return to_hashes(hashes(), forward.neighbours(*i));
}

std::optional<std::vector<Hash32>> CsrGraph::predecessors(const Hash32& hash) const {
    auto i = find(hash);
    if (!i) return std::nullopt;
    return to_hashes(hashes(), reverse.neighbours(*i));
}

std::vector<NodeIndex> CsrGraph::reachable_indexes(NodeIndex start, const CsrArrays& arrays,
                                                   std::uint32_t max_depth) const {
    const std::size_t n = node_count();
    if (start >= n) return {};
    if (arrays.offsets.size() != n + 1) throw std::logic_error("CSR arrays do not belong to this graph");

    // Every discovered node is queued once and reported once, in the same order, so the
    // result doubles as the FIFO queue: `head` is the front, levels are contiguous runs.
    thread_local VisitMarks visited;
    visited.start_walk(n);
    std::vector<NodeIndex> found;
    visited.mark(start);
    auto expand = [&](NodeIndex v) {
        for (NodeIndex w : arrays.neighbours(v)) {
            if (visited.mark(w)) found.push_back(w);
        }
    };
    // max_depth 0 wraps to the largest limit: no bound.
    const std::uint32_t limit = max_depth - 1u;
    expand(start);
    std::size_t head = 0;
    for (std::uint64_t depth = 1; head < found.size() && depth <= limit; ++depth) {
        const std::size_t level_end = found.size();
        for (; head < level_end; ++head) expand(found[head]);
    }
    return found;
}

std::vector<Hash32> CsrGraph::reachable(const Hash32& start, const CsrArrays& arrays, std::uint32_t max_depth) const {
    auto s = find(start);
    if (!s) return {};
    return to_hashes(hashes(), reachable_indexes(*s, arrays, max_depth));
}

}  // namespace corvane::graph
