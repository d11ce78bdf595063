#include "metadata/engine/table_queries.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

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

bool index_current(const EngineState& state) {
    const SearchIndex& index = state.search_index;
    return index.record == &state.record && index.expected_changes == state.record.changes.value;
}

// The position of a name in the index, appended when it is new.
std::uint32_t position_of(SearchIndex& index, const std::string& key) {
    auto [it, added] = index.position.try_emplace(key, static_cast<std::uint32_t>(index.starts.size()));
    if (added) {
        index.starts.push_back(static_cast<std::uint32_t>(index.names.size()));
        index.names += key;
        index.names += '\0';
        index.bearers.emplace_back();
    }
    return it->second;
}

void add_to_index(SearchIndex& index, const NodeMeta& node) {
    if (is_file_like(node.node_type)) {
        index.file_like.insert_or_assign(node.node_id, FileLikeEntry{&node, file_like_names(node)});
    } else {
        index.bearers[position_of(index, to_lower(node.name))].add(&node);
    }
}

void remove_from_index(SearchIndex& index, const NodeMeta& node) {
    if (is_file_like(node.node_type)) {
        index.file_like.erase(node.node_id);
        return;
    }
    if (auto it = index.position.find(to_lower(node.name)); it != index.position.end()) {
        index.bearers[it->second].remove(&node);
    }
}

}  // namespace

void Bearers::remove(const NodeMeta* node) {
    if (first == node) {
        if (more.empty()) {
            first = nullptr;
        } else {
            first = more.back();
            more.pop_back();
        }
    } else if (auto at = std::find(more.begin(), more.end(), node); at != more.end()) {
        *at = more.back();
        more.pop_back();
    }
}

namespace {

// Before a change: an index that no longer matches its record is left alone and rebuilt
// after the change.
bool keep_up(EngineState& state) {
    if (index_current(state)) return true;
    state.search_index.record = nullptr;
    return false;
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
    if (!index_current(state)) return search_matches(state.record, keyword);
    const SearchIndex& index = state.search_index;
    const std::string k = to_lower(keyword);
    std::vector<const NodeMeta*> exact, partial;
    // Every node but a File or Folder whose lower-cased name is the keyword, then those
    // whose names contain it.
    std::size_t exact_at = index.starts.size();
    if (auto it = index.position.find(k); it != index.position.end()) {
        exact_at = it->second;
        index.bearers[exact_at].for_each([&](const NodeMeta* m) { exact.push_back(m); });
    }
    auto add_partial = [&](std::size_t at) {
        if (at != exact_at) index.bearers[at].for_each([&](const NodeMeta* m) { partial.push_back(m); });
    };
    // A name never holds the keyword across its terminating NUL unless the keyword has one;
    // then each name is tried alone.
    const std::string_view names(index.names);
    if (k.find('\0') == std::string::npos) {
        // memmem skips ahead by pairs of bytes; find stops at every byte equal to the
        // keyword's first, and in names the first letters of keywords are common.
        auto find = [&](std::size_t from) {
            const void* at = memmem(names.data() + from, names.size() - from, k.data(), k.size());
            if (at == nullptr) return std::string_view::npos;
            return static_cast<std::size_t>(static_cast<const char*>(at) - names.data());
        };
        std::size_t from = 0;
        while (from < names.size() && (from = find(from)) != std::string_view::npos) {
            auto next = std::upper_bound(index.starts.begin(), index.starts.end(), static_cast<std::uint32_t>(from));
            add_partial(static_cast<std::size_t>(next - index.starts.begin()) - 1);
            from = next == index.starts.end() ? names.size() : *next;
        }
    } else {
        for (std::size_t i = 0; i < index.starts.size(); ++i) {
            const std::size_t end = i + 1 < index.starts.size() ? index.starts[i + 1] : names.size();
            if (names.substr(index.starts[i], end - 1 - index.starts[i]).find(k) != std::string_view::npos) add_partial(i);
        }
    }
    for (const auto& [id, entry] : index.file_like) {
        const Match match = entry.names.name == k ? Match::Exact : file_like_match(entry.names, k);
        if (match != Match::None) (match == Match::Exact ? exact : partial).push_back(entry.node);
    }
    return grouped(std::move(exact), partial);
}

SearchHits search(const EngineState& state, std::string_view keyword) {
    return SearchHits(search_matches(state, keyword));
}

namespace {

// The hits are scattered over the heap, and copying them waits on memory more than it
// computes: a few hits ahead, their records and then their texts are asked for early.
constexpr std::size_t kRecordsAhead = 8;
constexpr std::size_t kTextsAhead = 4;

void prefetch_record(const NodeMeta* m) {
    const char* p = reinterpret_cast<const char*>(m);
    for (std::size_t at = 0; at < sizeof(NodeMeta); at += 64) __builtin_prefetch(p + at);
}

void prefetch_texts(const NodeMeta* m) {
    for (const std::string* s : {&m->node_id, &m->name, &m->file_path}) __builtin_prefetch(s->data());
    for (const auto* s : {&m->signature, &m->docstring, &m->django_relations_json}) {
        if (*s) __builtin_prefetch((*s)->data());
    }
    for (const auto* list : {&m->returns, &m->calls}) {
        if (*list) __builtin_prefetch((*list)->data());
    }
}

}  // namespace

SearchHits::SearchHits(const std::vector<const NodeMeta*>& matches) {
    hits_.reserve(matches.size());
    auto copy = [&](const std::string& s) {
        char* to = static_cast<char*>(take(s.size(), 1));
        if (!s.empty()) std::memcpy(to, s.data(), s.size());
        return std::string_view(to, s.size());
    };
    auto copy_text = [&](const std::optional<std::string>& s) -> std::optional<std::string_view> {
        if (!s) return std::nullopt;
        return copy(*s);
    };
    auto copy_list = [&](const std::optional<std::vector<std::string>>& list)
        -> std::optional<std::span<const std::string_view>> {
        if (!list) return std::nullopt;
        void* room = take(list->size() * sizeof(std::string_view), alignof(std::string_view));
        auto* items = static_cast<std::string_view*>(room);
        for (std::size_t i = 0; i < list->size(); ++i) new (items + i) std::string_view(copy((*list)[i]));
        return std::span<const std::string_view>(items, list->size());
    };
    for (std::size_t i = 0; i < matches.size(); ++i) {
        if (i + kRecordsAhead < matches.size()) prefetch_record(matches[i + kRecordsAhead]);
        if (i + kTextsAhead < matches.size()) prefetch_texts(matches[i + kTextsAhead]);
        const NodeMeta* m = matches[i];
        hits_.push_back({copy(m->node_id), copy(m->node_type), copy(m->name), copy(m->file_path),
                         copy_text(m->signature), copy_text(m->docstring), copy_list(m->returns), copy_list(m->calls),
                         m->lines_start, m->lines_end, copy_text(m->django_relations_json)});
    }
}

void* SearchHits::take_from_new_block(std::size_t bytes, std::size_t align) {
    const std::size_t size = std::max(kBlockBytes, bytes + align);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    free_ = blocks_.back().get();
    room_ = size;
    return take(bytes, align);
}

void unindex_node_for_search(EngineState& state, const std::string& id) {
    if (!keep_up(state)) return;
    if (auto it = state.record.nodes.find(id); it != state.record.nodes.end()) {
        remove_from_index(state.search_index, it->second);
    }
}

void index_for_search(EngineState& state, const NodeMeta& stored) {
    if (state.search_index.record == &state.record) add_to_index(state.search_index, stored);
}

void unindex_file_for_search(EngineState& state, const std::string& file_path) {
    if (!keep_up(state)) return;
    auto listed = state.record.file_index.find(file_path);
    if (!listed) return;
    for (const auto& id : *listed) {
        if (auto it = state.record.nodes.find(id); it != state.record.nodes.end()) {
            remove_from_index(state.search_index, it->second);
        }
    }
}

void note_search_sizes(EngineState& state) {
    SearchIndex& index = state.search_index;
    if (!index.wanted) return;
    const MetadataEngine& record = state.record;
    // Names that lost their last node only cost scan time; past this share they go.
    if (index.record != &record || index.starts.size() > 2 * record.nodes.size() + 4096) {
        rebuild_search_index(state);
        return;
    }
    index.expected_changes = record.changes.value;
}

void rebuild_search_index(EngineState& state) {
    SearchIndex& index = state.search_index;
    index = SearchIndex{};
    for (const auto& [id, meta] : state.record.nodes) add_to_index(index, meta);
    index.record = &state.record;
    index.expected_changes = state.record.changes.value;
    index.wanted = true;
}

bool search_index_current(const EngineState& state) { return index_current(state); }

void ensure_search_index(EngineState& state) {
    if (!index_current(state)) rebuild_search_index(state);
}

void reset_search_index(EngineState& state) {
    if (state.search_index.wanted) {
        rebuild_search_index(state);
    } else {
        state.search_index = SearchIndex{};
    }
}

}  // namespace corvane
