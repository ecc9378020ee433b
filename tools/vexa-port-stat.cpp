// vexa-port-stat: shows what is going on in the four ports and in any region
// named on the command line: served or not, the server's and the client's
// process ids, the flags, each ring's capacity, the bytes waiting in it and
// whether its reader sleeps, and the names of the link's objects.
//
// It only looks. The platform layer copies the region's first bytes without
// holding or locking the object (so it never keeps a dead name alive) and
// without changing a byte; this file checks the copy and prints it. The
// copy comes from processes that may be broken or hostile: nothing in it is
// used before the block layer's checks pass, a block that fails is shown as
// corrupt with the reason, and names are printed escaped.
//
// Exit status: 0 when every region could be looked at (absent ones
// included), 1 when one is corrupt, refused or unreadable, 2 for a usage
// error. --watch refreshes once a second and exits 0 on SIGINT or SIGTERM.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "port/port_names.h"
#include "shm/observer.h"
#include "vexa-port/shm_membuf.h"

namespace {

namespace posix = vexa::posix;

volatile sig_atomic_t g_stop = 0;

void on_stop(int) { g_stop = 1; }

enum class State { absent, refused, unreadable, corrupt, stale, unbound, served, not_served };

const char *state_name(State s) {
    switch (s) {
    case State::absent: return "absent";
    case State::refused: return "refused";
    case State::unreadable: return "unreadable";
    case State::corrupt: return "corrupt";
    case State::stale: return "stale";
    case State::unbound: return "unbound";
    case State::served: return "served";
    case State::not_served: return "not served";
    }
    return "?";
}

// One region as seen at one moment.
struct View {
    std::string name;
    State state = State::absent;
    std::string reason;
    posix::RegionPeek peek;
    shm_membuf mb{}; // valid for the states from stale on
    bool has_block() const { return state >= State::stale; }
};

// A writer changes head, tail and has_data one after the other, so a copy
// taken at the wrong moment can fail the ring checks while the ring is
// sound. Only a failure that persists is corruption.
constexpr int k_looks = 5;

View look(const std::string &name) {
    View v;
    v.name = name;
    for (int attempt = 0; attempt < k_looks; ++attempt) {
        v.mb = shm_membuf{};
        posix::peek_region(name.c_str(), &v.mb, sizeof v.mb, v.peek);
        switch (v.peek.found) {
        case posix::Peek::absent:
            v.state = State::absent;
            return v;
        case posix::Peek::refused:
            v.state = State::refused;
            v.reason = v.peek.why;
            return v;
        case posix::Peek::failed:
            v.state = State::unreadable;
            v.reason = std::string(v.peek.why) + ": " + strerror(v.peek.error);
            return v;
        case posix::Peek::not_region:
            v.state = State::corrupt;
            v.reason = std::string("not a region object: ") + v.peek.why;
            return v;
        case posix::Peek::region:
            break;
        }
        char why[160] = "region smaller than a block";
        if (v.peek.copied == sizeof v.mb && vexa::block::check_snapshot(v.mb, v.peek.region_size, why, sizeof why)) {
            const bool blank = v.mb.size == 0;
            v.state = v.peek.held == 0 ? State::stale
                      : blank          ? State::unbound
                      : (v.mb.flags & SHM_READY) ? State::served
                                                 : State::not_served;
            v.reason.clear();
            return v;
        }
        v.state = State::corrupt;
        v.reason = why;
        if (v.peek.copied != sizeof v.mb) return v; // a size does not change
        const timespec pause{0, 2000000};
        nanosleep(&pause, nullptr);
    }
    return v;
}

// A name from the block or the command line, printable: bytes outside
// printable ASCII as \xNN (text) or \u00NN (JSON).
std::string escaped(const char *s, bool json) {
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        char buf[8];
        if (json && (*p == '"' || *p == '\\')) {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p >= 0x20 && *p < 0x7f) {
            out += static_cast<char>(*p);
        } else {
            snprintf(buf, sizeof buf, json ? "\\u%04x" : "\\x%02x", *p);
            out += buf;
        }
    }
    return out;
}

// The pid that created a hang-up mutex: its number, "none" while the name
// is empty, "unknown" when the name has another shape.
std::string pid_text(const shm_named_handle &h, bool json) {
    std::uint32_t pid = 0;
    if (h.name[0] == 0) return json ? "null" : "none";
    if (!vexa::block::hup_name_pid(h.name, pid)) return json ? "null" : "unknown";
    return std::to_string(pid);
}

std::string flag_names(std::uint32_t flags, const char *sep, bool quoted) {
    static constexpr struct {
        std::uint32_t bit;
        const char *name;
    } k_flags[] = {{SHM_READY, "SHM_READY"}, {SHM_CONNECTED, "SHM_CONNECTED"}, {SHM_SRV_HUP, "SHM_SRV_HUP"},
                   {SHM_CLI_HUP, "SHM_CLI_HUP"}};
    std::string out;
    for (const auto &f : k_flags) {
        if (!(flags & f.bit)) continue;
        if (!out.empty()) out += sep;
        out += quoted ? std::string("\"") + f.name + "\"" : f.name;
    }
    return out;
}

void print_text(const View &v) {
    printf("%s: %s", escaped(v.name.c_str(), false).c_str(), state_name(v.state));
    if (!v.reason.empty()) printf(" (%s)", v.reason.c_str());
    if (v.state == State::stale) printf(" (no process holds the region; its last holder has gone)");
    if (v.state == State::unbound) printf(" (a new region, or a bind under way)");
    if (v.state == State::served || v.state == State::not_served || v.state == State::stale)
        printf(", %s", v.mb.flags & SHM_CONNECTED ? "client attached" : "no client");
    if (v.state == State::served && v.peek.held < 0) printf(" (holders unknown)");
    printf("\n");
    if (!v.has_block() || v.state == State::unbound) return;
    const shm_membuf &mb = v.mb;
    printf("  server pid %s, client pid %s\n", pid_text(mb.srv_hup, false).c_str(), pid_text(mb.cli_hup, false).c_str());
    const std::string flags = flag_names(mb.flags, "|", false);
    printf("  flags %s, region %" PRIu64 " bytes\n", flags.empty() ? "none" : flags.c_str(), mb.size);
    for (int i = 0; i < 2; ++i) {
        const shm_ringbuf &rb = mb.rb[i];
        printf("  ring %d, %s: capacity %" PRIu64 ", %" PRIu64 " bytes waiting, %s %s\n", i,
               i == 0 ? "server to client" : "client to server", rb.end, rb.has_data, i == 0 ? "client" : "server",
               rb.waiting ? "asleep" : "awake");
    }
    printf("  objects: srv_hup %s, cli_hup %s\n", escaped(mb.srv_hup.name, false).c_str(),
           escaped(mb.cli_hup.name, false).c_str());
    for (int i = 0; i < 2; ++i)
        printf("    ring %d: lock %s, req %s, event %s\n", i, escaped(mb.rb[i].lock.name, false).c_str(),
               escaped(mb.rb[i].req.name, false).c_str(), escaped(mb.rb[i].event.name, false).c_str());
}

std::string json_of(const View &v) {
    std::string j = "{\"name\":\"" + escaped(v.name.c_str(), true) + "\",\"state\":\"" + state_name(v.state) +
                    "\",\"served\":" + (v.state == State::served ? "true" : "false") + ",\"reason\":\"" +
                    escaped(v.reason.c_str(), true) + "\"";
    if (!v.has_block()) return j + "}";
    const shm_membuf &mb = v.mb;
    j += std::string(",\"held\":") + (v.peek.held < 0 ? "null" : v.peek.held ? "true" : "false");
    j += ",\"region_size\":" + std::to_string(v.peek.region_size);
    j += ",\"flags\":" + std::to_string(mb.flags) + ",\"flag_names\":[" + flag_names(mb.flags, ",", true) + "]";
    j += ",\"connected\":" + std::string(mb.flags & SHM_CONNECTED ? "true" : "false");
    j += ",\"server_pid\":" + pid_text(mb.srv_hup, true) + ",\"client_pid\":" + pid_text(mb.cli_hup, true);
    j += ",\"srv_hup\":\"" + escaped(mb.srv_hup.name, true) + "\",\"cli_hup\":\"" + escaped(mb.cli_hup.name, true) + "\"";
    j += ",\"rings\":[";
    for (int i = 0; i < 2; ++i) {
        const shm_ringbuf &rb = mb.rb[i];
        if (i) j += ",";
        j += "{\"capacity\":" + std::to_string(rb.end) + ",\"has_data\":" + std::to_string(rb.has_data) +
             ",\"head\":" + std::to_string(rb.head) + ",\"tail\":" + std::to_string(rb.tail) +
             ",\"waiting\":" + (rb.waiting ? "true" : "false") + ",\"lock\":\"" + escaped(rb.lock.name, true) +
             "\",\"req\":\"" + escaped(rb.req.name, true) + "\",\"event\":\"" + escaped(rb.event.name, true) + "\"}";
    }
    return j + "]}";
}

// Looks at every region once and prints what it saw; 1 when one of them
// could not be read or is corrupt, else 0.
int report(const std::vector<std::string> &names, bool json) {
    int status = 0;
    std::string doc = "{\"regions\":[";
    for (std::size_t k = 0; k < names.size(); ++k) {
        const View v = look(names[k]);
        if (v.state == State::corrupt || v.state == State::refused || v.state == State::unreadable) status = 1;
        if (json) {
            doc += (k ? "," : "") + json_of(v);
        } else {
            print_text(v);
        }
    }
    if (json) printf("%s]}\n", doc.c_str());
    fflush(stdout);
    return status;
}

void usage(FILE *to, const char *argv0) {
    fprintf(to,
            "usage: %s [--json] [--watch] [REGION_NAME...]\n"
            "Shows the four ports and every region named, without attaching to any.\n"
            "  --json   one JSON document per look\n"
            "  --watch  look again every second until interrupted\n",
            argv0);
}

} // namespace

int main(int argc, char **argv) {
    bool json = false, watch = false;
    std::vector<std::string> names(std::begin(vexa::port::k_region_names), std::end(vexa::port::k_region_names));
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--json") {
            json = true;
        } else if (options && a == "--watch") {
            watch = true;
        } else if (options && (a == "-h" || a == "--help")) {
            usage(stdout, argv[0]);
            return 0;
        } else if (options && !a.empty() && a[0] == '-') {
            fprintf(stderr, "%s: unknown option '%s'\n", argv[0], a.c_str());
            usage(stderr, argv[0]);
            return 2;
        } else if (a.empty()) {
            fprintf(stderr, "%s: an empty region name\n", argv[0]);
            return 2;
        } else {
            names.push_back(a);
        }
    }
    if (!watch) return report(names, json);

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A terminal shows the latest look in place; a pipe gets every look in
    // turn, text ones apart by an empty line.
    const bool tty = isatty(STDOUT_FILENO) == 1;
    for (bool first = true; !g_stop; first = false) {
        if (!json && tty) printf("\033[H\033[2J");
        else if (!json && !first) printf("\n");
        report(names, json);
        // An interrupted sleep ends the wait early; the loop then stops.
        const timespec second{1, 0};
        nanosleep(&second, nullptr);
    }
    return 0;
}
