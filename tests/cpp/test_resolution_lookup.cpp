// Python symbol lookups, rule by rule.
#include <gtest/gtest.h>

#include <random>

#include "test_resolution_fixture.hpp"

using namespace corvane;
using namespace corvane::testing;
using nlohmann::json;

TEST(ResolutionModulePaths, NormalizeAndMatch) {
    EXPECT_EQ(normalize_module_path("pkg\\mod.py"), "pkg/mod");
    EXPECT_EQ(normalize_module_path("/pkg/mod/"), "pkg/mod");
    EXPECT_EQ(normalize_module_path("pkg/mod/__init__.py"), "pkg/mod");
    EXPECT_EQ(normalize_module_path("__init__"), "__init__");
    EXPECT_EQ(normalize_module_path(".py"), "");
    EXPECT_EQ(normalize_module_path("///"), "");
    EXPECT_FALSE(module_path_matches("app/pkg/mod.py", ""));
    EXPECT_FALSE(module_path_matches("app/pkg/mod.py", "/.py"));
    EXPECT_TRUE(module_path_matches("app/pkg/mod.py", "pkg/mod"));
    EXPECT_TRUE(module_path_matches("pkg/mod/__init__.py", "pkg\\mod"));
    // A suffix only matches at a path boundary.
    EXPECT_FALSE(module_path_matches("app/xpkg/mod.py", "pkg/mod"));
    EXPECT_FALSE(module_path_matches("mod.py", "pkg/mod"));
}

TEST(ResolutionBuiltins, ExactSetOf71) {
    for (const char* b : {"id", "len", "print", "super", "__import__", "staticmethod", "classmethod", "memoryview",
                          "aiter", "anext", "breakpoint", "frozenset"}) {
        EXPECT_TRUE(is_python_builtin(b)) << b;
    }
    for (const char* n : {"exit", "quit", "print_", "Len", "", "credits", "copyright"}) {
        EXPECT_FALSE(is_python_builtin(n)) << n;
    }
    EXPECT_TRUE(is_definition_type("Function"));
    EXPECT_TRUE(is_definition_type("Class"));
    EXPECT_FALSE(is_definition_type("function"));
    EXPECT_FALSE(is_definition_type("Module"));
}

TEST(ResolutionEnclosingClass, InnermostClassOfTheCallerFile) {
    Project p;
    p.cls("a.py:Outer");
    p.cls("a.py:Outer.Inner");
    p.fn("a.py:Outer.Inner.run");
    p.fn("a.py:Outer.Inner.run.local");
    p.fn("a.py:top");
    DirectLookup src(p.r);
    EXPECT_EQ(enclosing_class(src, CallerView(src, p.node("a.py:Outer.Inner.run"))), "a.py:Outer.Inner");
    EXPECT_EQ(enclosing_class(src, CallerView(src, p.node("a.py:Outer.Inner.run.local"))), "a.py:Outer.Inner");
    EXPECT_EQ(enclosing_class(src, CallerView(src, p.node("a.py:top"))), std::nullopt);
    EXPECT_EQ(enclosing_class(src, CallerView(src, p.node("a.py:Outer"))), std::nullopt);
}

TEST(ResolutionFindMethod, DepthFirstInDeclaredOrder) {
    Project p;
    p.cls("a.py:Root");
    p.fn("a.py:Root.save");
    p.cls("a.py:Left", {"Root"});
    p.cls("a.py:Right");
    p.fn("a.py:Right.save");
    p.cls("a.py:Child", {"Left", "Right"});
    p.fn("a.py:Child.run");
    DirectLookup src(p.r);
    StringSet visited;
    // Left's own base is searched before Right.
    EXPECT_EQ(find_method(src, "a.py:Child", "save", visited), "a.py:Root.save");
    visited.clear();
    EXPECT_EQ(find_method(src, "a.py:Child", "run", visited), "a.py:Child.run");
    visited.clear();
    EXPECT_EQ(find_method(src, "a.py:Child", "missing", visited), std::nullopt);
}

TEST(ResolutionFindMethod, CyclesEndAndNonStringBaseStopsTheLevel) {
    Project p;
    p.cls("a.py:A", {"B"});
    p.cls("a.py:B", {"A"});
    p.fn("a.py:A.run");
    p.add("a.py:Bad", "Class", R"({"base_classes": [1, "Good"]})");
    p.cls("a.py:Good");
    p.fn("a.py:Good.save");
    // The non-string base ends Mid's own search; Top goes on with its next base.
    p.add("a.py:Mid", "Class", R"({"base_classes": [null, "Good"]})");
    p.cls("a.py:Other");
    p.fn("a.py:Other.save");
    p.cls("a.py:Top", {"Mid", "Other"});
    DirectLookup src(p.r);
    StringSet visited;
    EXPECT_EQ(find_method(src, "a.py:A", "missing", visited), std::nullopt);
    visited.clear();
    EXPECT_EQ(find_method(src, "a.py:Bad", "save", visited), std::nullopt);
    visited.clear();
    EXPECT_EQ(find_method(src, "a.py:Top", "save", visited), "a.py:Other.save");
}

TEST(ResolutionFindMethod, LongBaseChainDoesNotExhaustTheStack) {
    Project p;
    const int depth = 60000;
    for (int i = 0; i < depth; ++i) p.cls("a.py:C" + std::to_string(i), {"C" + std::to_string(i + 1)});
    p.cls("a.py:C" + std::to_string(depth));
    p.fn("a.py:C" + std::to_string(depth) + ".deep");
    p.fn("a.py:C0.run");
    CachedLookup src(p.r);
    StringSet visited;
    EXPECT_EQ(find_method(src, "a.py:C0", "deep", visited),
              "a.py:C" + std::to_string(depth) + ".deep");
}

TEST(ResolutionGlobalDefinitions, CaseSensitiveSortedTypeFiltered) {
    Project p;
    p.cls("b.py:Foo");
    p.fn("a.py:Foo");
    p.fn("c.py:foo");
    p.add("d.py:Foo", "Variable");
    DirectLookup src(p.r);
    EXPECT_EQ(find_global_definitions(src, "Foo", {"Function", "Class"}), (std::vector<std::string>{"a.py:Foo", "b.py:Foo"}));
    EXPECT_EQ(find_global_definitions(src, "Foo", {"Class"}), (std::vector<std::string>{"b.py:Foo"}));
    EXPECT_TRUE(find_global_definitions(src, "Bar", {"Function"}).empty());
}

TEST(ResolutionFindInModule, TopLevelOnlyAndUnambiguous) {
    Project p;
    p.cls("app/m.py:C");
    p.fn("app/m.py:C.run");
    DirectLookup src(p.r);
    EXPECT_EQ(find_in_module(src, "app/m", "run", {"Function", "Class"}), std::nullopt);
    p.fn("x/app/m.py:run");
    DirectLookup src2(p.r);
    EXPECT_EQ(find_in_module(src2, "app/m", "run", {"Function", "Class"}), "x/app/m.py:run");
    p.fn("y/app/m.py:run");
    DirectLookup src3(p.r);
    EXPECT_EQ(find_in_module(src3, "app/m", "run", {"Function", "Class"}), std::nullopt);
    EXPECT_EQ(find_in_module(src3, "x/app/m.py", "run", {"Function"}), "x/app/m.py:run");
}

TEST(ResolutionBindingContext, ShapesAndPresence) {
    auto ctx = build_binding_context(R"({"python_import_bindings": 5, "python_shadowed_names": {"": ["a", 1]}})");
    EXPECT_TRUE(ctx.present);
    EXPECT_TRUE(ctx.import_bindings.empty());
    EXPECT_TRUE(ctx.shadowed_names.at("").contains("a"));
    // Without the import key nothing else counts.
    auto none = build_binding_context(R"({"python_shadowed_names": {"": ["a"]}})");
    EXPECT_FALSE(none.present);
    EXPECT_TRUE(none.shadowed_names.empty());
    for (const char* bad : {"", "not json", "[1,2]", "\"python_import_bindings\"", "{\"python_import_bindings\":"}) {
        EXPECT_FALSE(build_binding_context(std::string(bad)).present) << bad;
    }
    EXPECT_FALSE(build_binding_context(std::nullopt).present);
    // Nesting beyond the cap is unparsable text, not a crash.
    std::string deep = R"({"python_import_bindings": )" + std::string(200, '[') + std::string(200, ']') + "}";
    EXPECT_FALSE(build_binding_context(deep).present);

    auto conv = build_binding_context(json{{"python_import_bindings",
                                            {{"", {{"ok", symbol_import("m", "f")},
                                                   {"list", json::array({module_import("m"), symbol_import("n", "g")})},
                                                   {"bad_elem", json::array({module_import("m"), 3})},
                                                   {"no_kind", {{"module", "m"}}},
                                                   {"bad_symbol", {{"module", "m"}, {"kind", "x"}, {"symbol", 1}}}}}}}}
                                          .dump());
    const auto& top = conv.import_bindings.at("");
    EXPECT_EQ(top.at("ok").size(), 1u);
    EXPECT_EQ(top.at("list").size(), 2u);
    EXPECT_TRUE(top.at("bad_elem").empty());
    EXPECT_TRUE(top.at("no_kind").empty());
    EXPECT_TRUE(top.at("bad_symbol").empty());
}

TEST(ResolutionImportBinding, FunctionScopesInnermostThenModule) {
    Project p;
    p.cls("a.py:Svc");
    p.fn("a.py:Svc.handle");
    p.fn("a.py:Svc.handle.inner");
    p.fn("m.py:f");
    p.fn("n.py:f");
    p.module("a.py", {{"python_import_bindings",
                       {{"", {{"f", symbol_import("m.py", "f")}}},
                        {"Svc", {{"f", symbol_import("n.py", "f")}}},  // class scope: never consulted
                        {"Svc.handle", {{"g", symbol_import("n.py", "f")}}}}},
                      {"python_shadowed_names", {{"Svc.handle.inner", {"g"}}}}});
    DirectLookup src(p.r);
    auto ctx = src.binding_context("a.py");
    const CallerView handle(src, p.node("a.py:Svc.handle"));
    const CallerView inner(src, p.node("a.py:Svc.handle.inner"));
    auto f = lookup_import_binding(src, handle, "f", *ctx);
    ASSERT_TRUE(std::holds_alternative<ImportFound>(f));
    EXPECT_EQ(std::get<ImportFound>(f).bindings->front().module, "m.py");
    EXPECT_TRUE(std::holds_alternative<ImportFound>(lookup_import_binding(src, handle, "g", *ctx)));
    EXPECT_TRUE(std::holds_alternative<ImportShadowed>(lookup_import_binding(src, inner, "g", *ctx)));
    EXPECT_TRUE(std::holds_alternative<ImportNotFound>(lookup_import_binding(src, handle, "h", *ctx)));
    // A caller without a qualified name consults nothing, module level included.
    EXPECT_TRUE(std::holds_alternative<ImportNotFound>(lookup_import_binding(src, CallerView(src, p.node("a.py")), "f", *ctx)));
}

TEST(ResolutionThroughBindings, ModuleSymbolQualifierAndAmbiguity) {
    Project p;
    p.fn("pkg/mod.py:helper");
    p.cls("pkg/mod.py:Model");
    p.fn("pkg/mod.py:Model.save");
    p.fn("pkg/sub/leaf.py:go");
    p.fn("other.py:helper");
    DirectLookup src(p.r);
    using Parts = NameParts;
    std::vector<PythonImportBinding> mod{{"pkg/mod", std::nullopt, "module", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src, mod, Parts{"m", "helper"}), "pkg/mod.py:helper");
    EXPECT_EQ(resolve_through_bindings(src, mod, Parts{"m", "Model", "save"}), "pkg/mod.py:Model.save");
    // A missing method falls back to a top-level definition named like the last part.
    EXPECT_EQ(resolve_through_bindings(src, mod, Parts{"m", "Model", "helper"}), "pkg/mod.py:helper");
    EXPECT_EQ(resolve_through_bindings(src, mod, Parts{"m"}), std::nullopt);

    std::vector<PythonImportBinding> qual{{"pkg/mod", std::nullopt, "module", "np.linalg"}};
    EXPECT_EQ(resolve_through_bindings(src, qual, Parts{"np", "linalg", "helper"}), "pkg/mod.py:helper");
    EXPECT_EQ(resolve_through_bindings(src, qual, Parts{"np", "other", "helper"}), std::nullopt);
    EXPECT_EQ(resolve_through_bindings(src, qual, Parts{"np"}), std::nullopt);

    std::vector<PythonImportBinding> sym{{"pkg/mod", "Model", "symbol", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src, sym, Parts{"Model"}), "pkg/mod.py:Model");
    EXPECT_EQ(resolve_through_bindings(src, sym, Parts{"Model", "save"}), "pkg/mod.py:Model.save");
    // from pkg import sub; sub.leaf.go -> pkg/sub/... module lookup.
    std::vector<PythonImportBinding> pkg{{"pkg", "sub", "symbol", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src, pkg, Parts{"sub", "leaf", "go"}), std::nullopt);
    std::vector<PythonImportBinding> pkg2{{"pkg/sub", "leaf", "symbol", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src, pkg2, Parts{"leaf", "go"}), "pkg/sub/leaf.py:go");
    std::vector<PythonImportBinding> nosym{{"pkg/mod", std::nullopt, "symbol", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src, nosym, Parts{"helper"}), std::nullopt);

    // import pkg.mod as h and from other import h: two different definitions give nothing;
    // two bindings reaching the same definition give it.
    p.fn("other/h.py:helper");
    DirectLookup src2(p.r);
    std::vector<PythonImportBinding> clash{{"pkg/mod", std::nullopt, "module", "h"},
                                           {"other", "h", "symbol", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src2, {clash[1]}, Parts{"h", "helper"}), "other/h.py:helper");
    EXPECT_EQ(resolve_through_bindings(src2, clash, Parts{"h", "helper"}), std::nullopt);
    std::vector<PythonImportBinding> same{{"pkg/mod", std::nullopt, "module", "h"},
                                          {"pkg/mod", "helper", "symbol", std::nullopt}};
    EXPECT_EQ(resolve_through_bindings(src2, same, Parts{"h", "helper"}), "pkg/mod.py:helper");
}

TEST(ResolutionClassName, ImportsThenFileThenGlobal) {
    Project p;
    p.cls("lib.py:Base");
    p.cls("a.py:Local");
    p.fn("a.py:f");
    p.cls("z.py:Lonely");
    DirectLookup src(p.r);
    PythonBindingContext none;
    const CallerView f(src, p.node("a.py:f"));
    EXPECT_EQ(resolve_class_name(src, f, "Local", none), "a.py:Local");
    EXPECT_EQ(resolve_class_name(src, f, "x.Local", none), "a.py:Local");  // last part in this file
    EXPECT_EQ(resolve_class_name(src, f, "Lonely", none), "z.py:Lonely");  // unique global, no context
    PythonBindingContext present;
    present.present = true;
    EXPECT_EQ(resolve_class_name(src, f, "Lonely", present), std::nullopt);
    present.import_bindings[""]["B"] = {{"lib", "Base", "symbol", std::nullopt}};
    EXPECT_EQ(resolve_class_name(src, f, "B", present), "lib.py:Base");
    present.shadowed_names[""].insert("Local");
    EXPECT_EQ(resolve_class_name(src, f, "Local", present), std::nullopt);
}

namespace {

// JSON text of a module context or of a node's facts drawn at random: the keys and shapes
// resolution reads, mixed with values of the wrong type, keys given twice and other members,
// written out by hand so that an object may repeat a key.
class SideDataText {
public:
    explicit SideDataText(std::uint32_t seed) : rng_(seed) {}

    std::string facts() {
        static const std::vector<std::string> keys{"base_classes", "decorators", "other"};
        static const char* texts[] = {"@staticmethod", "staticmethod", "@@abc.staticmethod", "static", "@", "Base",
                                      "pkg.Base"};
        return object_of(
            [&] {
                return chance(5) ? any(2) : list_of([&] { return chance(4) ? any(1) : quoted(texts[pick(7)]); });
            },
            keys);
    }

    std::string document() {
        std::string out = "{";
        const int members = pick(5);
        for (int i = 0; i < members; ++i) {
            if (i) out += ',';
            static const char* top[] = {"python_import_bindings", "python_receiver_types", "python_shadowed_names",
                                        "other"};
            const int k = pick(4);
            out += quoted(top[k]) + ":";
            if (chance(8)) {
                out += any(2);
            } else if (k == 0) {
                out += object_of([&] { return object_of([&] { return bindings(); }, names_); }, scopes_);
            } else if (k == 1) {
                out += object_of([&] { return object_of([&] { return chance(4) ? any(1) : quoted(word()); }, exprs_); },
                                 scopes_);
            } else if (k == 2) {
                out += object_of([&] { return chance(6) ? any(1) : list_of([&] { return chance(4) ? any(1) : quoted(word()); }); },
                                 scopes_);
            } else {
                out += any(3);
            }
        }
        return out + "}";
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }
    bool chance(int one_in) { return pick(one_in) == 0; }
    static std::string quoted(const std::string& s) { return json(s).dump(); }
    std::string word() {
        static const char* words[] = {"m", "pkg/mod", "Svc", "f", "", "caf\u00e9", "a\\\"b"};
        return words[pick(7)];
    }

    // Keys drawn from a small set, so that they repeat.
    template <class F>
    std::string object_of(F value, const std::vector<std::string>& keys) {
        std::string out = "{";
        const int n = pick(4);
        for (int i = 0; i < n; ++i) {
            if (i) out += ',';
            out += quoted(keys[pick(static_cast<int>(keys.size()))]) + ":" + value();
        }
        return out + "}";
    }
    template <class F>
    std::string list_of(F value) {
        std::string out = "[";
        const int n = pick(4);
        for (int i = 0; i < n; ++i) {
            if (i) out += ',';
            out += value();
        }
        return out + "]";
    }

    std::string binding() {
        std::string out = "{";
        const int n = pick(6);
        for (int i = 0; i < n; ++i) {
            if (i) out += ',';
            static const char* fields[] = {"module", "kind", "symbol", "qualifier", "other"};
            out += quoted(fields[pick(5)]) + ":" + (chance(4) ? any(1) : quoted(word()));
        }
        return out + "}";
    }
    std::string bindings() {
        if (chance(6)) return any(1);
        if (chance(2)) return binding();
        return list_of([&] { return chance(8) ? any(1) : binding(); });
    }

    // Any value at all, nested up to depth.
    std::string any(int depth) {
        switch (pick(depth > 0 ? 8 : 6)) {
            case 0: return "null";
            case 1: return chance(2) ? "true" : "false";
            case 2: return "-12";
            case 3: return "1.5e3";
            case 4: return "18446744073709551615";
            case 5: return quoted(word());
            case 6: return list_of([&] { return any(depth - 1); });
            default: return object_of([&] { return any(depth - 1); }, exprs_);
        }
    }

    std::mt19937 rng_;
    std::vector<std::string> scopes_{"", "f", "Svc.run", "module"};
    std::vector<std::string> names_{"a", "b", "module"};
    std::vector<std::string> exprs_{"self.x", "svc", "kind"};
};

}  // namespace

// The module context read from the parser's events against the one read from the DOM: the
// same context for every document, and for the same documents damaged.
TEST(ResolutionBindingContext, EventReaderMatchesTheDom) {
    int present = 0;
    for (std::uint32_t seed = 0; seed < 3000; ++seed) {
        SideDataText gen(seed);
        std::string text = gen.document();
        if (seed % 13 == 6) text = "{\"python_import_bindings\":{}," + text.substr(1);
        if (seed % 7 == 3) text.resize(text.size() * (seed % 5) / 5);  // cut short
        if (seed % 11 == 5) text.insert(text.size() / 2, 1, '\0');      // a raw NUL
        const auto fast = build_binding_context(text);
        ASSERT_EQ(fast, build_binding_context_from_dom(text)) << text;
        present += fast.present;
    }
    EXPECT_GT(present, 600);  // many documents name the imports, and read them
}

TEST(ResolutionExtraFacts, EventReaderMatchesTheDom) {
    int bases = 0, static_methods = 0;
    for (std::uint32_t seed = 0; seed < 3000; ++seed) {
        std::string text = SideDataText(seed).facts();
        if (seed % 7 == 3) text.resize(text.size() * (seed % 5) / 5);
        if (seed % 11 == 5) text.insert(text.size() / 2, 1, '\0');
        const auto fast = build_extra_facts(text);
        ASSERT_EQ(fast, build_extra_facts_from_dom(text)) << text;
        bases += fast.base_classes.has_value();
        static_methods += fast.static_method;
    }
    EXPECT_GT(bases, 300);
    EXPECT_GT(static_methods, 200);
}
