// An endpoint run by a test: its callbacks record what happens as lines in a
// queue that the test waits on, so tests wait for events, never for time.
// The same harness runs in child processes, where the lines also go to the
// parent through the child pipe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "test_util.h"
#include "vexa-port/shm_endpoint.h"

namespace vt {

class Events {
  public:
    void push(const std::string &e) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(e);
        }
        cond_.notify_all();
    }
    // Waits for the next event equal to want, dropping the events before it.
    bool expect(const std::string &want, int timeout_ms = 20000) {
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            while (!queue_.empty()) {
                std::string e = queue_.front();
                queue_.pop_front();
                if (e == want) return true;
            }
            if (cond_.wait_until(lock, deadline) == std::cv_status::timeout && queue_.empty()) return false;
        }
    }
    // The next event, whatever it is.
    bool next(std::string &out, int timeout_ms = 20000) {
        std::unique_lock lock(mutex_);
        if (!cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !queue_.empty(); }))
            return false;
        out = queue_.front();
        queue_.pop_front();
        return true;
    }
    std::vector<std::string> drain() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> v(queue_.begin(), queue_.end());
        queue_.clear();
        return v;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::string> queue_;
};

// Callbacks of a recorded endpoint. Data is read in on_data_ready (or taken
// from on_data) and recorded as one event per delivery: "data:<bytes>".
struct Recorder {
    Events events;
    bool to_parent = false;   // in a child: forward events to the parent
    bool forward_data = true; // ...including data events (not for bulk streams)
    int32_t accept = 0;     // on_connected's result
    bool read_in_ready = true;
    std::mutex stream_mutex;
    std::string stream; // everything received, in order

    std::mutex send_order; // held by a child's main thread while its own lines must go first
    void record(const std::string &e) {
        if (to_parent && (forward_data || e.rfind("data:", 0) != 0)) {
            std::lock_guard lock(send_order);
            child_send(e);
        }
        events.push(e);
    }
    static Recorder &of(void *user) { return *static_cast<Recorder *>(user); }

    static int32_t on_connected(void *user, shm_thread *) {
        of(user).record("connected");
        return of(user).accept;
    }
    static int32_t on_disconnected(void *user, shm_thread *) {
        of(user).record("disconnected");
        return 0;
    }
    static int32_t on_data(void *user, shm_thread *, const void *data, int64_t len) {
        of(user).got(static_cast<const char *>(data), static_cast<size_t>(len));
        return 0;
    }
    static int32_t on_data_ready(void *user, shm_thread *thr, int32_t count) {
        Recorder &r = of(user);
        if (!r.read_in_ready) {
            r.record("ready:" + std::to_string(count));
            return 0;
        }
        std::vector<char> buf(static_cast<size_t>(count));
        ssize_t n = shm_recv(thr, buf.data(), buf.size());
        if (n > 0) r.got(buf.data(), static_cast<size_t>(n));
        return 0;
    }
    void got(const char *p, size_t n) {
        {
            std::lock_guard lock(stream_mutex);
            stream.append(p, n);
        }
        record("data:" + std::string(p, n));
    }
    std::string received() {
        std::lock_guard lock(stream_mutex);
        return stream;
    }

    shm_data config(const std::string &path, uint32_t size, uint32_t timeout_us = 20000, bool use_on_data = false,
                    uint16_t chunk_max = 0) {
        shm_data d{};
        d.endpoint.path = const_cast<char *>(path.c_str());
        d.endpoint.size = size;
        d.endpoint.timeout_us = timeout_us;
        d.endpoint.chunk_max = chunk_max;
        d.handlers.on_connected = on_connected;
        d.handlers.on_disconnected = on_disconnected;
        if (use_on_data) d.handlers.on_data = on_data;
        else d.handlers.on_data_ready = on_data_ready;
        d.handlers.user_data = this;
        return d;
    }
};

} // namespace vt
