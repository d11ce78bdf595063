// Search through the index of distinct names against the plain scan of every node, over
// random tables and edits: the same hits, exact ones first.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

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

bool file_like(const SearchHit& h) { return h.type == "File" || h.type == "Folder"; }

// The hit's own reason to be exact, from its fields.
bool exact_hit(const SearchHit& h, const std::string& k) {
    if (to_lower(h.name) == k) return true;
    if (!file_like(h)) return false;
    auto sep = h.file.find_last_of("/\\");
    std::string base = sep == std::string::npos ? h.file : h.file.substr(sep + 1);
    return to_lower(base) == k || to_lower(base.substr(0, base.find('.'))) == k;
}

// Ids of the exact group and of the partial group, each sorted; fails when the groups mix.
std::pair<std::vector<std::string>, std::vector<std::string>> groups(const std::vector<SearchHit>& hits,
                                                                     const std::string& keyword) {
    const std::string k = to_lower(keyword);
    std::vector<std::string> exact, partial;
    for (const auto& h : hits) {
        if (exact_hit(h, k)) {
            EXPECT_TRUE(partial.empty()) << "an exact hit after a partial one";
            exact.push_back(h.id);
        } else {
            partial.push_back(h.id);
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
        for (int step = 0; step < 120; ++step) {
            switch (rng() % 6) {
                case 0: (void)invalidate_file(s, pick(rng, kPaths)); break;
                case 1:  // a change made to the record directly, then the index rebuilt
                    upsert_node(s.record, random_node(rng));
                    rebuild_search_index(s);
                    break;
                default: upsert_node(s, random_node(rng)); break;
            }
            const std::string keyword = pick(rng, kKeywords);
            const auto plain = search(s.record, keyword);
            const auto indexed = search(s, keyword);
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
    for (int i = 0; i < 20000; ++i) {
        m.name = "name" + std::to_string(i);
        upsert_node(s, m);
    }
    EXPECT_EQ(search(s, "name5000").size(), 0u);
    EXPECT_EQ(search(s, "name19999").size(), 1u);
    EXPECT_LT(s.search_index.indexed.size(), 2 * s.record.name_index.size() + 4097);
    (void)invalidate_file(s, "a.py");
    EXPECT_TRUE(search(s, "").empty());

    // A node added to the record directly changes its size: search scans instead.
    m.name = "direct";
    upsert_node(s.record, m);
    EXPECT_EQ(search(s, "dir").size(), 1u);
}
