// vexa-port-service: serves ("vrm...") or attaches to (anything else) one port
// from the command line, sends every word typed on standard input to the peer
// while one is attached, and prints what arrives. Two instances with the same
// port number, one of each role, talk to each other.
//
// Threads: the main thread reads words; the endpoint's thread runs the
// callbacks (and receives inside cb_data_ready); a signal thread waits for
// SIGINT and SIGTERM and ends the program. The work done on a signal (print,
// close the port, exit) is not allowed inside an asynchronous signal handler,
// so both signals stay blocked in every thread and are taken with sigwait on
// a thread of their own instead.
#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "vexa-port.h"

namespace {

struct App {
    // Taken out with an exchange against NULL by whoever closes it, so the
    // port is closed exactly once whether a signal or the main thread ends.
    std::atomic<vexa_port *> port{nullptr};
    std::atomic<bool> running{false};
    std::atomic<bool> connected{false};
    // Held by the main thread while it sends and by the closer while it takes
    // the port, so a send never runs on a handle that is being freed.
    std::mutex port_use;
};

App app;

sigset_t g_stop_signals;

constexpr uint32_t k_timeout_us = 1200000;
constexpr uint64_t k_region_size = VEXA_PORT_DEFAULT_SIZE; // 2097152

int32_t cb_connected(void *user, vexa_port *) {
    static_cast<App *>(user)->connected.store(true);
    printf("connected\n");
    return 0;
}

int32_t cb_disconnected(void *user, vexa_port *) {
    static_cast<App *>(user)->connected.store(false);
    printf("disconnected\n");
    return 0;
}

int32_t cb_data_ready(void *, vexa_port *port, int32_t count) {
    printf("data_ready %d\n", count);
    if (count <= 0) return 0;
    // Lives on the endpoint thread's stack for the call only; whatever does
    // not fit is announced again by the endpoint on its next pass.
    char buf[65536];
    const int64_t got = vexa_port_recv(port, buf, sizeof buf);
    if (got < 0) {
        printf("vexa_port recv error (%zd)\n", static_cast<ssize_t>(-got));
        return -1;
    }
    // The text is shown up to its first zero byte, never past what arrived.
    printf("got '%.*s' len %zd\n", static_cast<int>(got), buf, static_cast<ssize_t>(got));
    return static_cast<int32_t>(got);
}

// Closes the port if this caller is the first to take it.
void close_port_once() {
    vexa_port *port;
    {
        std::lock_guard<std::mutex> lock(app.port_use);
        port = app.port.exchange(nullptr);
    }
    if (port) vexa_port_close(port);
}

void *signal_thread(void *) {
    int sig = 0;
    while (sigwait(&g_stop_signals, &sig) != 0) {
    }
    printf("\n got signal %d\n", sig);
    // The port is taken before running is cleared, so a main thread that sees
    // running cleared never finds a port left to close and leaves the close,
    // and with it the "disconnected" line of a client, to this thread.
    close_port_once();
    app.running.store(false);
    exit(0);
}

void usage(const char *name) { printf("./%s vrm|arm <port_num>\n", name); }

// The port number as strtoul reads it (leading white space and a plus sign
// allowed), provided the whole argument is that number and it names a port.
// What strtoul would quietly take as 0, cut short or wrap ("abc", "2abc",
// "", "-18446744073709551614") is refused: a typo must not serve or join
// some other port.
bool parse_port(const char *arg, uint32_t *port) {
    if (strchr(arg, '-')) return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long n = strtoul(arg, &end, 10);
    if (end == arg || *end != '\0' || errno != 0) return false;
    if (n >= vexa_port_count()) return false;
    *port = static_cast<uint32_t>(n);
    return true;
}

// Blocks until the signal thread ends the process; it only ever leaves by
// exit(), so this never returns.
[[noreturn]] void wait_for_signal(pthread_t sig_thread) {
    for (;;) pthread_join(sig_thread, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    // Tests and the demo read the output through a pipe, where stdout would
    // be fully buffered: flush at every line feed so each message, and the
    // library's log lines on the same stream, shows up when it happens.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // The usage line names the program as the user called it, less the
    // directories, which the line's own "./" would otherwise double.
    const char *name = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(name);
        return 0;
    }
    if (argc < 3) {
        usage(name);
        return 1;
    }
    // VEXA_DEBUG, or the name the switch had in the tool's first version,
    // which users' scripts set.
    if (getenv("VEXA_DEBUG") || getenv("ORVO_DEBUG")) vexa_port_set_debug(1);

    // Blocked here, before any other thread exists, so every thread (the
    // endpoint's and its listeners included) inherits the mask and only the
    // signal thread ever receives these signals.
    sigemptyset(&g_stop_signals);
    sigaddset(&g_stop_signals, SIGINT);
    sigaddset(&g_stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &g_stop_signals, nullptr);
    // A shell starts background jobs with SIGINT ignored, and whether sigwait
    // takes an ignored signal is left open; the tool handles both signals
    // whatever it inherited. Safe now that they are blocked.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    pthread_t sig_thread;
    if (int e = pthread_create(&sig_thread, nullptr, signal_thread, nullptr); e != 0) {
        fprintf(stderr, "cannot start the signal thread: %s\n", strerror(e));
        return 1;
    }

    uint32_t port_num = 0;
    if (!parse_port(argv[2], &port_num)) {
        printf("bad value for port_num arg\n");
        usage(name);
        return 1;
    }

    vexa_port_config cfg{};
    cfg.port_num = static_cast<uint32_t>(port_num);
    cfg.timeout_us = k_timeout_us;
    cfg.size = k_region_size;
    cfg.on_connected = cb_connected;
    cfg.on_data_ready = cb_data_ready;
    cfg.on_disconnected = cb_disconnected;
    cfg.user_data = &app;
    cfg.option = 0;
    // Without a port (the open or connect failed and logged why) the tool
    // still runs: it can never become connected, so it sends nothing.
    const bool serve = strncmp(argv[1], "vrm", 3) == 0;
    app.port.store(serve ? vexa_port_open(&cfg) : vexa_port_connect(&cfg));
    app.running.store(true);

    char word[128];
    while (app.running.load()) {
        // At end of input (or a read error) there is nothing more to send, but
        // the endpoint goes on receiving and printing until a signal comes:
        // wait for it here rather than retrying the read.
        if (scanf("%127s", word) != 1) wait_for_signal(sig_thread);
        if (!app.connected.load()) continue;
        const size_t n = strlen(word) + 1; // the zero byte goes too
        std::lock_guard<std::mutex> lock(app.port_use);
        vexa_port *port = app.port.load();
        if (!port) continue; // a signal has taken it; the process is ending
        const int64_t sent = vexa_port_send(port, word, n);
        printf("sent %zd of %zu bytes\n", static_cast<ssize_t>(sent), n);
    }

    // running is cleared only by the signal thread, which is ending the
    // process: close what may still be held, then leave the exit to it.
    close_port_once();
    app.connected.store(false);
    wait_for_signal(sig_thread);
}
