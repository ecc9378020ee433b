// The names of the block's named objects: how this process makes them (the
// first version's patterns, or a compact base-62 form where those would be
// cut), how a name read from the block is taken apart, and how a published
// name is read at all.
#include <unistd.h>

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

namespace {

// The object name patterns are those of the channel's first version; peers
// of other builds read them.
constexpr const char *k_mutex_prefix = "Global\\SHMEM_";
constexpr const char *k_event_prefix = "Global\\SHMEM_event";

// One process-wide counter of formatted names; an atomic increment hands two
// threads that format names at the same moment distinct values.
std::atomic<std::uint32_t> entity_counter{0};

// The compact form's digits, and its mark: a decimal pid never starts with
// 'x', so the two forms never meet.
constexpr char k_digits62[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr char k_compact_mark = 'x';

char *put62(char *p, std::uint64_t v) noexcept {
    char tmp[16];
    int n = 0;
    do tmp[n++] = k_digits62[v % 62];
    while ((v /= 62) != 0);
    while (n > 0) *p++ = tmp[--n];
    return p;
}

bool is_digit62(char c) noexcept { return c != 0 && strchr(k_digits62, c) != nullptr; }

} // namespace

void format_name_for(char (&out)[32], bool event, std::uint32_t pid, std::uint32_t counter) noexcept {
    // Zero to the end: a name travels as all its 32 bytes (into the block,
    // and as a client's hello at the server's door), so what follows its
    // terminator must be the same wherever it was made.
    memset(out, 0, sizeof out);
    const char *prefix = event ? k_event_prefix : k_mutex_prefix;
    const int n = snprintf(out, sizeof out, "%s%u_%d_%u", prefix, pid, 0, counter);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof out) return;
    // The pattern would be cut (a seven-digit pid and a counter past 999 no
    // longer fit an event's name): the same pid and counter in base 62,
    // marked, which always fits (pids below 62^4, 32-bit counters). The
    // cut pattern goes first, so that none of it follows the name.
    memset(out, 0, sizeof out);
    char *p = out + strlen(prefix);
    memcpy(out, prefix, strlen(prefix));
    *p++ = k_compact_mark;
    p = put62(p, pid);
    *p++ = '_';
    p = put62(p, counter);
    *p = 0;
}

void format_name(char (&out)[32], bool event) noexcept {
    format_name_for(out, event, static_cast<std::uint32_t>(getpid()),
                    entity_counter.fetch_add(1, std::memory_order_relaxed));
}

void *create_named(char (&name)[32], bool event, bool owned) noexcept {
    for (int attempt = 0; attempt < 16; ++attempt) {
        format_name(name, event);
        HANDLE h = event ? CreateEventA(nullptr, FALSE, FALSE, name) : CreateMutexA(nullptr, owned ? TRUE : FALSE, name);
        if (!h || GetLastError() != ERROR_ALREADY_EXISTS) return h;
        if (!CloseHandle(h)) map_error();
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return nullptr;
}

bool published_name(shm_named_handle &h, char (&out)[32]) noexcept {
    // The first byte is published last (release) by the attaching client.
    const char first = std::atomic_ref<char>(h.name[0]).load(std::memory_order_acquire);
    if (first == 0) return false;
    out[0] = first;
    for (std::size_t i = 1; i < sizeof out; ++i) out[i] = std::atomic_ref<char>(h.name[i]).load(std::memory_order_relaxed);
    return name_terminated(out);
}

namespace {

// Reads a mutex's name as format_name_for writes it: the prefix, then three
// decimal numbers joined by underscores (pid, 0, counter), or the compact
// form's mark and two base-62 numbers (pid, counter); nothing else. Returns
// how many numbers it read into nums, 0 for any other shape.
int read_mutex_name(const char (&name)[32], std::uint64_t (&nums)[3]) noexcept {
    const std::size_t plen = strlen(k_mutex_prefix);
    if (strnlen(name, sizeof name) == sizeof name || strncmp(name, k_mutex_prefix, plen) != 0) return 0;
    const char *p = name + plen;
    const bool compact = *p == k_compact_mark;
    if (compact) ++p;
    const int parts = compact ? 2 : 3;
    for (int part = 0; part < parts; ++part) {
        if (part > 0 && *p++ != '_') return 0;
        const char *digits = p;
        std::uint64_t v = 0; // at most ten digits: no overflow in either base
        while ((compact ? is_digit62(*p) : (*p >= '0' && *p <= '9')) && p - digits < 10) {
            v = v * (compact ? 62 : 10) + static_cast<std::uint64_t>(compact ? strchr(k_digits62, *p) - k_digits62 : *p - '0');
            ++p;
        }
        if (p == digits) return 0;
        nums[part] = v;
    }
    return *p == 0 ? parts : 0;
}

} // namespace

bool hup_name_shape(const char (&name)[32]) noexcept {
    std::uint64_t nums[3];
    return read_mutex_name(name, nums) != 0;
}

bool hup_name_pid(const char (&name)[32], std::uint32_t &pid) noexcept {
    std::uint64_t nums[3];
    if (read_mutex_name(name, nums) == 0 || nums[0] == 0 || nums[0] > INT32_MAX) return false;
    pid = static_cast<std::uint32_t>(nums[0]);
    return true;
}

} // namespace vexa::block
