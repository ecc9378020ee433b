/* The shared block: the wire format between a server process and a client
 * process, and the operations that bind, attach, detach, move bytes, sleep
 * and wake on it. All integers are little-endian at natural alignment; ring
 * data areas are addressed by offsets from the start of the block, since each
 * process maps the region at its own address. docs/shared-block.md shows the
 * layout and the flags' state machine.
 *
 * These are what the endpoints' threads run; a host that uses endpoints needs
 * none of them, and must not bind, unbind, attach or detach a block that an
 * endpoint of its own drives. Threads: any thread of a process that mapped
 * the block may call them, including from callbacks, with these limits: each
 * ring admits one sleeper at a time (shm_srv_wait / shm_cli_wait), the server
 * side of a block belongs to one process and the client side to one other,
 * and bind, unbind, connect and disconnect of one block are not called
 * concurrently with each other. Reads and writes of a ring are serialised by
 * its named mutex, so any number of threads may send and receive. */
#ifndef VEXA_PORT_SHM_MEMBUF_H
#define VEXA_PORT_SHM_MEMBUF_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "export.h"
#include "shm_types.h"

VEXA_EXTERN_C_BEGIN

/* Bits of shm_membuf.flags. */
#define SHM_READY 1u     /* the server has bound the block */
#define SHM_CONNECTED 2u /* a client is attached */
#define SHM_SRV_HUP 4u   /* the client found the server dead */
#define SHM_CLI_HUP 8u   /* the server found the client dead */

/* One named synchronisation object shared by the two processes. Each process
 * uses only the slot it filled itself: a handle value means nothing in the
 * other process. */
typedef struct shm_named_handle {
    uint64_t creator_handle;
    uint64_t opener_handle;
    char name[32]; /* at most 31 characters and a zero byte */
} shm_named_handle;

/* Control block of one ring. head, tail, has_data and drops change only
 * under the ring's lock. Bytes are copied into the free space, or out of the
 * stored bytes, with or without the lock: the positions that make them
 * visible are published under it (see docs/shared-block.md). Two endpoints
 * that both announce SHM_RB_SPLIT in writer_proto and reader_proto agree on
 * the split protocol instead: the writer alone moves tail and adds to
 * has_data without the lock, the reader alone moves head and subtracts from
 * has_data under it, and a read that empties the ring leaves the positions
 * where they are. The block-level calls below never announce it. */
#define SHM_RB_SPLIT 1u
typedef struct shm_ringbuf {
    uint64_t pbuf;     /* offset of the data area from the start of the block */
    uint64_t head;     /* index of the oldest stored byte */
    uint64_t tail;     /* index where the next byte goes */
    uint64_t end;      /* capacity in bytes */
    uint64_t has_data; /* bytes stored; tells a full ring from an empty one */
    shm_named_handle lock;
    shm_named_handle req;
    shm_named_handle event; /* the writer wakes the sleeping reader through it */
    uint8_t waiting;        /* nonzero while the reader sleeps on event */
    uint8_t writer_proto;   /* protocols the writer speaks besides the locked one */
    uint8_t reader_proto;   /* the same for the reader */
    uint8_t writing;        /* nonzero while a split-writing client publishes */
    uint32_t drops; /* releases that discarded bytes, counted on (wrapping) */
} shm_ringbuf;

/* Header of the block; ring 0 carries server to client, ring 1 client to
 * server. The two data areas follow the header. */
typedef struct shm_membuf {
    uint32_t flags;
    char magic[4]; /* "ovik" */
    uint64_t size; /* size of the whole region */
    shm_named_handle srv_hup;
    shm_named_handle cli_hup;
    shm_ringbuf rb[2];
} shm_membuf;

enum { shm_membuf_size = 496 };

/* Map a region as a block: 0; -1 when the view cannot be mapped (cause in
 * shmt_errno); -EINVAL for a NULL out pointer or handle; SHM_E_BAD_SIZE for a
 * size of 497 or less. */
VEXA_API int32_t shm_membuf_map(void *fd, size_t size, shm_membuf **mb);

/* Server: lay out the header and both rings, create the named objects, mark
 * the block ready and take the server's hang-up mutex. -EBUSY when the block
 * is ready or connected already. Unbind withdraws all of it. */
VEXA_API int32_t shm_membuf_bind(shm_membuf *mb, size_t size);
VEXA_API int32_t shm_membuf_unbind(shm_membuf *mb);

/* Client: attach after checking ready, connected, magic and size
 * (SHM_E_NOT_READY, SHM_E_ALREADY_CONNECTED, SHM_E_BAD_MAGIC, SHM_E_BAD_SIZE);
 * detach; close the client's hang-up mutex once its listener has ended. */
VEXA_API int32_t shm_membuf_connect(shm_membuf *mb, size_t size);
VEXA_API int32_t shm_membuf_disconnect(shm_membuf *mb);
VEXA_API int32_t shm_membuf_disconnect_cb(shm_membuf *mb);

/* Side-bound ring access: the server writes ring 0 and reads ring 1, the
 * client the reverse. Bytes moved, -ENOSPC (ring full), -EAGAIN (ring empty),
 * -EINVAL (NULL block or buffer), -EPROTO (the ring fails its checks),
 * -ETIMEDOUT (the ring's lock was not had within about a second: the peer
 * holds it, stopped or misbehaving; the link stays), and on the client
 * -ENOTCONN (the server has ended this client's link and laid the block out
 * anew: nothing was published), and -EBUSY while a zero-copy reservation
 * (write) or view (read) of this process is open on the ring. The same for
 * release below. */
VEXA_API ssize_t shm_srv_write(shm_membuf *mb, const void *buf, size_t len);
VEXA_API ssize_t shm_cli_write(shm_membuf *mb, const void *buf, size_t len);
VEXA_API ssize_t shm_srv_read(shm_membuf *mb, void *buf, size_t len);
VEXA_API ssize_t shm_cli_read(shm_membuf *mb, void *buf, size_t len);

/* The writer of a ring makes n bytes free, dropping the oldest unread bytes
 * when fewer are free. Bytes dropped, -ENOSPC when n exceeds the capacity,
 * -EINVAL for a NULL block (or, for the ring form, an index other than 0/1). */
VEXA_API ssize_t shm_srv_release_space(shm_membuf *mb, size_t n);
VEXA_API ssize_t shm_cli_release_space(shm_membuf *mb, size_t n);
VEXA_API int64_t shm_ringbuf_release_space(shm_membuf *mb, uint64_t idx, uint64_t n);

/* Bytes waiting for this side, read without the lock and never more than the
 * ring holds (0 for a NULL block or one this side has not bound or attached). */
VEXA_API size_t shm_srv_has_data(shm_membuf *mb);
VEXA_API size_t shm_cli_has_data(shm_membuf *mb);

/* flags & SHM_CONNECTED (2 or 0) and flags & SHM_READY (1 or 0); -EINVAL for
 * a NULL block. */
VEXA_API int32_t shm_membuf_is_connected(shm_membuf *mb);
VEXA_API int32_t shm_membuf_is_ready(shm_membuf *mb);

/* Sleep on this side's incoming ring for at most a second: 0 woken,
 * ETIMEDOUT timed out, another errno value for a failed wait, -1 when the
 * ring has a sleeper already. Notify wakes this process's own sleeper: 0, or
 * -1 when none sleeps. */
VEXA_API int32_t shm_srv_wait(shm_membuf *mb);
VEXA_API int32_t shm_cli_wait(shm_membuf *mb);
VEXA_API int32_t shm_srv_notify(shm_membuf *mb);
VEXA_API int32_t shm_cli_notify(shm_membuf *mb);

/* Hang-up detection. Start a listener on the peer's hang-up mutex for an
 * endpoint whose link is made (NULL for other kinds or on failure). The
 * server's reset after a client has gone: takes its hang-up mutex back, or
 * rebuilds the block when the client died. 0; -EINVAL for a client. Both are
 * called by the endpoint's own thread; a host calls them only for endpoints
 * it drives itself, never for one started with shm_srv_start or
 * shm_cli_connect. */
VEXA_API shm_thread *shm_hup_start(shm_thread *thr);
VEXA_API int32_t shm_hup_reset(shm_thread *thr);

VEXA_EXTERN_C_END

#endif /* VEXA_PORT_SHM_MEMBUF_H */
