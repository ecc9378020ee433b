// A look at a region from outside, for the observer tool: a copy of the
// first bytes of the region, its size, and whether anybody holds it.
//
// The rules that keep the look harmless:
//  - No lock of any kind is taken. A holder is one with a shared flock; a
//    last-holder check probes for an exclusive one. Any lock of ours, even
//    for a moment, could make that check fail and leave a dead name behind.
//  - Nothing is created or changed: the directory is opened, never made,
//    and the file is opened read-only and read with pread, so the region's
//    bytes are copied, never mapped, and nothing stays open.
//  - Everything read is untrusted: the file may be anything, and its
//    contents may change while they are read. Only the header page is
//    checked here; the caller checks the copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "shm/posix/posix_internal.h"

namespace vexa::posix {

namespace {

// The leading fields of Header that a reader needs, at their offsets there.
struct HeaderStart {
    char magic[8];
    std::uint32_t version;
    Kind kind;
    std::uint64_t region_size;
};
static_assert(offsetof(Header, magic) == offsetof(HeaderStart, magic));
static_assert(offsetof(Header, version) == offsetof(HeaderStart, version));
static_assert(offsetof(Header, kind) == offsetof(HeaderStart, kind));
static_assert(offsetof(Header, region_size) == offsetof(HeaderStart, region_size));

// Whether /proc/locks shows a held flock on (dev, ino): 1, 0, or -1 when it
// cannot be read. Waiters ("->" lines) hold nothing yet and do not count.
int flock_held(dev_t dev, ino_t ino) noexcept {
    FILE *f = fopen("/proc/locks", "re");
    if (!f) return -1;
    char line[256];
    int held = 0;
    while (held == 0 && fgets(line, sizeof line, f)) {
        char type[16], id[64];
        long pid = 0;
        unsigned maj = 0, min = 0;
        std::uintmax_t inode = 0;
        // "1: FLOCK  ADVISORY  READ 8217 00:1b:4675948 0 EOF"
        if (sscanf(line, "%*[^:]: %15s %*s %*s %ld %63s", type, &pid, id) != 3 || strcmp(type, "FLOCK") != 0)
            continue;
        if (sscanf(id, "%x:%x:%ju", &maj, &min, &inode) == 3 && maj == major(dev) && min == minor(dev) &&
            inode == static_cast<std::uintmax_t>(ino))
            held = 1;
    }
    fclose(f);
    return held;
}

void refuse(RegionPeek &peek, Peek found, const char *why, int error = 0) noexcept {
    peek.found = found;
    peek.why = why;
    peek.error = error;
}

// Opens the object file at path read-only, from this user's private object
// directory, without following a link and without creating anything: the
// descriptor, or -1 with what was found in peek.
int open_for_peek(const char *path, RegionPeek &peek) noexcept {
    char dir[64];
    snprintf(dir, sizeof dir, "%s/vexa.%u", k_shm_root, static_cast<unsigned>(geteuid()));
    const int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (dfd < 0) {
        if (errno == ENOENT) refuse(peek, Peek::absent, "");
        else refuse(peek, errno == ELOOP || errno == ENOTDIR || errno == EACCES ? Peek::refused : Peek::failed,
                    "object directory", errno);
        return -1;
    }
    struct stat st {};
    if (fstat(dfd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
        close(dfd);
        refuse(peek, Peek::refused, "object directory is not private (owner or mode)");
        return -1;
    }
    const int fd = openat(dfd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int open_errno = errno;
    close(dfd);
    if (fd >= 0) return fd;
    if (open_errno == ENOENT) refuse(peek, Peek::absent, "");
    else refuse(peek, open_errno == ELOOP ? Peek::refused : Peek::failed, open_errno == ELOOP ? "a symbolic link" : "open",
                open_errno);
    return -1;
}

} // namespace

void peek_region(const char *name, void *out, std::size_t bytes, RegionPeek &peek) noexcept {
    peek = RegionPeek{};
    char path[k_path_max];
    DWORD error = 0;
    if (!name || !*name || !object_path(name, path, error)) return refuse(peek, Peek::failed, "name", ENAMETOOLONG);

    const int fd = open_for_peek(path, peek);
    if (fd < 0) return;

    struct stat st {};
    HeaderStart hdr{};
    ssize_t got = -1;
    bool ok = fstat(fd, &st) == 0;
    const int stat_errno = errno;
    if (ok && (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
        close(fd);
        return refuse(peek, Peek::refused, "not a regular file of ours");
    }
    if (ok) got = pread(fd, &hdr, sizeof hdr, 0);
    const int read_errno = errno;
    const std::uint64_t file_size = ok ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::uint64_t body = file_size > k_header_bytes ? file_size - k_header_bytes : 0;
    ssize_t copied = 0;
    if (ok && got == static_cast<ssize_t>(sizeof hdr) && hdr.region_size <= body) {
        const std::size_t want = hdr.region_size < bytes ? static_cast<std::size_t>(hdr.region_size) : bytes;
        copied = pread(fd, out, want, static_cast<off_t>(k_header_bytes));
    }
    const int copy_errno = errno;
    close(fd);

    if (!ok) return refuse(peek, Peek::failed, "fstat", stat_errno);
    if (got < 0) return refuse(peek, Peek::failed, "read", read_errno);
    peek.file_size = file_size;
    if (file_size < k_header_bytes || got != static_cast<ssize_t>(sizeof hdr))
        return refuse(peek, Peek::not_region, "shorter than a header page");
    if (memcmp(hdr.magic, k_magic, sizeof k_magic) != 0) return refuse(peek, Peek::not_region, "bad object magic");
    if (hdr.version != k_version) return refuse(peek, Peek::not_region, "another object version");
    if (hdr.kind != Kind::region) return refuse(peek, Peek::not_region, "a mutex or event, not a region");
    peek.region_size = hdr.region_size;
    if (hdr.region_size > body) return refuse(peek, Peek::not_region, "region size larger than the file");
    if (copied < 0) return refuse(peek, Peek::failed, "read", copy_errno);
    peek.copied = static_cast<std::size_t>(copied);
    peek.held = flock_held(st.st_dev, st.st_ino);
    peek.found = Peek::region;
}

} // namespace vexa::posix
