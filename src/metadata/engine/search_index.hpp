#pragma once
// What search needs besides name_index: the distinct lower-cased names in one buffer, so a
// keyword is looked for once per distinct name with one substring scan instead of once per
// node, and the File and Folder nodes, whose base names match instead of their names.
// Kept up to date by the EngineState-level node operations; a name that leaves name_index
// stays in the buffer (its lookup finds nobody) until the buffer is rebuilt.
#include <cstdint>
#include <string>
#include <vector>

#include "util/hash.hpp"

namespace corvane {

// A File or Folder node's lower-cased name, and its file path's base name and stem.
struct FileLikeNames {
    std::string name;
    std::string base;
    std::string stem;

    bool operator==(const FileLikeNames&) const = default;
};

struct SearchIndex {
    std::string names;                 // each indexed name followed by a NUL byte
    std::vector<std::uint32_t> starts;  // offset of each name in `names`, ascending
    StringSet indexed;                  // the names in `names`
    StringMap<FileLikeNames> file_like;  // File and Folder nodes by id
    // Sizes of nodes and name_index after the last indexed change: a mismatch means the
    // record changed behind the index's back, and search scans the table instead.
    std::size_t expected_nodes = 0;
    std::size_t expected_names = 0;

    bool operator==(const SearchIndex&) const = default;
};

}  // namespace corvane
