// C++20 interface to libvexa-port, header-only, over the C functions of
// vexa-port.h. It adds no state to the library and nothing to the data path:
// send and recv are inline calls of vexa_port_send and vexa_port_recv.
//
//   vexa::port_options opts;
//   opts.on_data_ready = [&](vexa::port_ref p, std::size_t) {
//       std::array<std::byte, 256> buf;
//       if (auto n = p.recv(buf)) handle(std::span(buf).first(*n));
//   };
//   auto port = vexa::port::open(0, std::move(opts));
//   if (!port) return port.error();   // a negated errno value or SHM_E_*
//
// Results are vexa::result<T>: a value or an error code, never an exception.
// A vexa::port closes its endpoint when destroyed and can be moved but not
// copied. Its callbacks live in a heap block that the port owns, so moving the
// port never moves what the endpoint's thread is calling. Callbacks run on the
// endpoint's own thread and receive a vexa::port_ref, a plain view of the
// endpoint that may send and receive; they must not throw (an exception that
// reaches the library ends the program) and must not close or destroy the
// port they belong to.
#ifndef VEXA_PORT_HPP
#define VEXA_PORT_HPP

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "vexa-port.h"

namespace vexa {

// The text of a result code, as shm_strerror gives it.
inline std::string_view error_message(std::int32_t code) noexcept { return shm_strerror(code); }

// A value of type T or a negative error code. Checked with operator bool or
// has_value(); value() and operator* are for results that hold a value.
template <class T = void>
class [[nodiscard]] result {
  public:
    result(T value) : value_(std::move(value)) {}
    static result failure(std::int32_t code) noexcept { return result(code, 0); }

    bool has_value() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    T &value() & noexcept { return *value_; }
    const T &value() const & noexcept { return *value_; }
    T &&value() && noexcept { return std::move(*value_); }
    T &operator*() & noexcept { return *value_; }
    const T &operator*() const & noexcept { return *value_; }
    T *operator->() noexcept { return &*value_; }
    const T *operator->() const noexcept { return &*value_; }
    T value_or(T other) const & { return value_ ? *value_ : std::move(other); }
    // 0 when there is a value.
    std::int32_t error() const noexcept { return error_; }
    std::string_view message() const noexcept { return error_message(error_); }

  private:
    result(std::int32_t code, int) noexcept : error_(code) {}
    std::optional<T> value_;
    std::int32_t error_ = 0;
};

template <>
class [[nodiscard]] result<void> {
  public:
    result() noexcept = default;
    static result failure(std::int32_t code) noexcept { return result(code); }
    static result from_code(std::int32_t code) noexcept { return code < 0 ? result(code) : result(); }

    bool has_value() const noexcept { return error_ == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    std::int32_t error() const noexcept { return error_; }
    std::string_view message() const noexcept { return error_message(error_); }

  private:
    explicit result(std::int32_t code) noexcept : error_(code) {}
    std::int32_t error_ = 0;
};

namespace detail {
inline result<std::size_t> count_result(std::int64_t r) noexcept {
    if (r < 0) return result<std::size_t>::failure(static_cast<std::int32_t>(r));
    return static_cast<std::size_t>(r);
}
} // namespace detail

// Zero-copy sending: room in the peer's incoming ring, reserved by
// port_ref::reserve. Write the message into data(), then commit(n) publishes
// its first n bytes. Destroyed (or moved from) without a commit, it cancels.
// Keep it short-lived: while it is open the port cannot end its link, and
// send() gives -EBUSY. Move-only; may be committed on another thread; must
// not outlive its port (closing the port cancels it).
class [[nodiscard]] reservation {
  public:
    reservation(reservation &&o) noexcept : handle_(std::exchange(o.handle_, nullptr)), data_(o.data_) {}
    reservation &operator=(reservation &&) = delete;
    reservation(const reservation &) = delete;
    reservation &operator=(const reservation &) = delete;
    ~reservation() {
        if (handle_) (void)vexa_port_commit(handle_, 0);
    }

    std::span<std::byte> data() const noexcept { return data_; }
    // Publishes the first n bytes (n <= data().size()) and ends the
    // reservation whatever the result.
    result<std::size_t> commit(std::size_t n) noexcept {
        vexa_port *h = std::exchange(handle_, nullptr);
        if (!h) return result<std::size_t>::failure(-EINVAL);
        return detail::count_result(vexa_port_commit(h, n));
    }

  private:
    friend class port_ref;
    reservation(vexa_port *h, std::span<std::byte> d) noexcept : handle_(h), data_(d) {}
    vexa_port *handle_;
    std::span<std::byte> data_;
};

// Zero-copy receiving: the waiting bytes where the ring holds them, taken by
// port_ref::view (up to the ring's wrap: the rest comes as the next view).
// consume(n) releases the first n; destroyed without it, all stay. The peer
// can change these bytes while they are read (never the memory around them):
// copy what must be trusted. Keep it short-lived and within its port's life,
// as a reservation.
class [[nodiscard]] in_place_view {
  public:
    in_place_view(in_place_view &&o) noexcept : handle_(std::exchange(o.handle_, nullptr)), data_(o.data_) {}
    in_place_view &operator=(in_place_view &&) = delete;
    in_place_view(const in_place_view &) = delete;
    in_place_view &operator=(const in_place_view &) = delete;
    ~in_place_view() {
        if (handle_) (void)vexa_port_consume(handle_, 0);
    }

    std::span<const std::byte> data() const noexcept { return data_; }
    // Releases the first n bytes (n <= data().size()) and ends the view
    // whatever the result; -ESTALE when the peer discarded them meanwhile.
    result<std::size_t> consume(std::size_t n) noexcept {
        vexa_port *h = std::exchange(handle_, nullptr);
        if (!h) return result<std::size_t>::failure(-EINVAL);
        return detail::count_result(vexa_port_consume(h, n));
    }

  private:
    friend class port_ref;
    in_place_view(vexa_port *h, std::span<const std::byte> d) noexcept : handle_(h), data_(d) {}
    vexa_port *handle_;
    std::span<const std::byte> data_;
};

// A non-owning view of an open port: what callbacks receive, and what
// port::ref() gives to threads that only send and receive. Valid while the
// port it came from is open.
class port_ref {
  public:
    explicit port_ref(vexa_port *handle) noexcept : handle_(handle) {}

    // Bytes taken, possibly fewer than data.size() when the peer's ring has
    // less room; -ENOSPC when it is full, -EINVAL without a link, -EPROTO for a
    // corrupt ring. Any thread, including callbacks.
    result<std::size_t> send(std::span<const std::byte> data) const noexcept {
        return detail::count_result(vexa_port_send(handle_, data.data(), data.size()));
    }
    // Bytes read into buf; -EAGAIN when nothing waits, -EINVAL, -EPROTO. Any
    // thread, including callbacks.
    result<std::size_t> recv(std::span<std::byte> buf) const noexcept {
        return detail::count_result(vexa_port_recv(handle_, buf.data(), buf.size()));
    }
    // Convenience for text: sends the characters, without a terminator.
    result<std::size_t> send(std::string_view text) const noexcept { return send(std::as_bytes(std::span(text))); }
    // At least min_len bytes of room in one piece; -ENOSPC when not that much
    // lies in one piece now, -EMSGSIZE beyond the ring's capacity, -EBUSY
    // while another reservation is open. See vexa_port_reserve.
    result<reservation> reserve(std::size_t min_len) const noexcept {
        void *p = nullptr;
        const std::int64_t r = vexa_port_reserve(handle_, min_len, &p);
        if (r < 0) return result<reservation>::failure(static_cast<std::int32_t>(r));
        return reservation(handle_, std::span(static_cast<std::byte *>(p), static_cast<std::size_t>(r)));
    }
    // The waiting bytes in place; -EAGAIN when none wait, -EBUSY while
    // another view is open. See vexa_port_view.
    result<in_place_view> view() const noexcept {
        const void *p = nullptr;
        const std::int64_t r = vexa_port_view(handle_, &p);
        if (r < 0) return result<in_place_view>::failure(static_cast<std::int32_t>(r));
        return in_place_view(handle_, std::span(static_cast<const std::byte *>(p), static_cast<std::size_t>(r)));
    }

    vexa_port *native_handle() const noexcept { return handle_; }
    friend bool operator==(port_ref, port_ref) = default;

  private:
    vexa_port *handle_;
};

// What a port does besides moving bytes. Every callable may be empty.
struct port_options {
    std::uint32_t timeout_us = 100000; // a client's pause between attempts to attach
    std::uint64_t size = VEXA_PORT_DEFAULT_SIZE; // region size (2 MiB); both sides must agree
    std::uint8_t option = 0;           // carried along, never read by the library

    // Client only: decides whether to keep a server it has attached to.
    // false refuses the link: the client detaches and stops trying (close
    // the port to free it). Empty accepts.
    std::function<bool(port_ref)> accept;
    // A peer attached (after accept, on a client). Sending is allowed here.
    std::function<void(port_ref)> on_connected;
    // count bytes wait; read them with recv, here or from another thread.
    std::function<void(port_ref, std::size_t count)> on_data_ready;
    // The peer detached or died.
    std::function<void(port_ref)> on_disconnected;
};

// An open port: serves or is attached to one of the four fixed ports. Closes
// on destruction; move-only.
class port {
  public:
    // Serve port number num; returns once it is ready. On failure the
    // library's cause (also in its log): -EINVAL for a bad number or size,
    // -EBUSY for a port served elsewhere, and so on.
    static result<port> open(std::uint32_t num, port_options opts = {}) {
        return start(num, std::move(opts), vexa_port_open);
    }
    // Attach to port number num in the background; the client retries until a
    // server is there and then calls on_connected.
    static result<port> connect(std::uint32_t num, port_options opts = {}) {
        return start(num, std::move(opts), vexa_port_connect);
    }

    // A closed port, to be assigned an open one later.
    port() noexcept = default;
    port(port &&other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), state_(std::move(other.state_)) {}
    port &operator=(port &&other) noexcept {
        if (this != &other) {
            drop();
            handle_ = std::exchange(other.handle_, nullptr);
            state_ = std::move(other.state_);
        }
        return *this;
    }
    port(const port &) = delete;
    port &operator=(const port &) = delete;
    ~port() { drop(); }

    // Stops the endpoint and waits for its thread; after it no callback runs.
    // Never from one of this port's callbacks: that returns -EDEADLK and the
    // port stays open. Closing a closed (or moved-from) port does nothing.
    result<> close() noexcept {
        if (!handle_) return {};
        const std::int32_t r = vexa_port_close(handle_);
        if (r == -EDEADLK) return result<>::failure(r); // still running; the state stays
        handle_ = nullptr;
        state_.reset();
        return result<>::from_code(r);
    }

    result<std::size_t> send(std::span<const std::byte> data) const noexcept { return ref().send(data); }
    result<std::size_t> send(std::string_view text) const noexcept { return ref().send(text); }
    result<std::size_t> recv(std::span<std::byte> buf) const noexcept { return ref().recv(buf); }
    result<reservation> reserve(std::size_t min_len) const noexcept { return ref().reserve(min_len); }
    result<in_place_view> view() const noexcept { return ref().view(); }

    bool is_open() const noexcept { return handle_ != nullptr; }
    explicit operator bool() const noexcept { return is_open(); }
    port_ref ref() const noexcept { return port_ref(handle_); }
    vexa_port *native_handle() const noexcept { return handle_; }

  private:
    using start_fn = vexa_port *(*)(const vexa_port_config *);

    // Closing from one of the port's own callbacks cannot succeed; the
    // endpoint then still calls into the state, so it is left allocated
    // rather than freed under the running thread.
    void drop() noexcept {
        if (close().error() == -EDEADLK) (void)state_.release();
        handle_ = nullptr;
    }

    port(vexa_port *handle, std::unique_ptr<port_options> state) noexcept
        : handle_(handle), state_(std::move(state)) {}

    static result<port> start(std::uint32_t num, port_options opts, start_fn fn) {
        if (num >= vexa_port_count()) return result<port>::failure(-EINVAL);
        // The callables sit at a fixed heap address for as long as the
        // endpoint may call them; the C callbacks find them through user_data.
        auto state = std::make_unique<port_options>(std::move(opts));
        vexa_port_config cfg{};
        cfg.port_num = num;
        cfg.timeout_us = state->timeout_us;
        cfg.size = state->size;
        cfg.option = state->option;
        cfg.on_connected = on_connected;
        cfg.on_data_ready = state->on_data_ready ? on_data_ready : nullptr;
        cfg.on_disconnected = state->on_disconnected ? on_disconnected : nullptr;
        cfg.user_data = state.get();
        errno = 0;
        vexa_port *handle = fn(&cfg);
        if (!handle) return result<port>::failure(errno > 0 ? -errno : -EIO);
        return port(handle, std::move(state));
    }

    static std::int32_t on_connected(void *user, vexa_port *handle) noexcept {
        auto &s = *static_cast<port_options *>(user);
        if (s.accept && !s.accept(port_ref(handle))) return SHM_E_REJECTED;
        if (s.on_connected) s.on_connected(port_ref(handle));
        return 0;
    }
    static std::int32_t on_data_ready(void *user, vexa_port *handle, std::int32_t count) noexcept {
        static_cast<port_options *>(user)->on_data_ready(port_ref(handle), static_cast<std::size_t>(count));
        return 0;
    }
    static std::int32_t on_disconnected(void *user, vexa_port *handle) noexcept {
        static_cast<port_options *>(user)->on_disconnected(port_ref(handle));
        return 0;
    }

    vexa_port *handle_ = nullptr;
    std::unique_ptr<port_options> state_;
};

// The library's version as loaded, "MAJOR.MINOR.PATCH".
inline std::string_view port_version() noexcept { return vexa_port_version(); }
// The number of ports (4).
inline std::uint32_t port_count() noexcept { return static_cast<std::uint32_t>(vexa_port_count()); }
// Let the library's debug lines through, or drop them again.
inline void set_debug(bool on) noexcept { vexa_port_set_debug(on ? 1 : 0); }

} // namespace vexa

#endif // VEXA_PORT_HPP
