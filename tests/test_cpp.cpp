// The C++ layer (vexa-port.hpp) between two real processes: callables with
// captures reach the right object, a moved port keeps delivering, a client can
// refuse a server, close refuses to run inside a callback, and results carry
// the library's codes.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <string>
#include <type_traits>

#include "test_util.h"
#include "vexa-port.hpp"

namespace {

constexpr std::uint32_t k_port = 2;

using Seen = vt::LinkEvents;

// Options whose callables record into seen and read inside on_data_ready.
vexa::port_options recording(Seen &seen) {
    vexa::port_options o;
    o.timeout_us = 20000;
    o.on_connected = [&seen](vexa::port_ref) { seen.note([&] { ++seen.connected; }); };
    o.on_disconnected = [&seen](vexa::port_ref) { seen.note([&] { ++seen.disconnected; }); };
    o.on_data_ready = [&seen](vexa::port_ref p, std::size_t count) {
        std::string buf(count, '\0');
        auto n = p.recv(std::as_writable_bytes(std::span(buf)));
        if (n) seen.note([&] { seen.received.append(buf.data(), *n); });
    };
    return o;
}

// Attaches to the port and reports "connected" to the parent, or "refused"
// when started with "refuse" and its accept has said no. Echoes each
// received text back upper-cased. Ends when the parent says "quit".
VT_CHILD_ROLE(cpp_client) {
    const bool refuse = argc > 0 && std::string(argv[0]) == "refuse";
    Seen seen;
    int asked = 0;
    vexa::port_options o = recording(seen);
    o.accept = [&](vexa::port_ref) {
        seen.note([&] { ++asked; });
        return !refuse;
    };
    // Echoes in place: read where the ring holds the bytes, write the answer
    // where it will be read.
    o.on_data_ready = [&](vexa::port_ref p, std::size_t) {
        auto in = p.view();
        if (!in) return;
        const std::size_t n = in->data().size();
        auto out = p.reserve(n);
        if (!out) return;
        std::string text(reinterpret_cast<const char *>(in->data().data()), n);
        for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::memcpy(out->data().data(), text.data(), n);
        if (!out->commit(n) || !in->consume(n)) return;
        seen.note([&] { seen.received += text; });
    };
    auto port = vexa::port::connect(k_port, std::move(o));
    if (!port) return 1;
    if (!seen.wait([&] { return refuse ? asked > 0 : seen.connected > 0; })) return 2;
    vt::child_send(refuse ? "refused" : "connected");
    std::string line;
    while (vt::child_recv(line) && line != "quit") {
    }
    if (refuse && seen.connected != 0) return 4; // on_connected must not follow a refusal
    return port->close() ? 0 : 3;
}

TEST(CppResult, CarriesValueOrCode) {
    vexa::result<std::size_t> ok = std::size_t{5};
    EXPECT_TRUE(ok);
    EXPECT_EQ(*ok, 5u);
    EXPECT_EQ(ok.error(), 0);

    auto bad = vexa::result<std::size_t>::failure(-ENOSPC);
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.error(), -ENOSPC);
    EXPECT_EQ(bad.value_or(7), 7u);
    EXPECT_EQ(bad.message(), std::string_view(shm_strerror(-ENOSPC)));
    EXPECT_EQ(vexa::result<>::failure(SHM_E_REJECTED).message(), "connection rejected by user");
    EXPECT_TRUE(vexa::result<>::from_code(0));
}

TEST(CppPort, IsMoveOnlyAndRefusesBadNumbers) {
    static_assert(!std::is_copy_constructible_v<vexa::port>);
    static_assert(std::is_nothrow_move_constructible_v<vexa::port>);
    auto p = vexa::port::open(vexa::port_count());
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error(), -EINVAL);
    // The library's cause, not a generic one: a size with no room for rings.
    vexa::port_options tiny;
    tiny.size = 100;
    EXPECT_EQ(vexa::port::open(0, std::move(tiny)).error(), -EINVAL);
    EXPECT_EQ(vexa::port_version(), VEXA_PORT_VERSION_STRING);
}

// Bytes both ways through callables with captures, while the port object
// itself is moved twice: the callbacks keep finding their state.
TEST(CppPort, ExchangesBytesAndSurvivesMoves) {
    Seen seen;
    auto opened = vexa::port::open(k_port, recording(seen));
    ASSERT_TRUE(opened) << opened.message();
    vexa::port first = std::move(*opened);
    EXPECT_FALSE(opened->is_open());

    auto client = vt::Child::spawn("cpp_client");
    ASSERT_TRUE(client.expect("connected"));
    ASSERT_TRUE(seen.wait([&] { return seen.connected == 1; }));

    vexa::port second;
    second = std::move(first);
    EXPECT_FALSE(first.is_open());
    auto sent = second.send(std::string_view("hello"));
    ASSERT_TRUE(sent) << sent.message();
    EXPECT_EQ(*sent, 5u);
    EXPECT_TRUE(seen.wait([&] { return seen.received == "HELLO"; })) << seen.received;

    // In place too; a reservation excludes a copy, and one dropped unused
    // publishes nothing.
    {
        auto unused = second.reserve(3);
        ASSERT_TRUE(unused) << unused.message();
        EXPECT_EQ(second.send(std::string_view("x")).error(), -EBUSY);
        EXPECT_EQ(second.reserve(1).error(), -EBUSY);
    }
    auto room = second.reserve(5);
    ASSERT_TRUE(room) << room.message();
    ASSERT_GE(room->data().size(), 5u);
    std::memcpy(room->data().data(), "world", 5);
    EXPECT_EQ(room->commit(5).value_or(0), 5u);
    EXPECT_TRUE(seen.wait([&] { return seen.received == "HELLOWORLD"; })) << seen.received;

    client.send("quit");
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(seen.wait([&] { return seen.disconnected == 1; }));
    EXPECT_TRUE(second.close());
    EXPECT_FALSE(second.is_open());
    EXPECT_TRUE(second.close()) << "closing twice does nothing";
}

// A client whose accept says no never reports on_connected, and the server
// it refused stays ready for the next client.
TEST(CppPort, ClientThatRefusesLeavesTheServerUsable) {
    Seen seen;
    auto server = vexa::port::open(k_port, recording(seen));
    ASSERT_TRUE(server);
    {
        auto picky = vt::Child::spawn("cpp_client", {"refuse"});
        ASSERT_TRUE(picky.expect("refused"));
        picky.send("quit");
        EXPECT_EQ(picky.wait(), 0);
    }
    auto client = vt::Child::spawn("cpp_client");
    ASSERT_TRUE(client.expect("connected"));
    EXPECT_TRUE(server->send(std::string_view("again")));
    EXPECT_TRUE(seen.wait([&] { return seen.received == "AGAIN"; })) << seen.received;
    client.send("quit");
    EXPECT_EQ(client.wait(), 0);
}

// Close from inside the port's own callback reports -EDEADLK and leaves the
// port usable; the ordinary close afterwards works.
TEST(CppPort, CloseInsideCallbackIsRefused) {
    Seen seen;
    std::atomic<vexa::port *> self{nullptr}; // set after open, read on the port's thread
    std::int32_t inside = 0;
    vexa::port_options o = recording(seen);
    o.on_connected = [&](vexa::port_ref) {
        const std::int32_t r = self.load()->close().error();
        seen.note([&] { inside = r; ++seen.connected; });
    };
    auto server = vexa::port::open(k_port, std::move(o));
    ASSERT_TRUE(server);
    self.store(&*server);
    auto client = vt::Child::spawn("cpp_client");
    ASSERT_TRUE(seen.wait([&] { return seen.connected == 1; }));
    EXPECT_EQ(inside, -EDEADLK);
    EXPECT_TRUE(server->is_open());
    EXPECT_TRUE(server->send(std::string_view("x")));
    EXPECT_TRUE(seen.wait([&] { return seen.received == "X"; }));
    client.send("quit");
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(server->close());
}

} // namespace
