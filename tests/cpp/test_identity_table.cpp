#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "metadata/engine/identity_table.hpp"
#include "util/hex.hpp"
#include "util/node_hash.hpp"

using namespace corvane;

namespace {

using TextMap = std::map<std::string, std::string>;

TextMap hashes_of(const IdentityTable& t) {
    TextMap out;
    t.for_each_hash([&](std::string_view id, std::string_view text) {
        EXPECT_TRUE(out.emplace(std::string(id), std::string(text)).second) << id;
    });
    return out;
}

TextMap back_mappings_of(const IdentityTable& t) {
    TextMap out;
    t.for_each_back_mapping([&](std::string_view text, std::string_view id) {
        EXPECT_TRUE(out.emplace(std::string(text), std::string(id)).second) << text;
    });
    return out;
}

// The two maps the engine record used to hold, with the operations it applied to them.
struct PlainIdentities {
    TextMap id_to_hash;
    TextMap hash_to_id;

    void assign_own_hash(const std::string& id) {
        const std::string hash = node_hash_hex(id);
        hash_to_id[hash] = id;
        id_to_hash[id] = hash;
    }
    void remove(const std::string& id) {
        auto it = id_to_hash.find(id);
        if (it == id_to_hash.end()) return;
        hash_to_id.erase(it->second);
        id_to_hash.erase(it);
    }
};

// Everything a caller can ask, against the plain maps.
void expect_same(const IdentityTable& t, const PlainIdentities& plain, const std::vector<std::string>& ids) {
    ASSERT_EQ(hashes_of(t), plain.id_to_hash);
    ASSERT_EQ(back_mappings_of(t), plain.hash_to_id);
    EXPECT_EQ(t.hash_count(), plain.id_to_hash.size());
    EXPECT_EQ(t.back_mapping_count(), plain.hash_to_id.size());
    for (const auto& id : ids) {
        auto it = plain.id_to_hash.find(id);
        auto h = t.find(id);
        ASSERT_EQ(h.has_value(), it != plain.id_to_hash.end()) << id;
        if (!h) continue;
        EXPECT_EQ(t.id(*h), id);
        EXPECT_EQ(t.hash_text(*h), it->second);
        auto decoded = decode_hex32(it->second);
        ASSERT_EQ(t.hash(*h) != nullptr, decoded.has_value()) << id;
        if (!decoded) continue;
        EXPECT_EQ(*t.hash(*h), *decoded);
        // What a graph node with this hash answers: the back-mapping of its lowercase text.
        auto back = plain.hash_to_id.find(encode_hex32(*decoded));
        const std::string* got = t.id_of_hash(*decoded);
        ASSERT_EQ(got != nullptr, back != plain.hash_to_id.end()) << id;
        if (got) EXPECT_EQ(*got, back->second);
    }
    bool plain_all_own = plain.id_to_hash.size() == plain.hash_to_id.size();
    for (const auto& [id, hash] : plain.id_to_hash) {
        auto back = plain.hash_to_id.find(hash);
        plain_all_own = plain_all_own && hash == node_hash_hex(id) && back != plain.hash_to_id.end() && back->second == id;
    }
    EXPECT_EQ(t.all_own(), plain_all_own);
    bool plain_maps_back = true;
    for (const auto& [id, hash] : plain.id_to_hash) {
        auto decoded = decode_hex32(hash);
        if (!decoded) continue;
        auto back = plain.hash_to_id.find(encode_hex32(*decoded));
        plain_maps_back = plain_maps_back && back != plain.hash_to_id.end() && back->second == id;
    }
    EXPECT_EQ(t.hashes_map_back(), plain_maps_back);
}

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

}  // namespace

TEST(IdentityTable, OwnHashesMapBothWaysAndHandlesAreReused) {
    IdentityTable t;
    t.assign_own_hash("m.py:f");
    t.assign_own_hash("m.py:g");
    auto f = t.find("m.py:f");
    ASSERT_TRUE(f);
    EXPECT_EQ(*t.hash(*f), blake3_digest("m.py:f"));
    EXPECT_EQ(t.hash_text(*f), node_hash_hex("m.py:f"));
    EXPECT_EQ(*t.id_of_hash(blake3_digest("m.py:g")), "m.py:g");
    EXPECT_TRUE(t.all_own());

    // Upserting an unchanged id changes nothing a compiled graph relies on.
    const auto before = t.generation();
    t.assign_own_hash("m.py:f");
    EXPECT_EQ(t.generation(), before);

    t.remove("m.py:f");
    EXPECT_FALSE(t.find("m.py:f"));
    EXPECT_EQ(t.id_of_hash(blake3_digest("m.py:f")), nullptr);
    EXPECT_NE(t.generation(), before);
    t.assign_own_hash("n.py:h");
    EXPECT_EQ(*t.find("n.py:h"), *f);  // the freed handle
    EXPECT_EQ(t.handle_bound(), 2u);

    // A copy holds its own ids: it must not pass for the table compiled graphs point into.
    IdentityTable copy = t;
    EXPECT_EQ(copy, t);
    EXPECT_NE(copy.generation(), t.generation());
}

// A copy answers by its own ids once the table it was copied from is gone or changed: the
// lookups must not be keyed by the source's strings.
TEST(IdentityTable, ACopyOutlivesItsSource) {
    std::vector<std::string> ids;
    for (int i = 0; i < 200; ++i) ids.push_back("pkg/module_with_a_long_name.py:function_" + std::to_string(i));
    IdentityTable copy, assigned;
    {
        auto source = std::make_unique<IdentityTable>();
        for (const auto& id : ids) source->assign_own_hash(id);
        source->remove(ids[7]);
        copy = IdentityTable(*source);
        assigned = *source;
        for (const auto& id : ids) source->remove(id);  // frees the source's strings' handles
        source->assign_own_hash("other.py:x");
    }
    for (const IdentityTable* t : {&copy, &assigned}) {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            auto h = t->find(ids[i]);
            ASSERT_EQ(h.has_value(), i != 7) << ids[i];
            if (h) EXPECT_EQ(t->hash_text(*h), node_hash_hex(ids[i]));
        }
        EXPECT_FALSE(t->find("other.py:x"));
    }
    IdentityTable moved = std::move(copy);
    EXPECT_TRUE(moved.find(ids[0]));
    EXPECT_EQ(moved, assigned);
}

// What a restored snapshot may hold, each case beside the answer the two maps gave.
TEST(IdentityTable, RestoredOdditiesAnswerAsTheStoredMapsDid) {
    IdentityTable t;
    const std::string own_a = node_hash_hex("a"), own_b = node_hash_hex("b");
    t.restore_hash("a", own_b);                 // another id's hash
    t.restore_hash("b", own_b);
    t.restore_hash("c", upper(node_hash_hex("c")));  // upper case: decodes, written back as stored
    t.restore_hash("d", "zz");                  // does not decode
    t.restore_back_mapping(own_b, "b");
    t.restore_back_mapping(own_a, "ghost");     // names an id with no stored hash
    t.restore_back_mapping(upper(node_hash_hex("c")), "c");  // a key no lookup can reach
    EXPECT_FALSE(t.all_own());

    EXPECT_EQ(*t.hash(*t.find("a")), blake3_digest("b"));
    EXPECT_EQ(t.hash_text(*t.find("c")), upper(node_hash_hex("c")));
    EXPECT_EQ(*t.hash(*t.find("c")), blake3_digest("c"));
    EXPECT_EQ(t.hash(*t.find("d")), nullptr);
    EXPECT_EQ(t.hash_text(*t.find("d")), "zz");
    EXPECT_FALSE(t.find("ghost"));
    EXPECT_EQ(*t.id_of_hash(blake3_digest("a")), "ghost");
    EXPECT_EQ(t.id_of_hash(blake3_digest("c")), nullptr);
    EXPECT_EQ(back_mappings_of(t),
              (TextMap{{own_b, "b"}, {own_a, "ghost"}, {upper(node_hash_hex("c")), "c"}}));

    // Removing "a" drops the back-mapping keyed by its stored text, which names "b".
    t.remove("a");
    EXPECT_EQ(t.id_of_hash(blake3_digest("b")), nullptr);
    EXPECT_TRUE(t.find("b"));
    // Removing "c" drops the upper-case key; "ghost" keeps its back-mapping until its key goes.
    t.remove("c");
    EXPECT_EQ(back_mappings_of(t), (TextMap{{own_a, "ghost"}}));
    // Upserting gives the id its own hash again.
    t.assign_own_hash("d");
    EXPECT_EQ(t.hash_text(*t.find("d")), node_hash_hex("d"));
}

// Random operations over a few ids and texts, the table against the two plain maps.
TEST(IdentityTable, AgreesWithThePlainMapsOnRandomOperations) {
    const std::vector<std::string> ids = {"a", "b", "c", "d", "m.py:f", "m.py:g", ""};
    std::vector<std::string> texts = {"zz", "", std::string(64, 'g'), std::string(63, '0')};
    for (const auto& id : ids) {
        texts.push_back(node_hash_hex(id));
        texts.push_back(upper(node_hash_hex(id)));
    }
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        IdentityTable t;
        PlainIdentities plain;
        for (int step = 0; step < 60; ++step) {
            const std::string& id = ids[rng() % ids.size()];
            const std::string& text = texts[rng() % texts.size()];
            switch (rng() % 4) {
                case 0: t.assign_own_hash(id), plain.assign_own_hash(id); break;
                case 1: t.remove(id), plain.remove(id); break;
                case 2: t.restore_hash(id, text), plain.id_to_hash[id] = text; break;
                default: t.restore_back_mapping(text, id), plain.hash_to_id[text] = id; break;
            }
            expect_same(t, plain, ids);
            if (HasFatalFailure() || HasFailure()) {
                ADD_FAILURE() << "seed " << seed << " step " << step;
                return;
            }
        }
        IdentityTable copy;
        for (const auto& [id, text] : plain.id_to_hash) copy.restore_hash(id, text);
        for (const auto& [text, id] : plain.hash_to_id) copy.restore_back_mapping(text, id);
        EXPECT_EQ(copy, t) << "seed " << seed;
    }
}
