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

#include "program.h"
#include "test_util.h"
#include "vexa-port.h"

namespace {

using vt::now_ms;
using Proc = vt::Program;

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

using vt::nothing_left;

TEST(Tool, UsageAndBadPortNumbers) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"vrm"}}) {
        Proc p(VEXA_SERVICE_PATH, "vps", args);
        EXPECT_EQ(p.rest(), "./vps vrm|arm <port_num>\n");
        EXPECT_EQ(p.wait(), 1);
    }
    // Only a whole number below four names a port: what strtoul would read
    // as 0 or cut short is refused as well, never served.
    for (const char *bad : {"4", "-1", "99", "abc", "2abc", "", "1.5", "18446744073709551617", "-18446744073709551614"}) {
        SCOPED_TRACE(bad);
        Proc p(VEXA_SERVICE_PATH, "./vps", {"arm", bad});
        EXPECT_EQ(p.rest(), "bad value for port_num arg\n./vps vrm|arm <port_num>\n");
        EXPECT_EQ(p.wait(), 1);
    }
    // Asked for, the usage is the answer (once, without a doubled "./").
    for (const char *help : {"--help", "-h"}) {
        Proc p(VEXA_SERVICE_PATH, "./build/vexa-port-service", {help});
        EXPECT_EQ(p.rest(), "./vexa-port-service vrm|arm <port_num>\n");
        EXPECT_EQ(p.wait(), 0);
    }
}


TEST(Tool, RoleWordAndPortNumberChooseTheEndpoint) {
    struct Case {
        const char *role, *port_arg;
        uint32_t port;
        bool serves;
    };
    for (const Case &c : {Case{"vrm", " 0", 0, true}, Case{"vrmX", "+2", 2, true}, Case{"arm", "1", 1, false},
                          Case{"VRM", "3", 3, false}, Case{"x", "02", 2, false}}) {
        SCOPED_TRACE(std::string(c.role) + " " + c.port_arg);
        vt::LinkEvents peer;
        vexa_port_config cfg{};
        cfg.port_num = c.port;
        cfg.timeout_us = 20000;
        cfg.size = 2097152;
        cfg.on_connected = vt::LinkEvents::on_connected;
        cfg.on_disconnected = vt::LinkEvents::on_disconnected;
        cfg.user_data = &peer;
        // Our side takes the other role: a server first when the tool attaches.
        vexa_port *port = c.serves ? nullptr : vexa_port_open(&cfg);
        Proc t = tool({c.role, c.port_arg});
        if (c.serves) port = vexa_port_connect(&cfg);
        ASSERT_NE(port, nullptr);
        EXPECT_TRUE(t.expect("connected"));
        EXPECT_TRUE(peer.wait([&] { return peer.connected > 0; }));
        t.kill(SIGINT);
        EXPECT_EQ(t.wait(), 0);
        if (!c.serves) {
            EXPECT_TRUE(peer.wait([&] { return peer.disconnected > 0; }));
        }
        EXPECT_EQ(vexa_port_close(port), 0);
        EXPECT_TRUE(nothing_left({&t}));
    }
}

TEST(Tool, TwoInstancesTalkAndStopOnSignals) {
    Proc server = tool({"vrm", "1"});
    // A word with no peer attached is dropped without a line. Once the pipe is
    // empty and the reader waits again, the tool has dealt with it.
    ASSERT_TRUE(server.type("early\n"));
    ASSERT_TRUE(vt::wait_until([&] { return server.input_drained() && main_thread_state(server.pid()) == 'S'; }));
    Proc client = tool({"arm", "1"}, "ORVO_DEBUG="); // the old name, present even empty, turns debug on
    ASSERT_TRUE(server.expect("connected"));
    ASSERT_TRUE(client.expect("connected"));

    // The server speaks first: a client that has received can surely send.
    ASSERT_TRUE(server.type("hello\n"));
    EXPECT_TRUE(server.expect("sent 6 of 6 bytes"));
    EXPECT_TRUE(client.expect("data_ready 6"));
    EXPECT_TRUE(client.expect("got 'hello' len 6"));
    for (size_t i = 0; i + 1 < server.lines().size(); ++i) EXPECT_NE(server.lines()[i].rfind("sent ", 0), 0u);

    ASSERT_TRUE(client.type("hello\n"));
    EXPECT_TRUE(client.expect("sent 6 of 6 bytes"));
    EXPECT_TRUE(any_line_has(client.lines(), "] [DBG] "));
    EXPECT_TRUE(server.expect("got 'hello' len 6"));

    // 200 characters leave as a word of 127 and one of 73, each with its zero
    // byte; the receiver may get both in one read and shows the first.
    const std::string a(127, 'a'), b(73, 'b');
    ASSERT_TRUE(client.type(a + b + "\n"));
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
    Proc server = tool({"vrm", "2"}, "VEXA_DEBUG=1");
    Proc client = tool({"arm", "2"});
    ASSERT_TRUE(server.expect("connected"));
    ASSERT_TRUE(client.expect("connected"));
    client.end_input();
    ASSERT_TRUE(server.type("ping\n"));
    EXPECT_TRUE(server.expect("sent 5 of 5 bytes"));
    EXPECT_TRUE(any_line_has(server.lines(), "] [DBG] ")) << "VEXA_DEBUG turns debug on";
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
