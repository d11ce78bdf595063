#include <gtest/gtest.h>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "util/hex.hpp"
#include "util/lowercase.hpp"
#include "util/node_hash.hpp"

using namespace corvane;

namespace {

NodeMeta node(const std::string& id, const std::string& name, const std::string& file) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = "Function";
    m.name = name;
    m.file_path = file;
    return m;
}

// The invariants every sequence of upserts and removals keeps.
void expect_consistent(const MetadataEngine& r) {
    std::size_t listed = 0;
    for (const auto& [key, handles] : r.name_index.entries()) {
        const IdsView ids = r.name_index.view(handles);
        EXPECT_FALSE(ids.empty()) << key;
        for (const auto& id : ids) {
            ASSERT_TRUE(r.nodes.contains(id));
            EXPECT_EQ(to_lower(r.nodes.at(id).name), key);
        }
        listed += ids.size();
    }
    EXPECT_EQ(listed, r.nodes.size());
    for (const auto& [id, meta] : r.nodes) {
        auto h = r.identities.find(id);
        ASSERT_TRUE(h);
        ASSERT_NE(r.identities.hash(*h), nullptr);
        const std::string* back = r.identities.id_of_hash(*r.identities.hash(*h));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(*back, id);
    }
}

}  // namespace

TEST(NodeTable, UpsertMaintainsIndexes) {
    MetadataEngine r;
    detail::upsert_node(r, node("m.py:f", "F", "m.py"));
    detail::upsert_node(r, node("m.py:g", "PARSE", "m.py"));
    detail::upsert_node(r, node("n.py:h", "Parse", ""));
    EXPECT_EQ(r.name_index.find("parse")->to_list(), (IdList{"m.py:g", "n.py:h"}));
    EXPECT_EQ(r.file_index.find("m.py")->to_list(), (IdList{"m.py:f", "m.py:g"}));
    ASSERT_TRUE(r.identities.find("m.py:f"));
    EXPECT_EQ(r.identities.hash_text(*r.identities.find("m.py:f")), node_hash_hex("m.py:f"));

    // Renaming moves the id to the new key and drops the emptied old one.
    detail::upsert_node(r, node("m.py:f", "other", "m.py"));
    EXPECT_FALSE(r.name_index.contains("f"));
    // Re-adding under the same name moves it to the end of that list.
    detail::upsert_node(r, node("m.py:g", "parse", "m.py"));
    EXPECT_EQ(r.name_index.find("parse")->to_list(), (IdList{"n.py:h", "m.py:g"}));
    EXPECT_EQ(r.file_index.find("m.py")->to_list(), (IdList{"m.py:f", "m.py:g"}));
    expect_consistent(r);
}

TEST(NodeTable, LinesCountWrapsToZeroForReversedRange) {
    MetadataEngine r;
    NodeMeta m = node("a", "a", "");
    m.lines_start = 10;
    m.lines_end = 12;
    detail::upsert_node(r, m);
    EXPECT_EQ(r.nodes.at("a").lines_count, 3u);
    m.lines_start = 12;
    m.lines_end = 10;
    detail::upsert_node(r, m);
    EXPECT_EQ(r.nodes.at("a").lines_count, 0u);
    m.lines_end.reset();
    detail::upsert_node(r, m);
    EXPECT_FALSE(r.nodes.at("a").lines_count);
    m.lines_start = 0;
    m.lines_end = 0xFFFFFFFFu;  // the full range: the count is 2^32 modulo 2^32
    detail::upsert_node(r, m);
    EXPECT_EQ(r.nodes.at("a").lines_count, 0u);
}

TEST(NodeTable, RemoveFileDropsNodesHashesAndEdges) {
    EngineState s;
    detail::upsert_node(s.record, node("a.py:f", "f", "a.py"));
    detail::upsert_node(s.record, node("a.py:g", "f", "a.py"));
    detail::upsert_node(s.record, node("b.py:h", "h", "b.py"));
    ASSERT_TRUE(add_typed_edge(s, "b.py:h", "a.py:f", EdgeKind::Execution));
    ASSERT_TRUE(add_typed_edge(s, "a.py:g", "b.py:h", EdgeKind::Structural));
    ASSERT_TRUE(add_typed_edge(s, "b.py:h", "b.py:h", EdgeKind::ResolvedCall));
    EXPECT_EQ(invalidate_file(s, "a.py"), 2u);
    EXPECT_EQ(invalidate_file(s, "a.py"), 0u);
    EXPECT_TRUE(s.record.execution_edges.empty());
    EXPECT_TRUE(s.record.structural_edges.empty());
    EXPECT_EQ(s.record.resolved_call_edges.size(), 1u);
    EXPECT_FALSE(s.record.name_index.contains("f"));
    EXPECT_EQ(s.record.identities.id_of_hash(blake3_digest("a.py:f")), nullptr);
    expect_consistent(s.record);
    // The builders lost the removed nodes' edges but kept the self-loop of h.
    auto g = s.call_builder.compile();
    auto h = decode_hex32(node_hash_hex("b.py:h"));
    EXPECT_EQ(g.successors(*h)->size(), 1u);
}

TEST(Edges, UnknownIdsAreSilentAndBadStoredHashFails) {
    EngineState s;
    detail::upsert_node(s.record, node("x", "x", ""));
    EXPECT_TRUE(add_typed_edge(s, "x", "never", EdgeKind::Execution));
    EXPECT_TRUE(add_typed_edge(s, "never", "x", EdgeKind::Execution));
    EXPECT_TRUE(s.record.execution_edges.empty());
    EXPECT_EQ(s.dependency_builder.node_count(), 0u);
    s.record.identities.restore_hash("y", "zz");
    Status st = add_typed_edge(s, "x", "y", EdgeKind::Execution);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message, "Invalid hash");
    EXPECT_TRUE(s.record.execution_edges.empty());
}

TEST(Edges, RepopulateFeedsStructuralFirstAndOnlyToDependencyBuilder) {
    EngineState s;
    for (auto id : {"a", "b", "c"}) detail::upsert_node(s.record, node(id, id, ""));
    ASSERT_TRUE(add_typed_edge(s, "a", "c", EdgeKind::ResolvedCall));
    ASSERT_TRUE(add_typed_edge(s, "a", "b", EdgeKind::Structural));
    ASSERT_TRUE(repopulate_builders(s));
    auto dep = s.dependency_builder.compile();
    auto call = s.call_builder.compile();
    auto a = *decode_hex32(node_hash_hex("a"));
    auto b = *decode_hex32(node_hash_hex("b"));
    auto c = *decode_hex32(node_hash_hex("c"));
    EXPECT_EQ(*dep.successors(a), (std::vector<Hash32>{b, c}));
    EXPECT_EQ(*call.successors(a), (std::vector<Hash32>{c}));
}

