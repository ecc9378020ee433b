// The programs in examples/ run as a user runs them, each its own process:
// the minimal pairs in C and C++ (and mixed, since both speak the same
// port), and the request-reply pair through full rings and through a server
// or a client killed halfway.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "test_util.h"

extern char **environ;

namespace {

// Becomes the example it is given (argv: path, argv[0], arguments); going
// through a child role ties the example's life to the test's.
VT_CHILD_ROLE(exec_example) { return execv(argv[0], argv + 1) == 0 ? 0 : 127; }

long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// An example program with its standard output on a pipe.
class Example {
  public:
    Example(const std::string &name, const std::vector<std::string> &args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        std::vector<std::string> argv_s{"/proc/self/exe", "--vt-child-role", "exec_example",
                                        std::string(VEXA_EXAMPLES_DIR "/") + name, name};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char *> argv_p;
        for (auto &s : argv_s) argv_p.push_back(s.data());
        argv_p.push_back(nullptr);
        if (posix_spawn(&pid_, "/proc/self/exe", &fa, nullptr, argv_p.data(), environ) != 0) abort();
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        from_ = out[0];
        started_pid_ = pid_;
    }
    Example(const Example &) = delete;
    Example &operator=(const Example &) = delete;
    ~Example() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(from_);
    }

    pid_t pid() const { return started_pid_; }
    void kill(int sig) { ::kill(pid_, sig); }

    // Reads lines until one equals want; false at the end of the output or
    // after 30 s. The library's own log lines pass by on the way.
    bool expect(const std::string &want) {
        const long deadline = now_ms() + 30000;
        for (;;) {
            if (auto nl = buf_.find('\n'); nl != std::string::npos) {
                const std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                seen_ += line + "\n";
                if (line == want) return true;
                continue;
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
    // Everything expect has read so far, the library's log lines included:
    // what a failing check prints.
    const std::string &transcript() const { return seen_; }
    // Exit status (128 + signal for a killed one), or -1 after 30 s.
    int wait() {
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        pollfd p{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && poll(&p, 1, 30000) == 1;
        if (pidfd >= 0) close(pidfd);
        int status = 0;
        if (!ended || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
    pid_t started_pid_ = -1;
    int from_ = -1;
    std::string buf_;
    std::string seen_;
};

// No port region and no object of the given processes is left; a creation
// first sweeps away what killed processes held.
bool nothing_left(std::initializer_list<const Example *> procs) {
    return vt::wait_until([&] {
        vt::touch_objects();
        if (!vt::shm_entries("Port.").empty()) return false;
        for (const Example *p : procs)
            for (const char *kind : {"SHMEM_", "SHMEM_event"})
                if (!vt::shm_entries(kind + std::to_string(p->pid()) + "_").empty()) return false;
        return true;
    });
}

struct Pair {
    const char *server;
    const char *client;
};
void PrintTo(const Pair &p, std::ostream *os) { *os << p.server << " + " << p.client; }

class MinimalPair : public ::testing::TestWithParam<Pair> {};

TEST_P(MinimalPair, ClientGetsItsEchoAndBothEnd) {
    Example client(GetParam().client, {"1", "hi-there"}); // the client may come first
    Example server(GetParam().server, {"1"});
    EXPECT_TRUE(server.expect("received: hi-there")) << server.transcript();
    EXPECT_TRUE(client.expect("reply: echo: hi-there")) << client.transcript();
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(server.expect("client left")) << server.transcript();
    EXPECT_EQ(server.wait(), 0);
    EXPECT_TRUE(nothing_left({&server, &client}));
}

INSTANTIATE_TEST_SUITE_P(Examples, MinimalPair,
                         ::testing::Values(Pair{"server", "client"}, Pair{"server-cpp", "client-cpp"},
                                           Pair{"server", "client-cpp"}, Pair{"server-cpp", "client"}),
                         [](const auto &info) {
                             std::string n = std::string(info.param.server) + "_" + info.param.client;
                             for (char &c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// Requests of up to four rings' worth: every one goes out and comes back in
// pieces, and all replies check.
TEST(RequestReply, LargeRequestsPassThroughSmallRings) {
    Example server("reply_server", {"3", "1"});
    ASSERT_TRUE(server.expect("serving port 3")) << server.transcript();
    Example client("request_client", {"3", "12"});
    EXPECT_TRUE(client.expect("all 12 replies correct")) << client.transcript();
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(server.expect("client left")) << server.transcript();
    EXPECT_EQ(server.wait(), 0);
    EXPECT_TRUE(nothing_left({&server, &client}));
}

// The server dies halfway; the client waits for the next server and asks
// again for what was not answered.
TEST(RequestReply, ClientOutlivesAKilledServer) {
    Example client("request_client", {"3", "30"});
    Example first("reply_server", {"3", "1"});
    ASSERT_TRUE(client.expect("reply 3 ok (24757 bytes)")) << client.transcript();
    first.kill(SIGKILL);
    EXPECT_EQ(first.wait(), 128 + SIGKILL);
    ASSERT_TRUE(client.expect("server went away")) << client.transcript();
    Example second("reply_server", {"3", "1"});
    EXPECT_TRUE(client.expect("all 30 replies correct")) << client.transcript();
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
    EXPECT_TRUE(nothing_left({&first, &second, &client}));
}

// A client dies halfway; the server forgets its half-done request and serves
// the next client in full.
TEST(RequestReply, ServerOutlivesAKilledClient) {
    Example server("reply_server", {"3", "2"});
    ASSERT_TRUE(server.expect("serving port 3")) << server.transcript();
    Example first("request_client", {"3", "100000"});
    ASSERT_TRUE(first.expect("reply 2 ok (16838 bytes)")) << first.transcript();
    first.kill(SIGKILL);
    EXPECT_EQ(first.wait(), 128 + SIGKILL);
    ASSERT_TRUE(server.expect("client left")) << server.transcript();
    Example second("request_client", {"3", "5"});
    EXPECT_TRUE(second.expect("all 5 replies correct")) << second.transcript();
    EXPECT_EQ(second.wait(), 0);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_TRUE(nothing_left({&server, &first, &second}));
}

} // namespace
