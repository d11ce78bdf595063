// Per-node ancestor counts of the compile step: the plain one-walk-per-node definition
// against the fast version, on synthetic code-shaped call graphs.
//
// Built by a CMake build with -DCORVANE_BUILD_BENCHMARKS=ON:
//   build/<dir>/bench/compile_metrics [nodes...]        (default: 10000 100000 1000000)
// The plain walk is skipped above 10^5 nodes (it grows with N * (N + E)).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "graph/csr/ancestor_counts.hpp"
#include "graph/csr/csr_graph.hpp"

using namespace corvane;
using namespace corvane::graph;

namespace {

Hash32 node_hash(std::uint64_t i) {
    Hash32 h{};
    std::uint64_t x = i * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e019ULL;
    for (int k = 0; k < 4; ++k) {
        x ^= x >> 31;
        x *= 0xbf58476d1ce4e5b9ULL;
        for (int b = 0; b < 8; ++b) h[k * 8 + b] = static_cast<std::uint8_t>(x >> (8 * b));
    }
    return h;
}

// Code-shaped: nodes sit in eight layers (callers above callees) and modules of ~40
// functions; each node calls ~5 others, mostly in lower layers with a strongly skewed
// (power-law) choice of callee, so a few utilities collect most callers; 2% of calls stay
// inside the module in any direction (local recursion and mutual recursion) and 0.05% go
// anywhere (the odd long cycle). `skew` is the exponent of the callee rank: higher values
// send more calls to the utilities; lower ones spread them and give larger reach.
CsrGraph code_shaped(std::uint32_t n, std::uint64_t seed, double skew, double* build_seconds) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::geometric_distribution<int> degree(1.0 / 6.0);  // mean 5
    constexpr std::uint32_t kLayers = 8;
    const auto t0 = std::chrono::steady_clock::now();
    GraphBuilder b;
    for (std::uint32_t v = 0; v < n; ++v) {
        const std::uint32_t layer = static_cast<std::uint32_t>(std::uint64_t{v} * kLayers / n);
        const std::uint32_t below = static_cast<std::uint32_t>(std::uint64_t{layer} * n / kLayers);
        const int calls = degree(rng);
        b.add_edge(node_hash(v), node_hash(v));  // index v is node v
        b.remove_node_edges(node_hash(v));
        for (int c = 0; c < calls; ++c) {
            const double r = unit(rng);
            std::uint32_t to;
            if (r < 0.0005) {
                to = static_cast<std::uint32_t>(rng() % n);
            } else if (r < 0.02 || below == 0) {
                const std::uint32_t module = v / 40 * 40;
                to = std::min<std::uint32_t>(n - 1, module + static_cast<std::uint32_t>(rng() % 40));
            } else {
                // Rank u^skew favours the first nodes of the lower layers: the utilities.
                to = static_cast<std::uint32_t>(below * (1.0 - std::pow(unit(rng), skew)));
                to = std::min(to, below - 1);
                to = below - 1 - to;
            }
            b.add_edge(node_hash(v), node_hash(to));
        }
    }
    CsrGraph g = b.compile();
    *build_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return g;
}

struct Timing {
    double wall, cpu;  // cpu: all threads of the process
};

template <class F>
Timing measure(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    f();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
            static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::uint32_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty()) sizes = {10000, 100000, 1000000};
    for (double skew : {3.0, 1.5}) {
        std::printf("callee rank skew %.1f\n", skew);
        for (std::uint32_t n : sizes) {
            double build = 0;
            const CsrGraph g = code_shaped(n, n, skew, &build);
            std::vector<std::uint32_t> fast, plain;
            const Timing tf = measure([&] { fast = ancestor_counts(g); });
            double mean = 0;
            std::uint32_t top = 0;
            for (auto c : fast) {
                mean += c;
                top = std::max(top, c);
            }
            mean /= std::max<std::size_t>(fast.size(), 1);
            std::printf("  nodes %u edges %zu (mean ancestors %.0f, max %u)  builder+compile %.2f s\n", n,
                        g.forward.targets.size(), mean, top, build);
            std::printf("    fast  %.4f s wall, %.4f s cpu\n", tf.wall, tf.cpu);
            if (n <= 100000) {
                const Timing tp = measure([&] { plain = ancestor_counts_plain(g); });
                std::printf("    plain %.4f s wall, %.4f s cpu   ratio %.1fx wall, %.1fx cpu  %s\n", tp.wall, tp.cpu,
                            tp.wall / tf.wall, tp.cpu / tf.cpu, plain == fast ? "agree" : "DISAGREE");
                if (plain != fast) return 1;
            }
            std::fflush(stdout);
        }
    }
    return 0;
}
