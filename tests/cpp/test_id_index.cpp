#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "metadata/engine/id_index.hpp"
#include "util/hash.hpp"

using namespace corvane;

namespace {

// The same operations on an index and on plain lists of id strings.
struct Both {
    IdentityTable ids;
    IdIndex index{ids};
    StringMap<IdList> plain;

    void add(const std::string& key, const std::string& id) {
        index.add(key, id);
        plain[key].push_back(id);
    }
    void remove(const std::string& key, const std::string& id) {
        index.remove(key, id);
        auto it = plain.find(key);
        if (it == plain.end()) return;
        std::erase(it->second, id);
        if (it->second.empty()) plain.erase(it);
    }
    void take(const std::string& key) {
        auto got = index.take(key);
        auto it = plain.find(key);
        ASSERT_EQ(got.has_value(), it != plain.end());
        if (!got) return;
        EXPECT_EQ(*got, it->second);
        plain.erase(it);
    }
    void expect_same() const {
        ASSERT_EQ(index.size(), plain.size());
        for (const auto& [key, list] : plain) {
            auto found = index.find(key);
            ASSERT_TRUE(found) << key;
            EXPECT_EQ(found->to_list(), list) << key;
        }
    }
};

}  // namespace

TEST(IdIndex, AgreesWithListsOfIdStringsAndFreesWhatNobodyHolds) {
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        Both b;
        auto key = [&] { return "k" + std::to_string(rng() % 6); };
        auto id = [&] { return "m.py:f" + std::to_string(rng() % 9); };
        for (int step = 0; step < 200; ++step) {
            switch (rng() % 5) {
                case 0:
                case 1: b.add(key(), id()); break;
                case 2:
                case 3: b.remove(key(), id()); break;
                default: b.take(key());
            }
            if (rng() % 7 == 0) b.ids.assign_own_hash(id());  // some ids become nodes
        }
        b.expect_same();
        // An id no list names and no node has is gone from the table.
        for (int i = 0; i < 9; ++i) {
            const std::string x = "m.py:f" + std::to_string(i);
            bool listed = false;
            for (const auto& [k, list] : b.plain) listed = listed || std::find(list.begin(), list.end(), x) != list.end();
            if (!listed && !b.ids.has_hash(x)) EXPECT_FALSE(b.ids.find_held(x)) << x;
            if (listed) EXPECT_TRUE(b.ids.find_held(x)) << x;
        }
        b.index.clear();
        for (int i = 0; i < 9; ++i) {
            const std::string x = "m.py:f" + std::to_string(i);
            if (!b.ids.has_hash(x)) EXPECT_FALSE(b.ids.find_held(x)) << x;
        }
    }
}

TEST(IdIndex, ComparesByIdTextAndAssignReplaces) {
    IdentityTable ta, tb;
    IdIndex a(ta), b(tb);
    tb.hold("unrelated");  // b's handles are numbered differently
    a.add("f", "x.py:f");
    a.add("f", "y.py:f");
    b.assign("f", {"x.py:f", "y.py:f"});
    EXPECT_TRUE(a == b);
    b.assign("f", {"y.py:f", "x.py:f"});  // the order of a list counts
    EXPECT_FALSE(a == b);
    b.assign("f", {"x.py:f"});
    EXPECT_FALSE(tb.find_held("y.py:f"));  // the replaced list's holds went with it
    b.add("f", "y.py:f");
    EXPECT_TRUE(a == b);
    b.add("g", "y.py:f");
    EXPECT_FALSE(a == b);
}
