// Internals of the POSIX side of the named-object layer (shm/win_api.h).
//
// Every named object (region, mutex, event) is one file in /dev/shm named
// "vexa.<euid>.<escaped name>". The file starts with a header page that holds
// the kind tag and, for mutexes and events, their whole state; a region's
// bytes follow the header page. Lifetime is carried by flock: each holder (an
// open handle, or a mapped view) keeps a shared lock on its own open file
// description, and whoever can take the lock exclusively knows that nobody
// holds the object any more and removes its name.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "shm/observer.h"
#include "shm/win_api.h"

namespace vexa::posix {

enum class Kind : std::uint32_t { region = 1, mutex = 2, event = 3 };

// The first page of every object file. Mutex and event state live here, in
// memory shared by every process that has the object open.
struct Header {
    char magic[8];
    std::uint32_t version;
    Kind kind;
    std::uint64_t region_size; // regions only: bytes behind the header page
    // Mutexes: the owner's id (0 when free) or k_lock_handoff, with
    // k_lock_waiters while a thread may sleep on the word; the threads
    // asleep on it; the owner's recursion count, read and written by the
    // owner only; set by an owner thread that ended owning the mutex, for
    // the next taker to report.
    alignas(64) std::atomic<std::uint32_t> lock;
    std::atomic<std::uint32_t> sleepers;
    std::atomic<std::uint32_t> recursion;
    std::atomic<std::uint32_t> abandoned;
    // Events: nonzero = signalled, and the threads inside a wait.
    alignas(64) std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> waiters;
};
// A release with sleepers leaves the word free but reserved for one of them
// for a moment, so a releaser that takes the mutex again at once cannot
// overtake a thread that was already waiting.
inline constexpr std::uint32_t k_lock_handoff = 1u << 30;
// Set by a thread about to sleep on the word, so that a release takes its
// slow path (count the sleepers, wake one); the fast path is one swap.
inline constexpr std::uint32_t k_lock_waiters = 1u << 31;
inline constexpr std::uint32_t k_lock_owner = k_lock_handoff - 1;

inline constexpr char k_magic[8] = {'v', 'e', 'x', 'a', 'o', 'b', 'j', '\0'};
inline constexpr std::uint32_t k_version = 2;
// The header page is also the file offset at which region views start, so it
// must be a multiple of the page size.
inline constexpr std::size_t k_header_bytes = 4096;
static_assert(sizeof(Header) <= k_header_bytes);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(sizeof(void *) == 8, "handle values pack a salt, a generation and a slot into 64 bits");

// A file name in the object directory: at most NAME_MAX bytes and the
// closing zero.
inline constexpr std::size_t k_path_max = NAME_MAX + 1;

// What a handle refers to. Owned by its slot in the handle table; destroyed
// when the handle is closed and its last concurrent use has ended.
struct Object {
    Kind kind{};
    std::atomic<int> fd{-1};       // holder descriptor: shared flock on its own open file description
    Header *hdr = nullptr;         // header page, mapped through a descriptor that holds no lock
    std::uint64_t region_size = 0; // regions: bytes behind the header page
    char path[k_path_max] = {};    // file name in the object directory; empty for an unnamed object
    dev_t dev = 0;
    ino_t ino = 0;
    // Mutexes: ownerships taken through this object by threads of this
    // process, minus releases. While positive, the header page may sit on a
    // thread's robust list and must stay mapped.
    std::atomic<int> owned{0};
    // When (CLOCK_MONOTONIC, ns) a wait through this object last found the
    // mutex abandoned: the dead owner's process may still be closing its
    // descriptors when this handle is closed soon after, so the last-holder
    // check then tries again for a while.
    std::atomic<std::int64_t> abandoned_at{0};
    // Mutexes: waits never judge the owner's life (LeaveOwnerDeathToCaller).
    std::atomic<bool> death_told{false};
};

// ---- names and object files (named_object.cpp)

// Writes the file name of the object called name into out (k_path_max
// bytes), with every byte of name outside [A-Za-z0-9._-] written as %XX, so
// '/' and '\' never reach the file system and distinct names stay distinct.
// Fails with error_from_errno(ENAMETOOLONG) when it would pass NAME_MAX.
bool object_path(const char *name, char *out, DWORD &error);

// Every object file of a user lives in a directory of that user's own,
// "/dev/shm/vexa.<euid>" (mode 0700): no other user can list, open, plant or
// remove anything in it, and looking through it costs only our own entries.
// It is made when missing and opened without following a link; anything else
// under its name (another owner, another mode, not a directory) is refused
// with an error line naming it, and looked at again on the next call, so
// service resumes once it is gone. Returns the directory's descriptor (kept
// for the process's life, per effective user id), or -1 with error set to
// ERROR_ACCESS_DENIED or the errno of the failure.
int object_dir(DWORD &error) noexcept;
inline constexpr const char *k_shm_root = "/dev/shm";
void object_dir_fork_child() noexcept;

// Maps bytes of fd's file at offset through a second open file description.
// A mapping keeps its file description alive, and with it any flock on it;
// mapping through a lock-free description keeps the holder lock's lifetime
// in our hands alone (a closed holder descriptor is a released lock). The
// mapping is not inherited by forked children, which hold nothing of ours.
void *map_unlocked(int fd, std::size_t bytes, std::uint64_t offset, DWORD &error);

// The calls below expect the caller to hold a ForkGuard.
//
// Creates an object, or opens it when the name exists (*existed = true).
// region_size counts for new regions only. initial means initially owned for
// a mutex and initially signalled for an event. A null or empty name gives an
// unnamed object.
Object *create_object(Kind kind, const char *name, std::uint64_t region_size, bool initial, bool *existed,
                      DWORD &error);
// Opens an existing object of the given kind; ERROR_FILE_NOT_FOUND when the
// name is absent or nobody holds it any more.
Object *open_object(Kind kind, const char *name, DWORD &error);
// Unmaps and closes the object, removing its name if this was the last holder.
void destroy_object(Object *obj);
// Frees an object's record (its descriptor and page already let go).
void delete_record(Object *obj) noexcept;
// In a forked child, which holds no records of the parent's.
void forget_held_records() noexcept;
// The last-holder check, run after a holder of (dev, ino) has let go: if
// nobody holds that object any more, its name is removed.
void release_name(const char *path, dev_t dev, ino_t ino, bool after_abandon);


// ---- handle table (handles.cpp)

// Publishes obj in a free slot and returns its handle value, or nullptr with
// error set when the table is full (obj is then left to the caller).
HANDLE handle_insert(Object *obj, DWORD &error);
// handle_insert for the entry points: on failure destroys obj; sets the last
// error (ERROR_ALREADY_EXISTS / ERROR_SUCCESS for creating calls, unchanged
// for successful opens). obj may be nullptr, with error its cause.
HANDLE publish_object(Object *obj, bool creating, bool existed, DWORD error);
// A counted reference to the object behind an open handle of this process:
// null (last error ERROR_INVALID_HANDLE) for anything else; drop_ref(index)
// gives it back.
Object *take_ref(HANDLE h, std::uint32_t &index) noexcept;
void drop_ref(std::uint32_t index) noexcept;

// The same for the length of a scope.
class HandleRef {
  public:
    explicit HandleRef(HANDLE h) noexcept;
    ~HandleRef();
    HandleRef(const HandleRef &) = delete;
    HandleRef &operator=(const HandleRef &) = delete;
    Object *get() const noexcept { return obj_; }
    Object *operator->() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    Object *obj_ = nullptr;
    std::uint32_t index_ = 0;
};

// Held around every stretch that has object descriptors open but not yet
// recorded (or recorded but not yet closed), so that fork never copies a
// half-made state into a child; the fork handlers and the exit handler wait
// for all of them to end. Not reentrant: never nest two in one thread.
class ForkGuard {
  public:
    ForkGuard() noexcept;
    ~ForkGuard();
    ForkGuard(const ForkGuard &) = delete;
    ForkGuard &operator=(const ForkGuard &) = delete;
};

// ---- owners (owner.cpp)
// The calling thread's owner id for lock words (never 0, within
// k_lock_owner), or 0 when none can be had (no liveness file could be
// made, or too many threads of this process own mutexes at once).
std::uint32_t owner_id() noexcept;
// Whether the owner a lock word names may still live: false for a dead
// process or thread, and for ids nobody could have written. One probe serves
// one wait and keeps the owner's liveness file open between looks, so a long
// wait costs one system call per look.
class OwnerProbe {
  public:
    OwnerProbe() = default;
    ~OwnerProbe() { reset(); }
    OwnerProbe(const OwnerProbe &) = delete;
    OwnerProbe &operator=(const OwnerProbe &) = delete;
    bool alive(std::uint32_t id) noexcept;

  private:
    void reset() noexcept;
    int fd_ = -1;
    std::uint32_t token_ = 0;
};
// The calling thread's record of the mutexes it owns: what it releases as
// abandoned at its end, and the only judge of its recursion (the shared word
// may name this thread because a peer wrote it there). note_owned is false
// when the record cannot grow.
bool note_owned(Header *hdr, ino_t ino) noexcept;
void note_released(ino_t ino) noexcept;
// How often the calling thread holds the mutex whose file is ino, by its
// own record (null when not at all).
std::uint32_t *own_depth(ino_t ino) noexcept;
// Whether id names a thread of this process that exists.
bool owner_here(std::uint32_t id) noexcept;
void owner_fork_child() noexcept;
// After the object directory was made anew (the old one removed): this
// process's liveness file, gone with it, is made again under the same token,
// so that its peers do not take it for dead.
void republish_live_file() noexcept;
void owner_release_at_exit() noexcept;
// ---- sync.cpp: releases a mutex that thread id ends owning, as abandoned.
void abandon_mutex(Header *hdr, std::uint32_t id) noexcept;

// ---- views (mapping.cpp): fork and exit support for the view records.
void views_fork_child() noexcept;
// At exit: closes every view's holder descriptor (the mappings stay for
// threads still running), then runs the last-holder check for each.
void views_close_at_exit() noexcept;
void views_release_at_exit() noexcept;

// ---- test hooks
// Threads inside a wait on an event object, in any process.
std::uint32_t event_waiters(HANDLE h);

std::int64_t monotonic_ns();

} // namespace vexa::posix
