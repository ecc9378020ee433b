// vexa-port-cat as the shell runs it: two real processes over a region name of
// their own, their standard streams on files and pipes of the test. Streams
// must arrive byte-exact in both directions with both sides ending 0, and a
// peer that dies mid-stream must be an error, told on standard error.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"
#include "vexa-port/shm_endpoint.h"

extern char **environ;

namespace {

// A scratch directory for the streams, removed with what it holds.
struct Scratch {
    std::string dir;
    Scratch() {
        char t[] = "/tmp/vexa-cat-XXXXXX";
        if (mkdtemp(t)) dir = t;
    }
    ~Scratch() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    std::string path(const char *name) const { return dir + "/" + name; }
};

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void spit(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(gen());
    return s;
}

// Becomes the tool (argv: its path, argv[0], arguments) in a child that the
// role machinery has tied to the test's life.
VT_CHILD_ROLE(exec_cat) { return execv(argv[0], argv + 1) == 0 ? 0 : 127; }

// The tool as a child process with the given descriptors as its standard
// streams.
class Cat {
  public:
    Cat(const std::vector<std::string> &args, int in, int out, int err) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&fa, err, STDERR_FILENO);
        std::vector<std::string> argv_s{"/proc/self/exe", "--vt-child-role", "exec_cat", VEXA_CAT_PATH,
                                        "vexa-port-cat"};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char *> argv_p;
        for (auto &s : argv_s) argv_p.push_back(s.data());
        argv_p.push_back(nullptr);
        if (posix_spawn(&pid_, "/proc/self/exe", &fa, nullptr, argv_p.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    Cat(const Cat &) = delete;
    Cat &operator=(const Cat &) = delete;
    ~Cat() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    void kill(int sig) { ::kill(pid_, sig); }
    // Exit status (128 + signal for a killed one), or -1 when it has not
    // ended within 60 s.
    int wait() {
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        pollfd p{pidfd, POLLIN, 0};
        const bool ended = pidfd >= 0 && poll(&p, 1, 60000) == 1;
        if (pidfd >= 0) close(pidfd);
        int status = 0;
        if (!ended || waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
};

int open_in(const std::string &path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int open_out(const std::string &path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); }

// Nothing of the region nor of the given processes' objects is left once
// the objects nobody holds have been swept.
bool nothing_left(const std::string &region, std::initializer_list<pid_t> pids) {
    return vt::wait_until([&] {
        vt::touch_objects();
        if (!vt::shm_entries(region.substr(1)).empty()) return false;
        for (pid_t pid : pids)
            if (!vt::shm_entries("SHMEM_" + std::to_string(pid) + "_").empty() ||
                !vt::shm_entries("SHMEM_event" + std::to_string(pid) + "_").empty())
                return false;
        return true;
    });
}

// Both directions at once. The small region keeps the rings full most of the
// time, so frames split at ring ends and the senders wait for room often.
TEST(CatTool, StreamsArriveExactBothWaysAndBothSidesEndZero) {
    for (const char *size : {"", "8192"}) {
        SCOPED_TRACE(std::string("size ") + size);
        Scratch s;
        ASSERT_FALSE(s.dir.empty());
        const std::string to_client = random_bytes(3 * 1024 * 1024 + 7, 1), to_server = random_bytes(700001, 2);
        spit(s.path("a"), to_client);
        spit(s.path("b"), to_server);
        const std::string region = vt::unique_name("cat");
        std::vector<std::string> extra;
        if (*size) extra = {"--size", size};

        auto args = [&](const char *role) {
            std::vector<std::string> a{role, region};
            a.insert(a.end(), extra.begin(), extra.end());
            return a;
        };
        // The client first: it must wait for its server, not give up.
        const int cin = open_in(s.path("b")), cout = open_out(s.path("b.out")), cerr = open_out(s.path("b.err"));
        Cat client(args("attach"), cin, cout, cerr);
        const int sin = open_in(s.path("a")), sout = open_out(s.path("a.out")), serr = open_out(s.path("a.err"));
        Cat server(args("serve"), sin, sout, serr);
        for (int fd : {cin, cout, cerr, sin, sout, serr}) close(fd);

        EXPECT_EQ(client.wait(), 0) << slurp(s.path("b.err"));
        EXPECT_EQ(server.wait(), 0) << slurp(s.path("a.err"));
        // Compared whole: a log line on standard output, a lost or doubled
        // frame, all show here.
        EXPECT_TRUE(slurp(s.path("b.out")) == to_client);
        EXPECT_TRUE(slurp(s.path("a.out")) == to_server);
        EXPECT_EQ(slurp(s.path("a.err")), "");
        EXPECT_EQ(slurp(s.path("b.err")), "");
        EXPECT_TRUE(nothing_left(region, {server.pid(), client.pid()}));
    }
}

// The stream flows (the test has read some of it through the client) when
// one side is killed; the other must end 1 and say why, whichever side died.
TEST(CatTool, PeerKilledMidStreamIsAnErrorWithAMessage) {
    for (bool kill_server : {true, false}) {
        SCOPED_TRACE(kill_server ? "server killed" : "client killed");
        Scratch s;
        ASSERT_FALSE(s.dir.empty());
        const std::string region = vt::unique_name("catkill");
        int feed[2], drain[2];
        ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(drain, O_CLOEXEC), 0);
        const int null_in = open_in("/dev/null"), null_out = open_out("/dev/null");
        const int serr = open_out(s.path("s.err")), cerr = open_out(s.path("c.err"));
        // The server's input stays open, so its stream has no end yet and
        // the client, its own input ended at once, waits for it.
        Cat server({"serve", region}, feed[0], null_out, serr);
        Cat client({"attach", region}, null_in, drain[1], cerr);
        for (int fd : {feed[0], drain[1], null_in, null_out, serr, cerr}) close(fd);
        const std::string chunk = random_bytes(64 * 1024, 3);
        ASSERT_EQ(write(feed[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        std::string got;
        while (got.size() < chunk.size()) {
            pollfd p{drain[0], POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 30000), 1);
            char buf[65536];
            const ssize_t n = read(drain[0], buf, sizeof buf);
            ASSERT_GT(n, 0);
            got.append(buf, static_cast<size_t>(n));
        }
        EXPECT_TRUE(got == chunk);

        Cat &victim = kill_server ? server : client;
        Cat &survivor = kill_server ? client : server;
        const pid_t victim_pid = victim.pid(), survivor_pid = survivor.pid();
        victim.kill(SIGKILL);
        EXPECT_EQ(victim.wait(), 128 + SIGKILL);
        EXPECT_EQ(survivor.wait(), 1);
        EXPECT_NE(slurp(s.path(kill_server ? "c.err" : "s.err")).find("the peer went away before the end of its stream"),
                  std::string::npos);
        close(feed[1]);
        close(drain[0]);
        EXPECT_TRUE(nothing_left(region, {victim_pid, survivor_pid}));
    }
}

// The other end played by the test itself, on the tool's default size unless
// told: once a link stands it sends the given words of the tool's framing,
// and it reads and drops whatever arrives.
struct FakePeer {
    std::vector<uint32_t> words;
    shm_thread *thr = nullptr;

    FakePeer(bool serve, const std::string &region, std::vector<uint32_t> w, uint32_t size = 2097152)
        : words(std::move(w)) {
        shm_data d{};
        d.endpoint.path = const_cast<char *>(region.c_str());
        d.endpoint.timeout_us = 10000;
        d.endpoint.size = size;
        d.handlers.on_connected = on_connected;
        d.handlers.on_data_ready = on_data_ready;
        d.handlers.user_data = this;
        thr = serve ? shm_srv_start(&d) : shm_cli_connect(&d);
    }
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;
    ~FakePeer() {
        if (thr) shm_close(thr);
    }
    static int32_t on_connected(void *u, shm_thread *t) {
        for (uint32_t w : static_cast<FakePeer *>(u)->words) {
            const uint8_t b[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
            if (shm_send(t, b, 4) != 4) return -1;
        }
        return 0;
    }
    static int32_t on_data_ready(void *, shm_thread *t, int32_t) {
        char buf[65536];
        while (shm_recv(t, buf, sizeof buf) > 0) {
        }
        return 0;
    }
};

constexpr uint32_t k_end = 0xFFFFFFFFu, k_bye = 0xFFFFFFFEu;

// Peers that end the session other than by the rules: the tool must neither
// hang nor pass a cut stream off as whole.
TEST(CatTool, APeerThatEndsOutOfTurnNeitherHangsNorPassesForAWholeStream) {
    struct Case {
        const char *name;
        bool tool_serves;
        std::vector<uint32_t> peer_says;
        uint32_t peer_size;
        int status;
        const char *tool_says;
    };
    for (const Case &c : {
             // A server of another size refuses the client for good.
             Case{"other size", false, {}, 65536, 1, "gave up attaching to /"},
             // A bye without the end marker cuts the stream short.
             Case{"bye before end", false, {k_bye}, 2097152, 1, "cut short"},
             // A client that has read everything but stays attached.
             Case{"no detach", true, {k_end}, 2097152, 0, "read everything but has not detached"},
         }) {
        SCOPED_TRACE(c.name);
        Scratch s;
        const std::string region = vt::unique_name("catend");
        std::unique_ptr<FakePeer> server;
        if (!c.tool_serves) server = std::make_unique<FakePeer>(true, region, c.peer_says, c.peer_size);
        const int in = open_in("/dev/null"), out = open_out(s.path("out")), err = open_out(s.path("err"));
        Cat cat({c.tool_serves ? "serve" : "attach", region}, in, out, err);
        for (int fd : {in, out, err}) close(fd);
        std::unique_ptr<FakePeer> client;
        if (c.tool_serves) client = std::make_unique<FakePeer>(false, region, c.peer_says, c.peer_size);
        const pid_t pid = cat.pid();
        EXPECT_EQ(cat.wait(), c.status);
        EXPECT_NE(slurp(s.path("err")).find(c.tool_says), std::string::npos) << slurp(s.path("err"));
        EXPECT_EQ(slurp(s.path("out")), "");
        server.reset();
        client.reset();
        EXPECT_TRUE(nothing_left(region, {pid}));
    }
}

TEST(CatTool, BadArgumentsExitTwoWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char *says;
    };
    for (const Case &c : {Case{{}, "a role and a port or name are needed"},
                          Case{{"serve"}, "a role and a port or name are needed"},
                          Case{{"listen", "/x"}, "the role is 'serve' or 'attach'"},
                          Case{{"serve", "4"}, "the port is 0 to 3"}, Case{{"serve", "1x"}, "the port is 0 to 3"},
                          Case{{"attach", "/x", "--size", "100"}, "--size needs"},
                          Case{{"attach", "/x", "--size"}, "--size needs"},
                          Case{{"attach", "/x", "--bogus"}, "unknown option --bogus"}}) {
        Scratch s;
        const int in = open_in("/dev/null"), out = open_out(s.path("out")), err = open_out(s.path("err"));
        Cat cat(c.args, in, out, err);
        for (int fd : {in, out, err}) close(fd);
        EXPECT_EQ(cat.wait(), 2);
        EXPECT_NE(slurp(s.path("err")).find(c.says), std::string::npos) << slurp(s.path("err"));
        EXPECT_EQ(slurp(s.path("out")), "");
    }
}

} // namespace
