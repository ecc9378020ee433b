/* Request-reply client: attaches to a port and sends COUNT requests one
 * after another, each bigger than the ring, checking every reply (the
 * request's bytes plus one, same sequence number). A server that goes away,
 * even killed mid-reply, is waited for: the client keeps trying to attach in
 * the background, and the unanswered request is sent again once a server is
 * back. Prints "reply N ok" per reply and "all COUNT replies correct".
 *   ./reply_server 3 &   ./request_client 3 [COUNT] */
#include "rr_common.h"

#include <pthread.h>
#include <stdio.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int connected;
static unsigned generation; /* counts the server's departures */
static atomic_int server_gone; /* read by rr_send_all without the lock */
static rr_buffer in;
static uint32_t want_seq;
static uint8_t *answer; /* the reply's payload once it is complete */
static uint32_t answer_len;
static int answered;

static int32_t on_connected(void *user, vexa_port *port) {
    (void)user, (void)port;
    pthread_mutex_lock(&lock);
    in.len = 0;
    server_gone = 0;
    connected = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    return 0;
}

static int32_t on_data_ready(void *user, vexa_port *port, int32_t count) {
    (void)user, (void)count;
    pthread_mutex_lock(&lock);
    if (rr_drain(port, &in) == 0) {
        uint32_t seq, len;
        const uint8_t *payload;
        size_t whole;
        while ((whole = rr_frame(&in, &seq, &payload, &len)) != 0) {
            if (seq == want_seq && !answered && (answer = malloc(len ? len : 1)) != NULL) {
                memcpy(answer, payload, len);
                answer_len = len;
                answered = 1;
                pthread_cond_broadcast(&changed);
            }
            rr_consume(&in, whole);
        }
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

static int32_t on_disconnected(void *user, vexa_port *port) {
    (void)user, (void)port;
    pthread_mutex_lock(&lock);
    server_gone = 1;
    connected = 0;
    generation++;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    printf("server went away\n");
    return 0;
}

/* When a wait for the server gives up: 30 s from now. */
static struct timespec deadline(void) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_sec += 30;
    return t;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [COUNT]\n", argv[0]);
        return 2;
    }
    const uint32_t count = argc > 2 ? (uint32_t)atoi(argv[2]) : 20;
    vexa_port_config cfg = {
        .port_num = (uint32_t)atoi(argv[1]),
        .timeout_us = 20000,
        .size = RR_PORT_SIZE,
        .on_connected = on_connected,
        .on_data_ready = on_data_ready,
        .on_disconnected = on_disconnected,
    };
    setvbuf(stdout, NULL, _IOLBF, 0);
    vexa_port *port = vexa_port_connect(&cfg);
    if (!port) return 1;

    int status = 0;
    uint8_t *req = malloc(RR_HEADER + 40000);
    for (uint32_t seq = 0; seq < count && status == 0; seq++) {
        const uint32_t len = 1000 + (seq * 7919u) % 30000u; /* up to about 4 rings' worth */
        rr_put32(req, seq);
        rr_put32(req + 4, len);
        for (uint32_t i = 0; i < len; i++) req[RR_HEADER + i] = (uint8_t)(seq * 31u + i);

        for (;;) {
            pthread_mutex_lock(&lock);
            want_seq = seq;
            answered = 0;
            struct timespec until = deadline();
            while (!connected && pthread_cond_timedwait(&changed, &lock, &until) == 0) {
            }
            if (!connected) {
                pthread_mutex_unlock(&lock);
                status = 1;
                break;
            }
            const unsigned gen = generation;
            pthread_mutex_unlock(&lock);

            int64_t r = rr_send_all(port, req, RR_HEADER + len, &server_gone, 5000);
            pthread_mutex_lock(&lock);
            until = deadline();
            while (r == 0 && !answered && generation == gen &&
                   pthread_cond_timedwait(&changed, &lock, &until) == 0) {
            }
            const int got = r == 0 && answered;
            pthread_mutex_unlock(&lock);
            if (!got) {
                /* The send failed or no answer came: only the server's
                 * departure explains that; anything else is a fault. */
                pthread_mutex_lock(&lock);
                until = deadline();
                while (generation == gen && pthread_cond_timedwait(&changed, &lock, &until) == 0) {
                }
                const int gone = generation != gen;
                pthread_mutex_unlock(&lock);
                if (!gone) {
                    printf("request %u failed (%s)\n", seq, shm_strerror((int32_t)r));
                    status = 1;
                    break;
                }
                printf("request %u unanswered; sending it again once a server is back\n", seq);
                continue;
            }
            int ok = answer_len == len;
            for (uint32_t i = 0; ok && i < len; i++) ok = answer[i] == (uint8_t)(req[RR_HEADER + i] + 1);
            free(answer);
            answer = NULL;
            if (!ok) {
                printf("reply %u wrong\n", seq);
                status = 1;
            } else {
                printf("reply %u ok (%u bytes)\n", seq, len);
            }
            break;
        }
    }
    if (status == 0) printf("all %u replies correct\n", count);
    vexa_port_close(port);
    free(req);
    free(in.data);
    return status;
}
