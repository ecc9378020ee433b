// Pieces shared by the server and client endpoint threads: calling the host's
// callbacks, the delivery step, collecting a hang-up listener, and the marks
// of a link that a misbehaving peer has broken.
#pragma once

#include <cerrno>
#include <cstdint>

#include "shm/endpoint/thread_internal.h"

namespace vexa::endpoint {

// Result of one delivery step.
enum class Delivery { idle, delivered, broken };

// Delivers what waits in this side's incoming ring (on_data in chunks of at
// most chunk_max bytes, or on_data_ready with the count), or sleeps on the
// ring's event for at most a second when nothing waits. keep_awake(thr) is
// consulted after the sleep has been announced.
// Without a handler for bytes, waiting bytes stay for the host's own reads
// and the step sleeps until the next signal.
Delivery deliver(thread::Endpoint *thr, block::Link &l, bool server, bool (*keep_awake)(void *)) noexcept;

// shm_hup_start as the endpoint threads call it, with the peer's hang-up
// name as the caller saw it when it noticed the link (null when it saw none
// yet).
thread::Listener *start_listener(thread::Endpoint *thr, const char *expected = nullptr) noexcept;

// Tells the listener that its owner is done with the link, waits for its
// notice (at most two of its slices, whatever the peer does) and frees it.
void collect_listener(thread::Listener *&listener) noexcept;

// Unmaps the endpoint's block and closes its region handle, if it has them
// (a server also unlinks the name, which is its own to remove).
void let_go_region(thread::Endpoint *thr) noexcept;

std::int32_t call_connected(thread::Endpoint *thr) noexcept;
void call_disconnected(thread::Endpoint *thr) noexcept;

// Raises events on the endpoint's descriptor, if the host asked for one:
// bits are added to the pending set, and the descriptor is made readable
// when the set was empty. Costs one atomic load without a descriptor.
void raise_events(thread::Endpoint *thr, std::uint32_t bits) noexcept;

// Refuses a configuration that could never deliver: on_data with a chunk
// limit of 0 would loop forever reading nothing.
bool config_usable(const shm_data *data, const char *who) noexcept;

// A start that returns no endpoint leaves its cause in errno (an errno value,
// or minus an SHM_E_* code), so that a host learns it without reading the
// log. Set last, after anything that may change errno on the way out.
inline shm_thread *start_failed(int cause) noexcept {
    errno = cause > 0 ? cause : EIO;
    return nullptr;
}

// Marks the link numbered no broken (a corrupt ring, seen by a host read) so
// that the endpoint thread ends it; take_broken is true once for a mark of
// the current link and drops marks of earlier ones. next_link begins a new
// link number (the endpoint thread's own step).
void mark_broken(thread::Endpoint *thr, std::uint32_t no) noexcept;
bool broken_now(const thread::Endpoint *thr) noexcept;
bool take_broken(thread::Endpoint *thr) noexcept;
void next_link(thread::Endpoint *thr) noexcept;

// A server's step once its client has gone: takes its hang-up mutex back
// from the departed client's listener and, when the block cannot serve
// another client as it stands, lays it out anew under fresh names. 0
// (a rebuild that fails is retried by the server's loop), or -EINVAL for a
// server with no block. shm_hup_reset is its exported form.
std::int32_t ready_for_next_client(thread::Endpoint *thr) noexcept;

// Cancels the host's open reservation and view, if any: a stop calls it
// before it waits for the thread, which cannot let the link go while one is
// open.
void cancel_zero_copy(thread::Endpoint *thr) noexcept;

// The endpoint thread's close of the gate before it lets a link go. While
// the endpoint is being stopped, a reservation or view opened after the
// stop's own cancel (from the on_disconnected that the stop brings, say) is
// cancelled too: a stop never waits on the host.
void close_gate(thread::Endpoint *thr) noexcept;

// Stop an endpoint and free it, once the caller has taken it out of the
// registry of live handles (shm_close, shm_srv_stop).
std::int32_t stop_server(thread::Endpoint *thr) noexcept;
std::int32_t close_client(thread::Endpoint *thr) noexcept;

// A close or stop called from one of the endpoint's own callbacks: refused
// (logged) with -EDEADLK. A pointer comparison only: a handle is read only
// once it is known to be the live endpoint whose callback runs.
bool refuse_in_callback(shm_thread *handle, const char *what) noexcept;

} // namespace vexa::endpoint
