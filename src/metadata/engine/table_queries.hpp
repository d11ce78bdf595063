#pragma once
// Queries over the node table as a whole: search by name or file name.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/node_meta.hpp"

namespace corvane {

// One hit's fields, viewing the text of the SearchHits that holds it.
struct SearchHit {
    std::string_view id;
    std::string_view type;
    std::string_view name;
    std::string_view file;
    std::optional<std::string_view> signature;
    std::optional<std::string_view> docstring;
    std::optional<std::span<const std::string_view>> returns;
    std::optional<std::span<const std::string_view>> calls;
    std::optional<std::uint32_t> lines_start;
    std::optional<std::uint32_t> lines_end;
    std::optional<std::string_view> django_relations_json;
};

// The hits of one search copied out of the node table, their texts and lists in a few large
// blocks: a hit costs no allocation of its own, and the copies stay valid when the table
// changes. Moving keeps the views valid; copying is not allowed.
class SearchHits {
public:
    SearchHits() = default;
    explicit SearchHits(const std::vector<const NodeMeta*>& matches);
    SearchHits(SearchHits&&) = default;
    SearchHits& operator=(SearchHits&&) = default;
    SearchHits(const SearchHits&) = delete;
    SearchHits& operator=(const SearchHits&) = delete;

    std::size_t size() const { return hits_.size(); }
    const SearchHit& operator[](std::size_t i) const { return hits_[i]; }
    auto begin() const { return hits_.begin(); }
    auto end() const { return hits_.end(); }

private:
    static constexpr std::size_t kBlockBytes = 64 * 1024;
    // Room in the current block, which never moves once views into it were handed out.
    void* take(std::size_t bytes, std::size_t align) {
        const auto padding = static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(free_) & (align - 1));
        if (padding + bytes > room_) return take_from_new_block(bytes, align);
        char* at = free_ + padding;
        room_ -= padding + bytes;
        free_ = at + bytes;
        return at;
    }
    void* take_from_new_block(std::size_t bytes, std::size_t align);

    std::vector<std::unique_ptr<char[]>> blocks_;
    char* free_ = nullptr;
    std::size_t room_ = 0;
    std::vector<SearchHit> hits_;
};

// The matching nodes: exact matches first, then partial ones, each group in table order; a
// node is in at most one. Visits every node: the plain definition, and the oracle of the
// indexed search.
std::vector<const NodeMeta*> search_matches(const MetadataEngine& record, std::string_view keyword);
// The same nodes and grouping through the state's search index (the order within each group
// carries no meaning in either); the plain scan when the index does not match the record.
std::vector<const NodeMeta*> search_matches(const EngineState& state, std::string_view keyword);
// search_matches through the index, copied out.
SearchHits search(const EngineState& state, std::string_view keyword);

// Search index hooks, run by the EngineState-level node table operations: before a node is
// upserted (with its id), after it was (with the stored record), before a file's nodes are
// removed, and after either change. They do nothing until a search has asked for the index.
void unindex_node_for_search(EngineState& state, const std::string& id);
void index_for_search(EngineState& state, const NodeMeta& stored);
void unindex_file_for_search(EngineState& state, const std::string& file_path);
void note_search_sizes(EngineState& state);
// Builds the index from the record, e.g. after the record was restored or changed directly.
void rebuild_search_index(EngineState& state);
// Whether search reads the index rather than every node.
bool search_index_current(const EngineState& state);
// Builds the index unless it is current, and keeps it up to date from then on (the first
// search of an engine calls this under the exclusive lock).
void ensure_search_index(EngineState& state);
// After the record was replaced as a whole: the index is rebuilt if a search has asked for
// it, dropped otherwise.
void reset_search_index(EngineState& state);

}  // namespace corvane
