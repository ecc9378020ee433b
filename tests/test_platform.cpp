// The platform layer's handles, names, lifetime, regions, security and the
// shmt_* mapping layer on top. Cross-process behaviour runs against real
// child processes (the agent role below).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

#include "internals.h"
#include "test_platform.h"
#include "vexa-port/shm_impl.h"

using vtp::Agent;
using vtp::as_handle;
using vtp::hex;
using vtp::listed;

// Commands: cm/om/ce/oe NAME (create/open mutex/event), cr NAME SIZE, or NAME
// (regions), map H, wait H MS, rel H, set H, close H -> "result lasterror";
// poke ADDR VALUE, peek ADDR (a 64-bit word); drop (become uid 65534), dropto
// UID; rawopen PATH, plant PATH, plantdir PATH, plantlink PATH, plantfifo
// PATH, remove PATH -> errno of a plain open / exclusive create / mkdir /
// symlink / mkfifo / remove.
VT_CHILD_ROLE(platform_agent) {
    std::string line;
    while (vt::child_recv(line, 60000)) {
        std::istringstream in(line);
        std::string cmd, a, b;
        in >> cmd >> a >> b;
        const std::uint64_t na = strtoull(a.c_str(), nullptr, 16), nb = strtoull(b.c_str(), nullptr, 16);
        const HANDLE h = as_handle(na);
        auto reply = [](std::uint64_t x, std::uint64_t y) { vt::child_send(hex(x) + " " + hex(y)); };
        auto reply_ptr = [&](const void *p) { reply(reinterpret_cast<std::uintptr_t>(p), GetLastError()); };
        if (cmd == "exit") return 0;
        if (cmd == "cm") reply_ptr(CreateMutexA(nullptr, FALSE, a.c_str()));
        else if (cmd == "om") reply_ptr(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, a.c_str()));
        else if (cmd == "ce") reply_ptr(CreateEventA(nullptr, FALSE, FALSE, a.c_str()));
        else if (cmd == "oe") reply_ptr(OpenEventA(EVENT_ALL_ACCESS, TRUE, a.c_str()));
        else if (cmd == "cr") reply_ptr(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(nb), a.c_str()));
        else if (cmd == "or") reply_ptr(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, a.c_str()));
        else if (cmd == "map") reply_ptr(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        else if (cmd == "wait") { const DWORD r = WaitForSingleObject(h, static_cast<DWORD>(nb)); reply(r, GetLastError()); }
        else if (cmd == "rel") { const BOOL r = ReleaseMutex(h); reply(static_cast<std::uint64_t>(r), GetLastError()); }
        else if (cmd == "set") { const BOOL r = SetEvent(h); reply(static_cast<std::uint64_t>(r), GetLastError()); }
        else if (cmd == "close") { const BOOL r = CloseHandle(h); reply(static_cast<std::uint64_t>(r), GetLastError()); }
        else if (cmd == "poke") { *reinterpret_cast<std::uint64_t *>(na) = nb; reply(1, 0); }
        else if (cmd == "peek") reply(*reinterpret_cast<std::uint64_t *>(na), 0);
        else if (cmd == "drop" || cmd == "dropto") {
            const uid_t id = cmd == "drop" ? 65534 : static_cast<uid_t>(std::stoul(a));
            const bool ok = setgid(id) == 0 && setuid(id) == 0;
            reply(ok, errno);
        } else if (cmd == "plantdir" || cmd == "plantlink" || cmd == "plantfifo" || cmd == "remove") {
            const int r = cmd == "plantdir"    ? mkdir(a.c_str(), 0700)
                          : cmd == "plantlink" ? symlink("/tmp", a.c_str())
                          : cmd == "plantfifo" ? mkfifo(a.c_str(), 0600)
                                               : remove(a.c_str());
            reply(static_cast<std::uint64_t>(r == 0 ? 0 : errno), 0);
        }
        else if (cmd == "rawopen" || cmd == "plant") {
            const int fd = cmd == "plant" ? open(a.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600) : open(a.c_str(), O_RDWR);
            const int e = fd < 0 ? errno : 0;
            if (fd >= 0 && cmd == "plant" && ftruncate(fd, 8192) != 0) abort();
            if (fd >= 0) close(fd);
            reply(static_cast<std::uint64_t>(e), 0);
        } else {
            reply(~0ull, ~0ull);
        }
    }
    return 0;
}

namespace {

// Every call that takes a handle refuses h with ERROR_INVALID_HANDLE.
void expect_refused(HANDLE h, const char *what) {
    SCOPED_TRACE(what);
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

std::uintptr_t bits(HANDLE h) { return reinterpret_cast<std::uintptr_t>(h); }

HANDLE new_region(const std::string &name, DWORD size) {
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
}

} // namespace

TEST(PlatformHandles, ValuesThatAreNotOpenHandlesFailAndReachNothing) {
    const std::string name = vt::unique_name("hnd");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE region = new_region(vt::unique_name("hnd"), 4096);
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(region, nullptr);
    const std::uintptr_t v = bits(mutex);
    expect_refused(nullptr, "null");
    expect_refused(INVALID_HANDLE_VALUE, "all bits");
    expect_refused(as_handle(1), "small integer");
    expect_refused(as_handle(v ^ (std::uintptr_t{1} << 63)), "other salt");
    expect_refused(as_handle(v + (std::uintptr_t{1} << 16)), "next generation");
    expect_refused(as_handle((v & ~std::uintptr_t{0xFFFF}) | 0xFFFF), "slot past the table");

    // A region is no mutex or event, and a mutex maps nothing.
    EXPECT_EQ(WaitForSingleObject(region, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseMutex(region));
    EXPECT_EQ(MapViewOfFile(mutex, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // A closed value stays dead when its slot is taken again at once.
    ASSERT_TRUE(CloseHandle(mutex));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(bits(event) & 0xFFFF, v & 0xFFFF) << "the slot was expected to be reused";
    EXPECT_NE(event, mutex);
    expect_refused(mutex, "closed");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the stale SetEvent must not have reached it";
    EXPECT_FALSE(listed(name));

    // Values are never handed out twice, although slots are recycled.
    std::set<std::uintptr_t> seen;
    for (int i = 0; i < 3000; ++i) {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(seen.insert(bits(h)).second);
        ASSERT_TRUE(CloseHandle(h));
    }

    // The table grows as handles are needed: more are open at once than its
    // first chunk holds, each still reaching its own object.
    std::vector<HANDLE> many;
    for (int i = 0; i < 10000; ++i) {
        many.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        ASSERT_NE(many.back(), nullptr) << "handle " << i;
    }
    ASSERT_TRUE(SetEvent(many.back()));
    EXPECT_EQ(WaitForSingleObject(many.front(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(many.back(), 0), WAIT_OBJECT_0);
    for (HANDLE h : many) ASSERT_TRUE(CloseHandle(h));

    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(region));
}

TEST(PlatformHandles, AnotherProcessesValueFailsHere) {
    const std::string name = vt::unique_name("foreign");
    // Occupy the low slots here, so the child's value meets a live slot.
    HANDLE mine[4];
    for (HANDLE &h : mine) ASSERT_NE(h = CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    Agent agent;
    const auto created = agent.ask("cm " + name);
    ASSERT_NE(created[0], 0u);
    expect_refused(as_handle(created[0]), "the child's handle");
    EXPECT_EQ(agent.ask("wait " + hex(created[0]) + " 0")[0], WAIT_OBJECT_0) << "still the child's own";
    for (HANDLE h : mine) EXPECT_TRUE(CloseHandle(h));
}

TEST(PlatformHandles, ThreadsCreateUseAndCloseConcurrently) {
    // Closing a handle while another thread waits on it: the wait goes on
    // with the object, and the handle is dead afterwards.
    const std::string name = vt::unique_name("conc");
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    HANDLE other = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    std::atomic<DWORD> first{~0u}, second{~0u};
    std::thread waiter([&] {
        first = WaitForSingleObject(event, 30000);
        second = WaitForSingleObject(event, 0);
    });
    ASSERT_TRUE(vt::wait_until([&] { return vexa::posix::event_waiters(other) == 1; }));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(SetEvent(other));
    waiter.join();
    EXPECT_EQ(first, WAIT_OBJECT_0);
    EXPECT_EQ(second, WAIT_FAILED);

    // Many threads making, opening, using and closing objects under a few
    // shared names at once.
    std::vector<std::string> names{vt::unique_name("conc"), vt::unique_name("conc"), vt::unique_name("conc")};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const std::string &n = names[static_cast<size_t>(i + t) % names.size()];
                HANDLE m = (i & 1) ? CreateMutexA(nullptr, FALSE, n.c_str()) : OpenMutexA(MUTEX_ALL_ACCESS, FALSE, n.c_str());
                if (!m) {
                    if (GetLastError() != ERROR_FILE_NOT_FOUND) ++failures;
                    continue;
                }
                if (WaitForSingleObject(m, 10000) != WAIT_OBJECT_0 || !ReleaseMutex(m) || !CloseHandle(m)) ++failures;
            }
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(CloseHandle(other));
    for (const auto &n : names) EXPECT_FALSE(listed(n));
    EXPECT_FALSE(listed(name));
}

TEST(PlatformLastError, CausesArePerThreadAndTellApart) {
    const std::string name = vt::unique_name("err");
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::thread([] {
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        SetLastError(ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << "another thread's error leaked here";

    HANDLE a = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    // The initial ownership asked of an existing mutex is not given...
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(b));
    }).join();
    // ...and both handles reach the same mutex.
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(b));
        EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    }).join();
    EXPECT_TRUE(ReleaseMutex(a));

    // A name held by another kind of object.
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Other failures carry an errno that the mapping recovers, and that can
    // never pass for one of the causes above.
    EXPECT_EQ(new_region(vt::unique_name("err"), 0), nullptr);
    EXPECT_EQ(map_error(), EINVAL);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(300, 'x').c_str()), nullptr);
    EXPECT_EQ(map_error(), ENAMETOOLONG);
    for (int e : {ENOENT, EACCES, EBADF}) EXPECT_EQ(error_from_errno(e) & 0xFFFF, static_cast<DWORD>(e));
    EXPECT_NE(error_from_errno(ENOENT), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
}

TEST(PlatformNames, EscapedDeterministically) {
    EXPECT_EQ(vtp::file_of("Global\\SHMEM_4242_0_7"), "Global%5CSHMEM_4242_0_7");
    EXPECT_EQ(vtp::file_of("/vexa-port.Port.0"), "%2Fvexa-port.Port.0");
    EXPECT_EQ(vtp::file_of("../a b"), "%2E.%2Fa%20b");
    EXPECT_EQ(vtp::file_of("."), "%2E");
    EXPECT_NE(vtp::file_of("a/b"), vtp::file_of("a%2Fb"));
    EXPECT_EQ(vtp::file_of("a%2Fb"), "a%252Fb");
    const size_t room = NAME_MAX - vtp::file_of("").size();
    EXPECT_EQ(vtp::file_of(std::string(room, 'n')).size(), size_t{NAME_MAX});
    EXPECT_EQ(vtp::file_of(std::string(room + 1, 'n')), "");
    EXPECT_EQ(vtp::file_of(std::string(room / 3 + 1, '/')), "");
}

TEST(PlatformNames, SameNameReachesSameObjectInAnotherProcess) {
    const std::string region = vt::unique_name("same"), mutex = vt::unique_name("same"), free_mutex = vt::unique_name("same");
    HANDLE r = new_region(region, 4096);
    auto *view = static_cast<std::uint64_t *>(MapViewOfFile(r, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    view[0] = 0x1234;
    HANDLE m = CreateMutexA(nullptr, TRUE, mutex.c_str());

    Agent agent;
    const auto rh = agent.ask("or " + region);
    const auto addr = agent.ask("map " + hex(rh[0]));
    ASSERT_NE(addr[0], 0u);
    EXPECT_EQ(agent.ask("peek " + hex(addr[0]))[0], 0x1234u);
    agent.ask("poke " + hex(addr[0]) + " 5678");
    EXPECT_EQ(view[0], 0x5678u);
    const auto mh = agent.ask("om " + mutex);
    EXPECT_EQ(agent.ask("wait " + hex(mh[0]) + " 0")[0], WAIT_TIMEOUT) << "we own it";
    const auto fh = agent.ask("cm " + free_mutex);
    EXPECT_EQ(fh[1], ERROR_SUCCESS) << "a distinct name is a distinct, new object";
    EXPECT_EQ(agent.ask("wait " + hex(fh[0]) + " 0")[0], WAIT_OBJECT_0);
    EXPECT_EQ(agent.ask("or " + free_mutex + "x")[1], ERROR_FILE_NOT_FOUND);

    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(r));
    EXPECT_TRUE(CloseHandle(m));
}

TEST(PlatformLifetime, NameGoesWithTheLastHolder) {
    const std::string mutex = vt::unique_name("life"), region = vt::unique_name("life"), event = vt::unique_name("life");
    HANDLE a = CreateMutexA(nullptr, FALSE, mutex.c_str());
    HANDLE b = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutex.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(listed(mutex));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_FALSE(listed(mutex));
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutex.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // A view holds its region after the handle is closed.
    HANDLE r = new_region(region, 8192);
    void *view = MapViewOfFile(r, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    EXPECT_TRUE(CloseHandle(r));
    HANDLE again = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, region.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(listed(region));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(listed(region));

    // Across processes: the creator leaving does not take the object away.
    Agent agent;
    const auto created = agent.ask("ce " + event);
    HANDLE e = OpenEventA(EVENT_ALL_ACCESS, FALSE, event.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(agent.ask("close " + hex(created[0]))[0], 1u);
    EXPECT_TRUE(listed(event));
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_FALSE(listed(event));
}

VT_CHILD_ROLE(platform_churn) {
    vt::child_send("stray " + std::to_string(vtp::churn(argv[0], atoi(argv[1]))));
    return 0;
}

// Two processes making, opening and closing one name as fast as they can:
// no open may land on an object whose name its last holder has just removed.
TEST(PlatformLifetime, OpensNeverLandOnARemovedObject) {
    const std::string name = vt::unique_name("churn");
    vt::Child other = vt::Child::spawn("platform_churn", {name, "3000"});
    const int stray = vtp::churn(name, 3000);
    std::string line;
    ASSERT_TRUE(other.recv(line, 60000));
    EXPECT_EQ(other.wait(), 0);
    EXPECT_EQ(stray, 0);
    EXPECT_EQ(line, "stray 0");
    EXPECT_FALSE(listed(name));
}

TEST(PlatformLifetime, KilledHoldersObjectsAreReclaimed) {
    const std::string mutex = vt::unique_name("kill"), event = vt::unique_name("kill"), region = vt::unique_name("kill");
    {
        Agent agent;
        for (const std::string &cmd : {"cm " + mutex, "ce " + event, "cr " + region + " 1000"})
            ASSERT_NE(agent.ask(cmd)[0], 0u);
        agent.ask("map " + hex(agent.ask("or " + region)[0]));
        agent.child.kill(SIGKILL);
        agent.child.wait();
    }
    // The next process to touch a name finds it free...
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutex.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(listed(mutex));
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, event.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a dead process's event must not count as existing";
    EXPECT_TRUE(CloseHandle(e));
    // ...and names nobody touches again go with the next creation.
    EXPECT_FALSE(listed(region));
}

TEST(PlatformLifetime, ForkedChildKeepsNothingOfOurs) {
    const std::string mutex = vt::unique_name("fork"), region = vt::unique_name("fork");
    HANDLE m = CreateMutexA(nullptr, FALSE, mutex.c_str());
    HANDLE r = new_region(region, 4096);
    void *view = MapViewOfFile(r, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    int up[2], down[2];
    ASSERT_EQ(pipe(up), 0);
    ASSERT_EQ(pipe(down), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(down[1]);
        // The inherited values are not handles of this process.
        char ok = (!CloseHandle(m) && GetLastError() == ERROR_INVALID_HANDLE && !UnmapViewOfFile(view) &&
                   WaitForSingleObject(r, 0) == WAIT_FAILED) ? 'y' : 'n';
        if (write(up[1], &ok, 1) != 1 || read(down[0], &ok, 1) < 0) _exit(2);
        _exit(0);
    }
    char got = 0;
    ASSERT_EQ(read(up[0], &got, 1), 1);
    EXPECT_EQ(got, 'y');
    // With the child still alive, our last close removes the names.
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(r));
    EXPECT_FALSE(listed(mutex));
    EXPECT_FALSE(listed(region));
    close(down[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    for (int fd : {up[0], up[1], down[0]}) close(fd);
}

TEST(PlatformRegions, SizedZeroFilledReservedAndBounded) {
    const std::string name = vt::unique_name("reg");
    // Only the low 32 bits of a size count.
    HANDLE r = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8192, name.c_str());
    ASSERT_NE(r, nullptr);
    struct stat st {};
    ASSERT_EQ(stat(vtp::path_of(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_GE(st.st_blocks * 512, 8192 + 4096) << "the pages are reserved at creation";
    auto *view = static_cast<unsigned char *>(MapViewOfFile(r, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(view[i], 0) << i;
    view[8191] = 7;

    // Views: never past the end; all share the same bytes.
    EXPECT_EQ(MapViewOfFile(r, FILE_MAP_ALL_ACCESS, 0, 0, 8193), nullptr);
    EXPECT_EQ(map_error(), EINVAL);
    auto *part = static_cast<unsigned char *>(MapViewOfFile(r, FILE_MAP_ALL_ACCESS, 0, 4096, 4096));
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part[4095], 7);

    // An existing region keeps its size.
    HANDLE bigger = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, name.c_str());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(MapViewOfFile(bigger, FILE_MAP_ALL_ACCESS, 0, 0, 8193), nullptr);

    EXPECT_FALSE(UnmapViewOfFile(view + 1));
    EXPECT_EQ(map_error(), EINVAL);
    EXPECT_TRUE(UnmapViewOfFile(part));
    EXPECT_FALSE(UnmapViewOfFile(part));
    EXPECT_TRUE(CloseHandle(r));
    EXPECT_TRUE(CloseHandle(bigger));
    EXPECT_EQ(view[8191], 7) << "a view outlives the handles";
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(listed(name));
}

TEST(PlatformRegions, FullStorageFailsTheCreateCleanly) {
    struct statvfs fs {};
    ASSERT_EQ(statvfs("/dev/shm", &fs), 0);
    const std::uint64_t total = std::uint64_t{fs.f_blocks} * fs.f_frsize;
    if (total == 0 || total >= (std::uint64_t{1} << 46)) GTEST_SKIP() << "/dev/shm has no size limit to run into";
    const std::string name = vt::unique_name("full");
    const auto high = static_cast<DWORD>((2 * total) >> 32) + 1;
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, high, 0, name.c_str()), nullptr);
    EXPECT_EQ(map_error(), ENOSPC);
    EXPECT_FALSE(listed(name));
}

TEST(PlatformShmt, ReportsAsTheChannelExpects) {
    const std::string name = vt::unique_name("shmt");
    shm_log_set_debug(1);
    vt::StdoutCapture out;
    EXPECT_EQ(shmt_open(name.c_str(), 2, 0), shmt_invalid_fd());
    EXPECT_EQ(shmt_errno(), 2);
    const std::string quiet = out.finish();
    shm_log_set_debug(0);
    EXPECT_EQ(quiet.find("error opening"), std::string::npos) << "a missing region is silent";
    EXPECT_NE(quiet.find("[DBG] map_error 2 -> 2\n"), std::string::npos) << quiet;

    void *h = shmt_open(name.c_str(), 0x502, (std::size_t{1} << 32) + 4096);
    ASSERT_NE(h, shmt_invalid_fd());
    void *again = shmt_open(name.c_str(), 0x502, 4096);
    EXPECT_NE(again, shmt_invalid_fd());
    void *addr = nullptr;
    EXPECT_EQ(shmt_map(h, 4097, &addr), -1) << "the region is 4096 bytes, the low half of the size";
    EXPECT_EQ(shmt_map(h, 4096, &addr), 0);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(shmt_unlink(name.c_str()), 0);
    EXPECT_EQ(shmt_unlink("/never-made"), 0);
    void *opened = shmt_open(name.c_str(), 2, 0);
    EXPECT_NE(opened, shmt_invalid_fd()) << "unlink takes nothing away";

    EXPECT_EQ(shmt_close(again), 0);
    EXPECT_EQ(shmt_close(again), -1);
    EXPECT_EQ(shmt_errno(), EBADF);
    void *none = &addr;
    EXPECT_EQ(shmt_map(again, 4096, &none), -1);
    EXPECT_EQ(none, nullptr);
    none = &addr;
    EXPECT_EQ(shmt_map(shmt_invalid_fd(), 4096, &none), -1);
    EXPECT_EQ(none, nullptr);

    // Any other cause is logged with its raw code and stays readable.
    vt::StdoutCapture err;
    const std::string longname(300, 'n');
    EXPECT_EQ(shmt_open(longname.c_str(), 2, 0), nullptr);
    const std::string text = err.finish();
    EXPECT_NE(text.find("[ERR] error opening '" + longname + "' (" + std::to_string(error_from_errno(ENAMETOOLONG)) + ")\n"),
              std::string::npos) << text;
    EXPECT_EQ(shmt_errno(), ENAMETOOLONG);
    for (auto [code, mapped] : {std::pair{5u, 13}, {183u, 17}, {87u, 87}}) {
        SetLastError(code);
        EXPECT_EQ(shmt_errno(), mapped);
    }

    EXPECT_EQ(shmt_unmap(addr, 4096), 0);
    EXPECT_EQ(shmt_unmap(addr, 4096), -1);
    EXPECT_EQ(shmt_close(opened), 0);
    EXPECT_EQ(shmt_close(h), 0);
    EXPECT_FALSE(listed(name));
}

TEST(PlatformSecurity, ObjectsAreOwnerOnlyWhateverTheUmask) {
    const std::string name = vt::unique_name("sec");
    const mode_t old = umask(0);
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
    umask(old);
    ASSERT_NE(m, nullptr);
    const std::string path = vtp::path_of(name);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    // Writable by the group: not trusted, neither for an open nor a create.
    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_FALSE(listed(name));
}

TEST(PlatformSecurity, AnotherUserCanNeitherReachNorPlant) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a child under another user id";
    const std::string ours = vt::unique_name("uid"), planted = vt::unique_name("uid");
    HANDLE m = CreateMutexA(nullptr, FALSE, ours.c_str());
    ASSERT_NE(m, nullptr);
    struct stat st {};
    ASSERT_EQ(lstat(vtp::object_dir_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700) << "a private directory";
    {
        Agent other;
        ASSERT_EQ(other.ask("drop")[0], 1u);
        EXPECT_EQ(other.ask("rawopen " + vtp::path_of(ours))[0], static_cast<std::uint64_t>(EACCES));
        EXPECT_EQ(other.ask("om " + ours)[1], ERROR_FILE_NOT_FOUND) << "each user has names of its own";
        EXPECT_EQ(other.ask("plant " + vtp::path_of(planted))[0], static_cast<std::uint64_t>(EACCES))
            << "nothing can be planted among our objects";
    }
    EXPECT_TRUE(CloseHandle(m));
    rmdir(vtp::object_dir_path(65534).c_str());

    // A user whose directory another user has squatted, in each way a name
    // can be taken: every call fails at once with access denied (and an
    // error line), and works again once the squatter has removed it.
    const uid_t victim_uid = 65533;
    const std::string dir = vtp::object_dir_path(victim_uid);
    rmdir(dir.c_str());
    Agent squatter;
    ASSERT_EQ(squatter.ask("drop")[0], 1u);
    for (const char *how : {"plant", "plantdir", "plantlink", "plantfifo"}) {
        SCOPED_TRACE(how);
        Agent victim;
        ASSERT_EQ(victim.ask("dropto " + std::to_string(victim_uid))[0], 1u);
        ASSERT_EQ(squatter.ask(std::string(how) + " " + dir)[0], 0u);
        EXPECT_EQ(victim.ask("cm " + planted)[1], ERROR_ACCESS_DENIED);
        EXPECT_EQ(victim.ask("or " + planted)[1], ERROR_ACCESS_DENIED);
        ASSERT_EQ(squatter.ask("remove " + dir)[0], 0u);
        const auto made = victim.ask("cm " + planted);
        EXPECT_NE(made[0], 0u) << "service resumes once the squatter is gone";
        EXPECT_EQ(victim.ask("close " + hex(made[0]))[0], 1u);
        ASSERT_EQ(rmdir(dir.c_str()), 0) << "and nothing of the victim's was left in it";
    }
}
