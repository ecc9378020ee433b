// Hang-up detection. Each side holds its own hang-up mutex for as long as it
// takes part in the link; a listener thread on the other side waits on it.
// A release means the owner left in order; an abandoned mutex, or a published
// name that can no longer be opened while the link stands, means the owner
// died, and the listener marks the peer dead in the block's flags, where the
// endpoint loop finds it. The server (shm_srv.cpp) then makes the block
// ready for the next client.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "shm/block/membuf_internal.h"
#include "shm/endpoint/endpoint_internal.h"
#include "shm/endpoint/thread_internal.h"
#include "shm/log_internal.h"
#include "shm/tie.h"
#include "shm/timing.h"
#include "shm/win_api.h"
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
constexpr auto k_name_wait = std::chrono::milliseconds(vexa::timing::k_name_wait_ms);

enum class Name { published, gone, never };

// After a failed wait (this process out of descriptors, say) the listener
// tries again after this long: the failure says nothing of the peer.
constexpr auto k_retry = std::chrono::milliseconds(vexa::timing::k_listener_retry_ms);
constexpr auto k_slice = std::chrono::milliseconds(vexa::timing::k_stop_slice_ms);

// The pause after a failed wait, cut short when the owner asks the listener
// to leave.
void pause_for_retry(Listener *self) noexcept;

Name wait_for_name(Listener *self, shm_membuf *mb, const Watch &w, char (&name)[32]) noexcept {
    const auto give_up = std::chrono::steady_clock::now() + k_name_wait;
    while (!vexa::block::published_name(*w.record, name)) {
        if (!link_stands(mb, w) || self->leaving.load(std::memory_order_acquire)) return Name::gone;
        if (std::chrono::steady_clock::now() >= give_up) return Name::never;
        usleep(vexa::timing::k_name_poll_us);
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

void pause_for_retry(Listener *self) noexcept {
    for (auto t = std::chrono::milliseconds(0); t < k_retry && !leaving(self); t += k_slice)
        usleep(vexa::timing::k_stop_slice_ms * 1000);
}

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
        pause_for_retry(self);
        if (leaving(self)) return -1;
    }
}

// The server's listener: the name of the client to watch, and the client's
// tie as it comes through the door. -1 when there is nothing to watch: the
// link ended first, or the client broke the protocol (it is then taken for
// dead).
int client_tie(Listener *self, shm_membuf *mb, const Watch &w, vexa::block::Link *link, char (&name)[32]) noexcept {
    // A name the owner saw is the one to watch: a listener that starts late
    // would otherwise take the next client's name for the one whose link its
    // owner reported, and that client's departure would never be told.
    if (self->expected[0]) {
        memcpy(name, self->expected, sizeof name);
    } else if (const Name n = wait_for_name(self, mb, w, name); n != Name::published) {
        if (n == Name::never) mark_dead(mb, w);
        return -1;
    }
    if (!link || !acceptable(*link, k_watch_client, name)) {
        // A protocol violation: the link ends as if its owner had died.
        name[sizeof name - 1] = 0;
        shm_log_error("hup listener: the peer's hang-up name '%s' is not acceptable, link ended\n", name);
        if (link_stands(mb, w)) mark_dead(mb, w);
        return -1;
    }
    return admit_client(self, mb, w, *link, name);
}

// The client's listener: the tie its attach made to the server, and the
// server's name. -1 when there is none.
int server_tie(const vexa::block::Link *link, char (&name)[32]) noexcept {
    const int fd = link ? link->tie.load(std::memory_order_acquire) : -1;
    if (fd >= 0) memcpy(name, link->tied_to, sizeof name);
    return fd;
}

// The step both listeners share: asleep in the kernel until the tie ends
// or the owner asks the listener to leave, with no wake-up while the peer
// lives; then the peer's end is told (a death marked in the flags).
void watch_tie(Listener *self, shm_membuf *mb, const Watch &w, vexa::block::Link &link, int side, int fd,
               const char (&name)[32]) noexcept {
    std::int32_t reported = 0;
    for (;;) {
        int error = 0;
        const vexa::tie::End end = vexa::tie::watch(fd, self->wake, error);
        shm_log_debug("hup listener: the tie's wait returned %d\n", static_cast<int>(end));
        if (end == vexa::tie::End::bye) return;
        if (end == vexa::tie::End::gone) {
            peer_died(mb, w, link, side, name);
            return;
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
            return;
        }
        report(reported, error, "waiting on the peer's tie failed");
        pause_for_retry(self);
        if (leaving(self) || !still_watched(mb, w, name)) return;
    }
}

void shm_hup_listen(Listener *self, shm_membuf *mb, int side) {
    shm_log_debug("started hup listener\n");
    const Watch w = watch_of(mb, side);
    const vexa::block::LinkRef link = vexa::block::find(mb);
    char name[32] = {};
    const int fd = side == k_watch_client ? client_tie(self, mb, w, link.get(), name) : server_tie(link.get(), name);
    if (fd < 0) {
        shm_log_debug("hup listener: no tie to watch\n");
    } else {
        watch_tie(self, mb, w, *link, side, fd, name);
        if (side == k_watch_client) {
            // The server's end of the tie goes with its listener: the
            // client's listener learns that the server has ended the link in
            // order.
            vexa::tie::say_bye(fd);
            vexa::tie::close_tie(fd);
        }
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

// The server's step after a client has gone, for callers of the C
// interface; the server's own loop takes it directly.
VEXA_API std::int32_t shm_hup_reset(shm_thread *handle) {
    if (!handle) return 0;
    Endpoint *thr = vexa::thread::endpoint_of(handle);
    if (!thr || thr->type != SHM_SRV) return -EINVAL;
    return vexa::endpoint::ready_for_next_client(thr);
}

} // extern "C"
