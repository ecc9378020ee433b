/* The minimal client with an event loop of its own instead of callbacks: it
 * waits in poll() on the port's event descriptor (where a real host would
 * also watch its sockets and timers), sends its text once the server is
 * there, prints the answer and leaves.   ./poll_client [PORT] [TEXT] */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vexa-port.h>

int main(int argc, char **argv) {
    vexa_port_config cfg = {
        .port_num = argc > 1 ? (uint32_t)atoi(argv[1]) : 1,
        .timeout_us = 50000, /* retry every 50 ms until a server is there */
        .size = 64 * 1024,   /* must match the server's */
    };
    const char *text = argc > 2 ? argv[2] : "hello";
    setvbuf(stdout, NULL, _IOLBF, 0);
    vexa_port *port = vexa_port_connect(&cfg);
    if (!port) return 1;
    struct pollfd pfd = {.fd = vexa_port_event_fd(port), .events = POLLIN};
    if (pfd.fd < 0) return 1;
    int status = 1;
    while (status == 1 && poll(&pfd, 1, -1) >= 0) {
        const int32_t ev = vexa_port_events(port); /* 0: a spurious wake-up */
        if (ev & VEXA_PORT_EV_CONNECTED) vexa_port_send(port, text, strlen(text));
        if (ev & VEXA_PORT_EV_DATA) {
            char reply[256];
            int64_t n;
            while ((n = vexa_port_recv(port, reply, sizeof reply - 1)) > 0) { /* until -EAGAIN */
                reply[n] = 0;
                printf("reply: %s\n", reply);
                status = 0;
            }
        }
        if (ev & VEXA_PORT_EV_DISCONNECTED) printf("server went away\n");
    }
    vexa_port_close(port); /* closes the descriptor too */
    return status;
}
