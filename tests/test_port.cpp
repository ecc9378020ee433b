// The port interface between two real processes: the fixed names of the four
// ports, refusal of a bad configuration, the size's low 32 bits, delivery
// through on_data_ready only, and the logging switches it forwards.
#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "internals.h"
#include "test_util.h"
#include "vexa-port.h"

namespace {

constexpr uint64_t k_size = 2u << 20;

// Records every log line handed to the hook; endpoint threads log too.
struct LogRecord {
    std::mutex m;
    std::vector<std::pair<int, std::string>> lines;
} g_log;

int record_hook(int32_t level, const char *fmt, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, args);
    std::lock_guard<std::mutex> lock(g_log.m);
    g_log.lines.emplace_back(level, text);
    return 0;
}

using PortEvents = vt::LinkEvents;

vexa_port_config config(uint32_t port_num, PortEvents *ev, uint64_t size = k_size) {
    vexa_port_config cfg{};
    cfg.port_num = port_num;
    cfg.timeout_us = 20000;
    cfg.size = size;
    cfg.on_connected = PortEvents::on_connected;
    cfg.on_data_ready = PortEvents::on_data_ready;
    cfg.on_disconnected = PortEvents::on_disconnected;
    cfg.user_data = ev;
    return cfg;
}

// No port's region left, nor a named object of these processes (the names
// carry the creator's process id).
bool nothing_left(std::initializer_list<pid_t> pids) {
    return vt::wait_until([&] {
        if (!vt::shm_entries("Port.").empty()) return false;
        for (pid_t pid : pids)
            for (const char *kind : {"SHMEM_", "SHMEM_event"})
                if (!vt::shm_entries(kind + std::to_string(pid) + "_").empty()) return false;
        return true;
    });
}

TEST(PortInterface, RefusesMissingConfigAndPortsAboveThree) {
    EXPECT_EQ(vexa_port_count(), 4u);
    std::set<std::string> names(std::begin(vexa::port::k_region_names), std::end(vexa::port::k_region_names));
    EXPECT_EQ(names.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(std::string(vexa::port::k_region_names[i]), "org.vexa-port.Port." + std::to_string(i));

    g_log.lines.clear();
    vexa_port_set_logfunc(record_hook, 10, 11, 12);
    vexa_port_config cfg{};
    EXPECT_EQ(vexa_port_open(nullptr), nullptr);
    EXPECT_EQ(vexa_port_connect(nullptr), nullptr);
    for (uint32_t bad : {4u, 0xFFFFFFFFu}) {
        cfg.port_num = bad;
        EXPECT_EQ(vexa_port_open(&cfg), nullptr);
        EXPECT_EQ(vexa_port_connect(&cfg), nullptr);
    }
    vexa_port_set_logfunc(nullptr, 0, 1, 2);
    const std::string line = "(22): " + std::string(strerror(EINVAL)) + "\n";
    ASSERT_EQ(g_log.lines.size(), 6u);
    for (auto &[level, text] : g_log.lines) {
        EXPECT_EQ(level, 10);
        EXPECT_EQ(text, line);
    }
    // A zeroed config that forgot the size: refused with its cause, once.
    g_log.lines.clear();
    vexa_port_set_logfunc(record_hook, 10, 11, 12);
    cfg.port_num = 2;
    EXPECT_EQ(vexa_port_open(&cfg), nullptr);
    EXPECT_EQ(errno, EINVAL) << "the cause, for hosts that do not read the log";
    vexa_port_set_logfunc(nullptr, 0, 1, 2);
    ASSERT_EQ(g_log.lines.size(), 1u);
    EXPECT_EQ(g_log.lines[0].first, 10);
    EXPECT_NE(g_log.lines[0].second.find("a region of 0 bytes is too small"), std::string::npos)
        << g_log.lines[0].second;
    // Without a hook the same line goes to standard output as an error line.
    vt::StdoutCapture cap;
    EXPECT_EQ(vexa_port_open(nullptr), nullptr);
    const std::string out = cap.finish();
    EXPECT_NE(out.find("] [ERR] " + line), std::string::npos) << out;
    EXPECT_TRUE(vt::shm_entries("Port.").empty());
}

// Serves all four ports, port 3 with a size of 4 GiB + 2 MiB. Greets each
// client with its port number and answers each message with
// "<port>:<message>". The first announcement of waiting bytes is left unread,
// to show that the port announces them again.
struct EchoPort {
    int index;
    int announced = 0;
};

int32_t echo_connected(void *user, vexa_port *port) {
    const std::string greeting = std::to_string(static_cast<EchoPort *>(user)->index);
    vexa_port_send(port, greeting.data(), greeting.size());
    return 0;
}

int32_t echo_data_ready(void *user, vexa_port *port, int32_t count) {
    auto *ep = static_cast<EchoPort *>(user);
    if (ep->announced++ == 0) {
        vt::child_send("announced " + std::to_string(ep->index) + " " + std::to_string(count));
        return 0;
    }
    char buf[256];
    int64_t n = vexa_port_recv(port, buf, sizeof buf);
    if (n <= 0) return 0;
    vt::child_send("read " + std::to_string(ep->index) + " " + std::to_string(count) + " " + std::to_string(n));
    ep->announced = 0;
    std::string reply = std::to_string(ep->index) + ":" + std::string(buf, static_cast<size_t>(n));
    vexa_port_send(port, reply.data(), reply.size());
    return 0;
}

VT_CHILD_ROLE(echo_ports) {
    EchoPort eps[4] = {{0}, {1}, {2}, {3}};
    vexa_port *ports[4] = {};
    for (uint32_t i = 0; i < 4; ++i) {
        vexa_port_config cfg{};
        cfg.port_num = i;
        cfg.size = i == 3 ? (4ull << 30) + k_size : k_size;
        cfg.on_connected = echo_connected;
        cfg.on_data_ready = echo_data_ready;
        cfg.user_data = &eps[i];
        if (!(ports[i] = vexa_port_open(&cfg))) return 1;
    }
    vt::child_send("ready");
    std::string line;
    vt::child_recv(line);
    for (auto *p : ports) vexa_port_close(p);
    return 0;
}

TEST(PortInterface, EachPortMeetsItsOwnNumberInAnotherProcess) {
    vt::Child server = vt::Child::spawn("echo_ports", {}, true);
    const pid_t server_pid = server.pid();
    ASSERT_TRUE(server.expect("ready"));
    // Attached in an order unlike the server's, each with a 2 MiB size: port 3
    // was served with 4 GiB + 2 MiB, of which the region keeps the low bits.
    for (uint32_t i : {2u, 0u, 3u, 1u}) {
        SCOPED_TRACE(i);
        PortEvents ev;
        auto cfg = config(i, &ev);
        vexa_port *port = vexa_port_connect(&cfg);
        ASSERT_NE(port, nullptr);
        const std::string greeting = std::to_string(i);
        ASSERT_TRUE(ev.wait([&] { return ev.received == greeting; })) << ev.received;
        EXPECT_EQ(ev.connected, 1);
        const std::string msg = "hi" + greeting;
        EXPECT_EQ(vexa_port_send(port, msg.c_str(), msg.size()), static_cast<int64_t>(msg.size()));
        EXPECT_TRUE(ev.wait([&] { return ev.received == greeting + greeting + ":" + msg; })) << ev.received;
        // The server's callback was called with the count, left it, and got
        // the same count again before it read.
        const std::string n = std::to_string(msg.size());
        EXPECT_TRUE(server.expect("announced " + greeting + " " + n));
        EXPECT_TRUE(server.expect("read " + greeting + " " + n + " " + n));
        EXPECT_EQ(vexa_port_close(port), 0);
        std::lock_guard<std::mutex> lock(ev.m);
        EXPECT_EQ(ev.disconnected, 1); // a client reports its own detach on close
    }
    server.send("quit");
    EXPECT_EQ(server.wait(), 0);
    EXPECT_TRUE(nothing_left({server_pid, getpid()}));
}

TEST(PortInterface, DebugLinesFollowTheSwitch) {
    auto debug_lines_of_open_and_close = [] {
        g_log.lines.clear();
        vexa_port_set_logfunc(record_hook, 10, 11, 12);
        vexa_port_config cfg{};
        cfg.port_num = 2;
        cfg.size = k_size;
        vexa_port *port = vexa_port_open(&cfg);
        EXPECT_NE(port, nullptr);
        if (port) {
            EXPECT_EQ(vexa_port_close(port), 0);
        }
        vexa_port_set_logfunc(nullptr, 0, 1, 2);
        int n = 0;
        for (auto &l : g_log.lines) n += l.first == 12;
        return n;
    };
    vexa_port_set_debug(1);
    EXPECT_GT(debug_lines_of_open_and_close(), 0);
    vexa_port_set_debug(0);
    EXPECT_EQ(debug_lines_of_open_and_close(), 0);
    EXPECT_TRUE(nothing_left({getpid()}));
}

} // namespace
