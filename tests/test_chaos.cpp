// Chaos soak: link cycles between a server process and client processes with
// checked traffic both ways, each link ended at a random moment in a random
// way (orderly client close, orderly server stop, SIGKILL of either side,
// SIGSTOP then SIGKILL, an orderly end while the other side is stopped and
// then continued). The survivor goes on: the server serves the next client,
// a client reattaches to the restarted server.
//
// Traffic is fixed-size frames: every send and every read is a whole number
// of frames and each ring's capacity is too, so a frame is never split across
// two links. A frame carries its sender's stream (pid and link epoch), a
// sequence number and a checksum over all of it: a receiver detects
// corruption (checksum), loss, duplication and reordering (the sequence of
// each stream). Bytes an orderly detach leaves in the server's ring reach the
// next client: a client link may begin with a clean run of the server's
// previous stream (the "lead"); the driver checks that the lead carries on
// exactly where the previous client stopped reading.
//
// Run by hand for longer: test_chaos --minutes N (or VEXA_CHAOS_SECONDS).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_logs.h"
#include "vexa-port/shm_membuf.h"

#ifndef VEXA_CHAOS_SECONDS
#define VEXA_CHAOS_SECONDS 90
#endif
#ifndef VEXA_CHAOS_MIN_CYCLES
#define VEXA_CHAOS_MIN_CYCLES 200
#endif

namespace {

constexpr std::size_t k_frame = 64;
constexpr std::size_t k_payload = k_frame - 20;
// Each ring holds 512 frames exactly.
constexpr uint32_t k_size = shm_membuf_size + 2 * 512 * k_frame;
constexpr uint32_t k_magic = 0x6b686321;

double g_seconds = VEXA_CHAOS_SECONDS;

uint32_t crc32(const uint8_t *p, std::size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

struct Frame {
    uint32_t magic, pid, epoch, seq;
    uint8_t payload[k_payload];
    uint32_t crc;
};
static_assert(sizeof(Frame) == k_frame);

void fill(Frame &f, uint32_t epoch, uint32_t seq) {
    f.magic = k_magic;
    f.pid = static_cast<uint32_t>(getpid());
    f.epoch = epoch;
    f.seq = seq;
    uint32_t x = f.pid * 2654435761u ^ epoch * 40503u ^ seq * 2246822519u;
    for (auto &b : f.payload) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    f.crc = crc32(reinterpret_cast<const uint8_t *>(&f), offsetof(Frame, crc));
}

uint64_t stream_of(const Frame &f) { return (uint64_t{f.pid} << 32) | f.epoch; }

// One side of a link in a child process: sends frames from its own thread
// while linked, checks every frame it receives, and tells the driver about
// links, departures and faults.
struct Side {
    std::mutex mutex; // orders sends against the epoch changes of the callbacks
    bool linked = false;
    uint32_t epoch = 0, seq = 0;
    std::atomic<bool> quit{false};
    std::thread sender;
    shm_thread *thr = nullptr;

    // Receiver: only the endpoint thread touches these, except under rx_mutex.
    std::mutex rx_mutex;
    std::map<uint64_t, uint32_t> next_seq; // stream -> next expected sequence
    bool link_fresh = true;                // no frame seen yet on this link
    uint64_t link_stream = 0;              // stream of the last frame on this link
    uint64_t frames = 0, failures = 0;
    uint64_t last_stream = 0;
    uint32_t last_seq = 0;
    bool have_last = false;

    const char *role = "";
    void fail(const std::string &why) {
        ++failures;
        vt::child_send(std::string("FAIL ") + role + ": " + why);
    }

    void check(const Frame &f) {
        std::lock_guard lock(rx_mutex);
        ++frames;
        if (f.magic != k_magic || crc32(reinterpret_cast<const uint8_t *>(&f), offsetof(Frame, crc)) != f.crc) {
            fail("corrupt frame");
            return;
        }
        const uint64_t s = stream_of(f);
        auto it = next_seq.find(s);
        if (link_fresh) {
            link_fresh = false;
            // The first frame of a link may continue a stream the previous
            // link left in the ring; the driver checks where it resumes. The
            // stream may even be one this process read on its previous link:
            // a client that attached to a block just before the server tore
            // it down after the previous client's death gets a short link,
            // and what it left unread goes with the old rings. Never back.
            if (f.seq != 0) vt::child_send("lead " + std::to_string(s) + " " + std::to_string(f.seq));
            if (it != next_seq.end() && f.seq < it->second)
                fail("stream " + std::to_string(s) + " resumes at " + std::to_string(f.seq) + " after " +
                     std::to_string(it->second - 1));
        } else if (s != link_stream && it == next_seq.end() && f.seq != 0) {
            fail("stream " + std::to_string(s) + " starts at " + std::to_string(f.seq));
        } else if (it != next_seq.end() && it->second != f.seq) {
            fail("stream " + std::to_string(s) + " expected " + std::to_string(it->second) + " got " + std::to_string(f.seq));
        }
        next_seq[s] = f.seq + 1;
        link_stream = s;
        last_stream = s;
        last_seq = f.seq;
        have_last = true;
    }

    static Side &of(void *u) { return *static_cast<Side *>(u); }

    static int32_t on_connected(void *u, shm_thread *) {
        Side &s = of(u);
        {
            std::lock_guard lock(s.mutex);
            ++s.epoch;
            s.seq = 0;
            s.linked = true;
        }
        {
            std::lock_guard lock(s.rx_mutex);
            s.link_fresh = true;
        }
        vt::child_send("linked");
        return 0;
    }
    static int32_t on_disconnected(void *u, shm_thread *) {
        Side &s = of(u);
        {
            std::lock_guard lock(s.mutex);
            s.linked = false;
            ++s.epoch;
            s.seq = 0;
        }
        vt::child_send("down");
        return 0;
    }
    static int32_t on_data_ready(void *u, shm_thread *thr, int32_t) {
        Side &s = of(u);
        Frame buf[64];
        const ssize_t n = shm_recv(thr, buf, sizeof buf);
        if (n <= 0) return 0;
        if (n % static_cast<ssize_t>(k_frame) != 0) s.fail("read of " + std::to_string(n) + " bytes splits a frame");
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(k_frame); ++i) s.check(buf[i]);
        return 0;
    }

    void send_loop() {
        Frame batch[16];
        std::mt19937 rng(static_cast<unsigned>(getpid()));
        while (!quit.load()) {
            ssize_t r = -EINVAL;
            {
                std::lock_guard lock(mutex);
                if (linked) {
                    const std::size_t count = 1 + rng() % 16;
                    for (std::size_t i = 0; i < count; ++i) fill(batch[i], epoch, seq + static_cast<uint32_t>(i));
                    r = shm_send(thr, batch, count * k_frame);
                    if (r > 0) {
                        if (r % static_cast<ssize_t>(k_frame) != 0) {
                            std::lock_guard rl(rx_mutex);
                            fail("send of " + std::to_string(r) + " bytes splits a frame");
                        }
                        seq += static_cast<uint32_t>(r / static_cast<ssize_t>(k_frame));
                    }
                }
            }
            if (r <= 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    shm_data config(const std::string &path) {
        shm_data d{};
        d.endpoint.path = const_cast<char *>(path.c_str());
        d.endpoint.size = k_size;
        d.endpoint.timeout_us = 2000;
        d.handlers.on_connected = on_connected;
        d.handlers.on_disconnected = on_disconnected;
        d.handlers.on_data_ready = on_data_ready;
        d.handlers.user_data = this;
        return d;
    }

    std::string stats() {
        std::lock_guard lock(rx_mutex);
        return "stats " + std::to_string(frames) + " " + std::to_string(failures);
    }

    // Serves commands until told to end: the orderly end stops the sender,
    // closes the endpoint and reports what was read last.
    int run() {
        sender = std::thread([this] { send_loop(); });
        std::string cmd;
        while (vt::child_recv(cmd, 600000)) {
            if (cmd == "stats") {
                vt::child_send(stats());
            } else if (cmd == "end") {
                quit = true;
                sender.join();
                const int32_t r = shm_close(thr);
                std::lock_guard lock(rx_mutex);
                vt::child_send("ended " + std::to_string(r) + " " + std::to_string(frames) + " " +
                               std::to_string(failures) + " " + (have_last ? std::to_string(last_stream) : "-") +
                               " " + std::to_string(last_seq));
                return 0;
            }
        }
        quit = true;
        sender.join();
        shm_close(thr);
        return 3;
    }
};

VT_CHILD_ROLE(chaos_server) {
    static Side side;
    side.role = "server";
    const std::string path = argv[0];
    shm_data cfg = side.config(path);
    // Error lines of a failed start go to the driver with the refusal.
    static std::string errors;
    shm_log_set_func([](int32_t level, const char *fmt, va_list args) {
        if (level != 0) return 0;
        char text[256];
        vsnprintf(text, sizeof text, fmt, args);
        errors += text;
        return 0;
    }, 0, 1, 2);
    side.thr = shm_srv_start(&cfg);
    shm_log_set_func(nullptr, 0, 1, 2);
    for (char &c : errors) if (c == '\n') c = ' ';
    vt::child_send(side.thr ? "started" : "failed " + errors);
    if (!side.thr) return 2;
    return side.run();
}

VT_CHILD_ROLE(chaos_client) {
    static Side side;
    side.role = "client";
    const std::string path = argv[0];
    shm_data cfg = side.config(path);
    side.thr = shm_cli_connect(&cfg);
    if (!side.thr) {
        vt::child_send("failed");
        return 2;
    }
    return side.run();
}

// ---------------------------------------------------------------------------
// The driver.

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Figures {
    uint64_t cycles = 0, failures = 0, frames = 0, boundary_checks = 0;
    std::map<std::string, uint64_t> ends;
    std::vector<double> detect_ms, serve_ms;
    std::vector<std::string> fault_lines;
};

struct Peer {
    vt::Child child;
    bool alive = false;
    uint64_t reported = 0; // frames already counted from this process
    std::deque<std::string> pending;
};

class Driver {
  public:
    explicit Driver(std::string path) : path_(std::move(path)), rng_(std::random_device{}()) {}

    // The first line of p that starts with want (its text in *line), read
    // now or kept from an earlier read: a child's lines may come in another
    // order than the driver asks for them (a client can attach before the
    // server has said it started). Faults and leads are accounted for as they
    // are read. False on time-out.
    bool await(Peer &p, const std::string &want, std::string *line = nullptr, int timeout_ms = 30000) {
        for (auto it = p.pending.begin(); it != p.pending.end(); ++it)
            if (it->rfind(want, 0) == 0) {
                if (line) *line = *it;
                p.pending.erase(it);
                return true;
            }
        std::string l;
        while (p.child.recv(l, timeout_ms)) {
            if (l.rfind("FAIL", 0) == 0) {
                ++fig.failures;
                fig.fault_lines.push_back(l + " (cycle " + std::to_string(fig.cycles) + ", after " + history_ + ")");
                continue;
            }
            if (l.rfind("lead ", 0) == 0) {
                check_lead(l);
                continue;
            }
            if (l.rfind(want, 0) == 0) {
                if (line) *line = l;
                return true;
            }
            p.pending.push_back(l);
        }
        return false;
    }

    void check_lead(const std::string &l) {
        uint64_t stream = 0;
        uint32_t first = 0;
        if (sscanf(l.c_str(), "lead %lu %u", &stream, &first) != 2) return;
        if (!prev_close_valid_ || stream != prev_stream_) return;
        ++fig.boundary_checks;
        if (first != prev_seq_ + 1) {
            ++fig.failures;
            fig.fault_lines.push_back(l + ": the previous client stopped at " + std::to_string(prev_seq_));
        }
    }

    void spawn_server() {
        std::string line;
        for (int attempt = 0;; ++attempt) {
            srv_.child = vt::Child::spawn("chaos_server", {path_}, !getenv("VEXA_CHAOS_VERBOSE"));
            pids_.push_back(srv_.child.pid());
            srv_.reported = 0;
            srv_.pending.clear();
            // Its first word is "started" or "failed"; a "linked" may come first.
            std::vector<std::string> early;
            while (await(srv_, "", &line) && line != "started" && line.rfind("failed", 0) != 0) early.push_back(line);
            srv_.pending.insert(srv_.pending.end(), early.begin(), early.end());
            srv_.alive = line == "started";
            // The region is still held, ready and attached, by a client that
            // has not yet seen its last server go (the "down" the driver took
            // for that may have been the end of an earlier short link). The
            // start is refused until the client lets go, within its death
            // detection; no event of the driver's tells when, so it tries
            // again a little later, for a bounded time.
            if (srv_.alive || attempt == 50 || line.find("already binded") == std::string::npos) break;
            srv_.child.wait(30000);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(srv_.alive) << "server did not start after " << history_ << ": " << line;
    }
    void spawn_client() {
        cli_.child = vt::Child::spawn("chaos_client", {path_}, !getenv("VEXA_CHAOS_VERBOSE"));
        pids_.push_back(cli_.child.pid());
        cli_.reported = 0;
        cli_.pending.clear();
        cli_.alive = true;
    }

    void collect_stats(Peer &p) {
        std::string l;
        uint64_t frames = 0, fails = 0;
        if (!p.child.send("stats") || !await(p, "stats ", &l)) {
            ++fig.failures;
            fig.fault_lines.push_back("no stats from a live peer");
            return;
        }
        sscanf(l.c_str(), "stats %lu %lu", &frames, &fails);
        fig.frames += frames - p.reported;
        p.reported = frames;
    }

    void kill_peer(Peer &p, bool stop_first) {
        if (stop_first) {
            p.child.kill(SIGSTOP);
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng_() % 60)); // the stopped spell
        }
        p.child.kill(SIGKILL);
        const int st = p.child.wait(30000);
        EXPECT_TRUE(WIFSIGNALED(st)) << "status " << st;
        p.alive = false;
    }

    // Orderly end: returns the process's last read position in the line.
    bool end_peer(Peer &p, std::string &line) {
        if (!p.child.send("end") || !await(p, "ended ", &line)) return false;
        uint64_t frames = 0;
        sscanf(line.c_str(), "ended %*d %lu", &frames);
        fig.frames += frames - p.reported;
        const int st = p.child.wait(30000);
        p.alive = false;
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }

    void cycle() {
        if (!srv_.alive) {
            spawn_server();
            if (!srv_.alive) return;
        }
        if (!cli_.alive) spawn_client();
        const auto link_start = Clock::now();
        ASSERT_TRUE(await(srv_, "linked")) << "server never linked in cycle " << fig.cycles << " after " << history_;
        ASSERT_TRUE(await(cli_, "linked")) << "client never linked in cycle " << fig.cycles << " after " << history_;
        if (serve_pending_) {
            fig.serve_ms.push_back(ms_since(serve_from_));
            serve_pending_ = false;
        }
        (void)link_start;
        // Traffic for a random spell; the end comes at whatever point the
        // streams have reached.
        std::this_thread::sleep_for(std::chrono::milliseconds(rng_() % 150));
        collect_stats(srv_);
        collect_stats(cli_);

        static const char *kinds[] = {"client close",           "server stop",
                                      "client SIGKILL",         "server SIGKILL",
                                      "SIGSTOP+SIGKILL client", "SIGSTOP+SIGKILL server",
                                      "server stopped, client close, SIGCONT", "client stopped, server stop, SIGCONT"};
        const int kind = static_cast<int>(rng_() % 8);
        ++fig.ends[kinds[kind]];
        history_ = (history_ + kinds[kind] + "; ").substr(history_.size() > 200 ? 60 : 0);
        // Kinds 6 and 7: one side is stopped, the other ends in order (which
        // must not wait for the stopped one), then the stopped one goes on
        // and must learn that its link has ended.
        const bool client_ends = kind == 0 || kind == 2 || kind == 4 || kind == 6;
        Peer &victim = client_ends ? cli_ : srv_;
        Peer &survivor = client_ends ? srv_ : cli_;
        prev_close_valid_ = false;
        auto t0 = Clock::now();
        if (kind == 0 || kind == 1 || kind >= 6) {
            std::string line;
            if (kind >= 6) survivor.child.kill(SIGSTOP);
            t0 = Clock::now();
            if (!end_peer(victim, line)) {
                ++fig.failures;
                fig.fault_lines.push_back(std::string("orderly end failed: ") + kinds[kind] + ": " + line);
            }
            if (kind >= 6) {
                // The end is bounded (2 s) whatever the stopped peer does.
                if (ms_since(t0) > 3000) {
                    ++fig.failures;
                    fig.fault_lines.push_back(std::string("end held up by a stopped peer: ") + kinds[kind]);
                }
                survivor.child.kill(SIGCONT);
            }
            if (kind == 0 || kind == 6) {
                char stream[32] = {0};
                uint32_t seq = 0;
                if (sscanf(line.c_str(), "ended %*d %*u %*u %31s %u", stream, &seq) == 2 && stream[0] != '-') {
                    prev_close_valid_ = true;
                    prev_stream_ = std::stoull(stream);
                    prev_seq_ = seq;
                }
            }
        } else {
            kill_peer(victim, kind >= 4);
            t0 = Clock::now();
        }
        // The next peer starts at once, so that serving it includes noticing
        // the end of the last.
        serve_from_ = t0;
        serve_pending_ = true;
        if (client_ends) spawn_client();
        if (!await(survivor, "down")) {
            ++fig.failures;
            fig.fault_lines.push_back(std::string("survivor never saw the end: ") + kinds[kind]);
        } else if (kind >= 2 && kind < 6) {
            fig.detect_ms.push_back(ms_since(t0));
        }
        ++fig.cycles;
    }

    void finish() {
        std::string line;
        if (cli_.alive) {
            EXPECT_TRUE(end_peer(cli_, line)) << line;
        }
        if (srv_.alive) {
            EXPECT_TRUE(end_peer(srv_, line)) << line;
        }
    }

    const std::vector<pid_t> &pids() const { return pids_; }
    Figures fig;

  private:
    std::string path_;
    std::mt19937 rng_;
    Peer srv_, cli_;
    std::vector<pid_t> pids_;
    bool prev_close_valid_ = false;
    uint64_t prev_stream_ = 0;
    uint32_t prev_seq_ = 0;
    bool serve_pending_ = false;
    Clock::time_point serve_from_;
    std::string history_;
};

std::string summary(std::vector<double> v) {
    if (v.empty()) return "n/a";
    std::sort(v.begin(), v.end());
    char buf[96];
    snprintf(buf, sizeof buf, "median %.1f ms, max %.1f ms (n=%zu)", v[v.size() / 2], v.back(), v.size());
    return buf;
}

TEST(Chaos, LinksSurviveEveryKindOfEnd) {
    const std::string path = vt::unique_name("chaos");
    Driver d(path);
    const auto start = Clock::now();
    while (ms_since(start) < g_seconds * 1000.0 || d.fig.cycles < VEXA_CHAOS_MIN_CYCLES) {
        d.cycle();
        if (HasFatalFailure()) break;
        if (ms_since(start) > 10 * g_seconds * 1000.0) break; // a safety net against a crawl
    }
    d.finish();

    printf("chaos soak: %.0f s, %lu cycles\n", ms_since(start) / 1000.0, static_cast<unsigned long>(d.fig.cycles));
    for (auto &[kind, n] : d.fig.ends) printf("  ends by %-24s %lu\n", kind.c_str(), static_cast<unsigned long>(n));
    printf("  frames checked %lu (%lu bytes), boundary checks %lu\n", static_cast<unsigned long>(d.fig.frames),
           static_cast<unsigned long>(d.fig.frames * k_frame), static_cast<unsigned long>(d.fig.boundary_checks));
    printf("  detect a dead peer: %s\n", summary(d.fig.detect_ms).c_str());
    printf("  serve the next peer: %s\n", summary(d.fig.serve_ms).c_str());
    printf("  failures %lu\n", static_cast<unsigned long>(d.fig.failures));
    for (auto &l : d.fig.fault_lines) printf("    %s\n", l.c_str());
    EXPECT_EQ(d.fig.failures, 0u);
    EXPECT_GE(d.fig.cycles, static_cast<uint64_t>(VEXA_CHAOS_MIN_CYCLES));
    EXPECT_GT(d.fig.frames, 0u);

    // Nothing of the region or of any of the processes' objects stays behind.
    vt::touch_objects();
    EXPECT_TRUE(vt::shm_entries(path.substr(1)).empty());
    for (pid_t pid : d.pids()) {
        EXPECT_TRUE(vt::shm_entries("SHMEM_" + std::to_string(pid) + "_").empty()) << pid;
        EXPECT_TRUE(vt::shm_entries("SHMEM_event" + std::to_string(pid) + "_").empty()) << pid;
    }
}

} // namespace

// --minutes N overrides the soak's length; everything else goes to GoogleTest.
int main(int argc, char **argv) {
    int status = 0;
    if (vt::run_child_role(argc, argv, &status)) return status;
    if (const char *s = getenv("VEXA_CHAOS_SECONDS")) g_seconds = atof(s);
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "--minutes") == 0) g_seconds = atof(argv[i + 1]) * 60.0;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
