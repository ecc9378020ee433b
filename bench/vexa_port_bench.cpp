// vexa-port-bench: the channel against the kernel's own channels, measured in
// one run on one machine.
//
// Every measurement is a pair of processes: the orchestrator (this process,
// which never opens a port and never starts a thread) spawns the binary again
// with a role argument for each side and talks to it over two pipes mapped to
// fixed descriptors. Transports are interleaved within each repetition
// (channel, socket, pipe, channel, ...) so that drift of a shared, noisy host
// hits all three alike; the table shows the median with min and max.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "shm/membuf_internal.h"
#include "vexa-port.h"

extern char **environ;

namespace {

// Descriptors a spawned side finds: its report pipe, the orchestrator's
// go/stop pipe (EOF means "finish"), and up to two data descriptors.
constexpr int k_ctl_fd = 3;
constexpr int k_go_fd = 4;
constexpr int k_data0 = 5;
constexpr int k_data1 = 6;

constexpr uint32_t k_port = 3;            // the bench uses one fixed port
constexpr uint64_t k_region = 4ull << 20; // about 2 MiB per direction
constexpr size_t k_rbuf = 64 * 1024;      // receivers read up to this much per call
constexpr int k_pipe_size = 1 << 20;

uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// KiB of a /proc/self/status field, or -1.
long status_kib(const char *field) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    const size_t n = strlen(field);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, field, n) == 0 && line[n] == ':') v = strtol(line + n + 1, nullptr, 10);
    fclose(f);
    return v;
}

// ---------------------------------------------------------------------------
// Side: the spawned process.

struct Args {
    std::string role, transport;
    size_t size = 0;
    uint64_t count = 0;
    double seconds = 0;
};

void report(const std::string &line) {
    std::string l = line + "\n";
    (void)!write(k_ctl_fd, l.data(), l.size());
}

// Blocks until the orchestrator writes a byte (true) or closes the pipe.
bool wait_go() {
    char c;
    ssize_t r;
    while ((r = read(k_go_fd, &c, 1)) < 0 && errno == EINTR) {
    }
    return r == 1;
}

// Blocks until the orchestrator closes the go pipe: the peer may still be
// reading what this side sent last, so no side leaves before both are done.
void wait_stop() {
    while (wait_go()) {
    }
}

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The byte sum: position-free, so any split of the stream into reads gives
// the same value, and cheap enough to vectorise.
uint64_t byte_sum(const uint8_t *p, size_t n) {
    uint64_t s = 0;
    while (n) {
        const size_t m = std::min<size_t>(n, 1u << 16);
        uint32_t part = 0;
        for (size_t i = 0; i < m; ++i) part += p[i];
        s += part;
        p += m;
        n -= m;
    }
    return s;
}

// The message the sender sends as number i: a fixed pattern whose first byte
// carries i, so a repeated or lost message changes the sum.
void stamp(std::vector<uint8_t> &msg, uint64_t i) { msg[0] = static_cast<uint8_t>(i * 131 + 7); }

uint64_t expected_sum(const std::vector<uint8_t> &pattern, uint64_t count) {
    const uint64_t rest = byte_sum(pattern.data() + 1, pattern.size() - 1);
    uint64_t s = 0;
    for (uint64_t i = 0; i < count; ++i) s += static_cast<uint8_t>(i * 131 + 7) + rest;
    return s;
}

std::vector<uint8_t> make_pattern(size_t size) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

std::string quantiles(std::vector<double> &lat) {
    std::sort(lat.begin(), lat.end());
    auto q = [&](double p) { return lat[std::min(lat.size() - 1, static_cast<size_t>(p * static_cast<double>(lat.size())))]; };
    char b[64];
    std::string s = "q=";
    for (int i = 0; i <= 100; ++i) {
        snprintf(b, sizeof b, "%s%.3f", i ? "," : "", q(i / 100.0));
        s += b;
    }
    snprintf(b, sizeof b, " p50=%.3f p99=%.3f p999=%.3f max=%.3f", q(0.5), q(0.99), q(0.999), lat.back());
    return s + b;
}

// The channel's side: one endpoint, driven by its callbacks.
struct Chan {
    Args a;
    vexa_port *port = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool connected = false, done = false, disconnected = false;
    uint64_t t_connected = 0, t_disconnected = 0;
    // receiver / echo / pinger state (touched only on the endpoint thread)
    std::vector<uint8_t> buf = std::vector<uint8_t>(k_rbuf);
    std::vector<uint8_t> msg;
    uint64_t got = 0, total = 0, sum = 0, t_end = 0, rounds = 0, warm = 0;
    size_t partial = 0;
    uint64_t t_sent = 0;
    std::vector<double> lat;

    void signal(bool &flag) {
        std::lock_guard l(m);
        flag = true;
        cv.notify_all();
    }
    void wait(bool &flag) {
        std::unique_lock l(m);
        cv.wait(l, [&] { return flag; });
    }
    // Sends all of p, yielding while the ring is full.
    bool send_all(const uint8_t *p, size_t n) {
        while (n) {
            const int64_t w = vexa_port_send(port, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            } else if (w == -ENOSPC || w == 0) {
                sched_yield();
            } else {
                return false;
            }
        }
        return true;
    }
    void on_data() {
        for (;;) {
            const int64_t n = vexa_port_recv(port, buf.data(), a.role == "recv" ? buf.size() : a.size - partial);
            if (n <= 0) return;
            if (a.role == "recv") {
                sum += byte_sum(buf.data(), static_cast<size_t>(n));
                got += static_cast<uint64_t>(n);
                if (got >= total) {
                    t_end = now_ns();
                    signal(done);
                    return;
                }
                continue;
            }
            partial += static_cast<size_t>(n);
            if (partial < a.size) continue;
            partial = 0;
            if (a.role == "echo") {
                send_all(msg.data(), msg.size());
                if (++rounds == a.count + a.count / 10) signal(done);
            } else if (a.role == "ping") {
                const uint64_t t = now_ns();
                if (rounds++ >= warm) lat.push_back(static_cast<double>(t - t_sent) / 1000.0);
                if (rounds == a.count + warm) {
                    signal(done);
                    return;
                }
                t_sent = now_ns();
                send_all(msg.data(), msg.size());
            }
        }
    }
};

Chan *g_chan = nullptr;

int32_t cb_connected(void *u, shm_thread *) {
    auto *c = static_cast<Chan *>(u);
    c->t_connected = now_ns();
    c->signal(c->connected);
    return 0;
}
int32_t cb_data_ready(void *u, shm_thread *, int32_t) {
    static_cast<Chan *>(u)->on_data();
    return 0;
}
int32_t cb_disconnected(void *u, shm_thread *) {
    auto *c = static_cast<Chan *>(u);
    c->t_disconnected = now_ns();
    c->signal(c->disconnected);
    return 0;
}

vexa_port_config chan_config(Chan &c) {
    vexa_port_config cfg{};
    cfg.port_num = k_port;
    cfg.timeout_us = 10000;
    cfg.size = k_region;
    cfg.on_connected = cb_connected;
    cfg.on_data_ready = cb_data_ready;
    cfg.on_disconnected = cb_disconnected;
    cfg.user_data = &c;
    return cfg;
}

// Errors go to standard error; the endpoints' info lines would only clutter
// the table.
int quiet_log(int32_t level, const char *fmt, va_list args) {
    if (level == 1) vfprintf(stderr, fmt, args);
    return 0;
}

// Pins every thread of this process to CPU 0 (threads started before keep
// what they computed from their wider mask, such as whether to poll).
void pin_all_threads() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') sched_setaffinity(static_cast<pid_t>(atoi(e->d_name)), sizeof set, &set);
        closedir(d);
    }
}

int run_chan_side(const Args &a, bool pin_late) {
    vexa_port_set_logfunc(quiet_log, 1, 2, 3);
    Chan c;
    c.a = a;
    g_chan = &c;
    const long rss0 = status_kib("VmRSS");
    const bool server = a.role == "recv" || a.role == "echo" || a.role == "srv";
    vexa_port_config cfg = chan_config(c);
    const uint64_t t0 = now_ns();
    if (a.role == "recv") c.total = a.count * a.size;
    if (a.role == "echo" || a.role == "ping") c.msg = make_pattern(a.size);
    if (a.role == "ping") c.warm = a.count / 10;
    c.lat.reserve(a.count);
    c.port = server ? vexa_port_open(&cfg) : vexa_port_connect(&cfg);
    if (!c.port) {
        report("error=open");
        return 1;
    }
    const uint64_t t_open = now_ns();
    if (server) {
        if (pin_late) {
            usleep(20000); // the endpoint thread has decided to poll by now
            pin_all_threads();
        }
        report("ready=1 open_us=" + std::to_string((t_open - t0) / 1000.0));
    } else if (a.role == "wait") {
        // A client whose server is missing: its CPU over the idle period.
        report("ready=1");
        wait_go();
        const double c0 = cpu_seconds();
        const uint64_t w0 = now_ns();
        struct timespec ts = {static_cast<time_t>(a.seconds), static_cast<long>(std::fmod(a.seconds, 1.0) * 1e9)};
        nanosleep(&ts, nullptr);
        report("cpu_pct=" + std::to_string(100.0 * (cpu_seconds() - c0) / ((now_ns() - w0) / 1e9)));
        wait_stop();
        vexa_port_close(c.port);
        return 0;
    } else {
        c.wait(c.connected);
        if (pin_late) {
            usleep(20000);
            pin_all_threads();
        }
        report("ready=1 connect_us=" + std::to_string((c.t_connected - t0) / 1000.0));
    }
    const uint64_t late0 = vexa::block::late_wakeups();
    std::string out;
    if (a.role == "send") {
        wait_go();
        std::vector<uint8_t> msg = make_pattern(a.size);
        const uint64_t ts = now_ns();
        for (uint64_t i = 0; i < a.count; ++i) {
            stamp(msg, i);
            if (!c.send_all(msg.data(), msg.size())) {
                report("error=send");
                return 1;
            }
        }
        out = "t0=" + std::to_string(ts) + " sum=" + std::to_string(expected_sum(make_pattern(a.size), a.count));
    } else if (a.role == "recv") {
        c.wait(c.done);
        out = "t1=" + std::to_string(c.t_end) + " sum=" + std::to_string(c.sum);
    } else if (a.role == "echo") {
        c.wait(c.done);
        out = "late=" + std::to_string(vexa::block::late_wakeups() - late0);
    } else if (a.role == "ping") {
        wait_go();
        c.t_sent = now_ns();
        c.send_all(c.msg.data(), c.msg.size());
        c.wait(c.done);
        out = quantiles(c.lat) + " late=" + std::to_string(vexa::block::late_wakeups() - late0);
    } else if (a.role == "idle" || a.role == "srv") {
        // An attached pair that exchanges nothing: CPU and memory beyond the
        // region (the mapped block's pages count as shared memory).
        if (a.role == "srv") c.wait(c.connected);
        wait_go();
        const double c0 = cpu_seconds();
        const uint64_t w0 = now_ns();
        struct timespec ts = {static_cast<time_t>(a.seconds), static_cast<long>(std::fmod(a.seconds, 1.0) * 1e9)};
        nanosleep(&ts, nullptr);
        const double pct = 100.0 * (cpu_seconds() - c0) / ((now_ns() - w0) / 1e9);
        const long rss = status_kib("VmRSS"), shmem = status_kib("RssShmem");
        out = "cpu_pct=" + std::to_string(pct) + " rss_kib=" + std::to_string(rss - rss0 - shmem);
    } else if (a.role == "victim") {
        // Stays attached until the orchestrator kills it.
        pause();
    }
    report(out);
    wait_stop();
    vexa_port_close(c.port);
    return 0;
}

// Server that measures the time from a client's SIGKILL (orchestrator's clock)
// to its on_disconnected, which comes after the block is rebuilt.
int run_recovery_server(const Args &a) {
    vexa_port_set_logfunc(quiet_log, 1, 2, 3);
    Chan c;
    c.a = a;
    vexa_port_config cfg = chan_config(c);
    const uint64_t t0 = now_ns();
    c.port = vexa_port_open(&cfg);
    if (!c.port) {
        report("error=open");
        return 1;
    }
    report("ready=1 open_us=" + std::to_string((now_ns() - t0) / 1000.0));
    c.wait(c.disconnected);
    report("t_gone=" + std::to_string(c.t_disconnected));
    wait_stop();
    vexa_port_close(c.port);
    return 0;
}

// The baselines: the same roles over a socket (one descriptor both ways) or
// a pair of pipes (data0 in, data1 out).
int run_fd_side(const Args &a) {
    const int in = k_data0, out = a.transport == "pipe" ? k_data1 : k_data0;
    const long rss0 = status_kib("VmRSS");
    report("ready=1");
    std::string line;
    std::vector<uint8_t> buf(k_rbuf);
    if (a.role == "send") {
        wait_go();
        std::vector<uint8_t> msg = make_pattern(a.size);
        const uint64_t ts = now_ns();
        for (uint64_t i = 0; i < a.count; ++i) {
            stamp(msg, i);
            if (!write_all(out, msg.data(), msg.size())) {
                report("error=send");
                return 1;
            }
        }
        line = "t0=" + std::to_string(ts) + " sum=" + std::to_string(expected_sum(make_pattern(a.size), a.count));
    } else if (a.role == "recv") {
        uint64_t got = 0, sum = 0;
        const uint64_t total = a.count * a.size;
        while (got < total) {
            const ssize_t n = read(in, buf.data(), buf.size());
            if (n <= 0) break;
            sum += byte_sum(buf.data(), static_cast<size_t>(n));
            got += static_cast<uint64_t>(n);
        }
        line = "t1=" + std::to_string(now_ns()) + " sum=" + std::to_string(sum);
    } else if (a.role == "echo" || a.role == "ping") {
        std::vector<uint8_t> msg = make_pattern(a.size);
        std::vector<double> lat;
        lat.reserve(a.count);
        const uint64_t warm = a.count / 10; // rounds not recorded, on both sides
        if (a.role == "ping") wait_go();
        for (uint64_t r = 0; r < a.count + warm; ++r) {
            const uint64_t t = now_ns();
            if (a.role == "ping" && !write_all(out, msg.data(), msg.size())) break;
            size_t have = 0;
            while (have < a.size) {
                const ssize_t n = read(in, buf.data(), a.size - have);
                if (n <= 0) break;
                have += static_cast<size_t>(n);
            }
            if (have < a.size) break;
            if (a.role == "echo" && !write_all(out, msg.data(), msg.size())) break;
            if (a.role == "ping" && r >= warm) lat.push_back(static_cast<double>(now_ns() - t) / 1000.0);
        }
        line = a.role == "ping" ? quantiles(lat) + " late=0" : "late=0";
    } else if (a.role == "idle" || a.role == "srv") {
        wait_go();
        const double c0 = cpu_seconds();
        const uint64_t w0 = now_ns();
        struct timespec ts = {static_cast<time_t>(a.seconds), static_cast<long>(std::fmod(a.seconds, 1.0) * 1e9)};
        nanosleep(&ts, nullptr);
        line = "cpu_pct=" + std::to_string(100.0 * (cpu_seconds() - c0) / ((now_ns() - w0) / 1e9)) +
               " rss_kib=" + std::to_string(status_kib("VmRSS") - rss0);
    }
    report(line);
    wait_stop();
    return 0;
}

int side_main(int argc, char **argv) {
    // --side ROLE TRANSPORT SIZE COUNT SECONDS [pin-late]
    if (argc < 7) return 2;
    Args a;
    a.role = argv[2];
    a.transport = argv[3];
    a.size = strtoull(argv[4], nullptr, 10);
    a.count = strtoull(argv[5], nullptr, 10);
    a.seconds = atof(argv[6]);
    const bool pin_late = argc > 7 && strcmp(argv[7], "pin-late") == 0;
    signal(SIGPIPE, SIG_IGN);
    if (a.role == "recovery") return run_recovery_server(a);
    return a.transport == "chan" ? run_chan_side(a, pin_late) : run_fd_side(a);
}

// ---------------------------------------------------------------------------
// Orchestrator.

using Fields = std::map<std::string, std::string>;

struct Child {
    pid_t pid = -1;
    int ctl = -1; // read end of its reports
    int go = -1;  // write end of its go/stop pipe
    std::string pending;
};

std::string g_self;
bool g_failed = false;

Child spawn_side(const std::vector<std::string> &args, const std::vector<int> &data, bool pinned) {
    Child c;
    int ctl[2], go[2];
    if (pipe2(ctl, O_CLOEXEC) || pipe2(go, O_CLOEXEC)) return c;
    // The sources are moved above the fixed numbers first: a source that is
    // itself 3 to 6 would otherwise be overwritten before it is copied.
    std::vector<int> src = {ctl[1], go[0]};
    src.insert(src.end(), data.begin(), data.end());
    for (int &fd : src) fd = fcntl(fd, F_DUPFD_CLOEXEC, 64);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (size_t i = 0; i < src.size(); ++i)
        posix_spawn_file_actions_adddup2(&fa, src[i], k_ctl_fd + static_cast<int>(i));
    std::vector<std::string> all = {g_self, "--side"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &s : all) argv.push_back(s.data());
    argv.push_back(nullptr);
    // Affinity is inherited: set it here for the spawn and put it back.
    cpu_set_t old, one;
    sched_getaffinity(0, sizeof old, &old);
    if (pinned) {
        CPU_ZERO(&one);
        CPU_SET(0, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    if (posix_spawn(&c.pid, g_self.c_str(), &fa, nullptr, argv.data(), environ) != 0) c.pid = -1;
    if (pinned) sched_setaffinity(0, sizeof old, &old);
    posix_spawn_file_actions_destroy(&fa);
    for (int fd : src) close(fd);
    close(ctl[1]);
    close(go[0]);
    c.ctl = ctl[0];
    c.go = go[1];
    return c;
}

// The next report line of c, or an empty map after timeout_s or EOF, or when
// peer (whose reports are kept for later) ends first.
Fields next_report(Child &c, double timeout_s = 120, Child *peer = nullptr) {
    const uint64_t deadline = now_ns() + static_cast<uint64_t>(timeout_s * 1e9);
    for (;;) {
        const size_t nl = c.pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = c.pending.substr(0, nl);
            c.pending.erase(0, nl + 1);
            Fields f;
            size_t p = 0;
            while (p < line.size()) {
                size_t e = line.find(' ', p);
                if (e == std::string::npos) e = line.size();
                const std::string kv = line.substr(p, e - p);
                const size_t eq = kv.find('=');
                if (eq != std::string::npos) f[kv.substr(0, eq)] = kv.substr(eq + 1);
                p = e + 1;
            }
            return f;
        }
        const uint64_t t = now_ns();
        if (t >= deadline) return {};
        pollfd pfd[2] = {{c.ctl, POLLIN, 0}, {peer ? peer->ctl : -1, POLLIN, 0}};
        if (poll(pfd, 2, static_cast<int>((deadline - t) / 1000000 + 1)) <= 0) continue;
        char buf[4096];
        if (pfd[1].revents) {
            const ssize_t n = read(peer->ctl, buf, sizeof buf);
            if (n <= 0) return {};
            peer->pending.append(buf, static_cast<size_t>(n));
        }
        if (!pfd[0].revents) continue;
        const ssize_t n = read(c.ctl, buf, sizeof buf);
        if (n <= 0) return {};
        c.pending.append(buf, static_cast<size_t>(n));
    }
}

void go(Child &c) { (void)!write(c.go, "g", 1); }

void finish(Child &c, bool kill_it = false) {
    if (c.pid <= 0) return;
    if (kill_it) kill(c.pid, SIGKILL);
    close(c.go);
    int st;
    waitpid(c.pid, &st, 0);
    close(c.ctl);
    c.pid = -1;
}

double num(const Fields &f, const char *k) {
    auto it = f.find(k);
    return it == f.end() ? NAN : atof(it->second.c_str());
}

// Data descriptors for a pair over transport t: [side A's, side B's].
bool make_link(const std::string &t, std::vector<int> &a, std::vector<int> &b) {
    a.clear();
    b.clear();
    if (t == "chan") return true;
    if (t == "sock") {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv)) return false;
        a = {sv[0]};
        b = {sv[1]};
        return true;
    }
    // Two pipes, A to B and B to A, each enlarged to 1 MiB: the default 64 KiB
    // pipe would make every 64 KiB message a full stop for the writer.
    int ab[2], ba[2];
    if (pipe2(ab, O_CLOEXEC) || pipe2(ba, O_CLOEXEC)) return false;
    for (int fd : {ab[1], ba[1]}) fcntl(fd, F_SETPIPE_SZ, k_pipe_size);
    a = {ba[0], ab[1]};
    b = {ab[0], ba[1]};
    return true;
}

void close_all(std::vector<int> &v) {
    for (int fd : v) close(fd);
    v.clear();
}

// One run of a pair: B (server / receiver) first, then A; both get "go" once
// ready; returns A's and B's result reports.
bool run_pair(const std::string &t, const std::string &role_a, const std::string &role_b, size_t size, uint64_t count,
              double seconds, Fields &ra, Fields &rb, bool pinned = false, bool pin_late = false) {
    std::vector<int> da, db;
    if (!make_link(t, da, db)) return false;
    const std::string sz = std::to_string(size), cn = std::to_string(count), sec = std::to_string(seconds);
    std::vector<std::string> args = {role_b, t, sz, cn, sec};
    if (pin_late) args.push_back("pin-late");
    Child b = spawn_side(args, db, pinned);
    Fields r = next_report(b, 30);
    bool ok = r.count("ready");
    Child a;
    if (ok) {
        args[0] = role_a;
        a = spawn_side(args, da, pinned);
        ok = next_report(a, 30).count("ready");
    }
    close_all(da);
    close_all(db);
    if (ok) {
        go(b);
        go(a);
        ra = next_report(a, 120, &b);
        rb = next_report(b, 120, &a);
        ok = !ra.empty() && !rb.empty() && !ra.count("error") && !rb.count("error");
    }
    finish(a, !ok);
    finish(b, !ok);
    if (!ok) {
        fprintf(stderr, "vexa-port-bench: %s %s/%s size %zu failed\n", t.c_str(), role_a.c_str(), role_b.c_str(), size);
        g_failed = true;
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Results

struct Stat {
    std::vector<double> v;
    double med() const {
        if (v.empty()) return NAN;
        auto s = v;
        std::sort(s.begin(), s.end());
        return s.size() % 2 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
    }
    double min() const { return v.empty() ? NAN : *std::min_element(v.begin(), v.end()); }
    double max() const { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); }
};

const char *const k_transports[3] = {"chan", "sock", "pipe"};

struct Row {
    std::string name, unit;
    bool higher_better;
    Stat s[3];
    bool has[3] = {false, false, false};
};

std::vector<Row> g_rows;
std::map<std::string, std::vector<double>> g_quantiles; // "chan 64" -> last run's q0..q100

Row &row(const std::string &name, const std::string &unit, bool higher_better) {
    for (auto &r : g_rows)
        if (r.name == name) return r;
    g_rows.push_back(Row{name, unit, higher_better, {}, {}});
    return g_rows.back();
}

void add(const std::string &name, const std::string &unit, bool hb, int t, double v) {
    if (std::isnan(v)) return;
    Row &r = row(name, unit, hb);
    r.s[t].v.push_back(v);
    r.has[t] = true;
}

std::string size_name(size_t s) { return s >= 1024 ? std::to_string(s / 1024) + " KiB" : std::to_string(s) + " B"; }

void fmt(char *b, size_t n, const Row &r, int t) {
    if (!r.has[t]) {
        snprintf(b, n, "%s", "-");
        return;
    }
    snprintf(b, n, "%.3g [%.3g..%.3g]", r.s[t].med(), r.s[t].min(), r.s[t].max());
}

double ratio(const Row &r, int t) {
    if (!r.has[0] || !r.has[t]) return NAN;
    return r.higher_better ? r.s[0].med() / r.s[t].med() : r.s[t].med() / r.s[0].med();
}

void print_table(int reps) {
    printf("\nvexa-port-bench: median [min..max] over %d repetitions; ratio = how many times the channel is better\n\n",
           reps);
    printf("%-34s %-9s %-26s %-26s %-26s %9s %9s\n", "scenario", "unit", "channel", "unix socket", "pipe (1 MiB)",
           "x socket", "x pipe");
    for (const Row &r : g_rows) {
        char c[3][64];
        for (int t = 0; t < 3; ++t) fmt(c[t], sizeof c[t], r, t);
        char x1[16] = "-", x2[16] = "-";
        if (!std::isnan(ratio(r, 1))) snprintf(x1, sizeof x1, "%.2f", ratio(r, 1));
        if (!std::isnan(ratio(r, 2))) snprintf(x2, sizeof x2, "%.2f", ratio(r, 2));
        printf("%-34s %-9s %-26s %-26s %-26s %9s %9s\n", r.name.c_str(), r.unit.c_str(), c[0], c[1], c[2], x1, x2);
    }
    fflush(stdout);
}

void write_json(const std::string &path, int reps) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        fprintf(stderr, "vexa-port-bench: cannot write %s\n", path.c_str());
        g_failed = true;
        return;
    }
    fprintf(f, "{\n  \"repetitions\": %d,\n  \"rows\": [\n", reps);
    for (size_t i = 0; i < g_rows.size(); ++i) {
        const Row &r = g_rows[i];
        fprintf(f, "    {\"scenario\": \"%s\", \"unit\": \"%s\", \"higher_is_better\": %s", r.name.c_str(),
                r.unit.c_str(), r.higher_better ? "true" : "false");
        for (int t = 0; t < 3; ++t) {
            if (!r.has[t]) continue;
            fprintf(f, ", \"%s\": {\"median\": %.6g, \"min\": %.6g, \"max\": %.6g, \"runs\": [", k_transports[t],
                    r.s[t].med(), r.s[t].min(), r.s[t].max());
            for (size_t k = 0; k < r.s[t].v.size(); ++k) fprintf(f, "%s%.6g", k ? ", " : "", r.s[t].v[k]);
            fprintf(f, "]}");
        }
        fprintf(f, "}%s\n", i + 1 < g_rows.size() ? "," : "");
    }
    fprintf(f, "  ],\n  \"round_trip_quantiles_us\": {");
    size_t k = 0;
    for (auto &[name, q] : g_quantiles) {
        fprintf(f, "%s\n    \"%s\": [", k++ ? "," : "", name.c_str());
        for (size_t i = 0; i < q.size(); ++i) fprintf(f, "%s%.4g", i ? ", " : "", q[i]);
        fprintf(f, "]");
    }
    fprintf(f, "\n  }\n}\n");
    fclose(f);
}

// The round-trip distributions of the last repetition as cumulative curves
// on a logarithmic time axis, written as plain SVG.
void write_svg(const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) {
        fprintf(stderr, "vexa-port-bench: cannot write %s\n", path.c_str());
        g_failed = true;
        return;
    }
    const double W = 760, H = 440, L = 70, R = 200, T = 40, B = 60;
    double lo = 1e300, hi = 0;
    for (auto &[n, q] : g_quantiles)
        for (double v : q)
            if (v > 0) lo = std::min(lo, v), hi = std::max(hi, v);
    if (hi <= 0) lo = 0.1, hi = 100;
    const double l0 = std::floor(std::log10(lo)), l1 = std::ceil(std::log10(hi));
    auto X = [&](double us) { return L + (std::log10(std::max(us, lo)) - l0) / std::max(l1 - l0, 1.0) * (W - L - R); };
    auto Y = [&](double p) { return T + (1 - p) * (H - T - B); };
    fprintf(f, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" font-family=\"sans-serif\" "
               "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n", W, H);
    fprintf(f, "<text x=\"%.0f\" y=\"22\" font-size=\"15\">Round trip: cumulative distribution (last repetition)</text>\n",
            L);
    for (double e = l0; e <= l1; e += 1) {
        const double x = X(std::pow(10, e));
        fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", x, Y(1), x, Y(0));
        fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g µs</text>\n", x, Y(0) + 18, std::pow(10, e));
    }
    for (int p = 0; p <= 100; p += 25) {
        fprintf(f, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", L, Y(p / 100.0),
                W - R, Y(p / 100.0));
        fprintf(f, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%d%%</text>\n", L - 6, Y(p / 100.0) + 4, p);
    }
    const char *colors[3] = {"#1f77b4", "#d62728", "#2ca02c"};
    const char *labels[3] = {"channel", "unix socket", "pipe"};
    int li = 0;
    for (auto &[name, q] : g_quantiles) {
        const int t = name.rfind("chan", 0) == 0 ? 0 : name.rfind("sock", 0) == 0 ? 1 : 2;
        const bool dashed = name.find("4096") != std::string::npos;
        fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\"%s points=\"", colors[t],
                dashed ? " stroke-dasharray=\"6,4\"" : "");
        for (size_t i = 0; i < q.size(); ++i) fprintf(f, "%.1f,%.1f ", X(q[i]), Y(static_cast<double>(i) / 100.0));
        fprintf(f, "\"/>\n");
        const double ly = T + 20 + 20 * li++;
        fprintf(f, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"%s/>\n",
                W - R + 15, ly, W - R + 45, ly, colors[t], dashed ? " stroke-dasharray=\"6,4\"" : "");
        fprintf(f, "<text x=\"%.0f\" y=\"%.0f\">%s %s</text>\n", W - R + 52, ly + 4, labels[t],
                dashed ? "4 KiB" : "64 B");
    }
    fprintf(f, "</svg>\n");
    fclose(f);
}

int orchestrate(int argc, char **argv) {
    bool quick = false;
    std::string json, svg;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--json" && i + 1 < argc) {
            json = argv[++i];
        } else if (a == "--plot" && i + 1 < argc) {
            svg = argv[++i];
        } else {
            fprintf(stderr, "usage: vexa-port-bench [--quick] [--json FILE] [--plot FILE.svg]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const int reps = quick ? 2 : 5;
    const double idle_s = quick ? 0.3 : 5.0;
    const uint64_t rounds = quick ? 2000 : 20000;
    struct Tp {
        size_t size;
        uint64_t count;
    };
    const Tp tps[3] = {{64, quick ? 100000ull : 1000000ull},
                       {4096, quick ? 8192ull : 131072ull},
                       {65536, quick ? 512ull : 8192ull}};
    const uint64_t t_start = now_ns();

    for (int rep = 0; rep < reps; ++rep) {
        fprintf(stderr, "repetition %d/%d\n", rep + 1, reps);
        for (const Tp &tp : tps)
            for (int t = 0; t < 3; ++t) {
                Fields ra, rb;
                if (!run_pair(k_transports[t], "send", "recv", tp.size, tp.count, 0, ra, rb)) continue;
                if (ra["sum"] != rb["sum"]) {
                    fprintf(stderr, "vexa-port-bench: %s %zu: checksum mismatch\n", k_transports[t], tp.size);
                    g_failed = true;
                    continue;
                }
                const double s = (num(rb, "t1") - num(ra, "t0")) / 1e9;
                const double bytes = static_cast<double>(tp.size * tp.count);
                add("throughput " + size_name(tp.size), "GB/s", true, t, bytes / s / 1e9);
                add("message rate " + size_name(tp.size), "M msg/s", true, t, static_cast<double>(tp.count) / s / 1e6);
            }
        for (size_t size : {size_t{64}, size_t{4096}})
            for (int t = 0; t < 3; ++t) {
                Fields ra, rb;
                if (!run_pair(k_transports[t], "ping", "echo", size, rounds, 0, ra, rb)) continue;
                const std::string sn = size_name(size);
                add("round trip " + sn + " median", "us", false, t, num(ra, "p50"));
                add("round trip " + sn + " p99", "us", false, t, num(ra, "p99"));
                add("round trip " + sn + " p99.9", "us", false, t, num(ra, "p999"));
                add("round trip " + sn + " max", "us", false, t, num(ra, "max"));
                if (t == 0) add("round trip " + sn + " timed-out waits", "count", false, t, num(ra, "late") + num(rb, "late"));
                std::vector<double> q;
                for (size_t p = 0, e; p < ra["q"].size(); p = e + 1) {
                    e = ra["q"].find(',', p);
                    if (e == std::string::npos) e = ra["q"].size();
                    q.push_back(atof(ra["q"].substr(p, e - p).c_str()));
                }
                g_quantiles[std::string(k_transports[t]) + " " + std::to_string(size)] = q;
            }
        // The same exchange with both processes on CPU 0: the channel's reader
        // cannot poll there (the poll would take the time its peer needs).
        for (int t = 0; t < 3; ++t) {
            Fields ra, rb;
            if (!run_pair(k_transports[t], "ping", "echo", 64, rounds / 4, 0, ra, rb, true)) continue;
            add("pinned to 1 CPU: round trip 64 B", "us", false, t, num(ra, "p50"));
        }
        {
            // Both sides pinned after their endpoints had decided to poll:
            // what the poll would cost on one CPU were it not switched off.
            Fields ra, rb;
            if (run_pair("chan", "ping", "echo", 64, rounds / 20, 0, ra, rb, false, true))
                add("1 CPU, poll forced on: rt 64 B", "us", false, 0, num(ra, "p50"));
        }
    }
    // Idle cost, start-up, recovery and memory: channel only (the kernel's
    // channels have no endpoint thread to cost anything while idle).
    const int idle_reps = quick ? 1 : 3;
    for (int rep = 0; rep < idle_reps; ++rep) {
        Fields ra, rb;
        if (run_pair("chan", "idle", "srv", 0, 0, idle_s, ra, rb)) {
            add("idle attached pair CPU", "% core", false, 0, num(ra, "cpu_pct") + num(rb, "cpu_pct"));
            add("idle pair RSS beyond region", "KiB", false, 0, num(ra, "rss_kib") + num(rb, "rss_kib"));
        }
        Child w = spawn_side({"wait", "chan", "0", "0", std::to_string(idle_s)}, {}, false);
        if (next_report(w, 30).count("ready")) {
            go(w);
            add("client waiting, no server, CPU", "% core", false, 0, num(next_report(w), "cpu_pct"));
        } else {
            g_failed = true;
        }
        finish(w);
    }
    for (int rep = 0; rep < reps; ++rep) {
        Child s = spawn_side({"recovery", "chan", "0", "0", "0"}, {}, false);
        Fields rs = next_report(s, 30);
        Child c = spawn_side({"victim", "chan", "0", "0", "0"}, {}, false);
        Fields rc = next_report(c, 30);
        if (!rs.count("ready") || !rc.count("ready")) {
            g_failed = true;
            finish(c, true);
            finish(s, true);
            continue;
        }
        add("open to ready server", "us", false, 0, num(rs, "open_us"));
        add("client start to on_connected", "us", false, 0, num(rc, "connect_us"));
        const uint64_t t_kill = now_ns();
        kill(c.pid, SIGKILL);
        finish(c);
        Fields rg = next_report(s, 30);
        if (rg.count("t_gone")) add("SIGKILL of client to server ready", "us", false, 0, (num(rg, "t_gone") - t_kill) / 1e3);
        else g_failed = true;
        finish(s);
    }
    print_table(reps);
    printf("\ntotal time %.1f s%s\n", (now_ns() - t_start) / 1e9, g_failed ? " (some runs FAILED)" : "");
    if (!json.empty()) write_json(json, reps);
    if (!svg.empty()) write_svg(svg);
    return g_failed ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;
    self[n] = 0;
    g_self = self;
    if (argc > 1 && strcmp(argv[1], "--side") == 0) return side_main(argc, argv);
    return orchestrate(argc, argv);
}
