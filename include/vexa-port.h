/* libvexa-port: a fast, crash-aware duplex byte channel between two processes
 * on one machine, over named shared memory.
 *
 * Four numbered ports with fixed names. One process serves a port with
 * vexa_port_open, another attaches with vexa_port_connect; both then move
 * bytes with vexa_port_send and vexa_port_recv and end with vexa_port_close.
 * Waiting bytes are announced through on_data_ready on the endpoint's own
 * thread; a peer that leaves or dies is reported through on_disconnected.
 *
 * Results follow one convention throughout (see vexa-port/shm_types.h): 0 or
 * a count on success, a negated errno value or an SHM_E_* code on failure.
 * Nothing is thrown. C++ hosts may prefer the RAII layer in vexa-port.hpp. */
#ifndef VEXA_PORT_H
#define VEXA_PORT_H

#include <stdint.h>

#include "vexa-port/export.h"
#include "vexa-port/shm_logs.h"
#include "vexa-port/shm_types.h"
#include "vexa-port/version.h"

VEXA_EXTERN_C_BEGIN

/* An open port: the endpoint's thread object, opaque to the host. The same
 * pointer is handed to every callback as its second argument. */
typedef struct shm_thread vexa_port;

/* The region size the project's tools and bindings use unless told otherwise
 * (vexa-port-service, vexa-port-cat, the C++ layer, the Python module): 2 MiB,
 * about 1 MiB for each direction's ring. Both sides of a port must give the
 * same size, so a host that talks to one of them gives this one. */
#define VEXA_PORT_DEFAULT_SIZE 2097152u

/* What a host passes to vexa_port_open or vexa_port_connect. Read during the
 * call only: the endpoint keeps its own copy, so the record may live on the
 * stack. Zero-initialise it and set what you need; NULL callbacks are
 * skipped. */
typedef struct vexa_port_config {
    uint32_t port_num;   /* 0 to vexa_port_count() - 1 */
    uint32_t timeout_us; /* client's pause between attempts to attach */
    uint64_t size;       /* region size; only the low 32 bits are used; both sides must agree */
    /* A peer attached. On a client, a negative result refuses the link: the
     * client detaches and its thread ends (the handle stays until closed);
     * a server ignores the result. Sending is already allowed from here. */
    shm_on_connected_fn on_connected;
    /* count bytes wait for this side; read them with vexa_port_recv, here or
     * from any other thread. Called again at once while this call took some
     * of them; when it took none, again at the peer's next write (or after a
     * second, while they still wait): a host that reads later costs no CPU
     * meanwhile. */
    shm_on_data_ready_fn on_data_ready;
    /* The peer detached or died. A server is ready for the next client by
     * the time this returns (unless laying its block out again failed: an
     * error line says so, and it keeps trying); a client goes on trying to
     * attach. */
    shm_on_disconnected_fn on_disconnected;
    void *user_data; /* first argument of every callback; borrowed, never freed */
    uint8_t option;  /* carried along; the library never reads it */
} vexa_port_config;

/* Serve a port: create its shared region, lay out the block and start the
 * endpoint's thread. Returns once the port is ready for a client, or NULL
 * when it cannot be served: a NULL config or a port number out of range
 * ("(22): Invalid argument" in the log), a region that cannot be created or
 * bound (another server holds the port, for instance), or a thread or copy
 * that cannot be made; the cause is always logged, and left in errno: an
 * errno value (EINVAL for a bad config or a size too small for the rings,
 * EBUSY for a port another server holds, the platform's cause for a region
 * that cannot be made or mapped), or minus an SHM_E_* code. Any thread;
 * also from a callback of another port. */
VEXA_API vexa_port *vexa_port_open(const vexa_port_config *cfg);

/* Attach to a port in the background: returns at once with the handle (NULL
 * only for a bad config or when the thread cannot be started; cause logged
 * and in errno, as for vexa_port_open)
 * and keeps trying, every timeout_us, until a server serves the port; then
 * calls on_connected. A client may be started before its server. Any thread;
 * also from a callback of another port. */
VEXA_API vexa_port *vexa_port_connect(const vexa_port_config *cfg);

/* Copy up to len bytes into the peer's incoming ring and wake the peer.
 * Returns the number of bytes taken, which is less than len when the ring
 * has less room (send the rest later), or: -ENOSPC the ring is full (the
 * peer has not read yet; retry after it has), -EINVAL port is NULL or has
 * no link (a client that is not attached), -EPROTO the ring fails its
 * consistency checks (a corrupt peer), -ETIMEDOUT the ring's lock was not had
 * within about a second, -ENOTCONN (client) the server has ended this link
 * (on_disconnected follows and the client attaches again). Waits for the peer
 * only to take the ring's lock, which a peer holds for one copy; one stopped
 * in a debugger (or misbehaving) can make the call wait up to about a second
 * and return -ETIMEDOUT, and the link stays. Any thread, including the
 * port's own callbacks. */
VEXA_API int64_t vexa_port_send(vexa_port *port, const void *buf, uint64_t len);

/* Move up to cap waiting bytes into buf, in the order they were sent.
 * Returns the number of bytes read, or: -EAGAIN nothing waits, -EINVAL port is
 * NULL or has no link, -EPROTO the ring fails its checks, -ETIMEDOUT and
 * -ENOTCONN as for send. Never waits for bytes (wait for on_data_ready
 * instead), and for the ring's lock at most about a second. Any thread,
 * including the port's own callbacks (typically on_data_ready). */
VEXA_API int64_t vexa_port_recv(vexa_port *port, void *buf, uint64_t cap);

/* Zero-copy: for hosts that produce or consume large messages in place.
 *
 * vexa_port_reserve points *data at free room in the peer's incoming ring,
 * at least min_len bytes in one piece, and returns the room's size; write
 * the message there and publish its first len bytes with vexa_port_commit
 * (len 0 cancels). vexa_port_view points *data at the bytes that wait, in
 * one piece, and returns their count; read them there and release the first
 * len with vexa_port_consume (0 keeps them all). The rules:
 * - One reservation and one view at a time per port. While a reservation is
 *   open, vexa_port_send gives -EBUSY, and so does vexa_port_recv while a
 *   view is open.
 * - Close what you open, soon: an open reservation or view counts as a call
 *   in progress, so the link (and the memory under the pointer) stays until
 *   it is closed, and the port cannot end or rebuild its link before then.
 *   So close one opened in a callback before the callback returns, and
 *   never keep one open while waiting for one of the port's events (its
 *   on_disconnected, for instance, comes only after). vexa_port_close
 *   cancels what is open.
 * - The ring wraps: bytes that wait across the end of the ring come as two
 *   views, and a reservation is at most the room left before the end (an
 *   empty ring starts again at its beginning). min_len above the ring's
 *   capacity gives -EMSGSIZE; -ENOSPC means not that much room lies in one
 *   piece now: retry once the peer has read.
 * - The peer shares the ring: a hostile or faulty peer can change a view's
 *   bytes while you read them, never the memory around them. Copy what you
 *   must trust (check it, then use the copy). Bytes the peer discards with
 *   shm_release_space while you view them make the consume fail with
 *   -ESTALE (nothing consumed; what you read may be garbled).
 * Results: the count, or a negated errno value: -EBUSY (one already open),
 * -EINVAL (NULL arguments, no link, nothing open, len beyond what was
 * opened), -EAGAIN (view: nothing waits), -ENOSPC, -EMSGSIZE, -ESTALE, and
 * -EPROTO, -ETIMEDOUT, -ENOTCONN as for send and recv. Commit and consume
 * close what is open whatever their result. Any thread; a reservation or
 * view may be closed on another thread than the one that opened it. */
VEXA_API int64_t vexa_port_reserve(vexa_port *port, uint64_t min_len, void **data);
VEXA_API int64_t vexa_port_commit(vexa_port *port, uint64_t len);
VEXA_API int64_t vexa_port_view(vexa_port *port, const void **data);
VEXA_API int64_t vexa_port_consume(vexa_port *port, uint64_t len);

/* Stop the port's endpoint (detaching from or withdrawing the region, which
 * the peer sees as a disconnect) and free the handle. Waits for the
 * endpoint's thread to finish, within about 2 s whatever the peer does or
 * fails to do (a callback of this port that is running must return first);
 * once it returns no callback of the port runs any more and the handle is
 * gone. A reservation or view still open is cancelled, also one opened
 * from the on_disconnected that the close brings about. 0; -EINVAL for NULL,
 * for a port closed before and for anything no open or connect returned
 * (refused untouched); -EDEADLK when called from one of the port's own
 * callbacks (nothing is closed then). Any thread but the port's own; never
 * from a callback of the same port. */
VEXA_API int32_t vexa_port_close(vexa_port *port);

/* Waiting inside an event loop (poll, epoll, libuv, asio, GLib, Qt) instead
 * of taking callbacks: vexa_port_event_fd gives the port's descriptor, which
 * becomes readable (level-triggered) when something happened; then
 * vexa_port_events says what, as VEXA_PORT_EV_* bits, and empties it. For
 * VEXA_PORT_EV_DATA read with vexa_port_recv until -EAGAIN. A wake-up with
 * nothing new (0, or VEXA_PORT_EV_LINKED alone) is spurious: ignore it. Bytes left unread are announced
 * again at the peer's next write or within a second. The descriptor is the
 * port's: remove it from the loop before vexa_port_close, which closes it.
 * Callbacks, if configured, still run. A host that never asks for the
 * descriptor pays nothing for it. Any thread. The bits equal SHM_EV_* of
 * vexa-port/shm_endpoint.h. */
#define VEXA_PORT_EV_DATA 1u         /* bytes wait */
#define VEXA_PORT_EV_CONNECTED 2u    /* a peer attached (and a client accepted it) */
#define VEXA_PORT_EV_DISCONNECTED 4u /* the peer left or died */
#define VEXA_PORT_EV_LINKED 8u       /* state, not event: a link stands now (events of a kind merge) */
#define VEXA_PORT_EV_ENDED 16u       /* a client stopped trying for good (refused link, bad size) */
/* The descriptor, or -errno (-EINVAL for NULL). */
VEXA_API int vexa_port_event_fd(vexa_port *port);
/* The events since the last call (VEXA_PORT_EV_* bits, 0 when none), or
 * -EINVAL for NULL. */
VEXA_API int32_t vexa_port_events(vexa_port *port);

/* The number of ports: 4. Any thread, any time. */
VEXA_API uint64_t vexa_port_count(void);

/* Send the library's log lines to func (NULL: back to standard output),
 * which receives l_err, l_info or l_debug as the level of each line; see
 * shm_log_set_func. Process-wide. Any thread; best called once at start-up,
 * before ports are opened. */
VEXA_API void vexa_port_set_logfunc(shm_log_func func, int32_t l_err, int32_t l_info, int32_t l_debug);

/* Let debug lines through (nonzero) or drop them again (0). Process-wide;
 * any thread, any time, including from callbacks. */
VEXA_API void vexa_port_set_debug(int32_t on);

/* The library's version, "MAJOR.MINOR.PATCH", as built. Compare it with
 * VEXA_PORT_VERSION_STRING to see whether the header and the loaded library
 * agree. Static text; any thread, any time. */
VEXA_API const char *vexa_port_version(void);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_H */
