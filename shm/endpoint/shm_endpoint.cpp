// The delivery step and the other pieces that the server and client endpoint
// threads share. The calls hosts make on either kind of endpoint are in
// shm_api.cpp.
#include <sys/eventfd.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "shm/block/membuf_internal.h"
#include "shm/endpoint/endpoint_internal.h"
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
