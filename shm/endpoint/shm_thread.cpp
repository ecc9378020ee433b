// Thread objects: one per endpoint thread and per hang-up listener, each laid
// out for its kind, and the hand-shake by which a thread gives its owner a
// notice that can be neither lost nor taken twice. Relies on pthread mutexes
// and condition variables, and on the configuration copies of shm_types.
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "shm/endpoint/thread_internal.h"
#include "shm/log_internal.h"
#include "shm/tie.h"
#include "shm/timing.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"

shm_thread::~shm_thread() {
    // An object freed while still admitted (destroyed directly, say) must not
    // stay linked in the registry.
    vexa::thread::retire(this);
    if (cond_made) pthread_cond_destroy(&cond);
    if (mutex_made) pthread_mutex_destroy(&mutex);
}

namespace {

thread_local const shm_thread *t_callback_owner = nullptr;

// The one way an object goes, made in full or only in part: deleted as the
// type it was made as, which its kind tells.
void dispose(shm_thread *thr) noexcept {
    if (thr->type == SHM_HUP) delete static_cast<vexa::thread::Listener *>(thr);
    else delete static_cast<vexa::thread::Endpoint *>(thr);
}

// Makes the hand-shake and the name of a new object, or disposes of it.
template <typename T> T *finish_making(T *thr, std::int32_t *err) noexcept {
    int e = pthread_mutex_init(&thr->mutex, nullptr);
    thr->mutex_made = e == 0;
    if (e == 0) {
        e = pthread_cond_init(&thr->cond, nullptr);
        thr->cond_made = e == 0;
    }
    if (e != 0) {
        if (err) *err = -e;
        dispose(thr);
        return nullptr;
    }
    update_shm_thread_name(thr);
    shm_log_debug("created %s %p\n", thr->name, static_cast<void *>(thr));
    return thr;
}

} // namespace

namespace vexa::thread {

Endpoint::~Endpoint() {
    clear_shm_data(&data);
    if (const int fd = event_fd.load(std::memory_order_relaxed); fd >= 0) close(fd);
}

Endpoint *new_endpoint(const shm_data *data, std::int32_t type, std::int32_t *err) noexcept {
    auto *thr = new (std::nothrow) Endpoint(type);
    if (!thr) {
        if (err) *err = -ENOMEM;
        return nullptr;
    }
    const std::int32_t r = data ? copy_shm_data(data, &thr->data) : -EINVAL;
    if (r < 0) {
        if (err) *err = r;
        shm_log_error("error while copy control object data");
        dispose(thr);
        return nullptr;
    }
    return finish_making(thr, err);
}

Listener *new_listener(std::int32_t *err) noexcept {
    auto *thr = new (std::nothrow) Listener();
    if (!thr) {
        if (err) *err = -ENOMEM;
        return nullptr;
    }
    thr->wake = vexa::tie::make_wake();
    if (thr->wake < 0) {
        if (err) *err = thr->wake;
        delete thr;
        return nullptr;
    }
    return finish_making(thr, err);
}

void ask_to_leave(Listener *l) noexcept {
    if (!l) return;
    l->leaving.store(1, std::memory_order_release);
    vexa::tie::signal_wake(l->wake);
}

Listener::~Listener() { vexa::tie::close_tie(wake); }

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

void close_gate(Endpoint *t, void (*meanwhile)(Endpoint *)) noexcept {
    t->open.store(0, std::memory_order_seq_cst);
    // Calls in flight end within microseconds, or a second or two when a
    // peer holds a ring's lock; a host's open reservation or view lasts as
    // long as the host keeps it. Yield first, then sleep between looks.
    for (unsigned i = 0; t->users.load(std::memory_order_seq_cst) != 0; ++i) {
        if (meanwhile) meanwhile(t);
        if (i < vexa::timing::k_users_yields)
            sched_yield();
        else
            usleep(vexa::timing::k_users_pause_us);
    }
}
namespace {
std::mutex g_live_lock;
shm_thread *g_live = nullptr; // head of the registry

// Found by address alone: nothing of h is read unless it is in the list.
shm_thread *find_live(const shm_thread *h) noexcept {
    for (shm_thread *t = g_live; t; t = t->live_next)
        if (t == h) return t;
    return nullptr;
}
} // namespace

void admit(Endpoint *t) noexcept {
    std::lock_guard lock(g_live_lock);
    t->live_prev = nullptr;
    t->live_next = g_live;
    if (g_live) g_live->live_prev = t;
    g_live = t;
}

bool retire(const shm_thread *h, bool servers_only) noexcept {
    if (!h) return false;
    std::lock_guard lock(g_live_lock);
    shm_thread *t = find_live(h);
    if (!t || (servers_only && t->type != SHM_SRV)) return false;
    if (t->live_prev) t->live_prev->live_next = t->live_next;
    else g_live = t->live_next;
    if (t->live_next) t->live_next->live_prev = t->live_prev;
    t->live_prev = t->live_next = nullptr;
    return true;
}

bool in_callback(const shm_thread *thr) noexcept { return thr && t_callback_owner == thr; }
CallbackScope::CallbackScope(const shm_thread *thr) noexcept : saved(t_callback_owner) { t_callback_owner = thr; }
CallbackScope::~CallbackScope() { t_callback_owner = saved; }

} // namespace vexa::thread

extern "C" {

// Every kind but a listener is laid out as an endpoint and carries a copy of
// data; an unknown kind gets one too, and no operation accepts it.
VEXA_API shm_thread *create_shm_thread(const shm_data *data, std::int32_t type, std::int32_t *err) {
    if (type == SHM_HUP) return vexa::thread::new_listener(err);
    return vexa::thread::new_endpoint(data, type, err);
}

VEXA_API std::int32_t destroy_shm_thread(shm_thread *thr) {
    if (!thr) return -EINVAL;
    shm_log_debug("destroyed %s %p\n", thr->name, static_cast<void *>(thr));
    dispose(thr);
    return 0;
}

VEXA_API void update_shm_thread_name(shm_thread *thr) {
    if (!thr) return;
    const vexa::thread::Endpoint *ep = vexa::thread::endpoint_of(thr);
    const char *path = ep && ep->data.endpoint.path ? ep->data.endpoint.path : "";
    switch (thr->type) {
    case SHM_SRV: snprintf(thr->name, sizeof thr->name, "%s %s", "shm_srv", path); break;
    case SHM_CLI: snprintf(thr->name, sizeof thr->name, "%s %s", "shm_cli", path); break;
    case SHM_HUP: snprintf(thr->name, sizeof thr->name, "%s", "shm_hup_listener"); break;
    default: memset(thr->name, 0, sizeof thr->name); break;
    }
}

} // extern "C"
