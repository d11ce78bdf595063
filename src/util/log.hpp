#pragma once
// A process-wide logging facade: records carry a level, a target and a message. The maximum
// level starts at Off and no sink is installed, so by default nothing is formatted or emitted.
#include <atomic>
#include <string_view>

namespace corvane::log {

enum class Level { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

using Sink = void (*)(Level level, std::string_view target, std::string_view message);

void set_max_level(Level level);
Level max_level();
void set_sink(Sink sink);

inline bool enabled(Level level) { return level != Level::Off && static_cast<int>(level) <= static_cast<int>(max_level()); }

// Emits the record only if its level passes and a sink is set.
void emit(Level level, std::string_view target, std::string_view message);

inline constexpr std::string_view kBindingsTarget = "corvanedb::python::bindings";

}  // namespace corvane::log
