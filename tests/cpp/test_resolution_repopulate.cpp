// Django relations, repopulation, and the cached pass against per-call resolution.
#include <gtest/gtest.h>

#include <random>

#include "metadata/engine/django_relations.hpp"
#include "metadata/engine/edges.hpp"
#include "metadata/engine/mutations.hpp"
#include "test_resolution_fixture.hpp"

using namespace corvane;
using namespace corvane::testing;
using nlohmann::json;

namespace {

std::uint32_t django(Project& p, const std::string& id, const std::string& text) {
    auto r = resolve_django_relations(p.state, id, text);
    EXPECT_TRUE(r.ok());
    return r.ok() ? *r : 0;
}

std::size_t builder_edges(const graph::GraphBuilder& b) {
    std::size_t n = 0;
    for (const auto& out : b.outgoing()) n += out.size();
    return n;
}

}  // namespace

TEST(ResolutionDjango, MalformedInputGivesZero) {
    Project p;
    p.cls("shop/models.py:Order");
    p.cls("shop/models.py:Item");
    for (const char* text : {"[]", "{}", "not json", "", R"([1, "Order", {"model": "Order"}])",
                             R"([{"related_model": 5}, {"related_model": null}])", R"({"related_model": "Order"})"}) {
        EXPECT_EQ(django(p, "shop/models.py:Item", text), 0u) << text;
    }
    EXPECT_TRUE(p.r.structural_edges.empty());
}

TEST(ResolutionDjango, ConnectsEveryClassOfTheNameAndCountsRepeats) {
    Project p;
    p.cls("shop/models.py:Order");
    p.cls("legacy/models.py:ORDER");
    p.fn("shop/views.py:order");  // not a class
    p.cls("shop/models.py:Item");
    EXPECT_EQ(django(p, "shop/models.py:Item", R"([{"related_model": "shop.Order", "type": "fk"}])"), 2u);
    EXPECT_TRUE(p.r.structural_edges.contains({"shop/models.py:Item", "shop/models.py:Order"}));
    EXPECT_TRUE(p.r.structural_edges.contains({"shop/models.py:Item", "legacy/models.py:ORDER"}));
    EXPECT_EQ(p.r.structural_edges.size(), 2u);
    // Structural edges feed only the dependency builder.
    EXPECT_EQ(builder_edges(p.state.dependency_builder), 2u);
    EXPECT_EQ(builder_edges(p.state.call_builder), 0u);
    // Listed twice counts twice; a self reference is neither stored nor counted.
    EXPECT_EQ(django(p, "shop/models.py:Item", R"([{"related_model": "Item"}, {"related_model": "Order"},
                                                  {"related_model": "Order"}])"),
              4u);
    EXPECT_EQ(p.r.structural_edges.size(), 2u);
    // Even a module-looking caller id gets no preference among models.
    p.cls("src/modules/a/m.py:Order");
    EXPECT_EQ(django(p, "src/modules/a/m.py:Order", R"([{"related_model": "Order"}])"), 2u);
    // An unknown declaring node still counts each successful (storing nothing) add.
    EXPECT_EQ(django(p, "ghost", R"([{"related_model": "Item"}])"), 1u);
    EXPECT_FALSE(p.r.structural_edges.contains({"ghost", "shop/models.py:Item"}));
}

TEST(ResolutionDjango, InvalidHashEndsTheOperation) {
    Project p;
    p.cls("a.py:A");
    p.cls("b.py:Target");
    p.r.identities.restore_hash("b.py:Target", "zz");
    auto r = resolve_django_relations(p.state, "a.py:A", R"([{"related_model": "Target"}])");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Invalid hash");
}

TEST(ResolutionRepopulate, RecomputesDerivedEdgesOnly) {
    Project p;
    p.fn("a.py:main").calls = std::vector<std::string>{"helper", "main", "missing"};
    p.fn("a.py:helper");
    p.fn("a.py:other");
    p.fn("a.py:idle").calls = std::vector<std::string>{};
    p.cls("m.py:Order");
    p.cls("m.py:Item").django_relations_json = R"([{"related_model": "Order"}])";
    ASSERT_TRUE(add_typed_edge(p.state, "a.py:other", "a.py:helper", EdgeKind::Execution).ok());
    // A resolved edge for a name not in main's calls: repopulation drops it.
    auto extra = resolve_and_connect_calls(p.state, "a.py:main", {"other"});
    ASSERT_TRUE(extra.ok());
    ASSERT_TRUE(p.r.resolved_call_edges.contains({"a.py:main", "a.py:other"}));

    ASSERT_TRUE(repopulate_edges(p.state).ok());
    EXPECT_EQ(p.r.resolved_call_edges, (PairSet{{"a.py:main", "a.py:helper"}}));
    EXPECT_EQ(p.r.execution_edges, (PairSet{{"a.py:other", "a.py:helper"}}));
    EXPECT_EQ(p.r.structural_edges, (PairSet{{"m.py:Item", "m.py:Order"}}));
    EXPECT_EQ(builder_edges(p.state.call_builder), 2u);
    EXPECT_EQ(builder_edges(p.state.dependency_builder), 3u);

    const MetadataEngine before = p.r;
    ASSERT_TRUE(repopulate_edges(p.state).ok());
    EXPECT_EQ(p.r, before);
    EXPECT_EQ(builder_edges(p.state.dependency_builder), 3u);

    // A relation that no longer resolves keeps its old structural edge.
    p.r.nodes.at("m.py:Item").django_relations_json = "[]";
    ASSERT_TRUE(repopulate_edges(p.state).ok());
    EXPECT_TRUE(p.r.structural_edges.contains({"m.py:Item", "m.py:Order"}));
}

TEST(ResolutionRepopulate, InvalidHashIsReported) {
    Project p;
    p.fn("a.js:main").calls = std::vector<std::string>{"helper"};
    p.fn("a.js:helper");
    p.r.identities.restore_hash("a.js:helper", std::string(64, 'g'));
    auto s = repopulate_edges(p.state);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "Invalid hash");
}

namespace {

// Random code-shaped projects: a few files with classes (bases among each other, some cycles
// and malformed entries), methods and functions calling a mix of names, and module nodes with
// random import, receiver and shadowing data.
class RandomProject {
public:
    explicit RandomProject(unsigned seed) : rng_(seed) {}

    Project build() {
        Project p;
        const int files = pick(2, 5);
        for (int f = 0; f < files; ++f) file_names_.push_back(pick_of({"app/", "lib/", "src/modules/x/"}) + "m" +
                                                              std::to_string(f) + pick_of({".py", ".py", ".js"}));
        for (const auto& file : file_names_) {
            const int classes = pick(0, 4);
            for (int c = 0; c < classes; ++c) {
                std::string cls = file + ":" + word(class_words_);
                json bases = json::array();
                for (int b = pick(0, 2); b > 0; --b) bases.push_back(chance(10) ? json(3) : json(word(class_words_)));
                NodeMeta& node = p.add(cls, "Class", chance(15) ? std::string("{bad") : json{{"base_classes", bases}}.dump());
                if (chance(20)) node.django_relations_json = json::array({{{"related_model", "x." + word(class_words_)}}}).dump();
                for (int m = pick(0, 3); m > 0; --m) add_function(p, cls + "." + word(member_words_));
            }
            for (int fn = pick(1, 4); fn > 0; --fn) add_function(p, file + ":" + word(member_words_));
            if (chance(70)) p.module(file, module_json());
        }
        return p;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(int percent) { return pick(1, 100) <= percent; }
    std::string pick_of(std::initializer_list<const char*> xs) { return *(xs.begin() + pick(0, int(xs.size()) - 1)); }
    std::string word(const std::vector<std::string>& ws) { return ws[pick(0, int(ws.size()) - 1)]; }
    std::string file_module() {
        std::string f = file_names_[pick(0, int(file_names_.size()) - 1)];
        return chance(50) ? f : f.substr(0, f.size() - 3);
    }

    void add_function(Project& p, const std::string& id) {
        std::optional<std::string> extra;
        if (chance(10)) extra = R"({"decorators": ["@staticmethod"]})";
        NodeMeta& node = p.add(id, chance(90) ? "Function" : "Variable", extra);
        std::vector<std::string> calls;
        for (int c = pick(0, 6); c > 0; --c) calls.push_back(call_name());
        node.calls = calls;
    }

    std::string call_name() {
        switch (pick(0, 7)) {
            case 0: return word(member_words_);
            case 1: return "self." + word(member_words_);
            case 2: return "super." + word(member_words_);
            case 3: return word(class_words_);
            case 4: return word(alias_words_) + "." + word(member_words_);
            case 5: return word(alias_words_) + "." + word(class_words_) + "." + word(member_words_);
            case 6: return "self.repo." + word(member_words_);
            default: return " " + word(member_words_) + "\u00a0";
        }
    }

    json binding() {
        if (chance(40)) {
            json b{{"module", file_module()}, {"kind", "module"}};
            if (chance(30)) b["qualifier"] = word(alias_words_) + ".sub";
            return b;
        }
        if (chance(5)) return json{{"module", 1}};
        return json{{"module", file_module()}, {"symbol", chance(50) ? word(class_words_) : word(member_words_)},
                    {"kind", "symbol"}};
    }

    json module_json() {
        json imports = json::object(), receivers = json::object(), shadowed = json::object();
        for (std::string scope : {std::string(""), word(member_words_), word(class_words_) + "." + word(member_words_)}) {
            for (int i = pick(0, 3); i > 0; --i) {
                json v = chance(20) ? json::array({binding(), binding()}) : binding();
                imports[scope][chance(50) ? word(alias_words_) : word(member_words_)] = v;
            }
            if (chance(40)) receivers[scope]["self.repo"] = chance(90) ? json(word(class_words_)) : json(1);
            if (chance(30)) receivers[scope][word(alias_words_)] = word(class_words_);
            if (chance(30)) shadowed[scope] = json::array({word(member_words_), word(alias_words_)});
        }
        json m{{"python_receiver_types", receivers}, {"python_shadowed_names", shadowed}};
        if (chance(85)) m["python_import_bindings"] = imports;
        return m;
    }

    std::mt19937 rng_;
    std::vector<std::string> file_names_;
    const std::vector<std::string> class_words_{"Order", "Repo", "Base", "Model", "View"};
    const std::vector<std::string> member_words_{"save", "get", "run", "helper", "len", "render"};
    const std::vector<std::string> alias_words_{"m0", "m1", "np", "util"};
};

// The definition itself: every node resolved on its own, nothing shared between callers.
EngineState plain_repopulation(const EngineState& original) {
    EngineState s;
    s.record = original.record;
    s.record.resolved_call_edges.clear();
    EXPECT_TRUE(repopulate_builders(s).ok());
    for (const auto& [id, node] : original.record.nodes) {
        if (node.calls) EXPECT_TRUE(detail::connect_resolved_calls(s, id, resolve_calls(s.record, id, *node.calls)).ok());
        if (node.django_relations_json) EXPECT_TRUE(resolve_django_relations(s, id, *node.django_relations_json).ok());
    }
    return s;
}

}  // namespace

TEST(ResolutionCachedPass, AgreesWithPerCallResolutionOnRandomProjects) {
    std::size_t resolved = 0;
    for (unsigned seed = 1; seed <= 300; ++seed) {
        Project p = RandomProject(seed).build();
        CachedLookup shared(p.r);
        for (const auto& [id, node] : p.r.nodes) {
            if (!node.calls) continue;
            auto plain = resolve_calls(p.r, id, *node.calls);
            auto cached = resolve_calls(shared, id, *node.calls);
            ASSERT_EQ(plain, cached) << "seed " << seed << " caller " << id;
            resolved += plain.size();
        }
        EngineState oracle = plain_repopulation(p.state);
        ASSERT_TRUE(repopulate_edges(p.state).ok());
        ASSERT_EQ(p.r, oracle.record) << "seed " << seed;
        ASSERT_EQ(builder_edges(p.state.dependency_builder), builder_edges(oracle.dependency_builder));
        ASSERT_EQ(builder_edges(p.state.call_builder), builder_edges(oracle.call_builder));
    }
    // The generator must actually exercise resolution.
    EXPECT_GT(resolved, 300u);
}

namespace {

std::optional<std::string> find_in_module_plain(LookupSource& src, const std::string& module, const std::string& name,
                                                const TypeList& types) {
    std::vector<std::string> kept;
    for (auto& id : find_global_definitions(src, name, types)) {
        const NodeMeta& n = *src.node(id);
        if (id == n.file_path + ":" + name && module_path_matches(n.file_path, module)) kept.push_back(id);
    }
    if (kept.size() == 1) return kept.front();
    return std::nullopt;
}

}  // namespace

TEST(ResolutionCachedPass, ModuleAndGlobalLookupsAgreeWithTheirDefinitions) {
    const std::vector<std::string> names{"Order", "order", "ORDER", "Repo", "Base", "save", "get", "run", "helper", "len"};
    const std::vector<TypeList> type_lists{{"Function", "Class"}, {"Class"}, {"Function"}};
    std::size_t found = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
        Project p = RandomProject(seed).build();
        // Duplicate top-level definitions in look-alike files make ambiguity common.
        p.fn("x/app/m0.py:run");
        p.fn("y/app/m0.py:run");
        p.cls("lib/m1/__init__.py:Order");
        std::vector<std::string> modules{"", "/", "m0", "app/m0", "app/m0.py", "m1", "lib/m1", "lib\\m1.py", "x/app/m0"};
        for (const auto& [id, node] : p.r.nodes) modules.push_back(node.file_path);
        DirectLookup src(p.r);
        for (const auto& types : type_lists) {
            for (const auto& name : names) {
                auto all = find_global_definitions(src, name, types);
                auto unique = unique_global_definition(src, name, types);
                ASSERT_EQ(unique, all.size() == 1 ? std::optional<std::string>(all.front()) : std::nullopt) << name;
                for (const auto& module : modules) {
                    auto fast = find_in_module(src, module, name, types);
                    ASSERT_EQ(fast, find_in_module_plain(src, module, name, types)) << module << " " << name;
                    found += fast.has_value();
                }
            }
        }
    }
    EXPECT_GT(found, 100u);
}
