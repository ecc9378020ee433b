// Thread objects: one per endpoint thread and per hang-up listener, carrying
// the configuration copy, the mapping of the region, and the hand-shake by
// which a thread gives its owner a notice that can be neither lost nor taken
// early.
#include <sched.h>
#include <unistd.h>

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

// Run by the object's own thread. Waits until a waiter has registered (it
// sets waiting under the mutex and then sleeps on the condition, releasing
// the mutex), then clears the flag and wakes it.
void notify(shm_thread *thr) {
    while (thr->waiting.load(std::memory_order_seq_cst) == 0) usleep(1000);
    pthread_mutex_lock(&thr->mutex);
    thr->waiting.store(0, std::memory_order_seq_cst);
    pthread_cond_signal(&thr->cond);
    pthread_mutex_unlock(&thr->mutex);
}

// Run by the thread that wants the notice. One waiter at a time: a second one
// returns at once.
void wait(shm_thread *thr) {
    if (!thr) return;
    if (thr->waiting.load(std::memory_order_seq_cst) == 1) return;
    pthread_mutex_lock(&thr->mutex);
    thr->waiting.store(1, std::memory_order_seq_cst);
    while (thr->waiting.load(std::memory_order_seq_cst) == 1) pthread_cond_wait(&thr->cond, &thr->mutex);
    pthread_mutex_unlock(&thr->mutex);
}

} // namespace

namespace vexa::thread {
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
    thr->waiting.store(0);
    thr->running.store(0);
    thr->wait_fn = wait;
    thr->notify_fn = notify;
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
