#pragma once
// Queries over the node table as a whole: search by name or file name.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
std::vector<SearchHit> search(const MetadataEngine& record, std::string_view keyword);

// The stored relations text parsed and written back compactly (sorted keys, last duplicate
// wins, UTF-8 kept); absent when it is not valid JSON.
std::optional<std::string> normalize_json_text(std::string_view text);

}  // namespace corvane
