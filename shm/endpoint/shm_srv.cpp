// The server endpoint: creates and binds a region, then reports a client's
// attach, data and detach to the host from a thread of its own, and rebuilds
// the block for the next client when one has gone.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "shm/block/membuf_internal.h"
#include "shm/endpoint/endpoint_internal.h"
#include "shm/log_internal.h"
#include "shm/timing.h"
#include "shm/win_api.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"

namespace {

using vexa::endpoint::Delivery;

namespace timing = vexa::timing;

// How long the loop waits for a claiming client's name before it reports the
// link anyway (and leaves the name to the listener, which gives up on a
// claimer that has not named itself after two seconds).
constexpr auto k_name_grace = std::chrono::milliseconds(timing::k_name_grace_ms);
using vexa::thread::Endpoint;

// The client the listener watches has gone: the listener has seen its tie
// end, or (with by_name) the block shows another name than the one watched
// (the client left and the next one claimed the block before this loop
// looked). The name is compared only by a loop that has nothing to deliver:
// a departing client's bye ends its listener anyway, and the comparison
// stays off the path of every delivery.
bool departed(Endpoint *thr, shm_membuf *mb, bool by_name) {
    const vexa::thread::Listener *l = thr->listener;
    if (!l) return false;
    if (l->finished.load(std::memory_order_seq_cst) != 0) return true;
    if (!by_name) return false;
    char now[32];
    return l->expected[0] && !(vexa::block::published_name(mb->cli_hup, now) && strncmp(now, l->expected, sizeof now) == 0);
}

// Consulted after the server has announced its sleep: anything the loop must
// act on keeps it awake (a stop, a change of the connected bit, a client
// that has gone).
bool srv_keep_awake(void *arg) {
    auto *thr = static_cast<Endpoint *>(arg);
    if (!thr->running.load(std::memory_order_seq_cst) || vexa::endpoint::broken_now(thr)) return true;
    shm_membuf *mb = thr->membuf.load(std::memory_order_relaxed);
    if (shm_membuf_is_connected(mb) != thr->seen) return true;
    return departed(thr, mb, true);
}

void release_region(Endpoint *thr) {
    vexa::endpoint::let_go_region(thr);
    shmt_unlink(thr->data.endpoint.path);
}

// The region's name can go while the server serves (its user's object folder
// removed at logout, or by hand): the block then lives on for the server and
// its client, but no later client can find it. The rebuild makes the region
// anew under its name and lets the old one go. 0, or the negated cause.
std::int32_t renew_region(Endpoint *thr, std::uint64_t size) noexcept {
    if (HandleStillNamed(thr->region)) return 0;
    void *fresh = shmt_open(thr->data.endpoint.path, O_RDWR | O_CREAT | O_EXCL, size);
    if (!fresh) return -shmt_errno();
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another server has made the name meanwhile: its region is not ours
        // to lay out. Tried again until the name is free.
        shmt_close(fresh);
        return -EEXIST;
    }
    // Held as the server's sign that a living server holds the port.
    HoldExclusive(fresh);
    shm_membuf *mb = nullptr;
    if (const std::int32_t r = shm_membuf_map(fresh, size, &mb); r < 0) {
        const std::int32_t e = r == -1 ? -shmt_errno() : r;
        shmt_close(fresh);
        return e;
    }
    if (shm_membuf *old = thr->membuf.exchange(mb)) shmt_unmap(old, size);
    shmt_close(thr->region);
    thr->region = fresh;
    shm_log_info("%s: the region's name had gone; the region is made anew\n", thr->name);
    return 0;
}

// Lays the unbound block out again with the configured size (never the
// block's: a dead or hostile client may have written any size there) and
// opens the gate; false (with an error line) when the bind fails: the
// server's loop then tries again, waiting longer each time.
bool rebuild_block(Endpoint *thr, shm_membuf *mb) noexcept {
    const std::uint64_t size = thr->data.endpoint.size;
    // A client may have claimed the block in the instant between the death
    // being noticed and the unbind; its attach then finds the bind retired
    // and lets go at once. One that has not let go within a tenth of a second
    // is held up (stopped, say): its claim is on a bind that is no more (it
    // can never attach to the next one), so it is cleared, or the server
    // would never be ready again.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing::k_stale_claim_ms);
    while ((vexa::block::flags(mb) & SHM_CONNECTED) && std::chrono::steady_clock::now() < give_up &&
           thr->running.load(std::memory_order_acquire))
        usleep(timing::k_claim_poll_us);
    if (!(vexa::block::flags(mb) & SHM_READY)) vexa::block::ref(mb->flags).fetch_and(~SHM_CONNECTED);
    std::int32_t r = renew_region(thr, size);
    if (r == 0) r = vexa::block::bind(thr->membuf.load(), size, &thr->link, true);
    if (r != 0) {
        // Retried with back-off for as long as it fails: the cause is told
        // once, and again only when it changes.
        if (r != thr->last_trouble)
            shm_log_error("%s: rebuild failed (%d): %s, trying again\n", thr->name, -r, shm_strerror(r));
        thr->last_trouble = r;
        return false;
    }
    thr->last_trouble = 0;
    vexa::thread::open_gate(thr);
    return true;
}

// Whether the block must be laid out anew before the next client: after a
// death; when the hang-up mutex handed to the departed client's listener
// does not come back at once (something other than this thread holds it: a
// misbehaving client that opened it); when nobody can find the region or
// the door by name any more; or when the rings' locks are left held or
// written over (a forged owner would time out every later call).
bool needs_rebuild(Endpoint *thr, shm_membuf *mb, vexa::block::Link &link) noexcept {
    return (vexa::block::flags(mb) & SHM_CLI_HUP) ||
           vexa::block::take_own_hup(link, vexa::block::k_srv, vexa::block::k_lock_wait_ms) != 0 ||
           !HandleStillNamed(thr->region) || !vexa::block::door_named(link) ||
           !vexa::block::locks_at_rest(link, timing::k_locks_at_rest_ms);
}

// A client has gone (detached, died, or broke its ring): collect its
// listener, make the block ready for the next one, and tell the host.
void client_gone(Endpoint *thr, shm_membuf *mb, bool broken) {
    if (broken) {
        // Treated as a dead client: the block is rebuilt. Its listener ends
        // within two slices even though the client still holds its mutex.
        vexa::block::ref(mb->flags).fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
        vexa::block::ref(mb->flags).fetch_or(SHM_CLI_HUP, std::memory_order_seq_cst);
    }
    vexa::endpoint::collect_listener(thr->listener);
    vexa::endpoint::next_link(thr);
    vexa::endpoint::ready_for_next_client(thr);
    vexa::endpoint::call_disconnected(thr);
    thr->seen = 0;
}

// Whoever serves a region holds an exclusive lock on it (HoldExclusive) for
// as long as it serves, and the kernel lets the lock go when that server
// ends, however it ends. A server that gets the lock therefore knows that no
// living server holds the port, whatever the block says; nothing a peer
// writes goes into that decision.
enum class Port { ours, served, unknown };

Port claim_port(Endpoint *thr) {
    if (HoldExclusive(thr->region)) return Port::ours;
    return GetLastError() == error_from_errno(EAGAIN) || GetLastError() == error_from_errno(EACCES) ? Port::served
                                                                                                  : Port::unknown;
}

// The port is this server's, yet its block still shows the link of a server
// that has died (killed, say), and perhaps that server's client, which has
// not yet noticed the death (or is stopped). The client is given about a
// second to let go; then the block is taken over all the same: its bind is
// laid out anew under new names, which a client that comes back finds and
// lets go of.
void take_over_stale_link(Endpoint *thr, shm_membuf *mb) {
    constexpr std::uint32_t busy = SHM_READY | SHM_CONNECTED;
    if (!(vexa::block::flags(mb) & busy)) return;
    if (vexa::block::flags(mb) & SHM_CONNECTED) {
        shm_log_info("%s: the port's previous server has gone; waiting for its client to let go\n", thr->name);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing::k_stale_link_ms);
        while ((vexa::block::flags(mb) & SHM_CONNECTED) && std::chrono::steady_clock::now() < give_up)
            usleep(timing::k_stale_link_poll_us);
        if (vexa::block::flags(mb) & SHM_CONNECTED)
            shm_log_info("%s: the previous server's client has not let go within a second; taking the port over\n",
                         thr->name);
    }
    vexa::block::ref(mb->flags).fetch_and(~busy, std::memory_order_seq_cst);
}

// The start's end when the block cannot be bound (r < 0): said, and the
// region let go. Always false.
bool refuse_start(Endpoint *thr, std::int32_t r) {
    shm_log_error("%s: bind failed (%d): %s\n", thr->name, -r, shm_strerror(r));
    thr->start_error = -r;
    release_region(thr);
    return false;
}

// Creates, claims, maps and binds the region: the server's start. False
// (with the cause in start_error and the log) when it cannot serve.
bool start_serving(Endpoint *thr) {
    const shm_endpoint &ep = thr->data.endpoint;
    thr->region = shmt_open(ep.path, O_RDWR | O_CREAT | O_EXCL, ep.size);
    if (thr->region == shmt_invalid_fd()) {
        thr->start_error = shmt_errno();
        return false;
    }
    const Port port = claim_port(thr);
    if (port == Port::served) {
        // A living server holds the port, whatever its block shows this
        // moment (it may be laying it out anew) and whatever its size:
        // refused as the bind refuses it.
        shm_log_error("already binded, aborted\n");
        return refuse_start(thr, -EBUSY);
    }
    shm_membuf *mb = nullptr;
    if (const std::int32_t r = shm_membuf_map(thr->region, ep.size, &mb); r < 0) {
        // -1 is the mapping's generic failure: the platform's error number
        // says what went wrong (a region served at another size, say).
        const std::int32_t e = r == -1 ? shmt_errno() : -r;
        shm_log_error("%d: %s\n", e, shm_strerror(-e));
        thr->start_error = e;
        shmt_close(thr->region);
        thr->region = shmt_invalid_fd();
        shmt_unlink(ep.path);
        return false;
    }
    thr->membuf.store(mb);
    if (port == Port::ours) take_over_stale_link(thr, mb);
    if (const std::int32_t r = vexa::block::bind(mb, ep.size, &thr->link, true); r < 0) return refuse_start(thr, r);
    return true;
}

// What the server's loop carries from one pass to the next.
struct Pass {
    // A claim whose name has not come yet, and since when.
    bool claim_seen = false;
    std::chrono::steady_clock::time_point claim_seen_at{};
    std::chrono::milliseconds rebuild_backoff{timing::k_rebuild_backoff_first_ms};
    // What the last pass's delivery did.
    Delivery last = Delivery::idle;
};

// The rebuild after a client's death failed (out of descriptors or memory,
// say): the block has no rings to serve and no event to sleep on, and
// whatever its flags say is no link. Tried again, waiting longer each time,
// up to a second; a stop cuts the wait short.
void retry_rebuild(Endpoint *thr, shm_membuf *mb, Pass &pass) {
    constexpr std::chrono::milliseconds slice{timing::k_stop_slice_ms};
    for (auto waited = std::chrono::milliseconds(0);
         waited < pass.rebuild_backoff && thr->running.load(std::memory_order_seq_cst); waited += slice)
        usleep(timing::k_stop_slice_ms * 1000);
    if (!thr->running.load(std::memory_order_seq_cst)) return;
    if (rebuild_block(thr, mb)) {
        shm_log_info("%s: block laid out again, ready\n", thr->name);
        pass.rebuild_backoff = std::chrono::milliseconds(timing::k_rebuild_backoff_first_ms);
        thr->seen = 0;
    } else {
        pass.rebuild_backoff =
            std::min(pass.rebuild_backoff * 2, std::chrono::milliseconds(timing::k_rebuild_backoff_last_ms));
    }
}

// A client has claimed the block: the host hears of it and a listener
// starts watching it. The client's name as it stands now is the one its
// listener watches, however late that thread starts. A claim is seen before
// its name is published (the attach opens the rings first), so the loop
// looks again every millisecond for a while: a listener left to find the
// name itself could take the next client's for it, were this one quick to
// leave. False while the loop is to look again.
bool report_arrival(Endpoint *thr, shm_membuf *mb, std::int32_t connected, Pass &pass) {
    char name[32];
    const bool named = vexa::block::published_name(mb->cli_hup, name);
    const auto now = std::chrono::steady_clock::now();
    if (!named) {
        if (!pass.claim_seen) pass.claim_seen_at = now;
        pass.claim_seen = true;
        if (now - pass.claim_seen_at < k_name_grace) {
            usleep(timing::k_name_poll_us);
            return false;
        }
    }
    pass.claim_seen = false;
    vexa::endpoint::next_link(thr);
    vexa::endpoint::call_connected(thr);
    thr->listener = vexa::endpoint::start_listener(thr, named ? name : nullptr);
    thr->seen = connected;
    return true;
}

// The server's loop: follows clients' arrivals and departures and delivers
// their bytes until the server is stopped.
void serve(Endpoint *thr) {
    Pass pass;
    while (thr->running.load(std::memory_order_seq_cst)) {
        // A rebuild may have made the region anew (its name had gone).
        shm_membuf *mb = thr->membuf.load(std::memory_order_relaxed);
        if (!thr->link) {
            retry_rebuild(thr, mb, pass);
            continue;
        }
        const std::int32_t connected = shm_membuf_is_connected(mb);
        const bool broken = vexa::endpoint::take_broken(thr);
        // A listener that has returned means the client it watched has gone,
        // even when the next client has set the connected bit again before
        // this loop looked: that is a departure followed by an arrival.
        if (thr->seen && (!connected || broken || departed(thr, mb, pass.last == Delivery::idle))) {
            client_gone(thr, mb, broken);
            // The next pass looks afresh: a rebuild may have made the region
            // anew (mb is gone then), or failed and left no link to deliver
            // through, which that pass retries before anything else.
            continue;
        }
        if (!thr->seen && connected) {
            if (!report_arrival(thr, mb, connected, pass)) continue;
        } else {
            pass.claim_seen = false;
        }
        // While no client is attached, nothing may pile up at the door.
        if (!thr->listener) vexa::block::drain_door(*thr->link);
        pass.last = vexa::endpoint::deliver(thr, *thr->link, true, srv_keep_awake);
        if (pass.last == Delivery::broken)
            vexa::endpoint::mark_broken(thr, thr->link_no.load(std::memory_order_relaxed));
    }
}

void *shm_server(void *arg) {
    auto *thr = static_cast<Endpoint *>(arg);
    if (!start_serving(thr)) {
        vexa::thread::notify(thr);
        return nullptr;
    }
    vexa::thread::open_gate(thr);
    thr->running.store(1, std::memory_order_seq_cst);
    vexa::thread::notify(thr);

    serve(thr);

    shm_membuf *mb = thr->membuf.load(std::memory_order_relaxed);
    shm_log_debug("shm_srv finished cicle, connected = %d\n", shm_membuf_is_connected(mb));
    vexa::endpoint::close_gate(thr);
    thr->link = nullptr;
    vexa::block::unbind(mb);
    vexa::endpoint::collect_listener(thr->listener);
    release_region(thr);
    vexa::thread::notify(thr);
    return nullptr;
}

} // namespace

extern "C" {

VEXA_API shm_thread *shm_srv_start(const shm_data *data) {
    using vexa::endpoint::start_failed;
    if (!vexa::endpoint::config_usable(data, "shm_srv")) return start_failed(EINVAL);
    // A region no larger than the block's header has no room for the rings
    // (a zeroed config that forgot the size, say): said here, with the
    // host's number, rather than by a mapping that fails without a word.
    if (data && data->endpoint.size <= shm_membuf_size + 1) {
        shm_log_error("error starting shm_srv: a region of %u bytes is too small (at least %d)\n",
                      static_cast<unsigned>(data->endpoint.size), shm_membuf_size + 2);
        return start_failed(EINVAL);
    }
    std::int32_t e = 0;
    Endpoint *thr = vexa::thread::new_endpoint(data, SHM_SRV, &e);
    if (!thr) {
        shm_log_error("error starting shm_srv (%d): %s", -e, strerror(-e));
        return start_failed(-e);
    }
    // Admitted before the thread runs: its first callbacks may come before
    // this returns, and may hand the handle to a thread that closes it.
    // Every way out below that destroys the object takes it out again.
    vexa::thread::admit(thr);
    if (const int err = pthread_create(&thr->thread, nullptr, shm_server, thr)) {
        shm_log_error("error starting shm_srv (%d): %s", err, strerror(err));
        destroy_shm_thread(thr);
        return start_failed(err);
    }
    vexa::thread::wait(thr);
    if (thr->running.load(std::memory_order_seq_cst)) {
        pthread_detach(thr->thread);
        return thr;
    }
    // The thread has given its last notice and is ending; joining it frees
    // its resources before the object goes.
    pthread_join(thr->thread, nullptr);
    const std::int32_t cause = thr->start_error;
    destroy_shm_thread(thr);
    return start_failed(cause);
}

VEXA_API std::int32_t shm_srv_stop(shm_thread *handle) {
    // Inside a callback the handle is a live endpoint's, and may be read.
    if (vexa::thread::in_callback(handle) && handle->type != SHM_SRV) return -EINVAL;
    if (vexa::endpoint::refuse_in_callback(handle, "stop")) return -EDEADLK;
    // Only a live server is stopped here, and by one caller: a handle
    // stopped before, or never returned, is refused untouched, and stopping
    // another kind would free an object its owner still uses.
    if (!vexa::thread::retire(handle, true)) return -EINVAL;
    return vexa::endpoint::stop_server(static_cast<Endpoint *>(handle));
}

} // extern "C"

std::int32_t vexa::endpoint::ready_for_next_client(Endpoint *thr) noexcept {
    shm_membuf *mb = thr->membuf.load();
    if (!mb) return -EINVAL;
    const vexa::block::LinkRef link = vexa::block::find(mb);
    if (!link) return -EINVAL;

    // Let a client listener that waits on the mutex have it for a moment; the
    // platform hands a released mutex straight to a waiter, so the take in
    // needs_rebuild cannot overtake it.
    vexa::block::release_own_hup(*link, vexa::block::k_srv);
    // A server that is stopping unbinds on its way out: nothing to take back
    // or lay out again, and no time to spend on it.
    if (!thr->running.load(std::memory_order_seq_cst)) return 0;
    usleep(timing::k_handover_us);
    if (needs_rebuild(thr, mb, *link)) {
        // Host threads stay off the block while it is taken down and laid
        // out again.
        vexa::endpoint::close_gate(thr);
        thr->link = nullptr;
        vexa::block::unbind(mb);
        if (!rebuild_block(thr, mb)) return 0; // retried by the server's loop
    } else {
        // Clients waiting for the port look again now (a rebuild's new door
        // tells them by itself).
        vexa::block::touch_door(*link);
    }
    shm_log_info("hup mutex relocked\n");
    return 0;
}

std::int32_t vexa::endpoint::stop_server(Endpoint *thr) noexcept {
    vexa::endpoint::cancel_zero_copy(thr);
    if (thr->running.exchange(0, std::memory_order_seq_cst)) {
        // Through the gate: the thread may be rebuilding the block right now.
        if (vexa::block::Link *l = vexa::thread::enter(thr)) {
            vexa::block::notify_own(*l, vexa::block::k_srv);
            vexa::thread::leave(thr);
        }
        vexa::thread::wait(thr);
    }
    destroy_shm_thread(thr);
    return 0;
}
