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

#include "program.h"
#include "test_util.h"

namespace {

// An example program with its standard output on a pipe.
struct Example : vt::Program {
    Example(const std::string &name, const std::vector<std::string> &args)
        : vt::Program(std::string(VEXA_EXAMPLES_DIR "/") + name, name, args) {}
};

using vt::nothing_left;

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
                                           Pair{"server", "client-cpp"}, Pair{"server-cpp", "client"},
                                           Pair{"server", "poll_client"}
#ifdef VEXA_HAVE_UV_CLIENT
                                           ,
                                           Pair{"server", "uv_client"}
#endif
                                           ),
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
