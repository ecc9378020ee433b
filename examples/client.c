/* Minimal client: attaches to a port (1 unless given), sends one text, prints
 * the answer and leaves.   ./client [PORT] [TEXT] */
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vexa-port.h>

static sem_t answered;

/* The server is there: say something. Sending from here is allowed. */
static int32_t on_connected(void *user, vexa_port *port) {
    const char *text = user;
    vexa_port_send(port, text, strlen(text));
    return 0; /* a negative value would refuse this server */
}

static int32_t on_data_ready(void *user, vexa_port *port, int32_t count) {
    (void)user, (void)count;
    char reply[256];
    int64_t n = vexa_port_recv(port, reply, sizeof reply - 1);
    if (n <= 0) return 0;
    reply[n] = 0;
    printf("reply: %s\n", reply);
    sem_post(&answered);
    return 0;
}

int main(int argc, char **argv) {
    vexa_port_config cfg = {
        .port_num = argc > 1 ? (uint32_t)atoi(argv[1]) : 1,
        .timeout_us = 50000, /* retry every 50 ms until a server is there */
        .size = 64 * 1024,   /* must match the server's */
        .on_connected = on_connected,
        .on_data_ready = on_data_ready,
        .user_data = argc > 2 ? argv[2] : "hello",
    };
    setvbuf(stdout, NULL, _IOLBF, 0);
    sem_init(&answered, 0, 0);
    vexa_port *port = vexa_port_connect(&cfg);
    if (!port) return 1;
    sem_wait(&answered);
    vexa_port_close(port);
    return 0;
}
