#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "graph/csr/ancestor_counts.hpp"

using namespace corvane;
using namespace corvane::graph;

namespace {

Hash32 h(std::uint32_t n) {
    Hash32 out{};
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(n >> (8 * i));
    return out;
}

void expect_agree(const CsrGraph& g, const std::string& what) {
    const auto plain = ancestor_counts_plain(g);
    const auto fast = ancestor_counts(g);
    ASSERT_EQ(fast.size(), plain.size()) << what;
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(fast[i], plain[i]) << what << " node " << i;
    // Both worker counts, whatever the size would choose: the two share batches at random.
    for (unsigned workers : {1u, 2u}) ASSERT_EQ(detail::ancestor_counts_workers(g, workers), plain) << what << " workers " << workers;
}

// Random graphs of many shapes: isolated nodes (self-loop then removed), self-loops,
// duplicate edges, local cycles, forward-only stretches and removed node edges.
CsrGraph random_graph(std::mt19937& rng, std::uint32_t n) {
    GraphBuilder b;
    for (std::uint32_t i = 0; i < n; ++i) b.add_edge(h(i), h(i));
    for (std::uint32_t i = 0; i < n; ++i)
        if (rng() % 4 != 0) b.remove_node_edges(h(i));
    if (n == 0) return b.compile();
    const std::uint32_t shape = rng() % 4;
    const std::uint32_t edges = rng() % (3 * n + 1);
    for (std::uint32_t e = 0; e < edges; ++e) {
        std::uint32_t from = rng() % n, to;
        switch (shape) {
            case 0: to = rng() % n; break;                                         // anything
            case 1: to = from + rng() % std::min<std::uint32_t>(n - from, 8); break;  // mostly a DAG
            case 2: to = (from + n - rng() % std::min<std::uint32_t>(n, 5)) % n; break;  // back edges, cycles
            default: to = rng() % 3 == 0 ? rng() % std::min<std::uint32_t>(n, 10) : from / 2; break;  // hubs
        }
        b.add_edge(h(from), h(to));
        if (rng() % 8 == 0) b.add_edge(h(from), h(to));
    }
    for (std::uint32_t k = rng() % 4; k > 0; --k) b.remove_node_edges(h(rng() % n));
    return b.compile();
}

}  // namespace

TEST(AncestorCounts, SmallShapes) {
    GraphBuilder b;
    // Cycle 1 -> 2 -> 3 -> 1 with a self-loop on 1, fed by 0, feeding 4; 5 -> 5 alone.
    b.add_edge(h(0), h(1));
    b.add_edge(h(1), h(1));
    b.add_edge(h(1), h(2));
    b.add_edge(h(2), h(3));
    b.add_edge(h(3), h(1));
    b.add_edge(h(3), h(4));
    b.add_edge(h(5), h(5));
    const CsrGraph g = b.compile();
    const std::vector<std::uint32_t> want{0, 3, 3, 3, 4, 0};
    EXPECT_EQ(ancestor_counts_plain(g), want);
    EXPECT_EQ(ancestor_counts(g), want);
}

TEST(AncestorCounts, AgreesWithPlainOnRandomGraphs) {
    std::mt19937 rng(2024);
    const std::uint32_t fixed[] = {0, 1, 2, 63, 64, 65, 255, 256, 257, 511, 1000};
    for (std::uint32_t n : fixed)
        for (int rep = 0; rep < 4; ++rep) expect_agree(random_graph(rng, n), "n=" + std::to_string(n));
    for (int round = 0; round < 150; ++round) {
        const std::uint32_t n = rng() % 400;
        expect_agree(random_graph(rng, n), "round " + std::to_string(round));
    }
    // Large enough for the second worker and for many batches.
    for (std::uint32_t n : {3000u, 4099u}) expect_agree(random_graph(rng, n), "n=" + std::to_string(n));
}

TEST(AncestorCounts, LargeComponentsWeightedBySize) {
    // Components of different sizes feeding a shared sink, so a batch mixes weights with
    // several bit planes.
    GraphBuilder b;
    std::uint32_t next = 0;
    const std::uint32_t sink = 1000000;
    for (std::uint32_t size : {1u, 2u, 3u, 5u, 8u, 13u, 200u, 1u, 1u, 77u}) {
        const std::uint32_t first = next;
        for (std::uint32_t k = 0; k < size; ++k) b.add_edge(h(first + k), h(first + (k + 1) % size));
        b.add_edge(h(first), h(sink));
        next += size;
    }
    expect_agree(b.compile(), "weighted");
}

TEST(AncestorCounts, DeepChainNeedsNoRecursion) {
    // 200000 levels would overflow a recursive depth-first search.
    GraphBuilder b;
    const std::uint32_t n = 200000;
    for (std::uint32_t i = 0; i + 1 < n; ++i) b.add_edge(h(i), h(i + 1));
    b.add_edge(h(n - 1), h(n / 2));  // the lower half is one big cycle
    const auto counts = ancestor_counts(b.compile());
    ASSERT_EQ(counts.size(), n);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(counts[1], 1u);
    EXPECT_EQ(counts[n / 2 - 1], n / 2 - 1);
    EXPECT_EQ(counts[n / 2], n - 1);
    EXPECT_EQ(counts[n - 1], n - 1);
}

namespace {

// A graph over nodes 0..n-1 (each held by a self-loop that is then removed) with the given
// edges, so that two such graphs number their nodes alike.
CsrGraph graph_of(std::uint32_t n, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges) {
    GraphBuilder b;
    for (std::uint32_t i = 0; i < n; ++i) b.add_edge(h(i), h(i));
    for (std::uint32_t i = 0; i < n; ++i) b.remove_node_edges(h(i));
    for (auto [from, to] : edges) b.add_edge(h(from), h(to));
    return b.compile();
}

}  // namespace

TEST(AncestorCounts, AfterAChangeAgreeWithCountingAgain) {
    // Random graphs, then a few edges added, removed or repeated (cycles made and broken,
    // self-loops, a node's list reordered): the counts carried over from the graph before
    // against the plain counts of the graph after, with every limit on the marked nodes.
    std::mt19937 rng(77);
    int carried = 0;
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t n = 1 + rng() % (round < 280 ? 120 : 3000);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
        const std::uint32_t m = rng() % (3 * n + 1);
        for (std::uint32_t e = 0; e < m; ++e) {
            const std::uint32_t from = rng() % n;
            const std::uint32_t to = rng() % 3 == 0 ? rng() % n : std::min<std::uint32_t>(n - 1, from + 1 + rng() % 6);
            edges.emplace_back(from, to);
        }
        const CsrGraph before = graph_of(n, edges);
        const auto counts = ancestor_counts(before);
        for (std::uint32_t k = rng() % 5; k > 0; --k) {
            const std::uint32_t what = rng() % 3;
            if (what == 0 && !edges.empty()) {
                edges.erase(edges.begin() + rng() % edges.size());
            } else if (what == 1 && !edges.empty()) {
                edges.push_back(edges[rng() % edges.size()]);  // a repeat changes no path
            } else {
                edges.emplace_back(rng() % n, rng() % n);
            }
        }
        std::shuffle(edges.begin(), edges.end(), rng);
        const CsrGraph after = graph_of(n, edges);
        const auto want = ancestor_counts_plain(after);
        for (std::size_t limit : {std::size_t{0}, std::size_t{n / 8}, std::size_t{n}}) {
            for (unsigned workers : {1u, 2u}) {
                const auto got = detail::ancestor_counts_after_workers(before, counts, after, limit, workers);
                if (!got) continue;
                ++carried;
                ASSERT_EQ(*got, want) << "round " << round << " limit " << limit << " workers " << workers;
            }
        }
        const auto got = ancestor_counts_after(before, counts, after);
        if (got) EXPECT_EQ(*got, want) << "round " << round;
    }
    EXPECT_GT(carried, 300);  // the limit of n let most rounds carry their counts over
}

TEST(AncestorCounts, AfterNeedsTheSameNodes) {
    const CsrGraph before = graph_of(3, {{0, 1}, {1, 2}});
    const auto counts = ancestor_counts(before);
    EXPECT_FALSE(ancestor_counts_after(before, counts, graph_of(4, {{0, 1}, {1, 2}})));
    EXPECT_FALSE(ancestor_counts_after(before, {0, 1}, graph_of(3, {{0, 1}})));
    // Nothing changed: the counts come back as they were, whatever they say.
    const std::vector<std::uint32_t> stale{7, 8, 9};
    EXPECT_EQ(ancestor_counts_after(before, stale, graph_of(3, {{1, 2}, {0, 1}})), stale);
}
