// What the three parts of vexa-port-bench share: the spawned side (side.cpp),
// the orchestrator that runs pairs of sides and collects their reports
// (orchestrate.cpp, which also holds main) and the report of the results
// (report.cpp). Private to this binary; needs only POSIX and the C++ library.
//
// Every measurement is a pair of processes: the orchestrator (which never
// opens a port and never starts a thread) spawns the binary again as
//     vexa-port-bench --side ROLE TRANSPORT SIZE COUNT SECONDS [pin-late] [hold]
// for each side and talks to it over two pipes mapped to fixed descriptors.
// A side reports one line at a time, as space-separated key=value fields.
// "hold" makes the side wait for a first go byte before it sets anything up,
// so that a counter the orchestrator attaches to it sees every thread it
// starts.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

// Descriptors a spawned side finds: its report pipe, the orchestrator's
// go/stop pipe (EOF means "finish"), and up to two data descriptors.
constexpr int k_ctl_fd = 3;
constexpr int k_go_fd = 4;
constexpr int k_data0 = 5;
constexpr int k_data1 = 6;

// The transports in the order of the table's columns; each name is also the
// TRANSPORT argument of a side and the key of its results in the JSON.
//   chan    the channel, vexa_port_send / vexa_port_recv
//   chanzc  the channel's zero-copy calls (reserve/commit, view/consume)
//   bare    a bare shared-memory byte ring (peers.cpp): the limit of the shape
//   boost   Boost.Interprocess message_queue
//   iox     iceoryx publish/subscribe (needs its RouDi daemon)
//   zmq     ZeroMQ PAIR over ipc://
//   sock    Unix stream socket pair
//   pipe    two pipes of 1 MiB
// A transport whose library was missing at build time is not built
// (transport_built); its column then shows "-".
inline constexpr const char *k_transports[] = {"chan", "chanzc", "bare", "boost", "iox", "zmq", "sock", "pipe"};
constexpr int k_ntransports = static_cast<int>(std::size(k_transports));
inline constexpr const char *k_transport_labels[] = {"channel", "chan zero-copy", "bare ring", "boost mq",
                                                     "iceoryx",  "zeromq",         "unix socket", "pipe 1 MiB"};
static_assert(std::size(k_transport_labels) == std::size(k_transports), "a label for every transport");
enum Transport { t_chan, t_chanzc, t_bare, t_boost, t_iox, t_zmq, t_sock, t_pipe };
bool transport_built(int t);
int transport_index(const std::string &name); // -1 if unknown

// What a side does. The name travels on the command line; the side parses it
// once, so its data path compares enums.
enum class Role {
    send,     // sends COUNT messages of SIZE bytes; reports its start and the sum sent
    recv,     // receives them; reports its end and the sum received
    echo,     // returns each message of SIZE bytes
    ping,     // sends a message, waits for its echo; reports the round trips
    idle,     // client of an attached pair that exchanges nothing; reports CPU and memory
              // (channel, COUNT > 0: of COUNT named links at once, CPU only)
    srv,      // its server
    wait,     // channel client whose server is missing
    victim,   // channel client that stays attached until it or its server is killed
    recovery, // channel server that reports when each client comes and goes
};
inline constexpr const char *k_role_names[] = {"send", "recv", "echo",   "ping",    "idle",
                                               "srv",  "wait", "victim", "recovery"};
static_assert(std::size(k_role_names) == static_cast<size_t>(Role::recovery) + 1, "a name for every role");
inline const char *role_name(Role r) { return k_role_names[static_cast<int>(r)]; }

inline uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// side.cpp: runs as the spawned process (argv[1] is "--side").
int side_main(int argc, char **argv);

// report.cpp: results by scenario row (in the order first added) and
// transport t, an index into k_transports. A note is printed under the table.
void add(const std::string &name, const std::string &unit, bool higher_better, int t, double v);
// The round-trip quantiles q0..q100 of a run, under "TRANSPORT SIZE"; the
// last run of each key is the one plotted.
void add_quantiles(const std::string &key, const std::vector<double> &q);
void add_note(const std::string &note);
void print_table(int reps);
// These return false, after saying why on standard error, if path cannot be
// written.
bool write_json(const std::string &path, int reps);
bool write_svg(const std::string &path);

} // namespace bench
