// The observer's check of a copy of a block it has not bound or attached:
// whether the header, the names and the rings' positions are what a live
// block of this library can show. The same rules as the endpoints' own
// checks (ring_fits), applied to a snapshot.
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "shm/block/membuf_internal.h"
#include "shm/log_internal.h"
#include "shm/win_api.h"
#include "vexa-port/shm_logs.h"

namespace vexa::block {

bool check_snapshot(const shm_membuf &mb, std::uint64_t region_size, char *why, std::size_t why_len) noexcept {
    static constexpr char k_no_magic[4] = {};
    const bool magic = memcmp(mb.magic, k_magic, sizeof k_magic) == 0;
    // Every name is checked first: whatever state the block claims, a
    // caller may print its names.
    const char(*const names[])[32] = {&mb.srv_hup.name,     &mb.cli_hup.name,    &mb.rb[0].lock.name,
                                      &mb.rb[0].req.name,   &mb.rb[0].event.name, &mb.rb[1].lock.name,
                                      &mb.rb[1].req.name,   &mb.rb[1].event.name};
    for (std::size_t k = 0; k < std::size(names); ++k)
        if (!name_terminated(*names[k])) {
            if (k < 2) snprintf(why, why_len, "%s name not terminated", k == 0 ? "srv_hup" : "cli_hup");
            else snprintf(why, why_len, "ring %d: an object name not terminated", k < 5 ? 0 : 1);
            return false;
        }
    // A new region reads as zero, and a bind clears the header, then lays it
    // out and stores the size and the flags last: until then there is
    // nothing to check, and nothing attaches to it.
    if (mb.size == 0 && mb.flags == 0 && (magic || memcmp(mb.magic, k_no_magic, sizeof k_no_magic) == 0)) return true;
    if (!magic) {
        snprintf(why, why_len, "bad magic");
        return false;
    }
    if (mb.size != region_size || mb.size <= shm_membuf_size + 1) {
        snprintf(why, why_len, "block size %" PRIu64 " does not match the region's %" PRIu64, mb.size, region_size);
        return false;
    }
    if (mb.flags & ~std::uint32_t{SHM_READY | SHM_CONNECTED | SHM_SRV_HUP | SHM_CLI_HUP}) {
        snprintf(why, why_len, "unknown flag bits 0x%" PRIx32, mb.flags);
        return false;
    }
    const std::uint64_t cap = (mb.size - shm_membuf_size) / 2;
    for (int i = 0; i < 2; ++i) {
        const shm_ringbuf &rb = mb.rb[i];
        if (rb.pbuf != shm_membuf_size + static_cast<std::uint64_t>(i) * cap || rb.end != cap) {
            snprintf(why, why_len, "ring %d: offset %" PRIu64 " and capacity %" PRIu64 " do not fit size %" PRIu64, i,
                     rb.pbuf, rb.end, mb.size);
            return false;
        }
        // A ring whose writer announced the split protocol may show its
        // positions mid-move: only their range is checked then.
        if (!ring_fits(rb.end, rb.head, rb.tail, rb.has_data, rb.writer_proto == SHM_RB_SPLIT)) {
            snprintf(why, why_len, "ring %d: head %" PRIu64 ", tail %" PRIu64 " and has_data %" PRIu64
                     " do not fit capacity %" PRIu64, i, rb.head, rb.tail, rb.has_data, rb.end);
            return false;
        }
    }
    return true;
}

} // namespace vexa::block
