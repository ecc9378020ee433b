// The block's side of the ties (shm/tie.h): the server's door, the
// connections kept at it for a client whose listener has not started yet,
// what a death the kernel reported does to the rings' locks, and each side's
// own hang-up mutex.
//
// Rules. The door and its kept connections change only under the door's
// mutex; a listener waits on a copy of the door's descriptor, so an unbind
// that closes the door never leaves it polling a number that another file
// has taken. A connection is admitted only for the hang-up name its client
// introduced itself with; any other is kept (at most a few, oldest out
// first) for the listener of its own client.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "shm/block/membuf_internal.h"
#include "shm/log_internal.h"
#include "shm/tie.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

namespace {

using Pending = Link::Door::Pending;
constexpr std::size_t k_kept = sizeof(Link::Door::pending) / sizeof(Pending);

// Every connection the server lets go of hears a bye first: one that ended
// without it would tell its client that the server had died.
void let_go(int fd) noexcept {
    tie::say_bye(fd);
    tie::close_tie(fd);
}

// Lets go of every kept connection whose client has gone (it left, or gave
// up on its attach): nothing is kept for nobody. Under the door's mutex.
void prune(Link::Door &d) noexcept {
    for (Pending &p : d.pending)
        if (p.fd >= 0 && tie::peer_closed(p.fd)) {
            tie::close_tie(p.fd);
            p.fd = -1;
        }
}

// Takes the kept connection of hello, newest first, if any; a kept one that
// had not named itself yet is asked again, and one that has gone is let go.
// Under the door's mutex.
int take_kept(Link::Door &d, const char (&hello)[32]) noexcept {
    for (std::size_t i = k_kept; i-- > 0;) {
        Pending &p = d.pending[i];
        if (p.fd < 0) continue;
        if (!p.hello[0] && tie::read_hello(p.fd, p.hello) == tie::Hello::none) {
            let_go(p.fd);
            p.fd = -1;
            continue;
        }
        if (p.hello[0] && strncmp(p.hello, hello, sizeof hello) == 0) {
            const int fd = p.fd;
            p.fd = -1;
            return fd;
        }
    }
    return -1;
}

// Kept in arrival order: when all places are taken, the oldest goes.
void keep_for_later(Link::Door &d, int fd, const char (&hello)[32]) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < k_kept; ++i)
        if (d.pending[i].fd >= 0) d.pending[n++] = d.pending[i];
    if (n == k_kept) {
        let_go(d.pending[0].fd);
        for (std::size_t i = 0; i + 1 < k_kept; ++i) d.pending[i] = d.pending[i + 1];
        n = k_kept - 1;
    }
    for (std::size_t i = n; i < k_kept; ++i) d.pending[i].fd = -1;
    d.pending[n].fd = fd;
    memcpy(d.pending[n].hello, hello, sizeof hello);
}

} // namespace

std::int32_t open_door(Link &l, const char (&name)[32]) noexcept {
    tie::DoorFile file;
    const int fd = tie::open_door(name, file);
    if (fd < 0) return fd;
    std::lock_guard lock(l.door.m);
    l.door.fd = fd;
    l.door.file = file;
    memcpy(l.door.name, name, sizeof name);
    return 0;
}

void close_door(Link &l) noexcept {
    std::lock_guard lock(l.door.m);
    if (l.door.fd >= 0) tie::close_door(l.door.fd, l.door.file, l.door.name);
    l.door.fd = -1;
    for (Pending &p : l.door.pending) {
        if (p.fd >= 0) let_go(p.fd);
        p.fd = -1;
    }
}

bool door_named(Link &l) noexcept {
    std::lock_guard lock(l.door.m);
    return l.door.fd >= 0 && tie::door_named(l.door.file, l.door.name);
}

void touch_door(Link &l) noexcept {
    std::lock_guard lock(l.door.m);
    if (l.door.fd >= 0) tie::touch_door(l.door.name);
}

int admit(Link &l, const char (&hello)[32], int wake, std::int64_t deadline_ns) noexcept {
    int door = -1;
    {
        std::lock_guard lock(l.door.m);
        if (const int fd = take_kept(l.door, hello); fd >= 0) return fd;
        if (l.door.fd < 0) return -EBADF;
        door = tie::dup(l.door.fd);
        if (door < 0) return door;
    }
    int r;
    for (;;) {
        char got[32];
        r = tie::admit_next(door, wake, deadline_ns, got);
        if (r < 0) break;
        // Compared as names: what follows a terminator is no part of one.
        if (got[0] && strncmp(got, hello, sizeof got) == 0) break;
        std::lock_guard lock(l.door.m);
        if (got[0] && l.door.fd >= 0 && !tie::peer_closed(r)) {
            keep_for_later(l.door, r, got);
        } else {
            // Said nothing we know (no client of ours), or its client has
            // gone already.
            if (!got[0])
                shm_log_debug("mb %p: a tie came through the door without a name, closed\n", static_cast<void *>(l.mb));
            let_go(r);
        }
    }
    tie::close_tie(door);
    return r;
}

void drain_door(Link &l) noexcept {
    std::lock_guard lock(l.door.m);
    if (l.door.fd < 0) return;
    prune(l.door);
    if (!tie::door_named(l.door.file, l.door.name)) {
        // Its name removed (a cleanup tool, a user's rm): no client could
        // find it any more. Opened anew under the same name; tried again on
        // the next look if that fails.
        tie::DoorFile file;
        const int fd = tie::open_door(l.door.name, file);
        if (fd < 0) return;
        tie::close_door(l.door.fd, l.door.file, l.door.name);
        l.door.fd = fd;
        l.door.file = file;
        shm_log_info("mb %p: the door's name had gone; the door is opened anew\n", static_cast<void *>(l.mb));
    }
    for (int i = 0; i < 64; ++i) {
        char got[32];
        const int fd = tie::admit_next(l.door.fd, -1, 0, got);
        if (fd < 0) return;
        // A client that has gone already (it left before its listener came
        // to admit it) leaves nothing to keep.
        if (tie::peer_closed(fd) || (!got[0] && tie::read_hello(fd, got) == tie::Hello::none)) {
            let_go(fd);
            continue;
        }
        // Named, or not yet: kept for the listener of its client, which
        // asks again.
        keep_for_later(l.door, fd, got);
    }
}

void abandon_peer_locks(Link &l, int side) noexcept {
    for (int idx = 0; idx < 2; ++idx) {
        if (const std::uint64_t h = l.handle(side, k_lock, idx)) AbandonForeignOwner(as_handle(h));
        // A dead client's write without the lock will never end.
        if (side == k_srv) std::atomic_ref<std::uint8_t>(l.mb->rb[idx].writing).store(0, std::memory_order_relaxed);
    }
}

bool locks_at_rest(Link &l, std::uint32_t timeout_ms) noexcept {
    for (int idx = 0; idx < 2; ++idx) {
        const std::uint64_t h = l.handle(k_srv, k_lock, idx);
        if (!h) continue;
        // A holder that lives gives the lock back within a copy: the next
        // client, quick to attach, may be sending already. One that does
        // not within the bound is a leftover or a forgery.
        const DWORD r = WaitForSingleObject(as_handle(h), timeout_ms);
        if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return false;
        ReleaseMutex(as_handle(h));
        if (r == WAIT_ABANDONED) return false;
    }
    return true;
}

void release_own_hup(Link &l, int side) noexcept {
    if (const std::uint64_t h = l.handle(side, k_hup))
        if (!ReleaseMutex(as_handle(h))) map_error();
}

std::int32_t take_own_hup(Link &l, int side, std::uint32_t timeout_ms) noexcept {
    const DWORD r = WaitForSingleObject(as_handle(l.handle(side, k_hup)), timeout_ms);
    const std::int32_t e = map_lock_error(r);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return 0;
    return r == WAIT_TIMEOUT ? -ETIMEDOUT : -(e ? e : EINVAL);
}

} // namespace vexa::block
