// Fast ancestor counts ("blast radius" of every node at once).
//
// Members of one strongly connected component reach each other and share every outside
// ancestor, so the count of node v in component C is
//     (total size of the components that reach C, C excluded) + |C| - 1.
// Components are numbered in topological order (every condensation edge goes from a lower to
// a higher number). The outside part is summed the other way round: take a batch of
// consecutive source components, give each one bit of a wide lane, push the lanes down the
// condensation in increasing component order, and at every reached component add the sizes
// of the sources whose bits arrived. Consecutive components in this order come from the same
// depth-first subtree, so their descendant sets overlap and one sweep serves the whole batch.
//
// After a change of some nodes' edges (the nodes staying the same), only paths from the
// nodes that reach a changed node can appear or vanish: with M those nodes, the new count of
// v is its old count, minus the members of M that reached v before, plus those that reach
// it now. Both are the same sweep with only M's components as sources, each weighted by its
// members in M.
#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <optional>
#include <stdexcept>
#include <thread>

#include "graph/csr/ancestor_counts.hpp"
#include "util/two_threads.hpp"

namespace corvane::graph {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

struct Condensation {
    std::uint32_t count = 0;
    std::vector<std::uint32_t> component;  // per node
    std::vector<std::uint32_t> size;       // per component
    CsrArrays successors;                  // de-duplicated, no self-edges
};

// Tarjan's algorithm with an explicit call stack: call graphs can be deep enough to exhaust
// the thread stack with recursion.
Condensation condense(const CsrArrays& fwd, std::size_t n) {
    Condensation out;
    std::vector<std::uint32_t> order(n, kNone), low(n);
    std::vector<std::uint32_t>& comp = out.component;
    comp.assign(n, kNone);
    std::vector<std::uint32_t> stack;
    struct Frame {
        std::uint32_t node;
        std::uint64_t edge;
    };
    std::vector<Frame> calls;
    std::uint32_t counter = 0, found = 0;

    for (std::size_t root = 0; root < n; ++root) {
        if (order[root] != kNone) continue;
        const auto r = static_cast<std::uint32_t>(root);
        order[r] = low[r] = counter++;
        stack.push_back(r);
        calls.push_back({r, fwd.offsets[r]});
        while (!calls.empty()) {
            const std::uint32_t v = calls.back().node;
            const std::uint64_t e = calls.back().edge;
            if (e < fwd.offsets[v + 1]) {
                calls.back().edge = e + 1;
                const std::uint32_t w = fwd.targets[e];
                if (order[w] == kNone) {
                    order[w] = low[w] = counter++;
                    stack.push_back(w);
                    calls.push_back({w, fwd.offsets[w]});
                } else if (comp[w] == kNone) {  // still on the Tarjan stack
                    low[v] = std::min(low[v], order[w]);
                }
                continue;
            }
            if (low[v] == order[v]) {
                std::uint32_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    comp[w] = found;
                } while (w != v);
                ++found;
            }
            calls.pop_back();
            if (!calls.empty()) {
                const std::uint32_t u = calls.back().node;
                low[u] = std::min(low[u], low[v]);
            }
        }
    }

    // Tarjan finishes a component after everything it reaches: reverse the numbering so
    // that edges go upwards.
    out.count = found;
    out.size.assign(found, 0);
    for (auto& c : comp) {
        c = found - 1 - c;
        ++out.size[c];
    }

    // Members grouped by component, then each component's successor set without repeats.
    std::vector<std::uint64_t> member_start(found + 1, 0);
    for (std::uint32_t c : comp) ++member_start[c + 1];
    for (std::uint32_t c = 0; c < found; ++c) member_start[c + 1] += member_start[c];
    std::vector<std::uint32_t> members(n);
    {
        std::vector<std::uint64_t> fill(member_start.begin(), member_start.end() - 1);
        for (std::size_t v = 0; v < n; ++v) members[fill[comp[v]]++] = static_cast<std::uint32_t>(v);
    }
    std::vector<std::uint32_t>().swap(order);
    std::vector<std::uint32_t>& stamp = low;  // reused: last component that listed a target
    std::fill(stamp.begin(), stamp.begin() + found, kNone);
    CsrArrays& succ = out.successors;
    succ.offsets.resize(found + 1);
    succ.targets.reserve(fwd.targets.size());
    for (std::uint32_t c = 0; c < found; ++c) {
        succ.offsets[c] = succ.targets.size();
        for (std::uint64_t m = member_start[c]; m < member_start[c + 1]; ++m) {
            const std::uint32_t v = members[m];
            for (NodeIndex w : fwd.neighbours(v)) {
                const std::uint32_t d = comp[w];
                if (d == c || stamp[d] == c) continue;
                stamp[d] = c;
                succ.targets.push_back(d);
            }
        }
    }
    succ.offsets[found] = succ.targets.size();
    succ.targets.shrink_to_fit();
    return out;
}

// Which components need a lane bit of their own. A sink reaches nothing. A component with
// exactly one successor t reaches t and what t reaches, so it is folded into t: its weight
// joins t's weight and is added to t's total directly (t never counts its own bit). Folding
// runs in increasing order, so chains fold all the way down.
struct Sources {
    std::vector<std::uint32_t> list;    // increasing component numbers
    std::vector<std::uint32_t> weight;  // per component: its size plus everything folded into it
    std::vector<std::uint32_t> folded;  // per component: weight folded into it from above
};

Sources pick_sources(const Condensation& g) {
    Sources s;
    s.weight = g.size;
    s.folded.assign(g.count, 0);
    for (std::uint32_t c = 0; c < g.count; ++c) {
        const std::uint64_t degree = g.successors.offsets[c + 1] - g.successors.offsets[c];
        if (degree == 0) continue;
        if (degree == 1) {
            const std::uint32_t t = g.successors.targets[g.successors.offsets[c]];
            s.weight[t] += s.weight[c];
            s.folded[t] += s.weight[c];
            continue;
        }
        s.list.push_back(c);
    }
    return s;
}

// Lane width in 64-bit words: sources per batch = 64 * kLaneWords.
constexpr std::uint32_t kLaneWords = 4;
constexpr std::uint32_t kBatch = 64 * kLaneWords;

struct Lanes {
    std::vector<std::uint64_t> bits;   // kLaneWords words per component
    std::vector<std::uint64_t> live;   // one bit per component: its lane is non-zero
    std::vector<std::uint32_t> total;  // this worker's share of the outside ancestor weights
};

// Inlined into each instruction-set variant below, so the lane loops and popcounts are
// compiled for that target.
[[gnu::always_inline]] inline void sweep_batches(const Condensation& g, const Sources& src, Lanes& lanes,
                                                 std::atomic<std::uint32_t>& next) {
    const std::uint64_t* offsets = g.successors.offsets.data();
    const std::uint32_t* targets = g.successors.targets.data();
    const std::size_t sources = src.list.size();
    std::uint64_t* bits = lanes.bits.data();
    std::uint64_t* live = lanes.live.data();
    std::uint32_t* total = lanes.total.data();

    for (;;) {
        const std::uint64_t lo = std::uint64_t{next.fetch_add(1, std::memory_order_relaxed)} * kBatch;
        if (lo >= sources) return;
        const std::uint32_t* batch = src.list.data() + lo;
        const auto width = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBatch, sources - lo));

        // Source weights as bit planes: the weighted sum of a lane is
        // sum_k popcount(lane & plane_k) << k, a single plane when every weight is 1.
        std::uint32_t heaviest = 0;
        for (std::uint32_t b = 0; b < width; ++b) heaviest = std::max(heaviest, src.weight[batch[b]]);
        const int planes = std::bit_width(heaviest);
        std::uint64_t plane[32][kLaneWords] = {};
        for (std::uint32_t b = 0; b < width; ++b) {
            const std::uint32_t c = batch[b];
            const std::uint64_t bit = std::uint64_t{1} << (b % 64);
            for (int k = 0; k < planes; ++k)
                if ((src.weight[c] >> k) & 1u) plane[k][b / 64] |= bit;
            bits[std::uint64_t{c} * kLaneWords + b / 64] |= bit;
            live[c / 64] |= std::uint64_t{1} << (c % 64);
        }

        // Components only push to higher numbers, so one ascending scan of the live bitmap
        // visits each reached component after all of its reached predecessors.
        std::uint32_t own = 0;  // next batch member not yet passed by the scan
        std::uint32_t last = batch[width - 1];
        for (std::uint32_t block = batch[0] / 64; block <= last / 64; ++block) {
            while (live[block] != 0) {
                const std::uint64_t word = live[block];
                live[block] = word & (word - 1);
                const std::uint32_t c = block * 64 + static_cast<std::uint32_t>(std::countr_zero(word));
                std::uint64_t lane[kLaneWords];
                std::uint64_t* mine = bits + std::uint64_t{c} * kLaneWords;
                for (std::uint32_t i = 0; i < kLaneWords; ++i) lane[i] = mine[i];
                for (std::uint64_t e = offsets[c]; e < offsets[c + 1]; ++e) {
                    const std::uint32_t d = targets[e];
                    std::uint64_t* to = bits + std::uint64_t{d} * kLaneWords;
                    for (std::uint32_t i = 0; i < kLaneWords; ++i) to[i] |= lane[i];
                    live[d / 64] |= std::uint64_t{1} << (d % 64);
                    last = std::max(last, d);
                }
                // A component never counts itself.
                while (own < width && batch[own] < c) ++own;
                if (own < width && batch[own] == c) lane[own / 64] &= ~(std::uint64_t{1} << (own % 64));
                std::uint64_t sum = 0;
                for (int k = 0; k < planes; ++k) {
                    std::uint64_t n = 0;
                    for (std::uint32_t i = 0; i < kLaneWords; ++i) n += std::popcount(lane[i] & plane[k][i]);
                    sum += n << k;
                }
                total[c] += static_cast<std::uint32_t>(sum);
                for (std::uint32_t i = 0; i < kLaneWords; ++i) mine[i] = 0;
            }
        }
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2,popcnt,bmi,bmi2,lzcnt"))) void sweep_avx2(const Condensation& g, const Sources& src,
                                                                      Lanes& lanes, std::atomic<std::uint32_t>& next) {
    sweep_batches(g, src, lanes, next);
}
#endif

void sweep_generic(const Condensation& g, const Sources& src, Lanes& lanes, std::atomic<std::uint32_t>& next) {
    sweep_batches(g, src, lanes, next);
}

void sweep(const Condensation& g, const Sources& src, Lanes& lanes, std::atomic<std::uint32_t>& next) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") &&
                             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    if (avx2) return sweep_avx2(g, src, lanes, next);
#endif
    sweep_generic(g, src, lanes, next);
}

void init_lanes(Lanes& lanes, std::uint32_t count) {
    lanes.bits.assign(std::uint64_t{count} * kLaneWords, 0);
    lanes.live.assign((std::uint64_t{count} + 63) / 64, 0);
    lanes.total.assign(count, 0);
}

// Below this many nodes plus edges a second thread costs more than it saves.
constexpr std::uint64_t kParallelWork = 1u << 16;

// Sums, per component, the weights of the source components that reach it (itself excluded),
// with the batches shared between `workers` threads (1 or 2).
std::vector<std::uint32_t> sweep_totals(const Condensation& g, const Sources& src, unsigned workers) {
    std::atomic<std::uint32_t> next{0};
    Lanes mine;
    init_lanes(mine, g.count);
    Lanes other;
    const bool two = workers > 1 && src.list.size() > kBatch;
    if (two) init_lanes(other, g.count);
    // Without a second thread the first sweep takes every batch and the second finds none.
    run_both(two, [&] { sweep(g, src, mine, next); }, [&] {
        if (two) sweep(g, src, other, next);
    });
    if (two) {
        for (std::uint32_t c = 0; c < g.count; ++c) mine.total[c] += other.total[c];
    }
    return std::move(mine.total);
}

unsigned workers_for(const CsrGraph& graph) {
    const std::uint64_t work = graph.node_count() + graph.forward.targets.size();
    return work >= kParallelWork && graph.node_count() > kBatch && std::thread::hardware_concurrency() > 1 ? 2 : 1;
}

// Per node: how many members of `marked` other than the node itself reach it in `graph`.
// The marked members of a component are its weight; only those components are sources.
std::vector<std::uint32_t> marked_ancestor_counts(const CsrGraph& graph, const std::vector<bool>& marked, unsigned workers) {
    const std::size_t n = graph.node_count();
    const Condensation g = condense(graph.forward, n);
    Sources src;
    src.weight.assign(g.count, 0);
    for (std::size_t v = 0; v < n; ++v)
        if (marked[v]) ++src.weight[g.component[v]];
    for (std::uint32_t c = 0; c < g.count; ++c)
        if (src.weight[c] != 0 && g.successors.offsets[c + 1] != g.successors.offsets[c]) src.list.push_back(c);
    const std::vector<std::uint32_t> total = sweep_totals(g, src, workers);
    std::vector<std::uint32_t> counts(n);
    for (std::size_t v = 0; v < n; ++v) {
        const std::uint32_t c = g.component[v];
        counts[v] = total[c] + src.weight[c] - (marked[v] ? 1 : 0);
    }
    return counts;
}

// The nodes whose successor sets differ between two graphs with the same nodes, each once.
std::vector<NodeIndex> changed_sources(const CsrGraph& a, const CsrGraph& b) {
    std::vector<NodeIndex> out;
    std::vector<NodeIndex> x, y;
    for (NodeIndex i = 0; i < a.node_count(); ++i) {
        const auto p = a.forward.neighbours(i), q = b.forward.neighbours(i);
        if (std::equal(p.begin(), p.end(), q.begin(), q.end())) continue;
        x.assign(p.begin(), p.end());
        y.assign(q.begin(), q.end());
        std::sort(x.begin(), x.end());
        x.erase(std::unique(x.begin(), x.end()), x.end());
        std::sort(y.begin(), y.end());
        y.erase(std::unique(y.begin(), y.end()), y.end());
        if (x != y) out.push_back(i);
    }
    return out;
}

}  // namespace

namespace detail {

std::vector<std::uint32_t> ancestor_counts_workers(const CsrGraph& graph, unsigned workers) {
    const std::size_t n = graph.node_count();
    if (n == 0) return {};
    if (graph.forward.offsets.size() != n + 1) throw std::logic_error("CSR arrays do not belong to this graph");
    const Condensation g = condense(graph.forward, n);
    const Sources src = pick_sources(g);
    const std::vector<std::uint32_t> total = sweep_totals(g, src, workers);
    std::vector<std::uint32_t> counts(n);
    for (std::size_t v = 0; v < n; ++v) {
        const std::uint32_t c = g.component[v];
        counts[v] = total[c] + src.folded[c] + g.size[c] - 1;
    }
    return counts;
}

std::optional<std::vector<std::uint32_t>> ancestor_counts_after_workers(const CsrGraph& before,
                                                                       const std::vector<std::uint32_t>& counts,
                                                                       const CsrGraph& after, std::size_t limit,
                                                                       unsigned workers) {
    const std::size_t n = after.node_count();
    if (counts.size() != n) return std::nullopt;
    if (&before.hashes() != &after.hashes() && before.hashes() != after.hashes()) return std::nullopt;
    if (before.forward.offsets.size() != n + 1 || after.forward.offsets.size() != n + 1)
        throw std::logic_error("CSR arrays do not belong to this graph");
    const std::vector<NodeIndex> changed = changed_sources(before, after);
    if (changed.empty()) return counts;
    // A path that runs in one graph and not in the other takes a changed edge; up to the
    // first one it runs in both. So it starts at a node that reaches a node whose edges
    // changed, in either graph alike: the marked nodes. A node that is not marked reaches
    // the same nodes in both graphs.
    std::vector<bool> marked(n, false);
    std::vector<NodeIndex> queue(changed);
    for (NodeIndex v : changed) marked[v] = true;
    if (queue.size() > limit) return std::nullopt;
    for (std::size_t k = 0; k < queue.size(); ++k) {
        for (NodeIndex u : after.reverse.neighbours(queue[k])) {
            if (marked[u]) continue;
            if (queue.size() >= limit) return std::nullopt;
            marked[u] = true;
            queue.push_back(u);
        }
    }
    const std::vector<std::uint32_t> lost = marked_ancestor_counts(before, marked, workers);
    const std::vector<std::uint32_t> gained = marked_ancestor_counts(after, marked, workers);
    std::vector<std::uint32_t> out(n);
    for (std::size_t v = 0; v < n; ++v) out[v] = counts[v] - lost[v] + gained[v];
    return out;
}

}  // namespace detail

std::vector<std::uint32_t> ancestor_counts_plain(const CsrGraph& graph) {
    std::vector<std::uint32_t> counts(graph.node_count());
    for (std::size_t i = 0; i < counts.size(); ++i)
        counts[i] = static_cast<std::uint32_t>(graph.reachable_indexes(static_cast<NodeIndex>(i), graph.reverse, 0).size());
    return counts;
}

std::vector<std::uint32_t> ancestor_counts(const CsrGraph& graph) {
    // Judged on the graph itself: the condensation is only known after the first pass.
    return detail::ancestor_counts_workers(graph, workers_for(graph));
}

std::optional<std::vector<std::uint32_t>> ancestor_counts_after(const CsrGraph& before,
                                                                const std::vector<std::uint32_t>& counts,
                                                                const CsrGraph& after) {
    // Two sweeps from the marked nodes cost about what a full count costs when they are
    // an eighth of the graph's nodes.
    return detail::ancestor_counts_after_workers(before, counts, after, after.node_count() / 8, workers_for(after));
}

}  // namespace corvane::graph
