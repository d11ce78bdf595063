#pragma once
// Ancestor counts of a compiled graph: the fast computation, the plain one kept as its
// oracle, and the knob tests and benchmarks use to fix the number of workers.
#include <cstdint>
#include <optional>
#include <vector>

#include "graph/csr/csr_graph.hpp"

namespace corvane::graph {

// Per node index of a compiled graph: the number of nodes that reach it over `reverse`
// (start excluded), i.e. the size of reachable(i, reverse, 0).
// The plain definition, one breadth-first walk per node; the oracle for the fast version.
std::vector<std::uint32_t> ancestor_counts_plain(const CsrGraph& graph);
// The same numbers, computed fast.
std::vector<std::uint32_t> ancestor_counts(const CsrGraph& graph);
// The counts of `after` from the counts of `before`, a graph with the same nodes at the same
// indexes: only paths from nodes that reach a node whose edges changed are counted again.
// None when the nodes differ, or when so many nodes reach a change that counting everything
// again costs less.
std::optional<std::vector<std::uint32_t>> ancestor_counts_after(const CsrGraph& before,
                                                                const std::vector<std::uint32_t>& counts,
                                                                const CsrGraph& after);

namespace detail {

// ancestor_counts with the number of sweep workers fixed (1 or 2) instead of chosen by size.
std::vector<std::uint32_t> ancestor_counts_workers(const CsrGraph& graph, unsigned workers);
// ancestor_counts_after with the number of marked nodes it accepts and the workers fixed.
std::optional<std::vector<std::uint32_t>> ancestor_counts_after_workers(const CsrGraph& before,
                                                                       const std::vector<std::uint32_t>& counts,
                                                                       const CsrGraph& after, std::size_t limit,
                                                                       unsigned workers);

}  // namespace detail

}  // namespace corvane::graph
