/* Thread objects: one per endpoint thread or hang-up listener. The object
 * owns a deep copy of the endpoint's configuration and carries the start and
 * stop hand-shake between the thread and its owner. */
#ifndef VEXA_PORT_SHM_THREAD_H
#define VEXA_PORT_SHM_THREAD_H

#include <stdint.h>

#include "export.h"
#include "shm_types.h"

VEXA_EXTERN_C_BEGIN

/* Create an object of the given kind (SHM_SRV, SHM_CLI, SHM_HUP) with its own
 * copy of data (not read for SHM_HUP, may be NULL there). The thread is not
 * started. NULL on failure, with a negated errno value through err. */
VEXA_API shm_thread *create_shm_thread(const shm_data *data, int32_t type, int32_t *err);
/* Free an object whose thread will never touch it again. 0, or -EINVAL. */
VEXA_API int32_t destroy_shm_thread(shm_thread *thr);
/* Recompute the object's log name from its kind and path. */
VEXA_API void update_shm_thread_name(shm_thread *thr);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_THREAD_H */
