// The transports vexa-port-bench compares the channel with, behind one small
// interface so that side.cpp runs the same roles over each: the Unix socket
// and pipes, a bare shared-memory ring, and the libraries found at build time
// (Boost.Interprocess, ZeroMQ, iceoryx). Private to the bench binary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace bench {

// One side's end of a peer transport, in both directions. All calls block
// until they can be done; a false or null result means the transport failed
// and the side reports an error. Message transports (boost, iox, zmq) carry
// each send as one message; byte streams (bare, sock, pipe) may hand it over
// in pieces, which the roles reassemble.
class Link {
public:
    virtual ~Link() = default;
    // Sends the n bytes at p.
    virtual bool send(const uint8_t *p, size_t n) = 0;
    // Waits for bytes and returns where they lie and their count in n: at
    // most cap on a stream, one whole message (cap is its size) otherwise.
    // Valid until release(), which comes before the next receive.
    virtual const uint8_t *receive(size_t cap, size_t &n) = 0;
    virtual void release() {}
    // Transports that let the sender write a message in place say so with
    // loans() and return room for n bytes from loan(), sent by publish(); the
    // others copy with send().
    virtual bool loans() const { return false; }
    virtual uint8_t *loan(size_t) { return nullptr; }
    virtual bool publish(uint8_t *, size_t) { return false; }
};

// Side A is the one that sends first (send, ping); side B receives or
// answers, and is started first, so it creates what has to be created.
// Returns null after writing the cause to why. size is the message size of
// the run, which message queues are dimensioned for.
std::unique_ptr<Link> make_link(const std::string &transport, bool side_a, size_t size, std::string &why);

// What the orchestrator needs to know of the transports: which were built,
// where iceoryx's daemon is, and the names a run leaves behind (which the
// orchestrator removes after each pair, whatever the sides did).
bool peer_built(const std::string &transport);
const char *iox_roudi_path(); // empty when iceoryx is not built
std::string peer_name(const std::string &what, long orchestrator_pid);
constexpr size_t k_bare_capacity = 2u << 20; // per direction, like the channel's 4 MiB region
size_t bare_region_size();

} // namespace bench
