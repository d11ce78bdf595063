// The one-file refresh cycle (invalidate, re-add, repopulate, build) on a synthetic Python
// project: repopulate_edges_full against the incremental repopulate_edges, per phase, as
// ratios. One function of the file gets a different call list each cycle, as a save after
// an edit would.
//
// Built by a CMake build with -DCORVANE_BUILD_BENCHMARKS=ON:
//   build/<dir>/bench/incremental_refresh [functions...]      (default: 10000 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "metadata/engine/edges.hpp"
#include "metadata/engine/graph_queries.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"

using namespace corvane;
using nlohmann::json;

namespace {

constexpr int kFunctionsPerFile = 40;
constexpr int kImportsPerFile = 30;
constexpr int kCycles = 20;

NodeMeta make(const std::string& id, const std::string& type, const std::string& name, const std::string& file) {
    NodeMeta m;
    m.node_id = id;
    m.node_type = type;
    m.name = name;
    m.file_path = file;
    return m;
}

std::string file_name(int f) { return "pkg/sub" + std::to_string(f % 50) + "/mod" + std::to_string(f) + ".py"; }
std::string fn_name(int f, int i) { return "f" + std::to_string(f) + "_" + std::to_string(i); }

std::vector<std::string> random_calls(std::mt19937& rng, int f, const std::vector<std::string>& imported) {
    std::vector<std::string> calls;
    for (int c = 0; c < 8; ++c) {
        switch (rng() % 7) {
            case 0: calls.push_back(fn_name(f, rng() % kFunctionsPerFile)); break;
            case 1:
            case 2: calls.push_back(imported[rng() % imported.size()]); break;
            case 3: calls.push_back("client.run"); break;
            case 4: calls.push_back("Model.run"); break;
            case 5: calls.push_back("self.get"); break;
            default: calls.push_back("print"); break;
        }
    }
    return calls;
}

// Files of kFunctionsPerFile functions and two classes with common method names (run,
// get, __init__: hot name_index keys), imports of functions in other files, receivers.
struct Project {
    std::mt19937 rng{42};
    int files = 0;
    std::vector<std::vector<NodeMeta>> nodes;  // per file
    std::vector<std::vector<std::string>> imported;

    explicit Project(int functions) : files(std::max(2, functions / kFunctionsPerFile)) {
        nodes.resize(files);
        imported.resize(files);
        for (int f = 0; f < files; ++f) {
            const std::string file = file_name(f);
            json imports = json::object();
            for (int k = 0; k < kImportsPerFile; ++k) {
                int g = rng() % files, i = rng() % kFunctionsPerFile;
                imports[fn_name(g, i)] = {{"module", file_name(g)}, {"symbol", fn_name(g, i)}, {"kind", "symbol"}};
                imported[f].push_back(fn_name(g, i));
            }
            json extra{{"python_import_bindings", {{"", imports}}},
                       {"python_receiver_types", {{"", {{"client", "Service"}}}}},
                       {"python_shadowed_names", {{"", json::array({"tmp"})}}}};
            NodeMeta module = make(file, "File", file, file);
            module.extra_json = extra.dump();
            nodes[f].push_back(module);
            for (const char* cls : {"Service", "Model"}) {
                NodeMeta c = make(file + ":" + cls, "Class", cls, file);
                c.extra_json = json{{"base_classes", json::array({"Base"})}}.dump();
                nodes[f].push_back(c);
                for (const char* m : {"run", "get", "__init__"}) {
                    NodeMeta method = make(file + ":" + cls + "." + m, "Function", m, file);
                    method.calls = std::vector<std::string>{"self.run", "super.__init__", "print"};
                    nodes[f].push_back(method);
                }
            }
            for (int i = 0; i < kFunctionsPerFile; ++i) {
                NodeMeta m = make(file + ":" + fn_name(f, i), "Function", fn_name(f, i), file);
                m.calls = random_calls(rng, f, imported[f]);
                nodes[f].push_back(m);
            }
        }
    }

    void load(EngineState& s) {
        for (auto& file : nodes) {
            for (auto& n : file) upsert_node(s, n);
        }
    }

    std::size_t node_count() const {
        std::size_t n = 0;
        for (auto& f : nodes) n += f.size();
        return n;
    }
};

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Phases {
    std::vector<double> invalidate, readd, repopulate, build, resolved;
};

// One cycle on a random file; `full` picks the repopulation.
void cycle(Project& p, EngineState& s, bool full, Phases& out) {
    const int f = p.rng() % p.files;
    auto& file = p.nodes[f];
    file[3 + p.rng() % (file.size() - 3)].calls = random_calls(p.rng, f, p.imported[f]);
    auto t0 = Clock::now();
    invalidate_file(s, file_name(f));
    out.invalidate.push_back(ms_since(t0));
    t0 = Clock::now();
    for (auto& n : file) upsert_node(s, n);
    out.readd.push_back(ms_since(t0));
    t0 = Clock::now();
    Status st = full ? repopulate_edges_full(s) : repopulate_edges(s);
    out.repopulate.push_back(ms_since(t0));
    if (!st) std::printf("repopulate failed: %s\n", st.error().message.c_str());
    out.resolved.push_back(static_cast<double>(s.incremental.last_refresh_resolved));
    t0 = Clock::now();
    compile_step(s);
    out.build.push_back(ms_since(t0));
}

bool same_edges(const EngineState& a, const EngineState& b) {
    return a.record.resolved_call_edges == b.record.resolved_call_edges &&
           a.record.structural_edges == b.record.structural_edges;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {10000, 100000};
    for (int n : sizes) {
        Project p(n);
        EngineState s;
        p.load(s);
        compile_step(s);
        std::printf("\n%zu nodes in %d files\n", p.node_count(), p.files);

        Phases full, incr;
        for (int i = 0; i < 3; ++i) cycle(p, s, true, full);
        auto t0 = Clock::now();
        (void)repopulate_builders(s);
        const double refill = ms_since(t0);
        t0 = Clock::now();
        (void)refresh_derived_edges_fully(s);
        const double recording = ms_since(t0);
        for (int i = 0; i < kCycles; ++i) cycle(p, s, false, incr);

        EngineState oracle = s;
        (void)repopulate_edges_full(oracle);
        std::printf("resolved-call edges %zu, incremental result %s the full pass\n",
                    s.record.resolved_call_edges.size(), same_edges(s, oracle) ? "equals" : "DIFFERS FROM");
        std::printf("full pass that records reads: %.1f ms; builder refill alone: %.1f ms\n", recording, refill);
        std::printf("nodes resolved per incremental refresh (median): %.0f of %zu\n", median(incr.resolved),
                    s.incremental.slot_of.size());
        std::printf("%-12s %12s %12s %8s\n", "phase (ms)", "full", "incremental", "ratio");
        auto row = [](const char* name, double a, double b) { std::printf("%-12s %12.2f %12.3f %7.1fx\n", name, a, b, a / b); };
        row("invalidate", median(full.invalidate), median(incr.invalidate));
        row("re-add", median(full.readd), median(incr.readd));
        row("repopulate", median(full.repopulate), median(incr.repopulate));
        row("build", median(full.build), median(incr.build));
        const double a = median(full.invalidate) + median(full.readd) + median(full.repopulate) + median(full.build);
        const double b = median(incr.invalidate) + median(incr.readd) + median(incr.repopulate) + median(incr.build);
        row("cycle", a, b);
        row("w/o build", a - median(full.build), b - median(incr.build));
    }
    return 0;
}
