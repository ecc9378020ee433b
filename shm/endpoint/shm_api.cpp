// The channel operations that hosts call on either kind of endpoint (send,
// receive, release, the zero-copy calls, the event descriptor, close): each
// checks the handle, passes the endpoint's gate and runs on this side's rings.
#include <sys/eventfd.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "shm/block/membuf_internal.h"
#include "shm/endpoint/endpoint_internal.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_logs.h"

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
