#pragma once
// What search reads instead of visiting every node: the distinct lower-cased names of the
// nodes in one buffer, each with the nodes that bear it, so that a keyword is looked for once
// per distinct name with one substring scan and a hit costs no lookup; and the File and
// Folder nodes apart, whose base names match instead of their names.
// Built when a search first asks for it, and from then on kept up to date by the
// EngineState-level node operations, so that loading a table nobody searches costs nothing
// here. A name whose last node left stays in the buffer with no nodes until the buffer is
// rebuilt.
#include <cstdint>
#include <string>
#include <vector>

#include "metadata/engine/node_meta.hpp"
#include "util/hash.hpp"

namespace corvane {

// A File or Folder node's lower-cased name, and its file path's base name and stem.
struct FileLikeNames {
    std::string name;
    std::string base;
    std::string stem;

    bool operator==(const FileLikeNames&) const = default;
};

struct FileLikeEntry {
    const NodeMeta* node;
    FileLikeNames names;
};

// The nodes that bear one name. Most names have one: it is kept in place, so that reading
// it costs no visit to another allocation.
struct Bearers {
    const NodeMeta* first = nullptr;
    std::vector<const NodeMeta*> more;

    void add(const NodeMeta* node) {
        if (first == nullptr) {
            first = node;
        } else {
            more.push_back(node);
        }
    }
    void remove(const NodeMeta* node);
    template <class F>
    void for_each(F&& f) const {
        if (first == nullptr) return;
        f(first);
        for (const NodeMeta* node : more) f(node);
    }
};

struct SearchIndex {
    std::string names;                  // each indexed name followed by a NUL byte
    std::vector<std::uint32_t> starts;  // offset of each name in `names`, ascending
    // Per name, by position in `starts`: the nodes of the table (not File or Folder) whose
    // lower-cased name it is, in no particular order. They point into the record's node
    // table, whose entries stay put while it grows.
    std::vector<Bearers> bearers;
    StringMap<std::uint32_t> position;  // name -> its position in `starts`
    StringMap<FileLikeEntry> file_like;  // File and Folder nodes by id

    // The record the pointers above belong to, and its change tally after the last indexed
    // change: a record changed behind the index's back, or another record (a copy), makes
    // search scan the table instead of following a pointer to a node that may be gone, until
    // the next change through the state rebuilds the index.
    const MetadataEngine* record = nullptr;
    std::uint64_t expected_changes = 0;
    // A search has asked for the index: changes keep it up to date from then on.
    bool wanted = false;
};

}  // namespace corvane
