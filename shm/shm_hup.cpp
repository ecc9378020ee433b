// Hang-up detection. Each side holds its own hang-up mutex for as long as it
// takes part in the link; a listener thread on the other side waits on it.
// A release means the owner left in order; an abandoned mutex, or a published
// name that can no longer be opened while the link stands, means the owner
// died, and the listener marks the peer dead in the block's flags, where the
// endpoint loop finds it. The server's reset then makes the block ready for
// the next client.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "shm/endpoint_internal.h"
#include "shm/log_internal.h"
#include "shm/membuf_internal.h"
#include "shm/thread_internal.h"
#include "shm/tie.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"
#include "vexa-port/shm_membuf.h"

using vexa::block::ref;
using vexa::thread::Endpoint;
using vexa::thread::Listener;

namespace {

constexpr int k_watch_client = 1; // the server's listener
constexpr int k_watch_server = 0; // the client's listener


struct Watch {
    shm_named_handle *record;
    std::uint32_t live_bit; // the bit that says the link stands
    std::uint32_t dead_bit; // set with clearing live_bit when the owner died
};

Watch watch_of(shm_membuf *mb, int side) noexcept {
    return side == k_watch_client ? Watch{&mb->cli_hup, SHM_CONNECTED, SHM_CLI_HUP}
                                  : Watch{&mb->srv_hup, SHM_READY, SHM_SRV_HUP};
}

void mark_dead(shm_membuf *mb, const Watch &w) noexcept {
    ref(mb->flags).fetch_and(~w.live_bit, std::memory_order_seq_cst);
    ref(mb->flags).fetch_or(w.dead_bit, std::memory_order_seq_cst);
}

bool link_stands(shm_membuf *mb, const Watch &w) noexcept { return (vexa::block::flags(mb) & w.live_bit) != 0; }

// The link this listener watches still stands: the live bit is set and the
// owner's name is still the one the listener took.
bool still_watched(shm_membuf *mb, const Watch &w, const char (&name)[32]) noexcept {
    char now[32];
    return link_stands(mb, w) && vexa::block::published_name(*w.record, now) && strncmp(now, name, sizeof now) == 0;
}

// Waits for the client's name. The client publishes its name only once it
// holds its mutex, microseconds after its claim; until then the listener looks
// again every millisecond, for as long as the link stands. A claim whose name
// never comes belongs to a client that died in between (or is stopped): after
// a generous bound, on the clock, it is treated as dead, or the server would
// wait for it for ever. The client confirms its claim after it has published
// its name, so one that comes back after this never attaches to the block
// that the server lays out again. The same bound holds for the client's tie,
// which it makes before it publishes its name.
constexpr auto k_name_wait = std::chrono::seconds(2);

enum class Name { published, gone, never };

// After a failed wait (this process out of descriptors, say) the listener
// tries again after this long: the failure says nothing of the peer.
constexpr auto k_retry = std::chrono::milliseconds(100);

Name wait_for_name(Listener *self, shm_membuf *mb, const Watch &w, char (&name)[32]) noexcept {
    const auto give_up = std::chrono::steady_clock::now() + k_name_wait;
    while (!vexa::block::published_name(*w.record, name)) {
        if (!link_stands(mb, w) || self->leaving.load(std::memory_order_acquire)) return Name::gone;
        if (std::chrono::steady_clock::now() >= give_up) return Name::never;
        usleep(1000);
    }
    return Name::published;
}

// A name the listener may watch: shaped like a hang-up mutex's name, and
// none of the objects that its own side made or opened for this link (a
// peer that names the server's own mutex would have the server wait on
// itself).
bool acceptable(vexa::block::Link &link, int side, const char (&name)[32]) noexcept {
    if (!vexa::block::hup_name_shape(name)) return false;
    const int own = side == k_watch_client ? vexa::block::k_srv : vexa::block::k_cli;
    return !vexa::block::own_name(link, own, name);
}

// Tells one error of a listener's wait, once per cause.
void report(std::int32_t &reported, int e, const char *what) noexcept {
    if (e != reported) shm_log_error("hup listener: %s (%d): %s, retrying\n", what, e, strerror(e));
    reported = e;
}

bool leaving(Listener *self) noexcept { return self->leaving.load(std::memory_order_acquire) != 0; }

// The peer has died (the kernel closed its end of the tie): marked in the
// flags, where the endpoint loop finds it, and its holds of the rings'
// locks end, so that no waiter of ours sleeps out its bound on a dead
// holder. Only while the block still shows the link watched: a server that
// took over the port of a dead one has laid the block out anew, and its link
// must not be ended for its predecessor's death.
void peer_died(shm_membuf *mb, const Watch &w, vexa::block::Link &link, int side, const char (&name)[32]) noexcept {
    if (!still_watched(mb, w, name)) return;
    mark_dead(mb, w);
    vexa::block::abandon_peer_locks(link, side == k_watch_client ? vexa::block::k_srv : vexa::block::k_cli);
    // The dead peer's objects (its hang-up mutex, a server's door, its
    // liveness file) have no holder left to remove their names.
    SweepAfterDeath(name);
}

// The server's listener: the tie of the client called name, as it comes
// through the door. -1 when the listener is to end without watching.
int admit_client(Listener *self, shm_membuf *mb, const Watch &w, vexa::block::Link &link,
                 const char (&name)[32]) noexcept {
    const std::int64_t give_up = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     (std::chrono::steady_clock::now() + k_name_wait).time_since_epoch())
                                     .count();
    std::int32_t reported = 0;
    for (;;) {
        const int fd = vexa::block::admit(link, name, self->wake, give_up);
        if (fd >= 0) return fd;
        if (fd == -EINTR || fd == -EBADF || !still_watched(mb, w, name)) return -1;
        if (fd == -ETIMEDOUT) {
            // Claimed and named, but never tied: a client that died before
            // it got so far, or one that breaks the protocol.
            shm_log_debug("hup listener: the client never made its tie\n");
            mark_dead(mb, w);
            return -1;
        }
        report(reported, -fd, "cannot admit the client's tie");
        for (auto t = std::chrono::milliseconds(0); t < k_retry && !leaving(self); t += std::chrono::milliseconds(10))
            usleep(10000);
        if (leaving(self)) return -1;
    }
}

void shm_hup_listen(Listener *self, shm_membuf *mb, int side) {
    shm_log_debug("started hup listener\n");
    const Watch w = watch_of(mb, side);
    const vexa::block::LinkRef link = vexa::block::find(mb);
    char name[32] = {};
    int fd = -1;
    if (side == k_watch_client) {
        // A name the owner saw is the one to watch: a listener that starts
        // late would otherwise take the next client's name for the one whose
        // link its owner reported, and that client's departure would never
        // be told.
        if (self->expected[0]) {
            memcpy(name, self->expected, sizeof name);
        } else if (const Name n = wait_for_name(self, mb, w, name); n != Name::published) {
            if (n == Name::never) mark_dead(mb, w);
            shm_log_debug("finished hup listener\n");
            return;
        }
        if (!link || !acceptable(*link, side, name)) {
            // A protocol violation: the link ends as if its owner had died.
            name[sizeof name - 1] = 0;
            shm_log_error("hup listener: the peer's hang-up name '%s' is not acceptable, link ended\n", name);
            if (link_stands(mb, w)) mark_dead(mb, w);
            shm_log_debug("finished hup listener\n");
            return;
        }
        fd = admit_client(self, mb, w, *link, name);
    } else if (link) {
        fd = link->tie.load(std::memory_order_acquire);
        if (fd >= 0) memcpy(name, link->tied_to, sizeof name);
    }
    if (fd < 0) {
        shm_log_debug("hup listener: no tie to watch\n");
        shm_log_debug("finished hup listener\n");
        return;
    }

    // Asleep in the kernel until the tie ends or the owner asks the listener
    // to leave: no wake-up while the peer lives.
    std::int32_t reported = 0;
    for (;;) {
        int error = 0;
        const vexa::tie::End end = vexa::tie::watch(fd, self->wake, error);
        shm_log_debug("hup listener: the tie's wait returned %d\n", static_cast<int>(end));
        if (end == vexa::tie::End::bye) break;
        if (end == vexa::tie::End::gone) {
            peer_died(mb, w, *link, side, name);
            break;
        }
        if (end == vexa::tie::End::woken) {
            // The server's loop found the client gone from the flags. A
            // client that leaves clears its name, then its bit, then says
            // bye: one whose name is gone has left in order, however late its
            // bye comes (and the next client may have claimed the block
            // meanwhile). One that still shows its name while its bit is off
            // has let go of its link without leaving (stopped, or
            // misbehaving): it is taken for dead, and the server lays the
            // block out anew.
            if (side == k_watch_client && !vexa::tie::said_bye(fd)) {
                char shown[32];
                const bool named =
                    vexa::block::published_name(*w.record, shown) && strncmp(shown, name, sizeof shown) == 0;
                if (named && !link_stands(mb, w)) mark_dead(mb, w);
            }
            break;
        }
        report(reported, error, "waiting on the peer's tie failed");
        for (auto t = std::chrono::milliseconds(0); t < k_retry && !leaving(self); t += std::chrono::milliseconds(10))
            usleep(10000);
        if (leaving(self) || !still_watched(mb, w, name)) break;
    }
    if (side == k_watch_client) {
        // The server's end of the tie goes with its listener: the client's
        // listener learns that the server has ended the link in order.
        vexa::tie::say_bye(fd);
        vexa::tie::close_tie(fd);
    }
    shm_log_debug("finished hup listener\n");
}

// The listener's last touch of its object: its notice. Its owner always waits
// for it (the listener ends within two slices of being asked to), so the
// block is still mapped here.
void finish(Listener *self, int side) {
    self->finished.store(vexa::thread::k_listener_done, std::memory_order_seq_cst);
    // Wake this side's endpoint thread if it sleeps, so that it acts on the
    // peer's departure at once rather than at the end of its sleep. After
    // finished is set: the endpoint consults it once it has announced its
    // sleep, and the wake looks at the announcement after a full fence, so
    // one of the two sees the other.
    if (shm_membuf *mb = self->membuf.load())
        vexa::block::wake_reader(mb, side == k_watch_client ? 1 : 0,
                                 side == k_watch_client ? vexa::block::k_srv : vexa::block::k_cli);
    vexa::thread::notify(self);
}

void *shm_srv_hup_listener(void *arg) {
    auto *self = static_cast<Listener *>(arg);
    shm_hup_listen(self, self->membuf.load(), k_watch_client);
    finish(self, k_watch_client);
    return nullptr;
}

void *shm_cli_hup_listener(void *arg) {
    auto *self = static_cast<Listener *>(arg);
    shm_hup_listen(self, self->membuf.load(), k_watch_server);
    finish(self, k_watch_server);
    return nullptr;
}

} // namespace

namespace {

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

} // namespace

bool vexa::endpoint::rebind(Endpoint *thr, shm_membuf *mb, std::uint64_t size) noexcept {
    // A client may have claimed the block in the instant between the death
    // being noticed and the unbind; its attach then finds the bind retired
    // and lets go at once. One that has not let go within a tenth of a second
    // is held up (stopped, say): its claim is on a bind that is no more (it
    // can never attach to the next one), so it is cleared, or the server
    // would never be ready again.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while ((vexa::block::flags(mb) & SHM_CONNECTED) && std::chrono::steady_clock::now() < give_up &&
           thr->running.load(std::memory_order_acquire))
        usleep(1000);
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

Listener *vexa::endpoint::start_listener(Endpoint *thr, const char *expected) noexcept {
    // A listener needs a block to watch: an endpoint whose link is not made
    // has none, and a listener started on it would read through NULL.
    if (!thr || !thr->membuf.load()) return nullptr;
    void *(*body)(void *);
    switch (thr->type) {
    case SHM_SRV: body = shm_srv_hup_listener; break;
    case SHM_CLI: body = shm_cli_hup_listener; break;
    default: return nullptr;
    }
    std::int32_t e = 0;
    Listener *listener = vexa::thread::new_listener(&e);
    if (!listener) {
        shm_log_error("%s error creating hup listener (%d): %sr", thr->name, -e, strerror(-e));
        return nullptr;
    }
    listener->membuf.store(thr->membuf.load());
    if (expected) snprintf(listener->expected, sizeof listener->expected, "%s", expected);
    if (const int err = pthread_create(&listener->thread, nullptr, body, listener)) {
        shm_log_error("%s error starting hup listener (%d): %s", thr->name, err, strerror(err));
        destroy_shm_thread(listener);
        return nullptr;
    }
    pthread_detach(listener->thread);
    return listener;
}

extern "C" {

VEXA_API shm_thread *shm_hup_start(shm_thread *handle) {
    return vexa::endpoint::start_listener(vexa::thread::endpoint_of(handle));
}

VEXA_API std::int32_t shm_hup_reset(shm_thread *handle) {
    if (!handle) return 0;
    Endpoint *thr = vexa::thread::endpoint_of(handle);
    if (!thr || thr->type != SHM_SRV) return -EINVAL;
    shm_membuf *mb = thr->membuf.load();
    if (!mb) return -EINVAL;
    const vexa::block::LinkRef link = vexa::block::find(mb);
    if (!link) return -EINVAL;

    // Let a client listener that waits on the mutex have it for a moment; the
    // platform hands a released mutex straight to a waiter, so the take below
    // cannot overtake it.
    vexa::block::release_own_hup(*link, vexa::block::k_srv);
    // A server that is stopping unbinds on its way out: nothing to take back
    // or lay out again, and no time to spend on it.
    if (!thr->running.load(std::memory_order_seq_cst)) return 0;
    usleep(1000);

    // The handed-over mutex comes back at once unless something other than
    // this thread holds it (a misbehaving client that opened it): the block
    // is then laid out anew under fresh names, as after a death. So is a
    // block whose region or door nobody can find by name any more, and one
    // whose rings' locks the departed client left held or written over (a
    // forged owner would time out every later call).
    const bool rebuild = (vexa::block::flags(mb) & SHM_CLI_HUP) ||
                         vexa::block::take_own_hup(*link, vexa::block::k_srv, vexa::block::k_lock_wait_ms) != 0 ||
                         !HandleStillNamed(thr->region) || !vexa::block::door_named(*link) ||
                         !vexa::block::locks_at_rest(*link, 100);
    if (rebuild) {
        // The size this server was configured with, never the block's: a
        // dead or hostile client may have written any size there.
        const std::uint64_t size = thr->data.endpoint.size;
        // Host threads stay off the block while it is taken down and laid
        // out again.
        vexa::endpoint::close_gate(thr);
        thr->link = nullptr;
        vexa::block::unbind(mb);
        if (!vexa::endpoint::rebind(thr, mb, size)) return 0; // retried by the server's loop
    } else {
        // Clients waiting for the port look again now (a rebuild's new door
        // tells them by itself).
        vexa::block::touch_door(*link);
    }
    shm_log_info("hup mutex relocked\n");
    return 0;
}

} // extern "C"
