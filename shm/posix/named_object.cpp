// Named objects as files in a private directory of the user under /dev/shm,
// and the holder-lock protocol that gives them the replaced platform's
// lifetime: an object lives while some process holds a handle or a view of
// it, and its name goes with the last holder, also when that holder is
// killed. Every open, create, link, unlink and sweep is relative to the
// directory's descriptor.
//
// The rules that make this race-free:
//  - A holder keeps a shared flock on an open file description of its own.
//    Nothing else ever takes a lasting lock on an object file.
//  - An object is built complete and locked under no name (O_TMPFILE), then
//    published with one hard link. A name that exists but that nobody holds
//    is therefore stale: its last holder has left or died.
//  - Whoever removes a name holds the object exclusively and checks first
//    that the name still leads to that object. Exclusivity keeps out every
//    other remover, and a link never replaces an existing name, so nothing
//    can change the name between the check and the unlink.
//  - Exclusivity is always probed through a fresh open file description.
//    Linux converts flock locks non-atomically: a failed upgrade of a shared
//    lock drops it, which would silently turn a holder into a non-holder.
//  - An opener locks, then checks that the name still leads to its object:
//    it may have opened the file just before the last holder removed it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_map>

#include "shm/posix/posix_internal.h"
#include "shm/timing.h"
#include "vexa-port/shm_logs.h"

namespace vexa::posix {

namespace {

// The object directory of the effective user id it was opened for. The
// descriptor is published once checked and kept for the process's life;
// the lock serialises the opening (and is made afresh in a forked child).
pthread_mutex_t g_dir_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> g_dir_fd{-1};
std::atomic<uid_t> g_dir_uid{0};
// The last refusal written to the log, so that a client retrying every few
// milliseconds writes it once, not on every attempt.
char g_dir_refusal[160] = {};

// Opens and checks the directory; -1 with error set otherwise. Called with
// the lock held.
int open_dir(uid_t uid, DWORD &error) {
    char path[64];
    snprintf(path, sizeof path, "%s/vexa.%u", k_shm_root, static_cast<unsigned>(uid));
    const bool made = mkdir(path, 0700) == 0;
    if (!made && errno != EEXIST) {
        error = error_from_errno(errno);
        return -1;
    }
    // No link is followed and nothing that is not a directory is opened
    // (O_DIRECTORY is checked before a FIFO could block the open).
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int open_errno = errno;
    struct stat st {};
    if (fd >= 0 && made && fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0700) fchmod(fd, 0700); // the umask's doing
    const bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
                    (st.st_mode & 07777) == 0700;
    if (ok) {
        g_dir_refusal[0] = 0;
        return fd;
    }
    if (fd < 0) lstat(path, &st); // what lies there, for the message
    char text[sizeof g_dir_refusal];
    snprintf(text, sizeof text, "%s is not a private directory of uid %u (%s, owner uid %u, mode %04o)", path,
             static_cast<unsigned>(uid),
             fd < 0 ? strerror(open_errno) : !S_ISDIR(st.st_mode) ? "not a directory" : "wrong owner or mode",
             static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
    if (strcmp(text, g_dir_refusal) != 0) {
        memcpy(g_dir_refusal, text, sizeof text);
        shm_log_error("%s: no named object can be made or opened until it is removed\n", text);
    }
    if (fd >= 0) close(fd);
    error = ERROR_ACCESS_DENIED;
    return -1;
}

// Inodes of the object files that records of this process hold, with the
// number of records each. The sweep passes over them without opening them:
// they are not stale, and probing each would make every creation cost as
// much as all of this process's objects together. Only touched inside the
// fork guard, so a fork never meets the lock taken.
pthread_mutex_t g_held_lock = PTHREAD_MUTEX_INITIALIZER;
std::unordered_map<ino_t, unsigned> *g_held = nullptr; // made with the first record, never freed

void note_held(ino_t ino, bool add) noexcept {
    pthread_mutex_lock(&g_held_lock);
    try {
        if (!g_held) g_held = new std::unordered_map<ino_t, unsigned>;
        if (add) {
            ++(*g_held)[ino];
        } else if (auto it = g_held->find(ino); it != g_held->end() && --it->second == 0) {
            g_held->erase(it);
        }
    } catch (const std::bad_alloc &) {
        // Not noted: the sweep probes that file like any other.
    }
    pthread_mutex_unlock(&g_held_lock);
}

bool held_here(ino_t ino) noexcept {
    pthread_mutex_lock(&g_held_lock);
    const bool held = g_held && g_held->count(ino) != 0;
    pthread_mutex_unlock(&g_held_lock);
    return held;
}

// The per-process record of an object file whose header page is mapped and
// whose holder descriptor is fd; null when memory runs out.
Object *new_object(Kind kind, int fd, Header *hdr, const struct stat &st) noexcept {
    auto *obj = new (std::nothrow) Object;
    if (!obj) return nullptr;
    note_held(st.st_ino, true);
    obj->kind = kind;
    obj->fd = fd;
    obj->hdr = hdr;
    obj->region_size = hdr->region_size;
    obj->dev = st.st_dev;
    obj->ino = st.st_ino;
    return obj;
}

// Bounds the open and publish loops. Each round needs another process to
// remove or re-create the very name in between, so a few rounds suffice.
constexpr int k_attempts = 64;

// After an abandonment the last-holder check retries, and a close expects
// the dead owner's process to be exiting for a while (shm/timing.h).
using vexa::timing::k_abandon_retries;
using vexa::timing::k_abandon_window_ns;

bool same_object(const struct stat &st, dev_t dev, ino_t ino) { return st.st_dev == dev && st.st_ino == ino; }

void proc_fd_path(int fd, char (&out)[32]) { snprintf(out, sizeof out, "/proc/self/fd/%d", fd); }

int flock_retry(int fd, int op) {
    int rc;
    do rc = flock(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes a shared lock on an object that somebody holds. A remover holds an
// exclusive lock for a moment only; a process of the same user that holds
// one for longer is not waited for beyond a second (EWOULDBLOCK).
int share_lock_bounded(int fd) {
    for (int tries = 0; tries < vexa::timing::k_share_lock_tries; ++tries) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return -1;
        const timespec pause{0, vexa::timing::k_share_lock_pause_ns};
        nanosleep(&pause, nullptr);
    }
    errno = EWOULDBLOCK;
    return -1;
}

int open_object_file(int dfd, const char *name) {
    return openat(dfd, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

// Called while holding the object exclusively: removes name if it still
// names that object.
void unlink_if_same(int dfd, const char *name, dev_t dev, ino_t ino) {
    struct stat cur {};
    if (fstatat(dfd, name, &cur, AT_SYMLINK_NOFOLLOW) == 0 && same_object(cur, dev, ino)) unlinkat(dfd, name, 0);
}

Header *map_header(int fd, DWORD &error) {
    return static_cast<Header *>(map_unlocked(fd, k_header_bytes, 0, error));
}

void drop_unpublished(Object *obj, bool locked_mutex) {
    // Nobody else ever saw the mutex: forgetting the ownership is enough.
    if (locked_mutex) note_released(obj->ino);
    munmap(obj->hdr, k_header_bytes);
    close(obj->fd.load(std::memory_order_relaxed));
    delete_record(obj);
}

// Removes our object files that nobody holds. The normal last-holder check
// can miss one: a survivor that closes its handle right after a peer's death
// may still see the dead process's lock, and nobody may touch that name
// again. Creating is rare, so every creation of a new object sweeps; the
// directory holds only this user's objects, so a sweep costs no more than
// they do.
// A server's door ("%door-" and its hang-up mutex's file name) outlives its
// server only when that server died: the mutex's name goes with its last
// holder, and then the door is removed too.
constexpr char k_door_prefix[] = "%door-";
bool is_door(const char *name) { return strncmp(name, k_door_prefix, sizeof k_door_prefix - 1) == 0; }

void sweep_door(int dfd, const char *name) {
    struct stat door {}, mutex {};
    if (fstatat(dfd, name + sizeof k_door_prefix - 1, &mutex, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return;
    if (fstatat(dfd, name, &door, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(door.st_mode) && door.st_uid == geteuid())
        unlinkat(dfd, name, 0);
}

void sweep_stale(int dfd) {
    const int lfd = openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lfd < 0) return;
    DIR *dir = fdopendir(lfd);
    if (!dir) {
        close(lfd);
        return;
    }
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.' || held_here(e->d_ino) || is_door(e->d_name)) continue;
        const int fd = openat(dfd, e->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
            flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat cur {};
            if (fstatat(dfd, e->d_name, &cur, AT_SYMLINK_NOFOLLOW) == 0 && same_object(cur, st.st_dev, st.st_ino))
                unlinkat(dfd, e->d_name, 0);
        }
        close(fd);
    }
    // Then the doors, whose mutexes the pass above may just have removed.
    rewinddir(dir);
    while (const dirent *e = readdir(dir))
        if (is_door(e->d_name)) sweep_door(dfd, e->d_name);
    closedir(dir);
}

enum class Found { held, absent, failed };

// The open procedure: on success fd is a holder of the object that path
// names in the directory dfd (shared lock taken, name verified afterwards).
Found open_holder(int dfd, const char *path, int &out_fd, struct stat &out_st, DWORD &error) {
    for (int attempt = 0; attempt < k_attempts; ++attempt) {
        const int fd = open_object_file(dfd, path);
        if (fd < 0) {
            if (errno == ENOENT) {
                error = ERROR_FILE_NOT_FOUND;
                return Found::absent;
            }
            // ELOOP: a symbolic link under our name, which we never make.
            error = (errno == EACCES || errno == EPERM || errno == ELOOP) ? ERROR_ACCESS_DENIED
                                                                           : error_from_errno(errno);
            return Found::failed;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            error = error_from_errno(errno);
            close(fd);
            return Found::failed;
        }
        // Only a regular file of ours that nobody else may read or write is
        // one of our objects; anything else under our name was planted.
        if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
            error = ERROR_ACCESS_DENIED;
            close(fd);
            return Found::failed;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // Nobody holds it: stale, or its last holder is just leaving.
            unlink_if_same(dfd, path, st.st_dev, st.st_ino);
            close(fd);
            error = ERROR_FILE_NOT_FOUND;
            return Found::absent;
        }
        if (errno != EWOULDBLOCK || share_lock_bounded(fd) != 0) {
            error = error_from_errno(errno);
            close(fd);
            return Found::failed;
        }
        struct stat cur {};
        if (fstatat(dfd, path, &cur, AT_SYMLINK_NOFOLLOW) == 0 && same_object(cur, st.st_dev, st.st_ino)) {
            out_fd = fd;
            out_st = st;
            return Found::held;
        }
        close(fd); // removed (and perhaps made anew) while we locked: start over
    }
    error = error_from_errno(EAGAIN);
    return Found::failed;
}

Object *open_at(int dfd, Kind kind, const char *path, DWORD &error) {
    int fd = -1;
    struct stat st {};
    if (open_holder(dfd, path, fd, st, error) != Found::held) return nullptr;
    // Anything shorter than a header page, or with a header of another
    // version or kind, is not an object of the kind asked for; the replaced
    // platform answers a name held by another kind with ERROR_INVALID_HANDLE.
    if (static_cast<std::uint64_t>(st.st_size) < k_header_bytes) {
        error = ERROR_INVALID_HANDLE;
        close(fd);
        return nullptr;
    }
    Header *hdr = map_header(fd, error);
    if (!hdr) {
        close(fd);
        return nullptr;
    }
    const std::uint64_t body = static_cast<std::uint64_t>(st.st_size) - k_header_bytes;
    if (memcmp(hdr->magic, k_magic, sizeof k_magic) != 0 || hdr->version != k_version || hdr->kind != kind ||
        (kind == Kind::region && hdr->region_size > body)) {
        error = ERROR_INVALID_HANDLE;
        munmap(hdr, k_header_bytes);
        close(fd);
        return nullptr;
    }
    Object *obj = new_object(kind, fd, hdr, st);
    if (!obj) {
        error = error_from_errno(ENOMEM);
        munmap(hdr, k_header_bytes);
        close(fd);
        return nullptr;
    }
    memcpy(obj->path, path, strlen(path) + 1);
    return obj;
}

} // namespace

namespace {

// Whether fd still is the directory that its path names. The directory can
// be removed while we serve (a cleanup at logout, a user's rm) or moved
// away: a descriptor kept for it would make every later object in a
// directory nobody else finds, or fail to make any.
bool dir_still_named(int fd, uid_t uid) noexcept {
    char path[64];
    snprintf(path, sizeof path, "%s/vexa.%u", k_shm_root, static_cast<unsigned>(uid));
    struct stat held {}, named {};
    return fstat(fd, &held) == 0 && held.st_nlink != 0 && lstat(path, &named) == 0 && named.st_dev == held.st_dev &&
           named.st_ino == held.st_ino;
}

} // namespace

int object_dir(DWORD &error) noexcept {
    const uid_t uid = geteuid();
    int fd = g_dir_fd.load(std::memory_order_acquire);
    if (fd >= 0 && g_dir_uid.load(std::memory_order_acquire) == uid && dir_still_named(fd, uid)) return fd;
    pthread_mutex_lock(&g_dir_lock);
    fd = g_dir_fd.load(std::memory_order_relaxed);
    const bool same_uid = fd >= 0 && g_dir_uid.load(std::memory_order_relaxed) == uid;
    bool replaced = false;
    if (!same_uid || !dir_still_named(fd, uid)) {
        const int fresh = open_dir(uid, error);
        if (fresh < 0) {
            fd = -1;
        } else if (same_uid) {
            // The fresh directory takes the old one's descriptor number in one
            // step: a thread still using the number meets the right
            // directory, never a file that reused it.
            if (dup3(fresh, fd, O_CLOEXEC) < 0) {
                error = error_from_errno(errno);
                fd = -1;
            }
            close(fresh);
            replaced = fd >= 0;
        } else {
            // A process that changed its user id keeps the old descriptor
            // open (another thread may still be using it) and looks in the
            // new one.
            fd = fresh;
            g_dir_uid.store(uid, std::memory_order_release);
            g_dir_fd.store(fd, std::memory_order_release);
        }
    }
    pthread_mutex_unlock(&g_dir_lock);
    // Outside the directory's lock: the owner lock is taken before it.
    if (replaced) republish_live_file();
    return fd;
}

void object_dir_fork_child() noexcept { pthread_mutex_init(&g_dir_lock, nullptr); }

std::int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void *map_unlocked(int fd, std::size_t bytes, std::uint64_t offset, DWORD &error) {
    char self[32];
    proc_fd_path(fd, self);
    const int mfd = open(self, O_RDWR | O_CLOEXEC);
    if (mfd < 0) {
        error = error_from_errno(errno);
        return nullptr;
    }
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, mfd, static_cast<off_t>(offset));
    const int e = errno;
    close(mfd);
    if (p == MAP_FAILED) {
        error = error_from_errno(e);
        return nullptr;
    }
    madvise(p, bytes, MADV_DONTFORK);
    return p;
}

bool object_path(const char *name, char *out, DWORD &error) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::size_t len = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
        const unsigned char c = *p;
        // A leading '.' is escaped too: "." and ".." are not object files,
        // and the sweep passes over dot files.
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           (c == '.' && len > 0) || c == '_' || c == '-';
        const std::size_t need = plain ? 1 : 3;
        if (len + need > NAME_MAX) {
            error = error_from_errno(ENAMETOOLONG);
            return false;
        }
        if (plain) {
            out[len++] = static_cast<char>(c);
        } else {
            out[len++] = '%';
            out[len++] = hex[c >> 4];
            out[len++] = hex[c & 15];
        }
    }
    out[len] = '\0';
    return true;
}

// A new, unnamed object file of this user, owner-only and with every page
// reserved, its header mapped: -1 (error set) when it cannot be made.
int make_file(int dfd, std::uint64_t total, Header **hdr, DWORD &error) {
    const int fd = openat(dfd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = error_from_errno(errno);
        return -1;
    }
    // The umask can only have taken bits away; set the mode explicitly anyway
    // so that what an opener insists on (owner only) is what we made.
    int rc = fchmod(fd, 0600) == 0 ? 0 : errno;
    // Reserve every page now: a full /dev/shm then fails this call instead of
    // killing a process with SIGBUS when it first touches the region.
    if (rc == 0) rc = posix_fallocate(fd, 0, static_cast<off_t>(total));
    if (rc != 0) error = error_from_errno(rc);
    if (rc == 0) *hdr = map_header(fd, error);
    if (rc != 0 || !*hdr) {
        close(fd);
        return -1;
    }
    return fd;
}

// Lays out a new object's header. A mutex created owned is taken here,
// before the name exists, so no other process can get in first: true then
// (rc EAGAIN when this thread has no owner id to take it with).
bool init_header(Header *hdr, Kind kind, std::uint64_t region_size, bool initial, int &rc) {
    memcpy(hdr->magic, k_magic, sizeof k_magic);
    hdr->version = k_version;
    hdr->kind = kind;
    hdr->region_size = kind == Kind::region ? region_size : 0;
    if (kind == Kind::mutex) {
        const std::uint32_t me = initial ? owner_id() : 0;
        if (initial && me == 0) rc = EAGAIN;
        hdr->lock.store(me, std::memory_order_relaxed);
        hdr->recursion.store(me != 0 ? 1 : 0, std::memory_order_relaxed);
        hdr->abandoned.store(0, std::memory_order_relaxed);
        return me != 0;
    }
    if (kind == Kind::event) {
        hdr->state.store(initial ? 1 : 0, std::memory_order_relaxed);
        hdr->waiters.store(0, std::memory_order_relaxed);
    }
    return false;
}

// Gives the made object its name, or, where a live object of the name
// exists already, opens that one instead (existed) and drops ours.
Object *publish_name(Object *obj, int dfd, Kind kind, const char *path, bool locked, bool *existed, DWORD &error) {
    memcpy(obj->path, path, strlen(path) + 1);
    char self[32];
    proc_fd_path(obj->fd.load(std::memory_order_relaxed), self);
    for (int attempt = 0; attempt < k_attempts; ++attempt) {
        if (linkat(AT_FDCWD, self, dfd, path, AT_SYMLINK_FOLLOW) == 0) {
            sweep_stale(dfd);
            return obj;
        }
        if (errno != EEXIST) {
            error = error_from_errno(errno);
            drop_unpublished(obj, locked);
            return nullptr;
        }
        if (Object *found = open_at(dfd, kind, path, error)) {
            drop_unpublished(obj, locked);
            *existed = true;
            return found;
        }
        if (error != ERROR_FILE_NOT_FOUND) {
            drop_unpublished(obj, locked);
            return nullptr;
        }
        // The name was stale (now removed) or went away meanwhile: publish ours.
    }
    error = error_from_errno(EAGAIN);
    drop_unpublished(obj, locked);
    return nullptr;
}

Object *create_object(Kind kind, const char *name, std::uint64_t region_size, bool initial, bool *existed,
                      DWORD &error) {
    *existed = false;
    const bool named = name && *name;
    char path[k_path_max];
    if (named && !object_path(name, path, error)) return nullptr;
    if (kind == Kind::region && (region_size == 0 || region_size > static_cast<std::uint64_t>(INT64_MAX) - k_header_bytes)) {
        error = error_from_errno(EINVAL);
        return nullptr;
    }
    const int dfd = object_dir(error);
    if (dfd < 0) return nullptr;
    Header *hdr = nullptr;
    const int fd = make_file(dfd, k_header_bytes + (kind == Kind::region ? region_size : 0), &hdr, error);
    if (fd < 0) return nullptr;
    int rc = 0;
    const bool locked = init_header(hdr, kind, region_size, initial, rc);
    struct stat st {};
    if (rc == 0 && flock_retry(fd, LOCK_SH) != 0) rc = errno;
    if (rc == 0 && fstat(fd, &st) != 0) rc = errno;
    Object *obj = rc == 0 ? new_object(kind, fd, hdr, st) : nullptr;
    if (!obj) {
        error = error_from_errno(rc ? rc : ENOMEM);
        munmap(hdr, k_header_bytes);
        close(fd);
        return nullptr;
    }
    obj->owned.store(locked ? 1 : 0, std::memory_order_relaxed);
    if (locked) note_owned(hdr, obj->ino);
    return named ? publish_name(obj, dfd, kind, path, locked, existed, error) : obj;
}

Object *open_object(Kind kind, const char *name, DWORD &error) {
    if (!name || !*name) {
        error = error_from_errno(EINVAL);
        return nullptr;
    }
    char path[k_path_max];
    if (!object_path(name, path, error)) return nullptr;
    const int dfd = object_dir(error);
    if (dfd < 0) return nullptr;
    return open_at(dfd, kind, path, error);
}

void release_name(const char *path, dev_t dev, ino_t ino, bool after_abandon) {
    DWORD error = 0;
    const int dfd = object_dir(error);
    if (dfd < 0) return;
    long pause_ns = vexa::timing::k_abandon_first_pause_ns;
    for (int attempt = 0;; ++attempt) {
        const int fd = open_object_file(dfd, path);
        if (fd < 0) return;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !same_object(st, dev, ino)) {
            close(fd); // gone, and the name already names a newer object
            return;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            unlink_if_same(dfd, path, dev, ino);
            close(fd);
            return;
        }
        close(fd);
        if (!after_abandon || attempt >= k_abandon_retries) return;
        const timespec pause{0, pause_ns};
        nanosleep(&pause, nullptr);
        pause_ns *= 2;
    }
}

void destroy_object(Object *obj) {
    if (obj->hdr) {
        // A mutex that a thread of this process still owns is on that
        // thread's list of owned mutexes, which its end walks to release them
        // as abandoned. Unmapping the page would leave that walk touching
        // unmapped memory, so it stays mapped. That is rare and harmless:
        // the page was mapped without the holder lock, so it keeps no name
        // alive, only its memory until exit.
        if (obj->kind != Kind::mutex || obj->owned.load(std::memory_order_acquire) <= 0)
            munmap(obj->hdr, k_header_bytes);
    }
    // The descriptor may already be gone: closed at exit, see handles.cpp.
    if (const int fd = obj->fd.exchange(-1, std::memory_order_acq_rel); fd >= 0) close(fd);
    if (obj->path[0]) {
        const std::int64_t abandoned = obj->abandoned_at.load(std::memory_order_relaxed);
        release_name(obj->path, obj->dev, obj->ino, abandoned != 0 && monotonic_ns() - abandoned < k_abandon_window_ns);
    }
    delete_record(obj);
}

void delete_record(Object *obj) noexcept {
    note_held(obj->ino, false);
    delete obj;
}

void forget_held_records() noexcept {
    if (g_held) g_held->clear();
}

} // namespace vexa::posix

BOOL HandleStillNamed(HANDLE object) {
    using namespace vexa::posix;
    HandleRef ref(object);
    if (!ref || !ref->path[0]) return FALSE;
    DWORD error = 0;
    const int dfd = object_dir(error);
    struct stat st {};
    return dfd >= 0 && fstatat(dfd, ref->path, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == ref->dev &&
                   st.st_ino == ref->ino
               ? TRUE
               : FALSE;
}

BOOL HoldExclusive(HANDLE object) {
    using namespace vexa::posix;
    HandleRef ref(object);
    if (!ref) return FALSE;
    // An open-file-description lock on the first byte of the holder
    // descriptor: independent of the flocks that carry the objects' lifetime,
    // never inherited by a forked child (which closes the holders), and kept
    // by the descriptors a view duplicates from it.
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    const int fd = ref->fd.load(std::memory_order_relaxed);
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        SetLastError(error_from_errno(fd < 0 ? EBADF : errno));
        return FALSE;
    }
    return TRUE;
}

BOOL SweepAfterDeath(LPCSTR name) {
    using namespace vexa::posix;
    char path[k_path_max];
    DWORD error = ERROR_SUCCESS;
    if (!name || !object_path(name, path, error)) return FALSE;
    // The kernel tells of a death as it closes the dead process's
    // descriptors, not after the last: its locks may still be going for a
    // moment. Looked at again until the object named after the dead peer
    // has gone, for a tenth of a second at most.
    for (int look = 0; look < vexa::timing::k_sweep_looks; ++look) {
        if (look > 0) usleep(vexa::timing::k_sweep_pause_us);
        ForkGuard guard;
        const int dfd = object_dir(error);
        if (dfd < 0) return FALSE;
        sweep_stale(dfd);
        struct stat st {};
        if (fstatat(dfd, path, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) return TRUE;
    }
    return FALSE;
}

