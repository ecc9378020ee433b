// The spawned side of vexa-port-bench: one process running one role over the
// channel, or over one of the peer transports of peers.cpp. It finds its
// report and go/stop pipes and its data descriptors at the fixed numbers of
// bench.h. Relies on the library's C interface, and on its internal count of
// sleeps that ran out with bytes waiting, which no public call exposes.
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/peers.h"
#include "shm/observer.h"
#include "vexa-port.h"
#include "vexa-port/shm_endpoint.h"

namespace bench {
namespace {

constexpr uint32_t k_port = 3;            // the bench uses one fixed port
constexpr uint64_t k_region = 4ull << 20; // about 2 MiB per direction
constexpr size_t k_rbuf = 64 * 1024;      // receivers read up to this much per call
// A region of the idle links: a link costs nothing for its size while idle.
constexpr uint32_t k_link_region = 64 * 1024;

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The share of one core this process (all its threads) uses over the next
// seconds, which it spends asleep.
double cpu_pct_over(double seconds) {
    const double c0 = cpu_seconds();
    const uint64_t w0 = now_ns();
    struct timespec ts = {static_cast<time_t>(seconds), static_cast<long>(std::fmod(seconds, 1.0) * 1e9)};
    nanosleep(&ts, nullptr);
    return 100.0 * (cpu_seconds() - c0) / ((now_ns() - w0) / 1e9);
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

struct Args {
    Role role = Role::send;
    std::string transport;
    bool zero_copy = false; // chanzc: the channel's reserve/commit and view/consume
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
uint8_t stamp_byte(uint64_t i) { return static_cast<uint8_t>(i * 131 + 7); }
void stamp(std::vector<uint8_t> &msg, uint64_t i) { msg[0] = stamp_byte(i); }

uint64_t expected_sum(const std::vector<uint8_t> &pattern, uint64_t count) {
    const uint64_t rest = byte_sum(pattern.data() + 1, pattern.size() - 1);
    uint64_t s = 0;
    for (uint64_t i = 0; i < count; ++i) s += stamp_byte(i) + rest;
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

// A channel writer's wait for room: the channel has no blocking send (its
// reader wakes nobody), so the writer spins for up to 50 us, as the bare
// ring's writer does before it sleeps, and then yields between tries.
class RoomWait {
  public:
    void reset() { since_ = 0; }
    void wait() {
        const uint64_t now = now_ns();
        if (since_ == 0) since_ = now;
        if (now - since_ >= 50000) {
            sched_yield();
            return;
        }
        for (int i = 0; i < 64; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }

  private:
    uint64_t since_ = 0;
};

// The channel's side: one endpoint, driven by its callbacks.
struct Chan {
    Args a;
    vexa_port *port = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool connected = false, done = false, disconnected = false, failed = false;
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
    // Sends all of p, waiting while the ring is full.
    bool send_all(const uint8_t *p, size_t n) {
        if (a.zero_copy) return fill_all(p, n);
        RoomWait room;
        while (n) {
            const int64_t w = vexa_port_send(port, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
                room.reset();
            } else if (w == -ENOSPC || w == 0) {
                room.wait();
            } else {
                return false;
            }
        }
        return true;
    }
    // The zero-copy send: the message is written once, straight into the
    // ring (here from the prepared pattern, as the copying path copies it),
    // in as many pieces as the ring has contiguous room for.
    bool fill_all(const uint8_t *p, size_t n) {
        RoomWait wait;
        while (n) {
            void *room = nullptr;
            const int64_t r = vexa_port_reserve(port, 1, &room);
            if (r > 0) {
                const size_t m = std::min(static_cast<size_t>(r), n);
                memcpy(room, p, m);
                if (vexa_port_commit(port, m) != static_cast<int64_t>(m)) return false;
                p += m;
                n -= m;
                wait.reset();
            } else if (r == -ENOSPC) {
                wait.wait();
            } else {
                return false;
            }
        }
        return true;
    }
    // Up to cap waiting bytes at p: copied into buf, or, zero-copy, where
    // they lie in the ring until done_with.
    int64_t take(size_t cap, const uint8_t *&p) {
        if (a.zero_copy) {
            const void *v = nullptr;
            const int64_t n = vexa_port_view(port, &v);
            p = static_cast<const uint8_t *>(v);
            return n <= 0 ? n : static_cast<int64_t>(std::min(static_cast<uint64_t>(n), static_cast<uint64_t>(cap)));
        }
        p = buf.data();
        return vexa_port_recv(port, buf.data(), std::min(cap, buf.size()));
    }
    bool done_with(int64_t n) { return !a.zero_copy || vexa_port_consume(port, static_cast<uint64_t>(n)) == n; }
    void on_data() {
        for (;;) {
            const uint8_t *p = nullptr;
            // A zero-copy reader takes all the bytes the ring shows it at once.
            const size_t cap = a.role != Role::recv ? a.size - partial : a.zero_copy ? SIZE_MAX : buf.size();
            const int64_t n = take(cap, p);
            if (n <= 0) return;
            if (a.role == Role::recv) sum += byte_sum(p, static_cast<size_t>(n));
            if (!done_with(n)) {
                failed = true;
                signal(done);
                return;
            }
            if (a.role == Role::recv) {
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
            if (a.role == Role::echo) {
                if (!send_all(msg.data(), msg.size())) {
                    failed = true;
                    signal(done);
                    return;
                }
                if (++rounds == a.count + a.count / 10) signal(done);
            } else if (a.role == Role::ping) {
                const uint64_t t = now_ns();
                if (rounds++ >= warm) lat.push_back(static_cast<double>(t - t_sent) / 1000.0);
                if (rounds == a.count + warm) {
                    signal(done);
                    return;
                }
                t_sent = now_ns();
                if (!send_all(msg.data(), msg.size())) {
                    failed = true;
                    signal(done);
                    return;
                }
            }
        }
    }
};

// A recovery server reports every link's start and end as it comes: the
// orchestrator kills clients one after another and reads the times in turn.
int32_t cb_connected(void *u, shm_thread *) {
    auto *c = static_cast<Chan *>(u);
    c->t_connected = now_ns();
    if (c->a.role == Role::recovery) report("t_up=" + std::to_string(c->t_connected));
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
    if (c->a.role == Role::recovery) report("t_gone=" + std::to_string(c->t_disconnected));
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
    const long rss0 = status_kib("VmRSS");
    const bool server = a.role == Role::recv || a.role == Role::echo || a.role == Role::srv;
    vexa_port_config cfg = chan_config(c);
    const uint64_t t0 = now_ns();
    if (a.role == Role::recv) c.total = a.count * a.size;
    if (a.role == Role::echo || a.role == Role::ping) c.msg = make_pattern(a.size);
    if (a.role == Role::ping) c.warm = a.count / 10;
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
    } else if (a.role == Role::wait) {
        // A client whose server is missing: its CPU over the idle period.
        report("ready=1");
        wait_go();
        report("cpu_pct=" + std::to_string(cpu_pct_over(a.seconds)));
        wait_stop();
        vexa_port_close(c.port);
        return 0;
    } else {
        // A victim says when it has begun to try: the next client after a
        // death is one that already waits while the port is taken.
        if (a.role == Role::victim) report("trying=1");
        c.wait(c.connected);
        if (pin_late) {
            usleep(20000);
            pin_all_threads();
        }
        report("ready=1 connect_us=" + std::to_string((c.t_connected - t0) / 1000.0));
    }
    const uint64_t late0 = vexa::block::late_wakeups();
    std::string out;
    if (a.role == Role::send) {
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
    } else if (a.role == Role::recv) {
        c.wait(c.done);
        out = c.failed ? "error=receive" : "t1=" + std::to_string(c.t_end) + " sum=" + std::to_string(c.sum);
    } else if (a.role == Role::echo) {
        c.wait(c.done);
        out = c.failed ? "error=round-trip" : "late=" + std::to_string(vexa::block::late_wakeups() - late0);
    } else if (a.role == Role::ping) {
        wait_go();
        c.t_sent = now_ns();
        if (c.send_all(c.msg.data(), c.msg.size())) c.wait(c.done);
        else c.failed = true;
        out = c.failed || c.lat.empty() ? "error=round-trip"
                                        : quantiles(c.lat) + " late=" + std::to_string(vexa::block::late_wakeups() - late0);
    } else if (a.role == Role::idle || a.role == Role::srv) {
        // An attached pair that exchanges nothing: CPU and memory beyond the
        // region (the mapped block's pages count as shared memory).
        if (a.role == Role::srv) c.wait(c.connected);
        wait_go();
        const double pct = cpu_pct_over(a.seconds);
        const long rss = status_kib("VmRSS"), shmem = status_kib("RssShmem");
        out = "cpu_pct=" + std::to_string(pct) + " rss_kib=" + std::to_string(rss - rss0 - shmem);
    } else if (a.role == Role::victim) {
        // Stays attached until the orchestrator kills it, or its server:
        // then it tells when it learnt of that.
        c.wait(c.disconnected);
        out = "t_gone=" + std::to_string(c.t_disconnected);
    }
    report(out);
    wait_stop();
    vexa_port_close(c.port);
    return 0;
}

// An idle pair of COUNT links at once: the srv side serves COUNT regions
// named after this run, the idle side attaches to all of them, through the
// endpoint calls under the ports (which name only four regions). Each side
// reports its CPU over the idle spell, which starts once all its links stand.
struct Linked {
    std::mutex m;
    std::condition_variable cv;
    uint64_t n = 0;
};

int32_t cb_linked(void *u, shm_thread *) {
    auto *l = static_cast<Linked *>(u);
    std::lock_guard g(l->m);
    ++l->n;
    l->cv.notify_all();
    return 0;
}

int run_idle_links(const Args &a) {
    vexa_port_set_logfunc(quiet_log, 1, 2, 3);
    const bool server = a.role == Role::srv;
    const long orch = static_cast<long>(getppid());
    Linked linked;
    shm_data d{};
    d.endpoint.timeout_us = 10000;
    d.endpoint.size = k_link_region;
    d.handlers.on_connected = cb_linked;
    d.handlers.user_data = &linked;
    std::vector<shm_thread *> ends;
    auto close_all = [&] {
        for (shm_thread *t : ends) shm_close(t);
    };
    for (uint64_t i = 0; i < a.count; ++i) {
        std::string name = peer_name("link" + std::to_string(i), orch);
        d.endpoint.path = name.data(); // copied by the start
        shm_thread *t = server ? shm_srv_start(&d) : shm_cli_connect(&d);
        if (!t) {
            report("error=open");
            close_all();
            return 1;
        }
        ends.push_back(t);
    }
    if (server) report("ready=1");
    {
        std::unique_lock g(linked.m);
        linked.cv.wait(g, [&] { return linked.n >= a.count; });
    }
    if (!server) report("ready=1");
    wait_go();
    report("cpu_pct=" + std::to_string(cpu_pct_over(a.seconds)));
    wait_stop();
    close_all();
    return 0;
}

// Server whose callbacks tell the times of its clients' arrivals and
// departures: from a client's SIGKILL (orchestrator's clock) to its
// on_disconnected, which comes after the block is rebuilt, and to the
// on_connected of a client that waited meanwhile.
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
    wait_stop();
    vexa_port_close(c.port);
    return 0;
}

// The peers: the same roles over any transport of peers.cpp. A message
// transport hands over whole messages, a byte stream possibly pieces, which
// the round trips put together again.
int run_link_side(const Args &a) {
    const long rss0 = status_kib("VmRSS");
    const bool side_a = a.role == Role::send || a.role == Role::ping || a.role == Role::idle;
    std::string why;
    const std::unique_ptr<Link> link = make_link(a.transport, side_a, a.size, why);
    if (!link) {
        fprintf(stderr, "vexa-port-bench: %s\n", why.c_str());
        report("error=setup");
        return 1;
    }
    report("ready=1");
    const bool loans = link->loans();
    const std::vector<uint8_t> pattern = make_pattern(a.size);
    std::vector<uint8_t> msg = pattern;
    // One message: written in place into a loaned chunk (from the prepared
    // pattern, as the others copy it from theirs), or copied by send().
    auto send_one = [&](uint64_t i) {
        if (!loans) {
            stamp(msg, i);
            return link->send(msg.data(), msg.size());
        }
        uint8_t *p = link->loan(a.size);
        if (!p) return false;
        memcpy(p, pattern.data(), a.size);
        p[0] = stamp_byte(i);
        return link->publish(p, a.size);
    };
    std::string line;
    if (a.role == Role::send) {
        wait_go();
        const uint64_t ts = now_ns();
        for (uint64_t i = 0; i < a.count; ++i) {
            if (!send_one(i)) {
                report("error=send");
                return 1;
            }
        }
        line = "t0=" + std::to_string(ts) + " sum=" + std::to_string(expected_sum(pattern, a.count));
    } else if (a.role == Role::recv) {
        uint64_t got = 0, sum = 0;
        const uint64_t total = a.count * a.size;
        while (got < total) {
            size_t n = 0;
            const uint8_t *p = link->receive(k_rbuf, n);
            if (!p) break;
            sum += byte_sum(p, n);
            got += n;
            link->release();
        }
        line = got < total ? "error=receive" : "t1=" + std::to_string(now_ns()) + " sum=" + std::to_string(sum);
    } else if (a.role == Role::echo || a.role == Role::ping) {
        std::vector<double> lat;
        lat.reserve(a.count);
        const uint64_t warm = a.count / 10; // rounds not recorded, on both sides
        if (a.role == Role::ping) wait_go();
        uint64_t r = 0;
        for (; r < a.count + warm; ++r) {
            const uint64_t t = now_ns();
            if (a.role == Role::ping && !send_one(r)) break;
            size_t have = 0;
            while (have < a.size) {
                size_t n = 0;
                if (!link->receive(a.size - have, n)) break;
                have += n;
                link->release();
            }
            if (have < a.size) break;
            if (a.role == Role::echo && !send_one(r)) break;
            if (a.role == Role::ping && r >= warm) lat.push_back(static_cast<double>(now_ns() - t) / 1000.0);
        }
        if (r < a.count + warm) line = "error=round-trip";
        else line = a.role == Role::ping ? quantiles(lat) + " late=0" : "late=0";
    } else if (a.role == Role::idle || a.role == Role::srv) {
        wait_go();
        line = "cpu_pct=" + std::to_string(cpu_pct_over(a.seconds)) +
               " rss_kib=" + std::to_string(status_kib("VmRSS") - rss0);
    }
    report(line);
    wait_stop();
    return 0;
}

bool parse_role(const char *s, Role &r) {
    for (size_t i = 0; i < std::size(k_role_names); ++i)
        if (strcmp(s, k_role_names[i]) == 0) {
            r = static_cast<Role>(i);
            return true;
        }
    return false;
}

} // namespace

bool transport_built(int t) {
    if (t < 0 || t >= k_ntransports) return false;
    return peer_built(k_transports[t]);
}

int transport_index(const std::string &name) {
    for (int t = 0; t < k_ntransports; ++t)
        if (name == k_transports[t]) return t;
    return -1;
}

int side_main(int argc, char **argv) {
    // --side ROLE TRANSPORT SIZE COUNT SECONDS [pin-late] [hold]
    if (argc < 7) return 2;
    Args a;
    // A name the orchestrator never passes would leave the side with nothing
    // to do but wait: refuse it, as a short command line is refused.
    if (!parse_role(argv[2], a.role)) return 2;
    a.transport = argv[3];
    if (!transport_built(transport_index(a.transport))) return 2;
    a.zero_copy = a.transport == "chanzc";
    a.size = strtoull(argv[4], nullptr, 10);
    a.count = strtoull(argv[5], nullptr, 10);
    a.seconds = atof(argv[6]);
    bool pin_late = false, hold = false;
    for (int i = 7; i < argc; ++i) {
        pin_late |= strcmp(argv[i], "pin-late") == 0;
        hold |= strcmp(argv[i], "hold") == 0;
    }
    signal(SIGPIPE, SIG_IGN);
    // Held: nothing is set up, and no thread started, before the
    // orchestrator's counters are on this process.
    if (hold && !wait_go()) return 1;
    if (a.role == Role::recovery) return run_recovery_server(a);
    if (a.transport == "chan" && (a.role == Role::idle || a.role == Role::srv) && a.count > 0) return run_idle_links(a);
    return a.transport == "chan" || a.zero_copy ? run_chan_side(a, pin_late) : run_link_side(a);
}

} // namespace bench
