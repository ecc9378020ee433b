/* Shared types of the channel: the result convention and the channel's own
 * error codes, the callback types, the endpoint configuration records and
 * their copy and clear operations, and the opaque endpoint handle.
 *
 * Results: 0 or a non-negative count on success; on failure a negated errno
 * value of this platform (-EINVAL for a missing argument or a handle of the
 * wrong kind) or one of the SHM_E_* codes below. */
#ifndef VEXA_PORT_SHM_TYPES_H
#define VEXA_PORT_SHM_TYPES_H

#include <stdint.h>

#include "export.h"

VEXA_EXTERN_C_BEGIN

#define SHM_E_NOT_READY (-37200)         /* "connect error: Shared memory is not ready" */
#define SHM_E_BAD_MAGIC (-37199)         /* "connect error: Bad magic" */
#define SHM_E_BAD_SIZE (-37198)          /* "connect error: Bad size" */
#define SHM_E_REJECTED (-37197)          /* "connection rejected by user" */
#define SHM_E_ALREADY_CONNECTED (-37196) /* "connect error: already connected" */

/* Text of a result: the channel's own text for SHM_E_*, otherwise the
 * runtime's strerror text of the negated code. Never freed by the caller.
 * Any thread, any time. */
VEXA_API const char *shm_strerror(int32_t code);

/* Kinds of thread object. */
#define SHM_SRV 0
#define SHM_CLI 1
#define SHM_HUP 2

/* An endpoint or hang-up listener. Opaque: hosts hold the pointer that the
 * start operations return and pass it back; they never look inside. */
typedef struct shm_thread shm_thread;

/* Callbacks run on the endpoint's own thread, with the host's user_data first
 * and the endpoint second, one at a time. Only on_connected's result is
 * consulted (by a client: a negative value refuses the link and ends the
 * client). From a callback the host may send, receive, release space, log
 * and start or close other endpoints, but never stop or close the endpoint
 * that called it. A callback that blocks holds up that endpoint's delivery
 * and its noticing of a departed peer. */
typedef int32_t (*shm_on_connected_fn)(void *user_data, shm_thread *thr);
typedef int32_t (*shm_on_data_fn)(void *user_data, shm_thread *thr, const void *data, int64_t len);
typedef int32_t (*shm_on_data_ready_fn)(void *user_data, shm_thread *thr, int32_t count);
typedef int32_t (*shm_on_disconnected_fn)(void *user_data, shm_thread *thr);

/* Which region and how. A copy owns its path text. */
typedef struct shm_endpoint {
    char *path;          /* region name; a copy of a record without one gets "/orvo_shm_ep" */
    uint32_t timeout_us; /* client's pause between attempts to attach */
    uint32_t size;       /* region size in bytes; server and client must agree */
    uint16_t chunk_max;  /* most bytes read at once for on_data */
} shm_endpoint;

/* The host's callbacks; any may be NULL. user_data is borrowed, never freed. */
typedef struct shm_handlers {
    shm_on_connected_fn on_connected;
    shm_on_data_fn on_data; /* takes precedence over on_data_ready */
    shm_on_data_ready_fn on_data_ready;
    shm_on_disconnected_fn on_disconnected;
    void *user_data;
} shm_handlers;

typedef struct shm_data {
    shm_endpoint endpoint;
    shm_handlers handlers;
    uint8_t option; /* copied with the record; the library never reads it */
} shm_data;

/* Copy operations take the source first and the destination second, and
 * work on records the caller owns (any thread, no shared state), and
 * copy only into a zeroed or cleared destination (its old path is not freed).
 * All return 0, -EINVAL for a missing pointer, or -ENOMEM when the path cannot
 * be duplicated (the destination's path then stays NULL). */
VEXA_API int32_t copy_shm_endpoint(const shm_endpoint *src, shm_endpoint *dst);
VEXA_API int32_t clear_shm_endpoint(shm_endpoint *ep);
VEXA_API int32_t copy_shm_handlers(const shm_handlers *src, shm_handlers *dst);
VEXA_API int32_t clear_shm_handlers(shm_handlers *h);
VEXA_API int32_t copy_shm_data(const shm_data *src, shm_data *dst);
VEXA_API int32_t clear_shm_data(shm_data *data);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_TYPES_H */
