// Configuration records and thread objects: deep copies, naming, and the
// hand-shake between a thread and its owner in both orders.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "internals.h"
#include "test_util.h"
#include "vexa-port/shm_impl.h"
#include "vexa-port/shm_logs.h"
#include "vexa-port/shm_thread.h"
#include "vexa-port/shm_types.h"

namespace {

int32_t cb_connected(void *, shm_thread *) { return 0; }

TEST(Records, CopyOwnsItsPathAndDefaultsAMissingOne) {
    shm_data src{};
    src.endpoint = {nullptr, 4294967295u, 2097152, 65535};
    src.handlers.on_connected = cb_connected;
    src.handlers.user_data = &src;
    src.option = 7;
    shm_data dst{};
    ASSERT_EQ(copy_shm_data(&src, &dst), 0);
    EXPECT_STREQ(dst.endpoint.path, "/orvo_shm_ep");
    EXPECT_EQ(src.endpoint.path, nullptr) << "the source is not changed";
    EXPECT_EQ(dst.endpoint.timeout_us, 4294967295u);
    EXPECT_EQ(dst.endpoint.chunk_max, 65535);
    EXPECT_EQ(dst.handlers.on_connected, cb_connected);
    EXPECT_EQ(dst.handlers.user_data, &src);
    EXPECT_EQ(dst.option, 7);
    ASSERT_EQ(clear_shm_data(&dst), 0);
    EXPECT_EQ(dst.endpoint.path, nullptr);
    EXPECT_EQ(dst.handlers.on_connected, nullptr);
    EXPECT_EQ(dst.option, 0);
    EXPECT_EQ(clear_shm_data(&dst), 0) << "clearing twice frees nothing twice";

    char path[] = "/a-region";
    shm_endpoint ep{path, 1, 2, 3}, copy{};
    ASSERT_EQ(copy_shm_endpoint(&ep, &copy), 0);
    EXPECT_NE(copy.path, path);
    clear_shm_endpoint(&copy);
    EXPECT_STREQ(path, "/a-region") << "clearing a copy leaves the source's text";
}

TEST(Records, MissingPointersAreRefused) {
    shm_data d{};
    shm_endpoint e{};
    shm_handlers h{};
    EXPECT_EQ(copy_shm_data(nullptr, &d), -EINVAL);
    EXPECT_EQ(copy_shm_data(&d, nullptr), -EINVAL);
    EXPECT_EQ(clear_shm_data(nullptr), -EINVAL);
    EXPECT_EQ(copy_shm_endpoint(nullptr, &e), -EINVAL);
    EXPECT_EQ(copy_shm_endpoint(&e, nullptr), -EINVAL);
    EXPECT_EQ(clear_shm_endpoint(nullptr), -EINVAL);
    EXPECT_EQ(copy_shm_handlers(nullptr, &h), -EINVAL);
    EXPECT_EQ(copy_shm_handlers(&h, nullptr), -EINVAL);
    EXPECT_EQ(clear_shm_handlers(nullptr), -EINVAL);
}

TEST(ThreadObjects, NamesFollowTheKindAndAreCut) {
    std::string long_path(300, 'p');
    shm_data data{};
    data.endpoint.path = long_path.data();
    int32_t err = 0;
    shm_thread *srv = create_shm_thread(&data, SHM_SRV, &err);
    ASSERT_NE(srv, nullptr);
    EXPECT_EQ(strlen(srv->name), 255u);
    EXPECT_EQ(std::string(srv->name).rfind("shm_srv ppp", 0), 0u);
    const vexa::thread::Endpoint *ep = vexa::thread::endpoint_of(srv);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(ep->region, shmt_invalid_fd());
    EXPECT_EQ(ep->running, 0);
    destroy_shm_thread(srv);

    data.endpoint.path = nullptr;
    shm_thread *cli = create_shm_thread(&data, SHM_CLI, nullptr);
    EXPECT_STREQ(cli->name, "shm_cli /orvo_shm_ep");
    destroy_shm_thread(cli);

    shm_thread *hup = create_shm_thread(nullptr, SHM_HUP, &err);
    ASSERT_NE(hup, nullptr);
    EXPECT_STREQ(hup->name, "shm_hup_listener");
    EXPECT_EQ(vexa::thread::endpoint_of(hup), nullptr) << "a listener carries no configuration";
    destroy_shm_thread(hup);

    // An unknown kind is laid out and freed as an endpoint, with its own copy
    // of the configuration, but taken for none.
    shm_thread *odd = create_shm_thread(&data, 9, &err);
    ASSERT_NE(odd, nullptr);
    EXPECT_STREQ(odd->name, "");
    EXPECT_EQ(vexa::thread::endpoint_of(odd), nullptr);
    EXPECT_STREQ(static_cast<vexa::thread::Endpoint *>(odd)->data.endpoint.path, "/orvo_shm_ep");
    destroy_shm_thread(odd);
}

TEST(ThreadObjects, AMissingConfigurationFailsWithALine) {
    vt::StdoutCapture cap;
    int32_t err = 0;
    EXPECT_EQ(create_shm_thread(nullptr, SHM_SRV, &err), nullptr);
    EXPECT_EQ(err, -EINVAL);
    EXPECT_EQ(create_shm_thread(nullptr, SHM_CLI, nullptr), nullptr);
    EXPECT_NE(cap.finish().find("error while copy control object data"), std::string::npos);
    EXPECT_EQ(destroy_shm_thread(nullptr), -EINVAL);
}

// The hand-shake: whichever side comes first, one notice matches one wait,
// and the waiter may free the object as soon as its wait returns (the
// sanitizer builds see a notifier that touches it after its notice).
TEST(ThreadObjects, HandShakeWorksInBothOrders) {
    for (bool notify_first : {true, false}) {
        shm_thread *t = create_shm_thread(nullptr, SHM_HUP, nullptr);
        std::thread notifier;
        if (notify_first) {
            vexa::thread::notify(t);
        } else {
            // Most often the notice comes while the wait sleeps; either order
            // must hold.
            notifier = std::thread([t] { vexa::thread::notify(t); });
        }
        vexa::thread::wait(t);
        EXPECT_EQ(t->notices, 0u) << "the wait took the notice";
        destroy_shm_thread(t);
        if (notifier.joinable()) notifier.join();
    }
}

// The server's owner waits once for the notice at start and once for the one
// at stop: a notice is taken by one wait only, and none given is lost.
TEST(ThreadObjects, EachNoticeIsTakenOnce) {
    shm_thread *t = create_shm_thread(nullptr, SHM_HUP, nullptr);
    vexa::thread::notify(t);
    vexa::thread::notify(t);
    ASSERT_EQ(t->notices, 2u) << "a second wait would never return";
    vexa::thread::wait(t);
    EXPECT_EQ(t->notices, 1u);
    vexa::thread::wait(t);
    EXPECT_EQ(t->notices, 0u);
    destroy_shm_thread(t);
}

} // namespace
