// The block's lifecycle: the server binds it (lays out the header and both
// rings, creates their named objects, marks it ready and takes its hang-up
// mutex) and unbinds it; a client claims it, attaches to its objects,
// publishes its own hang-up mutex, and detaches again.
//
// Rules. The claim is one compare-and-swap on the flags: of two clients that
// look at the same moment exactly one sets SHM_CONNECTED, and the loser never
// clears it. A claim belongs to the bind the client saw when it made it
// (told by the names of the rings' locks, which every bind makes afresh): a
// client that was held up until the server gave up on it and laid the block
// out again never opens the new bind's objects, never publishes its name into
// it and never clears the bit that the next client has set. Everything a client reads from the block (magic, size, ring
// layout, object names) comes from a peer it does not trust and is checked
// before use. A name is published with its first byte stored last (release),
// so that a reader never sees half of it. Each process releases and closes
// only the handles it keeps in its own link: the next client may already
// have written its own handles into the block's slots.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "shm/block/membuf_internal.h"
#include "shm/log_internal.h"
#include "shm/tie.h"
#include "shm/timing.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

namespace {

// This process's own shortage, which the caller reports and retries.
bool resources_short(int e) noexcept { return e == EMFILE || e == ENFILE || e == ENOMEM || e == ENOBUFS; }

// The names of both rings' locks, the identity of a bind.
struct BindNames {
    char lock[2][32];
};

BindNames bind_names(shm_membuf *mb) noexcept {
    BindNames n;
    for (int i = 0; i < 2; ++i)
        for (std::size_t k = 0; k < 32; k += 8) {
            const std::uint64_t w = ref(*reinterpret_cast<std::uint64_t *>(mb->rb[i].lock.name + k)).load();
            memcpy(n.lock[i] + k, &w, 8);
        }
    return n;
}

bool same_bind(const BindNames &a, const BindNames &b) noexcept { return memcmp(&a, &b, sizeof a) == 0; }

// A bind the server has retired (its names cleared under the rings' locks)
// and not yet laid out again.
bool retired(const BindNames &n) noexcept { return n.lock[0][0] == 0; }

// A client whose attach failed lets go of everything it took and of its
// claim, unless the block has been laid out anew since: the bit is then not
// its own any more. A bind that the server has only withdrawn (its names
// cleared, none new yet) is still the one claimed: the server lays out no
// new one while the bit stands, unless it has given up on this claimer.
std::int32_t unclaim(shm_membuf *mb, Link *l, const BindNames &claimed, std::int32_t r) noexcept {
    if (l) unhold(l, k_cli);
    const BindNames now = bind_names(mb); // one look: the server may change it meanwhile
    if (same_bind(now, claimed) || retired(now))
        ref(mb->flags).fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
    return r;
}

} // namespace

std::int32_t bind(shm_membuf *mb, std::size_t size, Link **out, bool split) noexcept {
    if (size <= shm_membuf_size + 1) return SHM_E_BAD_SIZE;
    if (flags(mb) & (SHM_READY | SHM_CONNECTED)) {
        shm_log_error("already binded, aborted\n");
        return -EBUSY;
    }
    Link *l = hold(mb, k_srv);
    if (!l) return -ENOMEM;
    go_dead(*l, k_srv);
    l->split[k_srv] = split;
    memset(static_cast<void *>(mb), 0, shm_membuf_size);
    memcpy(mb->magic, k_magic, sizeof k_magic);

    char name[32];
    HANDLE hup = create_named(name, false, true);
    memcpy(mb->srv_hup.name, name, sizeof name);
    if (!hup) {
        const std::int32_t e = -map_error();
        unhold(l, k_srv);
        return e;
    }
    keep(*l, k_srv, k_hup, 0, mb->srv_hup.creator_handle, hup, name);

    auto fail = [&](std::int32_t e) {
        ring_withdraw(*l, 1);
        ring_withdraw(*l, 0);
        close_own(*l, k_srv, k_hup, 0, mb->srv_hup.creator_handle);
        unhold(l, k_srv);
        return e;
    };
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    if (const std::int32_t e = ring_bind(*l, 0, shm_membuf_size, cap)) return fail(e);
    if (const std::int32_t e = ring_bind(*l, 1, shm_membuf_size + cap, cap)) return fail(e);
    if (!trust_rings(*l, size, k_srv)) {
        shm_log_error("mb %p bind: size %zu exceeds the mapped region\n", static_cast<void *>(mb), size);
        return fail(-EINVAL);
    }
    go_live(*l, k_srv);

    // The hang-up mutex is held since its creation: a client's listener that
    // opens it sleeps on it from the start.
    ref(mb->size).store(size, std::memory_order_relaxed);
    ref(mb->flags).store(SHM_READY, std::memory_order_seq_cst);
    // The door opens once the block is ready: a client that waits for the
    // port wakes when it appears and finds the block ready (one that saw
    // the block ready first finds no door yet, and waits for it).
    if (const std::int32_t e = open_door(*l, name)) {
        ref(mb->flags).store(0, std::memory_order_seq_cst);
        go_dead(*l, k_srv);
        shm_log_error("mb %p bind: cannot open the door for clients (%d): %s\n", static_cast<void *>(mb), -e,
                      strerror(-e));
        return fail(e);
    }
    shm_log_info("mb %p bind shm_membuf_size %zu\n", static_cast<void *>(mb), static_cast<size_t>(shm_membuf_size));
    if (out) *out = l;
    return 0;
}

namespace {

// How long the unbind waits for each ring's lock. A client holds it for one
// copy; one that holds it longer is stopped or hostile, and the server goes
// on without it.
using timing::k_retire_wait_ms;

// Tells a client that may still be attached that this bind is over: under
// each ring's lock, the lock's name is cleared. A client checks the name under
// the same lock before it moves bytes, so once this returns no client of
// this bind moves another byte through the block. A client that writes
// without the lock (split protocol) raises the ring's writing flag before
// its first look at the name and lowers it after its last store: once the
// name is cleared, a flag still up is a write that began before, waited
// for as long as the lock would be. Only ring 1 has a client writer, and
// only one that announced the split protocol raises the flag: a flag seen
// anywhere else is garbage (a garbled header, say), not worth a wait.
void retire_rings(Link &l) noexcept {
    for (int idx = 0; idx < 2; ++idx) {
        HANDLE lock = as_handle(l.handle(k_srv, k_lock, idx));
        if (!lock) continue;
        const DWORD r = WaitForSingleObject(lock, k_retire_wait_ms);
        shm_ringbuf &rb = l.mb->rb[idx];
        ref(*reinterpret_cast<std::uint64_t *>(rb.lock.name)).store(0, std::memory_order_seq_cst);
        const bool client_writes = writer_side(static_cast<std::uint64_t>(idx)) == k_cli;
        // The flag first: a client raises it (an exchange) after it announced
        // the protocol at its attach, so a flag seen up comes with that
        // announcement.
        const auto split_write_on = [&rb] {
            return std::atomic_ref<std::uint8_t>(rb.writing).load(std::memory_order_seq_cst) != 0 &&
                   std::atomic_ref<std::uint8_t>(rb.writer_proto).load(std::memory_order_acquire) == SHM_RB_SPLIT;
        };
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(k_retire_wait_ms);
        while (client_writes && split_write_on() && std::chrono::steady_clock::now() < until)
            usleep(timing::k_flag_poll_us);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
            if (!ReleaseMutex(lock)) map_error();
        } else {
            map_lock_error(r);
        }
    }
}

// The client's hold of ring 0's lock for a step that must not meet the
// server's retirement of the bind; waited for as long as the retirement
// waits, and not held when that runs out (the server is stopped).
struct RingLock {
    HANDLE lock = nullptr;
    bool held = false;
    explicit RingLock(Link *l) noexcept {
        if (!l || !(lock = as_handle(l->handle(k_cli, k_lock, 0)))) return;
        const DWORD r = WaitForSingleObject(lock, k_retire_wait_ms);
        held = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        if (!held) map_lock_error(r);
    }
    explicit RingLock(Link &l) noexcept : RingLock(&l) {}
    ~RingLock() {
        if (held && !ReleaseMutex(lock)) map_error();
    }
    RingLock(const RingLock &) = delete;
    RingLock &operator=(const RingLock &) = delete;
};

} // namespace

std::int32_t unbind(shm_membuf *mb) noexcept {
    const LinkRef l = find(mb);
    ref(mb->flags).fetch_and(~SHM_READY, std::memory_order_seq_cst);
    if (l) {
        go_dead(*l, k_srv);
        retire_rings(*l);
        // A client sleeping on ring 0 learns at once that the block is gone
        // (also one that the server has declared dead while it lives); the
        // fence inside pairs with its announcement.
        wake_if_waiting(*l, 0, k_srv);
        release_own_hup(*l, k_srv);
        close_door(*l);
        // Every server handle goes, also after a client's death: the rebind
        // makes all objects afresh under new names, so keeping ring 0's req
        // and event open would only leak two handles for every client that
        // dies.
        ring_withdraw(*l, 1);
        ring_withdraw(*l, 0);
        close_own(*l, k_srv, k_hup, 0, mb->srv_hup.creator_handle);
        unhold(l.get(), k_srv);
    }
    shm_log_info("mb %p unbind\n", static_cast<void *>(mb));
    return 0;
}

namespace {

// A client's attach in steps. Each step that fails undoes its own partial
// work; connect undoes what the steps before it made.

// The claim: one compare-and-swap on the flags, on the bind seen before it
// (claimed); a claim that lands on another bind (the block was laid out
// again in between) is undone at once.
std::int32_t claim(shm_membuf *mb, const BindNames &claimed) noexcept {
    auto f = ref(mb->flags);
    std::uint32_t v = f.load(std::memory_order_seq_cst);
    // A ready block that is not one of ours is left exactly as found: not
    // even the claim's bit is set on it. (A block not ready yet may still be
    // under its first bind, its magic not written: that one is retried.)
    if ((v & SHM_READY) && !(v & SHM_CONNECTED) && memcmp(mb->magic, k_magic, sizeof k_magic) != 0)
        return SHM_E_BAD_MAGIC;
    do {
        // A block whose last client died waits for its server to lay it out
        // anew: a claim on it would be withdrawn as soon as it was made.
        if (!(v & SHM_READY) || (v & SHM_CLI_HUP)) return SHM_E_NOT_READY;
        if (v & SHM_CONNECTED) return SHM_E_ALREADY_CONNECTED;
    } while (!f.compare_exchange_weak(v, v | SHM_CONNECTED, std::memory_order_seq_cst));
    if (!same_bind(bind_names(mb), claimed)) {
        f.fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
        return SHM_E_NOT_READY;
    }
    return 0;
}

// The ring layout comes from the peer: it must be the one this size gives
// and fit the mapping, or the block is refused.
bool layout_fits(shm_membuf *mb, Link &l, std::size_t size) noexcept {
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    auto load = [](std::uint64_t &field) { return ref(field).load(std::memory_order_relaxed); };
    return size > shm_membuf_size + 1 && load(mb->rb[0].pbuf) == shm_membuf_size && load(mb->rb[0].end) == cap &&
           load(mb->rb[1].pbuf) == shm_membuf_size + cap && load(mb->rb[1].end) == cap && trust_rings(l, size, k_cli);
}

std::int32_t open_rings(Link &l, const BindNames &claimed) noexcept {
    if (const std::int32_t e = ring_connect(l, 0, claimed.lock[0])) return e;
    if (const std::int32_t e = ring_connect(l, 1, claimed.lock[1])) {
        ring_disconnect(l, 0);
        return e;
    }
    return 0;
}

void close_rings(Link &l) noexcept {
    ring_disconnect(l, 0);
    ring_disconnect(l, 1);
}

// The client's hang-up mutex (held from its creation, its name in name) and
// its tie to the server, through the door of the bind that was claimed
// (named after the server's hang-up mutex; the name is the peer's, so a copy
// is checked and used). The tie carries this client's name, which the
// server's listener looks for. 0, or the cause the claim is undone with.
std::int32_t make_hup_and_tie(shm_membuf *mb, Link &l, char (&name)[32]) noexcept {
    HANDLE hup = create_named(name, false, true);
    if (!hup) return -map_error();
    keep(l, k_cli, k_hup, 0, mb->cli_hup.creator_handle, hup, name);
    char door[32];
    for (std::size_t i = 0; i < sizeof door; ++i)
        door[i] = std::atomic_ref<char>(mb->srv_hup.name[i]).load(std::memory_order_relaxed);
    const int tie_fd = name_terminated(door) ? tie::join(door, name) : -EPROTO;
    if (tie_fd < 0) {
        shm_log_debug("mb %p connect: cannot join the server's door (%d): %s\n", static_cast<void *>(mb), -tie_fd,
                      strerror(-tie_fd));
        release_own_hup(l, k_cli);
        close_own(l, k_cli, k_hup, 0, mb->cli_hup.creator_handle);
        return resources_short(-tie_fd) ? tie_fd : -ENOTCONN;
    }
    memcpy(l.tied_to, door, sizeof door);
    l.tie.store(tie_fd, std::memory_order_release);
    return 0;
}

void drop_hup_and_tie(shm_membuf *mb, Link &l) noexcept {
    const int fd = l.tie.exchange(-1, std::memory_order_acq_rel);
    tie::say_bye(fd);
    tie::close_tie(fd);
    release_own_hup(l, k_cli);
    close_own(l, k_cli, k_hup, 0, mb->cli_hup.creator_handle);
}

bool claim_stands(shm_membuf *mb, Link &l) noexcept {
    return (flags(mb) & SHM_CONNECTED) && still_attached(l, 0) && still_attached(l, 1);
}

// Publishes this client's protocols and its name into the bind that was
// claimed, under ring 0's lock, which the server's unbind takes to retire
// the bind: the check and the publication are one step against it. False
// when the claim no longer stands (nothing published then).
bool publish(shm_membuf *mb, Link &l, const char (&name)[32], bool split) noexcept {
    const RingLock ring0(l);
    if (!ring0.held || !claim_stands(mb, l)) return false;
    // Stated either way: an earlier client of the same bind may have
    // announced others.
    const std::uint8_t proto = split ? SHM_RB_SPLIT : 0;
    std::atomic_ref<std::uint8_t>(mb->rb[0].reader_proto).store(proto, std::memory_order_relaxed);
    std::atomic_ref<std::uint8_t>(mb->rb[1].writer_proto).store(proto, std::memory_order_relaxed);
    // Every byte but the first, then the first (release).
    for (std::size_t i = 1; i < sizeof name; ++i)
        std::atomic_ref<char>(mb->cli_hup.name[i]).store(name[i], std::memory_order_relaxed);
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(name[0], std::memory_order_release);
    return true;
}

// The claim is confirmed once the name is out: a server that gave up on
// this client in between has laid out a new bind (or shows another name).
bool confirmed(shm_membuf *mb, Link &l, const char (&name)[32]) noexcept {
    char shown[32];
    return claim_stands(mb, l) && published_name(mb->cli_hup, shown) && strncmp(shown, name, sizeof shown) == 0;
}

// Takes back a name this client published, unless another stands there now.
void retract_name(shm_membuf *mb, const char (&name)[32]) noexcept {
    char shown[32];
    if (published_name(mb->cli_hup, shown) && strncmp(shown, name, sizeof shown) == 0)
        std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);
}

void log_connected(shm_membuf *mb, Link &l) noexcept {
    for (int i = 0; i < 2; ++i) {
        shm_ringbuf &rb = mb->rb[i];
        shm_log_debug("rb %p connected : pbuf %zu phead %zd ptail %zd pend %zd , req %p\n", static_cast<void *>(&rb),
                      static_cast<size_t>(l.pbuf(i)), static_cast<ssize_t>(ref(rb.head).load(std::memory_order_relaxed)),
                      static_cast<ssize_t>(ref(rb.tail).load(std::memory_order_relaxed)), static_cast<ssize_t>(l.end(i)),
                      static_cast<void *>(&rb.req));
    }
    shm_log_info("mb %p connected\n", static_cast<void *>(mb));
}

} // namespace

std::int32_t connect(shm_membuf *mb, std::size_t size, Link **out, bool split) noexcept {
    const BindNames claimed = bind_names(mb);
    if (const std::int32_t e = claim(mb, claimed)) return e;
    // Looked at again: the magic may have changed since the first look.
    if (memcmp(mb->magic, k_magic, sizeof k_magic) != 0) return unclaim(mb, nullptr, claimed, SHM_E_BAD_MAGIC);
    if (ref(mb->size).load(std::memory_order_relaxed) != size) return unclaim(mb, nullptr, claimed, SHM_E_BAD_SIZE);
    // Until this client holds its hang-up mutex the name stays empty, so the
    // server's listener never watches a mutex that nobody holds yet.
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);
    Link *l = hold(mb, k_cli);
    if (!l) return unclaim(mb, nullptr, claimed, -ENOMEM);
    l->split[k_cli] = split;
    if (!layout_fits(mb, *l, size)) {
        shm_log_error("mb %p connect: ring layout does not match size %zu, refused\n", static_cast<void *>(mb), size);
        return unclaim(mb, l, claimed, -EPROTO);
    }
    if (const std::int32_t e = open_rings(*l, claimed)) return unclaim(mb, l, claimed, e);
    char name[32];
    if (const std::int32_t e = make_hup_and_tie(mb, *l, name)) {
        close_rings(*l);
        return unclaim(mb, l, claimed, e);
    }
    const bool published = publish(mb, *l, name, split);
    if (!published || !confirmed(mb, *l, name)) {
        if (published) retract_name(mb, name);
        drop_hup_and_tie(mb, *l);
        close_rings(*l);
        return unclaim(mb, l, claimed, -ENOTCONN);
    }
    go_live(*l, k_cli);
    log_connected(mb, *l);
    if (out) *out = l;
    return 0;
}

std::int32_t disconnect(shm_membuf *mb) noexcept {
    const LinkRef l = find(mb);
    if (l) go_dead(*l, k_cli);
    // A client that the server has given up on finds the block laid out anew,
    // perhaps with the next client attached: the name and the bit are then
    // that client's, and stay. A bind only withdrawn is still this client's
    // to let go of: the next server binds only once the bit is clear.
    // Decided and done under ring 0's lock (when it can be had in time), so
    // that a server retiring the bind cannot come in between.
    {
        const RingLock ring0(l ? l.get() : nullptr);
        const bool mine =
            !l || (still_attached(*l, 0) && still_attached(*l, 1)) || retired(bind_names(mb));
        // The name goes first: a server listener that starts for the next
        // client must never find this client's name and take its departure
        // for a death.
        if (mine) {
            // The next client of this bind states its own protocols, unless
            // it is of a version that knows none: it must not inherit ours.
            std::atomic_ref<std::uint8_t>(mb->rb[0].reader_proto).store(0, std::memory_order_relaxed);
            std::atomic_ref<std::uint8_t>(mb->rb[1].writer_proto).store(0, std::memory_order_relaxed);
            std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);
            ref(mb->flags).fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
        }
    }
    if (l) {
        // Wake the server while this side's handle of its event is still
        // open, so it sees the departure at once rather than after its sleep.
        wake_if_waiting(*l, 1, k_cli);
        // The bye: the server's listener takes the end of the tie that
        // follows for a departure, not a death.
        tie::say_bye(l->tie.load(std::memory_order_acquire));
        release_own_hup(*l, k_cli);
        ring_disconnect(*l, 0);
        ring_disconnect(*l, 1);
    }
    shm_log_info("mb %p disconnected\n", static_cast<void *>(mb));
    return 0;
}

std::int32_t close_client_hup(shm_membuf *mb) noexcept {
    if (const LinkRef l = find(mb)) {
        tie::close_tie(l->tie.exchange(-1, std::memory_order_acq_rel));
        close_own(*l, k_cli, k_hup, 0, mb->cli_hup.creator_handle);
        unhold(l.get(), k_cli);
    }
    return 0;
}

} // namespace vexa::block
