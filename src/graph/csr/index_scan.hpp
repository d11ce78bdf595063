#pragma once
// Membership test over a list of node indexes: the duplicate check of GraphBuilder::add_edge.
// Hub nodes have long outgoing lists, so the scan compares several indexes per instruction.
#include <cstddef>

#include "graph/csr/csr_graph.hpp"

namespace corvane::graph::detail {

// The reference loop, one index at a time.
bool contains_scalar(const NodeIndex* data, std::size_t n, NodeIndex value);
// The vector scan the builder uses (AVX2 when the CPU has it, else SSE2, else the loop).
bool contains_index(const NodeIndex* data, std::size_t n, NodeIndex value);

// The individual kernels, for agreement tests; each returns false from `available` when the
// CPU or the build target lacks it.
bool sse2_available();
bool avx2_available();
bool contains_sse2(const NodeIndex* data, std::size_t n, NodeIndex value);
bool contains_avx2(const NodeIndex* data, std::size_t n, NodeIndex value);

}  // namespace corvane::graph::detail
