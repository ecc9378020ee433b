// The rings: their named objects (made by the server, opened by the client),
// and the write, read and release of bytes under a ring's named mutex.
//
// Rules. A ring is shared with a peer process that is not trusted. Every
// operation takes the ring's lock through this side's own handle, loads the
// ring's positions once, checks them against the geometry its link trusts and
// against the ring's invariants, and from then on uses only the checked
// copy; the data area is addressed through the trusted offset, never through
// the block's own. A ring that fails the check is refused with -EPROTO and an
// error line. Every load and store of a shared field is a single atomic
// access: a peer may write any field at any moment, and each value read is
// a value it wrote, never a torn mix. Object names from the peer are used
// only when terminated in their field.
//
// The lock is waited for at most a second: the holder may be stopped or
// hostile, and no host call may wait on it for longer. A client also checks,
// under the lock, that the block is still the one it attached to (the server
// may have ended the link and laid the block out again for another client),
// once before it moves bytes and once more just before it publishes the new
// positions, so that it never writes into, or reads from, a link that is not
// its own any more.
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "shm/log_internal.h"
#include "shm/membuf_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

namespace {

HANDLE as_handle(std::uint64_t v) noexcept { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)); }

bool name_terminated(const char (&name)[32]) noexcept { return memchr(name, 0, sizeof name) != nullptr; }

// A ring's three named objects, in the order they are made and opened.
struct RingObject {
    shm_named_handle *record;
    int obj;
    bool event;
};

// The debug traces of a ring's layout and of each write and read, their
// texts kept word for word from the channel's first version (tools grep
// them).
constexpr const char *k_trace_bind = "rb %p bind: pbuf %zu head %zd tail %zd end %zd , req %p\n";
constexpr const char *k_trace_connect = "rb %p connect: pbuf %zu head %zd tail %zd end %zd , req %p\n";
constexpr const char *k_trace_write_beg =
    "rb_write %p beg:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, has_data %d\n";
constexpr const char *k_trace_write_end =
    "rb_write %p end:  buf %p pbuf %zu, phead %zu, ptail %zu, pend %zu, has_data %d, result %zd of %zu\n";
constexpr const char *k_trace_read_beg = "rb_read %p beg: buf %p, pbuf %zu, phead %zu, ptail %zu, pend %zu, has_data %d\n";
constexpr const char *k_trace_read_end =
    "rb_read %p end:  buf %p, pbuf %zu, phead %zu , ptail %zu, pend %zu, has_data %d, result %zd of %zu\n";

// A ring's positions as loaded once under its lock and checked.
struct RingView {
    std::uint8_t *data;
    std::uint64_t pbuf, end, head, tail, has;
};

// Traced from this process's own copy of the positions (as checked, or as
// just stored), never read from the block again.
void trace_io(const char *format, shm_ringbuf &rb, const RingView &v, bool with_result = false,
              std::int64_t result = 0, std::uint64_t len = 0) noexcept {
    const auto pbuf = static_cast<size_t>(v.pbuf), head = static_cast<size_t>(v.head);
    const auto tail = static_cast<size_t>(v.tail), end = static_cast<size_t>(v.end);
    const int has = static_cast<int>(v.has);
    if (with_result)
        shm_log_debug(format, static_cast<void *>(&rb), static_cast<void *>(v.data), pbuf, head, tail, end, has,
                      static_cast<ssize_t>(result), static_cast<size_t>(len));
    else
        shm_log_debug(format, static_cast<void *>(&rb), static_cast<void *>(v.data), pbuf, head, tail, end, has);
}

// Stores new positions (the peer reads has_data without the lock: it is
// published last, with release).
void store_positions(shm_ringbuf &rb, std::uint64_t head, std::uint64_t tail, std::uint64_t has) noexcept {
    ref(rb.head).store(head, std::memory_order_relaxed);
    ref(rb.tail).store(tail, std::memory_order_relaxed);
    ref(rb.has_data).store(has, std::memory_order_release);
}

bool check_ring(const Link &l, std::uint64_t idx, RingView &v) noexcept {
    shm_ringbuf &rb = l.mb->rb[idx];
    const std::uint64_t pbuf = l.pbuf(static_cast<int>(idx)), end = l.end(static_cast<int>(idx));
    const std::uint64_t rb_pbuf = ref(rb.pbuf).load(std::memory_order_relaxed);
    const std::uint64_t rb_end = ref(rb.end).load(std::memory_order_relaxed);
    const std::uint64_t head = ref(rb.head).load(std::memory_order_relaxed);
    const std::uint64_t tail = ref(rb.tail).load(std::memory_order_relaxed);
    const std::uint64_t has = ref(rb.has_data).load(std::memory_order_relaxed);
    bool ok = rb_pbuf == pbuf && rb_end == end && end != 0 && head < end && tail < end && has <= end;
    if (ok) ok = head == tail ? (has == 0 || has == end) : has == (tail + end - head) % end;
    if (!ok) {
        shm_log_error("rb %p corrupt: pbuf %" PRIu64 " head %" PRIu64 " tail %" PRIu64 " end %" PRIu64
                      " has_data %" PRIu64 ", refused\n",
                      static_cast<void *>(&rb), rb_pbuf, head, tail, rb_end, has);
        return false;
    }
    v = {reinterpret_cast<std::uint8_t *>(l.mb) + pbuf, pbuf, end, head, tail, has};
    return true;
}

constexpr int k_lock_tries = 64;

// Takes a ring's lock: 0 when held (also after a dead owner: the ring's
// fields are then checked like any other); otherwise the negated error, and
// the lock is not held.
std::int32_t take_lock(std::uint64_t handle) noexcept {
    // The lock is held across one copy only, a few microseconds at most.
    // Where the holder can be running on another CPU, trying a little first
    // spares the slow path: a system call to sleep, one by the holder to
    // hand the lock over, and a wake-up of this thread. Each try is the same
    // acquisition (a dead owner shows the same way); on one CPU the holder
    // cannot progress while this spins, so no tries.
    DWORD r = WAIT_TIMEOUT;
    if (may_poll())
        for (int i = 0; i < k_lock_tries && r == WAIT_TIMEOUT; ++i) {
            r = WaitForSingleObject(as_handle(handle), 0);
            if (r == WAIT_TIMEOUT)
                for (int k = 0; k < 16; ++k) cpu_relax();
        }
    if (r == WAIT_TIMEOUT) r = WaitForSingleObject(as_handle(handle), k_lock_wait_ms);
    const std::int32_t e = map_lock_error(r);
    if (r == WAIT_TIMEOUT) return -ETIMEDOUT;
    return (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ? 0 : -(e ? e : EINVAL);
}

// The common start of every ring operation: the side live, the ring's lock
// taken through this side's own handle, the link still this client's, and
// the ring checked. On failure error holds the negative result and no lock
// is held.
struct LockedRing {
    Link &link;
    int ring;
    bool client;
    std::uint64_t lock = 0;
    RingView view{};
    std::int64_t error = 0;

    LockedRing(Link &l, std::uint64_t idx, int side) noexcept
        : link(l), ring(static_cast<int>(idx)), client(side == k_cli) {
        if (!l.is_live(side)) {
            error = -EINVAL;
            return;
        }
        lock = l.handle(side, k_lock, ring);
        if (const std::int32_t e = take_lock(lock)) {
            error = e;
            return;
        }
        if (!ours()) {
            unlock();
            error = -ENOTCONN;
        } else if (!check_ring(l, idx, view)) {
            unlock();
            error = -EPROTO;
        }
    }
    // The server owns its block: only a client can find it taken from it.
    bool ours() const noexcept { return !client || still_attached(link, ring); }
    void unlock() const noexcept { ReleaseMutex(as_handle(lock)); }
};

} // namespace

std::int32_t ring_bind(Link &l, int idx, std::uint64_t pbuf, std::uint64_t end) noexcept {
    shm_ringbuf *rb = &l.mb->rb[idx];
    RingObject objs[] = {{&rb->lock, k_lock, false}, {&rb->req, k_req, false}, {&rb->event, k_event, true}};
    for (const RingObject &o : objs) {
        char name[32];
        HANDLE h = create_named(name, o.event);
        memcpy(o.record->name, name, sizeof name);
        if (!h) {
            const std::int32_t e = -map_error();
            ring_withdraw(l, idx);
            return e;
        }
        keep(l, k_srv, o.obj, idx, o.record->creator_handle, h, name);
    }
    ref(rb->waiting).store(0);
    ref(rb->pbuf).store(pbuf, std::memory_order_relaxed);
    ref(rb->end).store(end, std::memory_order_relaxed);
    // The positions are 0: bind cleared the header.
    shm_log_debug(k_trace_bind, static_cast<void *>(rb), static_cast<size_t>(pbuf), static_cast<ssize_t>(0),
                  static_cast<ssize_t>(0), static_cast<ssize_t>(end), static_cast<void *>(&rb->req));
    return 0;
}

std::int32_t ring_connect(Link &l, int idx, const char (&lock_name)[32]) noexcept {
    shm_ringbuf *rb = &l.mb->rb[idx];
    // The names come from the peer: each is copied once, and only a copy
    // that is terminated within its field is used.
    char names[3][32];
    memcpy(names[0], rb->lock.name, 32);
    memcpy(names[1], rb->req.name, 32);
    memcpy(names[2], rb->event.name, 32);
    if (memcmp(names[0], lock_name, sizeof lock_name) != 0) return -ENOTCONN;
    for (const auto &n : names)
        if (!name_terminated(n)) return -EPROTO;
    RingObject objs[] = {{&rb->lock, k_lock, false}, {&rb->req, k_req, false}, {&rb->event, k_event, true}};
    for (int i = 0; i < 3; ++i) {
        const RingObject &o = objs[i];
        HANDLE h = o.event ? OpenEventA(EVENT_ALL_ACCESS, TRUE, names[i]) : OpenMutexA(MUTEX_ALL_ACCESS, FALSE, names[i]);
        if (!h) {
            const std::int32_t e = -map_error();
            ring_disconnect(l, idx);
            return e;
        }
        keep(l, k_cli, o.obj, idx, o.record->opener_handle, h, names[i]);
    }
    shm_log_debug(k_trace_connect, static_cast<void *>(rb), static_cast<size_t>(l.pbuf(idx)),
                  static_cast<ssize_t>(ref(rb->head).load(std::memory_order_relaxed)),
                  static_cast<ssize_t>(ref(rb->tail).load(std::memory_order_relaxed)), static_cast<ssize_t>(l.end(idx)),
                  static_cast<void *>(&rb->req));
    return 0;
}

void ring_disconnect(Link &l, int idx) noexcept {
    shm_ringbuf *rb = &l.mb->rb[idx];
    close_own(l, k_cli, k_req, idx, rb->req.opener_handle);
    close_own(l, k_cli, k_event, idx, rb->event.opener_handle);
    close_own(l, k_cli, k_lock, idx, rb->lock.opener_handle);
    shm_log_debug("rb %p disconnect\n", static_cast<void *>(rb));
}

void ring_withdraw(Link &l, int idx) noexcept {
    shm_ringbuf *rb = &l.mb->rb[idx];
    close_own(l, k_srv, k_req, idx, rb->req.creator_handle);
    close_own(l, k_srv, k_event, idx, rb->event.creator_handle);
    ref(rb->waiting).store(0);
    close_own(l, k_srv, k_lock, idx, rb->lock.creator_handle);
    shm_log_debug("rb %p unbind\n", static_cast<void *>(rb));
}

std::int64_t ring_write(Link &l, std::uint64_t idx, const void *src, std::uint64_t len) noexcept {
    shm_ringbuf &rb = l.mb->rb[idx];
    LockedRing locked(l, idx, writer_side(idx));
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const bool dbg = vexa::log::debug_on();
    if (dbg) trace_io(k_trace_write_beg, rb, v);

    const auto *in = static_cast<const std::uint8_t *>(src);
    std::uint64_t tail = v.tail;
    std::int64_t result;
    if (tail < v.head) {
        const std::uint64_t n = std::min(len, v.head - tail);
        memcpy(v.data + tail, in, n);
        tail += n;
        result = static_cast<std::int64_t>(n);
    } else if (tail == v.head && v.has != 0) {
        result = -ENOSPC;
    } else {
        const std::uint64_t c1 = std::min(len, v.end - tail);
        memcpy(v.data + tail, in, c1);
        tail += c1;
        std::uint64_t c2 = 0;
        if (tail == v.end) {
            c2 = std::min(len - c1, v.head);
            memcpy(v.data, in + c1, c2);
            tail = c2;
        }
        result = static_cast<std::int64_t>(c1 + c2);
    }
    RingView after = v;
    if (result > 0) {
        if (!locked.ours()) {
            locked.unlock();
            return -ENOTCONN;
        }
        after.tail = tail;
        after.has = v.has + static_cast<std::uint64_t>(result);
        store_positions(rb, v.head, after.tail, after.has);
    }

    if (dbg) trace_io(k_trace_write_end, rb, after, true, result, len);
    locked.unlock();
    wake_if_waiting(l, idx, writer_side(idx));
    return result;
}

std::int64_t ring_read(Link &l, std::uint64_t idx, void *dst, std::uint64_t len) noexcept {
    shm_ringbuf &rb = l.mb->rb[idx];
    LockedRing locked(l, idx, reader_side(idx));
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const bool dbg = vexa::log::debug_on();
    if (dbg) trace_io(k_trace_read_beg, rb, v);

    auto *out = static_cast<std::uint8_t *>(dst);
    std::int64_t result;
    RingView after = v;
    if (v.head == v.tail && v.has == 0) {
        result = -EAGAIN;
    } else {
        std::uint64_t head = v.head, total;
        if (head < v.tail) {
            total = std::min(len, v.tail - head);
            memcpy(out, v.data + head, total);
            head += total;
        } else {
            const std::uint64_t c1 = std::min(len, v.end - head);
            memcpy(out, v.data + head, c1);
            head += c1;
            std::uint64_t c2 = 0;
            if (head == v.end) {
                c2 = std::min(len - c1, v.tail);
                memcpy(out + c1, v.data, c2);
                head = c2;
            }
            total = c1 + c2;
        }
        if (!locked.ours()) {
            locked.unlock();
            return -ENOTCONN;
        }
        // Emptying the ring puts both positions back at the start, so the
        // next writes copy in one piece.
        if (total == v.has) {
            after.head = after.tail = after.has = 0;
        } else {
            after.head = head;
            after.has = v.has - total;
        }
        store_positions(rb, after.head, after.tail, after.has);
        result = static_cast<std::int64_t>(total);
    }

    if (dbg) trace_io(k_trace_read_end, rb, after, true, result, len);
    locked.unlock();
    return result;
}

std::int64_t ring_release_space(Link &l, std::uint64_t idx, std::uint64_t n) noexcept {
    const int side = writer_side(idx);
    if (!l.is_live(side)) return -EINVAL;
    if (n > l.end(static_cast<int>(idx))) return -ENOSPC;

    shm_ringbuf &rb = l.mb->rb[idx];
    LockedRing locked(l, idx, side);
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const std::uint64_t free_bytes = v.end - v.has;
    std::int64_t result = 0;
    if (free_bytes < n) {
        if (!locked.ours()) {
            locked.unlock();
            return -ENOTCONN;
        }
        const std::uint64_t drop = n - free_bytes;
        const std::uint64_t head = v.head + drop;
        store_positions(rb, head >= v.end ? head - v.end : head, v.tail, v.has - drop);
        result = static_cast<std::int64_t>(drop);
    }
    locked.unlock();
    return result;
}

std::size_t has_data(const Link &l, int idx) noexcept {
    // The count is the peer's word: a value beyond the capacity is caught by
    // the next read's check.
    const std::uint64_t has = ref(l.mb->rb[idx].has_data).load(std::memory_order_acquire);
    const std::uint64_t end = l.end(idx);
    return static_cast<std::size_t>(has <= end ? has : end);
}

} // namespace vexa::block
