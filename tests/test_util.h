// Test support: unique object names, capturing standard output, and real
// child processes. A child is this same test binary re-run with a child role
// (checked in main before GoogleTest starts), talking to the parent over two
// pipes on fixed descriptors, so a test waits for events, never for time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct shm_membuf;
struct shm_thread;

namespace vt {

// A name no other test, run or process uses: "/vexa-t-<tag>-<pid>-<n>".
std::string unique_name(const char *tag);

// Everything written to standard output (descriptor 1) while alive.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Stops capturing (once) and returns what was written.
    std::string finish();

  private:
    int saved_ = -1;
    int file_ = -1;
    std::string text_;
    bool done_ = false;
};

// Child roles: int role(int argc, char **argv) with the arguments after the
// role name. The role talks to the parent through child_send / child_recv.
using ChildFn = int (*)(int argc, char **argv);
struct ChildRole {
    ChildRole(const char *name, ChildFn fn);
};
#define VT_CHILD_ROLE(name)                                                                                   \
    static int name##_child_role(int argc, char **argv);                                                     \
    static ::vt::ChildRole name##_child_registration(#name, name##_child_role);                              \
    static int name##_child_role([[maybe_unused]] int argc, [[maybe_unused]] char **argv)

// Run a registered role if argv asks for one; returns true and sets *status.
// A role named "pidns:ROLE" runs ROLE in a new PID namespace (root only; it
// says "no-pidns" and exits 77 where that cannot be had).
bool run_child_role(int argc, char **argv, int *status);

// In a child: one line to the parent, and one line from it (false on EOF or
// when the time-out runs out).
void child_send(const std::string &line);
bool child_recv(std::string &line, int timeout_ms = 30000);

class Child {
  public:
    // Spawns this binary with the role and arguments. quiet sends the child's
    // standard output to /dev/null; otherwise it is shared with the test.
    static Child spawn(const std::string &role, const std::vector<std::string> &args = {}, bool quiet = false);
    Child() = default;
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    ~Child();

    pid_t pid() const { return pid_; }
    bool send(const std::string &line);
    bool recv(std::string &line, int timeout_ms = 30000);
    // Reads lines until one equals want; false on EOF or time-out.
    bool expect(const std::string &want, int timeout_ms = 30000);
    void kill(int sig);
    // Exit status as from waitpid (raw), or -1 on time-out (the child is then
    // killed and reaped).
    int wait(int timeout_ms = 30000);

  private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string buffered_;
    void close_fds();
};

// Waits until pred() holds, polling; a safety net for conditions that have no
// event to wait on. Returns pred()'s last value.
bool wait_until(const std::function<bool()> &pred, int timeout_ms = 10000);

// Entries of this user's object directory under /dev/shm whose name contains
// text.
std::vector<std::string> shm_entries(const std::string &text);
// Creates and closes a throwaway named object; a creation sweeps away the
// objects that nobody holds any more (those of killed processes).
void touch_objects();
// Number of open descriptors of this process.
int open_fd_count();

// What one side's callbacks saw (links made and ended, bytes received), for
// a test thread to wait on. C callbacks record into it through user_data
// (on_connected and the others, for a port or an endpoint alike); C++
// callables call note.
struct LinkEvents {
    std::mutex m;
    std::condition_variable cv;
    int connected = 0;
    int disconnected = 0;
    std::string received;

    template <class Pred> bool wait(Pred pred) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), pred);
    }
    template <class Change> void note(Change change) {
        std::lock_guard<std::mutex> lock(m);
        change();
        cv.notify_all();
    }
    static std::int32_t on_connected(void *user, shm_thread *);
    static std::int32_t on_disconnected(void *user, shm_thread *);
    // Reads what waits from inside the callback, with the handle it was given.
    static std::int32_t on_data_ready(void *user, shm_thread *thr, std::int32_t count);
};

// A client process's first step: the region called name opened and mapped
// at size (its handle in *fd when asked). Null when either fails.
shm_membuf *map_region(const std::string &name, std::uint64_t size, void **fd = nullptr);

} // namespace vt
