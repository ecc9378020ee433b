/* The platform mapping layer: named shared regions. The only failures in the
 * channel reported as a bare -1 (or a NULL handle) come from here; the cause
 * is then read at once, on the same thread, with shmt_errno.
 *
 * Threads: every function may be called from any thread, including from the
 * endpoints' callbacks; a handle may be used by any thread of the process
 * that opened it, and by no other process. docs/platform.md describes how
 * regions live on Linux. */
#ifndef VEXA_PORT_SHM_IMPL_H
#define VEXA_PORT_SHM_IMPL_H

#include <stddef.h>
#include <stdint.h>

#include "export.h"

VEXA_EXTERN_C_BEGIN

/* Open the region named path, creating it when size is not 0 (only the low
 * 32 bits of size count). A create finds an existing region rather than
 * failing. Returns the mapping handle, or shmt_invalid_fd(): silently when no
 * region of that name exists, with the error line otherwise. */
VEXA_API void *shmt_open(const char *path, int flags, size_t size);
/* Map size bytes of the region; *addr receives the view or NULL. 0 or -1. */
VEXA_API int32_t shmt_map(void *fd, size_t size, void **addr);
/* Unmap a view; size is not needed. 0 or -1. */
VEXA_API int32_t shmt_unmap(void *addr, size_t size);
/* Close a mapping handle. 0 or -1. */
VEXA_API int32_t shmt_close(void *fd);
/* Returns 0. A region lives as long as some process holds it; the name goes
 * with the last holder, so unlinking never takes a region from its users. */
VEXA_API int32_t shmt_unlink(const char *path);
/* Positive errno value of this thread's last failure in this layer. */
VEXA_API int32_t shmt_errno(void);
/* The handle value that means no region. */
VEXA_API void *shmt_invalid_fd(void);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_IMPL_H */
