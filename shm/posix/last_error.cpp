// The per-thread last error of the platform layer, as the replaced platform
// keeps it: every failing call leaves its cause here for GetLastError. And
// the two mappings of that error, and of a wait's result, to errno values.
#include <cerrno>
#include <cstdint>

#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }

std::int32_t map_error() noexcept {
    const DWORD e = GetLastError();
    std::int32_t r;
    switch (e) {
    case ERROR_FILE_NOT_FOUND: r = 2; break;     // ENOENT
    case ERROR_ACCESS_DENIED: r = 13; break;     // EACCES
    case ERROR_INVALID_HANDLE: r = 9; break;     // EBADF
    case ERROR_ALREADY_EXISTS: r = 17; break;    // EEXIST
    default:
        r = (e & ERROR_ERRNO_BIT) ? static_cast<std::int32_t>(e & 0xFFFFu) : static_cast<std::int32_t>(e);
        break;
    }
    shm_log_debug("map_error %lu -> %d\n", static_cast<unsigned long>(e), r);
    return r;
}

std::int32_t map_lock_error(DWORD result) noexcept {
    std::int32_t r;
    const char *name;
    switch (result) {
    case WAIT_OBJECT_0: r = 0; name = "WAIT_OBJECT_0"; break;
    case WAIT_ABANDONED: r = EOWNERDEAD; name = "WAIT_ABANDONED"; break;
    case WAIT_TIMEOUT: r = ETIMEDOUT; name = "WAIT_TIMEOUT"; break;
    case WAIT_FAILED: r = map_error(); name = "WAIT_FAILED"; break;
    default: r = static_cast<std::int32_t>(result); name = ""; break;
    }
    shm_log_debug("map_lock_error %lu (%s) -> %d\n", static_cast<unsigned long>(result), name, r);
    return r;
}
