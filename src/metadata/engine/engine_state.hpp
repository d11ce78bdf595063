#pragma once
// The state behind one metadata engine: the record, the two graph builders and the two
// compiled graphs. It changes only through the operations of mutations.hpp (the compile
// step aside, which replaces the compiled graphs and the counts they give).
#include <optional>
#include <string>
#include <string_view>

#include "graph/csr/csr_graph.hpp"
#include "metadata/engine/incremental_state.hpp"
#include "metadata/engine/node_meta.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "metadata/engine/search_index.hpp"
#include "util/result.hpp"

namespace corvane {

enum class EdgeKind : std::uint8_t {
    ResolvedCall = 0,
    Execution = 1,
    GeneratedExecution = 2,
    Structural = 3,
};

// What lets a compiled graph answer in node ids without looking hashes up: per handle its
// graph index, per graph index the id its hash maps back to. Valid only for the graph it was
// made from (serial) while the identity table is unchanged (generation).
struct GraphIdentity {
    static constexpr graph::NodeIndex kAbsent = 0xFFFFFFFFu;
    std::uint64_t graph_serial = 0;
    std::uint64_t generation = 0;
    std::vector<graph::NodeIndex> index_of_handle;  // kAbsent: no decodable hash, or not in the graph
    // The id's text itself, so that a result costs one read; data() null: the hash maps back
    // to no id.
    std::vector<std::string_view> id_of_index;

    bool valid_for(const graph::CsrGraph& graph, const IdentityTable& ids) const {
        return graph_serial == graph.serial && generation == ids.generation();
    }
};

struct EngineState {
    MetadataEngine record;
    graph::GraphBuilder dependency_builder;  // every kind
    graph::GraphBuilder call_builder;        // every kind but structural
    std::optional<graph::CsrGraph> dependency_graph;
    std::optional<graph::CsrGraph> call_graph;
    GraphIdentity dependency_graph_ids;  // made by the compile step
    GraphIdentity call_graph_ids;
    // Per index of call_graph, its ancestor counts as the compile step found them: the next
    // compile starts from them when its call graph has the very same nodes.
    std::vector<std::uint32_t> call_graph_counts;
    IncrementalState incremental = IncrementalState::of_empty_record();  // what the next edge refresh may reuse
    // Module contexts and class facts parsed by resolution, dropped when their node changes.
    ParsedSideData parsed;
    SearchIndex search_index;
};

}  // namespace corvane
