// Every wait, slice, grace and pause of the library in one place, each with
// why it has the length it has. A peer can cost us time only through these:
// the bounds that docs/reliability.md promises are their sums, worked out at
// the end of this file. Change one here and check those sums.
#pragma once

#include <cstdint>

namespace vexa::timing {

// ---- waits on the peer (each bounds what a stopped or hostile peer costs)

// A ring's lock: a peer stopped in a debugger, or a hostile one, may hold it
// for ever. The operation then gives -ETIMEDOUT and the link stays. The
// server's take-back of its hang-up mutex after a client left waits as long.
inline constexpr std::uint32_t k_lock_wait_ms = 1000;
// A server retiring a bind takes each ring's lock for this long at most
// (the client may hold one), and then waits as long for a client's write
// without the lock (its writing flag) to end.
inline constexpr std::uint32_t k_retire_wait_ms = 100;
// After a client has gone, its rings' locks must be free (not held or
// written over by it) within this, or the block is laid out anew.
inline constexpr std::uint32_t k_locks_at_rest_ms = 100;
// A claim is seen before the claimer's name is published: the server's loop
// looks again every k_name_poll_us for this long before it reports the
// link anyway and leaves the name to the listener.
inline constexpr std::uint32_t k_name_grace_ms = 100;
inline constexpr std::uint32_t k_name_poll_us = 1000;
// A claim whose name (or, at the server's door, whose tie) never comes is a
// client that died in between or is stopped: taken for dead after this, on
// the clock.
inline constexpr std::uint32_t k_name_wait_ms = 2000;
// A rebuild leaves a client that claimed the old bind this long to let go
// (its attach finds the bind retired), looking every k_claim_poll_us.
inline constexpr std::uint32_t k_stale_claim_ms = 100;
inline constexpr std::uint32_t k_claim_poll_us = 1000;
// A new server whose port still shows the link of a dead predecessor gives
// that server's client this long to notice and let go, looking every
// k_stale_link_poll_us; then it takes the port over.
inline constexpr std::uint32_t k_stale_link_ms = 1000;
inline constexpr std::uint32_t k_stale_link_poll_us = 5000;

// A server's door gives an accepted connection this long to introduce
// itself: a client sends its name right after it connects.
inline constexpr std::int64_t k_hello_ns = 500000000;

// ---- sleeps of our own (no peer holds these up)

// Before an endpoint thread sleeps on its ring's event, it polls the ring
// for this long (on more than one CPU): a reply that comes within it costs
// no wake-up. The retirement looks at a writing flag this often.
inline constexpr std::int64_t k_poll_ns = 50000;
inline constexpr std::uint32_t k_flag_poll_us = 50;

// An endpoint thread sleeps on its ring's event for at most this: an idle
// link costs one short wake-up a second, and a lost wake-up costs a second.
inline constexpr std::uint32_t k_ring_sleep_ms = 1000;
// After a sleep that failed (not one that ran out), before the next pass.
inline constexpr std::uint32_t k_failed_sleep_pause_us = 10000;
// While the host holds a view of the incoming ring open, the endpoint
// thread looks again after this instead of spinning.
inline constexpr std::uint32_t k_view_open_pause_us = 1000;
// A server hands its hang-up mutex to the departed client's listener for a
// moment before it takes it back.
inline constexpr std::uint32_t k_handover_us = 1000;
// A rebuild that failed (out of descriptors or memory) is tried again after
// a pause that doubles from the first to the last, in slices that a stop
// cuts short.
inline constexpr std::uint32_t k_rebuild_backoff_first_ms = 10;
inline constexpr std::uint32_t k_rebuild_backoff_last_ms = 1000;
inline constexpr std::uint32_t k_stop_slice_ms = 10;
// A listener whose wait failed (this process short of descriptors, say)
// tries again after this, in k_stop_slice_ms slices: the failure says
// nothing of the peer.
inline constexpr std::uint32_t k_listener_retry_ms = 100;
// A client's longest pause between attempts to attach when no door tells it
// when to look (a dead server opens none), and its pause while this process
// is short of descriptors or memory when its own timeout_us is 0.
inline constexpr std::int64_t k_longest_attach_pause_ns = 1000000000;
inline constexpr std::uint32_t k_trouble_pause_us = 10000;
// A closer waits for host calls in flight on the block: it yields this many
// times, then sleeps this long between looks.
inline constexpr unsigned k_users_yields = 1000;
inline constexpr std::uint32_t k_users_pause_us = 500;

// ---- the platform layer (shm/posix)

// A mutex waiter asks whether the owner still lives between slices of this
// length: a dead owner is noticed within it.
inline constexpr long k_owner_slice_ns = 30000000;
// How long a newcomer leaves a pending hand-off to the sleeper it is for.
inline constexpr long k_handoff_ns = 10000000;
// A shared lock on an object that somebody holds exclusively (a remover, for
// a moment) is tried this many times, this far apart: a second at most.
inline constexpr int k_share_lock_tries = 1000;
inline constexpr long k_share_lock_pause_ns = 1000000;
// The kernel tells of a death as it closes the dead process's descriptors;
// its locks may still be going for a moment. The sweep after a death looks
// this many times, this far apart (a tenth of a second at most).
inline constexpr int k_sweep_looks = 20;
inline constexpr std::uint32_t k_sweep_pause_us = 5000;
// After an abandonment the dead owner's process may not have closed its
// descriptors yet (the kernel hands the mutex on first): the last-holder
// check retries this many times with pauses that double from the first,
// about a quarter second in all. A close this long after an abandonment no
// longer expects the dead owner's process to be exiting (exit takes
// milliseconds; waiting longer would only delay the close).
inline constexpr int k_abandon_retries = 8;
inline constexpr long k_abandon_first_pause_ns = 1000000;
inline constexpr std::int64_t k_abandon_window_ns = 2000000000;
// A fork waits for the slow operations in flight, looking this often.
inline constexpr long k_fork_pause_ns = 100000;

// ---- the bounds, as sums
//
// A ring operation (send, receive, release, reserve): k_lock_wait_ms, 1 s.
//
// The server retiring a bind: per ring k_retire_wait_ms for the lock, and
// for ring 1 as long again for a writing flag: 0.3 s at most. A client's
// steps that must not meet a retirement wait as long for ring 0's lock.
//
// The server taking back its hang-up mutex after a client left:
// k_handover_us + k_lock_wait_ms + k_locks_at_rest_ms (1.1 s), then, for a
// rebuild, the retirement (0.3 s) and k_stale_claim_ms (0.1 s): about 1.5 s.
//
// A claim whose client never names itself or never ties: k_name_wait_ms on
// the clock, 2 s, then the rebuild above.
//
// A close: the endpoint thread finishes the step it is in (a ring operation,
// 1 s; or the take-back, 1.1 s, and the retirement of a rebuild it began,
// 0.3 s; a rebuild's wait for a stale claim ends with the stop), then tears
// the link down (the retirement, 0.3 s; its listener leaves within two
// k_stop_slice_ms slices): 1.7 s at most, "about 2 s" in the
// documentation. A host callback that does not return is outside: the
// callbacks are the host's.

} // namespace vexa::timing
