/* Request-reply server: serves a port and answers every request frame with a
 * frame of the same sequence number whose payload is the request's with each
 * byte plus one. Requests are bigger than the ring, so they arrive in pieces
 * and replies go out in pieces (see rr_send_all). A client that leaves or
 * dies mid-request is forgotten with its half-read request; the port stays
 * served for the next client. Ends after CLIENTS clients have gone.
 *   ./reply_server PORT [CLIENTS]          (see request_client.c) */
#include "rr_common.h"

#include <stdio.h>

static rr_buffer in;
static uint8_t *reply;
static size_t reply_cap;
static atomic_int client_gone;
static int clients_left;
static sem_t done;

static int32_t on_connected(void *user, vexa_port *port) {
    (void)user, (void)port;
    in.len = 0; /* a new client starts a new byte stream */
    client_gone = 0;
    printf("client attached\n");
    return 0;
}

static int32_t on_data_ready(void *user, vexa_port *port, int32_t count) {
    (void)user, (void)count;
    if (rr_drain(port, &in) < 0) return 0;
    uint32_t seq, len;
    const uint8_t *payload;
    size_t whole;
    while ((whole = rr_frame(&in, &seq, &payload, &len)) != 0) {
        if (reply_cap < RR_HEADER + (size_t)len) {
            free(reply);
            reply_cap = RR_HEADER + (size_t)len;
            reply = malloc(reply_cap);
            if (!reply) abort();
        }
        rr_put32(reply, seq);
        rr_put32(reply + 4, len);
        for (uint32_t i = 0; i < len; i++) reply[RR_HEADER + i] = (uint8_t)(payload[i] + 1);
        rr_consume(&in, whole);
        /* This runs on the port's thread, which is also the one that would
         * report the client's departure; hence the stall limit. */
        int64_t r = rr_send_all(port, reply, RR_HEADER + (size_t)len, &client_gone, 10000);
        if (r < 0) {
            printf("reply %u not delivered (%s)\n", seq, shm_strerror((int32_t)r));
            in.len = 0;
            return 0;
        }
        printf("answered %u (%u bytes)\n", seq, len);
    }
    return 0;
}

static int32_t on_disconnected(void *user, vexa_port *port) {
    (void)user, (void)port;
    client_gone = 1;
    in.len = 0;
    printf("client left\n");
    if (--clients_left == 0) sem_post(&done);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [CLIENTS]\n", argv[0]);
        return 2;
    }
    clients_left = argc > 2 ? atoi(argv[2]) : 1;
    vexa_port_config cfg = {
        .port_num = (uint32_t)atoi(argv[1]),
        .size = RR_PORT_SIZE,
        .on_connected = on_connected,
        .on_data_ready = on_data_ready,
        .on_disconnected = on_disconnected,
    };
    setvbuf(stdout, NULL, _IOLBF, 0);
    sem_init(&done, 0, 0);
    vexa_port *port = vexa_port_open(&cfg);
    if (!port) return 1;
    printf("serving port %u\n", cfg.port_num);
    sem_wait(&done);
    vexa_port_close(port);
    free(in.data);
    free(reply);
    return 0;
}
