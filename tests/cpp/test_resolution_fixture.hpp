#pragma once
// Small synthetic projects that follow the extractor's id conventions: "file.py:Qual.name"
// for definitions, the bare file path for a file's module node.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "metadata/engine/call_resolution.hpp"
#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/mutations.hpp"
#include "metadata/engine/node_table.hpp"
#include "metadata/engine/python_lookup.hpp"

namespace corvane::testing {

struct Project {
    EngineState state;
    MetadataEngine& r = state.record;

    Project() = default;
    // r must name this project's own record, never the moved-from one.
    Project(Project&& other) : state(std::move(other.state)), r(state.record) {}
    Project& operator=(Project&&) = delete;

    // A definition; file and short name come from the id.
    NodeMeta& add(const std::string& id, const std::string& type = "Function",
                  std::optional<std::string> extra_json = std::nullopt) {
        NodeMeta m;
        m.node_id = id;
        m.node_type = type;
        std::size_t colon = id.find(':');
        m.file_path = colon == std::string::npos ? id : id.substr(0, colon);
        std::size_t dot = id.rfind('.');
        m.name = dot == std::string::npos || dot < colon || colon == std::string::npos ? id.substr(colon + 1)
                                                                                    : id.substr(dot + 1);
        m.extra_json = std::move(extra_json);
        detail::upsert_node(r, m);
        return r.nodes.at(id);
    }
    NodeMeta& fn(const std::string& id) { return add(id, "Function"); }
    NodeMeta& cls(const std::string& id, const std::vector<std::string>& bases = {}) {
        if (bases.empty()) return add(id, "Class");
        return add(id, "Class", nlohmann::json{{"base_classes", bases}}.dump());
    }
    // The module node of a file, carrying the file's scope data.
    NodeMeta& module(const std::string& file, const nlohmann::json& extra) {
        NodeMeta m;
        m.node_id = file;
        m.node_type = "File";
        m.name = file;
        m.file_path = file;
        m.extra_json = extra.dump();
        detail::upsert_node(r, m);
        return r.nodes.at(file);
    }

    const NodeMeta& node(const std::string& id) const { return r.nodes.at(id); }

    // Target ids that resolve_calls gives for one caller.
    std::vector<std::string> targets(const std::string& caller, const std::vector<std::string>& names) const {
        return resolve_calls(r, caller, names);
    }
    // The single target of one name, or "" when it resolves to nothing.
    std::string one(const std::string& caller, const std::string& name) const {
        auto t = targets(caller, {name});
        return t.empty() ? "" : t.front();
    }
};

inline nlohmann::json symbol_import(const std::string& module, const std::string& symbol) {
    return {{"module", module}, {"symbol", symbol}, {"kind", "symbol"}};
}
inline nlohmann::json module_import(const std::string& module, std::optional<std::string> qualifier = std::nullopt) {
    nlohmann::json b{{"module", module}, {"kind", "module"}};
    if (qualifier) b["qualifier"] = *qualifier;
    return b;
}

}  // namespace corvane::testing
