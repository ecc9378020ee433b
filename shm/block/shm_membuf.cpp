// The exported operations of the shared block: thin wrappers that check
// their arguments, find the block's link once, and convert the internal
// results (0, a count, or a negated errno value) to the documented ones.
// The layout's offsets are asserted here: they are a wire format between
// two processes.
#include <cerrno>

#include "shm/block/membuf_internal.h"
#include "vexa-port/shm_impl.h"

static_assert(sizeof(shm_named_handle) == 48);
static_assert(offsetof(shm_named_handle, creator_handle) == 0);
static_assert(offsetof(shm_named_handle, opener_handle) == 8);
static_assert(offsetof(shm_named_handle, name) == 16);
static_assert(sizeof(shm_ringbuf) == 192);
static_assert(offsetof(shm_ringbuf, pbuf) == 0);
static_assert(offsetof(shm_ringbuf, head) == 8);
static_assert(offsetof(shm_ringbuf, tail) == 16);
static_assert(offsetof(shm_ringbuf, end) == 24);
static_assert(offsetof(shm_ringbuf, has_data) == 32);
static_assert(offsetof(shm_ringbuf, lock) == 40);
static_assert(offsetof(shm_ringbuf, req) == 88);
static_assert(offsetof(shm_ringbuf, event) == 136);
static_assert(offsetof(shm_ringbuf, waiting) == 184);
static_assert(offsetof(shm_ringbuf, writer_proto) == 185);
static_assert(offsetof(shm_ringbuf, reader_proto) == 186);
static_assert(offsetof(shm_ringbuf, writing) == 187);
static_assert(offsetof(shm_ringbuf, drops) == 188);
static_assert(sizeof(shm_membuf) == shm_membuf_size);
static_assert(offsetof(shm_membuf, flags) == 0);
static_assert(offsetof(shm_membuf, magic) == 4);
static_assert(offsetof(shm_membuf, size) == 8);
static_assert(offsetof(shm_membuf, srv_hup) == 16);
static_assert(offsetof(shm_membuf, cli_hup) == 64);
static_assert(offsetof(shm_membuf, rb) == 112);
static_assert(offsetof(shm_membuf, rb[1]) == 304);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

namespace block = vexa::block;

namespace {

std::int64_t write_ring(shm_membuf *mb, std::uint64_t idx, const void *buf, std::uint64_t len) {
    const block::LinkRef l = block::find(mb);
    return l ? block::ring_write(*l, idx, buf, len) : -EINVAL;
}

std::int64_t read_ring(shm_membuf *mb, std::uint64_t idx, void *buf, std::uint64_t len) {
    const block::LinkRef l = block::find(mb);
    return l ? block::ring_read(*l, idx, buf, len) : -EINVAL;
}

std::size_t waiting_bytes(shm_membuf *mb, int idx) {
    if (!mb) return 0;
    const block::LinkRef l = block::find(mb);
    return l ? block::has_data(*l, idx) : 0;
}

// The exported waits return a positive errno value, and -1 for a ring that
// has a sleeper already.
std::int32_t wait_side(shm_membuf *mb, int side) {
    if (!mb) return -EINVAL;
    const block::LinkRef l = block::find(mb);
    if (!l) return EINVAL;
    const std::int32_t r = block::side_wait(*l, side == block::k_srv ? 1 : 0, nullptr, nullptr);
    return r == block::k_has_sleeper ? -1 : -r;
}

std::int32_t notify_side(shm_membuf *mb, int side) {
    if (!mb) return -EINVAL;
    const block::LinkRef l = block::find(mb);
    return l && block::notify_own(*l, side) ? 0 : -1;
}

} // namespace

std::int64_t shm_ringbuf_write(shm_membuf *mb, std::uint64_t idx, const void *src, std::uint64_t len) {
    return write_ring(mb, idx, src, len);
}

std::int64_t shm_ringbuf_read(shm_membuf *mb, std::uint64_t idx, void *dst, std::uint64_t len) {
    return read_ring(mb, idx, dst, len);
}

extern "C" {

VEXA_API std::int32_t shm_membuf_map(void *fd, size_t size, shm_membuf **mb) {
    if (!mb || fd == shmt_invalid_fd()) return -EINVAL;
    if (size <= shm_membuf_size + 1) return SHM_E_BAD_SIZE;
    void *view = nullptr;
    const std::int32_t r = shmt_map(fd, size, &view);
    *mb = static_cast<shm_membuf *>(view);
    return r;
}

VEXA_API std::int32_t shm_membuf_bind(shm_membuf *mb, size_t size) {
    return mb ? block::bind(mb, size, nullptr) : -EINVAL;
}

VEXA_API std::int32_t shm_membuf_unbind(shm_membuf *mb) { return mb ? block::unbind(mb) : -EINVAL; }

VEXA_API std::int32_t shm_membuf_connect(shm_membuf *mb, size_t size) {
    if (!mb) return -EINVAL;
    block::Link *l = nullptr;
    const std::int32_t r = block::connect(mb, size, &l);
    // The server learns of the attach at once, not at the end of its sleep
    // (an endpoint wakes it itself, once its host has taken the link).
    if (r == 0 && l) block::wake_if_waiting(*l, 1, block::k_cli);
    return r;
}

VEXA_API std::int32_t shm_membuf_disconnect(shm_membuf *mb) { return mb ? block::disconnect(mb) : -EINVAL; }

VEXA_API std::int32_t shm_membuf_disconnect_cb(shm_membuf *mb) {
    return mb ? block::close_client_hup(mb) : -EINVAL;
}

VEXA_API ssize_t shm_srv_write(shm_membuf *mb, const void *buf, size_t len) {
    return mb && buf ? write_ring(mb, 0, buf, len) : -EINVAL;
}

VEXA_API ssize_t shm_cli_write(shm_membuf *mb, const void *buf, size_t len) {
    return mb && buf ? write_ring(mb, 1, buf, len) : -EINVAL;
}

VEXA_API ssize_t shm_srv_read(shm_membuf *mb, void *buf, size_t len) {
    return mb && buf ? read_ring(mb, 1, buf, len) : -EINVAL;
}

VEXA_API ssize_t shm_cli_read(shm_membuf *mb, void *buf, size_t len) {
    return mb && buf ? read_ring(mb, 0, buf, len) : -EINVAL;
}

VEXA_API std::int64_t shm_ringbuf_release_space(shm_membuf *mb, std::uint64_t idx, std::uint64_t n) {
    if (!mb || idx > 1) return -EINVAL;
    const block::LinkRef l = block::find(mb);
    return l ? block::ring_release_space(*l, idx, n) : -EINVAL;
}

VEXA_API ssize_t shm_srv_release_space(shm_membuf *mb, size_t n) { return shm_ringbuf_release_space(mb, 0, n); }

VEXA_API ssize_t shm_cli_release_space(shm_membuf *mb, size_t n) { return shm_ringbuf_release_space(mb, 1, n); }

VEXA_API size_t shm_srv_has_data(shm_membuf *mb) { return waiting_bytes(mb, 1); }

VEXA_API size_t shm_cli_has_data(shm_membuf *mb) { return waiting_bytes(mb, 0); }

VEXA_API std::int32_t shm_membuf_is_connected(shm_membuf *mb) {
    return mb ? static_cast<std::int32_t>(block::flags(mb) & SHM_CONNECTED) : -EINVAL;
}

VEXA_API std::int32_t shm_membuf_is_ready(shm_membuf *mb) {
    return mb ? static_cast<std::int32_t>(block::flags(mb) & SHM_READY) : -EINVAL;
}

VEXA_API std::int32_t shm_srv_wait(shm_membuf *mb) { return wait_side(mb, block::k_srv); }

VEXA_API std::int32_t shm_cli_wait(shm_membuf *mb) { return wait_side(mb, block::k_cli); }

VEXA_API std::int32_t shm_srv_notify(shm_membuf *mb) { return notify_side(mb, block::k_srv); }

VEXA_API std::int32_t shm_cli_notify(shm_membuf *mb) { return notify_side(mb, block::k_cli); }

} // extern "C"
