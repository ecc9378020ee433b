/* Server and client endpoints and the channel operations that work on either. */
#ifndef VEXA_PORT_SHM_ENDPOINT_H
#define VEXA_PORT_SHM_ENDPOINT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "export.h"
#include "shm_types.h"

VEXA_EXTERN_C_BEGIN

/* Serve the region of data->endpoint. Returns once the region is bound and
 * ready (the running server) or the start has failed (NULL; cause logged). */
VEXA_API shm_thread *shm_srv_start(const shm_data *data);
/* Stop a server and free it. 0; -EINVAL for NULL; -EDEADLK from inside one of
 * the endpoint's own callbacks. Not to be called from a callback. */
VEXA_API int32_t shm_srv_stop(shm_thread *thr);

/* Start a client that attaches to the region in the background, retrying
 * until a server serves it. NULL when the client cannot be started. */
VEXA_API shm_thread *shm_cli_connect(const shm_data *data);

/* Bytes moved, or a negative result: -ENOSPC (peer's ring full), -EAGAIN
 * (nothing to read), -EINVAL (NULL or no link), -EPROTO (corrupt ring). Any
 * thread, including the endpoint's callbacks. */
VEXA_API ssize_t shm_send(shm_thread *thr, const void *buf, size_t len);
VEXA_API ssize_t shm_recv(shm_thread *thr, void *buf, size_t len);
/* Drop the oldest unsent bytes of this side's outgoing ring until n are free. */
VEXA_API ssize_t shm_release_space(shm_thread *thr, size_t n);
/* Stop and free an endpoint of either kind. 0; -EINVAL; -EDEADLK from inside
 * one of the endpoint's own callbacks. */
VEXA_API int32_t shm_close(shm_thread *thr);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_ENDPOINT_H */
