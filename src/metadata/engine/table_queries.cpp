#include "metadata/engine/table_queries.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "util/lowercase.hpp"

namespace corvane {

namespace {

bool is_file_like(const std::string& type) { return type == "File" || type == "Folder"; }

enum class Match { None, Exact, Partial };

FileLikeNames file_like_names(const NodeMeta& meta) {
    const std::string& path = meta.file_path;
    auto sep = path.find_last_of("/\\");
    std::string_view basename = sep == std::string::npos ? std::string_view(path) : std::string_view(path).substr(sep + 1);
    std::string_view stem = basename.substr(0, basename.find('.'));
    return {to_lower(meta.name), to_lower(basename), to_lower(stem)};
}

// A File or Folder node whose lower-cased name is not the keyword matches by its file
// path's base name: exactly through the base name or its stem, partially through the base
// name alone.
Match file_like_match(const FileLikeNames& names, const std::string& k) {
    if (names.base == k || names.stem == k) return Match::Exact;
    if (names.base.find(k) != std::string::npos) return Match::Partial;
    return Match::None;
}

std::vector<const NodeMeta*> grouped(std::vector<const NodeMeta*> exact, const std::vector<const NodeMeta*>& partial) {
    exact.insert(exact.end(), partial.begin(), partial.end());
    return exact;
}

void append_name(SearchIndex& index, const std::string& key) {
    if (!index.indexed.insert(key).second) return;
    index.starts.push_back(static_cast<std::uint32_t>(index.names.size()));
    index.names += key;
    index.names += '\0';
}

}  // namespace

std::vector<const NodeMeta*> search_matches(const MetadataEngine& record, std::string_view keyword) {
    const std::string k = to_lower(keyword);
    std::vector<const NodeMeta*> exact, partial;
    for (const auto& [id, meta] : record.nodes) {
        const std::string name = to_lower(meta.name);
        if (name == k) {
            exact.push_back(&meta);
            continue;
        }
        if (is_file_like(meta.node_type)) {
            switch (file_like_match(file_like_names(meta), k)) {
                case Match::Exact: exact.push_back(&meta); break;
                case Match::Partial: partial.push_back(&meta); break;
                case Match::None: break;
            }
        } else if (name.find(k) != std::string::npos) {
            partial.push_back(&meta);
        }
    }
    return grouped(std::move(exact), partial);
}

std::vector<const NodeMeta*> search_matches(const EngineState& state, std::string_view keyword) {
    const MetadataEngine& record = state.record;
    const SearchIndex& index = state.search_index;
    if (record.nodes.size() != index.expected_nodes || record.name_index.size() != index.expected_names) {
        return search_matches(record, keyword);
    }
    const std::string k = to_lower(keyword);
    std::vector<const NodeMeta*> exact, partial;
    auto node = [&](const std::string& id) -> const NodeMeta* {
        auto it = record.nodes.find(id);
        return it == record.nodes.end() ? nullptr : &it->second;
    };
    // Every node whose lower-cased name is the keyword, whatever its type.
    if (auto it = record.name_index.find(k); it != record.name_index.end()) {
        for (const auto& id : it->second) {
            if (const NodeMeta* m = node(id)) exact.push_back(m);
        }
    }
    // Other nodes by the names that contain the keyword. A name never holds the keyword
    // across its terminating NUL unless the keyword has one; then each name is tried alone.
    auto partial_name = [&](std::string_view name) {
        if (name == k) return;
        auto it = record.name_index.find(name);
        if (it == record.name_index.end()) return;
        for (const auto& id : it->second) {
            const NodeMeta* m = node(id);
            if (m != nullptr && !is_file_like(m->node_type)) partial.push_back(m);
        }
    };
    const std::string_view names(index.names);
    if (k.find('\0') == std::string::npos) {
        std::size_t from = 0;
        while (from < names.size() && (from = names.find(k, from)) != std::string_view::npos) {
            auto next = std::upper_bound(index.starts.begin(), index.starts.end(), static_cast<std::uint32_t>(from));
            const std::size_t start = *(next - 1);
            const std::size_t end = next == index.starts.end() ? names.size() : *next;
            partial_name(names.substr(start, end - 1 - start));
            from = end;
        }
    } else {
        for (std::size_t i = 0; i < index.starts.size(); ++i) {
            const std::size_t end = i + 1 < index.starts.size() ? index.starts[i + 1] : names.size();
            std::string_view name = names.substr(index.starts[i], end - 1 - index.starts[i]);
            if (name.find(k) != std::string_view::npos) partial_name(name);
        }
    }
    for (const auto& [id, names] : index.file_like) {
        if (names.name == k) continue;
        const Match match = file_like_match(names, k);
        if (match == Match::None) continue;
        const NodeMeta* m = node(id);
        if (m == nullptr || !is_file_like(m->node_type)) continue;
        (match == Match::Exact ? exact : partial).push_back(m);
    }
    return grouped(std::move(exact), partial);
}

SearchHits search(const EngineState& state, std::string_view keyword) {
    return SearchHits(search_matches(state, keyword));
}

SearchHits::SearchHits(const std::vector<const NodeMeta*>& matches) {
    // The sizes first: each buffer is allocated once and never moves while views are taken.
    std::size_t bytes = 0;
    std::size_t items = 0;
    auto count_text = [&](const std::optional<std::string>& s) { bytes += s ? s->size() : 0; };
    auto count_list = [&](const std::optional<std::vector<std::string>>& list) {
        if (!list) return;
        items += list->size();
        for (const auto& s : *list) bytes += s.size();
    };
    for (const NodeMeta* m : matches) {
        bytes += m->node_id.size() + m->node_type.size() + m->name.size() + m->file_path.size();
        count_text(m->signature);
        count_text(m->docstring);
        count_text(m->django_relations_json);
        count_list(m->returns);
        count_list(m->calls);
    }
    text_ = std::make_unique_for_overwrite<char[]>(bytes);
    items_.reserve(items);
    hits_.reserve(matches.size());

    char* end = text_.get();
    auto copy = [&](const std::string& s) {
        std::string_view view(end, s.size());
        if (!s.empty()) end = static_cast<char*>(std::memcpy(end, s.data(), s.size())) + s.size();
        return view;
    };
    auto copy_text = [&](const std::optional<std::string>& s) -> std::optional<std::string_view> {
        if (!s) return std::nullopt;
        return copy(*s);
    };
    auto copy_list = [&](const std::optional<std::vector<std::string>>& list)
        -> std::optional<std::span<const std::string_view>> {
        if (!list) return std::nullopt;
        const std::size_t first = items_.size();
        for (const auto& s : *list) items_.push_back(copy(s));
        return std::span<const std::string_view>(items_.data() + first, list->size());
    };
    for (const NodeMeta* m : matches) {
        hits_.push_back({copy(m->node_id), copy(m->node_type), copy(m->name), copy(m->file_path),
                         copy_text(m->signature), copy_text(m->docstring), copy_list(m->returns), copy_list(m->calls),
                         m->lines_start, m->lines_end, copy_text(m->django_relations_json)});
    }
}

void index_for_search(EngineState& state, const NodeMeta& node) {
    SearchIndex& index = state.search_index;
    if (is_file_like(node.node_type)) {
        index.file_like.insert_or_assign(node.node_id, file_like_names(node));
    } else {
        index.file_like.erase(node.node_id);
    }
    append_name(index, to_lower(node.name));
}

void unindex_file_for_search(EngineState& state, const std::string& file_path) {
    auto entry = state.record.file_index.find(file_path);
    if (entry == state.record.file_index.end()) return;
    for (const auto& id : entry->second) state.search_index.file_like.erase(id);
}

void note_search_sizes(EngineState& state) {
    SearchIndex& index = state.search_index;
    const MetadataEngine& record = state.record;
    // Names that left name_index only cost scan time; past this share they go.
    if (index.indexed.size() > 2 * record.name_index.size() + 4096) {
        rebuild_search_index(state);
        return;
    }
    index.expected_nodes = record.nodes.size();
    index.expected_names = record.name_index.size();
}

void rebuild_search_index(EngineState& state) {
    SearchIndex& index = state.search_index;
    index = SearchIndex{};
    for (const auto& [key, ids] : state.record.name_index) append_name(index, key);
    for (const auto& [id, meta] : state.record.nodes) {
        if (is_file_like(meta.node_type)) index.file_like.emplace(id, file_like_names(meta));
    }
    index.expected_nodes = state.record.nodes.size();
    index.expected_names = state.record.name_index.size();
}

}  // namespace corvane
