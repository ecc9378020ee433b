// What an observer of the library's regions may ask without binding or
// attaching to one: a copy of a region's block taken from outside, whether it
// is a block a live link could show, the pid a hang-up name carries, and the
// count of late wake-ups. The only internal header that programs outside the
// library (vexa-port-stat, the bench) include.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexa-port/shm_membuf.h"

namespace vexa::posix {

// ---- a look from outside (shm/posix/peek.cpp)
//
// What peek_region found under a region's name. An observer must neither
// hold the object (that would keep its name alive past its last real
// holder) nor change a byte of it, so it takes no lock, creates nothing
// (not even the directory) and keeps nothing open.
enum class Peek {
    region,     // a region object: region_size, file_size, held and the copy are set
    absent,     // no such name (or no object directory at all)
    refused,    // the directory or the file is not one of ours: why says what
    not_region, // the file does not hold a region object: why says what
    failed,     // a call failed: error is its errno, why names the step
};
struct RegionPeek {
    Peek found = Peek::failed;
    int error = 0;
    const char *why = "";
    std::uint64_t region_size = 0; // bytes behind the header page, as its header says
    std::uint64_t file_size = 0;
    std::size_t copied = 0; // bytes of the region copied out
    // Whether some process holds the object, as /proc/locks shows the
    // holders' flocks: 1 yes, 0 none seen, -1 unknown (unreadable). It only
    // lists the locks of processes in the reader's PID namespace, so 0 may
    // also mean a holder in another namespace.
    int held = -1;
};
// Copies the first bytes of the region called name (at most its size) into
// out: the file is opened read-only without following a link, must be a
// regular file of our effective user id, is read with pread and closed
// before this returns. Everything found is the caller's to check; only the
// platform's own header page is checked here.
void peek_region(const char *name, void *out, std::size_t bytes, RegionPeek &peek) noexcept;

} // namespace vexa::posix

namespace vexa::block {

// Checks a copy of a block's header taken from outside, without the lock,
// against a region of region_size bytes: the magic, the size, the flag bits,
// the termination of every name, and each ring's layout and invariants (see
// docs/shared-block.md). A copy of a block not laid out yet (size and flags
// zero: a new region, or a bind under way) passes unchecked. False with
// the reason in why otherwise; a copy taken while a peer was writing can
// fail once, so a caller that reports corruption should look again first.
// (shm/block/membuf_snapshot.cpp)
bool check_snapshot(const shm_membuf &mb, std::uint64_t region_size, char *why, std::size_t why_len) noexcept;

// The creating process's id in a hang-up mutex's name as a peer formats it; false for any other shape, or
// for an id no process can have.
bool hup_name_pid(const char (&name)[32], std::uint32_t &pid) noexcept;

// Sleeps of this process that ran out their second while bytes were waiting
// in the ring they watched: each is a lost or late wake-up.
std::uint64_t late_wakeups() noexcept;

} // namespace vexa::block
