// Fuzz target: a shared block written by a hostile peer. The input is what
// that peer does to the block: its first 496 bytes are XORed onto the header
// the server has just laid out (zero bytes leave a field as it was, so the
// fuzzer can keep the object names valid and reach past the attach), and the
// rest is a script of ring operations by both sides interleaved with further
// changes to any byte of the block. Every operation must return a result; no
// access may leave the block or the caller's buffer, and nothing may hang.
//
// The two sides are two views of one region in this one process, so each
// runs with the trusted geometry it keeps in process memory, as it would in
// its own process.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"
#include "vexa-port/shm_membuf.h"

namespace {

constexpr size_t k_cap = 256;
constexpr size_t k_size = shm_membuf_size + 2 * k_cap;

struct Region {
    void *fd = nullptr;
    shm_membuf *srv = nullptr; // the server's view
    shm_membuf *cli = nullptr; // the client's view of the same bytes
};

int quiet(int32_t, const char *, va_list) { return 0; }

Region &region() {
    static Region r = [] {
        Region x;
        shm_log_set_func(quiet, 0, 1, 2);
        char name[64];
        snprintf(name, sizeof name, "/vexa-fuzz-%d", static_cast<int>(getpid()));
        x.fd = shmt_open(name, O_RDWR | O_CREAT, k_size);
        if (x.fd == shmt_invalid_fd() || shm_membuf_map(x.fd, k_size, &x.srv) != 0 ||
            shm_membuf_map(x.fd, k_size, &x.cli) != 0 || x.srv == x.cli) {
            fprintf(stderr, "fuzz_block: cannot set up the region\n");
            abort();
        }
        return x;
    }();
    return r;
}

// A result is one of the documented ones: a count within the request (for
// has-data, within the ring: the host sizes its buffers by it), or a
// negative code.
void check_count(ssize_t r, size_t asked) {
    if (r > static_cast<ssize_t>(asked)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Region &rg = region();
    uint8_t *bytes = reinterpret_cast<uint8_t *>(rg.srv);
    memset(bytes, 0, shm_membuf_size);
    if (shm_membuf_bind(rg.srv, k_size) != 0) abort();

    const size_t image = size < shm_membuf_size ? size : shm_membuf_size;
    for (size_t i = 0; i < image; ++i) bytes[i] ^= data[i];
    size_t pc = image;
    auto next = [&]() -> uint8_t { return pc < size ? data[pc++] : 0; };

    bool attached = shm_membuf_connect(rg.cli, k_size) == 0;
    uint8_t in[2 * k_cap + 16], out[2 * k_cap + 16];
    memset(in, 0xA5, sizeof in);
    for (int steps = 0; pc < size && steps < 256; ++steps) {
        const uint8_t op = next() % 12;
        if (op == 0) { // the hostile peer changes a byte: offset (2 bytes), XOR mask
            const size_t hi = next(), lo = next();
            bytes[(hi << 8 | lo) % k_size] ^= next();
            continue;
        }
        const size_t len = next() * 3u % sizeof out; // up to past a ring's capacity
        switch (op) {
        case 1: check_count(shm_cli_write(rg.cli, in, len), len); break;
        case 2: check_count(shm_cli_read(rg.cli, out, len), len); break;
        case 3: check_count(static_cast<ssize_t>(shm_cli_has_data(rg.cli)), k_cap); break;
        case 4: (void)shm_cli_release_space(rg.cli, len); break;
        case 5: check_count(shm_srv_write(rg.srv, in, len), len); break;
        case 6: check_count(shm_srv_read(rg.srv, out, len), len); break;
        case 7: check_count(static_cast<ssize_t>(shm_srv_has_data(rg.srv)), k_cap); break;
        case 8: (void)shm_srv_release_space(rg.srv, len); break;
        case 9: // detach, and attach again to whatever the block now says
            if (attached) {
                shm_membuf_disconnect(rg.cli);
                shm_membuf_disconnect_cb(rg.cli);
            }
            attached = shm_membuf_connect(rg.cli, k_size) == 0;
            break;
        case 10: (void)shm_srv_notify(rg.srv), (void)shm_cli_notify(rg.cli); break;
        case 11: (void)shm_membuf_is_connected(rg.cli), (void)shm_membuf_is_ready(rg.cli); break;
        }
    }
    if (attached) {
        shm_membuf_disconnect(rg.cli);
        shm_membuf_disconnect_cb(rg.cli);
    }
    shm_membuf_unbind(rg.srv);
    return 0;
}
