/* Server and client endpoints and the channel operations that work on either.
 * This is the layer under the port interface, for hosts that name their own
 * regions (any name, any number of them) instead of using the four ports.
 *
 * Threads: every endpoint runs on a thread of its own, which calls the
 * host's callbacks (shm_handlers). Start, send, receive and release may be
 * called from any thread, including any endpoint's callbacks. Stop and close
 * wait for the endpoint's thread, so they are called from any thread except
 * that one: never from the endpoint's own callbacks. */
#ifndef VEXA_PORT_SHM_ENDPOINT_H
#define VEXA_PORT_SHM_ENDPOINT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "export.h"
#include "shm_types.h"

VEXA_EXTERN_C_BEGIN

/* Serve the region of data->endpoint. Returns once the region is bound and
 * ready (the running server) or the start has failed (NULL; cause logged:
 * a bad configuration, a region that cannot be created, mapped or bound, for
 * instance one served already, or a thread that cannot be started; errno
 * holds it then, an errno value or minus an SHM_E_* code). data is
 * copied; the caller keeps its record. Any thread, also from a callback. */
VEXA_API shm_thread *shm_srv_start(const shm_data *data);
/* Stop a server and free it, within about 2 s whatever the client does (a
 * running callback must return first). 0; -EINVAL for NULL, a client, a
 * server stopped before or anything shm_srv_start never returned (refused
 * untouched); -EDEADLK from inside one of the endpoint's own callbacks. Not
 * to be called from a callback. A server started while its port's previous
 * server has died with a client still attached waits up to about a second
 * for that client to let go, then serves the port all the same. */
VEXA_API int32_t shm_srv_stop(shm_thread *thr);

/* Start a client that attaches to the region in the background, retrying
 * every endpoint.timeout_us until a server serves it; returns at once. NULL
 * when the client cannot be started (bad configuration, no thread; logged,
 * and the cause in errno).
 * A refusal by on_connected, a mismatched size or an unusable region ends
 * the client's thread; the handle then stays until shm_close. Any thread,
 * also from a callback. */
VEXA_API shm_thread *shm_cli_connect(const shm_data *data);

/* Send copies up to len bytes into the outgoing ring and wakes the peer;
 * receive moves up to len waiting bytes out of the incoming ring. Neither
 * waits for data or room; each waits for the ring's lock, which the peer
 * holds for one copy, at most about a second. Bytes moved (a send may take
 * fewer than len when the ring has less room), or a negative result:
 * -ENOSPC (peer's ring full), -EAGAIN (nothing to read), -EINVAL (NULL, a
 * listener's handle, or no link: a client not attached), -EPROTO (corrupt
 * ring; the link is dropped), -ETIMEDOUT (the peer held the lock for longer:
 * stopped or misbehaving; the link stays), -ENOTCONN (a client whose link
 * the server has ended; on_disconnected follows), -EBUSY (a zero-copy
 * reservation, for a send, or view, for a receive, is open). Any thread,
 * including the endpoint's callbacks. */
VEXA_API ssize_t shm_send(shm_thread *thr, const void *buf, size_t len);
VEXA_API ssize_t shm_recv(shm_thread *thr, void *buf, size_t len);
/* Drop the oldest bytes of this side's outgoing ring that the peer has not
 * read, until n bytes are free: for a sender that would rather lose old data
 * than wait. Bytes dropped (0 when n were free already), -ENOSPC when n
 * exceeds the ring's capacity, -EINVAL as for send. Any thread, including
 * callbacks. */
VEXA_API ssize_t shm_release_space(shm_thread *thr, size_t n);
/* Zero-copy sending and receiving; the rules are those of vexa_port_reserve,
 * vexa_port_commit, vexa_port_view and vexa_port_consume in vexa-port.h. */
VEXA_API ssize_t shm_reserve(shm_thread *thr, size_t min_len, void **data);
VEXA_API ssize_t shm_commit(shm_thread *thr, size_t len);
VEXA_API ssize_t shm_view(shm_thread *thr, const void **data);
VEXA_API ssize_t shm_consume(shm_thread *thr, size_t len);
/* Stop and free an endpoint of either kind: a client reports
 * on_disconnected (when attached) and detaches, a server withdraws its
 * region. Returns when the endpoint's thread has finished, within about 2 s
 * whatever the peer does (a running callback must return first); no callback
 * runs afterwards and the handle is freed. An open reservation or view is
 * cancelled, wherever it was opened. 0; -EINVAL for NULL, a listener's
 * handle, an endpoint closed before or anything never returned (refused
 * untouched); -EDEADLK from inside one of the endpoint's own callbacks
 * (nothing is stopped then). Any thread but the endpoint's own. */
VEXA_API int32_t shm_close(shm_thread *thr);

/* Events for hosts that wait in an event loop of their own (poll, epoll and
 * the loops built on them) instead of taking callbacks: */
#define SHM_EV_DATA 1u         /* bytes wait in the incoming ring */
#define SHM_EV_CONNECTED 2u    /* a peer attached (a client: and was accepted) */
#define SHM_EV_DISCONNECTED 4u /* the peer left or died */
#define SHM_EV_LINKED 8u       /* not an event: a link stands as the events are taken */
#define SHM_EV_ENDED 16u       /* a client has stopped trying for good (refused, bad size): close it */
/* The endpoint's event descriptor, made on the first call (later calls give
 * the same one): it becomes readable when an event is raised and stays so
 * (level-triggered) until shm_take_events. Events already so when it is made
 * (a link that stands, bytes that wait) are raised at once. The descriptor
 * belongs to the endpoint: remove it from the loop before shm_close, which
 * closes it; do not read, write or close it yourself. Callbacks still run as
 * configured. A descriptor or -errno (-EINVAL for NULL or a listener's
 * handle, -EMFILE and the like when none can be made). Any thread. */
VEXA_API int shm_event_fd(shm_thread *thr);
/* The events raised since the last call, as SHM_EV_* bits, and the
 * descriptor emptied: it becomes readable again with the next event. Events
 * of one kind merge (a departure and the next arrival both show as
 * DISCONNECTED | CONNECTED), so SHM_EV_LINKED says whether a link stands
 * now. Nothing new (0, or LINKED alone) may come after a wake-up (an event
 * taken by the previous call): a spurious wake-up, to be ignored. For SHM_EV_DATA read with shm_recv until -EAGAIN;
 * a host that leaves bytes unread is told again at the peer's next write, or
 * within a second. Bytes are never lost, a host that never takes its events
 * loses nothing, and a host that never asked for a descriptor pays no system
 * call for it. 0 also when no
 * descriptor was made; -EINVAL as above. Any thread. */
VEXA_API int32_t shm_take_events(shm_thread *thr);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_ENDPOINT_H */
