#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "graph/csr/ancestor_counts.hpp"
#include "graph/csr/csr_graph.hpp"
#include "graph/csr/index_scan.hpp"

using namespace corvane;
using namespace corvane::graph;

namespace {

Hash32 h(std::uint32_t n) {
    Hash32 out{};
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(n >> (8 * i));
    out[31] = 0xA5;
    return out;
}

std::vector<Hash32> hs(std::initializer_list<std::uint32_t> ns) {
    std::vector<Hash32> out;
    for (auto n : ns) out.push_back(h(n));
    return out;
}

// Every builder invariant: equal lengths, index inverse of hashes, outgoing and incoming
// mirror each other with no parallel edges.
void expect_consistent(const GraphBuilder& b) {
    const std::size_t n = b.node_count();
    ASSERT_EQ(b.incoming().size(), n);
    ASSERT_EQ(b.outgoing().size(), n);
    ASSERT_EQ(b.index().size(), n);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(b.index().at(b.hashes()[i]), i);
        for (NodeIndex j : b.outgoing()[i]) {
            EXPECT_EQ(std::count(b.outgoing()[i].begin(), b.outgoing()[i].end(), j), 1);
            EXPECT_EQ(std::count(b.incoming()[j].begin(), b.incoming()[j].end(), static_cast<NodeIndex>(i)), 1);
        }
        for (NodeIndex j : b.incoming()[i])
            EXPECT_EQ(std::count(b.outgoing()[j].begin(), b.outgoing()[j].end(), static_cast<NodeIndex>(i)), 1);
    }
}

// Independent reference: a queue of (node, depth) pairs with a set of seen nodes.
std::vector<NodeIndex> reference_bfs(const std::vector<std::vector<NodeIndex>>& adj, NodeIndex s, std::uint32_t max_depth) {
    std::vector<NodeIndex> out;
    std::vector<bool> seen(adj.size());
    std::deque<std::pair<NodeIndex, std::uint64_t>> q{{s, 0}};
    seen[s] = true;
    while (!q.empty()) {
        auto [v, d] = q.front();
        q.pop_front();
        if (max_depth != 0 && d >= max_depth) continue;
        for (NodeIndex w : adj[v])
            if (!seen[w]) {
                seen[w] = true;
                out.push_back(w);
                q.emplace_back(w, d + 1);
            }
    }
    return out;
}

}  // namespace

TEST(CsrGraphBuilder, ArrivalOrderAndDuplicates) {
    GraphBuilder b;
    b.add_edge(h(10), h(20));
    b.add_edge(h(30), h(10));  // from gets the lower new index
    b.add_edge(h(30), h(30));
    b.add_edge(h(30), h(10));
    b.add_edge(h(30), h(30));
    b.add_edge(h(10), h(30));
    EXPECT_EQ(b.hashes(), hs({10, 20, 30}));
    EXPECT_EQ(b.outgoing()[2], (std::vector<NodeIndex>{0, 2}));
    EXPECT_EQ(b.incoming()[2], (std::vector<NodeIndex>{2, 0}));
    EXPECT_EQ(b.incoming()[0], (std::vector<NodeIndex>{2}));
    // A hub list long enough for the vector scan, every entry fed twice.
    for (std::uint32_t t = 100; t < 177; ++t) b.add_edge(h(20), h(t));
    for (std::uint32_t t = 100; t < 177; ++t) b.add_edge(h(20), h(t));
    EXPECT_EQ(b.outgoing()[1].size(), 77u);
    expect_consistent(b);
}

TEST(CsrGraphBuilder, IndexScanKernelsAgree) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::vector<NodeIndex> list(rng() % 100);
        for (auto& x : list) x = rng() % 128;
        const NodeIndex v = rng() % 130;
        const bool want = detail::contains_scalar(list.data(), list.size(), v);
        ASSERT_EQ(detail::contains_index(list.data(), list.size(), v), want);
        if (detail::sse2_available()) ASSERT_EQ(detail::contains_sse2(list.data(), list.size(), v), want);
        if (detail::avx2_available()) ASSERT_EQ(detail::contains_avx2(list.data(), list.size(), v), want);
    }
}

TEST(CsrGraphBuilder, RemoveNodeEdgesKeepsOrderAndIndex) {
    GraphBuilder b;
    // z -> a, z -> x, z -> b ; x -> y ; w -> y, x -> w ; x -> x
    b.add_edge(h(1), h(2));  // z a
    b.add_edge(h(1), h(3));  // z x
    b.add_edge(h(1), h(4));  // z b
    b.add_edge(h(3), h(5));  // x y
    b.add_edge(h(6), h(5));  // w y
    b.add_edge(h(3), h(6));  // x w
    b.add_edge(h(3), h(3));  // x x
    b.add_edge(h(2), h(5));  // a y
    const CsrGraph before = b.compile();
    b.remove_node_edges(h(3));
    const NodeIndex z = 0, a = 1, x = 2, bb = 3, y = 4, w = 5;
    EXPECT_EQ(b.index().at(h(3)), x);
    EXPECT_TRUE(b.outgoing()[x].empty());
    EXPECT_TRUE(b.incoming()[x].empty());
    EXPECT_EQ(b.outgoing()[z], (std::vector<NodeIndex>{a, bb}));
    EXPECT_EQ(b.incoming()[y], (std::vector<NodeIndex>{w, a}));
    EXPECT_TRUE(b.incoming()[w].empty());
    expect_consistent(b);

    b.remove_node_edges(h(999));  // unknown: nothing happens
    b.add_edge(h(5), h(7));
    EXPECT_EQ(b.node_count(), 7u);

    // The old compile owns its arrays: it still shows the removed edges, not the new node.
    EXPECT_EQ(*before.successors(h(3)), hs({5, 6, 3}));
    EXPECT_EQ(*before.predecessors(h(5)), hs({3, 6, 2}));
    EXPECT_FALSE(before.find(h(7)));
    EXPECT_EQ(before.forward.offsets.size(), 7u);

    // New edges of x append to its emptied lists.
    b.add_edge(h(3), h(1));
    EXPECT_EQ(b.outgoing()[x], (std::vector<NodeIndex>{z}));
    EXPECT_EQ(*b.compile().successors(h(3)), hs({1}));
}

TEST(CsrGraphBuilder, RemoveEdgeTakesOnePairOutOfBothDirections) {
    GraphBuilder b;
    b.add_edge(h(1), h(2));
    b.add_edge(h(1), h(3));
    b.add_edge(h(1), h(4));
    b.add_edge(h(4), h(3));
    b.add_edge(h(3), h(3));
    const NodeIndex one = 0, three = 2, four = 3;
    b.remove_edge(h(1), h(3));
    EXPECT_EQ(b.outgoing()[one], (std::vector<NodeIndex>{1, four}));
    EXPECT_EQ(b.incoming()[three], (std::vector<NodeIndex>{four, three}));
    b.remove_edge(h(3), h(3));
    EXPECT_TRUE(b.outgoing()[three].empty());
    EXPECT_EQ(b.incoming()[three], (std::vector<NodeIndex>{four}));
    // Missing edges and unknown hashes change nothing; the nodes stay.
    b.remove_edge(h(3), h(1));
    b.remove_edge(h(1), h(99));
    b.remove_edge(h(99), h(1));
    EXPECT_EQ(b.node_count(), 4u);
    expect_consistent(b);
    std::vector<std::pair<Hash32, bool>> seen;
    b.for_each_neighbour(h(4), [&](const Hash32& other, bool outgoing) { seen.emplace_back(other, outgoing); });
    EXPECT_EQ(seen, (std::vector<std::pair<Hash32, bool>>{{h(3), true}, {h(1), false}}));
    b.add_edge(h(1), h(3));
    EXPECT_EQ(*b.compile().successors(h(1)), hs({2, 4, 3}));
}

TEST(CsrGraph, EmptyBuilderCompiles) {
    const CsrGraph g = GraphBuilder().compile();
    EXPECT_EQ(g.reverse.offsets, (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(g.forward.offsets, (std::vector<std::uint64_t>{0}));
    EXPECT_TRUE(g.forward.targets.empty());
    EXPECT_FALSE(g.successors(h(1)));
    EXPECT_FALSE(g.predecessors(h(1)));
    EXPECT_TRUE(g.reachable(h(1), g.forward, 0).empty());
    EXPECT_TRUE(g.reachable_indexes(0, g.reverse, 0).empty());
    EXPECT_TRUE(ancestor_counts(g).empty());
    EXPECT_TRUE(ancestor_counts_plain(g).empty());
}

TEST(CsrGraph, ReachableDepthBoundsAndCycles) {
    // Chain 0 -> 1 -> 2 -> 3 -> 4, a shortcut 0 -> 2, a cycle back 4 -> 0 and a self-loop on 0.
    GraphBuilder b;
    for (std::uint32_t i = 0; i < 4; ++i) b.add_edge(h(i), h(i + 1));
    b.add_edge(h(0), h(2));
    b.add_edge(h(4), h(0));
    b.add_edge(h(0), h(0));
    b.add_edge(h(9), h(8));
    const CsrGraph g = b.compile();
    EXPECT_EQ(*g.successors(h(0)), hs({1, 2, 0}));
    EXPECT_EQ(g.reachable(h(0), g.forward, 1), hs({1, 2}));
    EXPECT_EQ(g.reachable(h(0), g.forward, 2), hs({1, 2, 3}));
    EXPECT_EQ(g.reachable(h(0), g.forward, 3), hs({1, 2, 3, 4}));
    EXPECT_EQ(g.reachable(h(0), g.forward, 0), hs({1, 2, 3, 4}));
    EXPECT_EQ(g.reachable(h(0), g.forward, 4294967295u), hs({1, 2, 3, 4}));
    EXPECT_EQ(g.reachable(h(3), g.reverse, 0), hs({2, 1, 0, 4}));
    EXPECT_TRUE(g.reachable(h(8), g.forward, 0).empty());
    EXPECT_TRUE(g.reachable(h(77), g.forward, 0).empty());
    EXPECT_TRUE(g.reachable_indexes(7, g.forward, 0).empty());
}

TEST(CsrGraph, ReachableMatchesIndependentBfs) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        const std::uint32_t n = 1 + rng() % 120;
        const std::uint32_t edges = rng() % (4 * n);
        GraphBuilder b;
        for (std::uint32_t i = 0; i < n; ++i) b.add_edge(h(i), h(i));  // fix indexes = i
        for (std::uint32_t i = 0; i < n; ++i)
            if (rng() % 2) b.remove_node_edges(h(i));
        for (std::uint32_t e = 0; e < edges; ++e) b.add_edge(h(rng() % n), h(rng() % n));
        if (n > 3) b.remove_node_edges(h(rng() % n));
        expect_consistent(b);
        const CsrGraph g = b.compile();
        for (std::uint32_t s = 0; s < n; ++s) {
            for (std::uint32_t depth : {0u, 1u, 2u, 3u, 7u}) {
                std::vector<NodeIndex> fwd = reference_bfs(b.outgoing(), s, depth);
                std::vector<NodeIndex> rev = reference_bfs(b.incoming(), s, depth);
                ASSERT_EQ(g.reachable_indexes(s, g.forward, depth), fwd) << round << " " << s << " " << depth;
                ASSERT_EQ(g.reachable_indexes(s, g.reverse, depth), rev) << round << " " << s << " " << depth;
                std::vector<Hash32> fh;
                for (NodeIndex i : fwd) fh.push_back(h(i));
                ASSERT_EQ(g.reachable(h(s), g.forward, depth), fh);
            }
        }
    }
}

TEST(GraphBuilder, CompiledGraphKeepsItsNodesWhileTheBuilderGrows) {
    // The graph shares the builder's hashes and index until the builder adds a node; a
    // graph (and a copy of the builder) must not see nodes added after it was made.
    GraphBuilder b;
    b.add_edge(h(1), h(2));
    const CsrGraph first = b.compile();
    const GraphBuilder copy = b;
    const CsrGraph same = b.compile();
    EXPECT_EQ(&first.hashes(), &same.hashes());  // nothing changed in between: nothing copied
    b.add_edge(h(2), h(3));
    b.add_edge(h(1), h(2));
    const CsrGraph second = b.compile();
    EXPECT_EQ(first.hashes(), hs({1, 2}));
    EXPECT_EQ(first.index().size(), 2u);
    EXPECT_FALSE(first.find(h(3)));
    EXPECT_EQ(copy.hashes(), hs({1, 2}));
    EXPECT_FALSE(copy.index().contains(h(3)));
    EXPECT_EQ(second.hashes(), hs({1, 2, 3}));
    EXPECT_EQ(second.find(h(3)), NodeIndex{2});
    EXPECT_EQ(second.successors(h(2)), hs({3}));
    EXPECT_EQ(first.successors(h(2)), hs({}));
    expect_consistent(b);
    expect_consistent(copy);
    // Growing a builder whose graphs are gone copies nothing that anyone still reads.
    GraphBuilder alone;
    alone.add_edge(h(7), h(8));
    { const CsrGraph gone = alone.compile(); }
    alone.add_edge(h(8), h(9));
    expect_consistent(alone);
    EXPECT_EQ(alone.compile().node_count(), 3u);
}
