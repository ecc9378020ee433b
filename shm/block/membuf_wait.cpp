// Sleeping and waking: a ring's reader sleeps on the ring's named auto-reset
// event, and its writer signals the event when the reader has announced the
// sleep.
//
// Rules. A ring admits one sleeper, announced by its waiting byte. The reader
// announces first (exchange, sequentially consistent), then looks at the ring
// and at its own stop condition once more, and only then sleeps; a writer
// updates the ring or the condition, issues a full fence, and then looks at
// waiting. Whichever order the two run in, either the reader sees the update
// or the writer sees the announcement: no wake-up is lost. Where the process
// may run on more than one CPU, a reader polls the ring for a few tens of
// microseconds before it announces, so that a busy link pays for no system
// call.
#include <sched.h>

#include <chrono>
#include <cerrno>

#include "shm/block/membuf_internal.h"
#include "shm/log_internal.h"
#include "shm/timing.h"
#include "shm/tsan.h"
#include "shm/win_api.h"

namespace vexa::block {

namespace {

using timing::k_poll_ns;

std::atomic<std::uint64_t> g_late_wakeups{0};

bool poll_briefly(shm_ringbuf &rb, bool (*keep_awake)(void *), void *arg) noexcept {
    const auto start = std::chrono::steady_clock::now();
    // The ring is looked at after every pause: a write is seen within one
    // (tens of nanoseconds), the peer's stop condition and the clock only
    // every 256.
    for (unsigned i = 1;; ++i) {
        if (ref(rb.has_data).load(std::memory_order_acquire) != 0) return true;
        cpu_relax();
        if ((i & 255) == 0) {
            if (keep_awake(arg)) return true;
            if (std::chrono::steady_clock::now() - start > std::chrono::nanoseconds(k_poll_ns)) return false;
        }
    }
}

} // namespace

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// The answer is taken once per process (an affinity change later is not
// seen).
bool may_poll() noexcept {
    static const bool multi = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
    }();
    return multi;
}

Seen seen_now(Link &l, int idx) noexcept {
    // The tail first: the count is bumped before the positions that a read
    // publishes, so a tail that shows a refill comes with the read's count.
    const std::uint64_t tail = ref(l.mb->rb[idx].tail).load(std::memory_order_seq_cst);
    const std::uint64_t has = ref(l.mb->rb[idx].has_data).load(std::memory_order_seq_cst);
    return {tail, has, l.use[idx][k_reads].taken.load(std::memory_order_acquire)};
}

std::int32_t side_wait(Link &l, int idx, bool (*keep_awake)(void *), void *arg, bool data_wakes,
                       const Seen *seen, bool own_flag, bool poll) noexcept {
    shm_ringbuf &rb = l.mb->rb[idx];
    // On a single CPU the poll would burn the time slice the peer needs to
    // write.
    if (poll && data_wakes && keep_awake && may_poll() && poll_briefly(rb, keep_awake, arg)) return 0;
    // A client whose link the server has ended must not touch the flag: it
    // belongs to the next client's sleep now.
    const bool client = reader_side(idx) == k_cli;
    if (client && !still_attached(l, idx)) return 0;
    // The peer writes this ring and never sleeps on it: a flag it set can
    // cost it a needless wake-up, never make this side spin.
    if (ref(rb.waiting).exchange(1, std::memory_order_seq_cst) && !own_flag) return k_has_sleeper;
    bool has = false;
    if (data_wakes) {
        has = ref(rb.has_data).load(std::memory_order_seq_cst) != 0;
    } else if (seen) {
        const Seen now = seen_now(l, idx);
        has = now.tail != seen->tail || now.has != seen->has || now.taken != seen->taken;
    }
    if (has || (keep_awake && keep_awake(arg))) {
        ref(rb.waiting).store(0, std::memory_order_seq_cst);
        return 0;
    }
    const std::uint64_t ev = l.handle(reader_side(idx), k_event, idx);
    const std::int32_t r = -map_lock_error(WaitForSingleObject(as_handle(ev), timing::k_ring_sleep_ms));
    if (!client || still_attached(l, idx)) ref(rb.waiting).store(0, std::memory_order_seq_cst);
    // A sleep that runs out while bytes wait in the ring means a wake-up was
    // lost or came a second late; counted so that a benchmark can prove
    // there were none. Only this rare path pays for the increment.
    if (data_wakes && r == -ETIMEDOUT && ref(rb.has_data).load(std::memory_order_acquire) != 0)
        g_late_wakeups.fetch_add(1, std::memory_order_relaxed);
    return r;
}

std::uint64_t late_wakeups() noexcept { return g_late_wakeups.load(std::memory_order_relaxed); }

void wake_if_waiting(Link &l, std::uint64_t idx, int side) noexcept {
#ifdef VEXA_TSAN
    // ThreadSanitizer models no fences; a read-modify-write of the flag gives
    // the same guarantee in terms it follows (the sleeper's announcement is
    // an exchange of the same byte, so one of the two reads the other's
    // write), at the price of a write to the flag's line on every call.
    if (!ref(l.mb->rb[idx].waiting).fetch_or(0, std::memory_order_seq_cst)) return;
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!ref(l.mb->rb[idx].waiting).load(std::memory_order_relaxed)) return;
#endif
    if (const std::uint64_t ev = l.handle(side, k_event, static_cast<int>(idx))) SetEvent(as_handle(ev));
}

void wake_after_add(Link &l, std::uint64_t idx, int side) noexcept {
    if (!ref(l.mb->rb[idx].waiting).load(std::memory_order_seq_cst)) return;
    if (const std::uint64_t ev = l.handle(side, k_event, static_cast<int>(idx))) SetEvent(as_handle(ev));
}

void wake_reader(shm_membuf *mb, int idx, int side) noexcept {
    if (const LinkRef l = find(mb)) wake_if_waiting(*l, static_cast<std::uint64_t>(idx), side);
}

bool notify_own(Link &l, int side) noexcept {
    const int idx = side == k_srv ? 1 : 0;
    if (!ref(l.mb->rb[idx].waiting).load(std::memory_order_seq_cst)) return false;
    SetEvent(as_handle(l.handle(side, k_event, idx)));
    return true;
}

} // namespace vexa::block
