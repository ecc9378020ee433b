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
// The split protocol (agreed per ring by two endpoints, SHM_RB_SPLIT) keeps
// the same fields and checks but divides them: the writer alone stores
// tail and adds to has_data, without the lock; the reader alone stores head
// and subtracts from has_data, under the lock, which a release (the writer
// discarding bytes) and the reset of an empty ring still take. A read that
// empties the ring leaves the positions where they are, since the writer
// does not look at head. Each side still loads every field once and checks
// it against its trusted geometry: whatever the peer writes, a write stays
// in the free space the checked count allows and a read in the stored bytes
// it shows, both within the data area, and neither waits on the peer.
//
// A call waits at most a second in all, for its turn among this process's
// threads and for the lock (also when it takes the lock twice): the holder
// may be stopped or hostile, and no host call may wait on it for longer. A
// client also checks, under the lock, that the block is still the one it
// attached to (the server may have ended the link and laid the block out
// again for another client), once before it moves bytes and once more just
// before it publishes the new positions, so that it never publishes into, or
// takes bytes from, a link that is not its own any more. A copy made without
// the lock, or a host's writes into a reservation, can still land in the
// data area after such an end (see docs/reliability.md).
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>

#include "shm/block/membuf_internal.h"
#include "shm/log_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

namespace {

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
    std::uint32_t drops;
    bool split; // the ring runs the split protocol for this operation
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

std::atomic_ref<std::uint8_t> proto(std::uint8_t &field) noexcept { return std::atomic_ref<std::uint8_t>(field); }

// Whether ring idx runs the split protocol for its writer: this side speaks
// it and the reader has announced it. Asked afresh by every operation, since
// a server's next client announces its own.
bool writes_split(const Link &l, std::uint64_t idx) noexcept {
    return l.split[writer_side(idx)] &&
           proto(l.mb->rb[idx].reader_proto).load(std::memory_order_relaxed) == SHM_RB_SPLIT;
}
// Whether its reader does: always on a side that speaks it, and otherwise
// whenever the writer has announced it, since a split read is sound against
// either writer (both readers take the lock; a split one subtracts from the
// count, never resets the positions, and does not hold the writer's tail to
// agree). A side that speaks it so never looks at the announcements' line,
// which a client's writes keep changing (its writing flag). Another asks
// only after it has loaded has_data (acquire), so that bytes a split writer
// published come with its announcement, made before its first write.
bool reads_split(const Link &l, std::uint64_t idx) noexcept {
    return l.split[reader_side(idx)] ||
           proto(l.mb->rb[idx].writer_proto).load(std::memory_order_acquire) == SHM_RB_SPLIT;
}

void log_corrupt(const shm_ringbuf &rb, std::uint64_t pbuf, std::uint64_t head, std::uint64_t tail, std::uint64_t end,
                 std::uint64_t has) noexcept {
    shm_log_error("rb %p corrupt: pbuf %" PRIu64 " head %" PRIu64 " tail %" PRIu64 " end %" PRIu64 " has_data %" PRIu64
                  ", refused\n",
                  static_cast<const void *>(&rb), pbuf, head, tail, end, has);
}

// Which protocol an operation runs: decided by the writer before it loads
// the ring, by the reader from what it loads; split_read is a split read
// that keeps the lock for the whole call.
enum class Proto { locked, split, as_reader, split_read };

// Loads ring idx's fields once (under the lock, except for a split writer)
// and checks them: the layout against the link's, every position within
// the ring, and, unless the ring is split, the positions' agreement (a
// split writer moves tail while the reader looks, and the reverse).
bool check_ring(const Link &l, std::uint64_t idx, RingView &v, Proto how) noexcept {
    shm_ringbuf &rb = l.mb->rb[idx];
    const std::uint64_t pbuf = l.pbuf(static_cast<int>(idx)), end = l.end(static_cast<int>(idx));
    const std::uint64_t rb_pbuf = ref(rb.pbuf).load(std::memory_order_relaxed);
    const std::uint64_t rb_end = ref(rb.end).load(std::memory_order_relaxed);
    const std::uint64_t has = ref(rb.has_data).load(std::memory_order_acquire);
    const std::uint64_t head = ref(rb.head).load(std::memory_order_relaxed);
    const std::uint64_t tail = ref(rb.tail).load(std::memory_order_relaxed);
    const bool split = how == Proto::as_reader ? reads_split(l, idx) : how != Proto::locked;
    // The drop count matters to a copy made without the lock and to a view;
    // a split read keeps the lock throughout and leaves its line alone.
    const std::uint32_t drops = how == Proto::split_read ? 0 : ref(rb.drops).load(std::memory_order_relaxed);
    if (rb_pbuf != pbuf || rb_end != end || !ring_fits(end, head, tail, has, split)) {
        log_corrupt(rb, rb_pbuf, head, tail, rb_end, has);
        return false;
    }
    v = {reinterpret_cast<std::uint8_t *>(l.mb) + pbuf, pbuf, end, head, tail, has, drops, split};
    return true;
}

using Deadline = std::chrono::steady_clock::time_point;

// What one call may still wait: a second in all, for its turn and for the
// ring's lock however often it takes it. The clock is read only once a wait
// is needed: a free turn and a free lock cost no look at it.
class Budget {
  public:
    Deadline deadline() noexcept {
        if (!set_) {
            at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_lock_wait_ms);
            set_ = true;
        }
        return at_;
    }
    DWORD ms_left() noexcept {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline() - std::chrono::steady_clock::now());
        return static_cast<DWORD>(std::max<std::int64_t>(left.count(), 0));
    }

  private:
    Deadline at_{};
    bool set_ = false;
};

// Takes a ring's lock into hold, waiting at most what budget has left: 0
// when held (also after a dead owner: the ring's fields are then checked
// like any other); otherwise the negated error, and the lock is not held.
// The hold is looked up once and keeps no record: the lock never outlives
// the call. Where the holder can be running on another CPU, it is tried
// for a moment first; on one CPU the holder cannot progress meanwhile.
std::int32_t take_lock(MutexHold &hold, std::uint64_t handle, Budget &budget) noexcept {
    DWORD r = hold.take(as_handle(handle), 0, may_poll());
    if (r == WAIT_TIMEOUT) r = hold.take(as_handle(handle), budget.ms_left(), false);
    // Every wait's result is traced when debug lines are on; otherwise the
    // common case skips the mapping and its formatting call.
    const std::int32_t e = r == WAIT_OBJECT_0 && !vexa::log::debug_on() ? 0 : map_lock_error(r);
    if (r == WAIT_TIMEOUT) return -ETIMEDOUT;
    return (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ? 0 : -(e ? e : EINVAL);
}

// A thread's turn on a ring's role, held to the end of its scope. Commit and
// consume wait without a deadline: while a reservation or view is open,
// every other holder of the turn only finds it open and gives the turn back.
struct TurnHold {
    Turn &turn;
    bool held;
    TurnHold(Turn &t, Budget &by) noexcept : turn(t), held(t.take([&by] { return by.deadline(); })) {}
    explicit TurnHold(Turn &t) noexcept : turn(t), held(t.take([] { return Deadline::max(); })) {}
    ~TurnHold() {
        if (held) turn.give();
    }
    TurnHold(const TurnHold &) = delete;
    TurnHold &operator=(const TurnHold &) = delete;
};

// The common start of every ring operation that takes the lock: the side
// live, the ring's lock taken through this side's own handle, the link
// still this client's, and the ring checked. On failure error holds the
// negative result and no lock is held; otherwise the lock is held until
// unlock() or the end of the scope.
class LockedRing {
  public:
    RingView view{};
    std::int64_t error = 0;

    LockedRing(Link &l, std::uint64_t idx, int side, Proto how) noexcept : LockedRing(l, idx, side, how, own_budget_) {}
    // One call waits a second in all, for its turn and for the lock,
    // however many times it takes the lock: by is the call's budget.
    LockedRing(Link &l, std::uint64_t idx, int side, Proto how, Budget &by) noexcept
        : link_(l), ring_(idx), client_(side == k_cli), how_(how), budget_(by) {
        if (!l.is_live(side)) {
            error = -EINVAL;
            return;
        }
        lock_ = l.handle(side, k_lock, static_cast<int>(idx));
        error = relock();
    }
    LockedRing(const LockedRing &) = delete;
    LockedRing &operator=(const LockedRing &) = delete;

    // Takes the lock (again, after a copy made without it), and checks the
    // link and the ring afresh: 0, or the negative result (the lock not
    // held).
    std::int64_t relock() noexcept {
        if (const std::int32_t e = take_lock(hold_, lock_, budget_)) return e;
        if (!ours()) {
            unlock();
            return -ENOTCONN;
        }
        if (!check_ring(link_, ring_, view, how_)) {
            unlock();
            return -EPROTO;
        }
        return 0;
    }
    // The server owns its block: only a client can find it taken from it.
    bool ours() const noexcept { return !client_ || still_attached(link_, static_cast<int>(ring_)); }
    void unlock() noexcept { hold_.release(); }
    Link &link() const noexcept { return link_; }
    shm_ringbuf &rb() const noexcept { return link_.mb->rb[ring_]; }
    std::uint64_t ring() const noexcept { return ring_; }

  private:
    Link &link_;
    std::uint64_t ring_;
    bool client_;
    Proto how_;
    std::uint64_t lock_ = 0;
    MutexHold hold_;
    Budget own_budget_{};
    Budget &budget_;
};

// The protocol a writer's operation that takes the lock runs.
Proto writer_proto(const Link &l, std::uint64_t idx) noexcept {
    return writes_split(l, idx) ? Proto::split : Proto::locked;
}

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
        // Whether a lock's holder lives is the link's ties to say, never
        // the id a peer may have written into the lock.
        if (o.obj == k_lock) LeaveOwnerDeathToCaller(h);
        keep(l, k_srv, o.obj, idx, o.record->creator_handle, h, name);
    }
    ref(rb->waiting).store(0);
    ref(rb->pbuf).store(pbuf, std::memory_order_relaxed);
    ref(rb->end).store(end, std::memory_order_relaxed);
    // The server's announcement for its role on the ring; the client's
    // comes with its attach.
    if (l.split[k_srv])
        proto(writer_side(static_cast<std::uint64_t>(idx)) == k_srv ? rb->writer_proto : rb->reader_proto)
            .store(SHM_RB_SPLIT, std::memory_order_relaxed);
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
        if (o.obj == k_lock) LeaveOwnerDeathToCaller(h);
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

namespace {

// Where the bytes of an operation lie: n1 bytes from at, then n2 from the
// start of the data area (a wrap splits them in two).
struct Span {
    std::uint64_t at = 0, n1 = 0, n2 = 0;
    std::uint64_t total() const noexcept { return n1 + n2; }
};

// Up to len of room bytes from pos on, in order (wrapping at most once).
// Counted from the checked has_data alone, which both protocols keep: the
// locked one's positions agree with it, and in the split one the other
// position is the peer's and moving.
Span span_from(std::uint64_t pos, std::uint64_t room, std::uint64_t end, std::uint64_t len) noexcept {
    const std::uint64_t want = std::min(len, room);
    const std::uint64_t n1 = std::min(want, end - pos);
    return {pos, n1, want - n1};
}

// Free space from the tail for up to len bytes, in the order a write fills it.
Span free_span(const RingView &v, std::uint64_t len) noexcept { return span_from(v.tail, v.end - v.has, v.end, len); }

// Stored bytes from the head for up to len bytes, in the order a read takes
// them.
Span used_span(const RingView &v, std::uint64_t len) noexcept { return span_from(v.head, v.has, v.end, len); }

std::uint64_t advance(std::uint64_t pos, std::uint64_t n, std::uint64_t end) noexcept {
    return pos + n >= end ? pos + n - end : pos + n;
}

// Copies of at most this many bytes are made under the lock, in the same
// hold that plans and publishes them: a second take of the lock would cost
// more than the copy keeps the peer waiting. Larger copies are made with the
// lock given back, so that the peer's copy and this one run side by side.
constexpr std::uint64_t k_copy_in_lock = 2048;

// Publishes n bytes written from tail0 on (planned under an earlier hold of
// the lock, copied since). Meanwhile the reader can only have taken bytes:
// the head moved, or, if it took them all, the positions went back to the
// start, and the new bytes then stand alone where they were written. Any
// other change is the peer's doing: -EPROTO.
std::int64_t publish_write(LockedRing &locked, std::uint64_t tail0, std::uint64_t has0, std::uint64_t n) noexcept {
    const RingView &w = locked.view;
    shm_ringbuf &rb = locked.rb();
    RingView after = w;
    after.tail = advance(tail0, n, w.end);
    if (w.tail == tail0 && w.has <= has0 && w.has + n <= w.end) {
        after.has = w.has + n;
    } else if (w.head == 0 && w.tail == 0 && w.has == 0) {
        after.head = tail0;
        after.has = n;
    } else {
        shm_log_error("rb %p: positions changed under a write in progress (tail %" PRIu64 " -> %" PRIu64
                      ", has_data %" PRIu64 " -> %" PRIu64 "), refused\n",
                      static_cast<void *>(&rb), tail0, w.tail, has0, w.has);
        return -EPROTO;
    }
    store_positions(rb, after.head, after.tail, after.has);
    locked.view = after;
    return static_cast<std::int64_t>(n);
}

// Publishes the read of n bytes from head0 (planned with drop count drops0).
// Meanwhile the writer can only have added bytes, unless it discarded some
// with a release (the count moved): then the bytes copied may have been
// written over, and nothing is published (-ESTALE). In the locked protocol
// emptying the ring puts both positions back at the start, so that the next
// writes copy in one piece; a split reader moves head alone and subtracts
// what it took, since the writer is adding meanwhile.
std::int64_t publish_read(LockedRing &locked, std::uint64_t head0, std::uint32_t drops0, std::uint64_t n) noexcept {
    const RingView &w = locked.view;
    shm_ringbuf &rb = locked.rb();
    if (w.drops != drops0 || w.head != head0) return -ESTALE;
    if (w.has < n) {
        shm_log_error("rb %p: has_data %" PRIu64 " fell below a read in progress of %" PRIu64 ", refused\n",
                      static_cast<void *>(&rb), w.has, n);
        return -EPROTO;
    }
    RingView after = w;
    if (w.has == n && !w.split) {
        after.head = after.tail = after.has = 0;
    } else {
        after.head = advance(head0, n, w.end);
        after.has = w.has - n;
    }
    // Counted before the positions are published (the caller holds the
    // reading turn): a sleeper that sees the tail of a refill after this read
    // sees the count too.
    std::atomic<std::uint64_t> &taken = locked.link().use[locked.ring()][k_reads].taken;
    taken.store(taken.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    if (w.split) {
        ref(rb.head).store(after.head, std::memory_order_relaxed);
        ref(rb.has_data).fetch_sub(n, std::memory_order_release);
    } else {
        store_positions(rb, after.head, after.tail, after.has);
    }
    locked.view = after;
    return static_cast<std::int64_t>(n);
}

void copy_in(const RingView &v, const Span &s, const std::uint8_t *in) noexcept {
    memcpy(v.data + s.at, in, s.n1);
    if (s.n2) memcpy(v.data, in + s.n1, s.n2);
}

void copy_out(const RingView &v, const Span &s, std::uint8_t *out) noexcept {
    memcpy(out, v.data + s.at, s.n1);
    if (s.n2) memcpy(out + s.n1, v.data, s.n2);
}

// A client's write without the lock, from before its first look at its bind
// to after its last store: the ring's writing flag stays up meanwhile, so
// that a server retiring the bind waits for it (the flag's raise and the
// look are sequentially consistent, as are the server's clearing of the
// name and its look at the flag). A server's writes need no flag: only a
// client can find its bind gone.
class Publishing {
  public:
    Publishing(Link &l, std::uint64_t idx) noexcept
        : flag_(writer_side(idx) == k_cli ? &l.mb->rb[idx].writing : nullptr) {
        if (flag_) proto(*flag_).exchange(1, std::memory_order_seq_cst);
    }
    ~Publishing() {
        if (flag_) proto(*flag_).store(0, std::memory_order_release);
    }
    Publishing(const Publishing &) = delete;
    Publishing &operator=(const Publishing &) = delete;

  private:
    std::uint8_t *flag_;
};

// A split writer's look at its ring, without the lock: only the two fields
// it goes by, each loaded once and checked (has_data with acquire: the
// reader's copy out of the bytes it gave back is done). The layout's own
// fields are never used: the link's copy of them is. A client that the
// server has ended the link with publishes nothing (-ENOTCONN), as under
// the lock.
std::int64_t split_look(Link &l, std::uint64_t idx, RingView &v) noexcept {
    if (!l.is_live(writer_side(idx))) return -EINVAL;
    if (writer_side(idx) == k_cli && !still_attached(l, static_cast<int>(idx))) return -ENOTCONN;
    shm_ringbuf &rb = l.mb->rb[idx];
    const std::uint64_t pbuf = l.pbuf(static_cast<int>(idx)), end = l.end(static_cast<int>(idx));
    const std::uint64_t has = ref(rb.has_data).load(std::memory_order_acquire);
    const std::uint64_t tail = ref(rb.tail).load(std::memory_order_relaxed);
    if (end == 0 || tail >= end || has > end) {
        log_corrupt(rb, pbuf, ref(rb.head).load(std::memory_order_relaxed), tail, end, has);
        return -EPROTO;
    }
    v = {reinterpret_cast<std::uint8_t *>(l.mb) + pbuf, pbuf, end, 0, tail, has, 0, true};
    return 0;
}

// Publishes n bytes a split writer wrote from v.tail: the tail first, then
// the count, which is what the reader goes by. Checked once more just
// before: a client never publishes into a bind that is no longer the one
// it attached to. The count's add is sequentially consistent, and so is
// the look at the reader's waiting flag after it: either the reader's
// announced sleep sees the bytes, or this sees the announcement (no fence
// needed besides).
std::int64_t split_publish(Link &l, std::uint64_t idx, const RingView &v, std::uint64_t n) noexcept {
    if (writer_side(idx) == k_cli && !still_attached(l, static_cast<int>(idx))) return -ENOTCONN;
    shm_ringbuf &rb = l.mb->rb[idx];
    ref(rb.tail).store(advance(v.tail, n, v.end), std::memory_order_relaxed);
    ref(rb.has_data).fetch_add(n, std::memory_order_seq_cst);
    return static_cast<std::int64_t>(n);
}

// Publishes a split write whose reader stopped announcing the split protocol
// during the copy (a server's client left, and the next one is of a version
// that knows none): under the lock, as a locked write made outside it, which
// also finds the ring emptied and reset by that reader meanwhile.
std::int64_t publish_after_change(Link &l, std::uint64_t idx, const RingView &v, std::uint64_t n) noexcept {
    LockedRing locked(l, idx, writer_side(idx), Proto::locked);
    if (locked.error) return locked.error;
    return publish_write(locked, v.tail, v.has, n);
}

// The write of a ring whose reader speaks the split protocol: no lock.
std::int64_t split_write(Link &l, std::uint64_t idx, const void *src, std::uint64_t len) noexcept {
    std::int64_t result;
    const bool dbg = vexa::log::debug_on();
    {
        const Publishing publishing(l, idx);
        RingView v{};
        if (const std::int64_t e = split_look(l, idx, v)) return e;
        shm_ringbuf &rb = l.mb->rb[idx];
        if (dbg) trace_io(k_trace_write_beg, rb, v);
        const Span s = free_span(v, len);
        result = v.has == v.end ? -ENOSPC : 0;
        if (s.total() != 0) {
            copy_in(v, s, static_cast<const std::uint8_t *>(src));
            result = writes_split(l, idx) ? split_publish(l, idx, v, s.total()) : publish_after_change(l, idx, v, s.total());
        }
        if (dbg) {
            RingView after = v;
            if (result > 0) after.tail = advance(v.tail, s.total(), v.end), after.has = v.has + s.total();
            trace_io(k_trace_write_end, rb, after, true, result, len);
        }
    }
    if (result > 0) {
        wake_after_add(l, idx, writer_side(idx));
    } else if (result == 0 || result == -ENOSPC) {
        wake_if_waiting(l, idx, writer_side(idx));
    }
    return result;
}

} // namespace

std::int64_t ring_write(Link &l, std::uint64_t idx, const void *src, std::uint64_t len) noexcept {
    RingUse &use = l.use[idx][k_writes];
    Budget by;
    const TurnHold turn(use.turn, by);
    if (!turn.held) return -ETIMEDOUT;
    if (use.open) return -EBUSY;
    if (writes_split(l, idx)) return split_write(l, idx, src, len);
    shm_ringbuf &rb = l.mb->rb[idx];
    LockedRing locked(l, idx, writer_side(idx), Proto::locked, by);
    if (locked.error) return locked.error;
    const RingView v = locked.view;
    const bool dbg = vexa::log::debug_on();
    if (dbg) trace_io(k_trace_write_beg, rb, v);

    const Span s = free_span(v, len);
    std::int64_t result;
    if (s.total() == 0) {
        result = v.has == v.end ? -ENOSPC : 0;
    } else if (s.total() <= k_copy_in_lock) {
        copy_in(v, s, static_cast<const std::uint8_t *>(src));
        result = locked.ours() ? publish_write(locked, v.tail, v.has, s.total()) : -ENOTCONN;
    } else {
        // Only this thread writes this ring's free space, and the reader
        // never looks past the published tail: the copy needs no lock.
        locked.unlock();
        copy_in(v, s, static_cast<const std::uint8_t *>(src));
        if (const std::int64_t e = locked.relock()) return e;
        result = publish_write(locked, v.tail, v.has, s.total());
    }
    if (dbg) trace_io(k_trace_write_end, rb, locked.view, true, result, len);
    locked.unlock();
    if (result >= 0 || result == -ENOSPC) wake_if_waiting(l, idx, writer_side(idx));
    return result;
}

std::int64_t ring_read(Link &l, std::uint64_t idx, void *dst, std::uint64_t len) noexcept {
    RingUse &use = l.use[idx][k_reads];
    Budget by;
    const TurnHold turn(use.turn, by);
    if (!turn.held) return -ETIMEDOUT;
    if (use.open) return -EBUSY;
    shm_ringbuf &rb = l.mb->rb[idx];
    // Nothing stored: said without the lock (a reader that drains the ring
    // looks once more after its last bytes, every time). A client whose
    // bind has ended learns it under the lock, as before, and so does a
    // read traced for debugging.
    const int side = reader_side(idx);
    if (ref(rb.has_data).load(std::memory_order_acquire) == 0 && l.is_live(side) && !vexa::log::debug_on() &&
        (side != k_cli || still_attached(l, static_cast<int>(idx))))
        return -EAGAIN;
    // A reader that speaks the split protocol copies under the lock
    // whatever the size: only a release contends for it.
    const bool in_lock = l.split[side];
    LockedRing locked(l, idx, side, in_lock ? Proto::split_read : Proto::as_reader, by);
    if (locked.error) return locked.error;
    const bool dbg = vexa::log::debug_on();
    if (dbg) trace_io(k_trace_read_beg, rb, locked.view);

    auto *out = static_cast<std::uint8_t *>(dst);
    std::int64_t result = 0;
    // At most two rounds: a copy made outside the lock whose bytes the
    // writer discarded meanwhile is made again under the lock.
    for (bool again = false;;) {
        const RingView v = locked.view;
        const Span s = used_span(v, len);
        if (v.has == 0) {
            result = -EAGAIN;
            break;
        }
        if (in_lock || again || s.total() <= k_copy_in_lock) {
            copy_out(v, s, out);
            result = locked.ours() ? publish_read(locked, v.head, v.drops, s.total()) : -ENOTCONN;
            break;
        }
        // Stored bytes change only once the writer has discarded them, which
        // moves the drop count: the copy needs no lock.
        locked.unlock();
        copy_out(v, s, out);
        if (const std::int64_t e = locked.relock()) return e;
        result = publish_read(locked, v.head, v.drops, s.total());
        if (result != -ESTALE) break;
        again = true;
    }
    if (dbg) trace_io(k_trace_read_end, rb, locked.view, true, result, len);
    return result;
}

std::int64_t ring_release_space(Link &l, std::uint64_t idx, std::uint64_t n) noexcept {
    const int side = writer_side(idx);
    if (!l.is_live(side)) return -EINVAL;
    if (n > l.end(static_cast<int>(idx))) return -ENOSPC;

    shm_ringbuf &rb = l.mb->rb[idx];
    // A side that speaks the split protocol releases by it whatever its
    // reader: another thread of this process may be writing without the
    // lock (a subtract and no store of tail are sound against a locked
    // reader too, which holds the same lock).
    LockedRing locked(l, idx, side, l.split[side] ? Proto::split : Proto::locked);
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const std::uint64_t free_bytes = v.end - v.has;
    if (free_bytes >= n) return 0;
    if (!locked.ours()) return -ENOTCONN;
    const std::uint64_t drop = n - free_bytes;
    // Counted first: a reader that copies outside the lock finds the count
    // moved and does not publish bytes that may be written over.
    ref(rb.drops).store(v.drops + 1, std::memory_order_relaxed);
    if (v.split) {
        // A split write of this process may be adding to the count meanwhile.
        ref(rb.head).store(advance(v.head, drop, v.end), std::memory_order_relaxed);
        ref(rb.has_data).fetch_sub(drop, std::memory_order_release);
    } else {
        store_positions(rb, advance(v.head, drop, v.end), v.tail, v.has - drop);
    }
    return static_cast<std::int64_t>(drop);
}

std::int64_t ring_reserve(Link &l, std::uint64_t idx, std::uint64_t min_len, void **data) noexcept {
    RingUse &use = l.use[idx][k_writes];
    Budget by;
    const TurnHold turn(use.turn, by);
    if (!turn.held) return -ETIMEDOUT;
    if (use.open) return -EBUSY;
    if (min_len > l.end(static_cast<int>(idx))) return l.is_live(writer_side(idx)) ? -EMSGSIZE : -EINVAL;
    const Proto how = writer_proto(l, idx);
    RingView v{};
    if (how == Proto::split) {
        if (const std::int64_t e = split_look(l, idx, v)) return e;
    } else {
        LockedRing locked(l, idx, writer_side(idx), how, by);
        if (locked.error) return locked.error;
        v = locked.view;
    }
    Span s = free_span(v, v.end);
    if (s.n1 < min_len && v.has == 0 && v.tail != 0) {
        // An empty ring whose positions met in the middle: under the lock,
        // no copy of either side is in flight (one would still count its
        // bytes in has_data, and only this thread adds to it), so the
        // positions may go back to the start and the whole ring is one
        // piece.
        LockedRing locked(l, idx, writer_side(idx), how, by);
        if (locked.error) return locked.error;
        if (locked.view.has == 0) {
            store_positions(l.mb->rb[idx], 0, 0, 0);
            v = locked.view;
            v.head = v.tail = 0;
            s = free_span(v, v.end);
        }
    }
    if (s.n1 == 0 || s.n1 < min_len) return -ENOSPC;
    use.open = true;
    use.split = how == Proto::split;
    use.start = s.at;
    use.len = s.n1;
    use.has = v.has;
    *data = v.data + s.at;
    return static_cast<std::int64_t>(s.n1);
}

namespace {

// Ends use's open reservation or view for len of its bytes. False, with the
// call's result in r, when there is nothing to publish: none open or len
// past its end (-EINVAL), or len 0 (0: cancelled). Under use's turn.
bool close_use(RingUse &use, std::uint64_t len, std::int64_t &r) noexcept {
    r = use.open && len <= use.len ? 0 : -EINVAL;
    use.open = false;
    return r == 0 && len != 0;
}

} // namespace

std::int64_t ring_commit(Link &l, std::uint64_t idx, std::uint64_t len) noexcept {
    RingUse &use = l.use[idx][k_writes];
    const TurnHold turn(use.turn);
    if (std::int64_t r = 0; !close_use(use, len, r)) return r;
    // Published as it was planned: a locked commit is sound against either
    // reader, and a reservation planned split has a tail that no reader
    // reset. No writing flag: the host's own copy into the reservation,
    // which came before, is outside any bound the server could wait for
    // (docs/reliability.md), and the flag's line is the one a zero-copy
    // reader looks at for the drop count.
    if (use.split) {
        // Only this thread moves the tail: one that moved, or a count that
        // leaves no room for the reservation, is the peer's doing.
        RingView v{};
        if (const std::int64_t e = split_look(l, idx, v)) return e;
        if (v.tail != use.start || v.has + len > v.end) {
            shm_log_error("rb %p: positions changed under a reservation (tail %" PRIu64 " -> %" PRIu64
                          ", has_data %" PRIu64 " of %" PRIu64 "), refused\n",
                          static_cast<void *>(&l.mb->rb[idx]), use.start, v.tail, v.has, v.end);
            return -EPROTO;
        }
        return split_publish(l, idx, v, len);
    }
    LockedRing locked(l, idx, writer_side(idx), Proto::locked);
    if (locked.error) return locked.error;
    return publish_write(locked, use.start, use.has, len);
}

std::int64_t ring_view(Link &l, std::uint64_t idx, const void **data) noexcept {
    RingUse &use = l.use[idx][k_reads];
    Budget by;
    const TurnHold turn(use.turn, by);
    if (!turn.held) return -ETIMEDOUT;
    if (use.open) return -EBUSY;
    LockedRing locked(l, idx, reader_side(idx), Proto::as_reader, by);
    if (locked.error) return locked.error;
    const RingView &v = locked.view;
    const Span s = used_span(v, v.end);
    if (s.n1 == 0) return -EAGAIN;
    use.open = true;
    use.start = s.at;
    use.len = s.n1;
    use.drops = v.drops;
    *data = v.data + s.at;
    return static_cast<std::int64_t>(s.n1);
}

std::int64_t ring_consume(Link &l, std::uint64_t idx, std::uint64_t len) noexcept {
    RingUse &use = l.use[idx][k_reads];
    const TurnHold turn(use.turn);
    if (std::int64_t r = 0; !close_use(use, len, r)) return r;
    LockedRing locked(l, idx, reader_side(idx), Proto::as_reader);
    if (locked.error) return locked.error;
    return publish_read(locked, use.start, use.drops, len);
}

std::size_t has_data(const Link &l, int idx) noexcept {
    // The count is the peer's word: a value beyond the capacity is caught by
    // the next read's check.
    const std::uint64_t has = ref(l.mb->rb[idx].has_data).load(std::memory_order_acquire);
    const std::uint64_t end = l.end(idx);
    return static_cast<std::size_t>(has <= end ? has : end);
}

} // namespace vexa::block
