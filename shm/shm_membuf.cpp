// The shared block: its rings, binding by the server, attaching and detaching
// by the client, the per-side accessors, and sleeping and waking.
//
// The block is shared with a peer process that is not trusted: every ring
// field read from it is checked under the ring's lock against what this
// process saw when it mapped, bound or attached the block (kept here, in
// process memory), and object names are used only when properly terminated.
// Fields that both processes change without a lock (flags, waiting, has_data)
// are accessed through atomic references.
#include <sched.h>
#include <unistd.h>

#include <chrono>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "shm/log_internal.h"
#include "shm/membuf_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"

static_assert(sizeof(shm_named_handle) == 48);
static_assert(offsetof(shm_named_handle, creator_handle) == 0);
static_assert(offsetof(shm_named_handle, opener_handle) == 8);
static_assert(offsetof(shm_named_handle, name) == 16);
static_assert(sizeof(shm_ringbuf) == 192);
static_assert(offsetof(shm_ringbuf, pbuf) == 0);
static_assert(offsetof(shm_ringbuf, head) == 8);
static_assert(offsetof(shm_ringbuf, tail) == 16);
static_assert(offsetof(shm_ringbuf, end) == 24);
static_assert(offsetof(shm_ringbuf, has_data) == 32);
static_assert(offsetof(shm_ringbuf, lock) == 40);
static_assert(offsetof(shm_ringbuf, req) == 88);
static_assert(offsetof(shm_ringbuf, event) == 136);
static_assert(offsetof(shm_ringbuf, waiting) == 184);
static_assert(sizeof(shm_membuf) == shm_membuf_size);
static_assert(offsetof(shm_membuf, flags) == 0);
static_assert(offsetof(shm_membuf, magic) == 4);
static_assert(offsetof(shm_membuf, size) == 8);
static_assert(offsetof(shm_membuf, srv_hup) == 16);
static_assert(offsetof(shm_membuf, cli_hup) == 64);
static_assert(offsetof(shm_membuf, rb) == 112);
static_assert(offsetof(shm_membuf, rb[1]) == 304);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

using vexa::block::ref;

namespace {

constexpr char k_magic[4] = {'o', 'v', 'i', 'k'};
constexpr int k_srv = 0;
constexpr int k_cli = 1;

// One process-wide counter of formatted names; an atomic increment hands two
// threads that format names at the same moment distinct values.
std::atomic<std::int32_t> entity_counter{0};

void format_name(char (&out)[32], const char *pattern_prefix) noexcept {
    snprintf(out, sizeof out, "%s%d_%d_%d", pattern_prefix, static_cast<int>(getpid()), 0,
             entity_counter.fetch_add(1, std::memory_order_relaxed));
}
constexpr const char *k_mutex_prefix = "Global\\SHMEM_";
constexpr const char *k_event_prefix = "Global\\SHMEM_event";

HANDLE as_handle(std::uint64_t v) noexcept { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)); }
std::uint64_t as_slot(HANDLE h) noexcept { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(h)); }

int writer_side(std::uint64_t idx) noexcept { return idx == 0 ? k_srv : k_cli; }
int reader_side(std::uint64_t idx) noexcept { return idx == 0 ? k_cli : k_srv; }

// ---------------------------------------------------------------------------
// What this process trusts about each block it has mapped, bound or attached:
// the mapped length, both rings' data offsets and capacities, whether its
// server or client side is live here, and its own handles of the block's
// objects. The block's handle slots show those handles to the peer but are
// never read back: the peer, or the next client, can write over them. Kept in
// a small open-addressed table keyed by the block's address; readers on the
// hot path take no lock.

enum Obj { k_hup = 0, k_lock = 1, k_req = 2, k_event = 3 };

struct Own {
    std::atomic<std::uint64_t> hup{0};
    std::atomic<std::uint64_t> ring[2][3]{}; // [ring][lock, req, event]
    std::atomic<std::uint64_t> &of(int obj, int idx) noexcept { return obj == k_hup ? hup : ring[idx][obj - 1]; }
};

struct Trusted {
    std::atomic<shm_membuf *> mb{nullptr};
    std::atomic<std::uint64_t> length{0};
    std::atomic<std::uint64_t> pbuf[2]{};
    std::atomic<std::uint64_t> end[2]{};
    std::atomic<std::uint8_t> live[2]{}; // by side: ring operations allowed
    std::atomic<std::uint8_t> held[2]{}; // by side: bound or attached (owns handles)
    Own own[2];
};

constexpr std::size_t k_trusted = 256;
Trusted g_trusted[k_trusted];
std::mutex g_trusted_mutex; // taken by writers only

std::size_t trusted_hash(const shm_membuf *mb) noexcept {
    auto v = reinterpret_cast<std::uintptr_t>(mb) >> 12;
    return (v ^ (v >> 8)) % k_trusted;
}

Trusted *trusted_find(const shm_membuf *mb) noexcept {
    for (std::size_t i = 0, h = trusted_hash(mb); i < k_trusted; ++i) {
        Trusted &t = g_trusted[(h + i) % k_trusted];
        shm_membuf *v = t.mb.load(std::memory_order_acquire);
        if (v == mb) return &t;
        if (v == nullptr) return nullptr;
    }
    return nullptr;
}

bool trusted_idle(const Trusted &t) noexcept {
    return !t.held[0].load(std::memory_order_relaxed) && !t.held[1].load(std::memory_order_relaxed);
}

// Finds or makes the entry of mb; an entry that no side holds may be taken
// over by another address. Called with g_trusted_mutex held.
Trusted *trusted_slot(shm_membuf *mb) noexcept {
    Trusted *reuse = nullptr;
    for (std::size_t i = 0, h = trusted_hash(mb); i < k_trusted; ++i) {
        Trusted &t = g_trusted[(h + i) % k_trusted];
        shm_membuf *v = t.mb.load(std::memory_order_relaxed);
        if (v == mb) return &t;
        if (!reuse && (v == nullptr || trusted_idle(t))) reuse = &t;
        if (v == nullptr) break;
    }
    if (reuse) {
        reuse->length.store(0, std::memory_order_relaxed);
        for (int r = 0; r < 2; ++r) {
            reuse->pbuf[r].store(0, std::memory_order_relaxed);
            reuse->end[r].store(0, std::memory_order_relaxed);
            reuse->live[r].store(0, std::memory_order_relaxed);
        }
        reuse->mb.store(mb, std::memory_order_release);
    }
    return reuse;
}

void trust_mapping(shm_membuf *mb, std::uint64_t length) noexcept {
    std::lock_guard lock(g_trusted_mutex);
    if (Trusted *t = trusted_slot(mb); t && trusted_idle(*t)) t->length.store(length, std::memory_order_relaxed);
}

// The entry of a block that side is about to bind or attach; null when the
// table is full.
Trusted *hold(shm_membuf *mb, int side) noexcept {
    std::lock_guard lock(g_trusted_mutex);
    Trusted *t = trusted_slot(mb);
    if (t) t->held[side].store(1, std::memory_order_relaxed);
    return t;
}

void unhold(Trusted *t, int side) noexcept {
    std::lock_guard lock(g_trusted_mutex);
    t->live[side].store(0, std::memory_order_release);
    t->held[side].store(0, std::memory_order_relaxed);
}

// Records the rings of a block of size bytes as live for side. A block that
// was not mapped through shm_membuf_map is taken to be size bytes long.
bool trust_rings(Trusted *t, std::uint64_t size, int side) noexcept {
    std::lock_guard lock(g_trusted_mutex);
    std::uint64_t length = t->length.load(std::memory_order_relaxed);
    if (length == 0) length = size;
    if (size > length) return false;
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    t->length.store(length, std::memory_order_relaxed);
    t->pbuf[0].store(shm_membuf_size, std::memory_order_relaxed);
    t->end[0].store(cap, std::memory_order_relaxed);
    t->pbuf[1].store(shm_membuf_size + cap, std::memory_order_relaxed);
    t->end[1].store(cap, std::memory_order_relaxed);
    t->live[side].store(1, std::memory_order_release);
    return true;
}

void distrust_side(shm_membuf *mb, int side) noexcept {
    if (Trusted *t = trusted_find(mb)) t->live[side].store(0, std::memory_order_release);
}

// This process's handle of an object of the block (0 when it has none).
std::uint64_t own_handle(const Trusted *t, int side, int obj, int idx = 0) noexcept {
    return t ? const_cast<Trusted *>(t)->own[side].of(obj, idx).load(std::memory_order_acquire) : 0;
}

// Keeps a new handle as this process's own and shows it in the block's slot.
void keep(Trusted *t, int side, int obj, int idx, std::uint64_t &slot, HANDLE h) noexcept {
    t->own[side].of(obj, idx).store(as_slot(h), std::memory_order_release);
    ref(slot).store(as_slot(h), std::memory_order_relaxed);
}

// Closes this process's handle of an object and clears it, so that it is
// never closed twice; the block's slot is cleared only if it still shows it.
void close_own(Trusted *t, int side, int obj, int idx, std::uint64_t &slot) noexcept {
    const std::uint64_t v = t->own[side].of(obj, idx).exchange(0, std::memory_order_acq_rel);
    if (v == 0) return;
    std::uint64_t shown = v;
    ref(slot).compare_exchange_strong(shown, 0, std::memory_order_relaxed);
    if (!CloseHandle(as_handle(v))) map_error();
}

struct RingView {
    std::uint8_t *data;
    std::uint64_t end;
};

// Checks ring idx of mb against the trusted geometry and the ring invariants,
// with the ring's lock held. On success fills view; otherwise logs the fault.
bool check_ring(const Trusted *t, shm_membuf *mb, std::uint64_t idx, RingView &view) noexcept {
    shm_ringbuf &rb = mb->rb[idx];
    const std::uint64_t pbuf = t->pbuf[idx].load(std::memory_order_relaxed);
    const std::uint64_t end = t->end[idx].load(std::memory_order_relaxed);
    const std::uint64_t head = rb.head, tail = rb.tail, has = ref(rb.has_data).load(std::memory_order_relaxed);
    bool ok = rb.pbuf == pbuf && rb.end == end && end != 0 && head < end && tail < end && has <= end;
    if (ok) ok = head == tail ? (has == 0 || has == end) : has == (tail + end - head) % end;
    if (!ok) {
        shm_log_error("rb %p corrupt: pbuf %" PRIu64 " head %" PRIu64 " tail %" PRIu64 " end %" PRIu64
                      " has_data %" PRIu64 ", refused\n",
                      static_cast<void *>(&rb), rb.pbuf, head, tail, rb.end, has);
        return false;
    }
    view.data = reinterpret_cast<std::uint8_t *>(mb) + pbuf;
    view.end = end;
    return true;
}

// The trusted entry of a block whose side is live here, or null.
const Trusted *live_entry(const shm_membuf *mb, int side) noexcept {
    const Trusted *t = trusted_find(mb);
    return t && t->live[side].load(std::memory_order_acquire) ? t : nullptr;
}

// Takes a ring's lock. 0 when held (also after a dead owner: the ring's
// fields are then checked like any other); otherwise the positive mapped
// error, and the lock is not held.
bool may_poll() noexcept;
void cpu_relax() noexcept;
constexpr int k_lock_tries = 64;

std::int32_t take_lock(std::uint64_t handle) noexcept {
    // The lock is held across one copy only, a few microseconds at most.
    // Where the holder can be running on another CPU, trying a little first
    // spares the priority-inheriting slow path: a system call to sleep, one
    // by the holder to hand the lock over, and a wake-up of this thread.
    // Each try is the same acquisition (a dead owner shows the same way);
    // on one CPU the holder cannot progress while this spins, so no tries.
    DWORD r = WAIT_TIMEOUT;
    if (may_poll())
        for (int i = 0; i < k_lock_tries && r == WAIT_TIMEOUT; ++i) {
            r = WaitForSingleObject(as_handle(handle), 0);
            if (r == WAIT_TIMEOUT)
                for (int k = 0; k < 16; ++k) cpu_relax();
        }
    if (r == WAIT_TIMEOUT) r = WaitForSingleObject(as_handle(handle), INFINITE);
    const std::int32_t e = map_lock_error(r);
    return (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ? 0 : (e ? e : EINVAL);
}

void give_lock(std::uint64_t handle) noexcept { ReleaseMutex(as_handle(handle)); }

// The common start of every ring operation: this side's trusted entry, the
// ring's lock taken through this side's own handle, and the ring checked.
// On failure error holds the negative result and no lock is held.
struct LockedRing {
    std::uint64_t lock = 0;
    RingView view{};
    std::int64_t error = 0;

    LockedRing(shm_membuf *mb, std::uint64_t idx, int side) noexcept {
        const Trusted *t = live_entry(mb, side);
        if (!t) {
            error = -EINVAL;
            return;
        }
        lock = own_handle(t, side, k_lock, static_cast<int>(idx));
        if (const std::int32_t e = take_lock(lock)) {
            error = -e;
            return;
        }
        if (!check_ring(t, mb, idx, view)) {
            give_lock(lock);
            error = -EPROTO;
        }
    }
    void unlock() const noexcept { give_lock(lock); }
};

// Signals the event of ring idx through side's own handle when its reader
// sleeps. The fence orders the caller's earlier update before the look at
// waiting, pairing with the reader's announcement.
void wake_if_waiting(shm_membuf *mb, std::uint64_t idx, int side) noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!ref(mb->rb[idx].waiting).load(std::memory_order_relaxed)) return;
    if (const std::uint64_t ev = own_handle(trusted_find(mb), side, k_event, static_cast<int>(idx)))
        SetEvent(as_handle(ev));
}

// Withdraws the server's objects of ring idx.
void withdraw_ring(Trusted *t, shm_membuf *mb, int idx) noexcept {
    shm_ringbuf *rb = &mb->rb[idx];
    close_own(t, k_srv, k_req, idx, rb->req.creator_handle);
    close_own(t, k_srv, k_event, idx, rb->event.creator_handle);
    ref(rb->waiting).store(0);
    close_own(t, k_srv, k_lock, idx, rb->lock.creator_handle);
    shm_log_debug("rb %p unbind\n", static_cast<void *>(rb));
}

// The count of waiting bytes, read without the lock, is the peer's word: a
// host sizes its read buffer by it, so it never exceeds the ring's capacity
// as this process knows it (0 for a block this process has not bound or
// attached). A value beyond is caught by the next read's check.
std::size_t bounded_has_data(shm_membuf *mb, int idx) noexcept {
    const std::uint64_t has = ref(mb->rb[idx].has_data).load(std::memory_order_acquire);
    const Trusted *t = trusted_find(mb);
    const std::uint64_t end = t ? t->end[idx].load(std::memory_order_relaxed) : 0;
    return static_cast<std::size_t>(has <= end ? has : end);
}

bool name_terminated(const char (&name)[32]) noexcept { return memchr(name, 0, sizeof name) != nullptr; }

} // namespace

// ---------------------------------------------------------------------------
// Rings

std::int32_t shm_ringbuf_bind(shm_membuf *mb, int idx, std::uint64_t pbuf, std::uint64_t end) {
    Trusted *t = trusted_find(mb);
    if (!t) return EINVAL;
    shm_ringbuf *rb = &mb->rb[idx];
    format_name(rb->lock.name, k_mutex_prefix);
    HANDLE lock = CreateMutexA(nullptr, FALSE, rb->lock.name);
    if (!lock) return map_error();
    keep(t, k_srv, k_lock, idx, rb->lock.creator_handle, lock);

    format_name(rb->req.name, k_mutex_prefix);
    HANDLE req = CreateMutexA(nullptr, FALSE, rb->req.name);
    if (!req) {
        const std::int32_t e = map_error();
        ref(rb->waiting).store(0);
        close_own(t, k_srv, k_lock, idx, rb->lock.creator_handle);
        return e;
    }
    keep(t, k_srv, k_req, idx, rb->req.creator_handle, req);

    format_name(rb->event.name, k_event_prefix);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, rb->event.name);
    if (!event) {
        const DWORD cause = GetLastError();
        close_own(t, k_srv, k_req, idx, rb->req.creator_handle);
        SetLastError(cause);
        const std::int32_t e = map_error();
        ref(rb->waiting).store(0);
        close_own(t, k_srv, k_lock, idx, rb->lock.creator_handle);
        return e;
    }
    keep(t, k_srv, k_event, idx, rb->event.creator_handle, event);

    ref(rb->waiting).store(0);
    rb->pbuf = pbuf;
    rb->end = end;
    shm_log_debug("rb %p bind: pbuf %zu head %zd tail %zd end %zd , req %p\n", static_cast<void *>(rb),
                  static_cast<size_t>(rb->pbuf), static_cast<ssize_t>(rb->head), static_cast<ssize_t>(rb->tail),
                  static_cast<ssize_t>(rb->end), static_cast<void *>(&rb->req));
    return 0;
}

std::int32_t shm_ringbuf_connect(shm_membuf *mb, int idx) {
    Trusted *t = trusted_find(mb);
    if (!t) return EINVAL;
    shm_ringbuf *rb = &mb->rb[idx];
    // Names come from the peer: use them only when terminated in their field.
    if (!name_terminated(rb->lock.name) || !name_terminated(rb->req.name) || !name_terminated(rb->event.name))
        return EPROTO;
    HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, rb->lock.name);
    if (!lock) return map_error();
    keep(t, k_cli, k_lock, idx, rb->lock.opener_handle, lock);

    HANDLE req = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, rb->req.name);
    if (!req) {
        const std::int32_t e = map_error();
        close_own(t, k_cli, k_lock, idx, rb->lock.opener_handle);
        return e;
    }
    keep(t, k_cli, k_req, idx, rb->req.opener_handle, req);

    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, TRUE, rb->event.name);
    if (!event) {
        const DWORD cause = GetLastError();
        close_own(t, k_cli, k_req, idx, rb->req.opener_handle);
        SetLastError(cause);
        const std::int32_t e = map_error();
        close_own(t, k_cli, k_lock, idx, rb->lock.opener_handle);
        return e;
    }
    keep(t, k_cli, k_event, idx, rb->event.opener_handle, event);

    shm_log_debug("rb %p connect: pbuf %zu head %zd tail %zd end %zd , req %p\n", static_cast<void *>(rb),
                  static_cast<size_t>(rb->pbuf), static_cast<ssize_t>(rb->head), static_cast<ssize_t>(rb->tail),
                  static_cast<ssize_t>(rb->end), static_cast<void *>(&rb->req));
    return 0;
}

void shm_ringbuf_disconnect(shm_membuf *mb, int idx) {
    Trusted *t = trusted_find(mb);
    shm_ringbuf *rb = &mb->rb[idx];
    if (t) {
        close_own(t, k_cli, k_req, idx, rb->req.opener_handle);
        close_own(t, k_cli, k_event, idx, rb->event.opener_handle);
        close_own(t, k_cli, k_lock, idx, rb->lock.opener_handle);
    }
    shm_log_debug("rb %p disconnect\n", static_cast<void *>(rb));
}

std::int64_t shm_ringbuf_write(shm_membuf *mb, std::uint64_t idx, const void *src, std::uint64_t len) {
    shm_ringbuf &rb = mb->rb[idx];
    LockedRing locked(mb, idx, writer_side(idx));
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const bool dbg = vexa::log::debug_on();
    if (dbg)
        shm_log_debug("rb_write %p beg:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, has_data %d\n",
                      static_cast<void *>(&rb), static_cast<void *>(v.data), static_cast<size_t>(rb.pbuf),
                      static_cast<size_t>(rb.head), static_cast<size_t>(rb.tail), static_cast<size_t>(rb.end),
                      static_cast<int>(rb.has_data));

    const auto *in = static_cast<const std::uint8_t *>(src);
    const std::uint64_t head = rb.head, has = ref(rb.has_data).load(std::memory_order_relaxed);
    std::uint64_t tail = rb.tail;
    std::int64_t result;
    if (tail < head) {
        const std::uint64_t n = std::min(len, head - tail);
        memcpy(v.data + tail, in, n);
        tail += n;
        result = static_cast<std::int64_t>(n);
    } else if (tail == head && has != 0) {
        result = -ENOSPC;
    } else {
        const std::uint64_t c1 = std::min(len, v.end - tail);
        memcpy(v.data + tail, in, c1);
        tail += c1;
        std::uint64_t c2 = 0;
        if (tail == v.end) {
            c2 = std::min(len - c1, head);
            memcpy(v.data, in + c1, c2);
            tail = c2;
        }
        result = static_cast<std::int64_t>(c1 + c2);
    }
    if (result > 0) {
        rb.tail = tail;
        ref(rb.has_data).store(has + static_cast<std::uint64_t>(result), std::memory_order_release);
    }

    if (dbg)
        shm_log_debug("rb_write %p end:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, has_data %d, result %zd "
                      "of %zu\n",
                      static_cast<void *>(&rb), static_cast<void *>(v.data), static_cast<size_t>(rb.pbuf),
                      static_cast<size_t>(rb.head), static_cast<size_t>(rb.tail), static_cast<size_t>(rb.end),
                      static_cast<int>(rb.has_data), static_cast<ssize_t>(result), static_cast<size_t>(len));
    locked.unlock();
    wake_if_waiting(mb, idx, writer_side(idx));
    return result;
}

std::int64_t shm_ringbuf_read(shm_membuf *mb, std::uint64_t idx, void *dst, std::uint64_t len) {
    shm_ringbuf &rb = mb->rb[idx];
    LockedRing locked(mb, idx, reader_side(idx));
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const bool dbg = vexa::log::debug_on();
    if (dbg)
        shm_log_debug("rb_read %p beg: buf %p, pbuf %zu, phead %zu, ptail %zu, pend %zu, has_data %d\n",
                      static_cast<void *>(&rb), static_cast<void *>(v.data), static_cast<size_t>(rb.pbuf),
                      static_cast<size_t>(rb.head), static_cast<size_t>(rb.tail), static_cast<size_t>(rb.end),
                      static_cast<int>(rb.has_data));

    auto *out = static_cast<std::uint8_t *>(dst);
    const std::uint64_t tail = rb.tail, has = ref(rb.has_data).load(std::memory_order_relaxed);
    std::uint64_t head = rb.head;
    std::int64_t result;
    if (head == tail && has == 0) {
        result = -EAGAIN;
    } else {
        std::uint64_t total;
        if (head < tail) {
            total = std::min(len, tail - head);
            memcpy(out, v.data + head, total);
            head += total;
        } else {
            const std::uint64_t c1 = std::min(len, v.end - head);
            memcpy(out, v.data + head, c1);
            head += c1;
            std::uint64_t c2 = 0;
            if (head == v.end) {
                c2 = std::min(len - c1, tail);
                memcpy(out + c1, v.data, c2);
                head = c2;
            }
            total = c1 + c2;
        }
        // Emptying the ring puts both positions back at the start, so the
        // next writes copy in one piece.
        if (total == has) {
            rb.head = 0;
            rb.tail = 0;
            ref(rb.has_data).store(0, std::memory_order_release);
        } else {
            rb.head = head;
            ref(rb.has_data).store(has - total, std::memory_order_release);
        }
        result = static_cast<std::int64_t>(total);
    }

    if (dbg)
        shm_log_debug("rb_read %p end:  buf %p, pbuf %zu, phead %zu , ptail %zu, pend %zu, has_data %d, result %zd "
                      "of %zu\n",
                      static_cast<void *>(&rb), static_cast<void *>(v.data), static_cast<size_t>(rb.pbuf),
                      static_cast<size_t>(rb.head), static_cast<size_t>(rb.tail), static_cast<size_t>(rb.end),
                      static_cast<int>(rb.has_data), static_cast<ssize_t>(result), static_cast<size_t>(len));
    locked.unlock();
    return result;
}

extern "C" VEXA_API std::int64_t shm_ringbuf_release_space(shm_membuf *mb, std::uint64_t idx, std::uint64_t n) {
    if (!mb || idx > 1) return -EINVAL;
    const int side = writer_side(idx);
    const Trusted *t = live_entry(mb, side);
    if (!t) return -EINVAL;
    if (n > t->end[idx].load(std::memory_order_relaxed)) return -ENOSPC;

    shm_ringbuf &rb = mb->rb[idx];
    LockedRing locked(mb, idx, side);
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const std::uint64_t has = ref(rb.has_data).load(std::memory_order_relaxed);
    const std::uint64_t free_bytes = v.end - has;
    std::int64_t result = 0;
    if (free_bytes < n) {
        const std::uint64_t drop = n - free_bytes;
        const std::uint64_t head = rb.head + drop;
        rb.head = head >= v.end ? head - v.end : head;
        ref(rb.has_data).store(has - drop, std::memory_order_release);
        result = static_cast<std::int64_t>(drop);
    }
    locked.unlock();
    return result;
}

// ---------------------------------------------------------------------------
// Block lifecycle

namespace {

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// Polling pays only where this process may run on more than one CPU; the
// answer is taken once per process (an affinity change later is not seen).
bool may_poll() noexcept {
    static const bool multi = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
    }();
    return multi;
}

constexpr std::int64_t k_poll_ns = 50000;

std::atomic<std::uint64_t> g_late_wakeups{0};

bool poll_briefly(shm_ringbuf &rb, bool (*keep_awake)(void *), void *arg) noexcept {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1;; ++i) {
        if (ref(rb.has_data).load(std::memory_order_acquire) != 0) return true;
        for (int k = 0; k < 16; ++k) cpu_relax();
        if ((i & 15) == 0) {
            if (keep_awake(arg)) return true;
            if (std::chrono::steady_clock::now() - start > std::chrono::nanoseconds(k_poll_ns)) return false;
        }
    }
}

} // namespace

namespace vexa::block {

std::int32_t side_wait(shm_membuf *mb, int idx, bool (*keep_awake)(void *), void *arg) noexcept {
    shm_ringbuf &rb = mb->rb[idx];
    // A busy link should not pay for a sleep and a wake-up: look at the ring
    // for a few tens of microseconds first (loads only, never the lock). Only
    // where the peer can run at the same time; on a single CPU the poll would
    // burn the time slice the peer needs to write.
    if (keep_awake && may_poll() && poll_briefly(rb, keep_awake, arg)) return 0;
    if (ref(rb.waiting).exchange(1, std::memory_order_seq_cst)) return -1;
    // Announced: from here a writer that updates has_data (or the caller's
    // condition) and then looks at waiting after a full fence signals the
    // event, so one more look settles whether sleeping is safe.
    if (ref(rb.has_data).load(std::memory_order_seq_cst) != 0 || (keep_awake && keep_awake(arg))) {
        ref(rb.waiting).store(0, std::memory_order_seq_cst);
        return 0;
    }
    const std::uint64_t ev = own_handle(trusted_find(mb), reader_side(idx), k_event, idx);
    const std::int32_t r = map_lock_error(WaitForSingleObject(as_handle(ev), 1000));
    ref(rb.waiting).store(0, std::memory_order_seq_cst);
    // A sleep that runs out while bytes wait in the ring means a wake-up was
    // lost or came a second late; counted so that a benchmark can prove
    // there were none. Only this rare path pays for the increment.
    if (r == ETIMEDOUT && ref(rb.has_data).load(std::memory_order_acquire) != 0)
        g_late_wakeups.fetch_add(1, std::memory_order_relaxed);
    return r;
}

std::uint64_t late_wakeups() noexcept { return g_late_wakeups.load(std::memory_order_relaxed); }

bool published_name(const shm_named_handle &h, char (&out)[32]) noexcept {
    // The first byte is published last (release) by the attaching client.
    const char first = std::atomic_ref<const char>(h.name[0]).load(std::memory_order_acquire);
    if (first == 0) return false;
    memcpy(out, h.name, sizeof out);
    out[0] = first;
    return name_terminated(out);
}

void wake_reader(shm_membuf *mb, int idx, bool creator_slot) noexcept {
    wake_if_waiting(mb, static_cast<std::uint64_t>(idx), creator_slot ? k_srv : k_cli);
}

void release_own_hup(shm_membuf *mb, bool server) noexcept {
    if (const std::uint64_t h = own_handle(trusted_find(mb), server ? k_srv : k_cli, k_hup))
        if (!ReleaseMutex(as_handle(h))) map_error();
}

std::int32_t take_own_hup(shm_membuf *mb, bool server) noexcept {
    const std::uint64_t h = own_handle(trusted_find(mb), server ? k_srv : k_cli, k_hup);
    return map_lock_error(WaitForSingleObject(as_handle(h), INFINITE));
}

} // namespace vexa::block

extern "C" {

VEXA_API std::int32_t shm_membuf_map(void *fd, size_t size, shm_membuf **mb) {
    if (!mb || fd == shmt_invalid_fd()) return -EINVAL;
    if (size <= shm_membuf_size + 1) return SHM_E_BAD_SIZE;
    void *view = nullptr;
    const std::int32_t r = shmt_map(fd, size, &view);
    *mb = static_cast<shm_membuf *>(view);
    if (r == 0 && view) trust_mapping(*mb, size);
    return r;
}

VEXA_API std::int32_t shm_membuf_bind(shm_membuf *mb, size_t size) {
    if (!mb) return -EINVAL;
    if (size <= shm_membuf_size + 1) return SHM_E_BAD_SIZE;
    if (vexa::block::flags(mb) & (SHM_READY | SHM_CONNECTED)) {
        shm_log_error("already binded, aborted\n");
        return -EBUSY;
    }
    Trusted *t = hold(mb, k_srv);
    if (!t) return -ENOMEM;
    distrust_side(mb, k_srv);
    memset(static_cast<void *>(mb), 0, shm_membuf_size);
    memcpy(mb->magic, k_magic, sizeof k_magic);

    format_name(mb->srv_hup.name, k_mutex_prefix);
    HANDLE hup = CreateMutexA(nullptr, FALSE, mb->srv_hup.name);
    if (!hup) {
        const std::int32_t e = map_error();
        unhold(t, k_srv);
        return -e;
    }
    keep(t, k_srv, k_hup, 0, mb->srv_hup.creator_handle, hup);

    auto fail = [&](std::int32_t e) {
        close_own(t, k_srv, k_hup, 0, mb->srv_hup.creator_handle);
        unhold(t, k_srv);
        return -e;
    };
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    if (const std::int32_t e = shm_ringbuf_bind(mb, 0, shm_membuf_size, cap)) return fail(e);
    if (const std::int32_t e = shm_ringbuf_bind(mb, 1, shm_membuf_size + cap, cap)) {
        withdraw_ring(t, mb, 0);
        return fail(e);
    }
    if (!trust_rings(t, size, k_srv)) {
        shm_log_error("mb %p bind: size %zu exceeds the mapped region\n", static_cast<void *>(mb), size);
        withdraw_ring(t, mb, 1);
        withdraw_ring(t, mb, 0);
        return fail(EINVAL);
    }

    mb->size = size;
    ref(mb->flags).store(SHM_READY, std::memory_order_seq_cst);
    map_lock_error(WaitForSingleObject(hup, INFINITE));
    shm_log_info("mb %p bind shm_membuf_size %zu\n", static_cast<void *>(mb), static_cast<size_t>(shm_membuf_size));
    return 0;
}

VEXA_API std::int32_t shm_membuf_unbind(shm_membuf *mb) {
    if (!mb) return -EINVAL;
    Trusted *t = trusted_find(mb);
    const std::uint32_t before = ref(mb->flags).fetch_and(~SHM_READY, std::memory_order_seq_cst);
    distrust_side(mb, k_srv);
    // An attached client sleeping on ring 0 learns at once that the block is
    // gone; the fence inside pairs with its announcement.
    if (before & SHM_CONNECTED) wake_if_waiting(mb, 0, k_srv);
    vexa::block::release_own_hup(mb, true);
    if (t) {
        // Every server handle goes, also after a client's death: the rebind
        // makes all objects afresh under new names, so keeping ring 0's req
        // and event open would only leak two handles for every client that
        // dies.
        withdraw_ring(t, mb, 1);
        withdraw_ring(t, mb, 0);
        close_own(t, k_srv, k_hup, 0, mb->srv_hup.creator_handle);
        unhold(t, k_srv);
    }
    shm_log_info("mb %p unbind\n", static_cast<void *>(mb));
    return 0;
}

VEXA_API std::int32_t shm_membuf_connect(shm_membuf *mb, size_t size) {
    if (!mb) return -EINVAL;
    // The claim is one atomic step: of two clients that look at the same
    // moment exactly one sets SHM_CONNECTED, and the loser never clears it.
    auto flags = ref(mb->flags);
    std::uint32_t f = flags.load(std::memory_order_seq_cst);
    do {
        if (!(f & SHM_READY)) return SHM_E_NOT_READY;
        if (f & SHM_CONNECTED) return SHM_E_ALREADY_CONNECTED;
    } while (!flags.compare_exchange_weak(f, f | SHM_CONNECTED, std::memory_order_seq_cst));
    Trusted *t = nullptr;
    auto unclaim = [&](std::int32_t r) {
        if (t) unhold(t, k_cli);
        flags.fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
        return r;
    };

    // Until this client holds its hang-up mutex the name stays empty, so the
    // server's listener never watches a mutex that nobody holds yet.
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);

    if (memcmp(mb->magic, k_magic, sizeof k_magic) != 0) return unclaim(SHM_E_BAD_MAGIC);
    if (mb->size != size) return unclaim(SHM_E_BAD_SIZE);
    t = hold(mb, k_cli);
    if (!t) return unclaim(-ENOMEM);
    // The ring layout comes from the peer: it must be the one this size gives
    // and fit the mapping, or the block is refused.
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    if (size <= shm_membuf_size + 1 || mb->rb[0].pbuf != shm_membuf_size || mb->rb[0].end != cap ||
        mb->rb[1].pbuf != shm_membuf_size + cap || mb->rb[1].end != cap || !trust_rings(t, size, k_cli)) {
        shm_log_error("mb %p connect: ring layout does not match size %zu, refused\n", static_cast<void *>(mb), size);
        return unclaim(-EPROTO);
    }
    distrust_side(mb, k_cli); // live only once attached

    if (const std::int32_t e = shm_ringbuf_connect(mb, 0)) return unclaim(-e);
    if (const std::int32_t e = shm_ringbuf_connect(mb, 1)) {
        shm_ringbuf_disconnect(mb, 0);
        return unclaim(-e);
    }

    char name[32];
    format_name(name, k_mutex_prefix);
    HANDLE hup = CreateMutexA(nullptr, FALSE, name);
    if (!hup) {
        const std::int32_t e = map_error();
        shm_ringbuf_disconnect(mb, 0);
        shm_ringbuf_disconnect(mb, 1);
        return unclaim(-e);
    }
    keep(t, k_cli, k_hup, 0, mb->cli_hup.creator_handle, hup);
    map_lock_error(WaitForSingleObject(hup, INFINITE));
    // Publish the name: every byte but the first, then the first (release).
    memcpy(mb->cli_hup.name + 1, name + 1, sizeof name - 1);
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(name[0], std::memory_order_release);
    t->live[k_cli].store(1, std::memory_order_release);

    for (shm_ringbuf &rb : mb->rb)
        shm_log_debug("rb %p connected : pbuf %zu phead %zd ptail %zd pend %zd , req %p\n", static_cast<void *>(&rb),
                      static_cast<size_t>(rb.pbuf), static_cast<ssize_t>(rb.head), static_cast<ssize_t>(rb.tail),
                      static_cast<ssize_t>(rb.end), static_cast<void *>(&rb.req));
    shm_log_info("mb %p connected\n", static_cast<void *>(mb));
    return 0;
}

VEXA_API std::int32_t shm_membuf_disconnect(shm_membuf *mb) {
    if (!mb) return -EINVAL;
    distrust_side(mb, k_cli);
    // The name goes first: a server listener that starts for the next client
    // must never find this client's name and take its departure for a death.
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);
    ref(mb->flags).fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
    // Wake the server while this side's handle of its event is still open,
    // so it sees the departure at once rather than after its sleep.
    wake_if_waiting(mb, 1, k_cli);
    // The next client may already have claimed the block and written its
    // own handles into the slots: this side releases and closes only the
    // handles it keeps itself.
    vexa::block::release_own_hup(mb, false);
    shm_ringbuf_disconnect(mb, 0);
    shm_ringbuf_disconnect(mb, 1);
    shm_log_info("mb %p disconnected\n", static_cast<void *>(mb));
    return 0;
}

VEXA_API std::int32_t shm_membuf_disconnect_cb(shm_membuf *mb) {
    if (!mb) return -EINVAL;
    if (Trusted *t = trusted_find(mb)) {
        close_own(t, k_cli, k_hup, 0, mb->cli_hup.creator_handle);
        unhold(t, k_cli);
    }
    return 0;
}

VEXA_API ssize_t shm_srv_write(shm_membuf *mb, const void *buf, size_t len) {
    if (!mb || !buf) return -EINVAL;
    return shm_ringbuf_write(mb, 0, buf, len);
}

VEXA_API ssize_t shm_cli_write(shm_membuf *mb, const void *buf, size_t len) {
    if (!mb || !buf) return -EINVAL;
    return shm_ringbuf_write(mb, 1, buf, len);
}

VEXA_API ssize_t shm_srv_read(shm_membuf *mb, void *buf, size_t len) {
    if (!mb || !buf) return -EINVAL;
    return shm_ringbuf_read(mb, 1, buf, len);
}

VEXA_API ssize_t shm_cli_read(shm_membuf *mb, void *buf, size_t len) {
    if (!mb || !buf) return -EINVAL;
    return shm_ringbuf_read(mb, 0, buf, len);
}

VEXA_API ssize_t shm_srv_release_space(shm_membuf *mb, size_t n) {
    if (!mb) return -EINVAL;
    return shm_ringbuf_release_space(mb, 0, n);
}

VEXA_API ssize_t shm_cli_release_space(shm_membuf *mb, size_t n) {
    if (!mb) return -EINVAL;
    return shm_ringbuf_release_space(mb, 1, n);
}

VEXA_API size_t shm_srv_has_data(shm_membuf *mb) { return mb ? bounded_has_data(mb, 1) : 0; }

VEXA_API size_t shm_cli_has_data(shm_membuf *mb) { return mb ? bounded_has_data(mb, 0) : 0; }

VEXA_API std::int32_t shm_membuf_is_connected(shm_membuf *mb) {
    return mb ? static_cast<std::int32_t>(vexa::block::flags(mb) & SHM_CONNECTED) : -EINVAL;
}

VEXA_API std::int32_t shm_membuf_is_ready(shm_membuf *mb) {
    return mb ? static_cast<std::int32_t>(vexa::block::flags(mb) & SHM_READY) : -EINVAL;
}

VEXA_API std::int32_t shm_srv_wait(shm_membuf *mb) {
    return mb ? vexa::block::side_wait(mb, 1, nullptr, nullptr) : -EINVAL;
}

VEXA_API std::int32_t shm_cli_wait(shm_membuf *mb) {
    return mb ? vexa::block::side_wait(mb, 0, nullptr, nullptr) : -EINVAL;
}

VEXA_API std::int32_t shm_srv_notify(shm_membuf *mb) {
    if (!mb) return -EINVAL;
    if (!ref(mb->rb[1].waiting).load(std::memory_order_seq_cst)) return -1;
    SetEvent(as_handle(own_handle(trusted_find(mb), k_srv, k_event, 1)));
    return 0;
}

VEXA_API std::int32_t shm_cli_notify(shm_membuf *mb) {
    if (!mb) return -EINVAL;
    if (!ref(mb->rb[0].waiting).load(std::memory_order_seq_cst)) return -1;
    SetEvent(as_handle(own_handle(trusted_find(mb), k_cli, k_event, 0)));
    return 0;
}

} // extern "C"
