#pragma once
// Random projects of a few Python (and two JavaScript) files and the edits an editor makes to
// them, driven by any source of random 32-bit numbers: a seeded generator in the unit tests,
// the fuzzer's input in the fuzz target.
#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "metadata/engine/incremental.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "util/hex.hpp"
#include "util/node_hash.hpp"

namespace corvane::testing {

using nlohmann::json;
using EdgeSet = std::set<std::pair<std::string, std::string>>;

inline EdgeSet sorted(const PairSet& s) { return EdgeSet(s.begin(), s.end()); }

// A builder's edges as hash pairs, read from both directions so a half-removed edge shows.
inline std::set<std::pair<Hash32, Hash32>> builder_edges(const graph::GraphBuilder& b, bool incoming) {
    std::set<std::pair<Hash32, Hash32>> out;
    const auto& lists = incoming ? b.incoming() : b.outgoing();
    for (std::size_t i = 0; i < lists.size(); ++i) {
        for (auto j : lists[i]) {
            out.emplace(incoming ? b.hashes()[j] : b.hashes()[i], incoming ? b.hashes()[i] : b.hashes()[j]);
        }
    }
    return out;
}

const std::vector<std::string> kFiles = {"app/a.py", "app/b.py", "lib/c.py", "lib/pkg/__init__.py", "shop/models.py",
                                         "web/src/modules/billing/x.js", "web/y.js"};
const std::vector<std::string> kFunctions = {"run", "helper", "compute", "get", "main", "Order"};
const std::vector<std::string> kClasses = {"Order", "Repo", "Svc", "Base", "Model", "ORDER"};
const std::vector<std::string> kMethods = {"run", "save", "get", "clean"};
const std::vector<std::string> kCalls = {
    "run",      "helper",      "compute",      "get",       "Order",     "Repo.get",    "self.save",  "self.run",
    "cls.get",  "super.save",  "super.run",    "self.repo.get", "client.run", "m.helper", "m.Order.save",
    "np.linalg.norm", "print", "len",          "x",         "x.run",     "inner",       "main.inner", " run ",
    "",         "Base.clean",  "Svc.run",      "h",         "Utils.get", "pkg.Repo"};

template <class Rng, class T>
const T& pick(Rng& rng, const std::vector<T>& v) {
    return v[rng() % v.size()];
}

inline NodeMeta node(const std::string& id, const std::string& type, const std::string& name, const std::string& file) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = type;
    m.name = name;
    m.file_path = file;
    return m;
}

template <class Rng>
std::vector<std::string> random_calls(Rng& rng) {
    if (rng() % 6 == 0) return {};
    std::vector<std::string> calls(1 + rng() % 5);
    for (auto& c : calls) c = pick(rng, kCalls);
    return calls;
}

template <class Rng>
json random_binding(Rng& rng) {
    const std::string& other = pick(rng, kFiles);
    switch (rng() % 5) {
        case 0: return {{"module", other}, {"kind", "module"}};
        case 1: return {{"module", other}, {"symbol", pick(rng, kFunctions)}, {"kind", "symbol"}};
        case 2: return {{"module", other}, {"kind", "module"}, {"qualifier", "np.linalg"}};
        case 3: return json::array({{{"module", other}, {"symbol", "Order"}, {"kind", "symbol"}},
                                    {{"module", pick(rng, kFiles)}, {"symbol", "Order"}, {"kind", "symbol"}}});
        default: return {{"module", "lib/pkg"}, {"symbol", pick(rng, kClasses)}, {"kind", "symbol"}};
    }
}

// The module node's scope data: imports, receivers, shadowed names; sometimes none at all.
template <class Rng>
std::optional<std::string> random_module_extra(Rng& rng) {
    switch (rng() % 6) {
        case 0: return std::nullopt;
        case 1: return std::string("{not json");
        case 2: return json{{"python_receiver_types", {{"", {{"client", "Svc"}}}}}}.dump();
        default: break;
    }
    json imports = json::object(), receivers = json::object(), shadowed = json::object();
    for (const char* local : {"m", "np", "helper", "Order", "Repo", "h"}) {
        if (rng() % 2) imports[""][local] = random_binding(rng);
    }
    if (rng() % 2) imports["main"]["x"] = random_binding(rng);
    if (rng() % 2) receivers[""]["client"] = pick(rng, kClasses);
    if (rng() % 2) receivers["Svc.run"]["self.repo"] = rng() % 4 ? json(pick(rng, kClasses)) : json(3);
    if (rng() % 3 == 0) shadowed["main"] = json::array({"helper", "x"});
    if (rng() % 3 == 0) shadowed[""] = json::array({"m"});
    return json{{"python_import_bindings", imports}, {"python_receiver_types", receivers},
                {"python_shadowed_names", shadowed}}
        .dump();
}

template <class Rng>
std::optional<std::string> random_relations(Rng& rng) {
    if (rng() % 3) return std::nullopt;
    json rel = json::array();
    for (int i = rng() % 3; i >= 0; --i) rel.push_back({{"related_model", rng() % 2 ? "shop." + pick(rng, kClasses) : pick(rng, kClasses)}});
    if (rng() % 4 == 0) rel.push_back(7);
    return rel.dump();
}

// The nodes of one file: a module node, classes with bases and methods, functions, one
// nested function.
template <class Rng>
std::vector<NodeMeta> random_file(Rng& rng, const std::string& file) {
    std::vector<NodeMeta> out;
    NodeMeta module = node(file, "File", file, file);
    module.extra_json = random_module_extra(rng);
    out.push_back(module);
    for (int c = rng() % 3; c > 0; --c) {
        const std::string& cls = pick(rng, kClasses);
        NodeMeta k = node(file + ":" + cls, "Class", cls, file);
        if (rng() % 3) k.extra_json = json{{"base_classes", json::array({pick(rng, kClasses), "pkg.Base"})}}.dump();
        k.django_relations_json = random_relations(rng);
        out.push_back(k);
        for (int m = rng() % 3; m > 0; --m) {
            const std::string& name = pick(rng, kMethods);
            NodeMeta f = node(k.node_id + "." + name, "Function", name, file);
            f.calls = random_calls(rng);
            if (rng() % 6 == 0) f.extra_json = json{{"decorators", json::array({"@staticmethod"})}}.dump();
            out.push_back(f);
        }
    }
    for (int n = 1 + rng() % 3; n > 0; --n) {
        const std::string& name = pick(rng, kFunctions);
        NodeMeta f = node(file + ":" + name, name == "Order" ? "Class" : "Function", name, file);
        f.calls = random_calls(rng);
        out.push_back(f);
    }
    NodeMeta inner = node(file + ":main.inner", "Function", "inner", file);
    inner.calls = random_calls(rng);
    out.push_back(inner);
    return out;
}

// One small change to a file's nodes, as an edit in an editor would make.
template <class Rng>
void mutate(Rng& rng, std::vector<NodeMeta>& nodes, const std::string& file) {
    NodeMeta& n = nodes[rng() % nodes.size()];
    switch (rng() % 7) {
        case 0: n.calls = random_calls(rng); break;
        case 1: if (n.node_id == file) n.extra_json = random_module_extra(rng); break;
        case 2: if (n.node_type == "Class") n.extra_json = json{{"base_classes", json::array({pick(rng, kClasses)})}}.dump(); break;
        case 3: n.django_relations_json = random_relations(rng); break;
        case 4: {  // rename a definition
            if (n.node_id == file) break;
            const std::string name = pick(rng, kFunctions);
            n.node_id = file + ":" + name;
            n.name = name;
            break;
        }
        case 5: n.node_type = n.node_type == "Class" ? "Function" : "Class"; break;
        default: {
            auto more = random_file(rng, file);
            nodes.push_back(more[rng() % more.size()]);
        }
    }
}

template <class Rng>
struct RandomProject {
    Rng rng;
    bool consistent = true;  // false once invalidate_file and remove_file disagreed
    EngineState state;
    StringMap<std::vector<NodeMeta>> files;

    template <class Seed>
    explicit RandomProject(Seed seed) : rng(seed) {
        for (const auto& f : kFiles) {
            if (rng() % 5) add_file(f, random_file(rng, f));
        }
    }

    void add_file(const std::string& f, std::vector<NodeMeta> nodes) {
        std::shuffle(nodes.begin(), nodes.end(), rng);
        for (const auto& n : nodes) upsert_node(state, n);
        files[f] = std::move(nodes);
    }

    std::string some_id() {
        std::vector<std::string> ids;
        for (const auto& [id, m] : state.record.nodes) ids.push_back(id);
        if (ids.empty()) return "none";
        std::sort(ids.begin(), ids.end());
        return ids[rng() % ids.size()];
    }

    // invalidate_file, checked against the plain remove_file on a copy of the record: the
    // two may find the pairs to drop differently, never drop different ones.
    void invalidate(const std::string& f) {
        MetadataEngine plain = state.record;
        const auto want = detail::remove_file(plain, f);
        if (invalidate_file(state, f) != want || !(plain == state.record)) consistent = false;
    }

    // One random operation between refreshes.
    void step() {
        const std::string& f = pick(rng, kFiles);
        switch (rng() % 13) {
            case 0:
            case 1:
            case 2: {  // a save of an edited file
                auto nodes = files.contains(f) ? files[f] : random_file(rng, f);
                for (int k = 1 + rng() % 2; k > 0; --k) mutate(rng, nodes, f);
                invalidate(f);
                add_file(f, std::move(nodes));
                break;
            }
            case 3:  // a save that changed nothing the engine sees
                if (files.contains(f)) {
                    invalidate(f);
                    add_file(f, files[f]);
                }
                break;
            case 4:  // file deleted
                invalidate(f);
                files.erase(f);
                break;
            case 5: {  // one node re-added on its own
                if (!files.contains(f)) break;
                auto& nodes = files[f];
                mutate(rng, nodes, f);
                upsert_node(state, nodes.back());
                upsert_node(state, nodes[rng() % nodes.size()]);
                break;
            }
            case 6: (void)add_typed_edge(state, some_id(), some_id(), EdgeKind::Execution); break;
            case 7: (void)add_typed_edge(state, some_id(), some_id(), EdgeKind::Structural); break;
            case 8: (void)add_typed_edge(state, some_id(), some_id(), EdgeKind::GeneratedExecution); break;
            case 9: (void)resolve_and_connect_calls(state, some_id(), random_calls(rng)); break;
            case 10: (void)resolve_django_relations(state, some_id(), R"([{"related_model": "Order"}])"); break;
            case 11: (void)add_typed_edge(state, some_id(), some_id(), EdgeKind::ResolvedCall); break;
            default: (void)clear_generated_edges(state); break;
        }
    }
};

// The four edge sets and both builders' edges agree.
inline bool same_edges(const EngineState& a, const EngineState& b) {
    const auto sets_a = all_edge_sets(a.record), sets_b = all_edge_sets(b.record);
    for (std::size_t k = 0; k < sets_a.size(); ++k) {
        if (sorted(*sets_a[k]) != sorted(*sets_b[k])) return false;
    }
    return builder_edges(a.call_builder, false) == builder_edges(b.call_builder, false) &&
           builder_edges(a.call_builder, true) == builder_edges(b.call_builder, false) &&
           builder_edges(a.dependency_builder, false) == builder_edges(b.dependency_builder, false) &&
           builder_edges(a.dependency_builder, true) == builder_edges(b.dependency_builder, false);
}

}  // namespace corvane::testing
