#include "util/log.hpp"

namespace corvane::log {

namespace {
std::atomic<int> g_max_level{static_cast<int>(Level::Off)};
std::atomic<Sink> g_sink{nullptr};
}  // namespace

void set_max_level(Level level) { g_max_level.store(static_cast<int>(level), std::memory_order_relaxed); }
Level max_level() { return static_cast<Level>(g_max_level.load(std::memory_order_relaxed)); }
void set_sink(Sink sink) { g_sink.store(sink, std::memory_order_release); }

void emit(Level level, std::string_view target, std::string_view message) {
    if (!enabled(level)) return;
    if (Sink sink = g_sink.load(std::memory_order_acquire)) sink(level, target, message);
}

}  // namespace corvane::log
