// The links of this process: one per block that it has bound or attached,
// found by the block's address.
//
// Rules. A link is made when a side binds or attaches and goes when neither
// side of this process holds it any more; there is no limit on how many a
// process has. Its geometry is written before a side goes live (release) and
// stays fixed while either side is live, so ring operations read it without
// a lock. An endpoint keeps a plain pointer to its link, which stays valid
// while its side holds it; the exported functions that take a bare block
// find the link under the registry's lock and keep it alive for the call.
// The mapped length comes from the platform's record of the view, never from
// the block.
#include <pthread.h>

#include <cinttypes>
#include <cstring>
#include <new>
#include <unordered_map>

#include "shm/block/membuf_internal.h"
#include "shm/log_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

namespace {

// A plain pthread mutex, so that a forked child can make it afresh.
pthread_mutex_t g_links_mutex = PTHREAD_MUTEX_INITIALIZER;
// Made with the first link and never freed, so that a late call during the
// process's exit never meets a destroyed table.
std::unordered_map<const shm_membuf *, Link *> *g_links = nullptr;
pthread_once_t g_fork_once = PTHREAD_ONCE_INIT;

struct Locked {
    Locked() noexcept { pthread_mutex_lock(&g_links_mutex); }
    ~Locked() { pthread_mutex_unlock(&g_links_mutex); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

// A forked child holds none of its parent's blocks (views and handles are
// not inherited): it starts with no links, and with the lock free even if a
// thread of the parent held it at the fork. The parent's links are left
// allocated: other memory may still point at them.
void fork_child() noexcept {
    pthread_mutex_init(&g_links_mutex, nullptr);
    g_links = nullptr;
}

std::uint64_t as_slot(void *h) noexcept { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(h)); }

} // namespace

void release(Link *l) noexcept {
    if (l->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete l;
}

LinkRef find(const shm_membuf *mb) noexcept {
    Locked lock;
    if (!g_links) return LinkRef();
    const auto it = g_links->find(mb);
    if (it == g_links->end()) return LinkRef();
    it->second->refs.fetch_add(1, std::memory_order_relaxed);
    return LinkRef(it->second);
}

Link *hold(shm_membuf *mb, int side) noexcept {
    pthread_once(&g_fork_once, [] { pthread_atfork(nullptr, nullptr, fork_child); });
    // Asked before the lock: the platform's views have a lock of their own.
    const std::uint64_t length = ViewBytes(mb);
    Locked lock;
    try {
        if (!g_links) g_links = new std::unordered_map<const shm_membuf *, Link *>;
        Link *&l = (*g_links)[mb];
        if (!l) {
            l = new (std::nothrow) Link;
            if (!l) {
                g_links->erase(mb);
                throw std::bad_alloc();
            }
            l->mb = mb;
            l->length = length;
        }
        l->held[side] = true;
        return l;
    } catch (const std::bad_alloc &) {
        shm_log_error("mb %p: out of memory for its link, refused\n", static_cast<void *>(mb));
        return nullptr;
    }
}

void unhold(Link *l, int side) noexcept {
    Locked lock;
    go_dead(*l, side);
    // Only once per hold: a second give-up (two threads leaving at once)
    // must neither drop the registry's reference again nor erase a newer
    // link of the same address.
    if (!l->held[side]) return;
    l->held[side] = false;
    if (l->held[0] || l->held[1]) return;
    if (const auto it = g_links->find(l->mb); it != g_links->end() && it->second == l) g_links->erase(it);
    release(l);
}

bool trust_rings(Link &l, std::uint64_t size, int side) noexcept {
    Locked lock;
    // A block that was not mapped as a view of a region is taken to be size
    // bytes long.
    const std::uint64_t length = l.length ? l.length : size;
    if (size > length) return false;
    const std::uint64_t cap = (size - shm_membuf_size) / 2;
    const std::uint64_t pbuf[2] = {shm_membuf_size, shm_membuf_size + cap};
    if (l.is_live(1 - side)) {
        // Both sides in this one process: they must agree.
        return l.pbuf(0) == pbuf[0] && l.pbuf(1) == pbuf[1] && l.end(0) == cap && l.end(1) == cap;
    }
    l.length = length;
    for (int r = 0; r < 2; ++r) {
        l.pbuf_[r].store(pbuf[r], std::memory_order_relaxed);
        l.end_[r].store(cap, std::memory_order_relaxed);
    }
    return true;
}

void keep(Link &l, int side, int obj, int idx, std::uint64_t &slot, void *handle, const char (&name)[32]) noexcept {
    memcpy(l.own[side].name(obj, idx), name, sizeof name);
    l.own[side].of(obj, idx).store(as_slot(handle), std::memory_order_release);
    ref(slot).store(as_slot(handle), std::memory_order_relaxed);
}

void close_own(Link &l, int side, int obj, int idx, std::uint64_t &slot) noexcept {
    const std::uint64_t v = l.own[side].of(obj, idx).exchange(0, std::memory_order_acq_rel);
    if (v == 0) return;
    std::uint64_t shown = v;
    ref(slot).compare_exchange_strong(shown, 0, std::memory_order_relaxed);
    if (!CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(v)))) map_error();
}

bool own_name(Link &l, int side, const char (&name)[32]) noexcept {
    for (const auto &by_obj : l.own[side].names)
        for (const char(&n)[32] : by_obj)
            if (n[0] && strncmp(n, name, sizeof n) == 0) return true;
    return false;
}

bool still_attached(const Link &l, int idx) noexcept {
    // Read in words: the server may clear the name while this looks (only a
    // client that has lost the race with the server's unbind can see that).
    const char(&mine)[32] = l.own[k_cli].names[k_lock][idx];
    char(&shown)[32] = l.mb->rb[idx].lock.name; // 8-byte aligned in the fixed layout
    for (std::size_t i = 0; i < sizeof shown; i += 8) {
        std::uint64_t a;
        memcpy(&a, mine + i, 8);
        // Sequentially consistent: a split writer's look pairs with the
        // server's retirement (its writing flag against the cleared name).
        if (a != ref(*reinterpret_cast<std::uint64_t *>(shown + i)).load(std::memory_order_seq_cst)) return false;
    }
    return true;
}

} // namespace vexa::block
