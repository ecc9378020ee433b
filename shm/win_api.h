// The subset of the Windows named-object interface that the channel is written
// against: named file mappings, named mutexes (owned by a thread, recursive,
// abandoned when their owner dies), named auto-reset events, waits, and a
// per-thread last error. On Linux these are provided by shm/posix/; a Windows
// build could use the real calls instead. Nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>

using HANDLE = void *;
using DWORD = std::uint32_t;
using BOOL = int;
using LPCSTR = const char *;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080u;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

inline constexpr DWORD PAGE_READWRITE = 0x04u;
inline constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001Fu;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001u;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003u;

// Last-error causes the channel tells apart.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_NOT_OWNER = 288;

// Any other failure carries this platform's errno value with the
// application-defined bit set, so that it can never be mistaken for one of
// the causes above (errno 2, 5 and 6 would be); map_error decodes it.
inline constexpr DWORD ERROR_ERRNO_BIT = 0x20000000u;
constexpr DWORD error_from_errno(int e) { return ERROR_ERRNO_BIT | static_cast<DWORD>(e & 0xFFFF); }

// The calling thread's last platform error as a positive errno value, traced
// at debug level as "map_error %lu -> %d".
std::int32_t map_error() noexcept;
// A WaitForSingleObject result as an errno value (0 for WAIT_OBJECT_0), traced
// at debug level as "map_lock_error %lu (%s) -> %d".
std::int32_t map_lock_error(DWORD result) noexcept;

HANDLE CreateFileMappingA(HANDLE file, void *attributes, DWORD protect, DWORD size_high, DWORD size_low,
                          LPCSTR name);
HANDLE OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name);
// bytes == 0 maps the whole region. A view longer than the region fails.
void *MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low, std::size_t bytes);
BOOL UnmapViewOfFile(const void *address);
// Length in bytes of the view that MapViewOfFile returned at address, or 0
// when no view starts there (the replaced platform's VirtualQuery).
std::size_t ViewBytes(const void *address);

HANDLE CreateMutexA(void *attributes, BOOL initial_owner, LPCSTR name);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);

HANDLE CreateEventA(void *attributes, BOOL manual_reset, BOOL initial_state, LPCSTR name);
HANDLE OpenEventA(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL CloseHandle(HANDLE object);
// Not of the replaced platform: whether the object's name still names it.
// Names can go behind our back (the user's object folder removed at logout,
// say) while the objects live on for their holders, unreachable for anybody
// else.
BOOL HandleStillNamed(HANDLE object);
// Not of the replaced platform: takes a lock on the object that only one
// handle can hold at a time, for as long as this handle stays open; the
// kernel lets it go when the handle is closed or its process ends, however
// it ends. FALSE with the last error set when it cannot be had (EAGAIN: held
// through another handle).
BOOL HoldExclusive(HANDLE object);

// Not of the replaced platform: waits through this handle never judge from
// the mutex's word whether its owner lives (a peer may have written any id
// there); they sleep until a release, the wait's end, or
// AbandonForeignOwner. For mutexes whose every outside owner's death the
// caller learns from the kernel by other means.
BOOL LeaveOwnerDeathToCaller(HANDLE mutex);
// Not of the replaced platform: the caller knows that every process but
// this one that could own the mutex has ended. An owner the word names that
// is no thread of this process loses the mutex as abandoned: exactly one
// next taker gets WAIT_ABANDONED. TRUE when such an owner was found.
BOOL AbandonForeignOwner(HANDLE mutex);

// Not of the replaced platform: the process that held the object called
// name has died (the caller learnt it from the kernel). Removes the names
// of every object that nobody holds any more, looking again for a moment
// while that one is still held by the dying process; nobody else would,
// until the next object is made. TRUE once name has gone.
BOOL SweepAfterDeath(LPCSTR name);

// Not of the replaced platform: a hold of a mutex that begins and ends
// within one call of its caller, on one thread. The handle is looked up once
// for the take and the release, and the hold keeps no record of ownership:
// no recursion, no release by ReleaseMutex, and the thread must not end
// while it holds (a dead process's holds are for AbandonForeignOwner). The
// cheap path for a lock held across a copy.
class MutexHold {
  public:
    MutexHold() noexcept = default;
    ~MutexHold() { release(); }
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;
    // Waits as WaitForSingleObject does; with spin, where the holder may run
    // on another CPU, tries for a few microseconds before it sleeps. Held
    // after WAIT_OBJECT_0 or WAIT_ABANDONED, until release().
    DWORD take(HANDLE mutex, DWORD ms, bool spin) noexcept;
    void release() noexcept;
    bool held() const noexcept { return obj_ != nullptr; }

  private:
    void *obj_ = nullptr;
    std::uint32_t index_ = 0;
    std::uint32_t me_ = 0;
};

DWORD GetLastError();
void SetLastError(DWORD error);
