// Logging and error reporting: the line format and its UTC offset, the hook
// and its level values, the debug gate, and the mappings of platform errors
// and wait results to errno values.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "internals.h"
#include "test_util.h"
#include "vexa-port/shm_types.h"

namespace {

struct HookLine {
    int level;
    std::string fmt;
    std::string text;
};
std::vector<HookLine> g_hook_lines;

int recording_hook(int32_t level, const char *fmt, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, args);
    g_hook_lines.push_back({level, fmt, text});
    return 0;
}

// Every test starts from the layer's initial settings and leaves them so.
class Logs : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hook_lines.clear();
        shm_log_set_func(nullptr, 0, 1, 2);
        shm_log_set_debug(0);
    }
    void TearDown() override {
        shm_log_set_func(nullptr, 0, 1, 2);
        shm_log_set_debug(0);
    }
    static std::vector<std::string> texts() {
        std::vector<std::string> v;
        for (auto &l : g_hook_lines) v.push_back(l.text);
        return v;
    }
};

// Child: takes a time zone, prints the prefix of a known moment and one real
// line, and sends both back.
VT_CHILD_ROLE(log_prefix) {
    setenv("TZ", argv[0], 1);
    tzset();
    struct tm when {};
    when.tm_year = 2025 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 2;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 3;
    when.tm_isdst = -1;
    struct timeval tv {mktime(&when), 7999};
    char prefix[256];
    vexa::log::format_prefix(prefix, sizeof prefix, tv, SHM_LOG_ERR);
    vt::child_send(prefix);
    vt::StdoutCapture cap;
    shm_log_info("value %d\n", 42);
    shm_log_error("no line feed, ");
    shm_log_error("continued\n");
    std::string out = cap.finish();
    for (size_t pos; (pos = out.find('\n')) != std::string::npos; out.erase(0, pos + 1))
        vt::child_send(out.substr(0, pos));
    return 0;
}

struct PrefixCase {
    const char *tz;
    const char *zone;
};

class LogPrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(LogPrefix, FormatsLocalTimeWithOffsetAndLevel) {
    auto c = GetParam();
    auto child = vt::Child::spawn("log_prefix", {c.tz});
    std::string prefix, info, unended, next;
    ASSERT_TRUE(child.recv(prefix));
    ASSERT_TRUE(child.recv(info));
    ASSERT_TRUE(child.recv(unended));
    ASSERT_TRUE(child.recv(next));
    EXPECT_EQ(child.wait(), 0);

    EXPECT_EQ(prefix, std::string("[2025-01-02 09:05:03.007 ") + c.zone + "] [ERR] ");
    const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ([+-]\d{4})\] \[INFO\] value 42)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(info, m, line)) << info;
    EXPECT_EQ(m[1], c.zone);
    // A format without a line feed is ended by the writer: the next line
    // never runs on from it.
    EXPECT_NE(unended.find("] [ERR] no line feed, "), std::string::npos) << unended;
    EXPECT_EQ(unended.find("continued"), std::string::npos) << unended;
    EXPECT_NE(next.find("] [ERR] continued"), std::string::npos) << next;
}

INSTANTIATE_TEST_SUITE_P(Zones, LogPrefix,
                         ::testing::Values(PrefixCase{"UTC0", "+0000"}, PrefixCase{"XXX-1", "+0100"},
                                           PrefixCase{"IST-5:30", "+0530"}, PrefixCase{"BRT3", "-0300"},
                                           // Summer time: the printed offset includes the DST hour.
                                           PrefixCase{"EST5EDT,M1.1.0,M12.31.0", "-0400"}),
                         [](const auto &info) {
                             std::string n = info.param.zone;
                             return std::string(n[0] == '-' ? "Minus" : "Plus") + n.substr(1);
                         });

TEST_F(Logs, HookReceivesInstalledLevelsAndUnexpandedFormat) {
    shm_log_set_func(recording_hook, 10, 20, 30);
    shm_log_set_debug(1);
    vt::StdoutCapture cap;
    shm_log_error("e %d\n", 1);
    shm_log_info("i %s\n", "x");
    shm_log_debug("d %u\n", 3u);
    EXPECT_EQ(cap.finish(), "") << "the stream must stay silent while a hook is installed";
    ASSERT_EQ(g_hook_lines.size(), 3u);
    EXPECT_EQ(g_hook_lines[0].level, 10);
    EXPECT_EQ(g_hook_lines[1].level, 20);
    EXPECT_EQ(g_hook_lines[2].level, 30);
    EXPECT_EQ(g_hook_lines[0].fmt, "e %d\n");
    EXPECT_EQ(texts(), (std::vector<std::string>{"e 1\n", "i x\n", "d 3\n"}));
}

TEST_F(Logs, DebugGateDropsLinesUntilSwitchedOn) {
    shm_log_set_func(recording_hook, 0, 1, 2);
    shm_log_debug("hidden\n");
    EXPECT_TRUE(g_hook_lines.empty());
    shm_log_set_debug(7);
    shm_log_debug("shown\n");
    shm_log_set_debug(0);
    shm_log_debug("hidden again\n");
    EXPECT_EQ(texts(), std::vector<std::string>{"shown\n"});

    shm_log_set_func(nullptr, 0, 1, 2);
    vt::StdoutCapture cap;
    shm_log_debug("not written\n");
    EXPECT_EQ(cap.finish(), "");
}

TEST_F(Logs, RemovingTheHookWritesToTheStreamAgain) {
    shm_log_set_func(recording_hook, 5, 6, 7);
    shm_log_set_func(nullptr, 5, 6, 7);
    vt::StdoutCapture cap;
    shm_log_error("to the stream %d\n", 9);
    std::string out = cap.finish();
    EXPECT_TRUE(g_hook_lines.empty());
    // The line writer uses its own fixed level numbers, not the hook's values.
    EXPECT_NE(out.find("] [ERR] to the stream 9\n"), std::string::npos) << out;
}

TEST_F(Logs, OverlongFormatIsCutAtTheLineBuffer) {
    std::string fmt(3000, 'a');
    vt::StdoutCapture cap;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    shm_log_info(fmt.c_str());
#pragma GCC diagnostic pop
    std::string out = cap.finish();
    EXPECT_EQ(out.size(), 1024u) << "the line is cut to 1024 characters, its line feed included";
    EXPECT_EQ(out.back(), '\n');
}

// The platform's causes and wait results become errno values, whatever
// form the platform keeps them in; a failed wait maps the thread's last
// error. Each mapping traces itself once at debug level.
TEST_F(Logs, PlatformCausesAndWaitResultsBecomeErrnoValues) {
    shm_log_set_func(recording_hook, 0, 1, 2);
    shm_log_set_debug(1);
    struct Case {
        DWORD platform;
        int32_t expected;
    };
    for (auto c : {Case{2, 2}, Case{5, 13}, Case{6, 9}, Case{183, 17}, Case{0, 0}, Case{87, 87},
                   Case{error_from_errno(EIO), EIO}, Case{error_from_errno(ENOSPC), ENOSPC}}) {
        SetLastError(c.platform);
        EXPECT_EQ(map_error(), c.expected) << c.platform;
    }
    EXPECT_EQ(map_lock_error(WAIT_OBJECT_0), 0);
    EXPECT_EQ(map_lock_error(WAIT_ABANDONED), EOWNERDEAD);
    EXPECT_EQ(map_lock_error(WAIT_TIMEOUT), ETIMEDOUT);
    g_hook_lines.clear();
    SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_EQ(map_lock_error(WAIT_FAILED), EBADF);
    EXPECT_EQ(texts(), (std::vector<std::string>{"map_error 6 -> 9\n",
                                                 "map_lock_error 4294967295 (WAIT_FAILED) -> 9\n"}));
}

TEST(StrError, ChannelCodesAndRuntimeTexts) {
    EXPECT_STREQ(shm_strerror(SHM_E_NOT_READY), "connect error: Shared memory is not ready");
    EXPECT_STREQ(shm_strerror(SHM_E_BAD_MAGIC), "connect error: Bad magic");
    EXPECT_STREQ(shm_strerror(SHM_E_BAD_SIZE), "connect error: Bad size");
    EXPECT_STREQ(shm_strerror(SHM_E_REJECTED), "connection rejected by user");
    EXPECT_STREQ(shm_strerror(SHM_E_ALREADY_CONNECTED), "connect error: already connected");
    // Just outside the range the runtime's texts apply. The runtime keeps the
    // text of an unknown code in a buffer that its next call frees, so each
    // text is copied before the other is asked for.
    EXPECT_EQ(std::string(shm_strerror(-37195)), std::string(strerror(37195)));
    EXPECT_EQ(std::string(shm_strerror(-37201)), std::string(strerror(37201)));
    EXPECT_STREQ(shm_strerror(-EINVAL), strerror(EINVAL));
    EXPECT_NE(shm_strerror(INT32_MIN), nullptr);
    // A text handed out stays valid when the runtime formats another one.
    const char *kept = shm_strerror(-37195);
    const std::string expected = kept;
    (void)strerror(37201);
    EXPECT_EQ(kept, expected);
}

} // namespace
