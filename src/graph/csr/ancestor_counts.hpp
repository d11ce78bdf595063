#pragma once
// Ancestor counts of a compiled graph: the fast computation, the plain one kept as its
// oracle, and the knob tests and benchmarks use to fix the number of workers.
#include <cstdint>
#include <vector>

#include "graph/csr/csr_graph.hpp"

namespace corvane::graph {

// Per node index of a compiled graph: the number of nodes that reach it over `reverse`
// (start excluded), i.e. the size of reachable(i, reverse, 0).
// The plain definition, one breadth-first walk per node; the oracle for the fast version.
std::vector<std::uint32_t> ancestor_counts_plain(const CsrGraph& graph);
// The same numbers, computed fast.
std::vector<std::uint32_t> ancestor_counts(const CsrGraph& graph);

namespace detail {

// ancestor_counts with the number of sweep workers fixed (1 or 2) instead of chosen by size.
std::vector<std::uint32_t> ancestor_counts_workers(const CsrGraph& graph, unsigned workers);

}  // namespace detail

}  // namespace corvane::graph
