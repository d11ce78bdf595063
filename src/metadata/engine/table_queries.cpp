#include "metadata/engine/table_queries.hpp"

#include "util/json.hpp"
#include "util/lowercase.hpp"

namespace corvane {

namespace {

SearchHit hit_of(const NodeMeta& m) {
    return {m.node_id,   m.node_type, m.name,        m.file_path, m.signature,            m.docstring,
            m.returns,   m.calls,     m.lines_start, m.lines_end, m.django_relations_json};
}

bool is_file_like(const std::string& type) { return type == "File" || type == "Folder"; }

}  // namespace

std::vector<SearchHit> search(const MetadataEngine& record, std::string_view keyword) {
    const std::string k = to_lower(keyword);
    std::vector<const NodeMeta*> exact, partial;
    for (const auto& [id, meta] : record.nodes) {
        const std::string name = to_lower(meta.name);
        if (name == k) {
            exact.push_back(&meta);
            continue;
        }
        if (is_file_like(meta.node_type)) {
            const std::string& path = meta.file_path;
            auto sep = path.find_last_of("/\\");
            std::string_view basename = sep == std::string::npos ? std::string_view(path)
                                                                 : std::string_view(path).substr(sep + 1);
            std::string_view stem = basename.substr(0, basename.find('.'));
            const std::string base_lower = to_lower(basename);
            if (base_lower == k || to_lower(stem) == k) {
                exact.push_back(&meta);
            } else if (base_lower.find(k) != std::string::npos) {
                partial.push_back(&meta);
            }
        } else if (name.find(k) != std::string::npos) {
            partial.push_back(&meta);
        }
    }
    std::vector<SearchHit> hits;
    hits.reserve(exact.size() + partial.size());
    for (const NodeMeta* m : exact) hits.push_back(hit_of(*m));
    for (const NodeMeta* m : partial) hits.push_back(hit_of(*m));
    return hits;
}

std::optional<std::string> normalize_json_text(std::string_view text) {
    auto value = parse_json(text);
    if (!value) return std::nullopt;
    return dump_compact(*value);
}

}  // namespace corvane
