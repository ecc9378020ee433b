// The channel's error texts and the endpoint configuration records. A copied
// record owns its path text, so the caller's record may be a temporary.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "vexa-port/shm_types.h"

namespace {

constexpr const char *k_default_path = "/orvo_shm_ep";

constexpr const char *k_channel_texts[] = {
    "connect error: Shared memory is not ready", // SHM_E_NOT_READY
    "connect error: Bad magic",                  // SHM_E_BAD_MAGIC
    "connect error: Bad size",                   // SHM_E_BAD_SIZE
    "connection rejected by user",               // SHM_E_REJECTED
    "connect error: already connected",          // SHM_E_ALREADY_CONNECTED
};

} // namespace

extern "C" {

VEXA_API const char *shm_strerror(std::int32_t code) {
    if (code >= SHM_E_NOT_READY && code <= SHM_E_ALREADY_CONNECTED) return k_channel_texts[code - SHM_E_NOT_READY];
    // Negating INT32_MIN would overflow; strerror has no text for it anyway.
    const int e = code == INT32_MIN ? code : -code;
    // Known numbers have constant texts. For an unknown one the runtime
    // formats "Unknown error N" into a buffer that its next call reuses;
    // keep this layer's copy per thread instead, so the text stays valid
    // until this thread asks for another unknown one.
    const char *text = strerror(e);
    if (strncmp(text, "Unknown error", 13) != 0) return text;
    thread_local char unknown[64];
    snprintf(unknown, sizeof unknown, "%s", text);
    return unknown;
}

VEXA_API std::int32_t copy_shm_endpoint(const shm_endpoint *src, shm_endpoint *dst) {
    if (!src || !dst) return -EINVAL;
    dst->path = strdup(src->path ? src->path : k_default_path);
    if (!dst->path) return -(errno ? errno : ENOMEM);
    dst->timeout_us = src->timeout_us;
    dst->size = src->size;
    dst->chunk_max = src->chunk_max;
    return 0;
}

VEXA_API std::int32_t clear_shm_endpoint(shm_endpoint *ep) {
    if (!ep) return -EINVAL;
    free(ep->path);
    ep->path = nullptr;
    ep->timeout_us = 0;
    ep->size = 0;
    ep->chunk_max = 0;
    return 0;
}

VEXA_API std::int32_t copy_shm_handlers(const shm_handlers *src, shm_handlers *dst) {
    if (!src || !dst) return -EINVAL;
    *dst = *src;
    return 0;
}

VEXA_API std::int32_t clear_shm_handlers(shm_handlers *h) {
    if (!h) return -EINVAL;
    *h = shm_handlers{};
    return 0;
}

VEXA_API std::int32_t copy_shm_data(const shm_data *src, shm_data *dst) {
    if (!src || !dst) return -EINVAL;
    if (const std::int32_t r = copy_shm_endpoint(&src->endpoint, &dst->endpoint); r < 0) return r;
    copy_shm_handlers(&src->handlers, &dst->handlers);
    dst->option = src->option;
    return 0;
}

VEXA_API std::int32_t clear_shm_data(shm_data *data) {
    if (!data) return -EINVAL;
    clear_shm_endpoint(&data->endpoint);
    clear_shm_handlers(&data->handlers);
    data->option = 0;
    return 0;
}

} // extern "C"
