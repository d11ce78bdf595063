// Call resolution over a synthetic Python project: every function resolved through
// resolve_and_connect_calls (contexts kept by the engine), the plain repopulation that parses
// a file's context for every function, and repopulate_edges.
//
// Built by a CMake build with -DCORVANE_BUILD_BENCHMARKS=ON:
//   build/<dir>/bench/resolution [functions...]      (default: 10000 100000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/django_relations.hpp"
#include "metadata/engine/edges.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"

using namespace corvane;
using nlohmann::json;

namespace {

constexpr int kFunctionsPerFile = 40;
constexpr int kImportsPerFile = 30;

NodeMeta make(const std::string& id, const std::string& type, const std::string& name, const std::string& file) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = type;
    m.name = name;
    m.file_path = file;
    return m;
}

// Files of kFunctionsPerFile functions, two classes each, imports of functions in other
// files, and calls mixing local, imported, method, receiver and unresolvable names.
EngineState project(int functions) {
    std::mt19937 rng(42);
    const int files = std::max(1, functions / kFunctionsPerFile);
    auto file_name = [](int f) { return "pkg/sub" + std::to_string(f % 50) + "/mod" + std::to_string(f) + ".py"; };
    auto fn_name = [](int f, int i) { return "f" + std::to_string(f) + "_" + std::to_string(i); };
    EngineState s;
    for (int f = 0; f < files; ++f) {
        const std::string file = file_name(f);
        json imports = json::object();
        std::vector<std::string> imported;
        for (int k = 0; k < kImportsPerFile; ++k) {
            int g = rng() % files, i = rng() % kFunctionsPerFile;
            imports[fn_name(g, i)] = {{"module", file_name(g)}, {"symbol", fn_name(g, i)}, {"kind", "symbol"}};
            imported.push_back(fn_name(g, i));
        }
        json extra{{"python_import_bindings", {{"", imports}}},
                   {"python_receiver_types", {{"", {{"client", "Service"}}}}},
                   {"python_shadowed_names", {{"", json::array({"tmp"})}}}};
        NodeMeta module = make(file, "File", file, file);
        module.extra_json = extra.dump();
        detail::upsert_node(s.record, module);
        for (const char* cls : {"Service", "Model"}) {
            NodeMeta c = make(file + ":" + cls, "Class", cls, file);
            c.extra_json = json{{"base_classes", json::array({"Base"})}}.dump();
            detail::upsert_node(s.record, c);
            detail::upsert_node(s.record, make(file + ":" + cls + ".run", "Function", "run", file));
        }
        for (int i = 0; i < kFunctionsPerFile; ++i) {
            NodeMeta m = make(file + ":" + fn_name(f, i), "Function", fn_name(f, i), file);
            std::vector<std::string> calls;
            for (int c = 0; c < 8; ++c) {
                switch (rng() % 5) {
                    case 0: calls.push_back(fn_name(f, rng() % kFunctionsPerFile)); break;
                    case 1: calls.push_back(imported[rng() % imported.size()]); break;
                    case 2: calls.push_back("client.run"); break;
                    case 3: calls.push_back("Model.run"); break;
                    default: calls.push_back("print"); break;
                }
            }
            m.calls = calls;
            detail::upsert_node(s.record, m);
        }
    }
    return s;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10000, 100000};
    std::printf("%10s %8s %14s %14s %14s %8s\n", "functions", "edges", "per-call s", "plain pass s", "cached pass s",
                "ratio");
    for (int n : sizes) {
        EngineState s = project(n);
        auto t0 = std::chrono::steady_clock::now();
        for (const auto& [id, node] : s.record.nodes) {
            if (node.calls) (void)resolve_and_connect_calls(s, id, *node.calls);
        }
        double per_call = seconds_since(t0);
        std::size_t edges = s.record.resolved_call_edges.size();

        // The plain pass: repopulate_edges' steps, each node resolved with its own parse.
        t0 = std::chrono::steady_clock::now();
        s.record.resolved_call_edges.clear();
        (void)repopulate_builders(s);
        for (const auto& [id, node] : s.record.nodes) {
            if (node.calls) (void)detail::connect_resolved_calls(s, id, resolve_calls(s.record, id, *node.calls));
        }
        double plain = seconds_since(t0);

        t0 = std::chrono::steady_clock::now();
        (void)repopulate_edges(s);
        double cached = seconds_since(t0);
        if (s.record.resolved_call_edges.size() != edges) std::printf("edge count differs!\n");
        std::printf("%10d %8zu %14.3f %14.3f %14.3f %7.1fx\n", n, edges, per_call, plain, cached, plain / cached);
    }
    return 0;
}
