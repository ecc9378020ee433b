// Thread objects: one per endpoint thread and per hang-up listener, carrying
// the configuration copy, the mapping of the region, and the hand-shake by
// which a thread gives its owner a notice that can be neither lost nor taken
// twice.
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "shm/log_internal.h"
#include "shm/thread_internal.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"

namespace {

thread_local const shm_thread *t_callback_owner = nullptr;

} // namespace

namespace vexa::thread {

// The signal is given with the mutex held. The waiter can see the notice only
// once it has the mutex, so the unlock below is the last touch of the object:
// a waiter that frees it right after its wait returns cannot free it under a
// signal still in progress.
void notify(shm_thread *thr) noexcept {
    pthread_mutex_lock(&thr->mutex);
    ++thr->notices;
    pthread_cond_signal(&thr->cond);
    pthread_mutex_unlock(&thr->mutex);
}

// The count is looked at under the mutex, so a notice given between the look
// and the sleep cannot be missed; the loop absorbs spurious wake-ups.
void wait(shm_thread *thr) noexcept {
    pthread_mutex_lock(&thr->mutex);
    while (thr->notices == 0) pthread_cond_wait(&thr->cond, &thr->mutex);
    --thr->notices;
    pthread_mutex_unlock(&thr->mutex);
}

void close_gate(shm_thread *t) noexcept {
    t->open.store(0, std::memory_order_seq_cst);
    while (t->users.load(std::memory_order_seq_cst) != 0) sched_yield();
}
bool in_callback(const shm_thread *thr) noexcept { return thr && t_callback_owner == thr; }
CallbackScope::CallbackScope(const shm_thread *thr) noexcept : saved(t_callback_owner) { t_callback_owner = thr; }
CallbackScope::~CallbackScope() { t_callback_owner = saved; }
} // namespace vexa::thread

extern "C" {

VEXA_API shm_thread *create_shm_thread(const shm_data *data, std::int32_t type, std::int32_t *err) {
    void *mem = calloc(1, sizeof(shm_thread));
    if (!mem) {
        if (err) *err = -(errno ? errno : ENOMEM);
        return nullptr;
    }
    // calloc gives zeroed storage; placement-new makes the atomics live
    // objects with their zero values.
    auto *thr = new (mem) shm_thread{};

    if (type != SHM_HUP) {
        const std::int32_t r = data ? copy_shm_data(data, &thr->data) : -EINVAL;
        if (r < 0) {
            if (err) *err = r;
            shm_log_error("error while copy control object data");
            clear_shm_data(&thr->data);
            thr->~shm_thread();
            free(mem);
            return nullptr;
        }
    }
    thr->fd = shmt_invalid_fd();
    thr->type = type;
    if (const int e = pthread_mutex_init(&thr->mutex, nullptr)) {
        if (err) *err = -e;
        clear_shm_data(&thr->data);
        thr->~shm_thread();
        free(mem);
        return nullptr;
    }
    if (const int e = pthread_cond_init(&thr->cond, nullptr)) {
        if (err) *err = -e;
        pthread_mutex_destroy(&thr->mutex);
        clear_shm_data(&thr->data);
        thr->~shm_thread();
        free(mem);
        return nullptr;
    }
    thr->notices = 0;
    thr->running.store(0);
    update_shm_thread_name(thr);
    shm_log_debug("created %s %p\n", thr->name, static_cast<void *>(thr));
    return thr;
}

VEXA_API std::int32_t destroy_shm_thread(shm_thread *thr) {
    if (!thr) return -EINVAL;
    pthread_mutex_destroy(&thr->mutex);
    pthread_cond_destroy(&thr->cond);
    shm_log_debug("destroyed %s %p\n", thr->name, static_cast<void *>(thr));
    clear_shm_data(&thr->data);
    thr->~shm_thread();
    free(thr);
    return 0;
}

VEXA_API void update_shm_thread_name(shm_thread *thr) {
    if (!thr) return;
    const char *path = thr->data.endpoint.path ? thr->data.endpoint.path : "";
    switch (thr->type) {
    case SHM_SRV: snprintf(thr->name, sizeof thr->name, "%s %s", "shm_srv", path); break;
    case SHM_CLI: snprintf(thr->name, sizeof thr->name, "%s %s", "shm_cli", path); break;
    case SHM_HUP: snprintf(thr->name, sizeof thr->name, "%s", "shm_hup_listener"); break;
    default: memset(thr->name, 0, sizeof thr->name); break;
    }
}

} // extern "C"
