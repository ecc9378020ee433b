// The thread objects behind the opaque shm_thread handle, shared by the
// endpoint and hang-up code. Every object has a common part: its kind, its
// log name, its thread and the hand-shake by which that thread gives its
// owner notices. An endpoint adds its configuration, its region and the gate
// that host operations pass through; a hang-up listener adds the block it
// watches and the flags of its ending. A handle is taken for an endpoint only
// after its kind has been checked (endpoint_of). Relies on pthreads for the
// hand-shake; the flags that two threads touch without a lock are atomics.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "shm/block/membuf_internal.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_membuf.h"
#include "vexa-port/shm_thread.h"
#include "vexa-port/shm_types.h"

struct shm_thread {
    explicit shm_thread(std::int32_t kind) noexcept : type(kind) {}
    // Undoes only what was made, so that it also frees an object whose
    // making failed half way.
    ~shm_thread();
    shm_thread(const shm_thread &) = delete;
    shm_thread &operator=(const shm_thread &) = delete;

    // SHM_SRV, SHM_CLI or SHM_HUP; any other value makes an object that no
    // operation accepts. Fixed for the object's life: it decides the layout.
    const std::int32_t type;
    char name[256] = {};
    pthread_t thread{};
    // The hand-shake (vexa::thread::notify and wait): notices given and not
    // yet taken, under mutex.
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    std::uint32_t notices = 0;
    bool mutex_made = false;
    bool cond_made = false;
    // Links of the registry of live handles (vexa::thread::admit), under its
    // lock.
    shm_thread *live_prev = nullptr;
    shm_thread *live_next = nullptr;
};

namespace vexa::thread {

struct Listener;

// A server or client endpoint (and an object of an unknown kind, which
// carries a configuration like one but is accepted by no operation).
struct Endpoint : shm_thread {
    explicit Endpoint(std::int32_t kind) noexcept : shm_thread(kind) {}
    ~Endpoint();

    shm_data data{};                    // own deep copy of the configuration
    void *region = shmt_invalid_fd();   // mapping handle of the region
    std::atomic<shm_membuf *> membuf{}; // the mapped block, or null
    // This side's link of the block while bound or attached, or null.
    // Changed by the endpoint thread only while the gate is closed.
    vexa::block::Link *link = nullptr;
    // Set while the thread serves the host: by a server once its region is
    // bound, by a client's owner before its thread starts. The owner clears
    // it to ask the thread to stop; a client that ends on its own clears it
    // too, and whoever clears it first decides whether a notice follows.
    std::atomic<std::uint8_t> running{0};
    // Host operations in flight on membuf, and whether they may use it. The
    // endpoint thread closes the gate and waits for the operations in flight
    // before it detaches, rebuilds or unmaps the block.
    std::atomic<std::uint32_t> users{0};
    std::atomic<std::uint8_t> open{0};
    // The number of the current link (a client's attach, a server's
    // client), counted up by the endpoint thread each time one begins or
    // ends. A mark that a link is broken (a host read found the incoming
    // ring corrupt, or the link gone) carries the number it was raised on:
    // a host call still in flight when its link ended must not end the next
    // one.
    std::atomic<std::uint32_t> link_no{1};
    std::atomic<std::uint32_t> broken{0};
    // The reservation ([0]) and the view ([1]) a host keeps open between two
    // calls. Each counts as a host operation in flight from the call that
    // opens it to the one that closes it, so the block stays mapped and the
    // link stays under the host's pointer. state: k_zc_none, k_zc_opening,
    // k_zc_open, k_zc_closing; link is written before k_zc_open.
    struct ZeroCopy {
        std::atomic<std::uint8_t> state{0};
        vexa::block::Link *link = nullptr;
        std::uint32_t link_no = 0;
    } zc[2];
    // The endpoint thread's own state: the connected value last seen
    // (server) and the current hang-up listener.
    std::int32_t seen = 0;
    Listener *listener = nullptr;
    // The event descriptor for hosts that wait in a loop of their own
    // (eventfd, made on first request, closed with the object), and the
    // events raised since the host last took them.
    std::atomic<int> event_fd{-1};
    std::atomic<std::uint32_t> events{0};
    // A link stands that the host has been told of (between the connected
    // and the disconnected report).
    std::atomic<std::uint8_t> linked{0};
    std::mutex event_mutex; // making the descriptor
    // The cause of the last attempt that failed and is retried (a client's
    // attach for want of resources, a server's rebuild), logged once per
    // cause. The endpoint thread's own.
    std::int32_t last_trouble = 0;
    // The endpoint thread's last sleep on its ring ran out (the link idle).
    bool slept_out = false;
    // Client: the pause between attempts, which a close cuts short.
    std::mutex pause_mutex;
    std::condition_variable pause_cond;
    // Why a server's thread could not serve (an errno value or minus an
    // SHM_E_* code), read by the starter once the thread's notice came. Read
    // once, so it sits behind everything the data path touches.
    std::int32_t start_error = 0;
};

// A hang-up listener: watches the peer's hang-up mutex in membuf.
struct Listener : shm_thread {
    Listener() noexcept : shm_thread(SHM_HUP) {}
    ~Listener();

    std::atomic<shm_membuf *> membuf{};
    // The owner is taking the link down (ask_to_leave): the listener ends at
    // once. wake is signalled with it, for a listener asleep on its tie.
    std::atomic<std::uint8_t> leaving{0};
    int wake = -1;
    // 0 while it watches, k_listener_done once its wait has returned (its
    // notice follows).
    std::atomic<std::uint8_t> finished{0};
    // The peer's hang-up name as its owner saw it when it noticed the link,
    // or empty: the listener then takes the first name published. Set before
    // the thread starts.
    char expected[32] = {};
};

inline constexpr std::uint8_t k_listener_done = 1;

void ask_to_leave(Listener *l) noexcept;

inline constexpr std::uint8_t k_zc_none = 0, k_zc_opening = 1, k_zc_open = 2, k_zc_closing = 3;

// The endpoint behind a handle, or null for null or a handle of another kind.
inline Endpoint *endpoint_of(shm_thread *t) noexcept {
    return t && (t->type == SHM_SRV || t->type == SHM_CLI) ? static_cast<Endpoint *>(t) : nullptr;
}

// Make a new object with its hand-shake ready; null on failure with a negated
// errno value through err (which may be null). An endpoint copies data.
Endpoint *new_endpoint(const shm_data *data, std::int32_t type, std::int32_t *err) noexcept;
Listener *new_listener(std::int32_t *err) noexcept;

// The hand-shake. notify gives one notice; wait returns once a notice is
// there and takes it. A notice given before the wait is kept, and each one
// is taken by exactly one wait. The waiter may free the object as soon as its
// wait returns: notify does not touch the object after handing the notice
// over, and its caller must not either unless the owner keeps the object
// after that notice (the server's notice at start).
void notify(shm_thread *thr) noexcept;
void wait(shm_thread *thr) noexcept;

// Host side: the endpoint's link if host operations may use it (the caller
// is then counted in and must call leave), or null.
inline vexa::block::Link *enter(Endpoint *t) noexcept {
    t->users.fetch_add(1, std::memory_order_seq_cst);
    if (!t->open.load(std::memory_order_seq_cst) || !t->link) {
        t->users.fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    return t->link;
}
inline void leave(Endpoint *t) noexcept { t->users.fetch_sub(1, std::memory_order_release); }
// Endpoint side: no new host operation starts; returns when none is in flight.
// meanwhile (when given) is called on every look while some are.
void close_gate(Endpoint *t, void (*meanwhile)(Endpoint *) = nullptr) noexcept;
inline void open_gate(Endpoint *t) noexcept { t->open.store(1, std::memory_order_seq_cst); }

// The registry of the handles that start and connect have returned and no
// close or stop has taken back. Only close and stop consult it, so that a
// handle closed twice, or one never returned, is refused without being
// touched; the data path stays free of it. Intrusive: admitting a handle
// cannot fail.
void admit(Endpoint *t) noexcept;
// Takes h out of the registry: true for exactly one caller of a live handle
// (of a server's only, with servers_only: any other stays). Its kind is
// looked at under the registry's lock, while it cannot go.
bool retire(const shm_thread *h, bool servers_only = false) noexcept;

// True on a thread that is inside one of thr's callbacks. A thread-local mark
// rather than a comparison of thread ids: ids are reused once a thread has
// ended, and a stale match would refuse a legitimate close.
bool in_callback(const shm_thread *thr) noexcept;
// Marks the calling thread as inside one of thr's callbacks for the guard's
// lifetime.
struct CallbackScope {
    explicit CallbackScope(const shm_thread *thr) noexcept;
    ~CallbackScope();
    const shm_thread *saved;
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;
};
} // namespace vexa::thread
