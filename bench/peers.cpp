// The channel's competitors in vexa-port-bench, each behind bench::Link (see
// peers.h). Each is set up the way its own documentation suggests for speed,
// with queues that hold about what the channel's ring holds (2 MiB per
// direction), and each copies no more than it has to: the point is to
// measure the transports, not this file.
#include "bench/peers.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "bench/bench.h"

#ifdef VEXA_BENCH_BOOST
#include <boost/interprocess/ipc/message_queue.hpp>
#endif
#ifdef VEXA_BENCH_ZMQ
#include <zmq.h>
#endif
#ifdef VEXA_BENCH_IOX
#include "iceoryx_hoofs/log/logmanager.hpp"
#include "iceoryx_posh/mepoo/chunk_header.hpp"
#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"
#endif

namespace bench {

std::string peer_name(const std::string &what, long orchestrator_pid) {
    return "vexa-bench." + std::to_string(orchestrator_pid) + "." + what;
}

bool peer_built(const std::string &t) {
    if (t == "boost") {
#ifdef VEXA_BENCH_BOOST
        return true;
#else
        return false;
#endif
    }
    if (t == "zmq") {
#ifdef VEXA_BENCH_ZMQ
        return true;
#else
        return false;
#endif
    }
    if (t == "iox") {
#ifdef VEXA_BENCH_IOX
        return true;
#else
        return false;
#endif
    }
    return true;
}

const char *iox_roudi_path() {
#ifdef VEXA_BENCH_IOX_ROUDI
    return VEXA_BENCH_IOX_ROUDI;
#else
    return "";
#endif
}

namespace {

// How many messages of size bytes make about the channel's 2 MiB per
// direction, at least one.
size_t slots_for(size_t size) { return std::max<size_t>(1, k_bare_capacity / std::max<size_t>(size, 1)); }

// ---------------------------------------------------------------------------
// Socket and pipes: the kernel copies in on write and out on read.
class FdLink final : public Link {
public:
    FdLink(int in, int out) : in_(in), out_(out), buf_(64 * 1024) {}
    bool send(const uint8_t *p, size_t n) override {
        while (n) {
            const ssize_t w = write(out_, p, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    const uint8_t *receive(size_t cap, size_t &n) override {
        for (;;) {
            const ssize_t r = read(in_, buf_.data(), std::min(cap, buf_.size()));
            if (r > 0) {
                n = static_cast<size_t>(r);
                return buf_.data();
            }
            if (r < 0 && errno == EINTR) continue;
            return nullptr;
        }
    }

private:
    int in_, out_;
    std::vector<uint8_t> buf_;
};

// ---------------------------------------------------------------------------
// The bare ring: the least a shared-memory byte stream between two processes
// can be. One writer and one reader per direction; the writer owns head, the
// reader owns tail, each on its own cache line; bytes are copied in and out
// with a wrap. A side that finds nothing to do spins for a while, then raises
// its "sleeping" flag and sleeps on it in a futex; the other side, after
// moving its index, looks at the flag (a full fence orders the two, as in
// Dekker's algorithm) and wakes it. There is nothing else: no check of the
// indices, no detection of a dead peer (a survivor waits forever), no
// connection handling; the orchestrator hands both sides one memfd.
struct alignas(64) BareRing {
    alignas(64) std::atomic<uint64_t> head{0}; // bytes written
    alignas(64) std::atomic<uint64_t> tail{0}; // bytes read
    alignas(64) std::atomic<uint32_t> reader_sleeps{0};
    alignas(64) std::atomic<uint32_t> writer_sleeps{0};
    alignas(64) uint8_t data[k_bare_capacity];
};
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the indices are shared between processes");
static_assert((k_bare_capacity & (k_bare_capacity - 1)) == 0, "the ring wraps with a mask");

constexpr uint64_t k_spin_ns = 50000; // a round trip on a free core is far shorter

void futex_wait(std::atomic<uint32_t> &w, uint32_t v) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&w), FUTEX_WAIT, v, nullptr, nullptr, 0);
}
void futex_wake(std::atomic<uint32_t> &w) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&w), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Waits until ready() holds: spins, then sleeps with the flag raised.
template <class Ready> void spin_then_sleep(std::atomic<uint32_t> &flag, Ready ready) {
    const uint64_t t0 = now_ns();
    for (unsigned i = 1; !ready(); ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 64 || now_ns() - t0 < k_spin_ns) continue;
        flag.store(1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!ready()) futex_wait(flag, 1);
        flag.store(0, std::memory_order_relaxed);
    }
}

void wake_if_sleeping(std::atomic<uint32_t> &flag) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (flag.load(std::memory_order_relaxed)) {
        flag.store(0, std::memory_order_relaxed);
        futex_wake(flag);
    }
}

class BareLink final : public Link {
public:
    BareLink(void *map, bool side_a) : map_(map), buf_(64 * 1024) {
        auto *rings = static_cast<BareRing *>(map);
        out_ = side_a ? &rings[0] : &rings[1];
        in_ = side_a ? &rings[1] : &rings[0];
    }
    ~BareLink() override { munmap(map_, bare_region_size()); }
    bool send(const uint8_t *p, size_t n) override {
        BareRing &r = *out_;
        uint64_t head = r.head.load(std::memory_order_relaxed);
        while (n) {
            uint64_t room = k_bare_capacity - (head - tail_seen_);
            if (room < n) {
                tail_seen_ = r.tail.load(std::memory_order_acquire);
                room = k_bare_capacity - (head - tail_seen_);
            }
            if (room == 0) {
                spin_then_sleep(r.writer_sleeps, [&] {
                    tail_seen_ = r.tail.load(std::memory_order_acquire);
                    return head - tail_seen_ < k_bare_capacity;
                });
                room = k_bare_capacity - (head - tail_seen_);
            }
            const size_t m = static_cast<size_t>(std::min<uint64_t>(room, n));
            const size_t at = static_cast<size_t>(head & (k_bare_capacity - 1));
            const size_t first = std::min(m, k_bare_capacity - at);
            memcpy(r.data + at, p, first);
            memcpy(r.data, p + first, m - first);
            head += m;
            r.head.store(head, std::memory_order_release);
            wake_if_sleeping(r.reader_sleeps);
            p += m;
            n -= m;
        }
        return true;
    }
    const uint8_t *receive(size_t cap, size_t &n) override {
        BareRing &r = *in_;
        const uint64_t tail = r.tail.load(std::memory_order_relaxed);
        if (head_seen_ - tail < cap) head_seen_ = r.head.load(std::memory_order_acquire);
        if (head_seen_ == tail)
            spin_then_sleep(r.reader_sleeps, [&] {
                head_seen_ = r.head.load(std::memory_order_acquire);
                return head_seen_ != tail;
            });
        const size_t m = static_cast<size_t>(std::min<uint64_t>({head_seen_ - tail, cap, buf_.size()}));
        const size_t at = static_cast<size_t>(tail & (k_bare_capacity - 1));
        const size_t first = std::min(m, k_bare_capacity - at);
        memcpy(buf_.data(), r.data + at, first);
        memcpy(buf_.data() + first, r.data, m - first);
        r.tail.store(tail + m, std::memory_order_release);
        wake_if_sleeping(r.writer_sleeps);
        n = m;
        return buf_.data();
    }

private:
    void *map_;
    BareRing *out_, *in_;
    uint64_t tail_seen_ = 0, head_seen_ = 0; // the peer's index as last read
    std::vector<uint8_t> buf_;
};

// ---------------------------------------------------------------------------
#ifdef VEXA_BENCH_BOOST
namespace bip = boost::interprocess;

// Boost.Interprocess message_queue, one per direction: a queue of fixed-size
// slots in a named shared-memory segment, guarded by one process-shared mutex
// with two condition variables (not full, not empty). Each send takes the
// mutex, copies the message into a slot and signals; each receive takes it
// and copies a message out. Slots are the message size, as Boost's
// documentation advises (a receive buffer must hold the largest message), and
// there are enough of them to hold about the channel's 2 MiB.
class BoostLink final : public Link {
public:
    BoostLink(const std::string &out, const std::string &in, bool create, size_t size) : buf_(std::max<size_t>(size, 1)) {
        if (create) {
            bip::message_queue::remove(out.c_str());
            bip::message_queue::remove(in.c_str());
            out_.emplace(bip::create_only, out.c_str(), slots_for(size), buf_.size());
            in_.emplace(bip::create_only, in.c_str(), slots_for(size), buf_.size());
        } else {
            out_.emplace(bip::open_only, out.c_str());
            in_.emplace(bip::open_only, in.c_str());
        }
    }
    bool send(const uint8_t *p, size_t n) override {
        try {
            out_->send(p, n, 0);
            return true;
        } catch (const bip::interprocess_exception &) {
            return false;
        }
    }
    const uint8_t *receive(size_t, size_t &n) override {
        try {
            bip::message_queue::size_type got = 0;
            unsigned prio = 0;
            in_->receive(buf_.data(), buf_.size(), got, prio);
            n = got;
            return buf_.data();
        } catch (const bip::interprocess_exception &) {
            return nullptr;
        }
    }

private:
    std::vector<uint8_t> buf_;
    std::optional<bip::message_queue> out_, in_;
};
#endif

// ---------------------------------------------------------------------------
#ifdef VEXA_BENCH_ZMQ
// ZeroMQ PAIR sockets over ipc://, a Unix domain socket underneath: the
// application thread hands each message to the context's I/O thread through
// a lock-free pipe (waking it with an eventfd when it sleeps), the I/O thread
// batches messages into socket writes, and the receiving I/O thread parses
// them back into messages for zmq_recv. Each message is copied into zmq's
// buffer, through the kernel, and out into the caller's. High-water marks are
// raised so that about 2 MiB may be in flight each way (at least zmq's
// default of 1000 messages).
class ZmqLink final : public Link {
public:
    ZmqLink(const std::string &endpoint, bool bind, size_t size, std::string &why) : buf_(std::max<size_t>(size, 1)) {
        ctx_ = zmq_ctx_new();
        sock_ = ctx_ ? zmq_socket(ctx_, ZMQ_PAIR) : nullptr;
        if (!sock_) {
            why = "zmq_socket: " + std::string(zmq_strerror(zmq_errno()));
            return;
        }
        const int hwm = static_cast<int>(std::max<size_t>(1000, slots_for(size))), linger = 1000;
        zmq_setsockopt(sock_, ZMQ_SNDHWM, &hwm, sizeof hwm);
        zmq_setsockopt(sock_, ZMQ_RCVHWM, &hwm, sizeof hwm);
        zmq_setsockopt(sock_, ZMQ_LINGER, &linger, sizeof linger);
        if ((bind ? zmq_bind(sock_, endpoint.c_str()) : zmq_connect(sock_, endpoint.c_str())) != 0) {
            why = std::string(bind ? "zmq_bind: " : "zmq_connect: ") + zmq_strerror(zmq_errno());
            return;
        }
        ok_ = true;
    }
    ~ZmqLink() override {
        if (sock_) zmq_close(sock_);
        if (ctx_) zmq_ctx_term(ctx_);
    }
    bool ok() const { return ok_; }
    bool send(const uint8_t *p, size_t n) override {
        while (zmq_send(sock_, p, n, 0) < 0)
            if (zmq_errno() != EINTR) return false;
        return true;
    }
    const uint8_t *receive(size_t, size_t &n) override {
        int r;
        while ((r = zmq_recv(sock_, buf_.data(), buf_.size(), 0)) < 0)
            if (zmq_errno() != EINTR) return nullptr;
        n = std::min(static_cast<size_t>(r), buf_.size());
        return buf_.data();
    }

private:
    void *ctx_ = nullptr, *sock_ = nullptr;
    bool ok_ = false;
    std::vector<uint8_t> buf_;
};
#endif

// ---------------------------------------------------------------------------
#ifdef VEXA_BENCH_IOX
// iceoryx publish/subscribe, one topic per direction. The publisher loans a
// chunk from a mempool of the shared segment that the RouDi daemon laid out,
// the sender writes the message into it and publishes it, which pushes the
// chunk's offset into the subscriber's queue and signals the condition
// variable of its WaitSet; the subscriber takes the chunk, reads it in place
// and releases it. Nothing is copied by the transport. A full queue makes the
// publisher wait (WAIT_FOR_CONSUMER with BLOCK_PRODUCER), so no message is
// dropped; queues hold up to 256 messages (iceoryx's limit), about 2 MiB of
// 64 KiB messages. The daemon connects publishers to subscribers.
class IoxLink final : public Link {
public:
    IoxLink(const std::string &instance, bool side_a, size_t size, std::string &why) {
        // Its debug lines would bury the table.
        iox::log::LogManager::GetLogManager().SetDefaultLogLevel(iox::log::LogLevel::kWarn,
                                                                  iox::log::LogLevelOutput::kHideLogLevel);
        const std::string app = "vexa-bench-" + std::to_string(getpid());
        iox::runtime::PoshRuntime::initRuntime(iox::RuntimeName_t(iox::cxx::TruncateToCapacity, app.c_str()));
        const iox::capro::IdString_t service("vexa-bench"),
            inst(iox::cxx::TruncateToCapacity, instance.c_str()), ab("ab"), ba("ba");
        iox::popo::PublisherOptions po;
        po.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::WAIT_FOR_CONSUMER;
        iox::popo::SubscriberOptions so;
        so.queueCapacity = std::min<uint64_t>(iox::MAX_SUBSCRIBER_QUEUE_CAPACITY, slots_for(size));
        so.queueFullPolicy = iox::popo::QueueFullPolicy::BLOCK_PRODUCER;
        pub_.emplace(iox::capro::ServiceDescription(service, inst, side_a ? ab : ba), po);
        sub_.emplace(iox::capro::ServiceDescription(service, inst, side_a ? ba : ab), so);
        ws_.emplace();
        if (ws_->attachState(*sub_, iox::popo::SubscriberState::HAS_DATA).has_error()) {
            why = "iox: WaitSet attach";
            return;
        }
        // Side A waits for the daemon to connect both directions (it does so
        // in its discovery loop), or its first messages would find nobody.
        if (side_a) {
            const uint64_t deadline = now_ns() + 10000000000ull;
            while (!pub_->hasSubscribers() || sub_->getSubscriptionState() != iox::SubscribeState::SUBSCRIBED) {
                if (now_ns() > deadline) {
                    why = "iox: no connection within 10 s";
                    return;
                }
                usleep(1000);
            }
        }
        ok_ = true;
    }
    ~IoxLink() override {
        if (held_) sub_->release(held_);
        if (ws_ && sub_) ws_->detachState(*sub_, iox::popo::SubscriberState::HAS_DATA);
    }
    bool ok() const { return ok_; }
    bool loans() const override { return true; }
    uint8_t *loan(size_t n) override {
        for (;;) {
            auto r = pub_->loan(static_cast<uint32_t>(n));
            if (!r.has_error()) return static_cast<uint8_t *>(r.value());
            // Every chunk is in flight: wait for the subscriber to give some back.
            if (r.get_error() != iox::popo::AllocationError::RUNNING_OUT_OF_CHUNKS &&
                r.get_error() != iox::popo::AllocationError::TOO_MANY_CHUNKS_ALLOCATED_IN_PARALLEL)
                return nullptr;
            sched_yield();
        }
    }
    bool publish(uint8_t *p, size_t) override {
        pub_->publish(p);
        return true;
    }
    bool send(const uint8_t *p, size_t n) override {
        uint8_t *c = loan(n);
        if (!c) return false;
        memcpy(c, p, n);
        return publish(c, n);
    }
    const uint8_t *receive(size_t, size_t &n) override {
        for (;;) {
            auto r = sub_->take();
            if (!r.has_error()) {
                held_ = r.value();
                n = iox::mepoo::ChunkHeader::fromUserPayload(held_)->userPayloadSize();
                return static_cast<const uint8_t *>(held_);
            }
            if (r.get_error() != iox::popo::ChunkReceiveResult::NO_CHUNK_AVAILABLE) return nullptr;
            ws_->wait();
        }
    }
    void release() override {
        if (held_) sub_->release(held_);
        held_ = nullptr;
    }

private:
    std::optional<iox::popo::UntypedPublisher> pub_;
    std::optional<iox::popo::UntypedSubscriber> sub_;
    std::optional<iox::popo::WaitSet<>> ws_;
    const void *held_ = nullptr;
    bool ok_ = false;
};
#endif

} // namespace

size_t bare_region_size() { return 2 * sizeof(BareRing); }

std::unique_ptr<Link> make_link(const std::string &t, bool side_a, size_t size, std::string &why) {
    const long orch = static_cast<long>(getppid());
    if (t == "sock") return std::make_unique<FdLink>(k_data0, k_data0);
    if (t == "pipe") return std::make_unique<FdLink>(k_data0, k_data1);
    if (t == "bare") {
        void *m = mmap(nullptr, bare_region_size(), PROT_READ | PROT_WRITE, MAP_SHARED, k_data0, 0);
        if (m == MAP_FAILED) {
            why = "bare: mmap: " + std::string(strerror(errno));
            return nullptr;
        }
        return std::make_unique<BareLink>(m, side_a);
    }
#ifdef VEXA_BENCH_BOOST
    if (t == "boost") {
        const std::string ab = peer_name("ab", orch), ba = peer_name("ba", orch);
        try {
            return std::make_unique<BoostLink>(side_a ? ab : ba, side_a ? ba : ab, !side_a, size);
        } catch (const std::exception &e) {
            why = std::string("boost: ") + e.what();
            return nullptr;
        }
    }
#endif
#ifdef VEXA_BENCH_ZMQ
    if (t == "zmq") {
        auto l = std::make_unique<ZmqLink>("ipc:///tmp/" + peer_name("zmq", orch), !side_a, size, why);
        if (!l->ok()) return nullptr;
        return l;
    }
#endif
#ifdef VEXA_BENCH_IOX
    if (t == "iox") {
        auto l = std::make_unique<IoxLink>(std::to_string(orch), side_a, size, why);
        if (!l->ok()) return nullptr;
        return l;
    }
#endif
    (void)orch;
    (void)side_a;
    (void)size;
    why = "transport " + t + " not built";
    return nullptr;
}

} // namespace bench
