#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "metadata/engine/edges.hpp"
#include "metadata/engine/graph_queries.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/mutations.hpp"
#include "storage/snapshot/snapshot.hpp"

using namespace corvane;

namespace {

using Pairs = std::set<StringPair>;

Pairs pairs_of(const PairSet& s) {
    Pairs out;
    for (const auto& [from, to] : s) EXPECT_TRUE(out.emplace(from, to).second) << "a pair twice: " << from << " -> " << to;
    return out;
}

MetadataEngine restored(const MetadataEngine& r) {
    auto bytes = encode_snapshot(r);
    EXPECT_TRUE(bytes.ok());
    auto back = decode_snapshot(*bytes);
    EXPECT_TRUE(back.has_value());
    return back ? std::move(*back) : MetadataEngine{};
}

}  // namespace

TEST(PairSet, EdgeEndsWithoutANodeAreHeldButInvisibleAsIdentities) {
    MetadataEngine r;
    r.identities.assign_own_hash("a.py:f");
    IdentityTable plain;
    plain.assign_own_hash("a.py:f");

    EXPECT_TRUE(r.execution_edges.emplace("a.py:f", "ghost"));
    EXPECT_TRUE(r.structural_edges.emplace("ghost", "ghost"));
    EXPECT_FALSE(r.execution_edges.emplace("a.py:f", "ghost"));
    const auto ghost = r.identities.find_held("ghost");
    ASSERT_TRUE(ghost.has_value());
    // Neither a node nor part of either stored relation.
    EXPECT_FALSE(r.identities.find("ghost").has_value());
    EXPECT_FALSE(r.identities.has_stored(*ghost));
    EXPECT_EQ(r.identities.hash(*ghost), nullptr);
    EXPECT_EQ(r.identities.hash_count(), 1u);
    EXPECT_EQ(r.identities.back_mapping_count(), 1u);
    EXPECT_TRUE(r.identities == plain);
    EXPECT_EQ(r.identities.text_size().bytes, plain.text_size().bytes);

    // Gaining a hash keeps the handle, so the pairs name the node from then on.
    r.identities.assign_own_hash("ghost");
    EXPECT_EQ(r.identities.find("ghost"), ghost);
    r.identities.remove("ghost");
    EXPECT_EQ(r.identities.find_held("ghost"), ghost);  // still held by three pair ends

    // The handle goes with the last pair that names it; a new id may then take it, and the
    // pairs left read the right ids.
    EXPECT_TRUE(r.structural_edges.erase({"ghost", "ghost"}));
    EXPECT_EQ(r.identities.find_held("ghost"), ghost);
    EXPECT_TRUE(r.execution_edges.erase({"a.py:f", "ghost"}));
    EXPECT_FALSE(r.identities.find_held("ghost").has_value());
    EXPECT_TRUE(r.resolved_call_edges.emplace("other", "a.py:f"));
    EXPECT_EQ(r.identities.find_held("other"), ghost);
    EXPECT_EQ(pairs_of(r.resolved_call_edges), (Pairs{{"other", "a.py:f"}}));
    EXPECT_FALSE(r.resolved_call_edges.contains({"ghost", "a.py:f"}));
    r.resolved_call_edges.clear();
    EXPECT_FALSE(r.identities.find_held("other").has_value());
    EXPECT_TRUE(r.identities.find("a.py:f").has_value());
    EXPECT_TRUE(r.identities == plain);
}

TEST(PairSet, CopiesAndComparisonsGoByIdsWhateverTheHandles) {
    MetadataEngine r;
    r.execution_edges.emplace("p", "q");
    r.execution_edges.emplace("q", "r");
    const PairSet taken = r.execution_edges;  // holds its ids itself
    MetadataEngine copy = r;
    r.execution_edges.clear();
    r.execution_edges.emplace("z", "y");  // may reuse the freed handles
    EXPECT_EQ(pairs_of(taken), (Pairs{{"p", "q"}, {"q", "r"}}));
    EXPECT_EQ(pairs_of(copy.execution_edges), (Pairs{{"p", "q"}, {"q", "r"}}));
    EXPECT_TRUE(copy.execution_edges == taken);
    EXPECT_FALSE(r.execution_edges == taken);

    // Different insertion orders number the ids differently.
    const PairSet x{{"p", "q"}, {"q", "r"}};
    const PairSet y{{"q", "r"}, {"r", "q"}, {"p", "q"}};
    EXPECT_FALSE(x == y);
    PairSet z = y;
    EXPECT_TRUE(z.erase({"r", "q"}));
    EXPECT_TRUE(x == z);
    EXPECT_FALSE(z.erase({"r", "q"}));
    EXPECT_FALSE(z.erase({"unknown", "q"}));

    // Assignment into a record's set holds the ids in the record's table.
    copy.structural_edges = y;
    copy.execution_edges = copy.structural_edges;
    EXPECT_TRUE(copy.structural_edges == y);
    EXPECT_TRUE(copy.execution_edges == y);
    EXPECT_EQ(copy.identities.find_held("r"), copy.identities.find_held("r"));
    ASSERT_TRUE(copy.identities.find_held("r").has_value());

    // A record moved or copied keeps its pairs readable and bound to its own table.
    MetadataEngine moved = std::move(copy);
    EXPECT_EQ(pairs_of(moved.structural_edges), pairs_of(y));
    moved.structural_edges.emplace("s", "t");
    EXPECT_TRUE(moved.identities.find_held("s").has_value());
    MetadataEngine assigned;
    assigned.execution_edges.emplace("old", "old");
    assigned = moved;
    EXPECT_TRUE(assigned == moved);
    EXPECT_FALSE(assigned.identities.find_held("old").has_value());
    assigned.structural_edges.clear();
    EXPECT_TRUE(moved.structural_edges.contains({"s", "t"}));
}

// The engine's edge sets against a plain model that keeps the pairs as id strings and applies
// each operation's definition, through random adds, removals, invalidations and restores
// (some with pairs whose ends have no node yet): the same pairs, the same query answers
// and the same snapshot contents.
namespace {

struct Model {
    std::map<std::string, std::string> file_of;  // the nodes
    std::array<Pairs, 4> sets;                  // by EdgeKind

    bool node(const std::string& id) const { return file_of.contains(id); }

    void remove_file(const std::string& file) {
        std::set<std::string> gone;
        for (const auto& [id, f] : file_of) {
            if (f == file) gone.insert(id);
        }
        for (const auto& id : gone) file_of.erase(id);
        for (Pairs& s : sets) std::erase_if(s, [&](const StringPair& p) { return gone.contains(p.first) || gone.contains(p.second); });
    }

    // Graph neighbours: pairs of the kinds that feed the graph with both ends nodes now.
    std::set<std::string> neighbours(const std::string& id, bool dependency, bool outgoing) const {
        std::set<std::string> out;
        for (std::size_t k = 0; k < 4; ++k) {
            if (k == static_cast<std::size_t>(EdgeKind::Structural) && !dependency) continue;
            for (const auto& [a, b] : sets[k]) {
                if (!node(a) || !node(b)) continue;
                if (outgoing && a == id) out.insert(b);
                if (!outgoing && b == id) out.insert(a);
            }
        }
        return out;
    }

    std::set<std::string> reachable(const std::string& id, bool outgoing) const {
        std::set<std::string> seen{id}, out;
        std::vector<std::string> todo{id};
        while (!todo.empty()) {
            const std::string v = todo.back();
            todo.pop_back();
            for (const auto& w : neighbours(v, false, outgoing)) {
                if (seen.insert(w).second) {
                    out.insert(w);
                    todo.push_back(w);
                }
            }
        }
        return out;
    }
};

NodeMeta node_meta(const std::string& id, const std::string& file) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = "Function";
    m.name = id.substr(id.find(':') + 1);
    m.file_path = file;
    return m;
}

void expect_same_pairs(const MetadataEngine& r, const Model& m, const std::string& where) {
    const auto sets = all_edge_sets(r);
    for (std::size_t k = 0; k < 4; ++k) ASSERT_EQ(pairs_of(*sets[k]), m.sets[k]) << where << " set " << k;
}

void expect_same_answers(EngineState& s, const Model& m, const std::vector<std::string>& pool, const std::string& where) {
    ASSERT_TRUE(repopulate_builders(s).ok()) << where;
    compile_step(s);
    auto as_set = [](const Result<NodeIdRefs>& r) {
        std::set<std::string> out;
        for (std::string_view id : *r) out.emplace(id);
        return out;
    };
    for (const auto& id : pool) {
        auto callers = graph_query(s, GraphQuery::Callers, id);
        ASSERT_EQ(callers.ok(), m.node(id)) << where << " " << id;
        if (!callers.ok()) continue;
        EXPECT_EQ(as_set(callers), m.neighbours(id, false, false)) << where << " callers of " << id;
        EXPECT_EQ(as_set(graph_query(s, GraphQuery::Callees, id)), m.neighbours(id, false, true)) << where << " " << id;
        EXPECT_EQ(as_set(graph_query(s, GraphQuery::Dependents, id)), m.neighbours(id, true, false)) << where << " " << id;
        EXPECT_EQ(as_set(graph_query(s, GraphQuery::Dependencies, id)), m.neighbours(id, true, true)) << where << " " << id;
        EXPECT_EQ(as_set(graph_query(s, GraphQuery::RecursiveCallees, id)), m.reachable(id, true)) << where << " " << id;
        EXPECT_EQ(as_set(graph_query(s, GraphQuery::BlastRadius, id)), m.reachable(id, false)) << where << " " << id;
    }
}

}  // namespace

TEST(PairSet, HandleKeyedSetsMatchPairsOfIdStringsThroughRandomChanges) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        std::vector<std::string> files, pool;
        for (int f = 0; f < 5; ++f) files.push_back("m" + std::to_string(f) + ".py");
        for (int i = 0; i < 30; ++i) pool.push_back("m" + std::to_string(i % 5) + ".py:f" + std::to_string(i));
        for (int i = 0; i < 4; ++i) pool.push_back("ghost.py:g" + std::to_string(i));  // never a node, or late
        auto pick = [&] { return pool[rng() % pool.size()]; };

        EngineState s;
        Model m;
        for (int step = 0; step < 160; ++step) {
            const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step);
            const std::uint32_t op = rng() % 100;
            if (op < 25) {
                const std::string id = pick();
                const std::string file = id.starts_with("ghost") ? "ghost.py" : files[rng() % files.size()];
                upsert_node(s, node_meta(id, file));
                m.file_of[id] = file;
            } else if (op < 65) {
                const std::string a = pick(), b = pick();
                const auto kind = static_cast<EdgeKind>(rng() % 4);
                ASSERT_TRUE(add_typed_edge(s, a, b, kind).ok()) << where;
                // An edge whose ends are not both nodes is left out.
                if (m.node(a) && m.node(b)) m.sets[static_cast<std::size_t>(kind)].emplace(a, b);
            } else if (op < 75) {
                const std::string file = rng() % 6 == 0 ? std::string("ghost.py") : files[rng() % files.size()];
                invalidate_file(s, file);
                m.remove_file(file);
            } else if (op < 80) {
                ASSERT_TRUE(clear_generated_edges(s).ok()) << where;
                m.sets[static_cast<std::size_t>(EdgeKind::GeneratedExecution)].clear();
            } else if (op < 88) {
                // A resolved call taken out again, as the edge refresh does.
                auto& calls = m.sets[static_cast<std::size_t>(EdgeKind::ResolvedCall)];
                if (!calls.empty()) {
                    auto it = std::next(calls.begin(), rng() % calls.size());
                    detail::drop_resolved_call(s, it->first, it->second);
                    calls.erase(it);
                }
            } else {
                // Restore from the snapshot; sometimes the file carries pairs naming ids that
                // have no node (yet), which are kept as they are.
                MetadataEngine back = restored(s.record);
                ASSERT_TRUE(back == s.record) << where;
                for (int k = rng() % 4; k > 0; --k) {
                    const std::string a = pick(), b = pick();
                    const std::size_t kind = rng() % 4;
                    all_edge_sets(back)[kind]->emplace(a, b);
                    m.sets[kind].emplace(a, b);
                }
                ASSERT_TRUE(adopt_record(s, std::move(back)).ok()) << where;
            }
            expect_same_pairs(s.record, m, where);
            ASSERT_TRUE(check_incremental_invariants(s).ok()) << where << ": " << check_incremental_invariants(s).error().message;
            if (step % 20 == 19) {
                // The snapshot holds the same pairs (as sets), and so does a save after a restore.
                const MetadataEngine once = restored(s.record);
                expect_same_pairs(once, m, where + " restored");
                expect_same_pairs(restored(once), m, where + " restored twice");
                expect_same_answers(s, m, pool, where);
            }
        }
        // Once every node and pair is gone, no id is held any more.
        for (const auto& f : files) invalidate_file(s, f);
        invalidate_file(s, "ghost.py");
        for (PairSet* set : all_edge_sets(s.record)) set->clear();
        for (const auto& id : pool) EXPECT_FALSE(s.record.identities.find_held(id).has_value()) << id;
    }
}

// The edge sections of a snapshot against their definition, written pair by pair from the
// sets' own iteration, grouped by the first id's handle (a stable sort): a count, then each
// pair's two ids as length and bytes. The ids are spread over handles freed and taken again,
// nodes, and ends without a node; one id starts pairs across several of the reader's blocks.
// The sections read back into the same sets.
TEST(PairSet, SnapshotEdgeSectionsAreThePairsIdsWrittenOneByOne) {
    auto put_u64 = [](std::vector<std::uint8_t>& out, std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        MetadataEngine r;
        std::vector<std::string> ids;
        for (int i = 0; i < 40; ++i) ids.push_back("p" + std::to_string(i % 7) + "/é" + std::string(rng() % 30, 'x') + std::to_string(i));
        for (int i = 0; i < 10; ++i) r.identities.assign_own_hash(ids[rng() % ids.size()]);
        for (int step = 0; step < 300; ++step) {
            PairSet& set = *all_edge_sets(r)[rng() % 4];
            const std::string& a = ids[rng() % ids.size()];
            const std::string& b = ids[rng() % ids.size()];
            if (rng() % 3 == 0) {
                set.erase({a, b});
            } else {
                set.emplace(a, b);
            }
        }
        for (int i = 0; i < 150; ++i) r.execution_edges.emplace(ids[seed], "callee" + std::to_string(i));
        // The edge sets are the last four sections.
        std::vector<std::uint8_t> want;
        for (const PairSet* set : all_edge_sets(r)) {
            put_u64(want, set->size());
            std::vector<std::pair<std::string, std::string>> pairs(set->begin(), set->end());
            std::stable_sort(pairs.begin(), pairs.end(), [&](const auto& x, const auto& y) {
                return *r.identities.find_held(x.first) < *r.identities.find_held(y.first);
            });
            for (const auto& [from, to] : pairs) {
                for (const std::string* id : {&from, &to}) {
                    put_u64(want, id->size());
                    want.insert(want.end(), id->begin(), id->end());
                }
            }
        }
        for (unsigned workers : {1u, 2u}) {
            auto got = encode_snapshot(r, workers);
            ASSERT_TRUE(got.ok());
            ASSERT_GE(got->size(), want.size());
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got->end() - static_cast<std::ptrdiff_t>(want.size())))
                << "seed " << seed << " workers " << workers;
            auto back = decode_snapshot(std::span<const std::uint8_t>(got->data(), got->size()));
            ASSERT_TRUE(back.has_value());
            for (std::size_t k = 0; k < 4; ++k) {
                EXPECT_TRUE(*all_edge_sets(*back)[k] == *all_edge_sets(r)[k]) << "seed " << seed << " set " << k;
            }
        }
    }
}

// The radix sort against a stable sort of the set's own order, with tables whose handles
// take no pass, one pass and two.
TEST(PairSet, KeysByFirstAreTheSetsKeysStablySortedByFirstHandle) {
    std::mt19937_64 rng(17);
    for (std::size_t ids : {1, 2, 900, 5000}) {
        IdentityTable table;
        PairSet set(table);
        std::uniform_int_distribution<std::size_t> pick(0, ids - 1);
        for (std::size_t i = 0; i < ids * 3; ++i) {
            set.insert({"n" + std::to_string(pick(rng)), "n" + std::to_string(pick(rng))});
        }
        std::vector<PairSet::Key> expected(set.keys().begin(), set.keys().end());
        std::stable_sort(expected.begin(), expected.end(), [](PairSet::Key a, PairSet::Key b) {
            return PairSet::from_of(a) < PairSet::from_of(b);
        });
        EXPECT_EQ(set.keys_by_first(), expected) << ids << " ids";
    }
}
