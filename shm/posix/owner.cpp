// Who owns a mutex, and whether that owner still lives.
//
// A mutex's lock word names its owner by a 30-bit id: the owning process's
// token (19 bits) and the owning thread's slot in that process (11 bits).
// Nothing in the word is an address or a kernel thread id, so it means the
// same in every process and every PID namespace that shares the objects, and
// a word written by anybody at all can only ever name an owner, never make
// us touch memory.
//
// A process's token is the name of its liveness file, "%live-<token>" in the
// user's object directory, which the process holds with a shared
// flock for as long as it lives: the kernel drops the lock when the process
// dies, in whatever namespace, and anybody who can then take the lock
// exclusively knows the owner is gone. The file is made complete and locked
// under no name and then linked, so it is never seen unlocked while its
// process lives; "%l" cannot come out of the escaping of object names, so no
// object can take its name. A dead process's file is swept like any stale
// object file.
//
// A thread's slot is taken when it first takes a mutex and given back when
// it ends; before that, every mutex the thread still owns is released as
// abandoned, so the next taker learns of the death as with a dead process.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "shm/posix/posix_internal.h"

namespace vexa::posix {

namespace {

constexpr std::uint32_t k_slot_bits = 11;
constexpr std::uint32_t k_slots = 1u << k_slot_bits;
constexpr std::uint32_t k_token_mask = (1u << 19) - 1;
static_assert((k_token_mask << k_slot_bits | (k_slots - 1)) == k_lock_owner);

pthread_mutex_t g_owner_lock = PTHREAD_MUTEX_INITIALIZER;
// Set while this thread holds g_owner_lock around a look at the object
// directory, which may then republish the liveness file (and must not take
// the lock again).
thread_local bool t_owner_locked = false;
std::uint32_t g_token = 0; // 0 until this process has a liveness file
int g_live_fd = -1;
bool g_slot_used[k_slots];

void live_path(std::uint32_t token, char (&out)[64]) {
    snprintf(out, sizeof out, "%%live-%05x", static_cast<unsigned>(token));
}

// Makes this process's liveness file under a fresh token. Called with the
// owner lock held.
bool make_token() {
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::uint32_t token = 0;
        if (getrandom(&token, sizeof token, 0) != sizeof token) token = static_cast<std::uint32_t>(getpid()) + attempt;
        token &= k_token_mask;
        if (token == 0) continue;
        DWORD error = 0;
        const int dfd = object_dir(error);
        if (dfd < 0) return false;
        const int fd = openat(dfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        if (flock(fd, LOCK_SH) != 0) {
            close(fd);
            return false;
        }
        char self[32], path[64];
        snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        live_path(token, path);
        if (linkat(AT_FDCWD, self, dfd, path, AT_SYMLINK_FOLLOW) == 0) {
            g_live_fd = fd;
            g_token = token;
            return true;
        }
        close(fd);
        if (errno != EEXIST) return false;
    }
    return false;
}

struct Owned {
    Header *hdr;
    ino_t ino;
    std::uint32_t depth; // takes by this thread not yet released
};

// The calling thread's slot and the mutexes it owns. The destructor runs
// when the thread ends: what it still owns is released as abandoned.
struct ThreadOwner {
    std::uint32_t id = 0;
    std::vector<Owned> owned;
    ~ThreadOwner() {
        for (const Owned &o : owned) abandon_mutex(o.hdr, id);
        if (id == 0) return;
        pthread_mutex_lock(&g_owner_lock);
        g_slot_used[id & (k_slots - 1)] = false;
        pthread_mutex_unlock(&g_owner_lock);
    }
};

thread_local ThreadOwner t_owner;

} // namespace

std::uint32_t owner_id() noexcept {
    if (t_owner.id != 0) return t_owner.id;
    pthread_mutex_lock(&g_owner_lock);
    std::uint32_t id = 0;
    t_owner_locked = true;
    const bool have_token = g_token != 0 || make_token();
    t_owner_locked = false;
    if (have_token) {
        for (std::uint32_t s = 0; s < k_slots; ++s)
            if (!g_slot_used[s]) {
                g_slot_used[s] = true;
                id = (g_token << k_slot_bits) | s;
                break;
            }
    }
    pthread_mutex_unlock(&g_owner_lock);
    t_owner.id = id;
    return id;
}

bool OwnerProbe::alive(std::uint32_t id) noexcept {
    const std::uint32_t token = (id >> k_slot_bits) & k_token_mask;
    if (token == 0) return false;
    pthread_mutex_lock(&g_owner_lock);
    const bool mine = token == g_token;
    const bool slot_used = g_slot_used[id & (k_slots - 1)];
    pthread_mutex_unlock(&g_owner_lock);
    // A thread of this process gives its mutexes up before its slot, so a
    // word naming a free slot of ours was written by nobody who owns it.
    if (mine) return slot_used;
    if (fd_ < 0 || token != token_) {
        reset();
        char path[64];
        live_path(token, path);
        DWORD error = 0;
        const int dfd = object_dir(error);
        if (dfd < 0) return true; // unknown: assume alive, the wait is bounded
        fd_ = openat(dfd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd_ < 0) return errno != ENOENT && errno != ELOOP; // unknown: assume alive, the wait is bounded
        token_ = token;
    }
    // Kept open between looks: the file (or its removed inode) stays that
    // process's, whatever later takes its name.
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        reset();
        return false;
    }
    return errno == EWOULDBLOCK || errno == EINTR;
}

void OwnerProbe::reset() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    token_ = 0;
}

bool note_owned(Header *hdr, ino_t ino) noexcept {
    try {
        t_owner.owned.push_back({hdr, ino, 1});
        return true;
    } catch (...) {
        return false;
    }
}

std::uint32_t *own_depth(ino_t ino) noexcept {
    // By the object's file, not by the address of this handle's view: two
    // handles of one mutex map it at two addresses.
    for (Owned &o : t_owner.owned)
        if (o.ino == ino) return &o.depth;
    return nullptr;
}

bool owner_here(std::uint32_t id) noexcept {
    const std::uint32_t token = (id >> k_slot_bits) & k_token_mask;
    pthread_mutex_lock(&g_owner_lock);
    const bool here = token != 0 && token == g_token && g_slot_used[id & (k_slots - 1)];
    pthread_mutex_unlock(&g_owner_lock);
    return here;
}

void note_released(ino_t ino) noexcept {
    auto &v = t_owner.owned;
    for (auto it = v.end(); it != v.begin();) {
        --it;
        if (it->ino == ino) {
            v.erase(it);
            return;
        }
    }
}

void republish_live_file() noexcept {
    // A process that has no token yet makes its file in the new directory
    // anyway when it first needs one.
    if (t_owner_locked) return;
    pthread_mutex_lock(&g_owner_lock);
    // The folder may go again while this looks at it: the look below must
    // not come back here.
    t_owner_locked = true;
    if (g_token != 0) {
        char self[32], path[64];
        live_path(g_token, path);
        DWORD error = 0;
        const int dfd = object_dir(error);
        const int fd = dfd < 0 ? -1 : openat(dfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
            // The old file stays locked too: a waiter that opened it before
            // it lost its name probes that one, and must still find us alive.
            if (flock(fd, LOCK_SH) == 0 && linkat(AT_FDCWD, self, dfd, path, AT_SYMLINK_FOLLOW) == 0) {
                g_live_fd = fd;
            } else {
                close(fd);
            }
        }
    }
    t_owner_locked = false;
    pthread_mutex_unlock(&g_owner_lock);
}

void owner_release_at_exit() noexcept {
    // Waiters that find the file gone take the mutexes this process still
    // owns as abandoned, which is what they are once it has exited.
    pthread_mutex_lock(&g_owner_lock);
    t_owner_locked = true;
    if (g_token != 0) {
        char path[64];
        live_path(g_token, path);
        DWORD error = 0;
        if (const int dfd = object_dir(error); dfd >= 0) unlinkat(dfd, path, 0);
    }
    t_owner_locked = false;
    pthread_mutex_unlock(&g_owner_lock);
}

void owner_fork_child() noexcept {
    // The child is a process of its own: its own liveness file, made when it
    // first takes a mutex. The parent's stays held by the parent alone.
    if (g_live_fd >= 0) close(g_live_fd);
    g_live_fd = -1;
    g_token = 0;
    pthread_mutex_init(&g_owner_lock, nullptr);
    for (bool &s : g_slot_used) s = false;
    t_owner.id = 0;
    t_owner.owned.clear();
}

} // namespace vexa::posix
