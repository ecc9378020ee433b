// Ties between the two processes of a link, on Unix-domain sequenced-packet
// sockets in the user's object folder (see shm/tie.h).
//
// A door is "%door-<escaped hang-up name>" in the folder: "%d" never comes
// out of the escaping of object names, so no object can take its name, and
// the folder's mode keeps every other user from joining it. Sockets are
// reached through "/proc/self/fd/<folder>/...", the folder's checked
// descriptor, never through a path that could lead elsewhere. A door whose
// bind's hang-up mutex has gone (its server died) is swept with the stale
// object files.
//
// Messages: a client's first message is its hang-up name (32 bytes); "B" is
// bye. Anything else a peer sends is read and ignored.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "shm/posix/posix_internal.h"
#include "shm/tie.h"
#include "shm/timing.h"
#include "vexa-port/shm_logs.h"

namespace vexa::tie {

namespace {

using vexa::posix::ForkGuard;

constexpr char k_door_prefix[] = "%door-";
constexpr char k_bye = 'B';
// Connections not yet admitted wait here. One client at a time is the rule;
// the server drains the queue while no client is attached, so strays (or
// a hostile process of the same user) cannot fill it for good.
constexpr int k_backlog = 128;
// How long an accepted connection has to introduce itself (shm/timing.h).
using vexa::timing::k_hello_ns;

// The descriptors of this layer, closed in a forked child. Touched only
// inside a ForkGuard, so a fork never meets the lock held.
pthread_mutex_t g_fds_lock = PTHREAD_MUTEX_INITIALIZER;
std::unordered_set<int> *g_fds = nullptr; // made once, never freed
pthread_once_t g_once = PTHREAD_ONCE_INIT;

void fork_child() noexcept;

void record(int fd) noexcept {
    pthread_mutex_lock(&g_fds_lock);
    try {
        if (!g_fds) g_fds = new std::unordered_set<int>;
        g_fds->insert(fd);
    } catch (...) {
        // Not recorded: only a forked child would keep it open.
    }
    pthread_mutex_unlock(&g_fds_lock);
}

void forget_and_close(int fd) noexcept {
    pthread_mutex_lock(&g_fds_lock);
    if (g_fds) g_fds->erase(fd);
    close(fd);
    pthread_mutex_unlock(&g_fds_lock);
}

std::int64_t now_ns() noexcept { return vexa::posix::monotonic_ns(); }

// Whether the peer's end of a connection has closed (as against an empty
// message waiting).
bool ended(int fd) noexcept {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

int ms_until(std::int64_t deadline_ns) noexcept {
    if (deadline_ns <= 0) return 0;
    const std::int64_t left = deadline_ns - now_ns();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<std::int64_t>((left + 999999) / 1000000, 1 << 30));
}

// The door's file name in the folder; false when it cannot be had.
bool door_file(const char (&name)[32], char (&out)[vexa::posix::k_path_max]) noexcept {
    if (!memchr(name, 0, sizeof name)) return false;
    char escaped[vexa::posix::k_path_max];
    DWORD error = 0;
    if (!vexa::posix::object_path(name, escaped, error)) return false;
    const int n = snprintf(out, sizeof out, "%s%s", k_door_prefix, escaped);
    return n > 0 && static_cast<std::size_t>(n) < sizeof out;
}

// The file name and socket address of the door called name, through the
// folder's descriptor. bad_name for a name no door can have, -errno when the
// address cannot be had.
int door_address(const char (&name)[32], int bad_name, char (&file)[vexa::posix::k_path_max], sockaddr_un &addr,
                 socklen_t &len) noexcept {
    if (!door_file(name, file)) return bad_name;
    DWORD error = 0;
    const int dfd = vexa::posix::object_dir(error);
    if (dfd < 0) return (error & ERROR_ERRNO_BIT) ? -static_cast<int>(error & 0xFFFF) : -EACCES;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const int n = snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", dfd, file);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof addr.sun_path) return -ENAMETOOLONG;
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + static_cast<std::size_t>(n) + 1);
    return 0;
}

int make_socket() noexcept {
    pthread_once(&g_once, [] { pthread_atfork(nullptr, nullptr, fork_child); });
    return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// ---- clients that wait for a door

// One watch of the folder per process, kept while some client waits to
// attach: a thread asleep in poll() that counts the doors opened or touched.
struct DoorWatch {
    std::mutex m;
    std::condition_variable changed;
    std::atomic<std::int64_t> events{0};
    unsigned users = 0; // under g_watch_lock
    int fd = -1;        // inotify
    int wd = -1;        // the folder's watch
    int stop = -1;      // eventfd: the last user has gone
    pthread_t thread{};
    bool running = false;
    bool failed = false; // under m
};
DoorWatch g_watch;
pthread_mutex_t g_watch_lock = PTHREAD_MUTEX_INITIALIZER;

void bump() noexcept {
    {
        std::lock_guard lock(g_watch.m);
        g_watch.events.fetch_add(1, std::memory_order_seq_cst);
    }
    g_watch.changed.notify_all();
}

bool add_watch() noexcept {
    DWORD error = 0;
    const int dfd = vexa::posix::object_dir(error);
    if (dfd < 0) return false;
    char self[40];
    snprintf(self, sizeof self, "/proc/self/fd/%d", dfd);
    g_watch.wd = inotify_add_watch(g_watch.fd, self, IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR);
    return g_watch.wd >= 0;
}

void *watch_folder(void *) {
    alignas(inotify_event) char buf[4096];
    pollfd p[2] = {{g_watch.fd, POLLIN, 0}, {g_watch.stop, POLLIN, 0}};
    for (;;) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents & POLLIN) return nullptr;
        const ssize_t n = read(g_watch.fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        bool door = false, lost = false;
        for (ssize_t off = 0; off < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof *e + e->len);
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF)) lost = true;
            if (e->len && strncmp(e->name, k_door_prefix, sizeof k_door_prefix - 1) == 0) door = true;
        }
        // The folder removed (and perhaps made again), or events dropped:
        // everybody looks again, and the folder that is there now is watched.
        if (lost && (inotify_rm_watch(g_watch.fd, g_watch.wd), !add_watch())) break;
        if (door || lost) bump();
    }
    {
        std::lock_guard lock(g_watch.m);
        g_watch.failed = true;
    }
    g_watch.changed.notify_all();
    return nullptr;
}

// Starts the watch for its first user. Under g_watch_lock.
void start_watch() noexcept {
    ForkGuard guard;
    g_watch.fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (g_watch.fd >= 0) record(g_watch.fd);
    g_watch.stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_watch.stop >= 0) record(g_watch.stop);
    g_watch.running = g_watch.fd >= 0 && g_watch.stop >= 0 && add_watch() &&
                      pthread_create(&g_watch.thread, nullptr, watch_folder, nullptr) == 0;
    std::lock_guard lock(g_watch.m);
    g_watch.failed = !g_watch.running;
}

// Ends the watch with its last user. Under g_watch_lock.
void stop_watch() noexcept {
    if (g_watch.running) {
        signal_wake(g_watch.stop);
        pthread_join(g_watch.thread, nullptr);
    }
    g_watch.running = false;
    ForkGuard guard;
    for (int *fd : {&g_watch.fd, &g_watch.stop})
        if (*fd >= 0) {
            forget_and_close(*fd);
            *fd = -1;
        }
}

void fork_child() noexcept {
    // The child has none of the parent's threads: it watches afresh when a
    // client of its own first waits.
    pthread_mutex_init(&g_fds_lock, nullptr);
    if (g_fds) {
        for (const int fd : *g_fds)
            close(fd);
        g_fds->clear();
    }
    // The watch's thread is the parent's: the child watches afresh when a
    // client of its own first waits (its descriptors are closed above).
    pthread_mutex_init(&g_watch_lock, nullptr);
    // A parent's thread may have held the watch's mutex, or waited on its
    // condition, at the fork: the child's are made afresh.
    new (&g_watch.m) std::mutex;
    new (&g_watch.changed) std::condition_variable;
    g_watch.users = 0;
    g_watch.running = false;
    g_watch.fd = g_watch.stop = -1;
}

} // namespace

int open_door(const char (&name)[32], DoorFile &door) noexcept {
    char file[vexa::posix::k_path_max];
    sockaddr_un addr;
    socklen_t len = 0;
    if (const int e = door_address(name, -ENAMETOOLONG, file, addr, len)) return e;
    ForkGuard guard;
    const int fd = make_socket();
    if (fd < 0) return -errno;
    // A leftover under the same name is a dead server's: a living one would
    // still hold the hang-up mutex of that name, which was just made afresh.
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        int e = errno;
        if (e == EADDRINUSE) {
            DWORD error = 0;
            const int dfd = vexa::posix::object_dir(error);
            struct stat st {};
            if (dfd >= 0 && fstatat(dfd, file, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode))
                unlinkat(dfd, file, 0);
            e = bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 ? 0 : errno;
        }
        if (e != 0) {
            close(fd);
            return -e;
        }
    }
    if (listen(fd, k_backlog) != 0) {
        const int e = errno;
        close(fd);
        DWORD error = 0;
        if (const int dfd = vexa::posix::object_dir(error); dfd >= 0) unlinkat(dfd, file, 0);
        return -e;
    }
    // Bound a moment ago in our private folder: what the name leads to now
    // is this door's file.
    DWORD error = 0;
    const int dfd = vexa::posix::object_dir(error);
    struct stat st {};
    if (dfd < 0 || fstatat(dfd, file, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int e = dfd < 0 ? EACCES : errno;
        close(fd);
        return -e;
    }
    door.dev = st.st_dev;
    door.ino = st.st_ino;
    record(fd);
    return fd;
}

bool door_named(const DoorFile &door, const char (&name)[32]) noexcept {
    char file[vexa::posix::k_path_max];
    if (door.ino == 0 || !door_file(name, file)) return false;
    DWORD error = 0;
    const int dfd = vexa::posix::object_dir(error);
    struct stat named {};
    return dfd >= 0 && fstatat(dfd, file, &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(named.st_mode) &&
           named.st_dev == door.dev && named.st_ino == door.ino;
}

void close_door(int fd, const DoorFile &door, const char (&name)[32]) noexcept {
    if (fd < 0) return;
    char file[vexa::posix::k_path_max];
    if (door_named(door, name) && door_file(name, file)) {
        DWORD error = 0;
        if (const int dfd = vexa::posix::object_dir(error); dfd >= 0) unlinkat(dfd, file, 0);
    }
    ForkGuard guard;
    forget_and_close(fd);
}

void touch_door(const char (&name)[32]) noexcept {
    char file[vexa::posix::k_path_max];
    DWORD error = 0;
    const int dfd = vexa::posix::object_dir(error);
    if (dfd >= 0 && door_file(name, file)) utimensat(dfd, file, nullptr, AT_SYMLINK_NOFOLLOW);
}

int join(const char (&door)[32], const char (&hello)[32]) noexcept {
    char file[vexa::posix::k_path_max];
    sockaddr_un addr;
    socklen_t len = 0;
    if (const int e = door_address(door, -EPROTO, file, addr, len)) return e;
    ForkGuard guard;
    const int fd = make_socket();
    if (fd < 0) return -errno;
    // A full backlog (a server that is stopped) fails with EAGAIN rather
    // than blocking the attach.
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        send(fd, hello, sizeof hello, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(sizeof hello)) {
        const int e = errno;
        close(fd);
        return -e;
    }
    record(fd);
    return fd;
}

int admit_next(int door, int wake, std::int64_t deadline_ns, char (&hello)[32]) noexcept {
    pollfd p[2] = {{door, POLLIN, 0}, {wake, POLLIN, 0}};
    for (;;) {
        const int n = poll(p, wake >= 0 ? 2 : 1, deadline_ns == 0 ? 0 : ms_until(deadline_ns));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (wake >= 0 && (p[1].revents & POLLIN)) return -EINTR;
        if (n == 0) return deadline_ns == 0 ? -EAGAIN : -ETIMEDOUT;
        if (p[0].revents & (POLLERR | POLLNVAL)) return -EBADF;
        break;
    }
    int fd = -1;
    {
        ForkGuard guard;
        fd = accept4(door, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return errno == EWOULDBLOCK ? -EAGAIN : -errno;
        record(fd);
    }
    memset(hello, 0, sizeof hello);
    // Its name comes with the connection, or a moment later (deadline 0:
    // not waited for).
    pollfd h[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    const std::int64_t until = deadline_ns == 0 ? 0 : now_ns() + k_hello_ns;
    for (;;) {
        if (read_hello(fd, hello) != Hello::later) break;
        if (until == 0 || poll(h, wake >= 0 ? 2 : 1, ms_until(until)) <= 0) break;
        if (wake >= 0 && (h[1].revents & POLLIN)) break;
    }
    return fd;
}

bool peer_closed(int fd) noexcept { return ended(fd); }

Hello read_hello(int fd, char (&hello)[32]) noexcept {
    for (int i = 0; i < 64; ++i) {
        char buf[sizeof hello + 1];
        const ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(sizeof hello) && memchr(buf, 0, sizeof hello)) {
            memcpy(hello, buf, sizeof hello);
            return Hello::named;
        }
        if (got < 0) return errno == EAGAIN || errno == EINTR ? Hello::later : Hello::none;
        if (got == 0 && ended(fd)) return Hello::none;
        if (got > 0) return Hello::none; // not a name
        // An empty message: no name yet.
    }
    return Hello::none;
}

End watch(int fd, int wake, int &error) noexcept {
    pollfd p[2] = {{fd, POLLIN | POLLRDHUP, 0}, {wake, POLLIN, 0}};
    for (;;) {
        const int n = poll(p, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return End::failed;
        }
        if (p[1].revents & POLLIN) return End::woken;
        if (p[0].revents & POLLNVAL) {
            error = EBADF;
            return End::failed;
        }
        char buf[64];
        const ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got > 0 && buf[0] == k_bye) return End::bye;
        // A sequenced-packet socket carries empty messages, which read like
        // the end: only the kernel's hang-up says the peer's end has closed.
        if (got == 0 && ended(fd)) return End::gone;
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            if (errno == ECONNRESET || errno == EPIPE) return End::gone;
            error = errno;
            return End::failed;
        }
        // Anything else the peer sent is no message of ours: read and dropped.
    }
}

bool said_bye(int fd) noexcept {
    // Bounded: a peer that keeps sending cannot hold this look up.
    for (int i = 0; i < 256; ++i) {
        char buf[64];
        const ssize_t got = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got > 0 && buf[0] == k_bye) return true;
        if (got < 0 || (got == 0 && ended(fd))) return false;
    }
    return false;
}

void say_bye(int fd) noexcept {
    if (fd >= 0) send(fd, &k_bye, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void close_tie(int fd) noexcept {
    if (fd < 0) return;
    ForkGuard guard;
    forget_and_close(fd);
}

int dup(int fd) noexcept {
    ForkGuard guard;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return -errno;
    record(copy);
    return copy;
}

int make_wake() noexcept {
    ForkGuard guard;
    pthread_once(&g_once, [] { pthread_atfork(nullptr, nullptr, fork_child); });
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -errno;
    record(fd);
    return fd;
}

void signal_wake(int fd) noexcept {
    if (fd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
}

DoorWaiter::DoorWaiter() noexcept {
    pthread_once(&g_once, [] { pthread_atfork(nullptr, nullptr, fork_child); });
    pthread_mutex_lock(&g_watch_lock);
    if (g_watch.users++ == 0) start_watch();
    pthread_mutex_unlock(&g_watch_lock);
}

DoorWaiter::~DoorWaiter() {
    pthread_mutex_lock(&g_watch_lock);
    if (--g_watch.users == 0) stop_watch();
    pthread_mutex_unlock(&g_watch_lock);
}

std::int64_t DoorWaiter::events() const noexcept {
    std::lock_guard lock(g_watch.m);
    return g_watch.failed ? -1 : g_watch.events.load(std::memory_order_seq_cst);
}

void DoorWaiter::wait(std::int64_t seen, std::int64_t timeout_ns, bool (*interrupted)(void *),
                      void *arg) const noexcept {
    std::unique_lock lock(g_watch.m);
    auto done = [&] {
        return g_watch.failed || g_watch.events.load(std::memory_order_seq_cst) != seen ||
               (interrupted && interrupted(arg));
    };
    g_watch.changed.wait_for(lock, std::chrono::nanoseconds(timeout_ns), done);
}

void poke_waiters() noexcept {
    { std::lock_guard lock(g_watch.m); }
    g_watch.changed.notify_all();
}

} // namespace vexa::tie
