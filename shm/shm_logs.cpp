// Logging layer: every diagnostic of the channel goes through here. A line is
// either written to standard output behind a time-stamped prefix, or handed
// unexpanded to the host's hook. Settings are relaxed atomics, read afresh for
// every line, so no lock guards them; a line costs no heap allocation.
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "shm/log_internal.h"

namespace vexa::log {
std::atomic<std::int32_t> g_debug_level{0};
}

namespace {

std::atomic<shm_log_func> g_log_func{nullptr};
std::atomic<std::int32_t> g_l_err{0};
std::atomic<std::int32_t> g_l_info{1};
std::atomic<std::int32_t> g_l_debug{2};

char g_zone[6] = "+0000";

// The local UTC offset, computed once per process. The runtime's own
// offset of local time (tm_gmtoff) is used rather than converting the local
// and UTC breakdowns back with mktime: that conversion reads the UTC
// breakdown as standard time and prints an offset one hour short while
// daylight-saving time is in force.
void compute_zone() noexcept {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    const auto offset = static_cast<std::int32_t>(local.tm_gmtoff);
    const char sign = offset < 0 ? '-' : '+';
    const std::int32_t a = offset < 0 ? -offset : offset;
    snprintf(g_zone, sizeof g_zone, "%c%02d%02d", sign, a / 3600 % 100, (a / 60) % 60);
}

const char *level_name(int level) noexcept {
    switch (level) {
    case SHM_LOG_INFO: return "INFO";
    case SHM_LOG_ERR: return "ERR";
    default: return "DBG";
    }
}

} // namespace

// The line prefix for a moment and a level, bounded by cap (at most cap - 1
// characters); returns the length snprintf reports.
int vexa::log::format_prefix(char *buf, size_t cap, const struct timeval &tv, int level) noexcept {
    // Computed once per process, by whichever thread writes the first line.
    [[maybe_unused]] static const bool zone_inited = (compute_zone(), true);
    struct tm tm {};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &tm);
    return snprintf(buf, cap, "[%04d-%02d-%02d %02d:%02d:%02d.%03ld %s] [%s] ", tm.tm_year + 1900, tm.tm_mon + 1,
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(tv.tv_usec / 1000), g_zone,
                    level_name(level));
}

namespace {

// Expands the prefix and the caller's line into a stack buffer and writes it
// in one output call, which holds the stream's lock for the line, so lines
// of different threads never mix. A few of the channel's texts carry no line
// feed of their own: the line is ended here, or the next one would run on
// from it. A line longer than the buffer is cut, and still ended.
void shm_logv(int level, const char *fmt, va_list args) noexcept {
    char line[1025];
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    int n = vexa::log::format_prefix(line, sizeof line, tv, level);
    if (n < 0) return;
    std::size_t len = std::min(static_cast<std::size_t>(n), sizeof line - 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int m = vsnprintf(line + len, sizeof line - len, fmt ? fmt : "", args);
#pragma GCC diagnostic pop
    if (m > 0) len = std::min(len + static_cast<std::size_t>(m), sizeof line - 1);
    if (line[len - 1] != '\n') {
        if (len == sizeof line - 1) --len;
        line[len++] = '\n';
        line[len] = 0;
    }
    fputs(line, stdout);
}

void dispatch(int level, const std::atomic<std::int32_t> &hook_level, const char *fmt, va_list args) noexcept {
    if (shm_log_func f = g_log_func.load(std::memory_order_relaxed)) {
        f(hook_level.load(std::memory_order_relaxed), fmt, args);
        return;
    }
    shm_logv(level, fmt, args);
}

} // namespace

extern "C" {

VEXA_API void shm_log_error(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    dispatch(SHM_LOG_ERR, g_l_err, fmt, args);
    va_end(args);
}

VEXA_API void shm_log_info(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    dispatch(SHM_LOG_INFO, g_l_info, fmt, args);
    va_end(args);
}

VEXA_API void shm_log_debug(const char *fmt, ...) {
    if (!vexa::log::debug_on()) return;
    va_list args;
    va_start(args, fmt);
    dispatch(SHM_LOG_DBG, g_l_debug, fmt, args);
    va_end(args);
}

VEXA_API void shm_log_set_func(shm_log_func func, std::int32_t l_err, std::int32_t l_info, std::int32_t l_debug) {
    g_l_err.store(l_err, std::memory_order_relaxed);
    g_l_info.store(l_info, std::memory_order_relaxed);
    g_l_debug.store(l_debug, std::memory_order_relaxed);
    g_log_func.store(func, std::memory_order_relaxed);
}

VEXA_API void shm_log_set_debug(std::int32_t level) { vexa::log::g_debug_level.store(level, std::memory_order_relaxed); }

} // extern "C"
