// vexa-port-cat: a pipe for the shell over one channel. Serves or attaches to
// a port (0..3) or a named region ("/name"), copies standard input to the
// peer and the peer's bytes to standard output, byte-exact, and ends cleanly
// when both streams have ended.
//
// A channel carries bytes and nothing else, so the end of a stream has to be
// said in the stream itself. Each side sends frames: a four-byte
// little-endian word, then that many bytes of data when the word is between 1
// and k_frame_max. The word k_end says "no more data from me"; k_bye, which
// only the server sends, says "I have your end and have sent mine". The
// client closes once it has read the server's bye; the server waits for that
// detach. So neither side withdraws its half while the other still has bytes
// to read, and a peer that disappears before its end is told apart from one
// that finished.
//
// Threads: the main thread reads standard input and sends; the endpoint's
// thread receives in on_data_ready and writes standard output (a slow
// reader of our output holds up the endpoint, which fills the peer's ring and
// makes the peer wait: that is the back-pressure). A signal thread takes
// SIGINT, SIGTERM and SIGHUP. The other threads only record facts and wake
// the main thread through a pipe; the main thread alone decides and closes.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "vexa-port.h"
#include "vexa-port/shm_endpoint.h"

namespace {

constexpr const char *k_usage =
    "usage: vexa-port-cat serve|attach PORT|/NAME [--size BYTES] [-v]\n"
    "\n"
    "Copies standard input to the peer and the peer's bytes to standard output.\n"
    "PORT is a port number, 0 to 3; /NAME is any region name starting with '/'.\n"
    "Start one 'serve' and one 'attach' with the same PORT or NAME, in either\n"
    "order.\n"
    "\n"
    "  --size BYTES  region size; both sides must give the same (default 2097152)\n"
    "  -v            the library's information and debug lines on standard error\n"
    "  -h, --help    this text\n"
    "\n"
    "The end of standard input is sent to the peer as an end marker (the stream\n"
    "is framed: a 4-byte length before every block of data), and the peer ends\n"
    "its output there. Each side exits once it has sent its own end and received\n"
    "the peer's. A side whose standard input is a terminal stops reading it when\n"
    "the peer's end arrives; any other input is read to its end, so give\n"
    "< /dev/null to a side that only receives. Both sides must be vexa-port-cat.\n"
    "When the ring is full the sender waits for the reader; nothing is dropped.\n"
    "\n"
    "A client waits for its server however long it takes, but exits when it\n"
    "cannot attach for good (a server of another size, say).\n"
    "\n"
    "Exit status: 0 both streams ended; 1 an error, a client that cannot attach,\n"
    "or a peer that went away before its end or cut its stream short (the\n"
    "cause on standard error); 2 bad arguments; 128+N stopped by signal N.\n";

constexpr uint32_t k_frame_max = 128 * 1024;
constexpr uint32_t k_end = 0xFFFFFFFFu;
constexpr uint32_t k_bye = 0xFFFFFFFEu;
// The size every tool and binding uses unless told otherwise: the size a
// user of ports most likely gave the other side.
constexpr uint64_t k_default_size = VEXA_PORT_DEFAULT_SIZE;
// A client looks for its server this often, so one started first attaches
// within that time of the server's start.
constexpr uint32_t k_attach_pause_us = 10000;
// Waits for room in a full ring: short at first, since a reader that is
// keeping up frees room within microseconds, then longer, so that a stalled
// reader costs us about a thousand wake-ups a second and no more.
constexpr long k_backoff_min_ns = 20000;
constexpr long k_backoff_max_ns = 1000000;
// A client that has read the server's last byte detaches at once; one that
// has not within this time is left (see await_detach). Looked at this often.
constexpr long k_detach_grace_ms = 2000;
constexpr int k_detach_look_ms = 100;

bool g_verbose = false;

// What the other threads have seen. Written once each (false to true) and
// announced through the wake pipe.
struct Session {
    bool server = false;
    std::atomic<bool> connected{false};
    std::atomic<bool> peer_end{false};
    std::atomic<bool> peer_bye{false};
    std::atomic<bool> peer_gone{false};
    std::atomic<int> signal{0};
    int wake[2] = {-1, -1};

    // The first failure wins: its text is what the user sees.
    std::mutex failure_lock;
    std::string failure;

    // Receiving state, touched by the endpoint's thread only.
    std::vector<uint8_t> in_buf = std::vector<uint8_t>(256 * 1024);
    uint8_t word[4] = {};
    size_t word_have = 0;
    uint32_t data_left = 0;
    bool stream_over = false;

    void poke() {
        const char c = 0;
        // Non-blocking: a full pipe already holds a wake-up.
        [[maybe_unused]] ssize_t r = write(wake[1], &c, 1);
    }
    void fail(const std::string &what) {
        {
            std::lock_guard<std::mutex> lock(failure_lock);
            if (failure.empty()) failure = what;
        }
        poke();
    }
    bool failed() {
        std::lock_guard<std::mutex> lock(failure_lock);
        return !failure.empty();
    }
};

Session g;

std::string errno_text(const char *what, int e) { return std::string(what) + ": " + strerror(e); }

// The library's lines go to standard error, which keeps standard output for
// the peer's bytes alone. Each line leaves in one write so that lines of
// different threads do not mix.
int log_line(int32_t level, const char *fmt, va_list args) {
    if (level != SHM_LOG_ERR && !g_verbose) return 0;
    char line[1024];
    const int head = snprintf(line, sizeof line, "vexa-port-cat: ");
    const int body = vsnprintf(line + head, sizeof line - static_cast<size_t>(head), fmt, args);
    if (body < 0) return 0;
    const size_t n = std::min(sizeof line - 1, static_cast<size_t>(head + body));
    [[maybe_unused]] ssize_t r = write(STDERR_FILENO, line, n);
    return 0;
}

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t r = write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

uint32_t load_le32(const uint8_t *b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

void store_le32(uint8_t *b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Takes received bytes apart into frames; they may split anywhere.
void take_frames(Session &s, const uint8_t *p, size_t n) {
    while (n > 0 && !s.stream_over) {
        if (s.data_left > 0) {
            const size_t m = std::min<size_t>(s.data_left, n);
            if (!write_all(STDOUT_FILENO, p, m)) {
                s.stream_over = true;
                s.fail(errno_text("writing standard output", errno));
                return;
            }
            p += m;
            n -= m;
            s.data_left -= static_cast<uint32_t>(m);
            continue;
        }
        const size_t m = std::min(sizeof s.word - s.word_have, n);
        memcpy(s.word + s.word_have, p, m);
        s.word_have += m;
        p += m;
        n -= m;
        if (s.word_have < sizeof s.word) return;
        s.word_have = 0;
        const uint32_t w = load_le32(s.word);
        if (w == k_end) {
            s.peer_end.store(true);
            s.poke();
        } else if (w == k_bye && !s.server) {
            s.stream_over = true;
            // A bye before the end marker: whatever was still to come is
            // lost, and the output must not pass for the whole stream.
            if (!s.peer_end.load()) {
                s.fail("the peer ended the session before the end of its stream: the output is cut short");
                return;
            }
            s.peer_bye.store(true);
            s.poke();
        } else if (w >= 1 && w <= k_frame_max && !s.peer_end.load()) {
            s.data_left = w;
        } else {
            s.stream_over = true;
            s.fail("the peer sent something that is not a vexa-port-cat stream");
        }
    }
}

int32_t on_connected(void *user, shm_thread *) {
    auto *s = static_cast<Session *>(user);
    s->connected.store(true);
    s->poke();
    return 0;
}

int32_t on_data_ready(void *user, shm_thread *thr, int32_t) {
    auto *s = static_cast<Session *>(user);
    const ssize_t r = shm_recv(thr, s->in_buf.data(), s->in_buf.size());
    if (r == -EAGAIN) return 0;
    if (r < 0) {
        s->fail(std::string("receiving from the peer: ") + shm_strerror(static_cast<int32_t>(r)));
        return -1;
    }
    // Bytes after a failure or the bye are read and dropped, so the endpoint
    // does not announce them again and again until the main thread closes.
    take_frames(*s, s->in_buf.data(), static_cast<size_t>(r));
    return static_cast<int32_t>(r);
}

int32_t on_disconnected(void *user, shm_thread *) {
    auto *s = static_cast<Session *>(user);
    s->peer_gone.store(true);
    s->poke();
    return 0;
}

void *signal_thread(void *arg) {
    const auto *set = static_cast<const sigset_t *>(arg);
    for (;;) {
        int sig = 0;
        if (sigwait(set, &sig) != 0) continue;
        // A second signal means the orderly close is stuck (a callback held
        // up writing to a reader that no longer reads, say): leave at once.
        if (g.signal.exchange(sig) != 0) _exit(128 + sig);
        g.poke();
    }
}

// Why the session cannot go on, or empty while it can.
std::string trouble() {
    if (const int sig = g.signal.load()) return std::string("stopped by signal ") + std::to_string(sig);
    {
        std::lock_guard<std::mutex> lock(g.failure_lock);
        if (!g.failure.empty()) return g.failure;
    }
    return {};
}

void drain_wake() {
    char buf[64];
    while (read(g.wake[0], buf, sizeof buf) > 0) {
    }
}

// Sleeps until the wake pipe is poked, or for at most timeout_ms (-1: no
// limit), or until events_fd (when not -1) is readable.
void wait_for_news(int timeout_ms = -1, int events_fd = -1) {
    pollfd p[2] = {{g.wake[0], POLLIN, 0}, {events_fd, POLLIN, 0}};
    while (poll(p, events_fd < 0 ? 1 : 2, timeout_ms) < 0 && errno == EINTR) {
    }
    drain_wake();
}

// A client waits for its server for as long as it takes, but one that has
// given up for good (a server of another size, a name it cannot use) says so
// only through its ENDED event: the cause is in its error line, above.
bool await_link(shm_thread *thr, const char *target) {
    const int events = g.server ? -1 : shm_event_fd(thr);
    while (!g.connected.load()) {
        if (!trouble().empty()) return false;
        wait_for_news(-1, events);
        if (events >= 0 && (shm_take_events(thr) & SHM_EV_ENDED))
            g.fail(std::string("gave up attaching to ") + target + " (the cause is above)");
    }
    return true;
}

// The ring to the peer is empty (the peer has read all this side sent): a
// reservation of the whole ring is granted only then. capacity is the room
// an empty ring offers, learnt before the first send.
bool all_read(shm_thread *thr, size_t capacity) {
    void *room = nullptr;
    if (capacity == 0 || shm_reserve(thr, capacity, &room) < 0) return false;
    shm_commit(thr, 0);
    return true;
}

// The server's last step: the client detaches once it has read the bye.
// While it still has bytes to read it is waited for (leaving would take
// them away from it); once it has read them all, it gets k_detach_grace_ms
// to detach, and a client that does not is left behind, having had
// everything.
bool await_detach(shm_thread *thr, size_t capacity, const char *target) {
    using clock = std::chrono::steady_clock;
    clock::time_point drained_at{};
    bool drained = false;
    while (!g.peer_gone.load()) {
        if (!trouble().empty()) return false;
        wait_for_news(k_detach_look_ms);
        if (!all_read(thr, capacity)) {
            drained = false;
        } else if (!drained) {
            drained = true;
            drained_at = clock::now();
        } else if (clock::now() - drained_at >= std::chrono::milliseconds(k_detach_grace_ms)) {
            fprintf(stderr, "vexa-port-cat: the client of %s read everything but has not detached; leaving it\n",
                    target);
            return true;
        }
    }
    return true;
}

// Sends all of buf, waiting for room while the ring is full. False once the
// session has trouble (recorded already, or recorded here).
bool send_all(shm_thread *thr, const uint8_t *p, size_t n) {
    long backoff = 0;
    while (n > 0) {
        if (!trouble().empty()) return false;
        // A peer that has gone cannot read: without this check a server
        // would wait for room in its ring for ever.
        if (g.peer_gone.load()) return false;
        const ssize_t r = shm_send(thr, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
            backoff = 0;
            continue;
        }
        if (r == 0 || r == -ENOSPC || r == -ETIMEDOUT) {
            backoff = backoff == 0 ? k_backoff_min_ns : std::min(backoff * 2, k_backoff_max_ns);
            const timespec ts{0, backoff};
            nanosleep(&ts, nullptr);
            continue;
        }
        if (r == -EINVAL || r == -ENOTCONN) return false; // the link has gone; on_disconnected says so
        g.fail(std::string("sending to the peer: ") + shm_strerror(static_cast<int32_t>(r)));
        return false;
    }
    return true;
}

bool send_word(shm_thread *thr, uint32_t w) {
    uint8_t b[4];
    store_le32(b, w);
    return send_all(thr, b, sizeof b);
}

// Copies standard input to the peer, one frame per read, until its end (or
// until the peer's end when standard input is a terminal). False on trouble.
bool copy_input(shm_thread *thr) {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    std::vector<uint8_t> buf(4 + k_frame_max);
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g.wake[0], POLLIN, 0}};
    for (;;) {
        if (!trouble().empty() || g.peer_gone.load()) return false;
        // A terminal gives no end by itself; once the peer has ended, the user
        // is not made to type Ctrl-D to finish.
        if (terminal && g.peer_end.load()) return true;
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            g.fail(errno_text("waiting for standard input", errno));
            return false;
        }
        if (fds[1].revents) drain_wake();
        if (fds[0].revents & POLLNVAL) return true; // no standard input at all: an empty one
        if (!fds[0].revents) continue;
        const ssize_t got = read(STDIN_FILENO, buf.data() + 4, k_frame_max);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            g.fail(errno_text("reading standard input", errno));
            return false;
        }
        store_le32(buf.data(), static_cast<uint32_t>(got));
        if (!send_all(thr, buf.data(), 4 + static_cast<size_t>(got))) return false;
    }
}

// The main thread's part once the endpoint is started: true for a session
// that ended cleanly.
bool run(shm_thread *thr, const char *target) {
    if (!await_link(thr, target)) return false;
    // Nothing sent yet: the ring to the peer is empty, and offers its all.
    size_t capacity = 0;
    void *room = nullptr;
    if (g.server) {
        const ssize_t r = shm_reserve(thr, 1, &room);
        if (r > 0) {
            shm_commit(thr, 0);
            capacity = static_cast<size_t>(r);
        }
    }
    if (!copy_input(thr) || !send_word(thr, k_end)) return false;
    if (g.server) {
        while (!g.peer_end.load()) {
            if (!trouble().empty() || g.peer_gone.load()) return false;
            wait_for_news();
        }
        if (!send_word(thr, k_bye)) return false;
        // A client that dies now has had everything already.
        return await_detach(thr, capacity, target);
    }
    while (!g.peer_bye.load()) {
        if (!trouble().empty()) return false;
        // The bye is told before the departure: a server gone now has said
        // it unless it went before its end.
        if (g.peer_gone.load()) return g.peer_bye.load();
        wait_for_news();
    }
    return true;
}

bool parse_port(const char *s, uint32_t *port) {
    if (!*s || strspn(s, "0123456789") != strlen(s) || strlen(s) > 3) return false;
    const unsigned long n = strtoul(s, nullptr, 10);
    if (n >= vexa_port_count()) return false;
    *port = static_cast<uint32_t>(n);
    return true;
}

bool parse_size(const char *s, uint64_t *size) {
    if (!*s || strspn(s, "0123456789") != strlen(s)) return false;
    errno = 0;
    const unsigned long long n = strtoull(s, nullptr, 10);
    // The region's size field is 32 bits; below a page there is no room for
    // the block's header and two useful rings.
    if (errno != 0 || n < 4096 || n > UINT32_MAX) return false;
    *size = n;
    return true;
}

int usage_error(const char *what) {
    // The first line of the help is the usage line.
    fprintf(stderr, "vexa-port-cat: %s\n%.*s(--help says more)\n", what, static_cast<int>(strcspn(k_usage, "\n") + 1),
            k_usage);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    const char *role = nullptr;
    char *target = nullptr;
    uint64_t size = k_default_size;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            fputs(k_usage, stdout);
            return 0;
        }
        if (!strcmp(a, "-v") || !strcmp(a, "--verbose")) {
            g_verbose = true;
        } else if (!strcmp(a, "--size") || !strncmp(a, "--size=", 7)) {
            const char *v = a[6] == '=' ? a + 7 : (i + 1 < argc ? argv[++i] : "");
            if (!parse_size(v, &size)) return usage_error("--size needs a number of bytes from 4096 to 4294967295");
        } else if (a[0] == '-' && a[1] != '\0') {
            return usage_error((std::string("unknown option ") + a).c_str());
        } else if (!role) {
            role = a;
        } else if (!target) {
            target = argv[i];
        } else {
            return usage_error("too many arguments");
        }
    }
    if (!role || !target) return usage_error("a role and a port or name are needed");
    if (strcmp(role, "serve") != 0 && strcmp(role, "attach") != 0)
        return usage_error("the role is 'serve' or 'attach'");
    g.server = role[0] == 's';
    uint32_t port = 0;
    const bool named = target[0] == '/';
    if (!named && !parse_port(target, &port)) return usage_error("the port is 0 to 3, or a name starting with '/'");

    vexa_port_set_logfunc(log_line, SHM_LOG_ERR, SHM_LOG_INFO, SHM_LOG_DBG);
    if (g_verbose) vexa_port_set_debug(1);
    // A reader of our output that goes away is an error to report, not a
    // reason to die silently in the middle of a callback.
    signal(SIGPIPE, SIG_IGN);
    // A closed standard descriptor would be handed to the next open (the
    // wake pipe, the channel's objects) and then read or written as input
    // or output: each one closed reads as empty and writes to nowhere.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    if (pipe2(g.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("vexa-port-cat: pipe");
        return 1;
    }

    // Blocked before any other thread exists, so that every thread inherits
    // the mask and only the signal thread takes these.
    static sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    pthread_t sig_thread;
    if (const int e = pthread_create(&sig_thread, nullptr, signal_thread, &stop_signals); e != 0) {
        fprintf(stderr, "vexa-port-cat: cannot start the signal thread: %s\n", strerror(e));
        return 1;
    }
    pthread_detach(sig_thread);

    shm_thread *thr = nullptr;
    if (named) {
        shm_data data{};
        data.endpoint.path = target; // the start takes its own copy
        data.endpoint.timeout_us = k_attach_pause_us;
        data.endpoint.size = static_cast<uint32_t>(size);
        data.handlers.on_connected = on_connected;
        data.handlers.on_data_ready = on_data_ready;
        data.handlers.on_disconnected = on_disconnected;
        data.handlers.user_data = &g;
        thr = g.server ? shm_srv_start(&data) : shm_cli_connect(&data);
    } else {
        vexa_port_config cfg{};
        cfg.port_num = port;
        cfg.timeout_us = k_attach_pause_us;
        cfg.size = size;
        cfg.on_connected = on_connected;
        cfg.on_data_ready = on_data_ready;
        cfg.on_disconnected = on_disconnected;
        cfg.user_data = &g;
        thr = g.server ? vexa_port_open(&cfg) : vexa_port_connect(&cfg);
    }
    if (!thr) {
        fprintf(stderr, "vexa-port-cat: cannot %s %s (the cause is above)\n", g.server ? "serve" : "attach to",
                target);
        return 1;
    }

    const bool clean = run(thr, target);
    const std::string why = trouble();
    shm_close(thr);
    if (clean) return 0;
    if (const int sig = g.signal.load()) return 128 + sig;
    fprintf(stderr, "vexa-port-cat: %s\n",
            why.empty() ? "the peer went away before the end of its stream" : why.c_str());
    return 1;
}
