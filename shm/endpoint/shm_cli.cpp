// The client endpoint: a thread that attaches to a served region, retrying
// until a server has bound it, lets its host accept or refuse the link,
// delivers the server's bytes, follows the server's departures and returns.
//
// Every detach runs on the client thread (a mutex is released by the thread
// that owns it). Host threads reach the block only through the endpoint's
// gate, which the thread closes before it detaches or unmaps, so they never
// touch an unmapped block or a closed handle.
#include <fcntl.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "shm/block/membuf_internal.h"
#include "shm/endpoint/endpoint_internal.h"
#include "shm/log_internal.h"
#include "shm/tie.h"
#include "shm/timing.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"

namespace {

using vexa::endpoint::Delivery;
using vexa::thread::Endpoint;

// The server has ended this client's link: its listener has seen the
// server go (or lay the block out anew), or the block no longer shows the
// bind this client attached to. A client that the server declared dead while
// it lived (stopped for long, or its ring corrupt) learns it here.
bool link_lost(Endpoint *thr) {
    if (thr->listener && thr->listener->finished.load(std::memory_order_acquire)) return true;
    return thr->link && !(vexa::block::still_attached(*thr->link, 0) && vexa::block::still_attached(*thr->link, 1));
}

// Consulted after the client has announced its sleep on ring 0.
bool cli_keep_awake(void *arg) {
    auto *thr = static_cast<Endpoint *>(arg);
    return !thr->running.load(std::memory_order_seq_cst) || vexa::endpoint::broken_now(thr) ||
           !shm_membuf_is_ready(thr->membuf.load(std::memory_order_relaxed)) || link_lost(thr);
}

bool stopping(void *arg) { return !static_cast<Endpoint *>(arg)->running.load(std::memory_order_seq_cst); }

// A pause of 0 waits for a door all the same, and looks again after this
// long at the latest (a server that died while its block was claimed opens
// no door, and the next server's port may be made by a build without them).
constexpr std::int64_t k_longest_pause_ns = vexa::timing::k_longest_attach_pause_ns;
// A pause of 0 while this process is short of descriptors or memory: no
// door tells when that passes.
constexpr std::uint32_t k_trouble_pause_us = vexa::timing::k_trouble_pause_us;

// The pause between attempts to attach: until a server opens a door (or a
// server's client leaves) after seen, for timeout_us at most, cut short by a
// close. Asleep meanwhile: a waiting client costs nothing.
void wait_for_server(Endpoint *thr, const vexa::tie::DoorWaiter &doors, std::int64_t seen) {
    const std::uint32_t t = thr->data.endpoint.timeout_us;
    if (seen < 0 || thr->last_trouble != 0) {
        std::unique_lock lock(thr->pause_mutex);
        thr->pause_cond.wait_for(lock, std::chrono::microseconds(t ? t : k_trouble_pause_us),
                                 [thr] { return !thr->running.load(std::memory_order_seq_cst); });
        return;
    }
    const std::int64_t timeout = t ? static_cast<std::int64_t>(t) * 1000 : k_longest_pause_ns;
    doors.wait(seen, timeout, stopping, thr);
}

// The pause after a link has ended: timeout_us, cut short by a close.
void pause(Endpoint *thr) {
    const std::uint32_t t = thr->data.endpoint.timeout_us;
    if (t == 0) return;
    std::unique_lock lock(thr->pause_mutex);
    thr->pause_cond.wait_for(lock, std::chrono::microseconds(t),
                             [thr] { return !thr->running.load(std::memory_order_seq_cst); });
}

// The thread's end when it was asked to stop: the closer waits for the notice.
void *stopped_end(Endpoint *thr) {
    shm_log_info("%s stopped as interrupted\n", thr->name);
    vexa::thread::notify(thr);
    return nullptr;
}

// The thread's end on its own (a failure retrying cannot cure). Whoever
// clears running first decides: if this thread does, nobody waits for it and
// it never touches the object again; if a close came first, it waits for the
// notice of a stopped end.
void *end_alone(Endpoint *thr) {
    {
        // Told under the lock that makes the descriptor (which then finds
        // either the event or running given up), and before running is given
        // up: once it is, the owner may free the object, after taking this
        // lock once more.
        std::unique_lock lock(thr->event_mutex);
        if (thr->running.load(std::memory_order_seq_cst)) vexa::endpoint::raise_events(thr, SHM_EV_ENDED);
        if (thr->running.exchange(0, std::memory_order_seq_cst)) return nullptr;
    }
    return stopped_end(thr);
}

// Detaches: the listener is told first that a normal return of its wait now
// means the end, then the block is left and the listener collected.
void detach(Endpoint *thr, shm_membuf *mb) {
    vexa::endpoint::close_gate(thr);
    thr->link = nullptr;
    vexa::thread::ask_to_leave(thr->listener);
    vexa::block::disconnect(mb);
    vexa::endpoint::collect_listener(thr->listener);
    vexa::block::close_client_hup(mb);
    vexa::endpoint::let_go_region(thr);
}

enum class Attempt { attached, retry, fail };

// This process's own trouble (out of descriptors or memory, or a directory
// of objects that another user has squatted): never the end of the client,
// which tries again. An error line is written when the cause changes, not
// on every attempt.
Attempt passing_trouble(Endpoint *thr, std::int32_t e, const char *what) {
    if (e != thr->last_trouble)
        shm_log_error("%s: %s failed (%d): %s, trying again\n", thr->name, what, e, strerror(e));
    thr->last_trouble = e;
    return Attempt::retry;
}

// ENOSPC: /dev/shm is full for the moment.
bool resources_short(std::int32_t e) {
    return e == EMFILE || e == ENFILE || e == ENOMEM || e == EAGAIN || e == ENOSPC;
}

Attempt attempt(Endpoint *thr) {
    const shm_endpoint &ep = thr->data.endpoint;
    thr->region = shmt_open(ep.path, O_RDWR, 0);
    if (thr->region == shmt_invalid_fd()) {
        const std::int32_t e = shmt_errno();
        if (e == ENOENT) return Attempt::retry;
        if (e == EINVAL || e == ENAMETOOLONG) return Attempt::fail; // a path that can never name a region
        return passing_trouble(thr, e, "opening the region");
    }

    shm_membuf *mb = nullptr;
    if (const std::int32_t r = shm_membuf_map(thr->region, ep.size, &mb); r < 0) {
        const std::int32_t e = r == -1 ? shmt_errno() : -r;
        shmt_close(thr->region);
        thr->region = shmt_invalid_fd();
        // Only a shortage passes; a region too small for the configured
        // size never grows, so retrying it would be for ever.
        if (r == -1 && resources_short(e)) return passing_trouble(thr, e, "mapping the region");
        shm_log_error("error mapping shm_cli (%d)\n", e);
        return Attempt::fail;
    }
    thr->membuf.store(mb);
    const std::int32_t r = vexa::block::connect(mb, ep.size, &thr->link, true);
    if (r == 0) {
        thr->last_trouble = 0;
        return Attempt::attached;
    }
    vexa::endpoint::let_go_region(thr);
    if (resources_short(-r)) return passing_trouble(thr, -r, "attaching");
    // Not ready, taken by another client, the server withdrawing its
    // objects under our feet (they are gone: ENOENT), or laying the block
    // out anew while this attach was held up (ENOTCONN): all pass, so retry.
    if (r == SHM_E_NOT_READY || r == SHM_E_ALREADY_CONNECTED || r == -ENOENT || r == -ENOTCONN) {
        if (r == SHM_E_NOT_READY) shmt_unlink(ep.path);
        shm_log_debug("error connecting (%d): %s\n", -r, shm_strerror(r));
        return Attempt::retry;
    }
    shm_log_error("%s: attach refused (%d): %s\n", thr->name, -r, shm_strerror(r));
    return Attempt::fail;
}

// Tries to attach until it succeeds (ok), fails for good (fail) or the
// client is stopped (retry). The watch of the folder ends with this call,
// before the thread tells a closer that it has stopped.
Attempt attach_when_served(Endpoint *thr) {
    Attempt a = Attempt::retry;
    const vexa::tie::DoorWaiter doors;
    while (thr->running.load(std::memory_order_seq_cst)) {
        // Taken before the look: a door opened after it is never missed.
        const std::int64_t seen = doors.events();
        a = attempt(thr);
        if (a != Attempt::retry) break;
        wait_for_server(thr, doors, seen);
    }
    return a;
}

// Reports the link to the host, who may refuse it (false: the client has
// let go of it and ends), and starts watching the server.
bool begin_link(Endpoint *thr, shm_membuf *mb) {
    vexa::endpoint::next_link(thr);
    // The host may send from on_connected already.
    vexa::thread::open_gate(thr);
    if (vexa::endpoint::call_connected(thr) < 0) {
        shm_log_info("connection rejected by user\n");
        vexa::endpoint::close_gate(thr);
        thr->link = nullptr;
        vexa::block::disconnect(mb);
        vexa::block::close_client_hup(mb);
        vexa::endpoint::let_go_region(thr);
        return false;
    }
    thr->listener = vexa::endpoint::start_listener(thr);
    if (!thr->listener) shm_log_error("%s hup listener not started", thr->name);
    // Wake the server so that it sees the attach at once.
    vexa::block::wake_if_waiting(*thr->link, 1, vexa::block::k_cli);
    return true;
}

// Delivers the server's bytes until the client is stopped or the link ends
// (the server has gone, broke its ring, or ended this link).
void serve_link(Endpoint *thr, shm_membuf *mb) {
    while (thr->running.load(std::memory_order_seq_cst)) {
        if (vexa::endpoint::take_broken(thr) || !shm_membuf_is_ready(mb) || link_lost(thr)) break;
        if (vexa::endpoint::deliver(thr, *thr->link, false, cli_keep_awake) == Delivery::broken)
            vexa::endpoint::mark_broken(thr, thr->link_no.load(std::memory_order_relaxed));
    }
}

void *shm_cli_connecting(void *arg) {
    auto *thr = static_cast<Endpoint *>(arg);
    if (!thr) return nullptr;
    if (!thr->data.endpoint.path) return end_alone(thr);

    for (;;) {
        if (!thr->running.load(std::memory_order_seq_cst)) return stopped_end(thr);
        thr->membuf.store(nullptr);
        shm_log_info("%s trying to connect, timeout %.3f sec\n", thr->name,
                     static_cast<double>(thr->data.endpoint.timeout_us) / 1000000.0);
        const Attempt a = attach_when_served(thr);
        if (a == Attempt::retry) return stopped_end(thr);
        if (a == Attempt::fail) return end_alone(thr);

        shm_membuf *mb = thr->membuf.load();
        if (!begin_link(thr, mb)) return end_alone(thr);
        serve_link(thr, mb);
        if (!thr->running.load(std::memory_order_seq_cst)) {
            // Stop sequence: the host hears of the end before anything is undone.
            vexa::endpoint::call_disconnected(thr);
            detach(thr, mb);
            return stopped_end(thr);
        }
        // The link has ended: let go, report, pause, and start a new
        // connection cycle.
        detach(thr, mb);
        vexa::endpoint::call_disconnected(thr);
        pause(thr);
    }
}

} // namespace

extern "C" {

VEXA_API shm_thread *shm_cli_connect(const shm_data *data) {
    using vexa::endpoint::start_failed;
    if (!vexa::endpoint::config_usable(data, "shm_cli")) return start_failed(EINVAL);
    std::int32_t e = 0;
    Endpoint *thr = vexa::thread::new_endpoint(data, SHM_CLI, &e);
    if (!thr) {
        shm_log_error("error starting shm_cli (%d): %s", -e, strerror(-e));
        return start_failed(-e);
    }
    // Set before the thread exists, so that a close that comes before the
    // thread's first step still waits for it instead of freeing the object
    // under it.
    thr->running.store(1, std::memory_order_seq_cst);
    // Admitted before the thread runs, which may call back at once; the
    // failure below destroys the object, which takes it out again.
    vexa::thread::admit(thr);
    if (const int err = pthread_create(&thr->thread, nullptr, shm_cli_connecting, thr)) {
        shm_log_error("error starting shm_cli (%d): %s", err, strerror(err));
        destroy_shm_thread(thr);
        return start_failed(err);
    }
    pthread_detach(thr->thread);
    return thr;
}

} // extern "C"

std::int32_t vexa::endpoint::close_client(Endpoint *thr) noexcept {
    cancel_zero_copy(thr);
    if (thr->running.exchange(0, std::memory_order_seq_cst)) {
        // Cut a pause short, and wake the thread if it sleeps on ring 0 (the
        // gate keeps the block mapped while this looks at it).
        {
            std::lock_guard lock(thr->pause_mutex);
        }
        thr->pause_cond.notify_all();
        vexa::tie::poke_waiters();
        if (vexa::block::Link *l = vexa::thread::enter(thr)) {
            if (shm_membuf_is_connected(l->mb)) vexa::block::notify_own(*l, vexa::block::k_cli);
            vexa::thread::leave(thr);
        }
        vexa::thread::wait(thr);
    } else {
        // The thread ended on its own: it may still be leaving end_alone.
        std::lock_guard lock(thr->event_mutex);
    }
    destroy_shm_thread(thr);
    return 0;
}
