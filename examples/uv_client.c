/* The minimal client inside a libuv loop: the port's event descriptor is
 * watched like a socket (uv_poll), the text goes out once the server is
 * there, the answer is printed and the loop ends. Built only where libuv's
 * development files are installed.   ./uv_client [PORT] [TEXT] */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uv.h>
#include <vexa-port.h>

static vexa_port *port;
static const char *text;
static int status = 1;

static void on_port(uv_poll_t *watch, int err, int readable) {
    (void)readable;
    if (err < 0) {
        uv_poll_stop(watch);
        return;
    }
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
    /* Off the loop before the port is closed: the descriptor is the port's. */
    if (status == 0 || (ev & VEXA_PORT_EV_DISCONNECTED)) uv_poll_stop(watch);
}

int main(int argc, char **argv) {
    vexa_port_config cfg = {
        .port_num = argc > 1 ? (uint32_t)atoi(argv[1]) : 1,
        .timeout_us = 50000, /* retry every 50 ms until a server is there */
        .size = 64 * 1024,   /* must match the server's */
    };
    text = argc > 2 ? argv[2] : "hello";
    setvbuf(stdout, NULL, _IOLBF, 0);
    port = vexa_port_connect(&cfg);
    if (!port) return 1;
    const int fd = vexa_port_event_fd(port);
    if (fd < 0) return 1;
    uv_loop_t *loop = uv_default_loop();
    uv_poll_t watch;
    uv_poll_init(loop, &watch, fd);
    uv_poll_start(&watch, UV_READABLE, on_port);
    uv_run(loop, UV_RUN_DEFAULT); /* returns once the watch has stopped */
    uv_close((uv_handle_t *)&watch, NULL);
    uv_run(loop, UV_RUN_DEFAULT);
    vexa_port_close(port);
    return status;
}
