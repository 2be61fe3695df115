// Unloading the library while a channel is still open, as a server that
// crashes out of its session or simply forgets to disconnect does.
#include <gtest/gtest.h>

#include <algorithm>

#include "host_library.h"

namespace {

int Count(const std::vector<std::string> &v, const std::string &s) {
    return static_cast<int>(std::count(v.begin(), v.end(), s));
}

TEST(Unload, WhileConnectedDisconnectsExactlyOnce) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    ASSERT_TRUE(host.load());
    uint32_t channel = 0;
    ASSERT_EQ(host.api().Connect(ISO15765, 0, &channel), STATUS_NOERROR);
    EXPECT_EQ(channel, 1u);
    host.unload();
    auto messages = host.traceMessages();
    const std::string closing = "DLL Close without PassThruDisconnect() stopping it !!!";
    ASSERT_EQ(Count(messages, closing), 2);  // its entry and exit lines
    auto entry = std::find(messages.begin(), messages.end(), closing);
    auto exit = std::find(entry + 1, messages.end(), closing);
    EXPECT_EQ(std::count(entry, exit, "PassThruDisconnect()"), 2);
    EXPECT_EQ(Count(messages, "PassThruDisconnect()"), 2);
    // The worker has left before the trace was closed.
    EXPECT_EQ(Count(messages, "ThreadRead(end)"), 2);
}

TEST(Unload, AfterDisconnectDoesNotDisconnectAgain) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    ASSERT_TRUE(host.load());
    uint32_t channel = 0;
    ASSERT_EQ(host.api().Connect(ISO15765, 0, &channel), STATUS_NOERROR);
    ASSERT_EQ(host.api().Disconnect(channel), STATUS_NOERROR);
    host.unload();
    auto messages = host.traceMessages();
    EXPECT_EQ(Count(messages, "DLL Close without PassThruDisconnect() stopping it !!!"), 0);
    EXPECT_EQ(Count(messages, "PassThruDisconnect()"), 2);
}

TEST(Unload, ConnectAndUnloadAtOnceManyTimes) {
    // The worker must be running before connect returns and gone before the
    // library's code is unmapped; any slip shows as a crash here.
    HostLibrary host("[MORIX_VECTOR]\nTRACE=1\n");
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(host.load());
        uint32_t channel = 0;
        ASSERT_EQ(host.api().Connect(ISO15765, 0, &channel), STATUS_NOERROR) << "round " << i;
        host.unload();
    }
    // The last round's trace is complete up to its closing line.
    auto lines = host.traceLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("Close tracefile: "), std::string::npos);
}

}  // namespace
