// Internal side of the shared block: the link object that this process keeps
// for every block it has bound or attached, the ring operations that run on
// it, and the announced sleep that the endpoint loops use.
//
// A link holds what this process trusts about a block: the mapped length,
// both rings' data offsets and capacities, which of its sides are live here,
// and its own handles of the block's named objects. The block's handle slots
// show those handles to the peer but are never read back: the peer, or the
// next client, can write over them. An endpoint keeps a pointer to its link
// and passes it down on every operation; the exported functions that take a
// bare block find the link once per call.
//
// Results inside the library are 0 (or a count) on success and a negated
// errno value on failure; the exported functions convert where their
// documented results differ.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "shm/observer.h"
#include "shm/tie.h"
#include "shm/timing.h"
#include "vexa-port/shm_membuf.h"

namespace vexa::block {

template <class T> std::atomic_ref<T> ref(T &field) noexcept { return std::atomic_ref<T>(field); }

inline std::uint32_t flags(shm_membuf *mb) noexcept { return ref(mb->flags).load(std::memory_order_seq_cst); }

inline constexpr int k_srv = 0;
inline constexpr int k_cli = 1;
inline constexpr int writer_side(std::uint64_t idx) noexcept { return idx == 0 ? k_srv : k_cli; }
inline constexpr int reader_side(std::uint64_t idx) noexcept { return idx == 0 ? k_cli : k_srv; }

// A handle as a link's slot stores it (a number in the block's records and
// in process memory alike), back as the platform's handle.
inline void *as_handle(std::uint64_t v) noexcept { return reinterpret_cast<void *>(static_cast<std::uintptr_t>(v)); }

// A name read from the block may run on to its end: only one with its zero
// byte inside is a name.
inline bool name_terminated(const char (&name)[32]) noexcept { return memchr(name, 0, sizeof name) != nullptr; }

// The ring invariant, the one copy that every check of a ring goes by:
// positions within the ring and, unless its writer runs without the lock
// (split: the writer moves tail while the reader looks, and the reader head
// while the writer does), agreeing with the stored count.
inline bool ring_fits(std::uint64_t end, std::uint64_t head, std::uint64_t tail, std::uint64_t has, bool split) noexcept {
    if (end == 0 || head >= end || tail >= end || has > end) return false;
    return split || (head == tail ? (has == 0 || has == end) : has == (tail + end - head) % end);
}

// The block's magic, that of the channel's first version: peers of other
// builds read it.
inline constexpr char k_magic[4] = {'o', 'v', 'i', 'k'};

// A side_wait that found another sleeper on the ring already.
inline constexpr std::int32_t k_has_sleeper = -EALREADY;

enum Obj { k_hup = 0, k_lock = 1, k_req = 2, k_event = 3 };

// The turn of one role on one ring among this process's threads. Taken
// with a deadline: a thread queued behind one that waits out a stopped
// peer's hold of the ring's lock must not wait a second more for each
// thread ahead of it.
class Turn {
  public:
    // deadline_of() gives the time to give up at; it is asked only when the
    // turn is taken.
    template <class DeadlineOf> bool take(DeadlineOf &&deadline_of) noexcept {
        // The common case, a free turn, costs one exchange; only a thread
        // that finds the turn taken goes to the condition variable.
        if (!busy_.exchange(true, std::memory_order_seq_cst)) return true;
        const std::chrono::steady_clock::time_point deadline = deadline_of();
        std::unique_lock lock(m_);
        waiters_.fetch_add(1, std::memory_order_seq_cst);
        bool got = false;
        for (;;) {
            if (!busy_.exchange(true, std::memory_order_seq_cst)) {
                got = true;
                break;
            }
            if (deadline == std::chrono::steady_clock::time_point::max()) {
                free_.wait(lock);
            } else if (free_.wait_until(lock, deadline) == std::cv_status::timeout) {
                got = !busy_.exchange(true, std::memory_order_seq_cst);
                break;
            }
        }
        waiters_.fetch_sub(1, std::memory_order_seq_cst);
        return got;
    }
    // A waiter counts itself before it looks at busy_, and the giver looks
    // at the count after it has cleared busy_ (both sequentially
    // consistent): either the waiter finds the turn free, or the giver finds
    // the waiter and wakes it under the mutex it waits with.
    void give() noexcept {
        busy_.store(false, std::memory_order_seq_cst);
        if (waiters_.load(std::memory_order_seq_cst) == 0) return;
        std::lock_guard lock(m_);
        free_.notify_all();
    }

  private:
    std::atomic<bool> busy_{false};
    std::atomic<std::uint32_t> waiters_{0};
    std::mutex m_;
    std::condition_variable free_;
};

// This process's use of one ring in one role (writer or reader): host
// threads of that role take their turn here, in process memory, before they
// touch the shared lock, and a reservation (writer) or a view (reader) that
// a host keeps open between two calls is recorded here.
struct RingUse {
    Turn turn;
    bool open = false;        // a reservation or view is open (in turn)
    bool split = false;       // a reservation's: planned by the split protocol
    std::uint64_t start = 0;  // its first byte's index in the data area
    std::uint64_t len = 0;    // its length
    std::uint64_t has = 0;    // a reservation's: has_data when taken
    std::uint32_t drops = 0;  // a view's: the ring's drop count when taken
    // Reader's role: reads and consumes this process has published, counted
    // by the turn's holder just before it publishes. A read that empties the
    // ring sets its positions back to 0, so the next write may leave the
    // tail where it stood: a sleeper that waits for a write tells one by the
    // tail and this count together.
    std::atomic<std::uint64_t> taken{0};
};
inline constexpr int k_writes = 0;
inline constexpr int k_reads = 1;

struct Link {
    shm_membuf *mb = nullptr;
    std::uint64_t length = 0; // bytes mapped at mb as far as this process knows
    // Ring geometry, written before a side goes live and fixed while one is
    // (atomics only so that a misused raw call cannot make a data race).
    std::atomic<std::uint64_t> pbuf_[2] = {};
    std::atomic<std::uint64_t> end_[2] = {};
    std::atomic<std::uint8_t> live[2] = {}; // by side: ring operations allowed
    // By side: this side is an endpoint's and speaks the split protocol
    // (SHM_RB_SPLIT); written before the side goes live.
    bool split[2] = {};
    bool held[2] = {};                      // by side: bound or attached (under the registry's lock)
    struct Own {
        std::atomic<std::uint64_t> hup{0};
        std::atomic<std::uint64_t> ring[2][3]{}; // [ring][lock, req, event]
        std::atomic<std::uint64_t> &of(int obj, int idx) noexcept { return obj == k_hup ? hup : ring[idx][obj - 1]; }
        // The name under which each handle was made or opened, kept in
        // process memory: the block's copy is the peer's to overwrite.
        // Written before the side goes live or a listener starts.
        char names[4][2][32] = {};
        char (&name(int obj, int idx) noexcept)[32] { return names[obj][obj == k_hup ? 0 : idx]; }
    } own[2];

    RingUse use[2][2]; // [ring][k_writes, k_reads]

    // The server's door for its clients' ties (shm/tie.h), open from bind
    // to unbind, and the connections that came through it for a client
    // other than the one a listener watched (the next client may join
    // before the last one's listener has ended): kept for the listener
    // that watches their client. Under m.
    struct Door {
        std::mutex m;
        int fd = -1;
        tie::DoorFile file;
        char name[32] = {};
        struct Pending {
            int fd = -1;
            char hello[32] = {};
        } pending[4];
    } door;
    // The client's end of its tie, from attach to the last step of its
    // detach, and the server's hang-up name it was made for (written before
    // tie): its listener watches that server, whatever the block shows by
    // the time it starts.
    std::atomic<int> tie{-1};
    char tied_to[32] = {};

    // References: one from the registry while a side holds the link, one
    // from every exported call that found it and is still running.
    std::atomic<std::uint32_t> refs{1};

    bool is_live(int side) const noexcept { return live[side].load(std::memory_order_acquire) != 0; }
    std::uint64_t pbuf(int idx) const noexcept { return pbuf_[idx].load(std::memory_order_relaxed); }
    std::uint64_t end(int idx) const noexcept { return end_[idx].load(std::memory_order_relaxed); }
    std::uint64_t handle(int side, int obj, int idx = 0) noexcept {
        return own[side].of(obj, idx).load(std::memory_order_acquire);
    }
};

// ---- the registry of links (membuf_link.cpp)

void release(Link *l) noexcept;

// A counted reference to a link, for a call that found it by address.
class LinkRef {
  public:
    explicit LinkRef(Link *l = nullptr) noexcept : l_(l) {}
    LinkRef(LinkRef &&o) noexcept : l_(o.l_) { o.l_ = nullptr; }
    LinkRef(const LinkRef &) = delete;
    LinkRef &operator=(const LinkRef &) = delete;
    LinkRef &operator=(LinkRef &&) = delete;
    ~LinkRef() {
        if (l_) release(l_);
    }
    explicit operator bool() const noexcept { return l_ != nullptr; }
    Link &operator*() const noexcept { return *l_; }
    Link *operator->() const noexcept { return l_; }
    Link *get() const noexcept { return l_; }

  private:
    Link *l_;
};

// The link of mb, kept alive for the caller; empty when this process has not
// bound or attached it.
LinkRef find(const shm_membuf *mb) noexcept;
// Marks side of mb as taken by this process, making the link when needed.
// Null, with an error line, only when memory runs out.
Link *hold(shm_membuf *mb, int side) noexcept;
// Gives side up again; the link goes once neither side holds it.
void unhold(Link *l, int side) noexcept;
// Records the rings of a block of size bytes for side, which goes live with
// go_live: false when size exceeds the mapped length, or when the other side
// of this process is live with a different layout.
bool trust_rings(Link &l, std::uint64_t size, int side) noexcept;
inline void go_live(Link &l, int side) noexcept { l.live[side].store(1, std::memory_order_release); }
inline void go_dead(Link &l, int side) noexcept { l.live[side].store(0, std::memory_order_release); }
// Keeps a new handle, made or opened under name, as this process's own and
// shows it in the block's slot.
void keep(Link &l, int side, int obj, int idx, std::uint64_t &slot, void *handle, const char (&name)[32]) noexcept;
// Whether name is one of the objects that side of this process made or
// opened for the link: never a valid name for the peer's hang-up mutex.
bool own_name(Link &l, int side, const char (&name)[32]) noexcept;
// The client's test that the block is still the one it attached to: ring
// idx's lock still carries the name the client opened. A rebuild (after the
// server ended the link) makes every object under a new name, and the
// server's unbind clears the names under each ring's lock first.
bool still_attached(const Link &l, int idx) noexcept;
// Closes this process's handle of an object once; the block's slot is
// cleared only if it still shows that handle.
void close_own(Link &l, int side, int obj, int idx, std::uint64_t &slot) noexcept;

// ---- rings (membuf_ring.cpp)

// How long a ring operation waits for the ring's lock (shm/timing.h).
inline constexpr std::uint32_t k_lock_wait_ms = timing::k_lock_wait_ms;

std::int32_t ring_bind(Link &l, int idx, std::uint64_t pbuf, std::uint64_t end) noexcept;
// Opens ring idx's objects, provided its lock still has lock_name (the bind
// the client claimed); -ENOTCONN otherwise.
std::int32_t ring_connect(Link &l, int idx, const char (&lock_name)[32]) noexcept;
void ring_disconnect(Link &l, int idx) noexcept;
void ring_withdraw(Link &l, int idx) noexcept;
// Write, read and release: a count, -ENOSPC, -EAGAIN, -ETIMEDOUT (lock not
// had in time), -EPROTO (the ring fails its checks), -EINVAL (the side is not
// live), -EBUSY (write or read: a reservation or view of the role is open),
// or on a client -ENOTCONN: the server has ended the link and the block is
// no longer the one attached to (nothing was published).
std::int64_t ring_write(Link &l, std::uint64_t idx, const void *src, std::uint64_t len) noexcept;
std::int64_t ring_read(Link &l, std::uint64_t idx, void *dst, std::uint64_t len) noexcept;
std::int64_t ring_release_space(Link &l, std::uint64_t idx, std::uint64_t n) noexcept;
// Zero-copy: a reservation of at least min_len contiguous free bytes of ring
// idx (at *data; the result is its length), published in part or whole by
// ring_commit; a view of the contiguous stored bytes at the ring's head (at
// *data; the result is their count), released in part or whole by
// ring_consume. One of each per ring and role at a time: a second, or a copy
// by the same role while one is open, gives -EBUSY. Commit and consume close
// what is open whatever their result, and give -EINVAL when nothing is
// open or len exceeds it. Reserve: -ENOSPC when not that much room lies in
// one piece now, -EMSGSIZE when min_len exceeds the capacity. View: -EAGAIN
// when nothing is stored. Consume: -ESTALE when the writer discarded bytes
// of the view (a release) while it was open; nothing is consumed. Other
// results as for write and read.
std::int64_t ring_reserve(Link &l, std::uint64_t idx, std::uint64_t min_len, void **data) noexcept;
// Commit wakes nobody: its caller wakes the reader (wake_if_waiting) once it
// has finished with the reservation, so that the reader's answer never finds
// it still closing.
std::int64_t ring_commit(Link &l, std::uint64_t idx, std::uint64_t len) noexcept;
std::int64_t ring_view(Link &l, std::uint64_t idx, const void **data) noexcept;
std::int64_t ring_consume(Link &l, std::uint64_t idx, std::uint64_t len) noexcept;
// Bytes waiting in ring idx, read without the lock and never more than its
// trusted capacity: a host sizes its read buffer by it.
std::size_t has_data(const Link &l, int idx) noexcept;

// Where ring idx stood for its reader at one moment: its tail, its count
// and the reads this process had taken from it. Any write since changes one
// of them (a split writer's add to the count is what a sleeper's
// announcement is ordered against).
struct Seen {
    std::uint64_t tail;
    std::uint64_t has;
    std::uint64_t taken;
};
Seen seen_now(Link &l, int idx) noexcept;
// Reads and consumes this process has taken from ring idx so far.
inline std::uint64_t taken(const Link &l, int idx) noexcept {
    return l.use[idx][k_reads].taken.load(std::memory_order_acquire);
}

// ---- sleeping and waking (membuf_wait.cpp)

// Sleeps on the incoming ring idx of this process's side for at most a
// second, after announcing the sleep and looking once more at the ring and at
// keep_awake(arg) (keep_awake may be null): a write or a state change that
// lands between the caller's last look and the sleep is never missed, as long
// as its author looks at the ring's waiting flag after a full fence. 0 woken
// (or nothing to sleep for), -ETIMEDOUT, k_has_sleeper, or the failed wait's
// negated error. Without data_wakes, bytes already waiting do not keep the
// caller awake: it sleeps until the next signal (a write, a stop, a state
// change) or the second runs out.
// With seen, a ring that has changed from it (a write since the caller
// looked) keeps the caller awake too. With own_flag, the caller is
// the ring's one sleeper in this process (its endpoint thread): a waiting
// flag found set is the peer's doing, not a second sleeper, and the caller
// sleeps all the same; without it such a flag gives k_has_sleeper. Without
// poll the caller sleeps at once, never polling the ring first (a link idle
// for a whole sleep gains nothing by it).
std::int32_t side_wait(Link &l, int idx, bool (*keep_awake)(void *), void *arg, bool data_wakes = true,
                       const Seen *seen = nullptr, bool own_flag = false, bool poll = true) noexcept;
// Signals ring idx's event through side's own handle if its reader sleeps.
// The fence inside orders the caller's earlier update before the look at
// waiting, pairing with the reader's announcement.
void wake_if_waiting(Link &l, std::uint64_t idx, int side) noexcept;
// The same after a sequentially consistent add to ring idx's has_data (a
// split writer's publication), which orders it as the fence would.
void wake_after_add(Link &l, std::uint64_t idx, int side) noexcept;
// The same for a block found by address (a listener that outlives its
// endpoint's link finds none and does nothing).
void wake_reader(shm_membuf *mb, int idx, int side) noexcept;
// Wakes this process's own sleeper on its incoming ring; false when none
// sleeps.
bool notify_own(Link &l, int side) noexcept;

// Whether this process may run on more than one CPU, so that polling a
// word that the peer changes can pay (taken once per process), and the
// processor's hint for one round of such a poll.
bool may_poll() noexcept;
void cpu_relax() noexcept;


// ---- the block's lifecycle (membuf_lifecycle.cpp)

// As the exported bind and connect, also giving the link made for the side.
// With split (the endpoints), the side announces the split protocol on both
// rings; each ring uses it once both of its ends have announced it.
std::int32_t bind(shm_membuf *mb, std::size_t size, Link **out, bool split = false) noexcept;
std::int32_t connect(shm_membuf *mb, std::size_t size, Link **out, bool split = false) noexcept;
std::int32_t unbind(shm_membuf *mb) noexcept;
std::int32_t disconnect(shm_membuf *mb) noexcept;
// The client's last step after its listener has ended: closes its hang-up
// mutex and lets go of its side of the link.
std::int32_t close_client_hup(shm_membuf *mb) noexcept;

// Writes a fresh object name of this process into out: a mutex's, or with
// event an event's. The pattern of the channel's first version while it
// fits the field; otherwise a compact form of the same pid and counter that
// always fits. Never cut, and distinct for every pid and counter.
void format_name(char (&out)[32], bool event) noexcept;
void format_name_for(char (&out)[32], bool event, std::uint32_t pid, std::uint32_t counter) noexcept;
// Creates a mutex (with owned, owned by the calling thread from the start,
// so that no other process can take it first) or with event an auto-reset
// event, under a fresh name written into name. An object that already exists under a name is
// never adopted (another process formats the same names when it has the same
// pid in another PID namespace): the next name is tried. Null on failure,
// with the cause in the last error.
void *create_named(char (&name)[32], bool event, bool owned = false) noexcept;

// The client's hang-up mutex name as published in the block: empty while the
// client is still taking its mutex. Returns false when it is empty or not
// properly terminated.
bool published_name(shm_named_handle &h, char (&out)[32]) noexcept;

// Whether name has the shape of a hang-up mutex's name as a peer formats it.
bool hup_name_shape(const char (&name)[32]) noexcept;


// Release and take this process's own hang-up mutex of the block (the
// server's reset hands it over for a moment). The take waits at most
// timeout_ms; 0 once held (also when a dead holder left it abandoned).
void release_own_hup(Link &l, int side) noexcept;
std::int32_t take_own_hup(Link &l, int side, std::uint32_t timeout_ms) noexcept;

// ---- ties (membuf_tie.cpp)

// The server's door: opened by bind once the block is ready, closed by
// unbind with every connection still kept at it.
std::int32_t open_door(Link &l, const char (&name)[32]) noexcept;
void close_door(Link &l) noexcept;
// Whether the door's name still leads to it.
bool door_named(Link &l) noexcept;
// Tells clients that wait for the port to look again.
void touch_door(Link &l) noexcept;
// The connection of the client whose hang-up name is hello: one kept at the
// door, or the next that comes before deadline_ns. A descriptor, or -EINTR
// (wake signalled), -ETIMEDOUT, -EBADF (no door), or another negated cause.
int admit(Link &l, const char (&hello)[32], int wake, std::int64_t deadline_ns) noexcept;
// The side's process has learnt from the kernel that its peer died: the
// peer's holds of the rings' locks end as abandoned, and their waiters wake.
void abandon_peer_locks(Link &l, int side) noexcept;
// Whether the rings' locks can be had within timeout_ms each (the server's
// look after a client has left: a lock left held or forged cannot).
bool locks_at_rest(Link &l, std::uint32_t timeout_ms) noexcept;
// Takes every connection waiting at the server's door: named ones (and ones
// not named yet) are kept for their listeners, the rest let go. Run while
// no client is attached, so that strays cannot fill the door's queue. A
// door whose name has gone is opened anew first.
void drain_door(Link &l) noexcept;

} // namespace vexa::block

// Ring idx of mb as the exported functions reach it, finding the link once.
std::int64_t shm_ringbuf_write(shm_membuf *mb, std::uint64_t idx, const void *src, std::uint64_t len);
std::int64_t shm_ringbuf_read(shm_membuf *mb, std::uint64_t idx, void *dst, std::uint64_t len);
