// The thread object behind the opaque shm_thread handle, shared by the
// endpoint and hang-up code. Fields follow the order of the record; the flags
// that two threads touch without a lock are atomics.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>

#include "vexa-port/shm_membuf.h"
#include "vexa-port/shm_thread.h"
#include "vexa-port/shm_types.h"

struct shm_thread {
    pthread_t thread;
    // The hand-shake (vexa::thread::notify and wait): notices given and not
    // yet taken, under mutex.
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    std::uint32_t notices;
    std::atomic<std::uint8_t> running; // the owner clears it to ask the thread to stop
    char name[256];
    void *fd;         // mapping handle of the region, or shmt_invalid_fd()
    shm_data data;    // own deep copy of the configuration
    std::int32_t type; // SHM_SRV, SHM_CLI or SHM_HUP
    std::atomic<shm_membuf *> membuf; // the mapped block, or null

    // Client: set by the thread's first step; lets a close that comes earlier
    // wait until the thread has taken over the object.
    std::atomic<std::uint8_t> started;
    // Client: set (under mutex) when the thread ends on its own without a
    // notice, so that a close never waits for a notice that will not come.
    bool ended_alone;
    // Hang-up listener: the owner is taking the link down; a normal return of
    // the wait ends the listener instead of watching the peer again.
    std::atomic<std::uint8_t> leaving;
    // Hang-up listener: 0 while it watches, k_listener_done once its wait has
    // returned (its notice follows), k_listener_orphaned when its owner has
    // given it up without waiting (it then frees itself when it ends).
    std::atomic<std::uint8_t> finished;
    // Endpoint: host operations in flight on membuf, and whether they may use
    // it. The endpoint thread closes the gate and waits for the operations in
    // flight before it detaches, rebuilds or unmaps the block.
    std::atomic<std::uint32_t> users;
    std::atomic<std::uint8_t> open;
    // Endpoint: a host read found the incoming ring corrupt.
    std::atomic<std::uint8_t> broken;
    // Endpoint thread's own state: the connected value last seen (server)
    // and the current hang-up listener.
    std::int32_t seen;
    shm_thread *listener;
    // Client: the pause between attempts, which a close cuts short.
    std::mutex pause_mutex;
    std::condition_variable pause_cond;
};

namespace vexa::thread {
inline constexpr std::uint8_t k_listener_done = 1;
inline constexpr std::uint8_t k_listener_orphaned = 2;

// The hand-shake. notify gives one notice; wait returns once a notice is
// there and takes it. A notice given before the wait is kept, and each one
// is taken by exactly one wait. The waiter may free the object as soon as its
// wait returns: notify does not touch the object after handing the notice
// over, and its caller must not either unless the owner keeps the object
// after that notice (the server's notice at start).
void notify(shm_thread *thr) noexcept;
void wait(shm_thread *thr) noexcept;

// Host side: the block if host operations may use it (the caller is then
// counted in and must call leave), or null.
inline shm_membuf *enter(shm_thread *t) noexcept {
    t->users.fetch_add(1, std::memory_order_seq_cst);
    if (!t->open.load(std::memory_order_seq_cst)) {
        t->users.fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    return t->membuf.load(std::memory_order_acquire);
}
inline void leave(shm_thread *t) noexcept { t->users.fetch_sub(1, std::memory_order_release); }
// Endpoint side: no new host operation starts; returns when none is in flight.
void close_gate(shm_thread *t) noexcept;
inline void open_gate(shm_thread *t) noexcept { t->open.store(1, std::memory_order_seq_cst); }

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
