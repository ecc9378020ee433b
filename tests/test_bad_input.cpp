// Every exported operation fed what a careless or hostile host passes: null
// pointers, handles of the wrong kind or not (yet) linked, zero and huge
// lengths, port numbers past the end, regions smaller than the header. Each
// must give a clear negative result (or NULL, or nothing) and no crash.
//
// The null and listener cases of the endpoint calls that test_endpoint's
// BadCallsAreRefused already makes are not repeated here.
//
// Freed handles are not in the table: the endpoint handle is a pointer that
// the host owns, and using it after closing is the host's fault, as with any
// C handle. Handles of the mapping layer are values that the platform checks,
// so a closed one is tried.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"
#include "vexa-port.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_membuf.h"
#include "vexa-port/shm_thread.h"

namespace {

struct Case {
    std::string what;
    std::function<bool()> holds; // true when the operation refused as it should
};

int quiet_log(int32_t, const char *, va_list) { return 0; }

// Runs a table, reporting every case that did not hold.
void run(const std::vector<Case> &table) {
    for (const Case &c : table) EXPECT_TRUE(c.holds()) << c.what;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override { shm_log_set_func(quiet_log, 0, 1, 2); }
    void TearDown() override { shm_log_set_func(nullptr, 0, 1, 2); }
};

TEST_F(BadInput, EndpointOperations) {
    int32_t e = 0;
    shm_thread *hup = create_shm_thread(nullptr, SHM_HUP, &e); // a handle of the wrong kind
    ASSERT_NE(hup, nullptr);
    // A client of a region nobody serves: a real endpoint with no link yet.
    const std::string lonely = vt::unique_name("bad");
    shm_data cfg{};
    cfg.endpoint.path = const_cast<char *>(lonely.c_str());
    cfg.endpoint.size = 8192;
    cfg.endpoint.timeout_us = 1000;
    shm_thread *unlinked = shm_cli_connect(&cfg);
    ASSERT_NE(unlinked, nullptr);
    char buf[16] = {};
    shm_data tiny = cfg;
    tiny.endpoint.size = 100;

    run({
        {"shm_srv_start(NULL)", [] { shm_thread *t = shm_srv_start(nullptr); return t == nullptr || shm_close(t) == 0; }},
        {"shm_srv_start(region smaller than the header)", [&] { return shm_srv_start(&tiny) == nullptr; }},
        {"shm_send(unlinked)", [&] { return shm_send(unlinked, buf, sizeof buf) == -EINVAL; }},
        {"shm_send(unlinked, NULL, huge)", [&] { return shm_send(unlinked, nullptr, SIZE_MAX) == -EINVAL; }},
        {"shm_recv(unlinked, huge)", [&] { return shm_recv(unlinked, buf, SIZE_MAX) == -EINVAL; }},
        {"shm_release_space(unlinked, huge)", [&] { return shm_release_space(unlinked, SIZE_MAX) == -EINVAL; }},
        {"shm_srv_stop(listener)", [&] { return shm_srv_stop(hup) == -EINVAL; }},
        {"shm_srv_stop(client)", [&] { return shm_srv_stop(unlinked) == -EINVAL; }},
        {"shm_hup_start(NULL)", [] { return shm_hup_start(nullptr) == nullptr; }},
        {"shm_hup_start(unlinked client)", [&] { return shm_hup_start(unlinked) == nullptr; }},
        {"shm_hup_reset(client)", [&] { return shm_hup_reset(unlinked) == -EINVAL; }},
        {"shm_hup_reset(listener)", [&] { return shm_hup_reset(hup) == -EINVAL; }},
        // An unknown kind makes an object that no operation accepts (test_thread).
        {"shm_close(object of an unknown kind)", [&] {
             shm_thread *odd = create_shm_thread(&cfg, 9, nullptr);
             return odd && shm_close(odd) == -EINVAL && shm_srv_stop(odd) == -EINVAL && shm_send(odd, buf, 1) == -EINVAL &&
                    shm_hup_start(odd) == nullptr && destroy_shm_thread(odd) == 0;
         }},
        {"create_shm_thread(server, NULL data)", [] {
             int32_t err = 0;
             shm_thread *t = create_shm_thread(nullptr, SHM_SRV, &err);
             return t == nullptr ? err < 0 : destroy_shm_thread(t) == 0;
         }},
        // Close and stop know the handles they returned: one closed before,
        // or never returned, is refused without being touched.
        {"shm_close(closed client)", [&] {
             shm_thread *t = shm_cli_connect(&cfg);
             return t && shm_close(t) == 0 && shm_close(t) == -EINVAL && shm_srv_stop(t) == -EINVAL;
         }},
        {"shm_close(client) from two threads at once", [&] {
             shm_thread *t = shm_cli_connect(&cfg);
             std::atomic<int32_t> other{1};
             std::thread racer([&] { other = shm_close(t); });
             const int32_t mine = shm_close(t);
             racer.join();
             return t && std::min(mine, other.load()) == -EINVAL && std::max(mine, other.load()) == 0;
         }},
        {"shm_srv_stop(stopped server)", [&] {
             const std::string served = vt::unique_name("bad");
             shm_data scfg = cfg;
             scfg.endpoint.path = const_cast<char *>(served.c_str());
             shm_thread *t = shm_srv_start(&scfg);
             return t && shm_srv_stop(t) == 0 && shm_srv_stop(t) == -EINVAL && shm_close(t) == -EINVAL;
         }},
        {"shm_close(never returned)", [] {
             // Shaped like a client's object: its kind in its first word.
             alignas(64) static unsigned char junk[4096];
             memset(junk, 0, sizeof junk);
             const int32_t kind = SHM_CLI;
             memcpy(junk, &kind, sizeof kind);
             auto *t = reinterpret_cast<shm_thread *>(junk);
             return shm_close(t) == -EINVAL && shm_srv_stop(t) == -EINVAL && vexa_port_close(t) == -EINVAL;
         }},
        {"destroy_shm_thread(NULL)", [] { return destroy_shm_thread(nullptr) == -EINVAL; }},
        {"update_shm_thread_name(NULL)", [] { update_shm_thread_name(nullptr); return true; }},
    });
    EXPECT_EQ(shm_close(unlinked), 0);
    EXPECT_EQ(destroy_shm_thread(hup), 0);
}

TEST_F(BadInput, PortOperations) {
    char buf[16] = {};
    vexa_port_config past{};
    past.port_num = static_cast<uint32_t>(vexa_port_count());
    vexa_port_config far = past;
    far.port_num = UINT32_MAX;
    run({
        {"vexa_port_count", [] { return vexa_port_count() == 4; }},
        {"vexa_port_open(NULL)", [] { return vexa_port_open(nullptr) == nullptr; }},
        {"vexa_port_connect(NULL)", [] { return vexa_port_connect(nullptr) == nullptr; }},
        {"vexa_port_open(port past the end)", [&] { return vexa_port_open(&past) == nullptr; }},
        {"vexa_port_open(port UINT32_MAX)", [&] { return vexa_port_open(&far) == nullptr; }},
        {"vexa_port_connect(port past the end)", [&] { return vexa_port_connect(&past) == nullptr; }},
        {"vexa_port_send(NULL)", [&] { return vexa_port_send(nullptr, buf, 1) == -EINVAL; }},
        {"vexa_port_send(NULL, huge)", [&] { return vexa_port_send(nullptr, buf, UINT64_MAX) == -EINVAL; }},
        {"vexa_port_recv(NULL)", [&] { return vexa_port_recv(nullptr, buf, sizeof buf) == -EINVAL; }},
        {"vexa_port_close(NULL)", [] { return vexa_port_close(nullptr) < 0; }},
        {"vexa_port_set_logfunc(NULL)", [] { vexa_port_set_logfunc(nullptr, 0, 1, 2); shm_log_set_func(quiet_log, 0, 1, 2); return true; }},
    });
}

TEST_F(BadInput, BlockOperations) {
    const std::string name = vt::unique_name("bad");
    constexpr size_t size = 8192;
    void *fd = shmt_open(name.c_str(), O_RDWR | O_CREAT, size);
    ASSERT_NE(fd, shmt_invalid_fd());
    shm_membuf *mb = nullptr;
    ASSERT_EQ(shm_membuf_map(fd, size, &mb), 0);
    shm_membuf *none = nullptr;
    char buf[16] = {};

    // First against a block that nobody has bound: every ring operation
    // refuses, and attaching finds it not ready.
    std::vector<Case> unbound = {
        {"shm_membuf_map(NULL out)", [&] { return shm_membuf_map(fd, size, nullptr) == -EINVAL; }},
        {"shmt_map(NULL out)", [&] { return shmt_map(fd, size, nullptr) == -1; }},
        {"shm_membuf_map(invalid handle)", [&] { return shm_membuf_map(shmt_invalid_fd(), size, &none) == -EINVAL; }},
        {"shm_membuf_map(smaller than the header)", [&] { return shm_membuf_map(fd, 100, &none) == SHM_E_BAD_SIZE; }},
        {"shm_membuf_map(header only)", [&] { return shm_membuf_map(fd, shm_membuf_size, &none) == SHM_E_BAD_SIZE; }},
        {"shm_membuf_bind(NULL)", [] { return shm_membuf_bind(nullptr, size) == -EINVAL; }},
        {"shm_membuf_bind(smaller than the header)", [&] { return shm_membuf_bind(mb, 64) == SHM_E_BAD_SIZE; }},
        {"shm_membuf_bind(larger than the mapping)", [&] { return shm_membuf_bind(mb, size * 16) < 0; }},
        {"shm_membuf_connect(NULL)", [] { return shm_membuf_connect(nullptr, size) == -EINVAL; }},
        {"shm_membuf_connect(not ready)", [&] { return shm_membuf_connect(mb, size) == SHM_E_NOT_READY; }},
        {"shm_membuf_unbind(NULL)", [] { return shm_membuf_unbind(nullptr) == -EINVAL; }},
        {"shm_membuf_disconnect(NULL)", [] { return shm_membuf_disconnect(nullptr) == -EINVAL; }},
        {"shm_membuf_disconnect_cb(NULL)", [] { return shm_membuf_disconnect_cb(nullptr) == -EINVAL; }},
        {"shm_membuf_is_connected(NULL)", [] { return shm_membuf_is_connected(nullptr) == -EINVAL; }},
        {"shm_membuf_is_ready(NULL)", [] { return shm_membuf_is_ready(nullptr) == -EINVAL; }},
        {"shm_srv_write(NULL)", [&] { return shm_srv_write(nullptr, buf, 1) == -EINVAL; }},
        {"shm_cli_write(NULL)", [&] { return shm_cli_write(nullptr, buf, 1) == -EINVAL; }},
        {"shm_srv_read(NULL)", [&] { return shm_srv_read(nullptr, buf, 1) == -EINVAL; }},
        {"shm_cli_read(NULL)", [&] { return shm_cli_read(nullptr, buf, 1) == -EINVAL; }},
        {"shm_srv_write(NULL buffer)", [&] { return shm_srv_write(mb, nullptr, 1) == -EINVAL; }},
        {"shm_cli_read(NULL buffer)", [&] { return shm_cli_read(mb, nullptr, 1) == -EINVAL; }},
        {"shm_srv_write(unbound)", [&] { return shm_srv_write(mb, buf, sizeof buf) == -EINVAL; }},
        {"shm_cli_write(unbound)", [&] { return shm_cli_write(mb, buf, sizeof buf) == -EINVAL; }},
        {"shm_srv_read(unbound, huge)", [&] { return shm_srv_read(mb, buf, SIZE_MAX) == -EINVAL; }},
        {"shm_cli_read(unbound)", [&] { return shm_cli_read(mb, buf, sizeof buf) == -EINVAL; }},
        {"shm_srv_release_space(NULL)", [] { return shm_srv_release_space(nullptr, 1) == -EINVAL; }},
        {"shm_cli_release_space(unbound)", [&] { return shm_cli_release_space(mb, 1) == -EINVAL; }},
        {"shm_ringbuf_release_space(ring 2)", [&] { return shm_ringbuf_release_space(mb, 2, 0) == -EINVAL; }},
        {"shm_ringbuf_release_space(ring UINT64_MAX)", [&] { return shm_ringbuf_release_space(mb, UINT64_MAX, 0) == -EINVAL; }},
        {"shm_srv_has_data(NULL)", [] { return shm_srv_has_data(nullptr) == 0; }},
        {"shm_cli_has_data(NULL)", [] { return shm_cli_has_data(nullptr) == 0; }},
        {"shm_srv_wait(NULL)", [] { return shm_srv_wait(nullptr) == -EINVAL; }},
        {"shm_cli_wait(NULL)", [] { return shm_cli_wait(nullptr) == -EINVAL; }},
        {"shm_srv_wait(unbound)", [&] { return shm_srv_wait(mb) != 0; }},
        {"shm_srv_notify(NULL)", [] { return shm_srv_notify(nullptr) == -EINVAL; }},
        {"shm_cli_notify(unbound)", [&] { return shm_cli_notify(mb) == -1; }},
        {"shm_membuf_disconnect(never attached)", [&] { return shm_membuf_disconnect(mb) == 0; }},
        {"shm_membuf_unbind(never bound)", [&] { return shm_membuf_unbind(mb) == 0; }},
    };
    run(unbound);

    // Then bound by this process as the server, with no client: the client's
    // operations still refuse, and huge lengths are refused outright.
    ASSERT_EQ(shm_membuf_bind(mb, size), 0);
    run({
        {"shm_membuf_bind(bound)", [&] { return shm_membuf_bind(mb, size) == -EBUSY; }},
        {"shm_membuf_connect(wrong size)", [&] { return shm_membuf_connect(mb, size - 8) == SHM_E_BAD_SIZE; }},
        {"shm_cli_write(not attached)", [&] { return shm_cli_write(mb, buf, sizeof buf) == -EINVAL; }},
        {"shm_cli_read(not attached)", [&] { return shm_cli_read(mb, buf, sizeof buf) == -EINVAL; }},
        {"shm_srv_release_space(huge)", [&] { return shm_srv_release_space(mb, SIZE_MAX) == -ENOSPC; }},
        {"shm_ringbuf_release_space(ring 1, not its writer)", [&] { return shm_ringbuf_release_space(mb, 1, 1) == -EINVAL; }},
        {"shm_srv_write(zero bytes)", [&] { return shm_srv_write(mb, buf, 0) == 0; }},
        {"shm_srv_read(empty)", [&] { return shm_srv_read(mb, buf, sizeof buf) == -EAGAIN; }},
        {"shm_srv_read(zero bytes)", [&] { return shm_srv_read(mb, buf, 0) <= 0; }},
    });
    EXPECT_EQ(shm_membuf_unbind(mb), 0);
    EXPECT_EQ(shmt_unmap(mb, size), 0);
    EXPECT_EQ(shmt_close(fd), 0);

    run({
        {"shmt_open(NULL)", [] { return shmt_open(nullptr, O_RDWR, 0) == shmt_invalid_fd(); }},
        {"shmt_open(empty name)", [] { return shmt_open("", O_RDWR, 0) == shmt_invalid_fd(); }},
        {"shmt_open(missing)", [&] { return shmt_open((name + "-x").c_str(), O_RDWR, 0) == shmt_invalid_fd() && shmt_errno() == ENOENT; }},
        {"shmt_map(invalid handle)", [] { void *p = &p; return shmt_map(shmt_invalid_fd(), 4096, &p) == -1 && p == nullptr; }},
        {"shmt_map(closed handle)", [&] { void *p = nullptr; return shmt_map(fd, 4096, &p) == -1; }},
        {"shmt_map(NULL handle)", [] { void *p = nullptr; return shmt_map(nullptr, 4096, &p) == -1; }},
        {"shmt_unmap(NULL)", [] { return shmt_unmap(nullptr, 0) == -1; }},
        {"shmt_unmap(not a view)", [&] { return shmt_unmap(buf, sizeof buf) == -1; }},
        {"shmt_close(invalid handle)", [] { return shmt_close(shmt_invalid_fd()) == -1; }},
        {"shmt_close(closed handle)", [&] { return shmt_close(fd) == -1; }},
        {"shmt_unlink(NULL)", [] { return shmt_unlink(nullptr) == 0; }},
    });
    EXPECT_TRUE(vt::shm_entries(name.substr(1)).empty());
}

TEST_F(BadInput, RecordsAndTexts) {
    shm_endpoint ep{};
    shm_handlers h{};
    shm_data d{};
    run({
        {"copy_shm_endpoint(NULL, x)", [&] { return copy_shm_endpoint(nullptr, &ep) == -EINVAL; }},
        {"copy_shm_endpoint(x, NULL)", [&] { return copy_shm_endpoint(&ep, nullptr) == -EINVAL; }},
        {"clear_shm_endpoint(NULL)", [] { return clear_shm_endpoint(nullptr) == -EINVAL; }},
        {"copy_shm_handlers(NULL, x)", [&] { return copy_shm_handlers(nullptr, &h) == -EINVAL; }},
        {"copy_shm_handlers(x, NULL)", [&] { return copy_shm_handlers(&h, nullptr) == -EINVAL; }},
        {"clear_shm_handlers(NULL)", [] { return clear_shm_handlers(nullptr) == -EINVAL; }},
        {"copy_shm_data(NULL, x)", [&] { return copy_shm_data(nullptr, &d) == -EINVAL; }},
        {"copy_shm_data(x, NULL)", [&] { return copy_shm_data(&d, nullptr) == -EINVAL; }},
        {"clear_shm_data(NULL)", [] { return clear_shm_data(nullptr) == -EINVAL; }},
        {"shm_strerror(INT_MIN, INT_MAX, 0, codes)", [] {
             for (int32_t c : {INT32_MIN, INT32_MAX, 0, -1, -37201, -37195, 1 << 20})
                 if (shm_strerror(c) == nullptr) return false;
             return true;
         }},
        {"shm_log_set_debug(any)", [] { shm_log_set_debug(INT32_MIN); shm_log_set_debug(0); return true; }},
        {"vexa_port_set_debug(any)", [] { vexa_port_set_debug(-7); vexa_port_set_debug(0); return true; }},
    });
}

} // namespace

// A full /dev/shm: in a private mount namespace with a tiny tmpfs over
// /dev/shm, a server whose region does not fit fails to start, with NULL and
// an error line, instead of starting and dying of SIGBUS at its first touch
// of a page that was never there. Needs root (a mount namespace of its own).
VT_CHILD_ROLE(full_shm) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0) {
        vt::child_send(std::string("skip ") + strerror(errno));
        return 0;
    }
    static std::string errors;
    shm_log_set_func([](int32_t level, const char *fmt, va_list args) {
        char text[512];
        vsnprintf(text, sizeof text, fmt, args);
        if (level == 0) errors += text;
        return 0;
    }, 0, 1, 2);
    shm_data cfg{};
    const std::string small = vt::unique_name("full"), big = vt::unique_name("full");
    cfg.endpoint.path = const_cast<char *>(small.c_str());
    cfg.endpoint.size = 64 * 1024;
    shm_thread *fits = shm_srv_start(&cfg);
    cfg.endpoint.path = const_cast<char *>(big.c_str());
    cfg.endpoint.size = 1024 * 1024;
    shm_thread *too_big = shm_srv_start(&cfg);
    vt::child_send(std::string("fits ") + (fits ? "1" : "0") + " too_big " + (too_big ? "1" : "0") + " errors " +
                   (errors.empty() ? "0" : "1"));
    if (fits) shm_srv_stop(fits);
    if (too_big) shm_srv_stop(too_big);
    return 0;
}

TEST(HostileEnvironment, FullShmFailsTheServerStartCleanly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace with its own /dev/shm";
    vt::Child c = vt::Child::spawn("full_shm", {}, true);
    std::string line;
    ASSERT_TRUE(c.recv(line));
    const int st = c.wait();
    if (line.rfind("skip ", 0) == 0) GTEST_SKIP() << "no private mount namespace here: " << line.substr(5);
    EXPECT_EQ(line, "fits 1 too_big 0 errors 1") << "a region that fits starts; one that does not gives NULL and an error line";
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st << " (a SIGBUS shows here)";
}
