// Times engine internals that Python cannot reach, on data the suite wrote to a file, and
// prints one JSON object. Built and run by bench/run.py against the core library.
//
//   engine_driver compile EDGE_FILE PLAIN_FULL_LIMIT SAMPLE
//       Feeds the edges into an engine state (one node per index), then times the compile
//       step (both graphs + fast per-node metrics) against the same step with the plain
//       one-walk-per-node metrics. Up to PLAIN_FULL_LIMIT nodes the plain step runs whole and
//       the two results are compared node by node; above it SAMPLE random nodes are walked
//       and the walk time is extrapolated to all nodes (and their counts are compared).
//   engine_driver snapshot SNAPSHOT_FILE REPS
//       Decode and encode of a snapshot file written by the engine, best of REPS.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "graph/csr/ancestor_counts.hpp"
#include "graph/csr/csr_graph.hpp"
#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/graph_queries.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "storage/snapshot/snapshot.hpp"

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "engine_driver: %s\n", msg.c_str());
    std::exit(1);
}

std::vector<std::uint8_t> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(std::string("cannot open ") + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The ids of bench/suite/graphs.py, so both sides name the same nodes.
std::string function_id(std::uint32_t v) {
    const std::uint32_t module = v / 40;
    return "pkg/sub" + std::to_string(module % 50) + "/mod" + std::to_string(module) + ".py:f" + std::to_string(v);
}

std::vector<std::uint32_t> blast_scores(const EngineState& s, const std::vector<std::string>& ids) {
    std::vector<std::uint32_t> out;
    out.reserve(ids.size());
    for (const auto& id : ids) out.push_back(s.record.nodes.at(id).blast_radius_score.value_or(~0u));
    return out;
}

int run_compile(const char* path, std::size_t plain_full_limit, std::size_t sample) {
    const auto bytes = read_file(path);
    if (bytes.size() < 12) fail("edge file too short");
    std::uint32_t n;
    std::uint64_t m;
    std::memcpy(&n, bytes.data(), 4);
    std::memcpy(&m, bytes.data() + 4, 8);
    if (bytes.size() != 12 + m * 8) fail("edge file size does not match its edge count");
    const auto* pairs = reinterpret_cast<const std::uint32_t*>(bytes.data() + 12);

    EngineState s;
    std::vector<std::string> ids(n);
    auto t0 = Clock::now();
    for (std::uint32_t v = 0; v < n; ++v) {
        ids[v] = function_id(v);
        NodeMeta meta;
        meta.node_id = ids[v];
        meta.node_type = "Function";
        meta.name = "f" + std::to_string(v);
        meta.file_path = ids[v].substr(0, ids[v].find(':'));
        detail::upsert_node(s.record, std::move(meta));
    }
    const double t_nodes = seconds_since(t0);
    t0 = Clock::now();
    for (std::uint64_t e = 0; e < m; ++e) {
        if (pairs[2 * e] >= n || pairs[2 * e + 1] >= n) fail("edge names a node beyond the count");
        if (!add_typed_edge(s, ids[pairs[2 * e]], ids[pairs[2 * e + 1]], EdgeKind::Execution)) fail("add_typed_edge");
    }
    const double t_edges = seconds_since(t0);

    // Best of `reps` for each variant; the first run of anything pays for page faults.
    const int reps = n <= 20000 ? 5 : n <= 200000 ? 3 : 1;
    double t_compile = 1e30, t_graphs = 1e30, t_metrics = 1e30, t_ancestors = 1e30;
    for (int r = 0; r < reps; ++r) {
        t0 = Clock::now();
        compile_step(s);
        t_compile = std::min(t_compile, seconds_since(t0));
        // The compile step's two parts, for the breakdown.
        t0 = Clock::now();
        s.dependency_graph = s.dependency_builder.compile();
        s.call_graph = s.call_builder.compile();
        t_graphs = std::min(t_graphs, seconds_since(t0));
        t0 = Clock::now();
        refresh_graph_metrics(s, false);
        t_metrics = std::min(t_metrics, seconds_since(t0));
        // The counting alone; the rest of the metrics step is per-node bookkeeping.
        t0 = Clock::now();
        const auto counts = graph::ancestor_counts(*s.call_graph);
        t_ancestors = std::min(t_ancestors, seconds_since(t0));
        (void)counts;
    }
    const auto fast = blast_scores(s, ids);

    double t_plain = 0;
    bool plain_whole = n <= plain_full_limit;
    std::size_t checked = 0, disagree = 0;
    if (plain_whole) {
        t_plain = 1e30;
        for (int r = 0; r < (n <= 20000 ? reps : 1); ++r) {
            t0 = Clock::now();
            s.dependency_graph = s.dependency_builder.compile();
            s.call_graph = s.call_builder.compile();
            refresh_graph_metrics(s, true);
            t_plain = std::min(t_plain, seconds_since(t0));
        }
        const auto plain = blast_scores(s, ids);
        checked = n;
        for (std::uint32_t v = 0; v < n; ++v) disagree += plain[v] != fast[v];
    } else {
        // One plain walk per sampled node, as ancestor_counts_plain does for every node.
        const graph::CsrGraph& g = *s.call_graph;
        std::mt19937_64 rng(n);
        std::vector<graph::NodeIndex> picks(sample);
        for (auto& p : picks) p = static_cast<graph::NodeIndex>(rng() % g.node_count());
        std::vector<std::uint32_t> walked;
        walked.reserve(sample);
        t0 = Clock::now();
        for (auto p : picks) walked.push_back(static_cast<std::uint32_t>(g.reachable_indexes(p, g.reverse, 0).size()));
        const double t_walks = seconds_since(t0);
        const auto counts = graph::ancestor_counts(g);
        for (std::size_t k = 0; k < sample; ++k) disagree += walked[k] != counts[picks[k]];
        checked = sample;
        t_plain = t_graphs + t_walks / static_cast<double>(sample) * static_cast<double>(g.node_count());
    }
    std::printf(
        "{\"nodes\": %u, \"edges\": %llu, \"feed_nodes_s\": %.6f, \"feed_edges_s\": %.6f, \"compile_s\": %.6f, "
        "\"graphs_s\": %.6f, \"metrics_s\": %.6f, \"ancestors_s\": %.6f, \"plain_s\": %.6f, \"plain_whole\": %s, \"plain_checked\": %zu, "
        "\"plain_disagree\": %zu}\n",
        n, static_cast<unsigned long long>(m), t_nodes, t_edges, t_compile, t_graphs, t_metrics, t_ancestors, t_plain,
        plain_whole ? "true" : "false", checked, disagree);
    return disagree == 0 ? 0 : 2;
}

int run_snapshot(const char* path, int reps) {
    const auto bytes = read_file(path);
    double t_decode = 1e30, t_encode = 1e30;
    std::optional<MetadataEngine> record;
    for (int r = 0; r < reps; ++r) {
        record.reset();
        const auto t0 = Clock::now();
        record = decode_snapshot(bytes);
        t_decode = std::min(t_decode, seconds_since(t0));
        if (!record) fail("snapshot does not decode");
    }
    std::size_t size = 0;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        auto encoded = encode_snapshot(*record);
        t_encode = std::min(t_encode, seconds_since(t0));
        if (!encoded) fail("snapshot does not encode: " + encoded.error().message);
        size = encoded->size();
    }
    std::printf("{\"bytes\": %zu, \"encoded_bytes\": %zu, \"nodes\": %zu, \"decode_s\": %.6f, \"encode_s\": %.6f}\n",
                bytes.size(), size, record->nodes.size(), t_decode, t_encode);
    return size == bytes.size() ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "compile" && argc == 5)
        return run_compile(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
    if (mode == "snapshot" && argc == 4) return run_snapshot(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: engine_driver compile EDGE_FILE PLAIN_FULL_LIMIT SAMPLE | snapshot FILE REPS\n");
    return 64;
}
