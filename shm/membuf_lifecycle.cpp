// The block's lifecycle: the server binds it (lays out the header and both
// rings, creates their named objects, marks it ready and takes its hang-up
// mutex) and unbinds it; a client claims it, attaches to its objects,
// publishes its own hang-up mutex, and detaches again.
//
// Rules. The claim is one compare-and-swap on the flags: of two clients that
// look at the same moment exactly one sets SHM_CONNECTED, and the loser never
// clears it. Everything a client reads from the block (magic, size, ring
// layout, object names) comes from a peer it does not trust and is checked
// before use. A name is published with its first byte stored last (release),
// so that a reader never sees half of it. Each process releases and closes
// only the handles it keeps in its own link: the next client may already
// have written its own handles into the block's slots.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shm/log_internal.h"
#include "shm/membuf_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

namespace {

// The block's magic and the object name patterns are those of the channel's
// first version; peers of other builds read them.
constexpr char k_magic[4] = {'o', 'v', 'i', 'k'};
constexpr const char *k_mutex_prefix = "Global\\SHMEM_";
constexpr const char *k_event_prefix = "Global\\SHMEM_event";

// One process-wide counter of formatted names; an atomic increment hands two
// threads that format names at the same moment distinct values.
std::atomic<std::int32_t> entity_counter{0};

HANDLE as_handle(std::uint64_t v) noexcept { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)); }

bool name_terminated(const char (&name)[32]) noexcept { return memchr(name, 0, sizeof name) != nullptr; }

// A client whose attach failed lets go of everything it took and of its
// claim.
std::int32_t unclaim(shm_membuf *mb, Link *l, std::int32_t r) noexcept {
    if (l) unhold(l, k_cli);
    ref(mb->flags).fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
    return r;
}

} // namespace

void format_name(char (&out)[32], bool event) noexcept {
    snprintf(out, sizeof out, "%s%d_%d_%d", event ? k_event_prefix : k_mutex_prefix, static_cast<int>(getpid()), 0,
             entity_counter.fetch_add(1, std::memory_order_relaxed));
}

void *create_named(char (&name)[32], bool event) noexcept {
    for (int attempt = 0; attempt < 16; ++attempt) {
        format_name(name, event);
        HANDLE h = event ? CreateEventA(nullptr, FALSE, FALSE, name) : CreateMutexA(nullptr, FALSE, name);
        if (!h || GetLastError() != ERROR_ALREADY_EXISTS) return h;
        if (!CloseHandle(h)) map_error();
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
}

std::int32_t bind(shm_membuf *mb, std::size_t size, Link **out) noexcept {
    if (size <= shm_membuf_size + 1) return SHM_E_BAD_SIZE;
    if (flags(mb) & (SHM_READY | SHM_CONNECTED)) {
        shm_log_error("already binded, aborted\n");
        return -EBUSY;
    }
    Link *l = hold(mb, k_srv);
    if (!l) return -ENOMEM;
    go_dead(*l, k_srv);
    memset(static_cast<void *>(mb), 0, shm_membuf_size);
    memcpy(mb->magic, k_magic, sizeof k_magic);

    char name[32];
    HANDLE hup = create_named(name, false);
    memcpy(mb->srv_hup.name, name, sizeof name);
    if (!hup) {
        const std::int32_t e = -map_error();
        unhold(l, k_srv);
        return e;
    }
    keep(*l, k_srv, k_hup, 0, mb->srv_hup.creator_handle, hup);

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

    mb->size = size;
    ref(mb->flags).store(SHM_READY, std::memory_order_seq_cst);
    map_lock_error(WaitForSingleObject(hup, INFINITE));
    shm_log_info("mb %p bind shm_membuf_size %zu\n", static_cast<void *>(mb), static_cast<size_t>(shm_membuf_size));
    if (out) *out = l;
    return 0;
}

std::int32_t unbind(shm_membuf *mb) noexcept {
    const LinkRef l = find(mb);
    const std::uint32_t before = ref(mb->flags).fetch_and(~SHM_READY, std::memory_order_seq_cst);
    if (l) {
        go_dead(*l, k_srv);
        // An attached client sleeping on ring 0 learns at once that the block
        // is gone; the fence inside pairs with its announcement.
        if (before & SHM_CONNECTED) wake_if_waiting(*l, 0, k_srv);
        release_own_hup(*l, k_srv);
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

std::int32_t connect(shm_membuf *mb, std::size_t size, Link **out) noexcept {
    auto f = ref(mb->flags);
    std::uint32_t v = f.load(std::memory_order_seq_cst);
    do {
        if (!(v & SHM_READY)) return SHM_E_NOT_READY;
        if (v & SHM_CONNECTED) return SHM_E_ALREADY_CONNECTED;
    } while (!f.compare_exchange_weak(v, v | SHM_CONNECTED, std::memory_order_seq_cst));

    // Until this client holds its hang-up mutex the name stays empty, so the
    // server's listener never watches a mutex that nobody holds yet.
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);

    if (memcmp(mb->magic, k_magic, sizeof k_magic) != 0) return unclaim(mb, nullptr, SHM_E_BAD_MAGIC);
    if (ref(mb->size).load(std::memory_order_relaxed) != size) return unclaim(mb, nullptr, SHM_E_BAD_SIZE);
    Link *l = hold(mb, k_cli);
    if (!l) return unclaim(mb, nullptr, -ENOMEM);
    // The ring layout comes from the peer: it must be the one this size gives
    // and fit the mapping, or the block is refused.
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    if (size <= shm_membuf_size + 1 || mb->rb[0].pbuf != shm_membuf_size || mb->rb[0].end != cap ||
        mb->rb[1].pbuf != shm_membuf_size + cap || mb->rb[1].end != cap || !trust_rings(*l, size, k_cli)) {
        shm_log_error("mb %p connect: ring layout does not match size %zu, refused\n", static_cast<void *>(mb), size);
        return unclaim(mb, l, -EPROTO);
    }

    if (const std::int32_t e = ring_connect(*l, 0)) return unclaim(mb, l, e);
    if (const std::int32_t e = ring_connect(*l, 1)) {
        ring_disconnect(*l, 0);
        return unclaim(mb, l, e);
    }

    char name[32];
    HANDLE hup = create_named(name, false);
    if (!hup) {
        const std::int32_t e = -map_error();
        ring_disconnect(*l, 0);
        ring_disconnect(*l, 1);
        return unclaim(mb, l, e);
    }
    keep(*l, k_cli, k_hup, 0, mb->cli_hup.creator_handle, hup);
    map_lock_error(WaitForSingleObject(hup, INFINITE));
    // Publish the name: every byte but the first, then the first (release).
    memcpy(mb->cli_hup.name + 1, name + 1, sizeof name - 1);
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(name[0], std::memory_order_release);
    go_live(*l, k_cli);

    for (shm_ringbuf &rb : mb->rb)
        shm_log_debug("rb %p connected : pbuf %zu phead %zd ptail %zd pend %zd , req %p\n", static_cast<void *>(&rb),
                      static_cast<size_t>(rb.pbuf), static_cast<ssize_t>(rb.head), static_cast<ssize_t>(rb.tail),
                      static_cast<ssize_t>(rb.end), static_cast<void *>(&rb.req));
    shm_log_info("mb %p connected\n", static_cast<void *>(mb));
    if (out) *out = l;
    return 0;
}

std::int32_t disconnect(shm_membuf *mb) noexcept {
    const LinkRef l = find(mb);
    if (l) go_dead(*l, k_cli);
    // The name goes first: a server listener that starts for the next client
    // must never find this client's name and take its departure for a death.
    std::atomic_ref<char>(mb->cli_hup.name[0]).store(0, std::memory_order_release);
    ref(mb->flags).fetch_and(~SHM_CONNECTED, std::memory_order_seq_cst);
    if (l) {
        // Wake the server while this side's handle of its event is still
        // open, so it sees the departure at once rather than after its sleep.
        wake_if_waiting(*l, 1, k_cli);
        release_own_hup(*l, k_cli);
        ring_disconnect(*l, 0);
        ring_disconnect(*l, 1);
    }
    shm_log_info("mb %p disconnected\n", static_cast<void *>(mb));
    return 0;
}

std::int32_t close_client_hup(shm_membuf *mb) noexcept {
    if (const LinkRef l = find(mb)) {
        close_own(*l, k_cli, k_hup, 0, mb->cli_hup.creator_handle);
        unhold(l.get(), k_cli);
    }
    return 0;
}

bool published_name(const shm_named_handle &h, char (&out)[32]) noexcept {
    // The first byte is published last (release) by the attaching client.
    const char first = std::atomic_ref<const char>(h.name[0]).load(std::memory_order_acquire);
    if (first == 0) return false;
    memcpy(out, h.name, sizeof out);
    out[0] = first;
    return name_terminated(out);
}

void release_own_hup(Link &l, int side) noexcept {
    if (const std::uint64_t h = l.handle(side, k_hup))
        if (!ReleaseMutex(as_handle(h))) map_error();
}

std::int32_t take_own_hup(Link &l, int side) noexcept {
    return -map_lock_error(WaitForSingleObject(as_handle(l.handle(side, k_hup)), INFINITE));
}

} // namespace vexa::block
