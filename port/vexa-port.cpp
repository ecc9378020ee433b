// The public port interface: four numbered ports with fixed names over the
// channel's endpoints. A host fills a vexa_port_config; this file turns it into
// the endpoint record of the port's region and starts a server or a client.
// Everything else forwards to the channel operations and the logging layer
// unchanged, so a port behaves exactly like the endpoint under it.
#include <cerrno>
#include <cstring>
#include <iterator>

#include "port/port_names.h"
#include "vexa-port.h"
#include "vexa-port/shm_endpoint.h"
#include "vexa-port/version.h"

// Both processes derive the region's name from the port number alone, so a
// server and a client meet exactly when they use the same number.
const char *const vexa::port::k_region_names[4] = {
    "org.vexa-port.Port.0",
    "org.vexa-port.Port.1",
    "org.vexa-port.Port.2",
    "org.vexa-port.Port.3",
};

namespace {

using start_fn = shm_thread *(*)(const shm_data *);

shm_thread *start_port(const vexa_port_config *cfg, start_fn start) {
    if (!cfg || cfg->port_num >= std::size(vexa::port::k_region_names)) {
        shm_log_error("(%d): %s\n", EINVAL, strerror(EINVAL));
        errno = EINVAL; // the cause, for hosts that do not read the log
        return nullptr;
    }
    // A temporary is enough: the endpoint's thread object takes its own deep
    // copy, path included, before the start operation returns. The path is
    // only read, never written, so handing out the constant name is safe.
    shm_data data{};
    data.endpoint.path = const_cast<char *>(vexa::port::k_region_names[cfg->port_num]);
    data.endpoint.timeout_us = cfg->timeout_us;
    data.endpoint.size = static_cast<uint32_t>(cfg->size); // the region's size field is 32 bits
    if (cfg->size != data.endpoint.size)
        shm_log_info("port %u: size %llu does not fit 32 bits; its low 32 bits are used: %u\n", cfg->port_num,
                     static_cast<unsigned long long>(cfg->size), static_cast<unsigned>(data.endpoint.size));
    // Ports announce waiting bytes only through on_data_ready and the host
    // reads them with vexa_port_recv; chunk_max then has no use.
    data.endpoint.chunk_max = 0;
    data.handlers.on_connected = cfg->on_connected;
    data.handlers.on_data = nullptr;
    data.handlers.on_data_ready = cfg->on_data_ready;
    data.handlers.on_disconnected = cfg->on_disconnected;
    data.handlers.user_data = cfg->user_data;
    data.option = cfg->option;
    return start(&data);
}

} // namespace

extern "C" {

VEXA_API vexa_port *vexa_port_open(const vexa_port_config *cfg) { return start_port(cfg, shm_srv_start); }

VEXA_API vexa_port *vexa_port_connect(const vexa_port_config *cfg) { return start_port(cfg, shm_cli_connect); }

VEXA_API int64_t vexa_port_send(vexa_port *port, const void *buf, uint64_t len) {
    return shm_send(port, buf, static_cast<size_t>(len));
}

VEXA_API int64_t vexa_port_recv(vexa_port *port, void *buf, uint64_t cap) {
    return shm_recv(port, buf, static_cast<size_t>(cap));
}

VEXA_API int64_t vexa_port_reserve(vexa_port *port, uint64_t min_len, void **data) {
    return shm_reserve(port, min_len, data);
}

VEXA_API int64_t vexa_port_commit(vexa_port *port, uint64_t len) { return shm_commit(port, len); }

VEXA_API int64_t vexa_port_view(vexa_port *port, const void **data) { return shm_view(port, data); }

VEXA_API int64_t vexa_port_consume(vexa_port *port, uint64_t len) { return shm_consume(port, len); }

VEXA_API int32_t vexa_port_close(vexa_port *port) { return shm_close(port); }

VEXA_API int vexa_port_event_fd(vexa_port *port) { return shm_event_fd(port); }

VEXA_API int32_t vexa_port_events(vexa_port *port) { return shm_take_events(port); }

VEXA_API uint64_t vexa_port_count(void) { return std::size(vexa::port::k_region_names); }

VEXA_API void vexa_port_set_logfunc(shm_log_func func, int32_t l_err, int32_t l_info, int32_t l_debug) {
    shm_log_set_func(func, l_err, l_info, l_debug);
}

VEXA_API void vexa_port_set_debug(int32_t on) { shm_log_set_debug(on); }

VEXA_API const char *vexa_port_version(void) { return VEXA_PORT_VERSION_STRING; }

} // extern "C"
