// Resource leaks over many link cycles in one process: after a thousand
// attaches and detaches (and a run of server starts and stops) the process
// has the same descriptors, threads and mappings as before, and nothing of
// it is left in /dev/shm. The sanitizer build's leak checker covers memory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "endpoint_harness.h"
#include "test_util.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_logs.h"

namespace {

int count_entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators map more memory as they go, so only the views of
// shared regions are counted there; ASan's leak checker covers the heap.
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif

// Lines of /proc/self/maps: those of files (the views of shared regions among
// them), and anonymous ones. glibc keeps the stacks of ended threads for
// reuse, as many as ran at the same time at the busiest moment so far, so
// the anonymous count may rise by a stack or two (guard and stack, two lines
// each) when the timing of one cycle lets one more thread overlap; a leak
// would grow with every cycle.
struct Maps {
    int files = 0, anonymous = 0;
};
Maps count_maps() {
    std::ifstream in("/proc/self/maps");
    Maps m;
    for (std::string line; std::getline(in, line);) {
        const bool shared_view = line.find("/dev/shm/") != std::string::npos;
        if (k_sanitized && !shared_view) continue;
        if (line.find('/') != std::string::npos || line.find('[') != std::string::npos) ++m.files;
        else ++m.anonymous;
    }
    return m;
}
constexpr int k_stack_slack = 4;

struct Usage {
    int fds, threads;
    Maps maps;
    bool operator==(const Usage &o) const {
        return fds == o.fds && threads == o.threads && maps.files == o.maps.files &&
               maps.anonymous <= o.maps.anonymous + k_stack_slack;
    }
};

std::string maps_text() {
    std::ifstream in("/proc/self/maps");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Threads of the process before any endpoint: the main thread, and a
// sanitizer's own where there is one.
int g_base_threads = 0;

// Waits for the detached threads of endpoints already closed to leave the
// task list: only the base threads and the given number of others remain.
void settle(int others) {
    vt::wait_until([&] { return count_entries("/proc/self/task") == g_base_threads + others; });
}

Usage usage() { return {vt::open_fd_count(), count_entries("/proc/self/task"), count_maps()}; }

std::string show(const Usage &u) {
    return "fds " + std::to_string(u.fds) + ", threads " + std::to_string(u.threads) + ", file maps " +
           std::to_string(u.maps.files) + ", anonymous maps " + std::to_string(u.maps.anonymous);
}

// Objects of this process in /dev/shm (named after its pid) and the region's.
size_t objects_of_ours(const std::string &path) {
    const std::string pid = std::to_string(getpid());
    return vt::shm_entries("SHMEM_" + pid + "_").size() + vt::shm_entries("SHMEM_event" + pid + "_").size() +
           vt::shm_entries(path.substr(1)).size();
}

int quiet_log(int32_t, const char *, va_list) { return 0; }

class Leaks : public ::testing::Test {
  protected:
    void SetUp() override {
        shm_log_set_func(quiet_log, 0, 1, 2);
        // One malloc arena: glibc makes a new one (two more mappings) the
        // first time some threads happen to allocate at the same moment,
        // which can be at any cycle and is no leak.
        mallopt(M_ARENA_MAX, 1);
        if (g_base_threads == 0) g_base_threads = count_entries("/proc/self/task");
    }
    void TearDown() override { shm_log_set_func(nullptr, 0, 1, 2); }

    // One link: a client attaches, both sides see it, the client closes and
    // the server sees it go.
    static void link_once(vt::Recorder &srv, const std::string &path, int i) {
        vt::Recorder cli;
        shm_data cfg = cli.config(path, 16384, 500);
        shm_thread *c = shm_cli_connect(&cfg);
        ASSERT_NE(c, nullptr) << "cycle " << i;
        ASSERT_TRUE(cli.events.expect("connected")) << "cycle " << i;
        ASSERT_TRUE(srv.events.expect("connected")) << "cycle " << i;
        if (i % 7 == 0) { // now and then with bytes left in the rings
            EXPECT_GT(shm_send(c, "leftover", 8), 0);
        }
        ASSERT_EQ(shm_close(c), 0);
        ASSERT_TRUE(srv.events.expect("disconnected")) << "cycle " << i;
    }
};

TEST_F(Leaks, ThousandAttachesAndDetachesLeaveNothing) {
    const std::string path = vt::unique_name("leak");
    vt::Recorder srv;
    shm_data cfg = srv.config(path, 16384);
    shm_thread *s = shm_srv_start(&cfg);
    ASSERT_NE(s, nullptr);
    // Warm up: the first cycles create what is made once per process (the
    // thread stack cache, the logger, the allocator's arenas).
    for (int i = 0; i < 20; ++i) ASSERT_NO_FATAL_FAILURE(link_once(srv, path, i));
    settle(1);
    const Usage before = usage();
    const std::string maps_before = maps_text();
    for (int i = 0; i < 1000; ++i) ASSERT_NO_FATAL_FAILURE(link_once(srv, path, i));
    // Detached threads leave the task list a moment after their last notice.
    vt::wait_until([&] { return usage() == before; });
    EXPECT_TRUE(usage() == before) << show(usage()) << " after, " << show(before) << " before\n"
                                   << maps_before << "\n----\n" << maps_text();
    EXPECT_EQ(shm_srv_stop(s), 0);
    EXPECT_EQ(objects_of_ours(path), 0u);
}

TEST_F(Leaks, ServerStartsAndStopsLeaveNothing) {
    const std::string path = vt::unique_name("leak");
    auto cycle = [&](int i) {
        vt::Recorder srv;
        shm_data cfg = srv.config(path, 16384);
        shm_thread *s = shm_srv_start(&cfg);
        ASSERT_NE(s, nullptr) << "cycle " << i;
        if (i % 2) {
            ASSERT_NO_FATAL_FAILURE(link_once(srv, path, i));
        }
        ASSERT_EQ(shm_srv_stop(s), 0);
    };
    for (int i = 0; i < 10; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i));
    settle(0);
    const Usage before = usage();
    for (int i = 0; i < 200; ++i) ASSERT_NO_FATAL_FAILURE(cycle(i));
    vt::wait_until([&] { return usage() == before; });
    EXPECT_TRUE(usage() == before) << show(usage()) << " after, " << show(before) << " before";
    EXPECT_EQ(objects_of_ours(path), 0u);
}

} // namespace
