// The console tool as a real process, driven through pipes on its standard
// input and output: argument handling, roles, two instances talking, the
// signal and end-of-input behaviour. Also runs the README's example.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "vexa-port.h"

extern char **environ;

namespace {

// A child role that only makes the program it is given die with the test,
// then becomes that program: argv is the path, argv[0] to use, arguments.
VT_CHILD_ROLE(exec_program) { return execv(argv[0], argv + 1) == 0 ? 0 : 127; }

long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class Proc {
  public:
    // Starts path with argv[0] as given and args, stdin and stdout on pipes.
    // ORVO_DEBUG is passed only when debug is given (its value).
    Proc(const std::string &path, const std::string &argv0, const std::vector<std::string> &args,
         const char *debug = nullptr) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        std::vector<std::string> argv_s{"/proc/self/exe", "--vt-child-role", "exec_program", path, argv0};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char *> argv_p;
        for (auto &s : argv_s) argv_p.push_back(s.data());
        argv_p.push_back(nullptr);
        std::vector<std::string> env_s;
        for (char **e = environ; *e; ++e)
            if (strncmp(*e, "ORVO_DEBUG=", 11) != 0) env_s.emplace_back(*e);
        if (debug) env_s.push_back(std::string("ORVO_DEBUG=") + debug);
        std::vector<char *> env_p;
        for (auto &s : env_s) env_p.push_back(s.data());
        env_p.push_back(nullptr);
        if (posix_spawn(&pid_, "/proc/self/exe", &fa, nullptr, argv_p.data(), env_p.data()) != 0) abort();
        started_pid_ = pid_;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;
    ~Proc() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        end_input();
        if (from_ >= 0) close(from_);
    }

    pid_t pid() const { return started_pid_; }
    void type(const std::string &text) { ASSERT_EQ(write(to_, text.data(), text.size()), (ssize_t)text.size()); }
    void end_input() {
        if (to_ >= 0) close(to_);
        to_ = -1;
    }
    bool input_drained() const {
        int n = -1;
        return ioctl(to_, FIONREAD, &n) == 0 && n == 0;
    }
    void kill(int sig) { ::kill(pid_, sig); }

    // The next line, or false at end of output or after the time-out.
    bool next(std::string &line, long deadline) {
        for (;;) {
            if (auto nl = buf_.find('\n'); nl != std::string::npos) {
                line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                lines_.push_back(line);
                return true;
            }
            pollfd p{from_, POLLIN, 0};
            const long left = deadline - now_ms();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char chunk[4096];
            const ssize_t n = read(from_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Reads until a line equals want (or starts with it, for a prefix).
    bool expect(const std::string &want, bool prefix = false, std::string *got = nullptr) {
        const long deadline = now_ms() + 20000;
        std::string line;
        while (next(line, deadline))
            if (prefix ? line.rfind(want, 0) == 0 : line == want) {
                if (got) *got = line;
                return true;
            }
        return false;
    }
    // Everything up to the end of the output, including an unfinished line.
    std::string rest() {
        std::string line, r;
        while (next(line, now_ms() + 20000)) r += line + "\n";
        r += buf_;
        buf_.clear();
        return r;
    }
    // Exit status, or -1 when the process did not end in time.
    int wait() {
        // A pidfd becomes readable when the process ends.
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        pollfd p{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && poll(&p, 1, 30000) == 1;
        if (pidfd >= 0) close(pidfd);
        int status = 0;
        if (!ended || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::vector<std::string> &lines() const { return lines_; }

  private:
    pid_t pid_ = -1; // until reaped
    pid_t started_pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buf_;
    std::vector<std::string> lines_;
};

Proc tool(const std::vector<std::string> &args, const char *debug = nullptr) {
    return Proc(VEXA_SERVICE_PATH, "vexa-port-service", args, debug);
}

bool any_line_has(const std::vector<std::string> &lines, const std::string &text) {
    for (auto &l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

// CPU seconds (user and system) the process has used so far.
double cpu_seconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(s.substr(s.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The state letter of a process's main thread ('S' while it waits).
char main_thread_state(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto p = s.rfind(')');
    return p == std::string::npos || p + 2 >= s.size() ? '?' : s[p + 2];
}

// True once no port's region is left, nor any named object that one of the
// given processes created (their names carry the creator's process id).
bool nothing_left(std::initializer_list<const Proc *> procs) {
    return vt::wait_until([&] {
        if (!vt::shm_entries("Port.").empty()) return false;
        for (const Proc *p : procs)
            for (const char *kind : {"SHMEM_", "SHMEM_event"})
                if (!vt::shm_entries(kind + std::to_string(p->pid()) + "_").empty()) return false;
        return true;
    });
}

TEST(Tool, UsageAndBadPortNumbers) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"vrm"}}) {
        Proc p(VEXA_SERVICE_PATH, "vps", args);
        EXPECT_EQ(p.rest(), "./vps vrm|arm <port_num>\n");
        EXPECT_EQ(p.wait(), 1);
    }
    for (const char *bad : {"4", "-1", "99"}) {
        SCOPED_TRACE(bad);
        Proc p = tool({"arm", bad});
        EXPECT_EQ(p.rest(), "bad value for port_num arg\n");
        EXPECT_EQ(p.wait(), 1);
    }
}

// A port served or attached by this test process, counting its links.
struct Peer {
    std::mutex m;
    std::condition_variable cv;
    int connected = 0, disconnected = 0;
    static int32_t on_conn(void *u, vexa_port *) { return static_cast<Peer *>(u)->bump(&Peer::connected); }
    static int32_t on_disc(void *u, vexa_port *) { return static_cast<Peer *>(u)->bump(&Peer::disconnected); }
    int32_t bump(int Peer::*field) {
        std::lock_guard<std::mutex> lock(m);
        ++(this->*field);
        cv.notify_all();
        return 0;
    }
    bool wait_for(int Peer::*field) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return this->*field > 0; });
    }
};

TEST(Tool, RoleWordAndPortNumberChooseTheEndpoint) {
    struct Case {
        const char *role, *port_arg;
        uint32_t port;
        bool serves;
    };
    for (const Case &c : {Case{"vrm", "abc", 0, true}, Case{"vrmX", "2abc", 2, true}, Case{"arm", "1", 1, false},
                          Case{"VRM", "3", 3, false}, Case{"x", "2abc", 2, false}}) {
        SCOPED_TRACE(std::string(c.role) + " " + c.port_arg);
        Peer peer;
        vexa_port_config cfg{};
        cfg.port_num = c.port;
        cfg.timeout_us = 20000;
        cfg.size = 2097152;
        cfg.on_connected = Peer::on_conn;
        cfg.on_disconnected = Peer::on_disc;
        cfg.user_data = &peer;
        // Our side takes the other role: a server first when the tool attaches.
        vexa_port *port = c.serves ? nullptr : vexa_port_open(&cfg);
        Proc t = tool({c.role, c.port_arg});
        if (c.serves) port = vexa_port_connect(&cfg);
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(t.expect("connected"));
        EXPECT_TRUE(peer.wait_for(&Peer::connected));
        t.kill(SIGINT);
        EXPECT_EQ(t.wait(), 0);
        if (!c.serves) {
            EXPECT_TRUE(peer.wait_for(&Peer::disconnected));
        }
        EXPECT_EQ(vexa_port_close(port), 0);
        EXPECT_TRUE(nothing_left({&t}));
    }
}

TEST(Tool, TwoInstancesTalkAndStopOnSignals) {
    Proc server = tool({"vrm", "1"});
    // A word with no peer attached is dropped without a line. Once the pipe is
    // empty and the reader waits again, the tool has dealt with it.
    server.type("early\n");
    ASSERT_TRUE(vt::wait_until([&] { return server.input_drained() && main_thread_state(server.pid()) == 'S'; }));
    Proc client = tool({"arm", "1"}, ""); // ORVO_DEBUG present, even empty, turns debug on
    ASSERT_TRUE(server.expect("connected"));
    ASSERT_TRUE(client.expect("connected"));

    // The server speaks first: a client that has received can surely send.
    server.type("hello\n");
    EXPECT_TRUE(server.expect("sent 6 of 6 bytes"));
    EXPECT_TRUE(client.expect("data_ready 6"));
    EXPECT_TRUE(client.expect("got 'hello' len 6"));
    for (size_t i = 0; i + 1 < server.lines().size(); ++i) EXPECT_NE(server.lines()[i].rfind("sent ", 0), 0u);

    client.type("hello\n");
    EXPECT_TRUE(client.expect("sent 6 of 6 bytes"));
    EXPECT_TRUE(any_line_has(client.lines(), "] [DBG] "));
    EXPECT_TRUE(server.expect("got 'hello' len 6"));

    // 200 characters leave as a word of 127 and one of 73, each with its zero
    // byte; the receiver may get both in one read and shows the first.
    const std::string a(127, 'a'), b(73, 'b');
    client.type(a + b + "\n");
    EXPECT_TRUE(client.expect("sent 128 of 128 bytes"));
    EXPECT_TRUE(client.expect("sent 74 of 74 bytes"));
    std::string got;
    ASSERT_TRUE(server.expect("got '", true, &got));
    if (got == "got '" + a + "' len 128") {
        EXPECT_TRUE(server.expect("got '" + b + "' len 74"));
    } else {
        EXPECT_EQ(got, "got '" + a + "' len 202");
    }

    // A client stopped by a signal reports its own detach while closing.
    client.kill(SIGINT);
    EXPECT_TRUE(client.expect(""));
    EXPECT_TRUE(client.expect(" got signal 2"));
    EXPECT_TRUE(client.expect("disconnected"));
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(server.expect("disconnected"));

    server.kill(SIGTERM);
    EXPECT_TRUE(server.expect(" got signal 15"));
    EXPECT_EQ(server.rest().find("disconnected"), std::string::npos);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_FALSE(any_line_has(server.lines(), "[DBG]"));
    EXPECT_TRUE(nothing_left({&server, &client}));
}

TEST(Tool, KeepsReceivingWithoutSpinningAfterEndOfInput) {
    Proc server = tool({"vrm", "2"});
    Proc client = tool({"arm", "2"});
    ASSERT_TRUE(server.expect("connected"));
    ASSERT_TRUE(client.expect("connected"));
    client.end_input();
    server.type("ping\n");
    EXPECT_TRUE(server.expect("sent 5 of 5 bytes"));
    EXPECT_TRUE(client.expect("got 'ping' len 5"));

    // Idle now: a loop retrying the failed read would use a whole second.
    const double before = cpu_seconds(client.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the measuring window
    EXPECT_LT(cpu_seconds(client.pid()) - before, 0.1);

    // The server going away is seen by the client, which stays until told.
    server.kill(SIGINT);
    EXPECT_TRUE(server.expect(" got signal 2"));
    EXPECT_EQ(server.wait(), 0);
    EXPECT_TRUE(client.expect("disconnected"));
    client.kill(SIGTERM);
    EXPECT_TRUE(client.expect(" got signal 15"));
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(nothing_left({&server, &client}));
}

#ifdef VEXA_QUICKSTART_PATH
TEST(Tool, ReadmeExampleRuns) {
    Proc server(VEXA_QUICKSTART_PATH, "quickstart", {"serve"});
    Proc client(VEXA_QUICKSTART_PATH, "quickstart", {});
    EXPECT_TRUE(client.expect("client got 'ping' (5 bytes waited)"));
    EXPECT_TRUE(server.expect("server got 'pong' (5 bytes waited)"));
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(nothing_left({&server, &client}));
}
#endif

// The README quotes the example rather than a copy that could drift from it.
TEST(Tool, ReadmeQuotesTheExampleVerbatim) {
    auto slurp = [](const std::string &path) {
        std::ifstream f(path);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    const std::string example = slurp(VEXA_SOURCE_DIR "/examples/quickstart.c");
    ASSERT_FALSE(example.empty());
    EXPECT_NE(slurp(VEXA_SOURCE_DIR "/README.md").find("```c\n" + example + "```\n"), std::string::npos);
}

} // namespace
