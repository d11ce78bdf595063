// The engine's kept parse results, search index and recorded indexing reads, each timed
// against the previous code (the plain path, kept as the oracle) in the same run, with the
// answers compared:
//   - resolve_and_connect_calls per caller: parsing the module context on every call against
//     the engine's store, on the standard library (by the size of the caller's module JSON)
//     and on one synthetic module growing from about 1 KB to 250 KB of JSON;
//   - search per keyword: the scan of every node against the index of distinct names;
//   - the first repopulate_edges after indexing: the full pass against the incremental one
//     that the reads recorded while indexing allow;
//   - the first repopulate_edges after a restore (a full pass), split into its parts.
//
// Built by a CMake build with -DCORVANE_BUILD_BENCHMARKS=ON:
//   PYTHONPATH=src/python python3 bench/engine_caches_records.py /tmp/stdlib_records.jsonl
//   build/<dir>/bench/engine_caches /tmp/stdlib_records.jsonl           (all parts)
//   build/<dir>/bench/engine_caches /tmp/stdlib_records.jsonl index     (the engine's path alone, for a profiler)
//   build/<dir>/bench/engine_caches /tmp/stdlib_records.jsonl restore   (the same, then a restored record's refresh)
//   build/<dir>/bench/engine_caches /tmp/stdlib_records.jsonl search    (the same, then searches alone)
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/edges.hpp"
#include "metadata/engine/incremental.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "metadata/engine/table_queries.hpp"
#include "util/lowercase.hpp"

using namespace corvane;
using nlohmann::json;
namespace {

// Process CPU time: the benchmark runs on one thread, and on a machine shared with other
// work the wall clock would mostly measure the neighbours.
struct Clock {
    using time_point = double;
    static double now() {
        timespec ts;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
    }
};

double seconds_since(double t0) { return Clock::now() - t0; }

struct Caller {
    std::string id;
    std::vector<std::string> calls;
};

struct Records {
    std::vector<NodeMeta> nodes;
    std::vector<StringPair> edges;
    std::vector<Caller> callers;
};

template <class T>
std::optional<T> opt(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    return it->get<T>();
}

Records load(const char* path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "cannot open %s (write it with bench/engine_caches_records.py)\n", path);
        std::exit(1);
    }
    Records r;
    std::string line;
    while (std::getline(in, line)) {
        json j = json::parse(line);
        if (auto n = j.find("node"); n != j.end()) {
            NodeMeta m;
            m.node_id = (*n)["node_id"];
            m.node_type = (*n)["node_type"];
            m.name = (*n)["name"];
            m.file_path = (*n)["file_path"];
            m.signature = opt<std::string>(*n, "signature");
            m.docstring = opt<std::string>(*n, "docstring");
            m.lines_start = opt<std::uint32_t>(*n, "lines_start");
            m.lines_end = opt<std::uint32_t>(*n, "lines_end");
            m.calls = opt<std::vector<std::string>>(*n, "calls");
            m.django_relations_json = opt<std::string>(*n, "django_relations_json");
            m.extra_json = opt<std::string>(*n, "extra_json");
            r.nodes.push_back(std::move(m));
        } else if (auto e = j.find("edge"); e != j.end()) {
            r.edges.emplace_back((*e)[0], (*e)[1]);
        } else {
            r.callers.push_back({j["caller"], j["calls"]});
        }
    }
    return r;
}

// add_node for every record, then the containment edges, as the indexer does.
EngineState indexed_nodes(const Records& r) {
    EngineState s;
    for (const auto& m : r.nodes) upsert_node(s, m);
    for (const auto& [a, b] : r.edges) (void)add_typed_edge(s, a, b, EdgeKind::Structural);
    return s;
}

std::set<StringPair> sorted_edges(const PairSet& s) { return {s.begin(), s.end()}; }

std::size_t module_json_size(const EngineState& s, const std::string& caller_id) {
    auto c = s.record.nodes.find(caller_id);
    if (c == s.record.nodes.end()) return 0;
    auto m = s.record.nodes.find(c->second.file_path);
    return m == s.record.nodes.end() || !m->second.extra_json ? 0 : m->second.extra_json->size();
}

// ---- resolve_and_connect_calls per caller ----------------------------------------------

void per_caller_on_stdlib(const Records& r, EngineState& recorded) {
    EngineState plain = indexed_nodes(r);
    recorded = plain;
    rebuild_search_index(recorded);  // a copy's index would point into the original's nodes
    EngineState kept = plain;
    const char* bucket_names[] = {"<1 KB", "1-5 KB", "5-20 KB", ">20 KB"};
    auto bucket = [](std::size_t bytes) { return bytes < 1024 ? 0 : bytes < 5120 ? 1 : bytes < 20480 ? 2 : 3; };
    // Each bucket's callers timed as one run: a clock read per caller would cost about as much
    // as a resolution. Within a bucket the callers keep their indexing order.
    std::vector<const Caller*> by_bucket[4];
    for (const auto& c : r.callers) by_bucket[bucket(module_json_size(plain, c.id))].push_back(&c);
    double t_plain[4] = {}, t_kept[4] = {}, t_recorded[4] = {};
    std::size_t n[4] = {};
    for (int b = 0; b < 4; ++b) {
        const auto& callers = by_bucket[b];
        n[b] = callers.size();
        auto t0 = Clock::now();
        for (const Caller* c : callers) {
            (void)detail::connect_resolved_calls(plain, c->id, resolve_calls(plain.record, c->id, c->calls));
        }
        t_plain[b] = seconds_since(t0);
        t0 = Clock::now();
        for (const Caller* c : callers) {
            CachedLookup src(kept.record, kept.parsed);
            (void)detail::connect_resolved_calls(kept, c->id, resolve_calls(src, c->id, c->calls));
        }
        t_kept[b] = seconds_since(t0);
        t0 = Clock::now();
        for (const Caller* c : callers) (void)resolve_and_connect_calls(recorded, c->id, c->calls);
        t_recorded[b] = seconds_since(t0);
    }
    const bool same = sorted_edges(plain.record.resolved_call_edges) == sorted_edges(recorded.record.resolved_call_edges) &&
                      sorted_edges(plain.record.resolved_call_edges) == sorted_edges(kept.record.resolved_call_edges);
    std::printf("\nresolve_and_connect_calls on the standard library with its tests: %zu nodes, %zu callers, "
                "%zu edges, same edges: %s\n",
                r.nodes.size(), r.callers.size(), plain.record.resolved_call_edges.size(), same ? "yes" : "NO");
    // "kept": the engine's store; "+ recorded": also recording the reads for the first
    // refresh, as the binding's resolve_and_connect_calls does.
    std::printf("%-10s %8s %14s %10s %8s %14s %8s\n", "module", "callers", "parse/call us", "kept us", "ratio",
                "+ recorded us", "ratio");
    double all_plain = 0, all_kept = 0, all_recorded = 0;
    for (int b = 0; b < 4; ++b) {
        all_plain += t_plain[b];
        all_kept += t_kept[b];
        all_recorded += t_recorded[b];
        if (n[b] == 0) continue;
        std::printf("%-10s %8zu %14.1f %10.1f %7.1fx %14.1f %7.1fx\n", bucket_names[b], n[b], 1e6 * t_plain[b] / n[b],
                    1e6 * t_kept[b] / n[b], t_plain[b] / t_kept[b], 1e6 * t_recorded[b] / n[b], t_plain[b] / t_recorded[b]);
    }
    const double callers = static_cast<double>(r.callers.size());
    std::printf("%-10s %8zu %14.1f %10.1f %7.1fx %14.1f %7.1fx   (whole pass %.2f s, %.2f s, %.2f s)\n", "all",
                r.callers.size(), 1e6 * all_plain / callers, 1e6 * all_kept / callers, all_plain / all_kept,
                1e6 * all_recorded / callers, all_plain / all_recorded, all_plain, all_kept, all_recorded);
}

// One file of `functions` functions: a module context with imports, receivers and shadowed
// names for every function (about 50 bytes of JSON each), calls to local, imported, method
// and unknown names.
EngineState synthetic_module(int functions, std::size_t& json_bytes) {
    EngineState s;
    const std::string file = "pkg/big.py";
    json imports = json::object(), receivers = json::object(), shadowed = json::object();
    for (int i = 0; i < functions; ++i) {
        const std::string f = "f" + std::to_string(i);
        if (i % 4 == 0) imports[f]["h" + std::to_string(i)] = {{"module", "pkg/util"}, {"symbol", "helper"}, {"kind", "symbol"}};
        if (i % 4 == 1) receivers[f]["svc"] = "Service";
        shadowed[f] = json::array({"tmp"});
    }
    imports[""]["util"] = {{"module", "pkg/util"}, {"kind", "module"}};
    NodeMeta module;
    module.node_id = module.file_path = module.name = file;
    module.node_type = "File";
    module.extra_json = json{{"python_import_bindings", imports}, {"python_receiver_types", receivers},
                             {"python_shadowed_names", shadowed}}
                            .dump();
    json_bytes = module.extra_json->size();
    upsert_node(s, module);
    auto def = [&](const std::string& id, const std::string& type, const std::string& name, const std::string& f) {
        NodeMeta m;
        m.node_id = id;
        m.node_type = type;
        m.name = name;
        m.file_path = f;
        upsert_node(s, m);
    };
    def("pkg/util.py:helper", "Function", "helper", "pkg/util.py");
    def(file + ":Service", "Class", "Service", file);
    def(file + ":Service.run", "Function", "run", file);
    for (int i = 0; i < functions; ++i) {
        NodeMeta m;
        m.node_id = file + ":f" + std::to_string(i);
        m.node_type = "Function";
        m.name = "f" + std::to_string(i);
        m.file_path = file;
        m.calls = std::vector<std::string>{"f" + std::to_string((i + 1) % functions), "h" + std::to_string(i),
                                           "util.helper", "svc.run", "print"};
        upsert_node(s, m);
    }
    return s;
}

void per_caller_by_module_size() {
    std::printf("\nresolve_and_connect_calls on one synthetic module, per caller\n");
    std::printf("%10s %10s %16s %16s %8s\n", "functions", "JSON KB", "parse/call us", "kept us", "ratio");
    for (int functions : {20, 100, 500, 2000, 6500}) {
        std::size_t bytes = 0;
        EngineState plain = synthetic_module(functions, bytes);
        EngineState kept = plain;
        std::vector<Caller> callers;
        for (const auto& [id, m] : plain.record.nodes) {
            if (m.calls) callers.push_back({id, *m.calls});
        }
        std::sort(callers.begin(), callers.end(), [](const Caller& a, const Caller& b) { return a.id < b.id; });
        // The plain path costs milliseconds per caller on the largest modules: a sample.
        const std::size_t sampled = std::min<std::size_t>(callers.size(), 300);
        auto t0 = Clock::now();
        for (std::size_t i = 0; i < sampled; ++i) {
            (void)detail::connect_resolved_calls(plain, callers[i].id, resolve_calls(plain.record, callers[i].id, callers[i].calls));
        }
        const double t_plain = seconds_since(t0) / static_cast<double>(sampled);
        t0 = Clock::now();
        for (const auto& c : callers) (void)resolve_and_connect_calls(kept, c.id, c.calls);
        const double t_kept = seconds_since(t0) / static_cast<double>(callers.size());
        bool same = true;
        for (std::size_t i = 0; i < sampled; ++i) {
            for (auto& t : resolve_calls(plain.record, callers[i].id, callers[i].calls)) {
                if (t != callers[i].id) same = same && kept.record.resolved_call_edges.contains({callers[i].id, t});
            }
        }
        std::printf("%10d %10.1f %16.1f %16.1f %7.1fx%s\n", functions, bytes / 1024.0, 1e6 * t_plain, 1e6 * t_kept,
                    t_plain / t_kept, same ? "" : "   EDGES DIFFER");
    }
}

// ---- search ------------------------------------------------------------------------------

bool exact_hit(const SearchHit& h, const std::string& k) {
    if (to_lower(h.name) == k) return true;
    if (h.type != "File" && h.type != "Folder") return false;
    auto sep = h.file.find_last_of("/\\");
    std::string_view base = sep == std::string_view::npos ? h.file : h.file.substr(sep + 1);
    return to_lower(base) == k || to_lower(base.substr(0, base.find('.'))) == k;
}

// Ids of the exact and the partial hits, each sorted; empty with `ok` false when they mix.
std::pair<std::vector<std::string>, std::vector<std::string>> groups(const SearchHits& hits, const std::string& keyword,
                                                                     bool& ok) {
    const std::string k = to_lower(keyword);
    std::vector<std::string> exact, partial;
    for (const auto& h : hits) {
        if (exact_hit(h, k)) {
            ok = ok && partial.empty();
            exact.emplace_back(h.id);
        } else {
            partial.emplace_back(h.id);
        }
    }
    std::sort(exact.begin(), exact.end());
    std::sort(partial.begin(), partial.end());
    return {exact, partial};
}

// The plain path: every node visited, the hits copied out.
SearchHits scan_search(const EngineState& s, std::string_view keyword) {
    return SearchHits(search_matches(s.record, keyword));
}

// Names of the table (150 whole, 50 of their first three letters) and a few common words.
std::vector<std::string> search_keyword_set(const EngineState& s) {
    std::mt19937 rng(7);
    std::vector<std::string> names;
    for (const auto& [id, m] : s.record.nodes) names.push_back(m.name);
    std::sort(names.begin(), names.end());
    std::vector<std::string> keywords;
    for (int i = 0; i < 150; ++i) keywords.push_back(names[rng() % names.size()]);
    for (int i = 0; i < 50; ++i) keywords.push_back(names[rng() % names.size()].substr(0, 3));
    for (const char* k : {"test", "os", "parse", "Path", "__init__", "zzzz_nothing", "qx"}) keywords.push_back(k);
    return keywords;
}

void search_keywords(const EngineState& s) {
    const std::vector<std::string> keywords = search_keyword_set(s);
    double t_plain = 0, t_index = 0;
    std::size_t hits = 0;
    bool same = true;
    for (const auto& k : keywords) {
        auto t0 = Clock::now();
        auto a = scan_search(s, k);
        t_plain += seconds_since(t0);
        t0 = Clock::now();
        auto b = search(s, k);
        t_index += seconds_since(t0);
        hits += a.size();
        same = same && a.size() == b.size() && groups(a, k, same) == groups(b, k, same);
    }
    const double n = static_cast<double>(keywords.size());
    std::printf("\nsearch at %zu nodes, %zu keywords (%zu hits): scan %.2f ms, index %.3f ms per keyword, "
                "%.1fx, same hits and grouping: %s\n",
                s.record.nodes.size(), keywords.size(), hits, 1e3 * t_plain / n, 1e3 * t_index / n, t_plain / t_index,
                same ? "yes" : "NO");
    for (const char* k : {"zzzz_nothing", "get", "e"}) {
        auto t0 = Clock::now();
        auto a = scan_search(s, k);
        const double p = seconds_since(t0);
        t0 = Clock::now();
        auto b = search(s, k);
        const double q = seconds_since(t0);
        std::printf("  %-14s %6zu hits: scan %.2f ms, index %.3f ms\n", k, a.size(), 1e3 * p, 1e3 * q);
    }
}

// ---- the first refresh ---------------------------------------------------------------

void first_refresh_after_indexing(const EngineState& recorded) {
    EngineState full = recorded;
    auto t0 = Clock::now();
    (void)refresh_derived_edges_fully(full);
    const double t_full = seconds_since(t0);
    EngineState inc = recorded;
    t0 = Clock::now();
    (void)repopulate_edges(inc);
    const double t_inc = seconds_since(t0);
    const bool same = sorted_edges(full.record.resolved_call_edges) == sorted_edges(inc.record.resolved_call_edges) &&
                      sorted_edges(full.record.structural_edges) == sorted_edges(inc.record.structural_edges);
    std::printf("\nfirst repopulate_edges after indexing: full pass %.1f ms, with the reads recorded while indexing "
                "%.1f ms (%s, %zu nodes resolved), %.0fx, same edges: %s\n",
                1e3 * t_full, 1e3 * t_inc, inc.incremental.last_refresh_full ? "full" : "incremental",
                inc.incremental.last_refresh_resolved, t_full / t_inc, same ? "yes" : "NO");
}

// As the engine's construction leaves a restored record: builders refilled, nothing recorded.
EngineState restored(const EngineState& from) {
    EngineState s;
    s.record = from.record;
    forget_recorded_reads(s);
    (void)repopulate_builders(s);
    rebuild_search_index(s);
    return s;
}

void first_refresh_after_restore(const EngineState& refreshed) {
    EngineState s = restored(refreshed);
    auto t0 = Clock::now();
    (void)repopulate_edges(s);
    const double t_refresh = seconds_since(t0);
    // Its parts, each alone on another restored copy.
    EngineState parts = restored(refreshed);
    t0 = Clock::now();
    (void)repopulate_builders(parts);
    const double t_builders = seconds_since(t0);
    CachedLookup src(parts.record);
    std::size_t targets = 0;
    t0 = Clock::now();
    for (const auto& [id, m] : parts.record.nodes) {
        if (m.calls) targets += resolve_calls(src, id, *m.calls).size();
    }
    const double t_resolve = seconds_since(t0);
    std::printf("\nfirst repopulate_edges after a restore (full pass): %.1f ms (%s); its parts alone: refill builders "
                "%.1f ms, resolve every caller without recording %.1f ms (%zu targets); "
                "the rest (recording reads, adding edges) %.1f ms\n",
                1e3 * t_refresh, s.incremental.last_refresh_full ? "full" : "incremental", 1e3 * t_builders,
                1e3 * t_resolve, targets, 1e3 * (t_refresh - t_builders - t_resolve));
}

// The engine's own path only, for a profiler: indexing with recorded reads, the first
// refresh, search; or the refresh of a restored record.
int profile(const Records& r, const std::string& what) {
    EngineState s = indexed_nodes(r);
    auto t0 = Clock::now();
    for (const auto& c : r.callers) (void)resolve_and_connect_calls(s, c.id, c.calls);
    std::printf("resolution %.1f us per caller\n", 1e6 * seconds_since(t0) / static_cast<double>(r.callers.size()));
    t0 = Clock::now();
    (void)repopulate_edges(s);
    std::printf("first refresh %.1f ms\n", 1e3 * seconds_since(t0));
    if (what == "search") {
        const std::vector<std::string> keywords = search_keyword_set(s);
        t0 = Clock::now();
        std::size_t hits = 0;
        for (int round = 0; round < 10; ++round) {
            for (const auto& k : keywords) hits += search(s, k).size();
        }
        std::printf("search %.3f ms per keyword, %zu hits\n", 1e3 * seconds_since(t0) / (10.0 * keywords.size()), hits);
        t0 = Clock::now();
        for (int round = 0; round < 10; ++round) {
            for (const auto& k : keywords) hits += search_matches(s, k).size();
        }
        std::printf("of which finding the hits %.3f ms per keyword\n", 1e3 * seconds_since(t0) / (10.0 * keywords.size()));
    } else if (what == "restore") {
        EngineState again = restored(s);
        t0 = Clock::now();
        (void)repopulate_edges(again);
        std::printf("restore refresh %.1f ms\n", 1e3 * seconds_since(t0));
    } else {
        t0 = Clock::now();
        std::size_t hits = 0;
        for (const char* k : {"zzzz_nothing", "get", "parse", "os", "Path", "qx"}) hits += search(s, k).size();
        std::printf("6 searches %.2f ms, %zu hits\n", 1e3 * seconds_since(t0), hits);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: engine_caches RECORDS.jsonl [index|restore|search]\n");
        return 2;
    }
    const Records r = load(argv[1]);
    if (argc > 2) return profile(r, argv[2]);
    EngineState recorded;
    per_caller_on_stdlib(r, recorded);
    per_caller_by_module_size();
    search_keywords(recorded);
    first_refresh_after_indexing(recorded);
    (void)repopulate_edges(recorded);
    first_refresh_after_restore(recorded);
    return 0;
}
