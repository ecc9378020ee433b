// Named mutexes, named auto-reset events and waits on them.
//
// A mutex is a word in the object's header page: 0 when free, otherwise the
// owner's id (owner.cpp) and a bit saying that a thread may sleep on it. A
// taker swaps 0 for its id; a releaser swaps its id for 0 and wakes one
// sleeper if the bit was set. A waiter sleeps on the word with a shared
// futex in slices, and between slices asks whether the owner still lives: a
// dead owner's word is taken over with one compare-and-swap, so exactly one
// next taker gets WAIT_ABANDONED. A thread that ends owning the mutex
// releases it as abandoned (owner.cpp), with the same result. The word holds
// plain values only, checked on every use: whatever a peer writes there
// names an owner at most, which the next waiter finds dead or alive.
//
// An event is a word in the header page (nonzero = signalled) with a count
// of waiters, waited on with a shared futex. SetEvent sets the word and wakes
// one waiter if any is announced (a lone waiter only when the word was 0); a waiter takes the signal by turning the
// word back to 0, so every signal is consumed exactly once, and a signal with
// nobody waiting stays until the next wait. Any nonzero value counts as a
// signal, so a word outside its two states never keeps a waiter spinning.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "shm/posix/posix_internal.h"
#include "shm/timing.h"
#include "shm/tsan.h"

using namespace vexa::posix;

namespace {

timespec deadline_after(clockid_t clock, DWORD ms) {
    timespec t{};
    clock_gettime(clock, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

long futex(std::atomic<std::uint32_t> *word, int op, std::uint32_t val, const timespec *timeout,
           std::uint32_t bitset);

// ThreadSanitizer does not know this lock: tell it that a take acquires what
// the last release published, or it would report every ring copy as a race.
#ifdef VEXA_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
inline void tsan_acquire(Header *h) { __tsan_acquire(&h->lock); }
inline void tsan_release(Header *h) { __tsan_release(&h->lock); }
#else
inline void tsan_acquire(Header *) {}
inline void tsan_release(Header *) {}
#endif

// A waiter looks at its owner's life between slices of this length: a dead
// owner is noticed within it, and a wait on a live one costs a few system
// calls per slice.
constexpr long k_owner_slice_ns = vexa::timing::k_owner_slice_ns;
// How long a newcomer leaves a pending hand-off to the sleeper it is for.
constexpr long k_handoff_ns = vexa::timing::k_handoff_ns;

void cpu_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

bool passed(const timespec &until) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec);
}

// Ownership counts of an object change only in its owner's hands (the
// mutex itself orders them), so plain loads and stores do.
void count_owned(Object *obj, int by) {
    obj->owned.store(obj->owned.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

void unlock_word(Header *h, std::uint32_t id) noexcept;

// With record false the take is a MutexHold's: no record, no recursion.
DWORD taken(Object *obj, bool abandoned, std::uint32_t me, bool record) {
    Header *h = obj->hdr;
    tsan_acquire(h);
    if (!record) {
        if (!abandoned) return WAIT_OBJECT_0;
        obj->abandoned_at.store(monotonic_ns(), std::memory_order_relaxed);
        return WAIT_ABANDONED;
    }
    if (!note_owned(h, obj->ino)) {
        // Without its record the thread could never release it: given back.
        if (abandoned) h->abandoned.store(1, std::memory_order_relaxed);
        unlock_word(h, me);
        SetLastError(error_from_errno(ENOMEM));
        return WAIT_FAILED;
    }
    h->recursion.store(1, std::memory_order_relaxed);
    count_owned(obj, 1);
    if (!abandoned) return WAIT_OBJECT_0;
    obj->abandoned_at.store(monotonic_ns(), std::memory_order_relaxed);
    return WAIT_ABANDONED;
}

timespec earlier(const timespec &a, const timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec) ? a : b;
}

timespec after_ns(long ns) {
    timespec t = deadline_after(CLOCK_MONOTONIC, 0);
    t.tv_nsec += ns;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// How long one sleep of a mutex waiter lasts, into slice: a pending
// hand-off is waited for briefly (the sleeper it is meant for takes it in
// microseconds, unless it has gone); a held mutex for a slice, between which
// the waiter asks after the owner's life, unless the wait leaves that to the
// caller: it then sleeps through to its end, which costs nothing while the
// owner holds the mutex. Null for no limit.
const timespec *sleep_limit(std::uint32_t owner, bool judge, DWORD ms, const timespec &until, timespec &slice) noexcept {
    if (owner != 0 && !judge) {
        slice = until;
        return ms == INFINITE ? nullptr : &slice;
    }
    slice = after_ns(owner == 0 ? k_handoff_ns : k_owner_slice_ns);
    if (ms != INFINITE) slice = earlier(slice, until);
    return &slice;
}

enum class Sleep { slept, raced, failed };

// One sleep on the word v, counted, then flagged in the word, before the
// kernel looks at the word: a release either sees the flag (and then the
// count) and wakes the sleeper, or changes the word first and the kernel
// refuses the sleep. raced: the word changed before the flag was set (v is
// the word now); failed: the last error says why. After a sleep, v is the
// word now, woken says a release woke it (a hand-off may be ours) and
// ask_owner that a whole slice passed with the word unchanged.
Sleep sleep_on_word(Header *h, std::uint32_t &v, const timespec *timeout, bool &woken, bool &ask_owner) noexcept {
    h->sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (!(v & k_lock_waiters) &&
        !h->lock.compare_exchange_strong(v, v | k_lock_waiters, std::memory_order_seq_cst, std::memory_order_relaxed)) {
        h->sleepers.fetch_sub(1, std::memory_order_seq_cst);
        return Sleep::raced;
    }
    v |= k_lock_waiters;
    const long rc = futex(&h->lock, FUTEX_WAIT_BITSET, v, timeout, FUTEX_BITSET_MATCH_ANY);
    const int e = rc == 0 ? 0 : errno;
    h->sleepers.fetch_sub(1, std::memory_order_seq_cst);
    if (e != 0 && e != EAGAIN && e != EINTR && e != ETIMEDOUT) {
        SetLastError(error_from_errno(e));
        return Sleep::failed;
    }
    const std::uint32_t now = h->lock.load(std::memory_order_relaxed);
    woken = e == 0;
    ask_owner = e == ETIMEDOUT && now == v;
    v = now;
    return Sleep::slept;
}

// A take of a mutex this thread holds already, as its own record counts it.
// A word that names this thread while the record shows nothing was written
// by a peer: waited on like any other owner (false).
bool take_again(Object *obj) noexcept {
    std::uint32_t *depth = own_depth(obj->ino);
    if (!depth || *depth == UINT32_MAX) return false;
    ++*depth;
    count_owned(obj, 1);
    return true;
}

// The owner in v has died: of all the waiters that find it so, the one
// whose swap succeeds takes the mutex as abandoned (true). v is the word
// now otherwise.
bool seize_from_dead(Header *h, std::uint32_t &v, std::uint32_t me) noexcept {
    if (!h->lock.compare_exchange_strong(v, me | (v & k_lock_waiters), std::memory_order_acquire,
                                        std::memory_order_relaxed))
        return false;
    h->abandoned.store(0, std::memory_order_relaxed);
    return true;
}

DWORD wait_mutex(Object *obj, DWORD ms, bool record = true) {
    Header *h = obj->hdr;
    const std::uint32_t me = owner_id();
    if (me == 0) {
        SetLastError(error_from_errno(EAGAIN));
        return WAIT_FAILED;
    }
    // The deadline is read off the clock only once the wait has to sleep: a
    // take of a free mutex costs no system call.
    timespec until{};
    bool have_deadline = false;
    OwnerProbe probe;
    // Whether this wait asks after the owner's life itself, in slices, or
    // leaves it to the caller's news (AbandonForeignOwner).
    const bool judge = !obj->death_told.load(std::memory_order_relaxed);
    bool woken = false;     // woken by a release: a hand-off may be ours
    bool ask_owner = false; // a whole slice passed with the word unchanged
    std::uint32_t v = h->lock.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint32_t owner = v & k_lock_owner;
        // A hand-off is for a sleeper; a newcomer takes it only when nobody
        // sleeps any more, or when it has waited a moment in vain.
        const bool free = owner == 0 && (!(v & k_lock_handoff) || woken || ask_owner ||
                                         h->sleepers.load(std::memory_order_seq_cst) == 0);
        if (free) {
            // The waiters bit stays: others may sleep, and a spare slow
            // release costs a little where a missed wake-up would cost a hang.
            if (h->lock.compare_exchange_weak(v, me | (v & k_lock_waiters), std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                const bool abandoned = h->abandoned.load(std::memory_order_relaxed) != 0 &&
                                       h->abandoned.exchange(0, std::memory_order_relaxed) != 0;
                return taken(obj, abandoned, me, record);
            }
            continue;
        }
        if (owner == me && record && take_again(obj)) return WAIT_OBJECT_0;
        if (ask_owner && owner != 0 && judge) {
            ask_owner = false;
            if (!probe.alive(owner)) {
                if (seize_from_dead(h, v, me)) return taken(obj, true, me, record);
                continue;
            }
        }
        if (ms == 0) return WAIT_TIMEOUT;
        if (!have_deadline) {
            until = deadline_after(CLOCK_MONOTONIC, ms == INFINITE ? 0 : ms);
            have_deadline = true;
        } else if (ms != INFINITE && passed(until)) {
            return WAIT_TIMEOUT;
        }
        timespec slice{};
        const timespec *timeout = sleep_limit(owner, judge, ms, until, slice);
        const Sleep slept = sleep_on_word(h, v, timeout, woken, ask_owner);
        if (slept == Sleep::failed) return WAIT_FAILED;
    }
}

long futex(std::atomic<std::uint32_t> *word, int op, std::uint32_t val, const timespec *timeout,
           std::uint32_t bitset) {
    // Shared futexes (no FUTEX_PRIVATE_FLAG): the word lives in a mapping
    // that other processes reach through mappings of their own.
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(word), op, val, timeout, nullptr, bitset);
}

bool take_signal(Header *h) {
    std::uint32_t v = h->state.load(std::memory_order_relaxed);
    while (v != 0)
        if (h->state.compare_exchange_weak(v, 0, std::memory_order_acq_rel, std::memory_order_relaxed)) return true;
    return false;
}

DWORD wait_event(Object *obj, DWORD ms) {
    Header *h = obj->hdr;
    if (take_signal(h)) return WAIT_OBJECT_0;
    if (ms == 0) return WAIT_TIMEOUT;
    // A monotonic deadline: a change of the wall clock neither shortens nor
    // stretches the wait, and EINTR resumes it against the same deadline.
    const timespec until = deadline_after(CLOCK_MONOTONIC, ms == INFINITE ? 0 : ms);
    const timespec *timeout = ms == INFINITE ? nullptr : &until;
    for (;;) {
        // Announce first, then sleep only while the word is still 0. SetEvent
        // stores 1 before it reads the count, so either it sees us and wakes
        // us, or the kernel sees the 1 and refuses to put us to sleep.
        h->waiters.fetch_add(1, std::memory_order_seq_cst);
        const long rc = futex(&h->state, FUTEX_WAIT_BITSET, 0, timeout, FUTEX_BITSET_MATCH_ANY);
        const int e = rc == 0 ? 0 : errno;
        h->waiters.fetch_sub(1, std::memory_order_seq_cst);
        if (take_signal(h)) return WAIT_OBJECT_0;
        if (e == ETIMEDOUT) return WAIT_TIMEOUT;
        if (e != 0 && e != EAGAIN && e != EINTR) {
            SetLastError(error_from_errno(e));
            return WAIT_FAILED;
        }
        // Woken for a signal another waiter took first, or interrupted: wait on.
    }
}

} // namespace

namespace {

// Gives up the mutex that id owns: free, or handed off to a sleeper when
// there is one. While it owns the mutex only the owner changes the owner
// bits; others only add the waiters bit.
void unlock_word(Header *h, std::uint32_t id) noexcept {
    tsan_release(h);
    std::uint32_t v = id;
    if (h->lock.compare_exchange_strong(v, 0, std::memory_order_seq_cst, std::memory_order_relaxed)) return;
    bool sleepers = false;
    do sleepers = h->sleepers.load(std::memory_order_seq_cst) != 0;
    while (!h->lock.compare_exchange_weak(v, sleepers ? (k_lock_handoff | k_lock_waiters) : 0, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
    // A sleeper counted after the look above saw the word change and does
    // not sleep, or is counted by now and is woken here.
    if (sleepers || h->sleepers.load(std::memory_order_seq_cst) != 0) futex(&h->lock, FUTEX_WAKE, 1, nullptr, 0);
}

} // namespace

void vexa::posix::abandon_mutex(Header *h, std::uint32_t id) noexcept {
    const std::uint32_t v = h->lock.load(std::memory_order_relaxed);
    if ((v & k_lock_owner) != id) return; // released meanwhile, or taken over
    h->abandoned.store(1, std::memory_order_relaxed);
    h->recursion.store(0, std::memory_order_relaxed);
    unlock_word(h, id);
}

HANDLE CreateMutexA(void *, BOOL initial_owner, LPCSTR name) {
    ForkGuard guard;
    DWORD error = ERROR_SUCCESS;
    bool existed = false;
    Object *obj = create_object(Kind::mutex, name, 0, initial_owner != FALSE, &existed, error);
    return publish_object(obj, true, existed, error);
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
    ForkGuard guard;
    DWORD error = ERROR_SUCCESS;
    Object *obj = open_object(Kind::mutex, name, error);
    return publish_object(obj, false, false, error);
}

BOOL ReleaseMutex(HANDLE mutex) {
    HandleRef ref(mutex);
    if (!ref) return FALSE;
    if (ref->kind != Kind::mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Header *h = ref->hdr;
    const std::uint32_t me = owner_id();
    // Only this thread's own record says whether it owns the mutex: the word
    // may name it because a peer wrote it there.
    std::uint32_t *depth = me == 0 ? nullptr : own_depth(ref->ino);
    if (!depth) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    count_owned(ref.get(), -1);
    if (*depth > 1) {
        --*depth;
        return TRUE;
    }
    note_released(ref->ino);
    h->recursion.store(0, std::memory_order_relaxed);
    unlock_word(h, me);
    return TRUE;
}

HANDLE CreateEventA(void *, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
    if (manual_reset) { // only auto-reset events are provided
        SetLastError(error_from_errno(EINVAL));
        return nullptr;
    }
    ForkGuard guard;
    DWORD error = ERROR_SUCCESS;
    bool existed = false;
    Object *obj = create_object(Kind::event, name, 0, initial_state != FALSE, &existed, error);
    return publish_object(obj, true, existed, error);
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) {
    ForkGuard guard;
    DWORD error = ERROR_SUCCESS;
    Object *obj = open_object(Kind::event, name, error);
    return publish_object(obj, false, false, error);
}

BOOL SetEvent(HANDLE event) {
    HandleRef ref(event);
    if (!ref) return FALSE;
    if (ref->kind != Kind::event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Header *h = ref->hdr;
    const std::uint32_t was = h->state.exchange(1, std::memory_order_seq_cst);
    const std::uint32_t waiters = h->waiters.load(std::memory_order_seq_cst);
    // An event already signalled holds its one signal. A waiter sleeps only
    // while the word is 0, so whoever set it woke any sleeper there was, and
    // one that counted itself since finds the word set and does not sleep:
    // a lone waiter needs no second wake. (A busy writer signals again and
    // again while its woken reader has not run yet; each would otherwise be
    // a system call.) With more waiters every signal still wakes one.
    if (was != 0 && waiters <= 1) return TRUE;
    if (waiters != 0) futex(&h->state, FUTEX_WAKE, 1, nullptr, 0);
    return TRUE;
}

DWORD MutexHold::take(HANDLE mutex, DWORD ms, bool spin) noexcept {
    release();
    std::uint32_t index = 0;
    Object *obj = take_ref(mutex, index);
    if (!obj) return WAIT_FAILED;
    if (obj->kind != Kind::mutex) {
        drop_ref(index);
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    DWORD r = WAIT_TIMEOUT;
    // The holder keeps the lock across one copy: where it may run on
    // another CPU, a few microseconds of looking at the word (and swapping
    // only when it shows free) spare a sleep and a hand-over, two system
    // calls. A free word taken here costs one compare-and-swap.
    constexpr int k_tries = 64;
    Header *h = obj->hdr;
    const std::uint32_t me = owner_id();
    for (int i = 0; spin && me != 0 && i < k_tries; ++i) {
        std::uint32_t v = h->lock.load(std::memory_order_relaxed);
        if ((v & (k_lock_owner | k_lock_handoff)) == 0 &&
            h->lock.compare_exchange_strong(v, me | (v & k_lock_waiters), std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            const bool abandoned = h->abandoned.load(std::memory_order_relaxed) != 0 &&
                                   h->abandoned.exchange(0, std::memory_order_relaxed) != 0;
            r = taken(obj, abandoned, me, false);
            break;
        }
        for (int k = 0; k < 16; ++k) cpu_pause();
    }
    if (r == WAIT_TIMEOUT) r = wait_mutex(obj, ms, false);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
        obj_ = obj;
        index_ = index;
        me_ = me;
    } else {
        drop_ref(index);
    }
    return r;
}

void MutexHold::release() noexcept {
    if (!obj_) return;
    auto *obj = static_cast<Object *>(obj_);
    unlock_word(obj->hdr, me_);
    drop_ref(index_);
    obj_ = nullptr;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    HandleRef ref(object);
    if (!ref) return WAIT_FAILED;
    switch (ref->kind) {
    case Kind::mutex: return wait_mutex(ref.get(), milliseconds);
    case Kind::event: return wait_event(ref.get(), milliseconds);
    default: SetLastError(ERROR_INVALID_HANDLE); return WAIT_FAILED;
    }
}

std::uint32_t vexa::posix::event_waiters(HANDLE h) {
    HandleRef ref(h);
    if (!ref || ref->kind != Kind::event) return 0;
    return ref->hdr->waiters.load(std::memory_order_acquire);
}

namespace {

Header *mutex_header(HandleRef &ref) {
    if (!ref) return nullptr;
    if (ref->kind != Kind::mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return ref->hdr;
}

} // namespace

BOOL LeaveOwnerDeathToCaller(HANDLE mutex) {
    HandleRef ref(mutex);
    if (!mutex_header(ref)) return FALSE;
    ref->death_told.store(true, std::memory_order_relaxed);
    return TRUE;
}

BOOL AbandonForeignOwner(HANDLE mutex) {
    HandleRef ref(mutex);
    Header *h = mutex_header(ref);
    if (!h) return FALSE;
    const std::uint32_t me = owner_id();
    if (me == 0) {
        SetLastError(error_from_errno(EAGAIN));
        return FALSE;
    }
    // Taken from the dead owner for a moment, then released as abandoned the
    // way a thread that ends owning it releases it: the one sleeper handed
    // the mutex, or the next taker, learns of the death.
    std::uint32_t v = h->lock.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint32_t owner = v & k_lock_owner;
        if (owner == 0 || owner == me || owner_here(owner)) return FALSE;
        if (h->lock.compare_exchange_weak(v, me | (v & k_lock_waiters), std::memory_order_acquire,
                                          std::memory_order_relaxed))
            break;
    }
    tsan_acquire(h);
    h->abandoned.store(1, std::memory_order_relaxed);
    h->recursion.store(0, std::memory_order_relaxed);
    unlock_word(h, me);
    return TRUE;
}
