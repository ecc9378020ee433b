// The shared block: ring arithmetic, bind/attach/detach and their refusals,
// sleeping and waking, a hostile peer's corrupt fields, and real traffic
// between two processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "internals.h"
#include "test_util.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_membuf.h"

namespace {

// One region with a server view and, when attached, a client view, as two
// processes would have it; both sides run in this process.
struct Block {
    std::string name;
    size_t size;
    void *srv_fd = nullptr, *cli_fd = nullptr;
    shm_membuf *srv = nullptr, *cli = nullptr;

    explicit Block(size_t sz, const char *tag = "mb") : name(vt::unique_name(tag)), size(sz) {
        srv_fd = shmt_open(name.c_str(), 0x502, size);
        EXPECT_NE(srv_fd, shmt_invalid_fd());
        EXPECT_EQ(shm_membuf_map(srv_fd, size, &srv), 0);
    }
    void open_client() {
        cli_fd = shmt_open(name.c_str(), 2, 0);
        ASSERT_NE(cli_fd, shmt_invalid_fd());
        ASSERT_EQ(shm_membuf_map(cli_fd, size, &cli), 0);
    }
    // With split, both sides announce the split protocol, as endpoints do;
    // the block-level calls never do.
    void bind_and_attach(bool split = false) {
        ASSERT_EQ(vexa::block::bind(srv, size, nullptr, split), 0);
        open_client();
        ASSERT_EQ(vexa::block::connect(cli, size, nullptr, split), 0);
    }
    ~Block() {
        if (cli) {
            if (shm_membuf_is_connected(cli)) {
                shm_membuf_disconnect(cli);
                shm_membuf_disconnect_cb(cli);
            }
            shmt_unmap(cli, size);
            shmt_close(cli_fd);
        }
        if (srv) {
            if (shm_membuf_is_ready(srv)) shm_membuf_unbind(srv);
            shmt_unmap(srv, size);
        }
        if (srv_fd) shmt_close(srv_fd);
    }
    // Puts ring idx into the state (head, tail, has_data), as seen by both.
    void set_ring(int idx, uint64_t head, uint64_t tail, uint64_t has) {
        srv->rb[idx].head = head;
        srv->rb[idx].tail = tail;
        srv->rb[idx].has_data = has;
    }
    uint8_t *data(int idx) { return reinterpret_cast<uint8_t *>(srv) + srv->rb[idx].pbuf; }
};

constexpr size_t k_cap10 = shm_membuf_size + 20; // two rings of 10 bytes

struct RingState {
    uint64_t head, tail, has;
    bool operator==(const RingState &) const = default;
};
RingState state(const shm_membuf *mb, int idx) { return {mb->rb[idx].head, mb->rb[idx].tail, mb->rb[idx].has_data}; }
std::ostream &operator<<(std::ostream &os, const RingState &s) {
    return os << "(" << s.head << ", " << s.tail << ", " << s.has << ")";
}

TEST(RingGeometry, SizesGiveTheRingsTheirOffsetsAndCapacities) {
    struct Case {
        size_t size;
        uint64_t cap;
    };
    for (auto c : {Case{498, 1}, Case{499, 1}, Case{1000, 252}, Case{1001, 252}, Case{2097152, 1048328}}) {
        Block b(c.size);
        ASSERT_EQ(shm_membuf_bind(b.srv, c.size), 0) << c.size;
        EXPECT_EQ(b.srv->rb[0].pbuf, 496u);
        EXPECT_EQ(b.srv->rb[0].end, c.cap);
        EXPECT_EQ(b.srv->rb[1].pbuf, 496u + c.cap);
        EXPECT_EQ(b.srv->rb[1].end, c.cap);
        EXPECT_EQ(b.srv->size, c.size);
        EXPECT_EQ(b.srv->flags, SHM_READY);
        EXPECT_EQ(memcmp(b.srv->magic, "ovik", 4), 0);
    }
    shm_membuf *mb = nullptr;
    Block b(600);
    EXPECT_EQ(shm_membuf_map(b.srv_fd, 497, &mb), SHM_E_BAD_SIZE);
    EXPECT_EQ(shm_membuf_map(b.srv_fd, 600, nullptr), -EINVAL);
    EXPECT_EQ(shm_membuf_map(shmt_invalid_fd(), 600, &mb), -EINVAL);
}

class Ring10 : public ::testing::Test {
  protected:
    Block b{k_cap10};
    void SetUp() override { b.bind_and_attach(); }
};

TEST_F(Ring10, WritesWrapAndStopWhenFull) {
    const uint8_t src[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(shm_srv_write(b.srv, src, 4), 4);
    EXPECT_EQ(state(b.srv, 0), (RingState{0, 4, 4}));

    b.set_ring(0, 6, 8, 2);
    EXPECT_EQ(shm_srv_write(b.srv, src, 5), 5);
    EXPECT_EQ(state(b.srv, 0), (RingState{6, 3, 7}));
    EXPECT_EQ(b.data(0)[8], 1);
    EXPECT_EQ(b.data(0)[9], 2);
    EXPECT_EQ(b.data(0)[0], 3);
    EXPECT_EQ(b.data(0)[2], 5);

    b.set_ring(0, 4, 4, 0);
    EXPECT_EQ(shm_srv_write(b.srv, src, 10), 10);
    EXPECT_EQ(state(b.srv, 0), (RingState{4, 4, 10}));
    EXPECT_EQ(b.data(0)[4], 1);
    EXPECT_EQ(b.data(0)[3], 10);

    EXPECT_EQ(shm_srv_write(b.srv, src, 1), -ENOSPC);
    EXPECT_EQ(shm_srv_write(b.srv, src, 0), -ENOSPC);
    EXPECT_EQ(state(b.srv, 0), (RingState{4, 4, 10}));

    b.set_ring(0, 0, 0, 0);
    EXPECT_EQ(shm_srv_write(b.srv, src, 12), 10);
    EXPECT_EQ(state(b.srv, 0), (RingState{0, 0, 10}));
}

TEST_F(Ring10, ReadsWrapAndResetAnEmptiedRing) {
    for (int i = 0; i < 10; ++i) b.data(0)[i] = static_cast<uint8_t>(100 + i);
    uint8_t dst[10] = {};
    b.set_ring(0, 6, 3, 7);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 10), 7);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 7), (std::vector<uint8_t>{106, 107, 108, 109, 100, 101, 102}));
    EXPECT_EQ(state(b.srv, 0), (RingState{0, 0, 0}));

    b.set_ring(0, 6, 3, 7);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 2), 2);
    EXPECT_EQ(state(b.srv, 0), (RingState{8, 3, 5}));

    b.set_ring(0, 5, 5, 0);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 10), -EAGAIN);
    b.set_ring(0, 4, 4, 10);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 0), 0);
    EXPECT_EQ(state(b.srv, 0), (RingState{4, 4, 10}));
}

TEST_F(Ring10, ReleaseDropsTheOldestBytesOfTheWritersRing) {
    b.set_ring(1, 2, 7, 5);
    EXPECT_EQ(shm_cli_release_space(b.cli, 3), 0);
    EXPECT_EQ(state(b.srv, 1), (RingState{2, 7, 5}));
    EXPECT_EQ(shm_cli_release_space(b.cli, 8), 3);
    EXPECT_EQ(state(b.srv, 1), (RingState{5, 7, 2}));
    EXPECT_EQ(shm_cli_release_space(b.cli, 10), 2);
    EXPECT_EQ(state(b.srv, 1), (RingState{7, 7, 0}));
    EXPECT_EQ(shm_cli_release_space(b.cli, 11), -ENOSPC);

    b.set_ring(1, 7, 2, 5);
    EXPECT_EQ(shm_ringbuf_release_space(b.cli, 1, 9), 4);
    EXPECT_EQ(state(b.srv, 1), (RingState{1, 2, 1}));
    b.set_ring(0, 4, 4, 10);
    EXPECT_EQ(shm_srv_release_space(b.srv, 3), 3);
    EXPECT_EQ(state(b.srv, 0), (RingState{7, 4, 7}));
    EXPECT_EQ(shm_srv_release_space(b.srv, 0), 0);

    EXPECT_EQ(shm_ringbuf_release_space(nullptr, 0, 1), -EINVAL);
    EXPECT_EQ(shm_ringbuf_release_space(b.srv, 2, 1), -EINVAL);
    EXPECT_EQ(shm_srv_release_space(nullptr, 1), -EINVAL);
}

TEST_F(Ring10, EachCorruptFieldIsRefusedWithoutTouchingMemory) {
    uint8_t buf[64] = {};
    struct Corruption {
        const char *what;
        void (*apply)(shm_ringbuf &);
    };
    const Corruption cases[] = {
        {"pbuf beyond the region", [](shm_ringbuf &r) { r.pbuf = 1ull << 40; }},
        {"pbuf moved", [](shm_ringbuf &r) { r.pbuf += 1; }},
        {"end enlarged", [](shm_ringbuf &r) { r.end = 1ull << 30; }},
        {"end zero", [](shm_ringbuf &r) { r.end = 0; }},
        {"head past end", [](shm_ringbuf &r) { r.head = 11; }},
        {"tail past end", [](shm_ringbuf &r) { r.tail = 1ull << 62; }},
        {"has_data past end", [](shm_ringbuf &r) { r.has_data = 11; }},
        {"has_data inconsistent", [](shm_ringbuf &r) {
             r.head = 2;
             r.tail = 5;
             r.has_data = 4;
         }},
    };
    for (const auto &c : cases) {
        for (int idx = 0; idx < 2; ++idx) {
            b.set_ring(idx, 0, 3, 3);
            shm_ringbuf saved = b.srv->rb[idx];
            c.apply(b.srv->rb[idx]);
            shm_membuf *writer = idx == 0 ? b.srv : b.cli;
            shm_membuf *reader = idx == 0 ? b.cli : b.srv;
            EXPECT_EQ(shm_ringbuf_write(writer, idx, buf, 5), -EPROTO) << c.what;
            EXPECT_EQ(shm_ringbuf_read(reader, idx, buf, sizeof buf), -EPROTO) << c.what;
            EXPECT_EQ(shm_ringbuf_release_space(writer, idx, 10), -EPROTO) << c.what;
            b.srv->rb[idx] = saved;
            EXPECT_EQ(shm_ringbuf_read(reader, idx, buf, sizeof buf), 3) << "a repaired ring works again";
        }
    }
}

// Reservations and views: the plan of a write or read held open between two
// calls, published (or refused) against whatever the other side did
// meanwhile. The same publishing steps serve copies made outside the lock.
TEST_F(Ring10, ReservationsAndViewsPublishAgainstWhatHappenedMeanwhile) {
    using namespace vexa::block;
    const LinkRef l = find(b.srv);
    ASSERT_TRUE(l);
    void *room = nullptr;
    const void *seen = nullptr;
    uint8_t dst[10] = {};

    // A reservation excludes a second one and a copying write; a commit
    // publishes what it says.
    ASSERT_EQ(ring_reserve(*l, 0, 4, &room), 10);
    EXPECT_EQ(room, b.data(0));
    EXPECT_EQ(ring_reserve(*l, 0, 1, &room), -EBUSY);
    EXPECT_EQ(shm_srv_write(b.srv, dst, 1), -EBUSY);
    memcpy(room, "abcd", 4);
    EXPECT_EQ(ring_commit(*l, 0, 4), 4);
    EXPECT_EQ(state(b.srv, 0), (RingState{0, 4, 4}));
    EXPECT_EQ(ring_commit(*l, 0, 0), -EINVAL) << "nothing open";

    // Room in one piece only: 6 bytes before the end. The reader empties
    // the ring meanwhile (positions back to the start); the reserved bytes
    // then stand alone where they were written.
    EXPECT_EQ(ring_reserve(*l, 0, 7, &room), -ENOSPC);
    ASSERT_EQ(ring_reserve(*l, 0, 6, &room), 6);
    memcpy(room, "efghij", 6);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 10), 4);
    EXPECT_EQ(state(b.srv, 0), (RingState{0, 0, 0}));
    EXPECT_EQ(ring_commit(*l, 0, 6), 6);
    EXPECT_EQ(state(b.srv, 0), (RingState{4, 0, 6}));
    EXPECT_EQ(shm_cli_read(b.cli, dst, 10), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 6), "efghij");

    // An empty ring whose positions met in the middle starts again at its
    // beginning for a reservation that needs the room.
    b.set_ring(0, 5, 5, 0);
    ASSERT_EQ(ring_reserve(*l, 0, 8, &room), 10);
    EXPECT_EQ(ring_commit(*l, 0, 11), -EINVAL) << "more than reserved";
    EXPECT_EQ(ring_reserve(*l, 0, 11, &room), -EMSGSIZE);

    // A view is the bytes up to the wrap; consuming part of it moves the
    // head as a read would.
    const LinkRef lc = find(b.cli);
    for (int i = 0; i < 10; ++i) b.data(0)[i] = static_cast<uint8_t>(100 + i);
    b.set_ring(0, 6, 3, 7);
    ASSERT_EQ(ring_view(*lc, 0, &seen), 4);
    EXPECT_EQ(seen, reinterpret_cast<uint8_t *>(b.cli) + b.srv->rb[0].pbuf + 6) << "in the reader's own mapping";
    EXPECT_EQ(shm_cli_read(b.cli, dst, 1), -EBUSY);
    EXPECT_EQ(ring_consume(*lc, 0, 2), 2);
    EXPECT_EQ(state(b.srv, 0), (RingState{8, 3, 5}));

    // Bytes the writer discards under a view: the consume is refused, also
    // when the discard brings the head round to where it was (a full ring
    // dropped whole and written again).
    ASSERT_EQ(ring_view(*lc, 0, &seen), 2);
    EXPECT_EQ(shm_srv_release_space(b.srv, 10), 5);
    EXPECT_EQ(ring_consume(*lc, 0, 2), -ESTALE);
    b.set_ring(0, 8, 8, 10);
    ASSERT_EQ(ring_view(*lc, 0, &seen), 2);
    EXPECT_EQ(shm_srv_release_space(b.srv, 10), 10);
    EXPECT_EQ(shm_srv_write(b.srv, "0123456789", 10), 10);
    EXPECT_EQ(state(b.srv, 0), (RingState{8, 8, 10}));
    EXPECT_EQ(ring_consume(*lc, 0, 2), -ESTALE);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 10), 10) << "a copying read finds the new bytes";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), 10), "0123456789");
    EXPECT_EQ(ring_view(*lc, 0, &seen), -EAGAIN);
}

// Two endpoints agree on the split protocol: the writer moves only the tail
// and the count, the reader only the head and the count, and a read that
// empties the ring leaves the positions where they are. Either side alone
// announcing it changes nothing.
TEST(SplitRing, EachSideMovesOnlyItsOwnPositionAndOnlyWhenBothAgree) {
    const uint8_t src[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t dst[12] = {};
    Block b(k_cap10);
    b.bind_and_attach(true);
    for (int idx = 0; idx < 2; ++idx) {
        EXPECT_EQ(b.srv->rb[idx].writer_proto, SHM_RB_SPLIT);
        EXPECT_EQ(b.srv->rb[idx].reader_proto, SHM_RB_SPLIT);
    }
    b.set_ring(0, 6, 8, 2);
    EXPECT_EQ(shm_srv_write(b.srv, src, 12), 8);
    EXPECT_EQ(state(b.srv, 0), (RingState{6, 6, 10}));
    EXPECT_EQ(shm_srv_write(b.srv, src, 1), -ENOSPC);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 3), 3);
    EXPECT_EQ(state(b.srv, 0), (RingState{9, 6, 7}));
    EXPECT_EQ(shm_cli_read(b.cli, dst, 12), 7);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 7), (std::vector<uint8_t>{2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(state(b.srv, 0), (RingState{6, 6, 0})) << "emptied, not reset: the writer goes by its own tail";

    // A release discards from the head under the lock, and a reservation
    // that needs the whole ring puts an empty one back at the start.
    EXPECT_EQ(shm_cli_write(b.cli, src, 4), 4);
    EXPECT_EQ(shm_cli_release_space(b.cli, 8), 2);
    EXPECT_EQ(state(b.srv, 1), (RingState{2, 4, 2}));
    EXPECT_EQ(shm_srv_read(b.srv, dst, 12), 2);
    EXPECT_EQ(dst[0], 3);
    const vexa::block::LinkRef l = vexa::block::find(b.cli);
    void *room = nullptr;
    ASSERT_EQ(vexa::block::ring_reserve(*l, 1, 10, &room), 10);
    EXPECT_EQ(room, reinterpret_cast<uint8_t *>(b.cli) + b.srv->rb[1].pbuf);
    EXPECT_EQ(vexa::block::ring_commit(*l, 1, 10), 10);
    EXPECT_EQ(state(b.srv, 1), (RingState{0, 0, 10}));

    // Split sides still refuse what they go by: a count or tail beyond the
    // ring (writer), a head beyond it (reader). Positions that disagree are
    // the peer's own garbling: served within the ring.
    b.set_ring(0, 0, 3, 11);
    EXPECT_EQ(shm_srv_write(b.srv, src, 1), -EPROTO);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 1), -EPROTO);
    b.set_ring(0, 11, 3, 3);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 1), -EPROTO);
    b.set_ring(0, 2, 5, 9);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 12), 9);
    EXPECT_EQ(state(b.srv, 0), (RingState{1, 5, 0}));

    // The client's detach takes its announcements back: the next client of
    // the bind may be of a version that knows none. One that does not speak
    // it (the block-level attach) is written to with the lock, and writes
    // with it; a split read meets a locked write under the same lock, so
    // both readers read split (the server because it speaks it, the client
    // because the server announced it).
    ASSERT_EQ(shm_membuf_disconnect(b.cli), 0);
    ASSERT_EQ(shm_membuf_disconnect_cb(b.cli), 0);
    EXPECT_EQ(b.srv->rb[0].reader_proto, 0);
    EXPECT_EQ(b.srv->rb[1].writer_proto, 0);
    ASSERT_EQ(shm_membuf_connect(b.cli, b.size), 0);
    b.set_ring(1, 6, 8, 2);
    EXPECT_EQ(shm_cli_write(b.cli, src, 3), 3);
    EXPECT_EQ(shm_srv_read(b.srv, dst, 12), 5);
    EXPECT_EQ(state(b.srv, 1), (RingState{1, 1, 0}));
    b.set_ring(0, 6, 8, 2);
    EXPECT_EQ(shm_srv_write(b.srv, src, 3), 3);
    EXPECT_EQ(shm_cli_read(b.cli, dst, 12), 5);
    EXPECT_EQ(state(b.srv, 0), (RingState{1, 1, 0}));
}

// A hostile peer that rewrites the ring fields while this process works on
// the ring (the check-then-use window): every operation either refuses or
// moves bytes within the caller's buffer and the ring's data area. Run under
// AddressSanitizer, an access outside them is a fault.
// With split, the rings run the split protocol, and the peer also flips the
// announcements: either protocol, or a switch between them under way, keeps
// every operation within bounds.
void flip_fields_during_operations(bool split) {
    SCOPED_TRACE(split ? "split" : "locked");
    Block b(2 * 4096);
    b.bind_and_attach(split);
    const uint64_t cap = b.srv->rb[0].end;
    // Every refusal logs a line: thousands a second here.
    shm_log_set_func([](int32_t, const char *, va_list) { return 0; }, 0, 1, 2);
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        std::mt19937_64 rng(7);
        const uint64_t wild[] = {0, 1, cap / 2, cap - 1, cap, cap + 1, 1ull << 32, ~0ull, ~0ull - cap, shm_membuf_size};
        while (!stop.load(std::memory_order_relaxed)) {
            shm_ringbuf &rb = b.cli->rb[rng() & 1];
            uint64_t *fields[] = {&rb.head, &rb.tail, &rb.has_data, &rb.pbuf, &rb.end};
            uint64_t *f = fields[rng() % 5];
            const uint64_t saved = vexa::block::ref(*f).load(std::memory_order_relaxed);
            vexa::block::ref(*f).store(wild[rng() % std::size(wild)], std::memory_order_relaxed);
            if (rng() % 4 == 0) vexa::block::ref(*f).store(saved, std::memory_order_relaxed);
            vexa::block::ref(rb.drops).fetch_add(static_cast<uint32_t>(rng() % 2), std::memory_order_relaxed);
            if (split && rng() % 8 == 0)
                std::atomic_ref<uint8_t>(rng() & 1 ? rb.writer_proto : rb.reader_proto)
                    .store(static_cast<uint8_t>(rng() % 3), std::memory_order_relaxed);
#ifndef VEXA_TSAN
            // Bytes under an open view or a copy (a race by design, which
            // ThreadSanitizer would rightly report).
            uint8_t *data = reinterpret_cast<uint8_t *>(b.cli) + shm_membuf_size;
            data[rng() % (2 * cap)] = static_cast<uint8_t>(rng());
#endif
        }
    });
    // A reservation or view must lie within its ring's data area, in the
    // caller's own mapping.
    auto inside = [&](shm_membuf *mb, int idx, const void *p, int64_t n) {
        const uint8_t *ring = reinterpret_cast<uint8_t *>(mb) + shm_membuf_size + static_cast<uint64_t>(idx) * cap;
        const auto *q = static_cast<const uint8_t *>(p);
        return q >= ring && q + n <= ring + cap;
    };
    std::mt19937_64 rng(11);
    size_t ops = 0;
    int64_t bad = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (bad == 0 && std::chrono::steady_clock::now() < until) {
        const size_t len = 1 + rng() % (2 * cap);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[len]); // exact size: ASan sees one byte beyond it
        memset(buf.get(), 0x5a, len);
        const int idx = static_cast<int>(rng() & 1);
        shm_membuf *writer = idx == 0 ? b.srv : b.cli;
        shm_membuf *reader = idx == 0 ? b.cli : b.srv;
        for (const int64_t r : {shm_ringbuf_write(writer, idx, buf.get(), len), shm_ringbuf_read(reader, idx, buf.get(), len),
                                shm_ringbuf_release_space(writer, idx, len % (cap + 1))})
            if (!(r == -EPROTO || r == -ENOSPC || r == -EAGAIN || (r >= 0 && static_cast<uint64_t>(r) <= len))) bad = r;
        // In place: the bytes are written and read where the ring has them.
        const vexa::block::LinkRef lw = vexa::block::find(writer), lr = vexa::block::find(reader);
        void *room = nullptr;
        const void *seen = nullptr;
        int64_t r = vexa::block::ring_reserve(*lw, idx, len % (cap + 1), &room);
        if (r > 0) {
            if (!inside(writer, idx, room, r)) bad = 1;
            memset(room, 0x33, static_cast<size_t>(r));
            r = vexa::block::ring_commit(*lw, idx, rng() % (static_cast<uint64_t>(r) + 1));
        }
        if (!(r == -EPROTO || r == -ENOSPC || r >= 0)) bad = r;
        r = vexa::block::ring_view(*lr, idx, &seen);
        if (r > 0) {
            if (!inside(reader, idx, seen, r)) bad = 2;
            unsigned sum = 0;
            for (int64_t i = 0; i < r; ++i) sum += static_cast<const volatile uint8_t *>(seen)[i];
            (void)sum;
            r = vexa::block::ring_consume(*lr, idx, rng() % (static_cast<uint64_t>(r) + 1));
        }
        if (!(r == -EPROTO || r == -EAGAIN || r == -ESTALE || r >= 0)) bad = r;
        ++ops;
    }
    stop = true;
    flipper.join();
    shm_log_set_func(nullptr, 0, 1, 2);
    EXPECT_EQ(bad, 0) << "a result outside the documented ones";
    EXPECT_GT(ops, 100u);
}

TEST(HostileRace, FieldsFlippedDuringOperationsNeverMoveMemoryOutsideTheRing) {
    for (const bool split : {false, true})
        flip_fields_during_operations(split);
}

TEST(BlockLifecycle, BindRefusesABoundOrAttachedBlock) {
    Block b(1000);
    ASSERT_EQ(shm_membuf_bind(b.srv, 1000), 0);
    const shm_membuf before = *b.srv;
    vt::StdoutCapture cap;
    EXPECT_EQ(shm_membuf_bind(b.srv, 1000), -EBUSY);
    EXPECT_NE(cap.finish().find("already binded, aborted\n"), std::string::npos);
    EXPECT_EQ(memcmp(&before, b.srv, sizeof before), 0) << "a refused bind changes nothing";

    EXPECT_EQ(shm_membuf_unbind(b.srv), 0);
    b.srv->flags = SHM_CONNECTED; // a client that has not noticed yet
    EXPECT_EQ(shm_membuf_bind(b.srv, 1000), -EBUSY);
    b.srv->flags = 0;
    EXPECT_EQ(shm_membuf_bind(nullptr, 1000), -EINVAL);
}

TEST(BlockLifecycle, RebindDrawsNewNames) {
    Block b(1000);
    ASSERT_EQ(shm_membuf_bind(b.srv, 1000), 0);
    auto counter_of = [](const char *name) { return std::stoi(std::string(name).substr(std::string(name).rfind('_') + 1)); };
    const int first = counter_of(b.srv->srv_hup.name);
    EXPECT_EQ(counter_of(b.srv->rb[0].lock.name), first + 1);
    EXPECT_EQ(counter_of(b.srv->rb[0].event.name), first + 3);
    EXPECT_EQ(counter_of(b.srv->rb[1].event.name), first + 6);
    EXPECT_EQ(std::string(b.srv->rb[1].event.name).rfind("Global\\SHMEM_event", 0), 0u);
    ASSERT_EQ(shm_membuf_unbind(b.srv), 0);
    ASSERT_EQ(shm_membuf_bind(b.srv, 1000), 0);
    EXPECT_GE(counter_of(b.srv->srv_hup.name), first + 7);

    // A seven-digit pid: its event names stop fitting the pattern at counter
    // 1000 (143 rebinds); over ten thousand names (1,400 rebinds) none is cut,
    // none repeats, and every mutex name is one a listener accepts.
    std::set<std::string> seen;
    for (uint32_t pid : {1u, 4194303u})
        for (uint32_t counter = 0; counter < 10000; ++counter)
            for (bool event : {false, true}) {
                char name[32];
                memset(name, 0x7f, sizeof name);
                vexa::block::format_name_for(name, event, pid, counter);
                ASSERT_NE(memchr(name, 0, sizeof name), nullptr);
                // Names travel as all 32 bytes: nothing of the old buffer may follow.
                ASSERT_TRUE(std::all_of(name + strlen(name), name + sizeof name, [](char c) { return c == 0; }));
                ASSERT_TRUE(seen.insert(name).second) << name;
                EXPECT_EQ(vexa::block::hup_name_shape(name), !event) << name;
            }
    char top[32];
    vexa::block::format_name_for(top, true, 14776335u, UINT32_MAX);
    EXPECT_STREQ(top, "Global\\SHMEM_eventxzzzz_4gfFC3") << "the largest pid and counter still fit";
}

// A client whose link the server has ended (the block laid out anew while the
// client still holds its old objects, as after it was declared dead) moves no
// byte through the new bind, and says so.
TEST(BlockLifecycle, AClientOfAnEndedBindMovesNoByte) {
    for (const bool split : {false, true}) {
        SCOPED_TRACE(split ? "split" : "locked");
        Block b(1000);
        b.bind_and_attach(split);
        ASSERT_EQ(shm_cli_write(b.cli, "old", 3), 3);
        if (split) {
            // A client's write without the lock under way as the server
            // retires the bind: the retirement waits for its end.
            std::atomic_ref<uint8_t>(b.cli->rb[1].writing).store(1);
            std::atomic<bool> unbound{false};
            std::thread server([&] {
                shm_membuf_unbind(b.srv);
                unbound = true;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a moment in which it must still wait
            EXPECT_FALSE(unbound) << "the bind was retired under a write in progress";
            std::atomic_ref<uint8_t>(b.cli->rb[1].writing).store(0);
            server.join();
        } else {
            ASSERT_EQ(shm_membuf_unbind(b.srv), 0);
        }
        vexa::block::ref(b.srv->flags).store(0); // the server's rebuild clears the client's claim
        ASSERT_EQ(vexa::block::bind(b.srv, 1000, nullptr, split), 0);
        char buf[8];
        EXPECT_EQ(shm_cli_write(b.cli, "ghost", 5), -ENOTCONN);
        EXPECT_EQ(shm_cli_release_space(b.cli, 10), -ENOTCONN);
        EXPECT_EQ(shm_srv_write(b.srv, "new", 3), 3);
        EXPECT_EQ(shm_cli_read(b.cli, buf, sizeof buf), -ENOTCONN);
        EXPECT_EQ(shm_srv_has_data(b.srv), 0u);
        EXPECT_EQ(shm_cli_has_data(b.cli), 3u) << "the new bytes stay for the next client";
        shm_membuf_disconnect(b.cli);
        shm_membuf_disconnect_cb(b.cli);
    }
}

TEST(BlockLifecycle, AProcessHoldsAsManyLinksAsItLikes) {
    // Links once lived in a fixed table: the 257th bind failed with no word
    // in the log. Each block here keeps its own bytes.
    std::vector<std::unique_ptr<Block>> blocks;
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(std::make_unique<Block>(1000, "many"));
        ASSERT_EQ(shm_membuf_bind(blocks.back()->srv, 1000), 0) << "link " << i;
        const int32_t tag = i;
        ASSERT_EQ(shm_srv_write(blocks.back()->srv, &tag, sizeof tag), 4) << "link " << i;
    }
    for (int i = 0; i < 300; ++i) {
        int32_t tag = -1;
        memcpy(&tag, blocks[i]->data(0), sizeof tag);
        EXPECT_EQ(tag, i) << "one link's bytes in another";
    }
}

TEST(BlockLifecycle, ConnectRefusalsLeaveTheBlockAsFound) {
    Block b(1000);
    b.open_client();
    EXPECT_EQ(shm_membuf_connect(b.cli, 1000), SHM_E_NOT_READY);
    ASSERT_EQ(shm_membuf_bind(b.srv, 1000), 0);
    // A name in the client's slot shows any write into the header.
    memcpy(b.srv->cli_hup.name, "as found", 9);
    shm_membuf found;
    memcpy(&found, b.srv, sizeof found);
    EXPECT_EQ(shm_membuf_connect(b.cli, 900), SHM_E_BAD_SIZE);
    EXPECT_EQ(memcmp(b.srv, &found, sizeof found), 0) << "a refused size";
    b.srv->magic[0] = 'x';
    memcpy(&found, b.srv, sizeof found);
    EXPECT_EQ(shm_membuf_connect(b.cli, 1000), SHM_E_BAD_MAGIC);
    EXPECT_EQ(memcmp(b.srv, &found, sizeof found), 0) << "a refused magic";
    b.srv->magic[0] = 'o';
    b.srv->cli_hup.name[0] = 0;
    b.srv->rb[1].end += 1; // a layout this size cannot give
    EXPECT_EQ(shm_membuf_connect(b.cli, 1000), -EPROTO);
    b.srv->rb[1].end -= 1;

    ASSERT_EQ(shm_membuf_connect(b.cli, 1000), 0);
    EXPECT_EQ(shm_membuf_is_connected(b.srv), 2);
    EXPECT_EQ(shm_membuf_is_ready(b.srv), 1);
    EXPECT_EQ(shm_membuf_connect(b.cli, 1000), SHM_E_ALREADY_CONNECTED);
    EXPECT_EQ(shm_membuf_is_connected(b.srv), 2) << "a refused claim never clears the winner's bit";
    EXPECT_NE(b.srv->cli_hup.name[0], 0);

    EXPECT_EQ(shm_membuf_disconnect(b.cli), 0);
    EXPECT_EQ(shm_membuf_is_connected(b.srv), 0);
    EXPECT_NE(b.srv->cli_hup.creator_handle, 0u) << "the hang-up mutex stays open until disconnect_cb";
    EXPECT_EQ(shm_membuf_disconnect_cb(b.cli), 0);
    EXPECT_EQ(b.srv->cli_hup.creator_handle, 0u);

    EXPECT_EQ(shm_membuf_is_connected(nullptr), -EINVAL);
    EXPECT_EQ(shm_membuf_is_ready(nullptr), -EINVAL);
    EXPECT_EQ(shm_srv_has_data(nullptr), 0u);
    EXPECT_EQ(shm_cli_has_data(nullptr), 0u);
    EXPECT_EQ(shm_srv_write(nullptr, "x", 1), -EINVAL);
    EXPECT_EQ(shm_cli_read(b.cli, nullptr, 1), -EINVAL);
}

TEST(BlockLifecycle, UnbindClosesEveryServerHandleAndLeavesTheFlags) {
    Block b(1000);
    b.bind_and_attach();
    ASSERT_EQ(shm_membuf_unbind(b.srv), 0);
    EXPECT_EQ(b.srv->flags, SHM_CONNECTED);
    for (const shm_ringbuf &rb : b.srv->rb) {
        EXPECT_EQ(rb.lock.creator_handle, 0u);
        EXPECT_EQ(rb.req.creator_handle, 0u);
        EXPECT_EQ(rb.event.creator_handle, 0u);
    }
    EXPECT_EQ(b.srv->srv_hup.creator_handle, 0u);
    uint8_t x = 0;
    EXPECT_LT(shm_srv_write(b.srv, &x, 1), 0) << "an unbound side moves no bytes";
}

TEST(Sleep, WaitTimesOutAndNotifyEndsItEarly) {
    Block b(1000);
    b.bind_and_attach();
    EXPECT_EQ(shm_srv_notify(b.srv), -1) << "nobody sleeps";
    EXPECT_EQ(shm_srv_wait(b.srv), ETIMEDOUT) << "a notify without a sleeper leaves nothing behind";
    EXPECT_EQ(b.srv->rb[1].waiting, 0);

    b.srv->rb[1].waiting = 1;
    EXPECT_EQ(shm_srv_wait(b.srv), -1) << "one sleeper per ring";
    b.srv->rb[1].waiting = 0;

    std::atomic<int> result{-100};
    std::thread sleeper([&] { result = shm_srv_wait(b.srv); });
    ASSERT_TRUE(vt::wait_until([&] { return shm_srv_notify(b.srv) == 0; }));
    sleeper.join();
    EXPECT_EQ(result, 0);
}

TEST(Sleep, AWriteNeverLeavesItsReaderAsleep) {
    Block b(1000);
    b.bind_and_attach();
    // The client writes just as the server is about to sleep: the wait must
    // not sleep through it, whichever comes first.
    for (int i = 0; i < 200; ++i) {
        std::atomic<bool> go{false};
        std::thread writer([&] {
            while (!go) {
            }
            shm_cli_write(b.cli, "x", 1);
        });
        go = true;
        int r = 0;
        while (shm_srv_has_data(b.srv) == 0 && (r = shm_srv_wait(b.srv)) != ETIMEDOUT) {
        }
        writer.join();
        ASSERT_NE(r, ETIMEDOUT) << "round " << i;
        char c;
        ASSERT_EQ(shm_srv_read(b.srv, &c, 1), 1);
    }
}

// A read that empties the ring sets its positions back to 0, so the next
// write of as many bytes leaves the tail where it stood: a reader that waits
// for a write since it last looked must not take that write for none (it
// slept out its second).
TEST(Sleep, AWriteThatRefillsAnEmptiedRingWakesAReaderThatLookedBefore) {
    Block b(1000);
    b.bind_and_attach();
    ASSERT_EQ(shm_cli_write(b.cli, "abc", 3), 3);
    const vexa::block::LinkRef l = vexa::block::find(b.srv);
    ASSERT_TRUE(l);
    const vexa::block::Seen seen = vexa::block::seen_now(*l, 1);
    char buf[3];
    ASSERT_EQ(shm_srv_read(b.srv, buf, 3), 3);
    ASSERT_EQ(shm_cli_write(b.cli, "def", 3), 3);
    ASSERT_EQ(b.srv->rb[1].tail, seen.tail) << "the refill leaves the tail as it was";
    const auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(vexa::block::side_wait(*l, 1, nullptr, nullptr, false, &seen, true), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t, std::chrono::milliseconds(500)) << "slept through the write";
}

TEST(Sleep, UnbindWakesASleepingClient) {
    Block b(1000);
    b.bind_and_attach();
    std::atomic<int> result{-100};
    std::thread sleeper([&] { result = shm_cli_wait(b.cli); });
    ASSERT_TRUE(vt::wait_until([&] { return vexa::block::ref(b.cli->rb[0].waiting).load() != 0; }));
    ASSERT_EQ(shm_membuf_unbind(b.srv), 0);
    sleeper.join();
    EXPECT_EQ(result, 0);
}

// ---------------------------------------------------------------------------
// Two processes

// Deterministic stream contents: byte i of a direction.
uint8_t pattern(uint64_t i, uint8_t seed) { return static_cast<uint8_t>((i * 131 + (i >> 9) + seed) & 0xFF); }

// Moves total bytes each way at once, random sizes, checking every byte.
// Returns an empty string or what went wrong.
std::string stream(shm_membuf *mb, bool server, uint64_t total, unsigned seed, size_t chunk) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> buf(chunk);
    uint64_t sent = 0, got = 0;
    const uint8_t out_seed = server ? 1 : 2, in_seed = server ? 2 : 1;
    auto last_progress = std::chrono::steady_clock::now();
    while (sent < total || got < total) {
        bool progress = false;
        // A peer that failed stops reading: fail rather than wait for ever.
        if (std::chrono::steady_clock::now() - last_progress > std::chrono::seconds(20)) return "stalled";
        if (sent < total) {
            const size_t n = std::min<uint64_t>(total - sent, 1 + rng() % buf.size());
            for (size_t i = 0; i < n; ++i) buf[i] = pattern(sent + i, out_seed);
            const ssize_t w = server ? shm_srv_write(mb, buf.data(), n) : shm_cli_write(mb, buf.data(), n);
            if (w > 0) sent += static_cast<uint64_t>(w), progress = true;
            else if (w != -ENOSPC) return "write failed: " + std::to_string(w);
        }
        if (got < total) {
            const size_t n = 1 + rng() % buf.size();
            const ssize_t r = server ? shm_srv_read(mb, buf.data(), n) : shm_cli_read(mb, buf.data(), n);
            if (r > 0) {
                for (ssize_t i = 0; i < r; ++i)
                    if (buf[i] != pattern(got + i, in_seed)) return "corrupt byte at " + std::to_string(got + i);
                got += static_cast<uint64_t>(r);
                progress = true;
            } else if (r != -EAGAIN) {
                return "read failed: " + std::to_string(r);
            }
        }
        // A read wakes nobody, so a writer waiting for room yields; only a
        // side with nothing left to send sleeps until bytes come.
        if (progress) last_progress = std::chrono::steady_clock::now();
        if (!progress) {
            if (sent < total) std::this_thread::yield();
            else server ? shm_srv_wait(mb) : shm_cli_wait(mb);
        }
    }
    return "";
}

// Child: attaches to argv[0] of size argv[1] and runs argv[2].
VT_CHILD_ROLE(membuf_client) {
    const std::string name = argv[0];
    const size_t size = std::stoul(argv[1]);
    const std::string mode = argv[2];
    void *fd = nullptr;
    shm_membuf *mb = vt::map_region(name, size, &fd);
    if (!mb) return 2;
    if (mode == "claim") {
        std::string go;
        vt::child_recv(go);
        vt::child_send(std::to_string(shm_membuf_connect(mb, size)));
        vt::child_recv(go); // hold the claim until the parent has counted
        return 0;
    }
    const bool split = argc > 5 && std::string(argv[5]) == "split";
    if (vexa::block::connect(mb, size, nullptr, split) != 0) return 3;
    vt::child_send("attached");
    if (mode == "stream") {
        std::string err = stream(mb, false, std::stoull(argv[3]), 7, std::stoul(argv[4]));
        vt::child_send(err.empty() ? "ok" : err);
    } else if (mode == "echo") {
        const int rounds = std::stoi(argv[3]);
        char msg[64];
        for (int i = 0; i < rounds; ++i) {
            ssize_t r;
            while ((r = shm_cli_read(mb, msg, sizeof msg)) == -EAGAIN) shm_cli_wait(mb);
            if (r != sizeof msg || shm_cli_write(mb, msg, sizeof msg) != sizeof msg) return 4;
        }
    }
    shm_membuf_disconnect(mb);
    shm_membuf_disconnect_cb(mb);
    shmt_unmap(mb, size);
    shmt_close(fd);
    return 0;
}

// Small rings wrap often and copy under the lock; large chunks through a
// larger ring are copied with the lock given back, both sides at once. Both
// protocols: the locked one, and the split one that endpoints agree on.
TEST(TwoProcesses, MegabytesBothWaysArriveIntact) {
    struct Case {
        size_t cap, chunk;
        bool split;
    };
    for (const Case c : {Case{1021, 4096, false}, Case{65521, 24000, false}, Case{1021, 4096, true},
                         Case{65521, 24000, true}}) {
        SCOPED_TRACE(c.split ? "split" : "locked");
        Block b(shm_membuf_size + 2 * c.cap); // odd capacities: many wraps
        ASSERT_EQ(vexa::block::bind(b.srv, b.size, nullptr, c.split), 0);
        const uint64_t total = c.cap < 4096 ? 8u << 20 : 64u << 20;
        auto child = vt::Child::spawn("membuf_client", {b.name, std::to_string(b.size), "stream", std::to_string(total),
                                                        std::to_string(c.chunk), c.split ? "split" : "locked"});
        ASSERT_TRUE(child.expect("attached"));
        EXPECT_EQ(stream(b.srv, true, total, 3, c.chunk), "") << c.cap;
        std::string verdict;
        ASSERT_TRUE(child.recv(verdict, 60000));
        EXPECT_EQ(verdict, "ok") << c.cap;
        EXPECT_EQ(child.wait(), 0);
    }
}

TEST(TwoProcesses, PingPongNeverWaitsOutItsTimeout) {
    Block b(4096);
    ASSERT_EQ(shm_membuf_bind(b.srv, b.size), 0);
    const int rounds = 20000;
    auto child = vt::Child::spawn("membuf_client", {b.name, std::to_string(b.size), "echo", std::to_string(rounds)});
    ASSERT_TRUE(child.expect("attached"));
    char msg[64] = "ping";
    int timeouts = 0;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(shm_srv_write(b.srv, msg, sizeof msg), static_cast<ssize_t>(sizeof msg));
        ssize_t r;
        while ((r = shm_srv_read(b.srv, msg, sizeof msg)) == -EAGAIN)
            if (shm_srv_wait(b.srv) == ETIMEDOUT) ++timeouts;
        ASSERT_EQ(r, static_cast<ssize_t>(sizeof msg));
    }
    EXPECT_EQ(timeouts, 0) << "a reply landed while the reader went to sleep";
    EXPECT_EQ(child.wait(), 0);
}

TEST(TwoProcesses, OfRacingClaimsExactlyOneWins) {
    for (int round = 0; round < 20; ++round) {
        Block b(1000);
        ASSERT_EQ(shm_membuf_bind(b.srv, 1000), 0);
        auto c1 = vt::Child::spawn("membuf_client", {b.name, "1000", "claim"});
        auto c2 = vt::Child::spawn("membuf_client", {b.name, "1000", "claim"});
        c1.send("go");
        c2.send("go");
        std::string r1, r2;
        ASSERT_TRUE(c1.recv(r1));
        ASSERT_TRUE(c2.recv(r2));
        const int wins = (r1 == "0") + (r2 == "0");
        EXPECT_EQ(wins, 1) << r1 << " " << r2;
        EXPECT_TRUE(r1 == std::to_string(SHM_E_ALREADY_CONNECTED) || r2 == std::to_string(SHM_E_ALREADY_CONNECTED));
        EXPECT_EQ(shm_membuf_is_connected(b.srv), 2);
        c1.send("done");
        c2.send("done");
        EXPECT_EQ(c1.wait(), 0);
        EXPECT_EQ(c2.wait(), 0);
    }
}

} // namespace
