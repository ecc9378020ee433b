// Minimal server with the C++ layer: the same as server.c, with lambdas for
// callbacks and the port closed by its destructor.
//   ./server-cpp [PORT]            then, elsewhere:  ./client-cpp [PORT] [TEXT]
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vexa-port.hpp>

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::uint32_t num = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 1;
    std::promise<void> client_left;

    vexa::port_options opts;
    opts.size = 64 * 1024;
    opts.on_connected = [](vexa::port_ref) { std::puts("client attached"); };
    opts.on_data_ready = [](vexa::port_ref port, std::size_t) {
        std::string text(256, '\0');
        auto n = port.recv(std::as_writable_bytes(std::span(text)));
        if (!n) return;
        text.resize(*n);
        std::printf("received: %s\n", text.c_str());
        (void)port.send("echo: " + text);
    };
    opts.on_disconnected = [&](vexa::port_ref) {
        std::puts("client left");
        client_left.set_value();
    };

    auto port = vexa::port::open(num, std::move(opts));
    if (!port) {
        std::fprintf(stderr, "cannot serve port %u: %s\n", num, std::string(port.message()).c_str());
        return 1;
    }
    std::printf("serving port %u\n", num);
    client_left.get_future().wait();
    return 0; // the port closes here, on the main thread
}
