// The per-process handle table.
//
// Handles are used on the hot path of every ring operation (lock, unlock and
// wake per message), so a lookup is a handful of atomic operations and no
// system call. A handle value packs a per-process salt, the slot's generation
// and the slot index; a slot's generation moves on every time it is freed, so
// a value is never handed out twice in a process's life, and a closed,
// made-up or foreign value fails with ERROR_INVALID_HANDLE instead of
// reaching whatever object took the slot later.
//
// The table grows in chunks of slots as handles are needed, up to the 16
// bits of index a value has room for (far more than the descriptors a
// process may hold, one per handle); a chunk, once made, stays for the
// process's life, so a lookup reads its pointer without a lock.
//
// Each slot carries one atomic word: generation (high 32 bits), a closing
// bit, and a count of references (the open handle itself counts one, every
// call in progress one more). Closing sets the bit and drops the handle's
// reference; the object is destroyed by whoever drops the last reference, so
// closing a handle that another thread is waiting on is safe.
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>

#include "shm/posix/posix_internal.h"
#include "shm/timing.h"

namespace vexa::posix {

namespace {

constexpr std::uint32_t k_chunk_slots = 4096;
constexpr std::uint32_t k_chunks = 16;
constexpr std::uint32_t k_slots = k_chunk_slots * k_chunks; // the 16 bits of a value's index
static_assert(k_slots == 0x10000, "every 16-bit index of a value must fall within the chunk array");
constexpr std::uint64_t k_closing = std::uint64_t{1} << 31;
constexpr std::uint64_t k_refs = k_closing - 1;

struct Slot {
    std::atomic<std::uint64_t> word{0};
    std::atomic<Object *> obj{nullptr};
};

struct Chunk {
    Slot slots[k_chunk_slots];
    // A slot retires for good when its generation comes round to where it
    // started.
    std::uint32_t first_gen[k_chunk_slots];
};

std::atomic<Chunk *> g_chunks[k_chunks];
std::atomic<std::uint32_t> g_chunk_count{0}; // chunks made, in index order
std::uint16_t g_free[k_slots];               // pages are touched only as the table grows
std::uint32_t g_free_count = 0;
std::atomic<std::uint16_t> g_salt{0};

Slot &slot_at(std::uint32_t index) noexcept {
    return g_chunks[index / k_chunk_slots].load(std::memory_order_acquire)->slots[index % k_chunk_slots];
}
std::uint32_t &first_gen_at(std::uint32_t index) noexcept {
    return g_chunks[index / k_chunk_slots].load(std::memory_order_relaxed)->first_gen[index % k_chunk_slots];
}

// Calls f on every slot of the chunks made so far.
template <class F> void for_each_slot(F f) {
    const std::uint32_t n = g_chunk_count.load(std::memory_order_acquire);
    for (std::uint32_t c = 0; c < n; ++c)
        for (Slot &s : g_chunks[c].load(std::memory_order_acquire)->slots) f(s);
}

pthread_once_t g_once = PTHREAD_ONCE_INIT;
pthread_mutex_t g_alloc_lock = PTHREAD_MUTEX_INITIALIZER; // free list and slot recycling

// The fork guard: a count of slow operations in progress and a flag that
// keeps new ones out while a fork (or the exit handler) needs them all done.
// Plain atomics rather than a pthread lock: a lock taken in a prepare handler
// would have to be given back in the child by a thread with a new identity,
// and sanitizers do not follow locks across fork handlers. Waits happen only
// when a fork meets a slow operation, so a short sleep is good enough.
std::atomic<int> g_active{0};
std::atomic<bool> g_exclusive{false};

void pause_briefly() {
    const timespec t{0, vexa::timing::k_fork_pause_ns};
    nanosleep(&t, nullptr);
}

// Waits for every slow operation to end and keeps new ones out. With a
// limit (in pauses), gives up and returns false when they do not end in time.
bool begin_exclusive(long limit = -1) {
    bool expected = false;
    while (!g_exclusive.compare_exchange_weak(expected, true, std::memory_order_seq_cst)) {
        expected = false;
        pause_briefly();
    }
    for (long waited = 0; g_active.load(std::memory_order_seq_cst) != 0; ++waited) {
        if (limit >= 0 && waited >= limit) {
            g_exclusive.store(false, std::memory_order_seq_cst);
            return false;
        }
        pause_briefly();
    }
    return true;
}

void end_exclusive() { g_exclusive.store(false, std::memory_order_seq_cst); }

void fill_random(void *buf, std::size_t len) {
    auto *p = static_cast<unsigned char *>(buf);
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = getrandom(p + got, len - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            // No entropy source: still make values differ between processes.
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            std::uint64_t x = static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(getpid()) << 32);
            for (; got < len; ++got) {
                x = x * 6364136223846793005ull + 1442695040888963407ull;
                p[got] = static_cast<unsigned char>(x >> 56);
            }
        }
    }
}

// Every slot of chunk c free at a random generation, on the free list with
// the lowest index on top. Called with the allocation lock held (or before
// any other thread can look).
void reset_chunk(std::uint32_t c) {
    Chunk *chunk = g_chunks[c].load(std::memory_order_relaxed);
    fill_random(chunk->first_gen, sizeof chunk->first_gen);
    for (std::uint32_t i = k_chunk_slots; i-- > 0;) {
        chunk->slots[i].obj.store(nullptr, std::memory_order_relaxed);
        chunk->slots[i].word.store(std::uint64_t{chunk->first_gen[i]} << 32, std::memory_order_relaxed);
        g_free[g_free_count++] = static_cast<std::uint16_t>(c * k_chunk_slots + i);
    }
}

// One more chunk, when the index space has room and memory allows.
bool grow_table() {
    const std::uint32_t c = g_chunk_count.load(std::memory_order_relaxed);
    if (c == k_chunks) return false;
    auto *chunk = new (std::nothrow) Chunk;
    if (!chunk) return false;
    g_chunks[c].store(chunk, std::memory_order_release);
    reset_chunk(c);
    g_chunk_count.store(c + 1, std::memory_order_release);
    return true;
}

// A fresh table: new salt, every slot free at a random generation. Runs once
// per process, and again in a forked child, which holds no handles (it keeps
// the chunks the parent had made).
void reset_table() {
    std::uint16_t salt = 0;
    while (salt == 0) fill_random(&salt, sizeof salt); // 0 would let small integers pass the salt check
    g_free_count = 0;
    const std::uint32_t n = g_chunk_count.load(std::memory_order_relaxed);
    for (std::uint32_t c = n; c-- > 0;) reset_chunk(c); // chunk 0's lowest index ends on top
    if (n == 0) grow_table();
    g_salt.store(salt, std::memory_order_release);
}

// Fork: the child must not inherit descriptors that hold our locks (they
// would keep objects alive after this process lets go of them). The prepare
// handler waits until no thread is between opening a descriptor and
// recording it; the allocation and view locks are only ever taken inside the
// guard, so none of them is held either.
void fork_prepare() { begin_exclusive(); }

void fork_parent() { end_exclusive(); }

void fork_child() {
    object_dir_fork_child();
    owner_fork_child();
    views_fork_child();
    // The header pages were not inherited (MADV_DONTFORK); only the holder
    // descriptors remain to be closed.
    for_each_slot([](Slot &s) {
        if (Object *obj = s.obj.load(std::memory_order_relaxed)) {
            if (const int fd = obj->fd.load(std::memory_order_relaxed); fd >= 0) close(fd);
            delete obj;
        }
    });
    forget_held_records();
    reset_table();
    g_active.store(0, std::memory_order_relaxed);
    end_exclusive();
}

// A process that exits without closing its handles lets go of its objects,
// as it would on the replaced platform, so their names do not outlive it
// until the next sweep. Other threads may still be running and using the
// objects' memory, so nothing is unmapped or freed: only the holder locks are
// released (every mapping is lock-free), then the names that nobody holds any
// more are removed. The exclusive guard keeps out every creation, opening and
// destruction while the table is walked; should another thread be stuck in
// one (blocked on another process's lock), exit does not wait for it beyond
// a second, and the names are left to the next sweep.
void release_at_exit() {
    if (!begin_exclusive(10000)) return;
    for_each_slot([](Slot &s) {
        if (Object *obj = s.obj.load(std::memory_order_acquire))
            if (const int fd = obj->fd.exchange(-1, std::memory_order_acq_rel); fd >= 0) close(fd);
    });
    views_close_at_exit();
    for_each_slot([](Slot &s) {
        if (Object *obj = s.obj.load(std::memory_order_acquire))
            if (obj->path[0]) release_name(obj->path, obj->dev, obj->ino, false);
    });
    views_release_at_exit();
    owner_release_at_exit();
    end_exclusive();
}

void init_once() {
    reset_table();
    pthread_atfork(fork_prepare, fork_parent, fork_child);
    atexit(release_at_exit);
}

struct Parsed {
    std::uint32_t index;
    std::uint32_t gen;
    Slot *slot;
};

// The slot a value names, if its salt is ours and its chunk has been made
// (any 16-bit index falls within the chunk array).
bool parse(HANDLE h, Parsed &out) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    const std::uint16_t salt = g_salt.load(std::memory_order_acquire);
    if (salt == 0 || (v >> 48) != salt) return false;
    out.index = static_cast<std::uint32_t>(v & 0xFFFF);
    out.gen = static_cast<std::uint32_t>(v >> 16);
    Chunk *chunk = g_chunks[out.index / k_chunk_slots].load(std::memory_order_acquire);
    out.slot = chunk ? &chunk->slots[out.index % k_chunk_slots] : nullptr;
    return out.slot != nullptr;
}

bool live(std::uint64_t w, std::uint32_t gen) {
    return static_cast<std::uint32_t>(w >> 32) == gen && (w & k_closing) == 0 && (w & k_refs) != 0;
}

// The last reference to a closed slot is gone: destroy its object, then let
// the slot go round again under the next generation.
void free_slot(std::uint32_t index) {
    ForkGuard guard;
    Slot &s = slot_at(index);
    if (Object *obj = s.obj.exchange(nullptr, std::memory_order_acq_rel)) destroy_object(obj);
    pthread_mutex_lock(&g_alloc_lock);
    const std::uint32_t next = static_cast<std::uint32_t>(s.word.load(std::memory_order_relaxed) >> 32) + 1;
    if (next != first_gen_at(index)) {
        s.word.store(std::uint64_t{next} << 32, std::memory_order_release);
        g_free[g_free_count++] = static_cast<std::uint16_t>(index);
    } // else: every generation of this slot has been used; it stays closed
    pthread_mutex_unlock(&g_alloc_lock);
}

} // namespace

ForkGuard::ForkGuard() noexcept {
    for (;;) {
        g_active.fetch_add(1, std::memory_order_seq_cst);
        if (!g_exclusive.load(std::memory_order_seq_cst)) return;
        g_active.fetch_sub(1, std::memory_order_seq_cst);
        while (g_exclusive.load(std::memory_order_seq_cst)) pause_briefly();
    }
}

ForkGuard::~ForkGuard() { g_active.fetch_sub(1, std::memory_order_seq_cst); }

HANDLE handle_insert(Object *obj, DWORD &error) {
    pthread_once(&g_once, init_once);
    pthread_mutex_lock(&g_alloc_lock);
    if (g_free_count == 0 && !grow_table()) {
        pthread_mutex_unlock(&g_alloc_lock);
        error = error_from_errno(EMFILE);
        return nullptr;
    }
    const std::uint32_t index = g_free[--g_free_count];
    Slot &s = slot_at(index);
    const auto gen = static_cast<std::uint32_t>(s.word.load(std::memory_order_relaxed) >> 32);
    s.obj.store(obj, std::memory_order_relaxed);
    s.word.store((std::uint64_t{gen} << 32) | 1, std::memory_order_release);
    pthread_mutex_unlock(&g_alloc_lock);
    const std::uint64_t salt = g_salt.load(std::memory_order_relaxed);
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>((salt << 48) | (std::uint64_t{gen} << 16) | index));
}

// Gives a created or opened object its handle. As the replaced platform does,
// a create that found the object leaves ERROR_ALREADY_EXISTS beside a valid
// handle, a real creation clears the last error, an open leaves it alone.
HANDLE publish_object(Object *obj, bool creating, bool existed, DWORD error) {
    if (!obj) {
        SetLastError(error);
        return nullptr;
    }
    HANDLE h = handle_insert(obj, error);
    if (!h) {
        destroy_object(obj);
        SetLastError(error);
        return nullptr;
    }
    if (creating) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

Object *take_ref(HANDLE h, std::uint32_t &index) noexcept {
    Parsed p{};
    if (parse(h, p)) {
        Slot &s = *p.slot;
        std::uint64_t w = s.word.load(std::memory_order_acquire);
        while (live(w, p.gen)) {
            if (s.word.compare_exchange_weak(w, w + 1, std::memory_order_acquire, std::memory_order_acquire)) {
                index = p.index;
                return s.obj.load(std::memory_order_acquire);
            }
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

void drop_ref(std::uint32_t index) noexcept {
    const std::uint64_t before = slot_at(index).word.fetch_sub(1, std::memory_order_acq_rel);
    // While the handle is open its own reference keeps the count above one,
    // so the last reference dropped here means the handle was closed meanwhile.
    if ((before & k_refs) == 1) free_slot(index);
}

HandleRef::HandleRef(HANDLE h) noexcept { obj_ = take_ref(h, index_); }

HandleRef::~HandleRef() {
    if (obj_) drop_ref(index_);
}

} // namespace vexa::posix

using namespace vexa::posix;

BOOL CloseHandle(HANDLE object) {
    Parsed p{};
    if (parse(object, p)) {
        Slot &s = *p.slot;
        std::uint64_t w = s.word.load(std::memory_order_acquire);
        while (live(w, p.gen)) {
            const std::uint64_t closed = (w | k_closing) - 1;
            if (s.word.compare_exchange_weak(w, closed, std::memory_order_acq_rel, std::memory_order_acquire)) {
                if ((closed & k_refs) == 0) free_slot(p.index);
                return TRUE;
            }
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
