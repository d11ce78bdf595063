#pragma once
// Knobs of the fast ancestor counts, for tests and benchmarks.
#include "graph/csr/csr_graph.hpp"

namespace corvane::graph::detail {

// ancestor_counts with the number of sweep workers fixed (1 or 2) instead of chosen by size.
std::vector<std::uint32_t> ancestor_counts_workers(const CsrGraph& graph, unsigned workers);

}  // namespace corvane::graph::detail
