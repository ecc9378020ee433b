// Internal operations of the shared block: the rings' own bind, connect,
// disconnect, write and read, the geometry each process trusts, and the
// announced sleep that the endpoint loops use.
#pragma once

#include <atomic>
#include <cstdint>

#include "vexa-port/shm_membuf.h"

// Ring idx of mb (its control block is mb->rb[idx]); the handles made or
// opened are kept by this process and shown in the ring's slots.
std::int32_t shm_ringbuf_bind(shm_membuf *mb, int idx, std::uint64_t pbuf, std::uint64_t end);
std::int32_t shm_ringbuf_connect(shm_membuf *mb, int idx);
void shm_ringbuf_disconnect(shm_membuf *mb, int idx);
std::int64_t shm_ringbuf_write(shm_membuf *mb, std::uint64_t idx, const void *src, std::uint64_t len);
std::int64_t shm_ringbuf_read(shm_membuf *mb, std::uint64_t idx, void *dst, std::uint64_t len);

namespace vexa::block {

template <class T> std::atomic_ref<T> ref(T &field) noexcept { return std::atomic_ref<T>(field); }

inline std::uint32_t flags(shm_membuf *mb) noexcept { return ref(mb->flags).load(std::memory_order_seq_cst); }

// Sleeps on the incoming ring idx of this process's side for at most a
// second, after announcing the sleep and looking once more at the ring and at
// keep_awake(arg) (keep_awake may be null): a write or a state change that
// lands between the caller's last look and the sleep is never missed, as long
// as its author looks at the ring's waiting flag after a full fence. Returns
// as shm_srv_wait does.
std::int32_t side_wait(shm_membuf *mb, int idx, bool (*keep_awake)(void *), void *arg) noexcept;

// Sleeps of this process that ran out their second while bytes were waiting
// in the ring they watched: each is a lost or late wake-up.
std::uint64_t late_wakeups() noexcept;

// The client's hang-up mutex name as published in the block: empty while the
// client is still taking its mutex. Returns false when it is empty or not
// properly terminated.
bool published_name(const shm_named_handle &h, char (&out)[32]) noexcept;

// Wakes the reader of ring idx through this process's slot if it sleeps.
void wake_reader(shm_membuf *mb, int idx, bool creator_slot) noexcept;

// Release and take this process's own hang-up mutex of the block (the
// server's reset hands it over for a moment).
void release_own_hup(shm_membuf *mb, bool server) noexcept;
std::int32_t take_own_hup(shm_membuf *mb, bool server) noexcept;

} // namespace vexa::block
