/* Logging of the channel library: three levels (error, info, debug), lines
 * written to standard output with a time stamp, or handed unexpanded to a
 * hook installed by the host. Debug lines are dropped unless switched on. */
#ifndef VEXA_PORT_SHM_LOGS_H
#define VEXA_PORT_SHM_LOGS_H

#include <stdarg.h>
#include <stdint.h>

#include "export.h"

VEXA_EXTERN_C_BEGIN

/* Level numbers of the line writer; the hook receives the values the host
 * installed with shm_log_set_func instead. */
#define SHM_LOG_ERR 0
#define SHM_LOG_INFO 1
#define SHM_LOG_DBG 2

/* Log hook: called on the logging thread with the installed level value, the
 * caller's format (unexpanded, no prefix) and its arguments, which are valid
 * only during the call. The result is ignored. Any thread of the process may
 * log, endpoint threads included, so the hook must be thread-safe; it should
 * not call into the channel. */
typedef int (*shm_log_func)(int32_t level, const char *fmt, va_list args);

/* Log one line at the named level. The format supplies its own line feed.
 * Any thread may call these. */
VEXA_API void shm_log_error(const char *fmt, ...) VEXA_PRINTF(1, 2);
VEXA_API void shm_log_info(const char *fmt, ...) VEXA_PRINTF(1, 2);
VEXA_API void shm_log_debug(const char *fmt, ...) VEXA_PRINTF(1, 2);

/* Install a hook (or none, to write to standard output again) together with
 * the level values it receives for error, info and debug lines. Process-wide.
 * Any thread, any time; a line being logged at that moment goes to the old or
 * the new destination. Best done once, before endpoints start. */
VEXA_API void shm_log_set_func(shm_log_func func, int32_t l_err, int32_t l_info, int32_t l_debug);

/* 0 drops debug lines; any other value lets them through. Process-wide; any
 * thread, any time, including from callbacks. */
VEXA_API void shm_log_set_debug(int32_t level);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_LOGS_H */
