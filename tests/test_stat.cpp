// The observer tool as a real process, looking at regions of this test: a
// served one, an attached link with bytes waiting, corrupt blocks, and none
// at all. Each test names its own regions; the four ports are listed too
// but never checked here, since other tests may be using them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "internals.h"
#include "program.h"
#include "test_util.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_membuf.h"

namespace {

struct Looked {
    std::string out;
    int status;
};

Looked stat(const std::vector<std::string> &args) {
    vt::Program p(VEXA_STAT_PATH, "vexa-port-stat", args);
    Looked r;
    r.out = p.rest();
    r.status = p.wait();
    return r;
}

// The lines of the tool's text about one region: its own line and the
// indented ones after it.
std::string section(const std::string &out, const std::string &name) {
    const auto at = out.find(name + ": ");
    if (at == std::string::npos) return "";
    auto end = at;
    do end = out.find('\n', end + 1);
    while (end != std::string::npos && end + 1 < out.size() && out[end + 1] == ' ');
    return out.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
}

const std::string k_pid = std::to_string(getpid());

bool nothing_left_of(const std::string &name) { return vt::shm_entries(name.substr(1)).empty(); }

TEST(Stat, ServedRegionThenGoneAndUsage) {
    const std::string name = vt::unique_name("stat");
    shm_data data{};
    data.endpoint.path = const_cast<char *>(name.c_str());
    data.endpoint.size = 4096;
    data.endpoint.timeout_us = 20000;
    shm_thread *srv = shm_srv_start(&data);
    ASSERT_NE(srv, nullptr);

    Looked r = stat({name});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string s = section(r.out, name);
    EXPECT_EQ(s.substr(0, s.find('\n')), name + ": served, no client") << r.out;
    EXPECT_NE(s.find("  server pid " + k_pid + ", client pid none\n"), std::string::npos) << s;
    EXPECT_NE(s.find("  flags SHM_READY, region 4096 bytes\n"), std::string::npos) << s;
    EXPECT_NE(s.find("capacity 1800, 0 bytes waiting"), std::string::npos) << s;

    // One document on one line, with the region's keys.
    r = stat({"--json", name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("{\"regions\":[{", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "]}\n");
    for (const std::string &key : std::vector<std::string>{"\"state\":\"served\"", "\"server_pid\":" + k_pid, "\"client_pid\":null",
                                  "\"has_data\":0", "\"capacity\":1800", "\"flag_names\":[\"SHM_READY\"]"})
        EXPECT_NE(r.out.find(key), std::string::npos) << key << "\n" << r.out;

    EXPECT_EQ(shm_srv_stop(srv), 0);
    r = stat({name, name + "-never"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(name + ": absent\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(name + "-never: absent\n"), std::string::npos) << r.out;
    EXPECT_TRUE(nothing_left_of(name));

    EXPECT_EQ(stat({"--bogus"}).status, 2);
    EXPECT_EQ(stat({""}).status, 2);
}

// A server and a client of one block, both in this process, as the block
// layer's own tests drive them.
struct Link {
    std::string name = vt::unique_name("stat");
    size_t size = shm_membuf_size + 200; // two rings of 100 bytes
    void *srv_fd = nullptr, *cli_fd = nullptr;
    shm_membuf *srv = nullptr, *cli = nullptr;

    explicit Link(bool attach) {
        srv_fd = shmt_open(name.c_str(), 0x502, size);
        EXPECT_NE(srv_fd, shmt_invalid_fd());
        EXPECT_EQ(shm_membuf_map(srv_fd, size, &srv), 0);
        EXPECT_EQ(shm_membuf_bind(srv, size), 0);
        if (!attach) return;
        cli_fd = shmt_open(name.c_str(), 2, 0);
        EXPECT_NE(cli_fd, shmt_invalid_fd());
        EXPECT_EQ(shm_membuf_map(cli_fd, size, &cli), 0);
        EXPECT_EQ(shm_membuf_connect(cli, size), 0);
    }
    ~Link() {
        if (cli) {
            shm_membuf_disconnect(cli);
            shm_membuf_disconnect_cb(cli);
            shmt_unmap(cli, size);
            shmt_close(cli_fd);
        }
        shm_membuf_unbind(srv);
        shmt_unmap(srv, size);
        shmt_close(srv_fd);
    }
};

TEST(Stat, AttachedLinkShowsBytesWaitingSleepersAndPids) {
    std::string name;
    {
        Link l(true);
        name = l.name;
        ASSERT_EQ(shm_cli_write(l.cli, "twelve bytes", 12), 12);
        ASSERT_EQ(shm_srv_write(l.srv, "five!", 5), 5);
        l.srv->rb[1].waiting = 1; // as while the server sleeps on ring 1

        Looked r = stat({name});
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string s = section(r.out, name);
        EXPECT_EQ(s.substr(0, s.find('\n')), name + ": served, client attached") << r.out;
        EXPECT_NE(s.find("  server pid " + k_pid + ", client pid " + k_pid + "\n"), std::string::npos) << s;
        EXPECT_NE(s.find("  flags SHM_READY|SHM_CONNECTED, region 696 bytes\n"), std::string::npos) << s;
        EXPECT_NE(s.find("  ring 0, server to client: capacity 100, 5 bytes waiting, client awake\n"),
                  std::string::npos) << s;
        EXPECT_NE(s.find("  ring 1, client to server: capacity 100, 12 bytes waiting, server asleep\n"),
                  std::string::npos) << s;
        EXPECT_NE(s.find("  objects: srv_hup " + std::string(l.srv->srv_hup.name) + ", cli_hup " +
                         std::string(l.srv->cli_hup.name) + "\n"),
                  std::string::npos) << s;
        l.srv->rb[1].waiting = 0;

        // The client's pid as the name shows it, in either form, or not at
        // all. The real name goes back before the client detaches.
        char real[32];
        memcpy(real, l.srv->cli_hup.name, sizeof real);
        char compact[32];
        vexa::block::format_name_for(compact, false, 4194303, 123456789);
        ASSERT_NE(strchr(compact, 'x'), nullptr) << compact;
        struct Case {
            const char *cli_hup;
            std::string shown;
        };
        for (const Case &c : {Case{compact, "4194303"}, Case{"Global\\SHMEM_77_0_3", "77"},
                              Case{"Global\\SHMEM_77_0", "unknown"}, Case{"Global\\SHMEM_0_0_3", "unknown"},
                              Case{"Global\\SHMEM_x!_1", "unknown"}, Case{"", "none"}}) {
            SCOPED_TRACE(c.cli_hup);
            memset(l.srv->cli_hup.name, 0, sizeof l.srv->cli_hup.name);
            strcpy(l.srv->cli_hup.name, c.cli_hup);
            r = stat({name});
            EXPECT_NE(r.out.find("  server pid " + k_pid + ", client pid " + c.shown + "\n"), std::string::npos)
                << r.out;
        }
        memcpy(l.srv->cli_hup.name, real, sizeof real);
    }
    EXPECT_TRUE(nothing_left_of(name));
}

TEST(Stat, CorruptBlocksAreShownWithTheReason) {
    std::string name;
    {
        Link l(false);
        name = l.name;
        shm_membuf good;
        memcpy(&good, l.srv, sizeof good);
        struct Case {
            void (*corrupt)(shm_membuf &);
            const char *reason;
        };
        const Case cases[] = {
            {[](shm_membuf &m) { m.magic[3] = 'x'; }, "bad magic"},
            {[](shm_membuf &m) { m.size += 1; }, "block size 697 does not match the region's 696"},
            {[](shm_membuf &m) { m.flags |= 0x100; }, "unknown flag bits 0x101"},
            {[](shm_membuf &m) { memset(m.srv_hup.name, 'A', sizeof m.srv_hup.name); }, "srv_hup name not terminated"},
            {[](shm_membuf &m) { memset(m.rb[1].event.name, 'A', 32); }, "ring 1: an object name not terminated"},
            // Size and flags of a block not laid out yet, names that run on.
            {[](shm_membuf &m) { m.size = 0, m.flags = 0, memset(m.cli_hup.name, 'A', 32); }, "cli_hup name not terminated"},
            {[](shm_membuf &m) { m.rb[1].end = 99; }, "ring 1: offset 596 and capacity 99 do not fit size 696"},
            {[](shm_membuf &m) { m.rb[0].head = 100; }, "ring 0: head 100, tail 0 and has_data 0"},
            {[](shm_membuf &m) { m.rb[1].has_data = 3; }, "ring 1: head 0, tail 0 and has_data 3"},
            {[](shm_membuf &m) { m.rb[0].tail = 7, m.rb[0].has_data = 6; }, "ring 0: head 0, tail 7 and has_data 6"},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.reason);
            c.corrupt(*l.srv);
            const Looked r = stat({name});
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.out.find(name + ": corrupt (" + c.reason), std::string::npos) << r.out;
            memcpy(static_cast<void *>(l.srv), &good, sizeof good);
        }
        // A writer without the lock moves tail while the reader looks: with
        // the split protocol announced, positions that disagree are a live
        // ring, not a corrupt one.
        l.srv->rb[0].writer_proto = SHM_RB_SPLIT;
        l.srv->rb[0].tail = 7, l.srv->rb[0].has_data = 6;
        EXPECT_EQ(stat({name}).status, 0);
        memcpy(static_cast<void *>(l.srv), &good, sizeof good);
        const Looked r = stat({"--json", name});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("\"state\":\"served\""), std::string::npos) << r.out;
    }
    // A name that holds another kind of object.
    const std::string mutex_name = vt::unique_name("stat");
    HANDLE m = CreateMutexA(nullptr, FALSE, mutex_name.c_str());
    ASSERT_NE(m, nullptr);
    const Looked r = stat({mutex_name});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(mutex_name + ": corrupt (not a region object: a mutex or event, not a region)\n"),
              std::string::npos) << r.out;
    CloseHandle(m);
    EXPECT_TRUE(nothing_left_of(name));
    EXPECT_TRUE(nothing_left_of(mutex_name));
}

} // namespace
