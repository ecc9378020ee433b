/* Minimal server: serves a port (1 unless given), prints what a client sends
 * and answers "echo: " and the same text. Ends when its client leaves.
 *   ./server [PORT]            then, elsewhere:  ./client [PORT] [TEXT] */
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vexa-port.h>

static sem_t client_left;

static int32_t on_connected(void *user, vexa_port *port) {
    (void)user, (void)port;
    printf("client attached\n");
    return 0;
}

/* Runs on the port's own thread; reading and answering from here is fine. */
static int32_t on_data_ready(void *user, vexa_port *port, int32_t count) {
    (void)user, (void)count;
    char text[256], reply[262];
    int64_t n = vexa_port_recv(port, text, sizeof text - 1);
    if (n <= 0) return 0;
    text[n] = 0;
    printf("received: %s\n", text);
    int len = snprintf(reply, sizeof reply, "echo: %s", text);
    vexa_port_send(port, reply, (uint64_t)len);
    return 0;
}

static int32_t on_disconnected(void *user, vexa_port *port) {
    (void)user, (void)port;
    printf("client left\n");
    sem_post(&client_left);
    return 0;
}

int main(int argc, char **argv) {
    vexa_port_config cfg = {
        .port_num = argc > 1 ? (uint32_t)atoi(argv[1]) : 1,
        .size = 64 * 1024,
        .on_connected = on_connected,
        .on_data_ready = on_data_ready,
        .on_disconnected = on_disconnected,
    };
    setvbuf(stdout, NULL, _IOLBF, 0);
    sem_init(&client_left, 0, 0);
    vexa_port *port = vexa_port_open(&cfg);
    if (!port) return 1; /* the library logged why */
    printf("serving port %u\n", cfg.port_num);
    sem_wait(&client_left);
    vexa_port_close(port); /* from main, never from a callback */
    return 0;
}
