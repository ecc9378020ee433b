/* What the request-reply pair (reply_server.c, request_client.c) share: the
 * frame format and a send that copes with a full ring.
 *
 * A frame is an 8-byte header (sequence number and payload length, both
 * 32-bit little-endian) and the payload. The channel moves bytes, not
 * messages: a frame may arrive in pieces and several may arrive together, so
 * the reader collects bytes until a whole frame is there. */
#ifndef RR_COMMON_H
#define RR_COMMON_H

#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <vexa-port.h>

enum { RR_HEADER = 8, RR_PORT_SIZE = 16 * 1024 }; /* rings of about 8 KB each */

static inline void rr_put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
static inline uint32_t rr_get32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Bytes received and not yet taken as frames. */
typedef struct rr_buffer {
    uint8_t *data;
    size_t len, cap;
} rr_buffer;

/* Reads everything waiting on the port into b. 0, or the failed result. */
static inline int64_t rr_drain(vexa_port *port, rr_buffer *b) {
    for (;;) {
        if (b->cap - b->len < 4096) {
            size_t cap = b->cap ? b->cap * 2 : 16384;
            uint8_t *p = realloc(b->data, cap);
            if (!p) return -ENOMEM;
            b->data = p, b->cap = cap;
        }
        int64_t n = vexa_port_recv(port, b->data + b->len, b->cap - b->len);
        if (n == -EAGAIN) return 0; /* all read */
        if (n < 0) return n;
        b->len += (size_t)n;
    }
}

/* If b starts with a whole frame: its sequence number, payload and length
 * through the pointers, and the frame's total size as the result; else 0. */
static inline size_t rr_frame(const rr_buffer *b, uint32_t *seq, const uint8_t **payload, uint32_t *len) {
    if (b->len < RR_HEADER) return 0;
    *seq = rr_get32(b->data);
    *len = rr_get32(b->data + 4);
    if (b->len < RR_HEADER + (size_t)*len) return 0;
    *payload = b->data + RR_HEADER;
    return RR_HEADER + *len;
}

/* Drops the first n bytes of b. */
static inline void rr_consume(rr_buffer *b, size_t n) {
    memmove(b->data, b->data + n, b->len - n);
    b->len -= n;
}

/* Sends all len bytes. vexa_port_send takes what fits into the peer's ring
 * and returns that count, or -ENOSPC when the ring is full; there is no event
 * for "room again", since room appears whenever the peer reads. So: send the
 * rest after a short pause, as long as the peer keeps reading. Gives up
 * (returns the error) when the link is gone (-EINVAL), when *abandon becomes
 * nonzero (the peer went away), or when the peer has read nothing for
 * stall_ms (a peer that died with its ring full). 0 when all went. */
static inline int64_t rr_now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static inline int64_t rr_send_all(vexa_port *port, const void *buf, size_t len, const atomic_int *abandon,
                                  int stall_ms) {
    const uint8_t *p = buf;
    int64_t progress_at = rr_now_ms();
    while (len > 0) {
        if (abandon && atomic_load(abandon)) return -ECONNRESET;
        int64_t n = vexa_port_send(port, p, len);
        if (n > 0) { /* possibly fewer than len: a partial write */
            p += n, len -= (size_t)n;
            progress_at = rr_now_ms();
            continue;
        }
        if (n != -ENOSPC) return n;
        if (rr_now_ms() - progress_at >= stall_ms) return -ETIMEDOUT;
        struct timespec pause = {0, 200 * 1000}; /* 0.2 ms */
        nanosleep(&pause, NULL);
    }
    return 0;
}

#endif /* RR_COMMON_H */
