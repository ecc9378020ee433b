// The platform mapping layer: named shared regions through the named-file-
// mapping calls of shm/win_api.h. It keeps no state of its own; a failure is
// a NULL handle or -1, with the cause left in the calling thread's last error
// for shmt_errno.
#include <cerrno>

#include "shm/log_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_impl.h"

extern "C" {

VEXA_API void *shmt_open(const char *path, int flags, size_t size) {
    (void)flags; // create or open is decided by the size alone
    HANDLE h = size != 0 ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              static_cast<DWORD>(size), path)
                         : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, path);
    if (h) return h;
    const DWORD cause = GetLastError();
    // A missing region is the normal state while a client waits for its
    // server, so it goes unreported.
    if (cause != ERROR_FILE_NOT_FOUND) {
        shm_log_error("error opening '%s' (%u)\n", path, static_cast<unsigned>(cause));
        SetLastError(cause); // the caller reads the cause after the log line
    }
    return nullptr;
}

VEXA_API int32_t shmt_map(void *fd, size_t size, void **addr) {
    if (!addr) {
        SetLastError(error_from_errno(EINVAL));
        return -1;
    }
    void *view = MapViewOfFile(fd, FILE_MAP_ALL_ACCESS, 0, 0, size);
    *addr = view;
    return view ? 0 : -1;
}

VEXA_API int32_t shmt_unmap(void *addr, size_t size) {
    (void)size; // the view knows its own length
    return UnmapViewOfFile(addr) ? 0 : -1;
}

VEXA_API int32_t shmt_close(void *fd) { return CloseHandle(fd) ? 0 : -1; }

// A region's name lives as long as some process holds it and goes with the
// last holder, so there is nothing to do here; in particular a client that
// unlinks a region it found not ready must not take it from its server.
VEXA_API int32_t shmt_unlink(const char *path) {
    (void)path;
    return 0;
}

VEXA_API int32_t shmt_errno(void) { return map_error(); }

VEXA_API void *shmt_invalid_fd(void) { return nullptr; }

} // extern "C"
