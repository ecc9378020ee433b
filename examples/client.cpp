// Minimal client with the C++ layer: the same as client.c.
//   ./client-cpp [PORT] [TEXT]
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vexa-port.hpp>

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::uint32_t num = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 1;
    const std::string text = argc > 2 ? argv[2] : "hello";
    std::promise<std::string> answer;
    bool answered = false; // callbacks run on one thread, one at a time

    vexa::port_options opts;
    opts.timeout_us = 50000; // retry every 50 ms until a server is there
    opts.size = 64 * 1024;   // must match the server's
    opts.on_connected = [&](vexa::port_ref port) { (void)port.send(text); };
    opts.on_data_ready = [&](vexa::port_ref port, std::size_t) {
        std::string reply(256, '\0');
        if (answered) return;
        if (auto n = port.recv(std::as_writable_bytes(std::span(reply)))) {
            reply.resize(*n);
            answered = true;
            answer.set_value(std::move(reply));
        }
    };

    auto port = vexa::port::connect(num, std::move(opts));
    if (!port) return 1;
    std::printf("reply: %s\n", answer.get_future().get().c_str());
    return 0;
}
