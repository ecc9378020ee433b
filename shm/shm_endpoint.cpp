// The delivery step and the other pieces that the server and client endpoint
// threads share, and the channel operations that hosts call on either kind
// of endpoint.
#include <sys/eventfd.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "shm/endpoint_internal.h"
#include "shm/membuf_internal.h"
#include "shm/timing.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"

namespace vexa::endpoint {

namespace {

// Sleeps on this side's incoming ring. A wait that fails outright (its event
// is gone, for instance after a rebind that could not complete) must not turn
// the loop into a spin.
void sleep_on_ring(thread::Endpoint *thr, block::Link &l, int idx, bool (*keep_awake)(void *), bool data_wakes,
                   const block::Seen *seen = nullptr) noexcept {
    // A thread whose last sleep ran its whole second out serves an idle
    // link: it sleeps again at once, so that an idle link costs one short
    // wake-up a second and no polling.
    const std::int32_t r = block::side_wait(l, idx, keep_awake, thr, data_wakes, seen, true, !thr->slept_out);
    thr->slept_out = r == -ETIMEDOUT;
    if (r != 0 && r != -ETIMEDOUT) usleep(vexa::timing::k_failed_sleep_pause_us);
}

} // namespace

Delivery deliver(thread::Endpoint *thr, block::Link &l, bool server, bool (*keep_awake)(void *)) noexcept {
    const int idx = server ? 1 : 0;
    const std::size_t n = block::has_data(l, idx);
    if (n == 0) {
        sleep_on_ring(thr, l, idx, keep_awake, true);
        return Delivery::idle;
    }
    const shm_handlers &h = thr->data.handlers;
    if (!h.on_data && !h.on_data_ready) {
        // Nobody to hand the bytes to: they stay for the host's own reads,
        // and the loop sleeps until something new happens (a write, a state
        // change, or a second) instead of finding them again at once, for
        // ever. Where the ring stood when the host was told: a write after
        // this wakes the thread to tell it again, even one that lands before
        // the thread has announced its sleep (the writer then signals nobody).
        const block::Seen seen = block::seen_now(l, idx);
        raise_events(thr, SHM_EV_DATA);
        sleep_on_ring(thr, l, idx, keep_awake, false, &seen);
        return Delivery::idle;
    }
    raise_events(thr, SHM_EV_DATA);
    if (h.on_data) {
        // The chunk lives on this thread's stack; nothing is allocated per read.
        std::uint8_t buf[UINT16_MAX];
        const std::size_t m = std::min<std::size_t>(thr->data.endpoint.chunk_max, n);
        const std::int64_t r = block::ring_read(l, idx, buf, m);
        if (r == -EPROTO || r == -ENOTCONN) return Delivery::broken;
        // A host holds a view of the ring open: its bytes are the host's
        // until it consumes them.
        if (r == -EBUSY) usleep(vexa::timing::k_view_open_pause_us);
        if (r >= 1) {
            thread::CallbackScope scope(thr);
            h.on_data(h.user_data, thr, buf, r);
        }
        return Delivery::delivered;
    }
    // If the host takes none of the n bytes now (it reads later, from
    // another thread or its own loop), the thread sleeps until the next
    // write, state change or stop instead of telling it again and again at
    // once. Only this process takes bytes from the ring, so with none taken
    // the count still shows n unless a write came meanwhile; the common case
    // (bytes taken) costs one look at a count in process memory.
    const std::uint64_t taken = block::taken(l, idx);
    {
        thread::CallbackScope scope(thr);
        h.on_data_ready(h.user_data, thr, static_cast<std::int32_t>(std::min<std::size_t>(n, INT32_MAX)));
    }
    // Where the ring stands, taken before the looks that decide: a read or
    // write after it shows in the sleep's own look.
    const block::Seen seen = block::seen_now(l, idx);
    if (seen.taken == taken && block::has_data(l, idx) == n) sleep_on_ring(thr, l, idx, keep_awake, false, &seen);
    return Delivery::delivered;
}

void let_go_region(thread::Endpoint *thr) noexcept {
    if (shm_membuf *mb = thr->membuf.exchange(nullptr)) shmt_unmap(mb, thr->data.endpoint.size);
    if (thr->region != shmt_invalid_fd()) shmt_close(thr->region);
    thr->region = shmt_invalid_fd();
}

void collect_listener(thread::Listener *&listener) noexcept {
    if (!listener) return;
    thread::ask_to_leave(listener);
    thread::wait(listener);
    destroy_shm_thread(listener);
    listener = nullptr;
}

std::int32_t call_connected(thread::Endpoint *thr) noexcept {
    const shm_handlers &h = thr->data.handlers;
    std::int32_t r = 0;
    if (h.on_connected) {
        thread::CallbackScope scope(thr);
        r = h.on_connected(h.user_data, thr);
    }
    // A client that refuses the link has no link to report.
    if (r >= 0 || thr->type == SHM_SRV) {
        thr->linked.store(1, std::memory_order_seq_cst);
        raise_events(thr, SHM_EV_CONNECTED);
    }
    return r;
}

void call_disconnected(thread::Endpoint *thr) noexcept {
    const shm_handlers &h = thr->data.handlers;
    thr->linked.store(0, std::memory_order_seq_cst);
    raise_events(thr, SHM_EV_DISCONNECTED);
    if (!h.on_disconnected) return;
    thread::CallbackScope scope(thr);
    h.on_disconnected(h.user_data, thr);
}

void raise_events(thread::Endpoint *thr, std::uint32_t bits) noexcept {
    const int fd = thr->event_fd.load(std::memory_order_seq_cst);
    if (fd < 0) return;
    // Only the change from nothing pending to something makes the
    // descriptor readable: a busy link costs one system call per time the
    // host takes its events, not one per message.
    if (thr->events.fetch_or(bits, std::memory_order_seq_cst) != 0) return;
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool config_usable(const shm_data *data, const char *who) noexcept {
    if (data && data->handlers.on_data && data->endpoint.chunk_max == 0) {
        shm_log_error("error starting %s: on_data needs a chunk_max of at least 1\n", who);
        return false;
    }
    return true;
}

void mark_broken(thread::Endpoint *thr, std::uint32_t no) noexcept { thr->broken.store(no, std::memory_order_seq_cst); }

bool broken_now(const thread::Endpoint *thr) noexcept {
    return thr->broken.load(std::memory_order_seq_cst) == thr->link_no.load(std::memory_order_relaxed);
}

bool take_broken(thread::Endpoint *thr) noexcept {
    return thr->broken.exchange(0, std::memory_order_acq_rel) == thr->link_no.load(std::memory_order_relaxed);
}

void next_link(thread::Endpoint *thr) noexcept {
    // Never 0, which marks no link broken.
    std::uint32_t no = thr->link_no.load(std::memory_order_relaxed) + 1;
    if (no == 0) no = 1;
    thr->link_no.store(no, std::memory_order_seq_cst);
    thr->broken.store(0, std::memory_order_seq_cst);
}

} // namespace vexa::endpoint

namespace {

// A failed host operation that means the link is over for this side: the
// endpoint thread ends it (woken, if it sleeps, while the gate still keeps
// the link).
void note_result(vexa::thread::Endpoint *thr, vexa::block::Link &l, std::uint32_t no, std::int64_t r,
                 bool reading) noexcept {
    if ((r == -EPROTO && reading) || r == -ENOTCONN) {
        vexa::endpoint::mark_broken(thr, no);
        vexa::block::notify_own(l, thr->type == SHM_SRV ? vexa::block::k_srv : vexa::block::k_cli);
    }
}

enum class Op { send, recv, release };

// The one way in for host operations: checks the kind, passes the gate, and
// runs op on this side's rings.
ssize_t host_op(shm_thread *handle, Op op, void *buf, size_t len) {
    vexa::thread::Endpoint *thr = vexa::thread::endpoint_of(handle);
    if (!thr || (op != Op::release && !buf)) return -EINVAL;
    vexa::block::Link *l = vexa::thread::enter(thr);
    if (!l) return -EINVAL;
    // The link this call runs on, taken before the call: a mark it raises
    // must name that link, not one that began meanwhile.
    const std::uint32_t no = thr->link_no.load(std::memory_order_relaxed);
    const bool server = thr->type == SHM_SRV;
    std::int64_t r = 0;
    switch (op) {
    case Op::send: r = vexa::block::ring_write(*l, server ? 0 : 1, buf, len); break;
    case Op::recv: r = vexa::block::ring_read(*l, server ? 1 : 0, buf, len); break;
    case Op::release: r = vexa::block::ring_release_space(*l, server ? 0 : 1, len); break;
    }
    note_result(thr, *l, no, r, op == Op::recv);
    vexa::thread::leave(thr);
    return static_cast<ssize_t>(r);
}

// Opens the reservation (into wdata) or the view (into rdata). On success the gate
// stays passed until zc_close.
ssize_t zc_open(shm_thread *handle, std::uint64_t min_len, void **wdata, const void **rdata) {
    const int which = wdata ? 0 : 1;
    using namespace vexa::thread;
    Endpoint *thr = endpoint_of(handle);
    if (!thr || (!wdata && !rdata)) return -EINVAL;
    Endpoint::ZeroCopy &zc = thr->zc[which];
    std::uint8_t none = k_zc_none;
    if (!zc.state.compare_exchange_strong(none, k_zc_opening, std::memory_order_acq_rel)) return -EBUSY;
    vexa::block::Link *l = enter(thr);
    if (!l) {
        zc.state.store(k_zc_none, std::memory_order_release);
        return -EINVAL;
    }
    const bool server = thr->type == SHM_SRV;
    // The link this call runs on, taken before the call: a mark it raises
    // must name that link, not one that began meanwhile.
    const std::uint32_t no = thr->link_no.load(std::memory_order_relaxed);
    const std::int64_t r = which == 0 ? vexa::block::ring_reserve(*l, server ? 0 : 1, min_len, wdata)
                                      : vexa::block::ring_view(*l, server ? 1 : 0, rdata);
    if (r < 0) {
        note_result(thr, *l, no, r, which == 1);
        zc.state.store(k_zc_none, std::memory_order_release);
        leave(thr);
        return static_cast<ssize_t>(r);
    }
    zc.link = l;
    zc.link_no = no;
    zc.state.store(k_zc_open, std::memory_order_release);
    return static_cast<ssize_t>(r);
}

// Commits or consumes len bytes of what zc_open opened, closes it and lets
// the gate go.
ssize_t zc_close(shm_thread *handle, int which, std::uint64_t len) {
    using namespace vexa::thread;
    Endpoint *thr = endpoint_of(handle);
    if (!thr) return -EINVAL;
    Endpoint::ZeroCopy &zc = thr->zc[which];
    std::uint8_t open = k_zc_open;
    if (!zc.state.compare_exchange_strong(open, k_zc_closing, std::memory_order_acq_rel)) return -EINVAL;
    vexa::block::Link *l = zc.link;
    const bool server = thr->type == SHM_SRV;
    const std::int64_t r = which == 0 ? vexa::block::ring_commit(*l, server ? 0 : 1, len)
                                      : vexa::block::ring_consume(*l, server ? 1 : 0, len);
    note_result(thr, *l, zc.link_no, r, which == 1);
    zc.link = nullptr;
    zc.state.store(k_zc_none, std::memory_order_release);
    // The peer is woken only now: its answer may make this side reserve
    // again at once (from a callback, say), which must not find the
    // reservation still closing. The gate still keeps the link.
    if (which == 0 && r > 0)
        vexa::block::wake_if_waiting(*l, server ? 0 : 1, server ? vexa::block::k_srv : vexa::block::k_cli);
    leave(thr);
    return static_cast<ssize_t>(r);
}

} // namespace

// A reservation or view left open would hold the gate that the endpoint
// thread waits on before it lets the block go: a stop cancels it (nothing
// committed or consumed), and its pointer is dead once the stop returns.
void vexa::endpoint::cancel_zero_copy(vexa::thread::Endpoint *thr) noexcept {
    for (int which = 0; which < 2; ++which) zc_close(thr, which, 0);
}

bool vexa::endpoint::refuse_in_callback(shm_thread *handle, const char *what) noexcept {
    if (!vexa::thread::in_callback(handle)) return false;
    shm_log_error("%s: %s refused inside a callback of an endpoint\n", handle->name, what);
    return true;
}

void vexa::endpoint::close_gate(vexa::thread::Endpoint *thr) noexcept {
    // Looked at on every round: a reservation still opening when the gate
    // closed is open (and cancellable) a moment later.
    vexa::thread::close_gate(thr, [](vexa::thread::Endpoint *t) {
        if (!t->running.load(std::memory_order_seq_cst)) cancel_zero_copy(t);
    });
}

extern "C" {

VEXA_API ssize_t shm_reserve(shm_thread *thr, size_t min_len, void **data) {
    return data ? zc_open(thr, min_len, data, nullptr) : -EINVAL;
}

VEXA_API ssize_t shm_commit(shm_thread *thr, size_t len) { return zc_close(thr, 0, len); }

VEXA_API ssize_t shm_view(shm_thread *thr, const void **data) {
    return data ? zc_open(thr, 0, nullptr, data) : -EINVAL;
}

VEXA_API ssize_t shm_consume(shm_thread *thr, size_t len) { return zc_close(thr, 1, len); }

VEXA_API ssize_t shm_send(shm_thread *thr, const void *buf, size_t len) {
    return host_op(thr, Op::send, const_cast<void *>(buf), len);
}

VEXA_API ssize_t shm_recv(shm_thread *thr, void *buf, size_t len) { return host_op(thr, Op::recv, buf, len); }

VEXA_API ssize_t shm_release_space(shm_thread *thr, size_t n) { return host_op(thr, Op::release, nullptr, n); }

VEXA_API int shm_event_fd(shm_thread *handle) {
    vexa::thread::Endpoint *thr = vexa::thread::endpoint_of(handle);
    if (!thr) return -EINVAL;
    std::lock_guard lock(thr->event_mutex);
    if (const int fd = thr->event_fd.load(std::memory_order_acquire); fd >= 0) return fd;
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return -errno;
    thr->event_fd.store(fd, std::memory_order_seq_cst);
    // What is already so when the descriptor is made counts as news: a link
    // that stands (one the host has been told of), and bytes that wait.
    std::uint32_t now = thr->linked.load(std::memory_order_seq_cst) ? SHM_EV_CONNECTED : 0;
    if (thr->type == SHM_CLI && !thr->running.load(std::memory_order_seq_cst)) now |= SHM_EV_ENDED; // gave up already
    if (vexa::block::Link *l = vexa::thread::enter(thr)) {
        if (vexa::block::has_data(*l, thr->type == SHM_SRV ? 1 : 0) != 0) now |= SHM_EV_DATA;
        vexa::thread::leave(thr);
    }
    if (now) vexa::endpoint::raise_events(thr, now);
    return fd;
}

VEXA_API std::int32_t shm_take_events(shm_thread *handle) {
    vexa::thread::Endpoint *thr = vexa::thread::endpoint_of(handle);
    if (!thr) return -EINVAL;
    const int fd = thr->event_fd.load(std::memory_order_acquire);
    if (fd < 0) return 0;
    // Emptied before the set is taken: an event raised in between either
    // lands in the set taken here, or makes the descriptor readable again
    // for the next round (then perhaps with nothing new: a spurious wake-up).
    std::uint64_t count = 0;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    // Events of one kind merge (a departure and the next arrival both show),
    // so the state as it stands now goes with them.
    const std::uint32_t taken = thr->events.exchange(0, std::memory_order_seq_cst);
    return static_cast<std::int32_t>(taken | (thr->linked.load(std::memory_order_seq_cst) ? SHM_EV_LINKED : 0));
}

VEXA_API std::int32_t shm_close(shm_thread *handle) {
    if (vexa::endpoint::refuse_in_callback(handle, "close")) return -EDEADLK;
    // A handle closed before, or never returned, is refused before anything
    // of it is read; of two closes at once, one goes on. Only endpoints are
    // ever admitted.
    if (!vexa::thread::retire(handle)) return -EINVAL;
    auto *thr = static_cast<vexa::thread::Endpoint *>(handle);
    return thr->type == SHM_SRV ? vexa::endpoint::stop_server(thr) : vexa::endpoint::close_client(thr);
}

} // extern "C"
