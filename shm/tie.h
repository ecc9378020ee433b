// Ties: how each side of a link learns, from the kernel, that the other
// side's process has gone. Nothing a peer writes into the shared block takes
// part in that decision, and nothing polls.
//
// A server's bind opens a door: a listening socket in the user's private
// object folder, named after the bind's hang-up name. A client that attaches
// joins the door with a connection of its own and introduces itself with its
// hang-up name; the server's listener admits the connection that carries the
// name of the client it watches. From then on each side holds one end, and a
// wait on it wakes when the other end's process ends, at once and however it
// ends, also across PID namespaces: the kernel closes a dead process's
// sockets. A side that leaves in order says bye first, so an end without a
// bye is a death. Every descriptor made here is closed in a forked child: a
// child that kept one would keep its dead parent's tie alive.
//
// Results are a descriptor or 0 on success, a negated errno value on failure.
#pragma once

#include <cstdint>

namespace vexa::tie {

// The file a door is bound to (a socket's descriptor does not tell it).
struct DoorFile {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
};
// The server's door for the clients of one bind.
int open_door(const char (&name)[32], DoorFile &file) noexcept;
// Closes the door and removes its name, if the name still leads to it.
void close_door(int fd, const DoorFile &file, const char (&name)[32]) noexcept;
// Whether name still leads to the door's file (cleanup tools can remove it).
bool door_named(const DoorFile &file, const char (&name)[32]) noexcept;
// Tells clients that wait for the port (wait_for_doors) to look again.
void touch_door(const char (&name)[32]) noexcept;

// The client's end: joins the door called door, introducing itself by hello.
int join(const char (&door)[32], const char (&hello)[32]) noexcept;
// The next connection waiting at the door and the name it introduced itself
// with (empty when it said nothing within a moment, or not a name; with
// deadline_ns 0, when it has said nothing yet). -EAGAIN when none waits;
// -EINTR when wake was signalled; -ETIMEDOUT when none came before
// deadline_ns (CLOCK_MONOTONIC; 0: do not wait).
int admit_next(int door, int wake, std::int64_t deadline_ns, char (&hello)[32]) noexcept;

// What a connection's first message says, without waiting.
enum class Hello { named, later, none };
Hello read_hello(int fd, char (&hello)[32]) noexcept;
// Whether the peer's end of a connection has closed (does not wait).
bool peer_closed(int fd) noexcept;

enum class End {
    bye,    // the peer said bye: it left in order
    gone,   // the peer's end closed without a bye: its process died, or it let go without leaving
    woken,  // our own side asked the waiter to stop
    failed, // the wait itself failed (error says why): says nothing of the peer
};
// Waits, without a timeout, until the peer's end says bye or closes, or wake
// is signalled.
End watch(int fd, int wake, int &error) noexcept;
// Whether the peer has said bye already (does not wait).
bool said_bye(int fd) noexcept;
void say_bye(int fd) noexcept;
// Closes a tie or a copy of a door made by dup.
void close_tie(int fd) noexcept;
int dup(int fd) noexcept;

// A wake-up descriptor: signalled once, it stays signalled.
int make_wake() noexcept;
void signal_wake(int fd) noexcept;

// A client that waits for a server. While one lives, the process watches
// the user's object folder and counts the doors opened or touched there
// (the kernel tells; nothing polls). Read events() before a look at the
// port, then wait() until it changes, the timeout passes, or interrupted()
// is true (poke_waiters wakes waiters to look at it). events() is -1 when no
// watch could be set up: wait() then returns at once.
class DoorWaiter {
  public:
    DoorWaiter() noexcept;
    ~DoorWaiter();
    DoorWaiter(const DoorWaiter &) = delete;
    DoorWaiter &operator=(const DoorWaiter &) = delete;
    std::int64_t events() const noexcept;
    void wait(std::int64_t seen, std::int64_t timeout_ns, bool (*interrupted)(void *), void *arg) const noexcept;
};
void poke_waiters() noexcept;

} // namespace vexa::tie
