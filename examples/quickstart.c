/* Two processes meet on port 0: "quickstart serve" serves it and greets the
 * client that attaches with "ping"; "quickstart" attaches, prints the
 * greeting and answers "pong". The server prints the answer and stops; the
 * client ends when it sees the server go. */
#include <semaphore.h>
#include <stdio.h>
#include <string.h>
#include <vexa-port.h>

static sem_t done;

static int32_t greet(void *user, vexa_port *port) {
    (void)user;
    vexa_port_send(port, "ping", 5); /* the zero byte too */
    return 0;
}

/* count bytes are waiting: read them here, on the port's own thread. */
static int32_t data_ready(void *user, vexa_port *port, int32_t count) {
    char buf[256];
    int64_t n = vexa_port_recv(port, buf, sizeof buf - 1);
    if (n <= 0) return 0;
    buf[n] = 0;
    printf("%s got '%s' (%d bytes waited)\n", (const char *)user, buf, count);
    if (strcmp(user, "client") == 0)
        vexa_port_send(port, "pong", 5);
    else
        sem_post(&done);
    return 0;
}

static int32_t disconnected(void *user, vexa_port *port) {
    (void)port;
    if (strcmp(user, "client") == 0) sem_post(&done);
    return 0;
}

int main(int argc, char **argv) {
    int serve = argc > 1 && strcmp(argv[1], "serve") == 0;
    vexa_port_config cfg = {
        .port_num = 0,
        .timeout_us = 100000, /* a client retries every 0.1 s until served */
        .size = VEXA_PORT_DEFAULT_SIZE, /* 2 MiB; both sides must agree on the size */
        .on_connected = serve ? greet : NULL,
        .on_data_ready = data_ready,
        .on_disconnected = disconnected,
        .user_data = serve ? "server" : "client",
    };
    setvbuf(stdout, NULL, _IOLBF, 0);
    sem_init(&done, 0, 0);
    vexa_port *port = serve ? vexa_port_open(&cfg) : vexa_port_connect(&cfg);
    if (!port) return 1; /* the cause is in the log */
    sem_wait(&done);
    /* Never from inside a callback: close waits for the port's thread. */
    vexa_port_close(port);
    sem_destroy(&done);
    return 0;
}
