/* A host built against an installed libvexa-port. "consumer NAME" spawns
 * "consumer serve NAME" as a second process, attaches to the region NAME as a
 * client, sends "ping", expects "pong" and closes; the server answers and
 * stops once the client has gone. A private region name keeps the check
 * clear of the four fixed ports. Exit status 0 means it all worked. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <semaphore.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <vexa-port.h>
#include <vexa-port/shm_endpoint.h>

extern char **environ;

static sem_t done;
static char got[16];

static int32_t on_connected(void *user, shm_thread *thr) {
    if (strcmp(user, "client") == 0) shm_send(thr, "ping", 5);
    return 0;
}

static int32_t on_data_ready(void *user, shm_thread *thr, int32_t count) {
    (void)count;
    if (shm_recv(thr, got, sizeof got - 1) <= 0) return 0;
    if (strcmp(user, "server") == 0)
        shm_send(thr, "pong", 5);
    else
        sem_post(&done);
    return 0;
}

static int32_t on_disconnected(void *user, shm_thread *thr) {
    (void)thr;
    if (strcmp(user, "server") == 0) sem_post(&done);
    return 0;
}

static int wait_done(void) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 20;
    while (sem_timedwait(&done, &until) != 0)
        if (errno != EINTR) return -1;
    return 0;
}

int main(int argc, char **argv) {
    int serve = argc == 3 && strcmp(argv[1], "serve") == 0;
    if (!serve && argc != 2) {
        fprintf(stderr, "usage: %s [serve] NAME\n", argv[0]);
        return 2;
    }
    if (strcmp(vexa_port_version(), VEXA_PORT_VERSION_STRING) != 0) {
        fprintf(stderr, "library %s, header %s\n", vexa_port_version(), VEXA_PORT_VERSION_STRING);
        return 3;
    }
    shm_data data;
    memset(&data, 0, sizeof data);
    data.endpoint.path = argv[argc - 1];
    data.endpoint.timeout_us = 20000;
    data.endpoint.size = 1 << 16;
    data.handlers.on_connected = on_connected;
    data.handlers.on_data_ready = on_data_ready;
    data.handlers.on_disconnected = on_disconnected;
    data.handlers.user_data = serve ? "server" : "client";
    sem_init(&done, 0, 0);

    if (serve) {
        shm_thread *srv = shm_srv_start(&data);
        if (!srv) return 4;
        int r = wait_done();
        shm_srv_stop(srv);
        return r == 0 && strcmp(got, "ping") == 0 ? 0 : 5;
    }

    /* The server process first, while this one has no threads yet. */
    char *child_argv[] = {argv[0], "serve", argv[1], NULL};
    pid_t pid;
    if (posix_spawn(&pid, argv[0], NULL, NULL, child_argv, environ) != 0) return 6;
    shm_thread *cli = shm_cli_connect(&data);
    int r = cli ? wait_done() : -1;
    if (cli) shm_close(cli);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return 7;
    if (r != 0 || strcmp(got, "pong") != 0) return 8;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 9;
}
