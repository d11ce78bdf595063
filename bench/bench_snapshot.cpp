// Snapshot encode/decode throughput on a code-shaped engine record.
//
// Built by a CMake build with -DCORVANE_BUILD_BENCHMARKS=ON:
//   build/<dir>/bench/bench_snapshot [nodes]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "storage/snapshot/snapshot.hpp"
#include "util/node_hash.hpp"

using namespace corvane;

namespace {

MetadataEngine make_engine(std::size_t n) {
    std::mt19937_64 rng(42);
    MetadataEngine r;
    std::vector<std::string> ids;
    ids.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string file = "pkg/sub" + std::to_string(i % 97) + "/module_" + std::to_string(i / 20) + ".py";
        const std::string name = "handle_request_" + std::to_string(i);
        NodeMeta m;
        m.node_id = file + ":Service" + std::to_string(i % 13) + "." + name;
        m.node_type = i % 10 == 0 ? "Class" : "Function";
        m.name = name;
        m.file_path = file;
        m.signature = "(self, request: Request, timeout: float = 1.0) -> Response";
        m.docstring = "Handle one request: validate it, dispatch to the backend and wrap the result.";
        m.lines_start = static_cast<std::uint32_t>(i % 900);
        m.lines_end = *m.lines_start + 25;
        m.returns = std::vector<std::string>{"Response"};
        m.calls = std::vector<std::string>{"self.validate", "dispatch", "Response", "logger.info", "len"};
        m.calls_count = 4;
        m.callers_count = static_cast<std::uint32_t>(rng() % 8);
        m.lines_count = 26;
        m.is_async = i % 3 == 0;
        m.is_generator = false;
        m.param_count = 3;
        m.is_exported = true;
        m.blast_radius_score = static_cast<std::uint32_t>(rng() % 100);
        m.extra_json = R"({"decorators":["staticmethod"],"imports":[]})";
        r.identities.assign_own_hash(m.node_id);
        r.name_index.add(name, m.node_id);
        r.file_index.add(file, m.node_id);
        ids.push_back(m.node_id);
        r.nodes.emplace(m.node_id, std::move(m));
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) r.resolved_call_edges.insert({ids[i], ids[rng() % n]});
        r.execution_edges.insert({ids[i], ids[rng() % n]});
        r.structural_edges.insert({ids[i / 20 * 20], ids[i]});
    }
    return r;
}

// The floor set by memory latency: one walk over every container touching every string's
// bytes, which the encoder does once to size and once to write.
std::size_t touch(const std::string& s) { return s.size() + (s.empty() ? 0 : static_cast<unsigned char>(s.back())); }

std::size_t walk(const MetadataEngine& r) {
    std::size_t sum = 0;
    for (const auto& [k, m] : r.nodes) {
        sum += touch(k) + touch(m.node_id) + touch(m.name) + touch(m.file_path) + touch(m.node_type);
        if (m.signature) sum += touch(*m.signature);
        if (m.docstring) sum += touch(*m.docstring);
        if (m.calls) for (const auto& c : *m.calls) sum += touch(c);
        if (m.returns) for (const auto& c : *m.returns) sum += touch(c);
        if (m.extra_json) sum += touch(*m.extra_json);
    }
    for (const auto* idx : {&r.name_index, &r.file_index}) {
        for (const auto& [k, handles] : idx->entries()) {
            sum += touch(k);
            for (const auto& id : idx->view(handles)) sum += touch(id);
        }
    }
    auto entry = [&](std::string_view a, std::string_view b) { sum += a.size() + b.size() + a.back() + b.back(); };
    r.identities.for_each_hash(entry);
    r.identities.for_each_back_mapping(entry);
    for (const PairSet* set : all_edge_sets(r)) {
        for (const auto& [a, b] : *set) sum += touch(a) + touch(b);
    }
    return sum;
}

// Best of several runs; `reset` runs untimed before each, so freeing the previous result
// is not counted.
template <class Reset, class F>
double best_seconds(int reps, Reset&& reset, F&& f) {
    double best = 1e30;
    for (int i = 0; i < reps; ++i) {
        reset();
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const MetadataEngine engine = make_engine(n);
    volatile std::size_t sink = 0;
    const double walked = best_seconds(5, [] {}, [&] { sink = sink + walk(engine); });
    ByteBuffer bytes;
    const double enc = best_seconds(5, [&] { bytes = {}; }, [&] { bytes = std::move(*encode_snapshot(engine)); });
    std::optional<MetadataEngine> decoded;
    const double dec = best_seconds(5, [&] { decoded.reset(); }, [&] { decoded = decode_snapshot(bytes); });
    const std::size_t decoded_nodes = decoded ? decoded->nodes.size() : 0;
    if (decoded_nodes != n) {
        std::fprintf(stderr, "round trip lost nodes: %zu of %zu\n", decoded_nodes, n);
        return 1;
    }
    const double mb = static_cast<double>(bytes.size()) / 1e6;
    std::printf("nodes %zu, snapshot %.1f MB (%.0f bytes/node)\n", n, mb, static_cast<double>(bytes.size()) / n);
    std::printf("walk   %.1f ms  (one pass over the record, for scale)\n", walked * 1e3);
    std::printf("encode %.1f ms  %.0f MB/s\n", enc * 1e3, mb / enc);
    std::printf("decode %.1f ms  %.0f MB/s\n", dec * 1e3, mb / dec);
    return 0;
}
