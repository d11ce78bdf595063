// Search through the index of distinct names against the plain scan of every node, over
// random tables and edits: the same hits, exact ones first.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "metadata/engine/table_queries.hpp"
#include "util/lowercase.hpp"

using namespace corvane;

namespace {

const std::vector<std::string> kNames = {"run",  "Run",      "RUNNER", "parse",  "parser", "",     "a.b",
                                         "ΟΣ",   "οσ",       "x\0y",   "models", "get",    "get_x", "İx"};
const std::vector<std::string> kPaths = {"a.py",          "src/parse.py", "a\\b\\models.test.py", "",
                                         "pkg/Run.PY",    "dir/",         "x\0y/z.py",            "ΟΣ.py"};
const std::vector<std::string> kTypes = {"Function", "Class", "File", "Folder", "file", "Variable"};
const std::vector<std::string> kKeywords = {"",  "run", "RUN", "r",  "parse", "py",  ".",  "models", "test",
                                            "ος", "οσ", "x\0y", "\0", "get", "zzz", "i̇x", "/", "a.b"};

std::string pick(std::mt19937& rng, const std::vector<std::string>& v) { return v[rng() % v.size()]; }

bool file_like(const NodeMeta& m) { return m.node_type == "File" || m.node_type == "Folder"; }

// The node's own reason to be an exact match, from its fields.
bool exact_hit(const NodeMeta& m, const std::string& k) {
    if (to_lower(m.name) == k) return true;
    if (!file_like(m)) return false;
    auto sep = m.file_path.find_last_of("/\\");
    std::string base = sep == std::string::npos ? m.file_path : m.file_path.substr(sep + 1);
    return to_lower(base) == k || to_lower(base.substr(0, base.find('.'))) == k;
}

// Ids of the exact group and of the partial group, each sorted; fails when the groups mix.
std::pair<std::vector<std::string>, std::vector<std::string>> groups(const std::vector<const NodeMeta*>& matches,
                                                                     const std::string& keyword) {
    const std::string k = to_lower(keyword);
    std::vector<std::string> exact, partial;
    for (const NodeMeta* m : matches) {
        if (exact_hit(*m, k)) {
            EXPECT_TRUE(partial.empty()) << "an exact hit after a partial one";
            exact.push_back(m->node_id);
        } else {
            partial.push_back(m->node_id);
        }
    }
    std::sort(exact.begin(), exact.end());
    std::sort(partial.begin(), partial.end());
    return {exact, partial};
}

NodeMeta random_node(std::mt19937& rng) {
    NodeMeta m;
    m.node_id = "n" + std::to_string(rng() % 40);
    m.node_type = pick(rng, kTypes);
    m.name = pick(rng, kNames);
    m.file_path = pick(rng, kPaths);
    m.signature = "sig";
    return m;
}

}  // namespace

TEST(SearchIndex, AgreesWithThePlainScanAcrossEdits) {
    std::size_t hits_seen = 0;
    for (unsigned seed = 1; seed <= 150; ++seed) {
        std::mt19937 rng(seed);
        EngineState s;
        // Odd seeds ask for the index once and leave it to the changes to keep it up; even
        // ones ask before every search, as the binding does.
        const bool ask_each_time = seed % 2 == 0;
        ensure_search_index(s);
        for (int step = 0; step < 120; ++step) {
            switch (rng() % 8) {
                case 0: (void)invalidate_file(s, pick(rng, kPaths)); break;
                case 1:  // a change made to the record directly, then the index rebuilt
                    detail::upsert_node(s.record, random_node(rng));
                    rebuild_search_index(s);
                    break;
                // Changes behind the index's back, caught up by the next change through the
                // state: until then search must not trust the index.
                case 2: detail::upsert_node(s.record, random_node(rng)); break;
                case 3: (void)detail::remove_file(s.record, pick(rng, kPaths)); break;
                default: upsert_node(s, random_node(rng)); break;
            }
            const std::string keyword = pick(rng, kKeywords);
            if (ask_each_time) ensure_search_index(s);
            const auto plain = search_matches(s.record, keyword);
            const auto indexed = search_matches(s, keyword);
            ASSERT_EQ(plain.size(), indexed.size()) << "seed " << seed << " step " << step << " keyword " << keyword;
            EXPECT_EQ(groups(plain, keyword), groups(indexed, keyword)) << "seed " << seed << " step " << step;
            hits_seen += plain.size();
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(hits_seen, 10000u);
}

// Names that leave the table stay in the buffer until it is rebuilt; they must not show up,
// and renaming everything many times must not grow the buffer without bound.
TEST(SearchIndex, DepartedNamesFindNothingAndAreDropped) {
    EngineState s;
    NodeMeta m;
    m.node_id = "a.py:f";
    m.node_type = "Function";
    m.file_path = "a.py";
    ensure_search_index(s);
    for (int i = 0; i < 20000; ++i) {
        m.name = "name" + std::to_string(i);
        upsert_node(s, m);
    }
    EXPECT_EQ(search_matches(s, "name5000").size(), 0u);
    EXPECT_EQ(search_matches(s, "name19999").size(), 1u);
    EXPECT_LT(s.search_index.starts.size(), 2 * s.record.nodes.size() + 4097);
    (void)invalidate_file(s, "a.py");
    EXPECT_TRUE(search_matches(s, "").empty());

    // A node added to the record directly: search scans instead.
    m.name = "direct";
    detail::upsert_node(s.record, m);
    EXPECT_EQ(search_matches(s, "dir").size(), 1u);
}

// The index points into its record's node table. A file removed and another node added behind
// its back (the same number of nodes), or a copy of the whole state, must not make search
// follow those pointers; the next change through the state brings the index back.
TEST(SearchIndex, NeverTrustsPointersIntoAChangedOrOtherRecord) {
    auto node = [](std::string id, std::string name, std::string file) {
        NodeMeta m;
        m.node_id = std::move(id);
        m.node_type = "Function";
        m.name = std::move(name);
        m.file_path = std::move(file);
        m.docstring = std::string(200, 'd');  // on the heap: a stale read shows under a sanitizer
        return m;
    };
    EngineState s;
    ensure_search_index(s);
    upsert_node(s, node("a.py:run", "run", "a.py"));
    upsert_node(s, node("b.py:keep", "keep", "b.py"));
    (void)detail::remove_file(s.record, "a.py");
    detail::upsert_node(s.record, node("c.py:runner", "runner", "c.py"));
    ASSERT_EQ(s.record.nodes.size(), 2u);
    auto ids = [](const std::vector<const NodeMeta*>& matches) {
        std::vector<std::string> out;
        for (const NodeMeta* m : matches) out.push_back(m->node_id);
        std::sort(out.begin(), out.end());
        return out;
    };
    EXPECT_EQ(ids(search_matches(s, "run")), std::vector<std::string>{"c.py:runner"});

    upsert_node(s, node("d.py:rune", "rune", "d.py"));
    EXPECT_EQ(s.search_index.record, &s.record) << "the index is rebuilt by the next change through the state";
    EXPECT_EQ(ids(search_matches(s, "run")), (std::vector<std::string>{"c.py:runner", "d.py:rune"}));

    auto copy = std::make_unique<EngineState>(s);
    s = EngineState{};
    EXPECT_EQ(ids(search_matches(*copy, "run")), (std::vector<std::string>{"c.py:runner", "d.py:rune"}));
    rebuild_search_index(*copy);
    EXPECT_EQ(ids(search_matches(*copy, "run")), (std::vector<std::string>{"c.py:runner", "d.py:rune"}));
}

// Loading a table nobody searches leaves the index unbuilt; the first search's request
// builds it, changes keep it from then on, and a replaced record brings it back only if it
// was asked for.
TEST(SearchIndex, BuiltWhenFirstAskedForAndKeptFromThenOn) {
    EngineState s;
    NodeMeta m;
    m.node_type = "Function";
    m.file_path = "a.py";
    for (int i = 0; i < 100; ++i) {
        m.node_id = "a.py:f" + std::to_string(i);
        m.name = "f" + std::to_string(i);
        upsert_node(s, m);
    }
    EXPECT_FALSE(search_index_current(s));
    EXPECT_TRUE(s.search_index.names.empty()) << "built before anyone searched";
    EXPECT_EQ(search_matches(s, "f42").size(), 1u) << "the plain scan answers meanwhile";
    MetadataEngine restored = s.record;
    ASSERT_TRUE(adopt_record(s, restored).ok());
    EXPECT_FALSE(search_index_current(s));

    ensure_search_index(s);
    EXPECT_TRUE(search_index_current(s));
    m.node_id = "b.py:g";
    m.name = "f42";
    m.file_path = "b.py";
    upsert_node(s, m);
    EXPECT_TRUE(search_index_current(s)) << "a change after the first search keeps the index up";
    EXPECT_EQ(search_matches(s, "F42").size(), 2u);
    (void)invalidate_file(s, "a.py");
    EXPECT_TRUE(search_index_current(s));
    EXPECT_EQ(search_matches(s, "f").size(), 1u);
    ASSERT_TRUE(adopt_record(s, restored).ok());
    EXPECT_TRUE(search_index_current(s)) << "a restored record is indexed again once asked for";
    EXPECT_EQ(search_matches(s, "f42").size(), 1u);
}

// The copied hits carry every field of their node, survive a move of the hit list and the
// end of the table they came from, and keep absent fields absent.
TEST(SearchHits, CopyEveryFieldAndOutliveTheTable) {
    std::mt19937 rng(11);
    std::vector<NodeMeta> expected;
    SearchHits moved;
    {
        EngineState s;
        for (int i = 0; i < 300; ++i) {
            NodeMeta m = random_node(rng);
            m.node_id = "id" + std::to_string(i) + std::string(rng() % 40, 'x');
            auto maybe = [&](std::string text) { return rng() % 3 == 0 ? std::nullopt : std::optional(text); };
            auto list = [&]() -> std::optional<std::vector<std::string>> {
                if (rng() % 3 == 0) return std::nullopt;
                std::vector<std::string> items(rng() % 4);
                for (auto& item : items) item = std::string(rng() % 30, static_cast<char>('a' + rng() % 26));
                return items;
            };
            m.signature = maybe("(a, b=" + std::to_string(i) + ")");
            // Some texts larger than a block of the copy, so that it spans several.
            m.docstring = maybe(std::string(i % 40 == 0 ? 70000 + i : rng() % 50, 'd'));
            m.django_relations_json = maybe("[]");
            m.returns = list();
            m.calls = list();
            if (rng() % 2) m.lines_start = i;
            if (rng() % 2) m.lines_end = i + 3;
            upsert_node(s, m);
        }
        const auto matches = search_matches(s, "");
        for (const NodeMeta* m : matches) expected.push_back(*m);
        SearchHits hits(matches);
        moved = std::move(hits);
    }
    ASSERT_EQ(moved.size(), expected.size());
    auto text = [](const std::optional<std::string_view>& v) { return v ? std::optional<std::string>(*v) : std::nullopt; };
    auto list = [](const std::optional<std::span<const std::string_view>>& v) {
        return v ? std::optional<std::vector<std::string>>(std::vector<std::string>(v->begin(), v->end())) : std::nullopt;
    };
    for (std::size_t i = 0; i < moved.size(); ++i) {
        const SearchHit& h = moved[i];
        const NodeMeta& m = expected[i];
        EXPECT_EQ(h.id, m.node_id);
        EXPECT_EQ(h.type, m.node_type);
        EXPECT_EQ(h.name, m.name);
        EXPECT_EQ(h.file, m.file_path);
        EXPECT_EQ(text(h.signature), m.signature);
        EXPECT_EQ(text(h.docstring), m.docstring);
        EXPECT_EQ(text(h.django_relations_json), m.django_relations_json);
        EXPECT_EQ(list(h.returns), m.returns);
        EXPECT_EQ(list(h.calls), m.calls);
        EXPECT_EQ(h.lines_start, m.lines_start);
        EXPECT_EQ(h.lines_end, m.lines_end);
    }
}
