// vexa-port-bench: the channel against its peers (the kernel's own channels
// and other shared-memory transports), measured in one run on one machine.
//
// This is its orchestrator, and main: it runs each measurement as a pair of
// sides (this binary again, see bench.h), hands them their socket, pipes or
// memory, starts them together and passes what they report on to report.cpp.
// It never opens a port and never starts a thread. Transports are interleaved
// within each repetition (channel, zero-copy, bare ring, Boost, iceoryx,
// ZeroMQ, socket, pipe, channel, ...) so that drift of a shared, noisy host
// hits all alike; the table shows the median with min and max. It also counts
// the system calls of both sides of a stream (perf's syscall tracepoint) and
// runs iceoryx's daemon for as long as iceoryx is measured.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/perf_event.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/peers.h"

extern char **environ;

namespace bench {
namespace {

constexpr int k_pipe_size = 1 << 20;

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

// Data descriptors for a pair over transport t: [side A's, side B's]. The
// channel, Boost, ZeroMQ and iceoryx find each other by name.
bool make_descriptors(const std::string &t, std::vector<int> &a, std::vector<int> &b) {
    a.clear();
    b.clear();
    if (t == "sock") {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv)) return false;
        a = {sv[0]};
        b = {sv[1]};
        return true;
    }
    if (t == "bare") {
        // The bare ring's memory: anonymous, so nothing is left behind.
        const int fd = memfd_create("vexa-bench-bare", MFD_CLOEXEC);
        if (fd < 0) return false;
        if (ftruncate(fd, static_cast<off_t>(bare_region_size()))) {
            close(fd);
            return false;
        }
        a = {fd};
        b = {dup(fd)};
        fcntl(b[0], F_SETFD, FD_CLOEXEC);
        return true;
    }
    if (t != "pipe") return true;
    // Two pipes, A to B and B to A, each enlarged to 1 MiB: the default 64 KiB
    // pipe would make every 64 KiB message a full stop for the writer.
    int ab[2], ba[2];
    if (pipe2(ab, O_CLOEXEC) || pipe2(ba, O_CLOEXEC)) return false;
    for (int fd : {ab[1], ba[1]}) fcntl(fd, F_SETPIPE_SZ, k_pipe_size);
    a = {ba[0], ab[1]};
    b = {ab[0], ba[1]};
    return true;
}

// What a pair of peers may leave behind by name, whether or not its sides
// ended well: Boost's queues and ZeroMQ's socket file.
void remove_names() {
    const long me = static_cast<long>(getpid());
    shm_unlink(("/" + peer_name("ab", me)).c_str());
    shm_unlink(("/" + peer_name("ba", me)).c_str());
    unlink(("/tmp/" + peer_name("zmq", me)).c_str());
}

void close_all(std::vector<int> &v) {
    for (int fd : v) close(fd);
    v.clear();
}

// ---------------------------------------------------------------------------
// System calls of a side, counted by the kernel: a perf counter on the
// raw_syscalls:sys_enter tracepoint, attached to the side before it sets
// anything up (it waits, "hold") and inherited by every thread it starts,
// switched on only around the timed exchange.

std::string g_perf_note; // why there are no counts, if there are none

long read_id(const std::string &path) {
    std::ifstream f(path);
    long id = -1;
    if (!(f >> id)) return -1;
    return id;
}

long syscall_tracepoint_id() {
    static long id = -2;
    if (id != -2) return id;
    const char *rel = "/events/raw_syscalls/sys_enter/id";
    id = read_id(std::string("/sys/kernel/tracing") + rel);
    if (id < 0) id = read_id(std::string("/sys/kernel/debug/tracing") + rel);
    if (id < 0 && geteuid() == 0) {
        // tracefs is not mounted: mount it privately for the one read.
        char dir[] = "/tmp/vexa-bench-tracefs.XXXXXX";
        if (mkdtemp(dir)) {
            if (mount("nodev", dir, "tracefs", 0, nullptr) == 0) {
                id = read_id(std::string(dir) + rel);
                umount2(dir, MNT_DETACH);
            }
            rmdir(dir);
        }
    }
    if (id < 0) g_perf_note = "syscalls: the raw_syscalls:sys_enter tracepoint cannot be read (tracefs missing)";
    return id;
}

int open_syscall_counter(pid_t pid) {
    const long id = syscall_tracepoint_id();
    if (id < 0) return -1;
    perf_event_attr at{};
    at.size = sizeof at;
    at.type = PERF_TYPE_TRACEPOINT;
    at.config = static_cast<uint64_t>(id);
    at.disabled = 1;
    at.inherit = 1;
    const int fd = static_cast<int>(syscall(SYS_perf_event_open, &at, pid, -1, -1, PERF_FLAG_FD_CLOEXEC));
    if (fd < 0 && g_perf_note.empty())
        g_perf_note = std::string("syscalls: perf_event_open: ") + strerror(errno);
    return fd;
}

// ---------------------------------------------------------------------------
// iceoryx's daemon, RouDi: started with a memory layout for the bench's
// messages, stopped by its pid, and whatever it or the sides left in /dev/shm
// and /tmp removed.

struct Roudi {
    pid_t pid = -1;
    std::string dir; // private: config and log
    std::set<std::string> shm_before, tmp_before;
    char config[64] = "", log[64] = "", dir_c[64] = ""; // for the signal handler
};
Roudi g_roudi;

std::set<std::string> list_dir(const char *path) {
    std::set<std::string> names;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

void on_fatal_signal(int sig) {
    if (g_roudi.pid > 0) kill(g_roudi.pid, SIGTERM); // it removes its own memory
    unlink(g_roudi.config);
    unlink(g_roudi.log);
    rmdir(g_roudi.dir_c);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Mempools for messages of up to 128 B, 4 KiB and 64 KiB, enough for a full
// subscriber queue (256 at most), the publisher's loans and one held chunk.
constexpr const char *k_roudi_config = R"([general]
version = 1

[[segment]]

[[segment.mempool]]
size = 128
count = 4096

[[segment.mempool]]
size = 4096
count = 1024

[[segment.mempool]]
size = 65536
count = 512
)";

bool start_roudi(std::string &why) {
    const std::string exe = iox_roudi_path();
    if (exe.empty()) {
        why = "not built";
        return false;
    }
    // One daemon per machine, known by the lock it holds: another one (of
    // another user, say) would refuse to share. What a killed one left
    // behind, the new one clears away itself.
    const int lock = open("/tmp/iox-unique-roudi.lock", O_RDONLY | O_CLOEXEC);
    if (lock >= 0) {
        const bool held = flock(lock, LOCK_EX | LOCK_NB) != 0;
        close(lock);
        if (held) {
            why = "another RouDi is running";
            return false;
        }
    }
    char dir[] = "/tmp/vexa-bench-roudi.XXXXXX";
    if (!mkdtemp(dir)) {
        why = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    g_roudi.dir = dir;
    const std::string config = g_roudi.dir + "/roudi.toml", log = g_roudi.dir + "/roudi.log";
    snprintf(g_roudi.config, sizeof g_roudi.config, "%s", config.c_str());
    snprintf(g_roudi.log, sizeof g_roudi.log, "%s", log.c_str());
    snprintf(g_roudi.dir_c, sizeof g_roudi.dir_c, "%s", dir);
    std::ofstream(config) << k_roudi_config;
    g_roudi.shm_before = list_dir("/dev/shm");
    g_roudi.tmp_before = list_dir("/tmp");
    std::vector<std::string> args = {exe, "-c", config, "-l", "warning"};
    std::vector<char *> argv;
    for (auto &s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    signal(SIGINT, on_fatal_signal);
    signal(SIGTERM, on_fatal_signal);
    // Forked rather than spawned, for one setting: the daemon is told to
    // stop (and so to remove its memory) should this process die first,
    // even by SIGKILL. This process has no threads, so fork is safe.
    const pid_t parent = getpid();
    g_roudi.pid = in >= 0 && out >= 0 ? fork() : -1;
    if (g_roudi.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    if (g_roudi.pid < 0) {
        why = std::string("cannot start ") + exe + ": " + strerror(errno);
        return false;
    }
    const uint64_t deadline = now_ns() + 10000000000ull;
    std::string text;
    while (now_ns() < deadline) {
        std::ifstream f(log);
        std::stringstream ss;
        ss << f.rdbuf();
        text = ss.str();
        if (text.find("RouDi is ready for clients") != std::string::npos) {
            // It has read its config and holds its log open: the directory
            // can go now, so that not even a SIGKILL of this process leaves
            // it behind.
            unlink(g_roudi.config);
            unlink(g_roudi.log);
            rmdir(g_roudi.dir_c);
            return true;
        }
        int st;
        if (waitpid(g_roudi.pid, &st, WNOHANG) == g_roudi.pid) {
            g_roudi.pid = -1;
            break;
        }
        usleep(10000);
    }
    for (char &c : text)
        if (c == '\n') c = ' ';
    why = "RouDi did not come up: " + text.substr(0, 200);
    return false;
}

void stop_roudi() {
    if (g_roudi.pid > 0) {
        kill(g_roudi.pid, SIGTERM);
        int st;
        const uint64_t deadline = now_ns() + 10000000000ull;
        while (waitpid(g_roudi.pid, &st, WNOHANG) == 0) {
            if (now_ns() > deadline) {
                kill(g_roudi.pid, SIGKILL);
                waitpid(g_roudi.pid, &st, 0);
                break;
            }
            usleep(10000);
        }
        g_roudi.pid = -1;
    }
    if (g_roudi.dir.empty()) return;
    // What appeared while it ran and bears iceoryx's names (the daemon's
    // segments and sockets, the sides' runtime sockets): normally nothing
    // once it has stopped cleanly.
    const group *g = getgrgid(getegid()); // the data segment bears its writers' group
    const std::string grp = g ? g->gr_name : "";
    for (const std::string &n : list_dir("/dev/shm"))
        if (!g_roudi.shm_before.count(n) && (n == "iceoryx_mgmt" || n == grp))
            unlink(("/dev/shm/" + n).c_str());
    // The sides' sockets are named after their pids: those of a side that no
    // longer runs go too, even from an earlier run that was killed.
    for (const std::string &n : list_dir("/tmp")) {
        const bool side = n.rfind("vexa-bench-", 0) == 0 && isdigit(static_cast<unsigned char>(n[11]));
        const bool gone = side && kill(static_cast<pid_t>(atol(n.c_str() + 11)), 0) != 0 && errno == ESRCH;
        if (gone || (!g_roudi.tmp_before.count(n) && (n == "roudi" || n == "roudi.lock" || n == "iox-unique-roudi.lock")))
            unlink(("/tmp/" + n).c_str());
    }
    unlink(g_roudi.config);
    unlink(g_roudi.log);
    rmdir(g_roudi.dir_c);
    g_roudi.dir.clear();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// ---------------------------------------------------------------------------

// One run of a pair: B (server / receiver) first, then A; both get "go" once
// ready; returns A's and B's result reports. With syscalls, both sides are
// held until a counter is on them and the count of their system calls
// during the exchange is stored there (NAN if there is none).
bool run_pair(const std::string &t, Role role_a, Role role_b, size_t size, uint64_t count, double seconds, Fields &ra,
              Fields &rb, bool pinned = false, bool pin_late = false, double *syscalls = nullptr) {
    std::vector<int> da, db;
    if (!make_descriptors(t, da, db)) return false;
    const std::string sz = std::to_string(size), cn = std::to_string(count), sec = std::to_string(seconds);
    std::vector<std::string> args = {role_name(role_b), t, sz, cn, sec};
    if (pin_late) args.push_back("pin-late");
    if (syscalls) args.push_back("hold");
    int counter[2] = {-1, -1};
    Child b = spawn_side(args, db, pinned);
    if (syscalls) {
        counter[1] = open_syscall_counter(b.pid);
        go(b);
    }
    Fields r = next_report(b, 30);
    bool ok = r.count("ready");
    Child a;
    if (ok) {
        args[0] = role_name(role_a);
        a = spawn_side(args, da, pinned);
        if (syscalls) {
            counter[0] = open_syscall_counter(a.pid);
            go(a);
        }
        ok = next_report(a, 30).count("ready");
    }
    close_all(da);
    close_all(db);
    if (ok) {
        for (int fd : counter)
            if (fd >= 0) ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
        go(b);
        go(a);
        ra = next_report(a, 120, &b);
        rb = next_report(b, 120, &a);
        for (int fd : counter)
            if (fd >= 0) ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
        ok = !ra.empty() && !rb.empty() && !ra.count("error") && !rb.count("error");
    }
    if (syscalls) {
        *syscalls = NAN;
        uint64_t n[2] = {0, 0};
        if (counter[0] >= 0 && counter[1] >= 0 && read(counter[0], &n[0], sizeof n[0]) == sizeof n[0] &&
            read(counter[1], &n[1], sizeof n[1]) == sizeof n[1])
            *syscalls = static_cast<double>(n[0] + n[1]);
        for (int fd : counter)
            if (fd >= 0) close(fd);
    }
    finish(a, !ok);
    finish(b, !ok);
    remove_names();
    if (!ok) {
        fprintf(stderr, "vexa-port-bench: %s %s/%s size %zu failed\n", t.c_str(), role_name(role_a), role_name(role_b),
                size);
        g_failed = true;
    }
    return ok;
}

std::string size_name(size_t s) { return s >= 1024 ? std::to_string(s / 1024) + " KiB" : std::to_string(s) + " B"; }

int orchestrate(int argc, char **argv) {
    bool quick = false;
    std::string json, svg, only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            quick = true;
        } else if (a == "--only" && i + 1 < argc && (strcmp(argv[i + 1], "data") == 0 || strcmp(argv[i + 1], "life") == 0)) {
            // data: the transports' rows; life: the channel's idle, start-up
            // and recovery rows.
            only = argv[++i];
        } else if (a == "--json" && i + 1 < argc) {
            json = argv[++i];
        } else if (a == "--plot" && i + 1 < argc) {
            svg = argv[++i];
        } else {
            fprintf(stderr, "usage: vexa-port-bench [--quick] [--only data|life] [--json FILE] [--plot FILE.svg]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const int reps = only == "life" ? 0 : quick ? 2 : 5;
    const double idle_s = quick ? 0.3 : 5.0;
    const double links_s = quick ? 1.0 : 5.0; // many links cost little each: a longer spell
    const uint64_t rounds = quick ? 2000 : 20000;
    struct Tp {
        size_t size;
        uint64_t count;
    };
    const Tp tps[3] = {{64, quick ? 100000ull : 500000ull},
                       {4096, quick ? 8192ull : 131072ull},
                       {65536, quick ? 512ull : 8192ull}};
    const uint64_t t_start = now_ns();

    // The transports of this run: those built, and iceoryx only with its
    // daemon up.
    std::vector<int> ts;
    for (int t = 0; t < k_ntransports; ++t) {
        if (!transport_built(t)) {
            add_note(std::string(k_transports[t]) + ": not built (its development package is missing)");
            continue;
        }
        if (t == t_iox) {
            std::string why;
            if (!start_roudi(why)) {
                stop_roudi();
                add_note("iox: skipped, " + why);
                continue;
            }
        }
        ts.push_back(t);
    }
    auto has = [&](int t) { return std::find(ts.begin(), ts.end(), t) != ts.end(); };

    for (int rep = 0; rep < reps; ++rep) {
        fprintf(stderr, "repetition %d/%d\n", rep + 1, reps);
        for (const Tp &tp : tps)
            for (int t : ts) {
                Fields ra, rb;
                if (!run_pair(k_transports[t], Role::send, Role::recv, tp.size, tp.count, 0, ra, rb)) continue;
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
            for (int t : ts) {
                Fields ra, rb;
                if (!run_pair(k_transports[t], Role::ping, Role::echo, size, rounds, 0, ra, rb)) continue;
                const std::string sn = size_name(size);
                add("round trip " + sn + " median", "us", false, t, num(ra, "p50"));
                add("round trip " + sn + " p99", "us", false, t, num(ra, "p99"));
                add("round trip " + sn + " p99.9", "us", false, t, num(ra, "p999"));
                add("round trip " + sn + " max", "us", false, t, num(ra, "max"));
                if (t == t_chan || t == t_chanzc)
                    add("round trip " + sn + " timed-out waits", "count", false, t, num(ra, "late") + num(rb, "late"));
                std::vector<double> q;
                for (size_t p = 0, e; p < ra["q"].size(); p = e + 1) {
                    e = ra["q"].find(',', p);
                    if (e == std::string::npos) e = ra["q"].size();
                    q.push_back(atof(ra["q"].substr(p, e - p).c_str()));
                }
                add_quantiles(std::string(k_transports[t]) + " " + std::to_string(size), q);
            }
        // The same exchange with both processes on CPU 0: the channel's reader
        // cannot poll there (the poll would take the time its peer needs).
        for (int t : {t_chan, t_sock, t_pipe}) {
            Fields ra, rb;
            if (!run_pair(k_transports[t], Role::ping, Role::echo, 64, rounds / 4, 0, ra, rb, true)) continue;
            add("pinned to 1 CPU: round trip 64 B", "us", false, t, num(ra, "p50"));
        }
        {
            // Both sides pinned after their endpoints had decided to poll:
            // what the poll would cost on one CPU were it not switched off.
            Fields ra, rb;
            if (run_pair("chan", Role::ping, Role::echo, 64, rounds / 20, 0, ra, rb, false, true))
                add("1 CPU, poll forced on: rt 64 B", "us", false, t_chan, num(ra, "p50"));
        }
    }
    // System calls per message of a stream, both sides together, in runs of
    // their own: the tracepoint puts every system call of the machine on a
    // slower path while it counts, which would tax the kernel's channels in
    // the timed runs above.
    const int sys_reps = only == "life" ? 0 : quick ? 1 : 3;
    for (int rep = 0; rep < sys_reps && g_perf_note.empty(); ++rep)
        for (const Tp &tp : {Tp{64, quick ? 20000ull : 200000ull}, Tp{65536, quick ? 256ull : 4096ull}})
            for (int t : ts) {
                Fields ra, rb;
                double calls = NAN;
                if (!run_pair(k_transports[t], Role::send, Role::recv, tp.size, tp.count, 0, ra, rb, false, false, &calls))
                    continue;
                if (ra["sum"] != rb["sum"]) {
                    fprintf(stderr, "vexa-port-bench: %s %zu: checksum mismatch\n", k_transports[t], tp.size);
                    g_failed = true;
                    continue;
                }
                add("syscalls per message " + size_name(tp.size), "calls", false, t, calls / static_cast<double>(tp.count));
            }
    if (!g_perf_note.empty()) add_note(g_perf_note + ": no syscall rows");
    if (has(t_iox)) stop_roudi();

    // Idle cost, start-up, recovery and memory: channel only (the kernel's
    // channels have no endpoint thread to cost anything while idle, and the
    // other peers have no such states).
    const int idle_reps = only == "data" ? 0 : quick ? 1 : 3;
    for (int rep = 0; rep < idle_reps; ++rep) {
        Fields ra, rb;
        if (run_pair("chan", Role::idle, Role::srv, 0, 0, idle_s, ra, rb)) {
            add("idle attached pair CPU", "% core", false, t_chan, num(ra, "cpu_pct") + num(rb, "cpu_pct"));
            add("idle pair RSS beyond region", "KiB", false, t_chan, num(ra, "rss_kib") + num(rb, "rss_kib"));
        }
        // The same pair with one link and with fifty, on regions of their
        // own names: what each further idle link costs.
        for (uint64_t links : {uint64_t{1}, uint64_t{50}})
            if (run_pair("chan", Role::idle, Role::srv, 0, links, links_s, ra, rb))
                add("idle cost, " + std::to_string(links) + (links == 1 ? " link" : " links"), "% core", false, t_chan,
                    num(ra, "cpu_pct") + num(rb, "cpu_pct"));
        Child w = spawn_side({role_name(Role::wait), "chan", "0", "0", std::to_string(idle_s)}, {}, false);
        if (next_report(w, 30).count("ready")) {
            go(w);
            add("client waiting, no server, CPU", "% core", false, t_chan, num(next_report(w), "cpu_pct"));
        } else {
            g_failed = true;
        }
        finish(w);
    }
    // Deaths, from the orchestrator's clock, read right before the kill, to
    // the callback's (CLOCK_MONOTONIC, which all processes share): a server
    // and its client, the client killed (until the server's on_disconnected);
    // another client killed while a third waits for the port (until the
    // server's on_connected of the waiting one); then the server killed
    // (until that client's on_disconnected).
    const int deaths = only == "data" ? 0 : quick ? 5 : 20;
    std::vector<double> client_death, server_death, next_served;
    auto spawn_victim = [](Child &v) {
        v = spawn_side({role_name(Role::victim), "chan", "0", "0", "0"}, {}, false);
        return next_report(v, 30).count("trying") > 0;
    };
    auto expect = [](Child &c, const char *key, Fields &f) {
        f = next_report(c, 30);
        return f.count(key) > 0;
    };
    // A notice from before the kill measures nothing: a false disconnect, or
    // another process using the bench's port meanwhile.
    auto after = [](const Fields &f, const char *key, uint64_t t_kill, const char *what, const char *whose) {
        if (num(f, key) >= static_cast<double>(t_kill)) return true;
        fprintf(stderr, "vexa-port-bench: %s came %.1f ms before %s was killed\n", what,
                (static_cast<double>(t_kill) - num(f, key)) / 1e6, whose);
        return false;
    };
    for (int i = 0; i < deaths; ++i) {
        Child s = spawn_side({role_name(Role::recovery), "chan", "0", "0", "0"}, {}, false), c, n;
        Fields rs, rc, f, gone, next;
        bool ok = expect(s, "ready", rs) && spawn_victim(c) && expect(c, "ready", rc) && expect(s, "t_up", f);
        if (ok) {
            add("open to ready server", "us", false, t_chan, num(rs, "open_us"));
            add("client start to on_connected", "us", false, t_chan, num(rc, "connect_us"));
            const uint64_t t_kill = now_ns();
            kill(c.pid, SIGKILL);
            finish(c);
            ok = expect(s, "t_gone", gone) && after(gone, "t_gone", t_kill, "a server's on_disconnected", "its client");
            if (ok) {
                add("SIGKILL of client to server ready", "us", false, t_chan, (num(gone, "t_gone") - t_kill) / 1e3);
                client_death.push_back((num(gone, "t_gone") - t_kill) / 1e6);
            }
        }
        ok = ok && spawn_victim(c) && expect(c, "ready", f) && expect(s, "t_up", f) && spawn_victim(n);
        if (ok) {
            usleep(20000); // the waiting client has been turned away and waits to try again
            const uint64_t t_kill = now_ns();
            kill(c.pid, SIGKILL);
            finish(c);
            ok = expect(s, "t_gone", f) && expect(s, "t_up", next) && expect(n, "ready", f) &&
                 after(next, "t_up", t_kill, "a server's on_connected of a waiting client", "the client before");
            if (ok) next_served.push_back((num(next, "t_up") - t_kill) / 1e6);
        }
        if (ok) {
            const uint64_t t_kill = now_ns();
            kill(s.pid, SIGKILL);
            finish(s);
            ok = expect(n, "t_gone", f) && after(f, "t_gone", t_kill, "a client's on_disconnected", "its server");
            if (ok) server_death.push_back((num(f, "t_gone") - t_kill) / 1e6);
        }
        if (!ok) g_failed = true;
        finish(n, !ok);
        finish(c, !ok);
        finish(s, !ok);
    }
    auto add_spread = [](const std::string &what, std::vector<double> v) {
        if (v.empty()) return;
        std::sort(v.begin(), v.end());
        const size_t m = v.size() / 2;
        add(what + ", median", "ms", false, t_chan, v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2);
        add(what + ", max", "ms", false, t_chan, v.back());
    };
    add_spread("client death noticed", client_death);
    add_spread("server death noticed", server_death);
    add_spread("next client after a death", next_served);
    print_table(reps);
    printf("\ntotal time %.1f s%s\n", (now_ns() - t_start) / 1e9, g_failed ? " (some runs FAILED)" : "");
    if (!json.empty() && !write_json(json, reps)) g_failed = true;
    if (!svg.empty() && !write_svg(svg)) g_failed = true;
    return g_failed ? 1 : 0;
}

} // namespace
} // namespace bench

int main(int argc, char **argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 2;
    self[n] = 0;
    bench::g_self = self;
    if (argc > 1 && strcmp(argv[1], "--side") == 0) return bench::side_main(argc, argv);
    return bench::orchestrate(argc, argv);
}
