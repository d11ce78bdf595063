// The save of one file, end to end: random projects and edits, and after each refresh the
// compile step (which keeps the ancestor counts when the call edges did not change, and
// compiles the two graphs on two threads) and the encoding (sections on two threads) against
// the plain path: a full count on a copy, and the one-thread encoding of the same record.
#include <gtest/gtest.h>

#include <random>

#include "metadata/engine/graph_queries.hpp"
#include "random_project.hpp"
#include "storage/snapshot/snapshot.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

constexpr GraphQuery kQueries[] = {GraphQuery::Callers,      GraphQuery::Callees,          GraphQuery::Dependents,
                                   GraphQuery::Dependencies, GraphQuery::RecursiveCallees, GraphQuery::BlastRadius};

std::vector<std::string> answer(const EngineState& s, GraphQuery q, const std::string& id) {
    auto r = graph_query(s, q, id);
    if (!r.ok()) return {"error: " + r.error().message};
    return std::vector<std::string>(r->begin(), r->end());
}

}  // namespace

TEST(RefreshCycle, CompileAndEncodeMatchTheFullPath) {
    std::size_t cycles = 0, kept_edges = 0;
    for (int seed = 1; seed <= 60; ++seed) {
        RandomProject<std::mt19937> p(seed);
        ASSERT_TRUE(repopulate_edges(p.state).ok());
        compile_step(p.state);
        for (int step = 0; step < 40; ++step) {
            const auto before = builder_edges(p.state.call_builder, false);
            for (int k = 1 + p.rng() % 2; k > 0; --k) p.step();
            ASSERT_TRUE(repopulate_edges(p.state).ok());
            kept_edges += builder_edges(p.state.call_builder, false) == before;
            ++cycles;

            // The full path: no graph to compare with, so everything is counted afresh.
            EngineState full = p.state;
            full.call_graph.reset();
            full.call_graph_counts.clear();
            const std::size_t changed_full = compile_step(full);
            const std::size_t changed = compile_step(p.state);
            const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step);
            ASSERT_EQ(changed, changed_full) << where;
            ASSERT_EQ(p.state.record, full.record) << where;
            // And the counts against the one-walk-per-node definition.
            EngineState plain = p.state;
            refresh_graph_metrics(plain, true);
            ASSERT_EQ(plain.record.nodes, p.state.record.nodes) << where;

            for (const auto& [id, meta] : p.state.record.nodes) {
                for (GraphQuery q : kQueries) ASSERT_EQ(answer(p.state, q, id), answer(full, q, id)) << where << " " << id;
            }

            auto one = encode_snapshot(p.state.record, 1);
            auto two = encode_snapshot(p.state.record, 2);
            ASSERT_TRUE(one.ok() && two.ok()) << where;
            ASSERT_EQ(*one, *two) << where;
            auto back = decode_snapshot(*one);
            ASSERT_TRUE(back) << where;
            ASSERT_EQ(*back, full.record) << where;
        }
    }
    // Both branches of the compile step must have run, or the comparison proves little.
    EXPECT_GT(kept_edges, cycles / 10) << kept_edges << " of " << cycles;
    EXPECT_LT(kept_edges, cycles * 9 / 10) << kept_edges << " of " << cycles;
}

// Counts are kept across a compile only while the call edges are the same set: lists merely
// reordered keep them, a change of the dependency graph alone keeps them, a new call edge
// does not.
TEST(RefreshCycle, KeptCountsFollowTheGraphNotTheRecord) {
    EngineState s;
    for (const char* id : {"a.py:f", "a.py:g", "b.py:h", "b.py:k"}) {
        NodeMeta m;
        m.node_id = id;
        m.node_type = "Function";
        m.name = id;
        m.file_path = std::string(id).substr(0, 4);
        upsert_node(s, m);
    }
    ASSERT_TRUE(add_typed_edge(s, "a.py:f", "a.py:g", EdgeKind::Execution).ok());
    ASSERT_TRUE(add_typed_edge(s, "a.py:f", "b.py:h", EdgeKind::Execution).ok());
    ASSERT_TRUE(add_typed_edge(s, "a.py:g", "b.py:h", EdgeKind::ResolvedCall).ok());
    compile_step(s);
    EXPECT_EQ(s.record.nodes.at("b.py:h").blast_radius_score, 2u);

    // Taken out and added again in another order: same edges, counts kept and still right.
    invalidate_file(s, "a.py");
    for (const char* id : {"a.py:f", "a.py:g"}) {
        NodeMeta m = s.record.nodes.contains(id) ? s.record.nodes.at(id) : NodeMeta{};
        m.node_id = id;
        m.node_type = "Function";
        m.name = id;
        m.file_path = "a.py";
        upsert_node(s, m);
    }
    ASSERT_TRUE(add_typed_edge(s, "a.py:g", "b.py:h", EdgeKind::ResolvedCall).ok());
    ASSERT_TRUE(add_typed_edge(s, "a.py:f", "b.py:h", EdgeKind::Execution).ok());
    ASSERT_TRUE(add_typed_edge(s, "a.py:f", "a.py:g", EdgeKind::Execution).ok());
    compile_step(s);
    EXPECT_EQ(s.record.nodes.at("b.py:h").blast_radius_score, 2u);
    EXPECT_EQ(s.record.nodes.at("a.py:g").blast_radius_score, 1u);

    // A structural edge changes the dependency graph only: the call counts stay.
    ASSERT_TRUE(add_typed_edge(s, "b.py:k", "a.py:f", EdgeKind::Structural).ok());
    compile_step(s);
    EXPECT_EQ(s.record.nodes.at("a.py:f").blast_radius_score, 0u);

    // A new call edge into f: everything below f gains an ancestor.
    ASSERT_TRUE(add_typed_edge(s, "b.py:k", "a.py:f", EdgeKind::ResolvedCall).ok());
    compile_step(s);
    EXPECT_EQ(s.record.nodes.at("a.py:f").blast_radius_score, 1u);
    EXPECT_EQ(s.record.nodes.at("b.py:h").blast_radius_score, 3u);
}

// Large enough for the second threads of the compile step, of writing the counts and of the
// encoding: each node calls one or two earlier ones of its own file, so the plain count
// stays cheap.
TEST(RefreshCycle, LargeGraphOnTwoThreadsMatchesThePlainPath) {
    std::mt19937 rng(11);
    EngineState s;
    const int n = 40000;
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i) {
        NodeMeta m;
        m.node_id = "m" + std::to_string(i / 40) + ".py:f" + std::to_string(i);
        m.node_type = "Function";
        m.name = "f" + std::to_string(i);
        m.file_path = "m" + std::to_string(i / 40) + ".py";
        ids.push_back(m.node_id);
        upsert_node(s, m);
    }
    auto connect = [&](int i) {
        const int first = i / 40 * 40;
        for (int e = 1 + static_cast<int>(rng() % 2); e > 0 && i > first; --e) {
            const int j = std::max(first, i - 1 - static_cast<int>(rng() % 8));
            const auto kind = rng() % 8 == 0 ? EdgeKind::Structural : EdgeKind::ResolvedCall;
            ASSERT_TRUE(add_typed_edge(s, ids[i], ids[j], kind).ok());
        }
    };
    for (int i = 0; i < n; ++i) connect(i);
    for (int round = 0; round < 3; ++round) {
        compile_step(s);
        EngineState plain = s;
        refresh_graph_metrics(plain, true);
        ASSERT_EQ(plain.record.nodes, s.record.nodes) << "round " << round;
        auto one = encode_snapshot(s.record, 1);
        auto two = encode_snapshot(s.record);
        ASSERT_TRUE(one.ok() && two.ok());
        ASSERT_EQ(*one, *two) << "round " << round;
        // One file saved with its calls drawn again.
        const std::string file = "m" + std::to_string(rng() % (n / 40)) + ".py";
        invalidate_file(s, file);
        for (int i = 0; i < n; ++i) {
            if (ids[i].rfind(file + ":", 0) != 0) continue;
            NodeMeta m;
            m.node_id = ids[i];
            m.node_type = "Function";
            m.name = "f" + std::to_string(i);
            m.file_path = file;
            upsert_node(s, m);
        }
        for (int i = 0; i < n; ++i) {
            if (ids[i].rfind(file + ":", 0) == 0) connect(i);
        }
    }
}
