// Call resolution and the connect step, rule by rule, then a realistic multi-file project.
#include <gtest/gtest.h>

#include <algorithm>

#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "test_resolution_fixture.hpp"

using namespace corvane;
using namespace corvane::testing;
using nlohmann::json;
using Ids = std::vector<std::string>;

TEST(ResolutionTrim, UnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space(" \t\n\v\f\rf\r\n"), "f");
    EXPECT_EQ(trim_white_space("\u00a0\u2003f.g\u3000\u2029\u0085"), "f.g");
    EXPECT_EQ(trim_white_space("\u1680\u202f\u205f"), "");
    // Zero-width space and BOM are not White_Space; inner blanks stay.
    EXPECT_EQ(trim_white_space("\u200bf"), "\u200bf");
    EXPECT_EQ(trim_white_space("\ufefff"), "\ufefff");
    EXPECT_EQ(trim_white_space(" a b "), "a b");
    // Malformed bytes are kept, never over-read.
    EXPECT_EQ(trim_white_space(std::string("\xe2\x80", 2)), std::string("\xe2\x80", 2));
    EXPECT_EQ(trim_white_space(std::string(" \x80 ")), "\x80");
    // A trailing U+00A0 is a two-byte sequence; a lone continuation byte before it is not part of it.
    EXPECT_EQ(trim_white_space(std::string("x\xa0")), "x\xa0");
}

TEST(ResolutionCalls, CallerAndNameBasics) {
    Project p;
    p.fn("app/a.py:run");
    p.fn("app/a.py:helper");
    EXPECT_TRUE(p.targets("app/a.py:nope", {"helper"}).empty());
    EXPECT_EQ(p.one("app/a.py:run", "  helper\t"), "app/a.py:helper");
    EXPECT_EQ(p.one("app/a.py:run", "\u00a0helper\u3000"), "app/a.py:helper");
    EXPECT_EQ(p.one("app/a.py:run", "   "), "");
    EXPECT_EQ(p.one("app/a.py:run", ""), "");
    // The caller's own name resolves to itself; connecting drops it.
    EXPECT_EQ(p.one("app/a.py:run", "run"), "app/a.py:run");
    auto n = resolve_and_connect_calls(p.state, "app/a.py:run", {"run"});
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 0u);
    EXPECT_TRUE(p.r.resolved_call_edges.empty());
    // Each target once per call for a Python caller.
    auto twice = resolve_and_connect_calls(p.state, "app/a.py:run", {"helper", "helper ", "helper"});
    ASSERT_TRUE(twice.ok());
    EXPECT_EQ(*twice, 1u);
    EXPECT_TRUE(p.r.resolved_call_edges.contains({"app/a.py:run", "app/a.py:helper"}));
    auto unknown = resolve_and_connect_calls(p.state, "app/a.py:ghost", {"helper"});
    ASSERT_TRUE(unknown.ok());
    EXPECT_EQ(*unknown, 0u);
}

TEST(ResolutionCalls, ClassScopesSkippedSelfFindsMethod) {
    Project p;
    p.cls("app/a.py:Svc");
    p.fn("app/a.py:Svc.handle");
    p.fn("app/a.py:Svc.compute");
    p.fn("app/a.py:Svc.handle.nested");
    p.module("app/a.py", {{"python_import_bindings", json::object()}});
    EXPECT_EQ(p.one("app/a.py:Svc.handle", "compute"), "");
    EXPECT_EQ(p.one("app/a.py:Svc.handle", "self.compute"), "app/a.py:Svc.compute");
    EXPECT_EQ(p.one("app/a.py:Svc.handle", "cls.compute"), "app/a.py:Svc.compute");
    // Function scopes are searched for nested definitions.
    EXPECT_EQ(p.one("app/a.py:Svc.handle", "nested"), "app/a.py:Svc.handle.nested");
    EXPECT_EQ(p.one("app/a.py:Svc.handle", "self.missing"), "");
}

TEST(ResolutionCalls, MethodCallingItsOwnNameBareWasLinkedToItself) {
    // Inside T._cmp a bare _cmp(...) is the module-level _cmp: class scopes do not enclose.
    Project p;
    p.cls("app/a.py:T");
    p.fn("app/a.py:T._cmp");
    p.fn("app/a.py:_cmp");
    p.fn("app/a.py:outer");
    p.fn("app/a.py:outer.inner");
    p.module("app/a.py", {{"python_import_bindings", json::object()}});
    EXPECT_EQ(p.one("app/a.py:T._cmp", "_cmp"), "app/a.py:_cmp");
    auto n = resolve_and_connect_calls(p.state, "app/a.py:T._cmp", {"_cmp"});
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 1u);
    // Functions, nested ones too, still recurse into themselves.
    EXPECT_EQ(p.one("app/a.py:_cmp", "_cmp"), "app/a.py:_cmp");
    EXPECT_EQ(p.one("app/a.py:outer.inner", "inner"), "app/a.py:outer.inner");
    // A method with no definition of its name elsewhere resolves to nothing.
    p.fn("app/a.py:T.lonely");
    EXPECT_EQ(p.one("app/a.py:T.lonely", "lonely"), "");
}

TEST(ResolutionCalls, StaticMethodTreatsSelfAsOrdinaryName) {
    Project p;
    p.cls("app/a.py:Svc");
    p.add("app/a.py:Svc.build", "Function", R"({"decorators": ["@@staticmethod"]})");
    p.add("app/a.py:Svc.plain", "Function", R"({"decorators": ["property", 3]})");
    p.fn("app/a.py:Svc.compute");
    EXPECT_EQ(p.one("app/a.py:Svc.build", "self.compute"), "");
    EXPECT_EQ(p.one("app/a.py:Svc.plain", "self.compute"), "app/a.py:Svc.compute");
    // As an ordinary name, self.compute can still be a same-file dotted definition.
    p.cls("app/a.py:self");
    p.fn("app/a.py:self.compute");
    EXPECT_EQ(p.one("app/a.py:Svc.build", "self.compute"), "app/a.py:self.compute");
    // A decorator merely ending in "staticmethod" counts too; a shorter text does not.
    p.add("app/a.py:Svc.other", "Function", R"({"decorators": ["abc.staticmethod"]})");
    EXPECT_EQ(p.one("app/a.py:Svc.other", "self.compute"), "app/a.py:self.compute");
}

TEST(ResolutionCalls, SuperCallsNeedOneCandidate) {
    Project p;
    p.cls("app/a.py:A");
    p.fn("app/a.py:A.save");
    p.cls("app/a.py:B");
    p.fn("app/a.py:B.save");
    p.cls("app/a.py:Both", {"A", "B"});
    p.fn("app/a.py:Both.save");
    p.cls("app/a.py:Mid1", {"A"});
    p.cls("app/a.py:Mid2", {"A"});
    p.cls("app/a.py:Diamond", {"Mid1", "Mid2"});
    p.fn("app/a.py:Diamond.save");
    p.add("app/a.py:Odd", "Class", R"({"base_classes": [7, "A"]})");
    p.fn("app/a.py:Odd.save");
    EXPECT_EQ(p.one("app/a.py:Both.save", "super.save"), "");
    EXPECT_EQ(p.one("app/a.py:Diamond.save", "super.save"), "app/a.py:A.save");
    // In the super step non-string bases are skipped, unlike in find_method.
    EXPECT_EQ(p.one("app/a.py:Odd.save", "super.save"), "app/a.py:A.save");
    EXPECT_EQ(p.one("app/a.py:Diamond.save", "super.save.x"), "");
    EXPECT_EQ(p.one("app/a.py:Diamond.save", "super"), "");
}

// A base name means what it means where the class statement is written, not in the file of
// whoever calls the method.
TEST(ResolutionCalls, BaseNamesWereResolvedInTheCallersFile) {
    Project p;
    // pkg/a.py: class Base: def run; class Child(Base)
    p.cls("pkg/a.py:Base");
    p.fn("pkg/a.py:Base.run");
    p.cls("pkg/a.py:Child", {"Base"});
    p.module("pkg/a.py", {{"python_import_bindings", json::object()}});
    // pkg/b.py: an unrelated Base with run; def f(c: Child): c.run()
    p.cls("pkg/b.py:Base");
    p.fn("pkg/b.py:Base.run");
    p.fn("pkg/b.py:f");
    // pkg/c.py: from pkg.a import Base as B; class Sub(B): def go(self): super().run()
    p.cls("pkg/c.py:Sub", {"B"});
    p.fn("pkg/c.py:Sub.go");
    p.module("pkg/c.py", {{"python_import_bindings", {{"", {{"B", symbol_import("pkg/a", "Base")}}}}}});
    // pkg/d.py: a top-level Base, and def make(): from pkg.a import Base; class Local(Base): ...
    p.cls("pkg/d.py:Base");
    p.fn("pkg/d.py:Base.run");
    p.fn("pkg/d.py:make");
    p.cls("pkg/d.py:make.Local", {"Base"});
    p.fn("pkg/d.py:make.Local.go");
    p.module("pkg/d.py", {{"python_import_bindings", {{"make", {{"Base", symbol_import("pkg/a", "Base")}}}}}});
    p.module("pkg/b.py", {{"python_import_bindings",
                           {{"", {{"Child", symbol_import("pkg/a", "Child")}, {"Sub", symbol_import("pkg/c", "Sub")}}}}},
                          {"python_receiver_types", {{"f", {{"c", "Child"}, {"s", "Sub"}}}}}});

    EXPECT_EQ(p.one("pkg/b.py:f", "c.run"), "pkg/a.py:Base.run");
    EXPECT_EQ(p.one("pkg/b.py:f", "s.run"), "pkg/a.py:Base.run");
    EXPECT_EQ(p.one("pkg/c.py:Sub.go", "super.run"), "pkg/a.py:Base.run");
    EXPECT_EQ(p.one("pkg/c.py:Sub.go", "self.run"), "pkg/a.py:Base.run");
    // The enclosing function's import hides the module's own Base.
    EXPECT_EQ(p.one("pkg/d.py:make.Local.go", "self.run"), "pkg/a.py:Base.run");
    EXPECT_EQ(p.one("pkg/d.py:make.Local.go", "super.run"), "pkg/a.py:Base.run");
}

TEST(ResolutionCalls, ReceiverTypesAndShadowing) {
    Project p;
    p.cls("app/repo.py:BaseRepo");
    p.fn("app/repo.py:BaseRepo.get");
    p.cls("app/repo.py:Repo", {"BaseRepo"});
    p.fn("app/repo.py:Repo.put");
    p.cls("app/svc.py:Svc");
    p.fn("app/svc.py:Svc.handle");
    p.fn("app/svc.py:run");
    p.fn("app/util.py:helper");
    p.module("app/svc.py", {{"python_import_bindings",
                             {{"", {{"Repo", symbol_import("app/repo", "Repo")},
                                    {"helper", symbol_import("app/util", "helper")}}}}},
                            {"python_receiver_types",
                             {{"Svc.handle", {{"self.repo", "Repo"}, {"bad", 5}}}, {"", {{"client", "Repo"}}}}},
                            {"python_shadowed_names", {{"run", {"helper", "obj"}}}}});
    EXPECT_EQ(p.one("app/svc.py:Svc.handle", "self.repo.put"), "app/repo.py:Repo.put");
    EXPECT_EQ(p.one("app/svc.py:Svc.handle", "self.repo.nothing"), "");
    EXPECT_EQ(p.one("app/svc.py:Svc.handle", "bad.get"), "");
    // Repo's base is resolved in repo.py, where Repo is declared: svc.py needs no BaseRepo...
    EXPECT_EQ(p.one("app/svc.py:Svc.handle", "self.repo.get"), "app/repo.py:BaseRepo.get");
    // ...and another BaseRepo imported into svc.py changes nothing.
    p.cls("app/other.py:BaseRepo");
    p.fn("app/other.py:BaseRepo.get");
    auto& extra = p.r.nodes.at("app/svc.py").extra_json;
    auto ctx = json::parse(*extra);
    ctx["python_import_bindings"][""]["BaseRepo"] = symbol_import("app/other", "BaseRepo");
    extra = ctx.dump();
    EXPECT_EQ(p.one("app/svc.py:Svc.handle", "self.repo.get"), "app/repo.py:BaseRepo.get");
    EXPECT_EQ(p.one("app/svc.py:run", "client.get"), "app/repo.py:BaseRepo.get");
    EXPECT_EQ(p.one("app/svc.py:Svc.handle", "helper"), "app/util.py:helper");
    EXPECT_EQ(p.one("app/svc.py:run", "helper"), "");
    EXPECT_EQ(p.one("app/svc.py:run", "obj.helper"), "");
    // With a binding context, an unimported name is not looked up globally.
    p.fn("app/other.py:lonely");
    EXPECT_EQ(p.one("app/svc.py:run", "lonely"), "");
}

TEST(ResolutionCalls, GlobalFallbackWithoutContext) {
    Project p;
    p.fn("app/a.py:run");
    p.cls("lib/x.py:Unique");
    p.fn("lib/y.py:twice");
    p.fn("lib/z.py:twice");
    p.fn("lib/y.py:len");
    p.module("app/a.py", {{"python_receiver_types", json::object()}});  // no import key: no context
    EXPECT_EQ(p.one("app/a.py:run", "Unique"), "lib/x.py:Unique");
    EXPECT_EQ(p.one("app/a.py:run", "twice"), "");
    EXPECT_EQ(p.one("app/a.py:run", "len"), "");
    EXPECT_EQ(p.one("app/a.py:run", "x.Unique"), "");  // dotted: same file only
    p.module("app/a.py", {{"python_import_bindings", json::object()}});
    EXPECT_EQ(p.one("app/a.py:run", "Unique"), "");
}

TEST(ResolutionCalls, UnparsableModuleJsonMeansNoContext) {
    Project p;
    p.fn("app/a.py:run");
    p.fn("lib/x.py:target");
    NodeMeta m;
    m.node_id = m.name = m.file_path = "app/a.py";
    m.node_type = "File";
    m.extra_json = R"({"python_import_bindings": {)";
    detail::upsert_node(p.r, m);
    EXPECT_EQ(p.one("app/a.py:run", "target"), "lib/x.py:target");
}

TEST(ResolutionCalls, GenericResolverAndModulePreference) {
    Project p;
    p.add("lib/x.js:Utils.format", "Function");
    p.add("lib/y.js:format", "Function");
    p.add("lib/z.js:Format", "Class");
    p.add("src/modules/billing/f.js:format", "Function");
    p.add("src/modules/shipping/f.js:format", "Function");
    p.fn("lib/x.js:main");
    p.fn("src/modules/billing/m.js:main");
    auto all = p.targets("lib/x.js:main", {"Utils.Format"});
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (Ids{"lib/x.js:Utils.format", "lib/y.js:format", "src/modules/billing/f.js:format",
                        "src/modules/shipping/f.js:format"}));
    EXPECT_EQ(p.targets("src/modules/billing/m.js:main", {"format"}), (Ids{"src/modules/billing/f.js:format"}));
    // A non-Python caller counts repeats.
    auto n = resolve_and_connect_calls(p.state, "src/modules/billing/m.js:main", {"format", "FORMAT"});
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 2u);
    EXPECT_EQ(p.r.resolved_call_edges.size(), 1u);
    // No preferred match: everything.
    p.fn("src/modules/crm/m.js:main");
    EXPECT_EQ(p.targets("src/modules/crm/m.js:main", {"format"}).size(), 4u);
    // A file path too short to end in ".py" is not Python.
    p.add("py:helper", "Function").file_path = "py";
    EXPECT_EQ(p.targets("lib/x.js:main", {"helper"}), (Ids{"py:helper"}));
}

TEST(ResolutionCalls, ConnectStopsAtInvalidHash) {
    Project p;
    p.fn("a.js:main");
    p.fn("a.js:one");
    p.fn("b.js:two");
    p.fn("c.js:three");
    p.r.identities.restore_hash("b.js:two", "not-a-hash");
    auto r = resolve_and_connect_calls(p.state, "a.js:main", {"one", "two", "three"});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "Invalid hash");
    EXPECT_TRUE(p.r.resolved_call_edges.contains({"a.js:main", "a.js:one"}));
    EXPECT_FALSE(p.r.resolved_call_edges.contains({"a.js:main", "c.js:three"}));
}

// A small web application over four files: imports between modules, inherited methods,
// receiver-typed attributes, shadowed names and super calls.
TEST(ResolutionProject, MultiFileApplicationResolvesExactly) {
    Project p;
    // shop/models.py
    p.cls("shop/models.py:Model");
    p.fn("shop/models.py:Model.save");
    p.fn("shop/models.py:Model.validate");
    p.cls("shop/models.py:Order", {"Model"});
    p.fn("shop/models.py:Order.save");
    p.fn("shop/models.py:Order.total");
    p.module("shop/models.py", {{"python_import_bindings", json::object()}});
    // shop/repo.py
    p.cls("shop/repo.py:OrderRepo");
    p.fn("shop/repo.py:OrderRepo.get");
    p.fn("shop/repo.py:OrderRepo.get.cache_key");
    p.fn("shop/repo.py:connect");
    p.module("shop/repo.py",
             {{"python_import_bindings", {{"", {{"Order", symbol_import("shop/models", "Order")}}}}}});
    // shop/util/__init__.py
    p.fn("shop/util/__init__.py:slugify");
    p.fn("shop/util/__init__.py:log");
    // shop/views.py
    p.cls("shop/views.py:OrderView");
    p.fn("shop/views.py:OrderView.post");
    p.fn("shop/views.py:OrderView.render");
    p.fn("shop/views.py:index");
    p.fn("shop/views.py:log");
    p.module("shop/views.py",
             {{"python_import_bindings",
               {{"", {{"models", module_import("shop/models.py")},
                      {"OrderRepo", symbol_import("shop/repo", "OrderRepo")},
                      {"util", module_import("shop/util")},
                      {"connect", symbol_import("shop/repo", "connect")}}},
                {"index", {{"slugify", symbol_import("shop/util", "slugify")}}}}},
              {"python_receiver_types",
               {{"OrderView.post", {{"self.repo", "OrderRepo"}, {"order", "models.Order"}}}}},
              {"python_shadowed_names", {{"OrderView.post", {"connect"}}}}});

    // Order.save calls super().save and its own validate through inheritance.
    auto set_calls = [&](const std::string& id, Ids calls) { p.r.nodes.at(id).calls = std::move(calls); };
    set_calls("shop/models.py:Order.save", {"super.save", "self.validate", "self.total", "print"});
    set_calls("shop/repo.py:OrderRepo.get", {"cache_key", "Order", "connect", "Order.objects.filter"});
    set_calls("shop/views.py:OrderView.post",
              {"self.repo.get", "order.save", "order.validate", "models.Order", "util.slugify", "connect",
               "self.render", "log", "OrderRepo"});
    set_calls("shop/views.py:index", {"slugify", "util.log", "index", "render", "connect"});

    Ids order_save, repo_get, post, index;
    for (auto [id, out] : {std::pair{"shop/models.py:Order.save", &order_save},
                           std::pair{"shop/repo.py:OrderRepo.get", &repo_get},
                           std::pair{"shop/views.py:OrderView.post", &post}, std::pair{"shop/views.py:index", &index}}) {
        *out = p.targets(id, *p.node(id).calls);
    }
    EXPECT_EQ(order_save, (Ids{"shop/models.py:Model.save", "shop/models.py:Model.validate", "shop/models.py:Order.total"}));
    EXPECT_EQ(repo_get, (Ids{"shop/repo.py:OrderRepo.get.cache_key", "shop/models.py:Order", "shop/repo.py:connect"}));
    // order.validate is inherited: Order's base Model is resolved in models.py, where Order
    // names it, although views.py knows no Model.
    EXPECT_EQ(post, (Ids{"shop/repo.py:OrderRepo.get", "shop/models.py:Order.save", "shop/models.py:Model.validate",
                         "shop/models.py:Order", "shop/util/__init__.py:slugify", "shop/views.py:OrderView.render",
                         "shop/views.py:log", "shop/repo.py:OrderRepo"}));
    EXPECT_EQ(index, (Ids{"shop/util/__init__.py:slugify", "shop/util/__init__.py:log", "shop/views.py:index",
                          "shop/repo.py:connect"}));

    auto n = resolve_and_connect_calls(p.state, "shop/views.py:index", *p.node("shop/views.py:index").calls);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(*n, 3u);  // the self-call is dropped
    EXPECT_EQ(p.r.resolved_call_edges.size(), 3u);
    std::size_t builder_edges = 0;
    for (const auto& out : p.state.call_builder.outgoing()) builder_edges += out.size();
    EXPECT_EQ(builder_edges, 3u);
}
