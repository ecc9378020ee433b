// Named shared regions and their views.
//
// A region's bytes follow its object file's header page, so a view maps from
// file offset k_header_bytes and the caller's block starts at the view's
// first byte. A view is a holder of its own, as on the replaced platform: it
// keeps the region alive after the handle is closed. It does so through a
// duplicate of the handle's descriptor (the shared lock belongs to the open
// file description and lasts while any descriptor of it is open), recorded
// with the view so that unmapping needs only the address. The memory itself
// is mapped through another, lock-free description, so that the holder lock
// goes exactly when that duplicate is closed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <new>

#include "shm/posix/posix_internal.h"

using namespace vexa::posix;

namespace {

struct View {
    std::size_t bytes = 0;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    char path[k_path_max] = {};
};

pthread_mutex_t g_views_lock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::uintptr_t, View> *g_views = nullptr; // created with the first view, never freed

} // namespace

void vexa::posix::views_fork_child() noexcept {
    // The views themselves were not inherited (MADV_DONTFORK): a child of
    // this process holds no views, as a new process would not.
    if (g_views) {
        for (auto &entry : *g_views)
            if (entry.second.fd >= 0) close(entry.second.fd);
        g_views->clear();
    }
}

void vexa::posix::views_close_at_exit() noexcept {
    pthread_mutex_lock(&g_views_lock);
    if (g_views)
        for (auto &entry : *g_views) {
            if (entry.second.fd >= 0) close(entry.second.fd);
            entry.second.fd = -1;
        }
    pthread_mutex_unlock(&g_views_lock);
}

void vexa::posix::views_release_at_exit() noexcept {
    pthread_mutex_lock(&g_views_lock);
    if (g_views)
        for (auto &entry : *g_views)
            if (entry.second.path[0]) release_name(entry.second.path, entry.second.dev, entry.second.ino, false);
    pthread_mutex_unlock(&g_views_lock);
}

HANDLE CreateFileMappingA(HANDLE file, void *, DWORD protect, DWORD size_high, DWORD size_low, LPCSTR name) {
    // Only regions backed by the system's memory are provided, as the channel
    // uses them; there are no file handles to map.
    if (file != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (protect != PAGE_READWRITE) {
        SetLastError(error_from_errno(EINVAL));
        return nullptr;
    }
    const std::uint64_t size = (std::uint64_t{size_high} << 32) | size_low;
    ForkGuard guard;
    DWORD error = ERROR_SUCCESS;
    bool existed = false;
    Object *obj = create_object(Kind::region, name, size, false, &existed, error);
    return publish_object(obj, true, existed, error);
}

HANDLE OpenFileMappingA(DWORD, BOOL, LPCSTR name) {
    ForkGuard guard;
    DWORD error = ERROR_SUCCESS;
    Object *obj = open_object(Kind::region, name, error);
    return publish_object(obj, false, false, error);
}

namespace {

// Notes a view made at addr, for UnmapViewOfFile and ViewBytes; false when
// there is no memory for the note. Inside the caller's fork guard.
bool record_view(void *addr, const View &view) {
    bool recorded = false;
    pthread_mutex_lock(&g_views_lock);
    try {
        if (!g_views) g_views = new std::map<std::uintptr_t, View>;
        recorded = g_views->emplace(reinterpret_cast<std::uintptr_t>(addr), view).second;
    } catch (const std::bad_alloc &) {
    }
    pthread_mutex_unlock(&g_views_lock);
    return recorded;
}

} // namespace

void *MapViewOfFile(HANDLE mapping, DWORD, DWORD offset_high, DWORD offset_low, std::size_t bytes) {
    HandleRef ref(mapping);
    if (!ref) return nullptr;
    if (ref->kind != Kind::region) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::uint64_t size = ref->region_size;
    const std::uint64_t offset = (std::uint64_t{offset_high} << 32) | offset_low;
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    if (offset >= size || offset % page != 0) {
        SetLastError(error_from_errno(EINVAL));
        return nullptr;
    }
    if (bytes == 0) bytes = static_cast<std::size_t>(size - offset);
    // Never map past the end of the object: touching such pages would raise
    // SIGBUS in whichever process used them.
    if (bytes > size - offset) {
        SetLastError(error_from_errno(EINVAL));
        return nullptr;
    }

    ForkGuard guard;
    View view;
    view.bytes = bytes;
    view.dev = ref->dev;
    view.ino = ref->ino;
    memcpy(view.path, ref->path, sizeof view.path);
    view.fd = fcntl(ref->fd.load(std::memory_order_relaxed), F_DUPFD_CLOEXEC, 0);
    if (view.fd < 0) {
        SetLastError(error_from_errno(errno));
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    void *addr = map_unlocked(view.fd, bytes, k_header_bytes + offset, error);
    if (!addr) {
        SetLastError(error);
        close(view.fd);
        return nullptr;
    }
    if (!record_view(addr, view)) {
        munmap(addr, bytes);
        close(view.fd);
        SetLastError(error_from_errno(ENOMEM));
        return nullptr;
    }
    return addr;
}

std::size_t ViewBytes(const void *address) {
    ForkGuard guard; // the views lock is only ever taken inside the guard
    std::size_t bytes = 0;
    pthread_mutex_lock(&g_views_lock);
    if (g_views)
        if (auto it = g_views->find(reinterpret_cast<std::uintptr_t>(address)); it != g_views->end())
            bytes = it->second.bytes;
    pthread_mutex_unlock(&g_views_lock);
    return bytes;
}

BOOL UnmapViewOfFile(const void *address) {
    ForkGuard guard;
    View view;
    bool found = false;
    pthread_mutex_lock(&g_views_lock);
    if (g_views) {
        if (auto it = g_views->find(reinterpret_cast<std::uintptr_t>(address)); it != g_views->end()) {
            view = it->second;
            g_views->erase(it);
            found = true;
        }
    }
    pthread_mutex_unlock(&g_views_lock);
    if (!found) {
        SetLastError(error_from_errno(EINVAL));
        return FALSE;
    }
    munmap(const_cast<void *>(address), view.bytes);
    if (view.fd >= 0) close(view.fd); // else closed at exit already
    if (view.path[0]) release_name(view.path, view.dev, view.ino, false);
    return TRUE;
}
