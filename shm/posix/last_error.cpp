// The per-thread last error of the platform layer, as the replaced platform
// keeps it: every failing call leaves its cause here for GetLastError.
#include "shm/win_api.h"

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }
