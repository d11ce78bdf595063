#pragma once
// Queries over the node table as a whole: search by name or file name.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/node_meta.hpp"

namespace corvane {

struct SearchHit {
    std::string id;
    std::string type;
    std::string name;
    std::string file;
    std::optional<std::string> signature;
    std::optional<std::string> docstring;
    std::optional<std::vector<std::string>> returns;
    std::optional<std::vector<std::string>> calls;
    std::optional<std::uint32_t> lines_start;
    std::optional<std::uint32_t> lines_end;
    std::optional<std::string> django_relations_json;
};

// Exact matches first, then partial ones, each in table order; a node is in at most one.
// Visits every node: the plain definition, and the oracle of the indexed search.
std::vector<SearchHit> search(const MetadataEngine& record, std::string_view keyword);
// The same hits and grouping through the state's search index (the order within each group
// carries no meaning in either); the plain scan when the index is not current.
std::vector<SearchHit> search(const EngineState& state, std::string_view keyword);

// Search index hooks, run by the EngineState-level node table operations: after a node is
// upserted, before a file's nodes are removed, and after either.
void index_for_search(EngineState& state, const NodeMeta& node);
void unindex_file_for_search(EngineState& state, const std::string& file_path);
void note_search_sizes(EngineState& state);
// Builds the index from the record, e.g. after the record was restored or changed directly.
void rebuild_search_index(EngineState& state);

// The stored relations text parsed and written back compactly (sorted keys, last duplicate
// wins, UTF-8 kept); absent when it is not valid JSON.
std::optional<std::string> normalize_json_text(std::string_view text);

}  // namespace corvane
