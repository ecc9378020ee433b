// Named mutexes, named auto-reset events and waits on them.
//
// A mutex is a robust, process-shared, recursive, priority-inheriting pthread
// mutex in the object's header page: the kernel marks it when its owner
// thread ends (thread exit or process death), and the next waiter anywhere
// gets WAIT_ABANDONED with ownership, after which the mutex is made
// consistent and works normally.
//
// An event is a word in the header page (1 = signalled) with a count of
// waiters, waited on with a shared futex. SetEvent sets the word and wakes
// one waiter if any is announced; a waiter takes the signal by turning the
// word from 1 back to 0, so every signal is consumed exactly once, and a
// signal with nobody waiting stays until the next wait.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "shm/posix/posix_internal.h"

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

// The kernel's id of the calling thread, asked once per thread (and again
// in a forked child, whose thread has a new id).
thread_local pid_t t_thread_id = 0;

pid_t this_thread_id() {
    if (t_thread_id == 0) t_thread_id = gettid();
    return t_thread_id;
}

// Cleared when the C library refuses a monotonic deadline for a
// priority-inheriting mutex; waits then use a wall-clock deadline.
std::atomic<bool> g_clocklock_ok{true};

#if defined(__SANITIZE_THREAD__)
#define VEXA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXA_TSAN 1
#endif
#endif

int lock_mutex(pthread_mutex_t *m, DWORD ms) {
    if (ms == INFINITE) return pthread_mutex_lock(m);
    if (ms == 0) return pthread_mutex_trylock(m);
#ifdef VEXA_TSAN
    // ThreadSanitizer does not see pthread_mutex_clocklock, nor an
    // abandonment reported by timedlock, and would then misjudge every later
    // unlock. Under it a timed wait polls trylock, which it follows fully;
    // only timed waits lose their place in the queue, and the channel waits
    // on mutexes without a time-out.
    const timespec until = deadline_after(CLOCK_MONOTONIC, ms);
    for (;;) {
        const int rc = pthread_mutex_trylock(m);
        if (rc != EBUSY) return rc;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec))
            return ETIMEDOUT;
        const timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
    }
#else
    if (g_clocklock_ok.load(std::memory_order_relaxed)) {
        const timespec until = deadline_after(CLOCK_MONOTONIC, ms);
        const int rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &until);
        if (rc != EINVAL) return rc;
        g_clocklock_ok.store(false, std::memory_order_relaxed);
    }
    const timespec until = deadline_after(CLOCK_REALTIME, ms);
    return pthread_mutex_timedlock(m, &until);
#endif
}

DWORD wait_mutex(Object *obj, DWORD ms) {
    pthread_mutex_t *m = &obj->hdr->mutex;
    switch (const int rc = lock_mutex(m, ms)) {
    case 0:
        obj->owned.fetch_add(1, std::memory_order_relaxed);
        return WAIT_OBJECT_0;
    case EOWNERDEAD:
        pthread_mutex_consistent(m);
        // The dead owner's recursion is gone with it: this is now the one
        // ownership, also if the dead owner was a thread of this process.
        obj->owned.store(1, std::memory_order_relaxed);
        obj->abandoned_at.store(monotonic_ns(), std::memory_order_relaxed);
        return WAIT_ABANDONED;
    case ETIMEDOUT:
    case EBUSY:
        return WAIT_TIMEOUT;
    default:
        SetLastError(error_from_errno(rc));
        return WAIT_FAILED;
    }
}

long futex(std::atomic<std::uint32_t> *word, int op, std::uint32_t val, const timespec *timeout,
           std::uint32_t bitset) {
    // Shared futexes (no FUTEX_PRIVATE_FLAG): the word lives in a mapping
    // that other processes reach through mappings of their own.
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(word), op, val, timeout, nullptr, bitset);
}

bool take_signal(Header *h) {
    std::uint32_t one = 1;
    return h->state.compare_exchange_strong(one, 0, std::memory_order_acq_rel, std::memory_order_relaxed);
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

void vexa::posix::forget_thread_id() noexcept { t_thread_id = 0; }

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
    pthread_mutex_t *m = &ref->hdr->mutex;
    // A priority-inheriting mutex's futex word holds its owner's thread id
    // (the kernel's protocol; glibc keeps that word in __lock). Asking it
    // first answers a release by a non-owner without touching the mutex.
    const auto word = std::atomic_ref<int>(m->__data.__lock).load(std::memory_order_relaxed);
    if ((static_cast<unsigned>(word) & FUTEX_TID_MASK) != static_cast<unsigned>(this_thread_id())) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    const int rc = pthread_mutex_unlock(m);
    if (rc == 0) {
        ref->owned.fetch_sub(1, std::memory_order_relaxed);
        return TRUE;
    }
    SetLastError(rc == EPERM ? ERROR_NOT_OWNER : error_from_errno(rc));
    return FALSE;
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
    h->state.exchange(1, std::memory_order_seq_cst);
    if (h->waiters.load(std::memory_order_seq_cst) != 0) futex(&h->state, FUTEX_WAKE, 1, nullptr, 0);
    return TRUE;
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
