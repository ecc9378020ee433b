// Internal side of the logging and error layer: the debug switch for callers
// that want to skip building a trace's arguments, and the two mappings from
// platform errors and wait results to this platform's errno values.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::log {
// Relaxed: a change of the switch reaches other threads at a later line.
extern std::atomic<std::int32_t> g_debug_level;
inline bool debug_on() noexcept { return g_debug_level.load(std::memory_order_relaxed) != 0; }
// Writes the line prefix "[date time.ms +zone] [LEVEL] " for tv into buf.
int format_prefix(char *buf, std::size_t cap, const struct timeval &tv, int level) noexcept;
} // namespace vexa::log

// The calling thread's last platform error as a positive errno value, traced
// at debug level as "map_error %lu -> %d".
std::int32_t map_error() noexcept;
// A WaitForSingleObject result as an errno value (0 for WAIT_OBJECT_0), traced
// at debug level as "map_lock_error %lu (%s) -> %d".
std::int32_t map_lock_error(DWORD result) noexcept;
