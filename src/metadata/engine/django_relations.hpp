#pragma once
// Django model relations: each named related model becomes a structural edge from the
// declaring node to every class node of that name.
#include <cstdint>
#include <string>
#include <string_view>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "util/result.hpp"

namespace corvane {

// Text that is not a JSON array gives 0. Every successful add_typed_edge counts, also for an
// edge that existed already; the first error ends the operation, keeping earlier edges.
Result<std::uint32_t> resolve_django_relations(EngineState& state, LookupSource& src, const std::string& node_id,
                                               std::string_view relations_json);
Result<std::uint32_t> resolve_django_relations(EngineState& state, const std::string& node_id,
                                               std::string_view relations_json);

}  // namespace corvane
