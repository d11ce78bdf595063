#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "metadata/engine/graph_queries.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "util/node_hash.hpp"

using namespace corvane;

namespace {

constexpr GraphQuery kQueries[] = {GraphQuery::Callers,      GraphQuery::Callees,         GraphQuery::Dependents,
                                   GraphQuery::Dependencies, GraphQuery::RecursiveCallees, GraphQuery::BlastRadius};

NodeMeta node(const std::string& id, const std::string& file) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = "Function";
    m.name = id;
    m.file_path = file;
    return m;
}

std::vector<std::string> texts(const Result<NodeIdRefs>& r) {
    std::vector<std::string> out;
    for (std::string_view id : *r) out.emplace_back(id);
    return out;
}

// Every query for every id, answered through the compiled handle tables and through hash
// lookups, must agree: same ids in the same order, or the same error.
void expect_paths_agree(const EngineState& s, const std::vector<std::string>& ids, std::mt19937& rng) {
    for (const auto& id : ids) {
        for (GraphQuery q : kQueries) {
            const std::uint32_t depth = rng() % 4;
            auto fast = graph_query(s, q, id, depth);
            auto plain = graph_query(s, q, id, depth, true);
            ASSERT_EQ(fast.ok(), plain.ok()) << id;
            if (!fast.ok()) {
                EXPECT_EQ(fast.error().message, plain.error().message);
                continue;
            }
            ASSERT_EQ(texts(fast), texts(plain)) << id << " query " << static_cast<int>(q);
        }
    }
}

}  // namespace

TEST(GraphQueries, HandlePathAgreesWithHashLookupsThroughRandomChanges) {
    std::vector<std::string> ids;
    for (int f = 0; f < 6; ++f) {
        for (int i = 0; i < 8; ++i) ids.push_back("f" + std::to_string(f) + ".py:n" + std::to_string(i));
    }
    ids.push_back("never.py:added");
    auto file_of = [](const std::string& id) { return id.substr(0, id.find(':')); };
    for (std::uint32_t seed = 1; seed <= 100; ++seed) {
        std::mt19937 rng(seed);
        EngineState s;
        auto add_edges = [&](int n) {
            for (int e = 0; e < n; ++e) {
                const auto& a = ids[rng() % ids.size()];
                const auto& b = ids[rng() % ids.size()];
                (void)add_typed_edge(s, a, b, static_cast<EdgeKind>(rng() % 4));
            }
        };
        for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
            if (rng() % 5 != 0) upsert_node(s, node(ids[i], file_of(ids[i])));
        }
        add_edges(120);
        for (int round = 0; round < 8; ++round) {
            compile_step(s);
            // The compile step's counts, taken by handle, against the plain definition.
            const auto counted = s.record.nodes;
            refresh_graph_metrics(s, true);
            ASSERT_EQ(s.record.nodes, counted) << "seed " << seed;
            expect_paths_agree(s, ids, rng);
            // Changes after the compile: the graphs stay, the identities move on.
            switch (rng() % 4) {
                case 0: invalidate_file(s, "f" + std::to_string(rng() % 6) + ".py"); break;
                case 1: {
                    const auto& id = ids[rng() % ids.size()];
                    upsert_node(s, node(id, file_of(id)));
                    break;
                }
                case 2: {
                    // As a restored snapshot may have it: a hash that is another id's.
                    const auto& id = ids[rng() % ids.size()];
                    s.record.identities.restore_hash(id, node_hash_hex(ids[rng() % ids.size()]));
                    break;
                }
                default: (void)repopulate_builders(s); break;
            }
            expect_paths_agree(s, ids, rng);
            add_edges(20);
            if (HasFailure()) {
                ADD_FAILURE() << "seed " << seed << " round " << round;
                return;
            }
        }
    }
}
