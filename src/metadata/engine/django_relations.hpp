#pragma once
// Django model relations: each named related model becomes a structural edge from the
// declaring node to every class node of that name. The operation on an engine state is
// resolve_django_relations in mutations.hpp; these are its parts.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "util/result.hpp"

namespace corvane::detail {

// The relation targets of one node, in order, the node itself left out: exactly the
// structural pairs resolve_django_relations adds. Text that is not a JSON array gives none.
std::vector<std::string> relation_targets(LookupSource& src, const std::string& node_id, std::string_view relations_json);

// Adds a structural edge per relation target. Every successful edge counts, also one that
// existed already; the first error ends the operation, keeping earlier edges.
Result<std::uint32_t> resolve_django_relations(EngineState& state, LookupSource& src, const std::string& node_id,
                                               std::string_view relations_json);

}  // namespace corvane::detail
