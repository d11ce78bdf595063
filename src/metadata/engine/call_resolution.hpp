#pragma once
// Call resolution: raw call names of a caller to the definitions they denote. Python callers
// get the scope-aware resolver; every other caller the name-index resolver.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "metadata/engine/engine_state.hpp"
#include "metadata/engine/python_lookup.hpp"
#include "util/result.hpp"

namespace corvane {

using ResolvedTarget = std::string;  // target id

// Leading and trailing Unicode White_Space removed (input is UTF-8).
std::string_view trim_white_space(std::string_view text);

std::vector<ResolvedTarget> resolve_calls(LookupSource& src, const std::string& caller_id,
                                          const std::vector<std::string>& call_names);
// Per call: parses what it needs afresh, keeps nothing.
std::vector<ResolvedTarget> resolve_calls(const MetadataEngine& record, const std::string& caller_id,
                                          const std::vector<std::string>& call_names);

// Targets with repeats, in name order then index order.
std::vector<ResolvedTarget> resolve_generic_calls(LookupSource& src, std::string_view caller_id,
                                                  const std::vector<std::string>& names, const TypeList& allowed_types);

std::optional<std::string> resolve_python_call(LookupSource& src, const CallerView& caller, std::string_view raw_name,
                                               const PythonBindingContext& context);

}  // namespace corvane
