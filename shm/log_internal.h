// Internal side of the logging layer: the debug switch for callers that want
// to skip building a trace's arguments, and the line prefix. (The mappings of
// platform errors to errno values are the platform's: shm/win_api.h.)
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vexa-port/shm_logs.h"

namespace vexa::log {
// Relaxed: a change of the switch reaches other threads at a later line.
extern std::atomic<std::int32_t> g_debug_level;
inline bool debug_on() noexcept { return g_debug_level.load(std::memory_order_relaxed) != 0; }
// Writes the line prefix "[date time.ms +zone] [LEVEL] " for tv into buf.
int format_prefix(char *buf, std::size_t cap, const struct timeval &tv, int level) noexcept;
} // namespace vexa::log
