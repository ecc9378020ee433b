/* libvexa-port: a fast, crash-aware duplex byte channel between two processes
 * on one machine, over named shared memory.
 *
 * Four numbered ports with fixed names. One process serves a port with
 * vexa_port_open, another attaches with vexa_port_connect; both then move
 * bytes with vexa_port_send and vexa_port_recv and end with vexa_port_close.
 * Waiting bytes are announced through on_data_ready on the endpoint's own
 * thread; a peer that leaves or dies is reported through on_disconnected. */
#ifndef VEXA_PORT_H
#define VEXA_PORT_H

#include <stdint.h>

#include "vexa-port/export.h"
#include "vexa-port/shm_logs.h"
#include "vexa-port/shm_types.h"

VEXA_EXTERN_C_BEGIN

/* An open port: the endpoint's thread object, opaque to the host. */
typedef struct shm_thread vexa_port;

typedef struct vexa_port_config {
    uint32_t port_num;   /* 0 to vexa_port_count() - 1 */
    uint32_t timeout_us; /* client's pause between attempts to attach */
    uint64_t size;       /* region size; only the low 32 bits are used */
    shm_on_connected_fn on_connected;
    shm_on_data_ready_fn on_data_ready;
    shm_on_disconnected_fn on_disconnected;
    void *user_data;
    uint8_t option;
} vexa_port_config;

/* Serve a port. Returns once the port is ready, or NULL (cause logged). */
VEXA_API vexa_port *vexa_port_open(const vexa_port_config *cfg);
/* Attach to a port in the background; retries until a server serves it. */
VEXA_API vexa_port *vexa_port_connect(const vexa_port_config *cfg);
/* Bytes written or read, or a negated errno value (see shm_send, shm_recv). */
VEXA_API int64_t vexa_port_send(vexa_port *port, const void *buf, uint64_t len);
VEXA_API int64_t vexa_port_recv(vexa_port *port, void *buf, uint64_t cap);
/* Stop the endpoint and free the handle; never from one of its callbacks. */
VEXA_API int32_t vexa_port_close(vexa_port *port);
/* The number of ports: 4. */
VEXA_API uint64_t vexa_port_count(void);
VEXA_API void vexa_port_set_logfunc(shm_log_func func, int32_t l_err, int32_t l_info, int32_t l_debug);
VEXA_API void vexa_port_set_debug(int32_t on);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_H */
