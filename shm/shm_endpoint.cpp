// The delivery step and the other pieces that the server and client endpoint
// threads share.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "shm/endpoint_internal.h"
#include "shm/membuf_internal.h"
#include "vexa-port/shm_logs.h"

namespace vexa::endpoint {

Delivery deliver(thread::Endpoint *thr, shm_membuf *mb, bool server, bool (*keep_awake)(void *)) noexcept {
    const std::size_t n = server ? shm_srv_has_data(mb) : shm_cli_has_data(mb);
    if (n == 0) {
        const std::int32_t r = block::side_wait(mb, server ? 1 : 0, keep_awake, thr);
        // A wait that fails outright (its event is gone, for instance after a
        // rebind that could not complete) must not turn the loop into a spin.
        if (r != 0 && r != ETIMEDOUT && r != -1) usleep(10000);
        return Delivery::idle;
    }
    const shm_handlers &h = thr->data.handlers;
    if (h.on_data) {
        // The chunk lives on this thread's stack; nothing is allocated per read.
        std::uint8_t buf[UINT16_MAX];
        const std::size_t m = std::min<std::size_t>(thr->data.endpoint.chunk_max, n);
        const ssize_t r = server ? shm_srv_read(mb, buf, m) : shm_cli_read(mb, buf, m);
        if (r == -EPROTO) return Delivery::broken;
        if (r >= 1) {
            thread::CallbackScope scope(thr);
            h.on_data(h.user_data, thr, buf, r);
        }
        return Delivery::delivered;
    }
    if (h.on_data_ready) {
        thread::CallbackScope scope(thr);
        h.on_data_ready(h.user_data, thr, static_cast<std::int32_t>(std::min<std::size_t>(n, INT32_MAX)));
    }
    return Delivery::delivered;
}

void collect_listener(thread::Listener *&listener, bool may_orphan) noexcept {
    if (!listener) return;
    std::uint8_t expected = 0;
    if (may_orphan && listener->finished.compare_exchange_strong(expected, thread::k_listener_orphaned,
                                                                 std::memory_order_acq_rel)) {
        listener = nullptr;
        return;
    }
    thread::wait(listener);
    destroy_shm_thread(listener);
    listener = nullptr;
}

std::int32_t call_connected(thread::Endpoint *thr) noexcept {
    const shm_handlers &h = thr->data.handlers;
    if (!h.on_connected) return 0;
    thread::CallbackScope scope(thr);
    return h.on_connected(h.user_data, thr);
}

void call_disconnected(thread::Endpoint *thr) noexcept {
    const shm_handlers &h = thr->data.handlers;
    if (!h.on_disconnected) return;
    thread::CallbackScope scope(thr);
    h.on_disconnected(h.user_data, thr);
}

bool config_usable(const shm_data *data, const char *who) noexcept {
    if (data && data->handlers.on_data && data->endpoint.chunk_max == 0) {
        shm_log_error("error starting %s: on_data needs a chunk_max of at least 1\n", who);
        return false;
    }
    return true;
}

void mark_broken(thread::Endpoint *thr) noexcept { thr->broken.store(1, std::memory_order_release); }

bool take_broken(thread::Endpoint *thr) noexcept { return thr->broken.exchange(0, std::memory_order_acq_rel) != 0; }

} // namespace vexa::endpoint
