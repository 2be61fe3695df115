// A tool that ends a channel or its device while another of its threads
// waits in PassThruReadMsgs or PassThruWriteMsgs: the waiting call returns at
// once with ERR_INVALID_CHANNEL_ID (the channel it named is gone) instead of
// running to its Timeout, and nothing of the freed device is touched (the
// sanitizer builds watch that).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "host0404.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kTimeoutMs = 8000;  // far beyond the moment of the end
constexpr auto kWaitBeforeEnd = std::chrono::milliseconds(150);

struct Outcome {
    uint32_t status, num;
    long long elapsedMs;
    std::string lastError;
};

enum class Call { Read, WriteCan, WriteIso };

// Sets the channel up so that the call waits: a read with nothing coming, a
// CAN write on a bus whose clock stands still, an ISO15765 request that no
// ECU answers with flow control.
void Prepare(Host0404 &host, Call call) {
    host.openChannel(call == Call::WriteIso ? ISO15765 : CAN);
    if (call == Call::Read) {
        ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
    } else if (call == Call::WriteIso) {
        ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    } else {
        vxlsim_set_real_timing(1);
        vxlsim_set_manual_clock(1);
    }
}

Outcome CallAndWait(const Api0404 &pt, uint32_t channel, Call call) {
    PASSTHRU_MSG msg = call == Call::WriteIso ? Msg0404(ISO15765, 0x7E0, Bytes(20, 0x22), ISO15765_FRAME_PAD)
                                              : Msg0404(CAN, 0x7E0, {0x02, 0x3E, 0x00});
    uint32_t num = 1;
    const Clock::time_point start = Clock::now();
    const uint32_t status = call == Call::Read ? pt.ReadMsgs(channel, &msg, &num, kTimeoutMs)
                                               : pt.WriteMsgs(channel, &msg, &num, kTimeoutMs);
    const long long elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    char text[80] = {};
    pt.GetLastError(text);
    return Outcome{status, num, elapsed, text};
}

TEST(CloseWakes0404, WaitingCallsReturnAtOnceWhenTheirChannelEnds) {
    for (const Call call : {Call::Read, Call::WriteCan, Call::WriteIso})
        for (const bool closeDevice : {false, true}) {  // PassThruClose, else PassThruDisconnect
            SCOPED_TRACE(testing::Message() << "call " << int(call) << (closeDevice ? ", close" : ", disconnect"));
            Host0404 host;
            Prepare(host, call);
            const Api0404 &pt = host.pt();
            const uint32_t channel = host.channel();
            std::future<Outcome> waiting = std::async(std::launch::async, [&] { return CallAndWait(pt, channel, call); });
            std::this_thread::sleep_for(kWaitBeforeEnd);
            ASSERT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(0)))
                << "the call did not wait";
            EXPECT_EQ(STATUS_NOERROR, closeDevice ? pt.Close(host.device()) : pt.Disconnect(channel));
            ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::milliseconds(kTimeoutMs / 2)))
                << "the call ran on to its Timeout";
            const Outcome out = waiting.get();
            EXPECT_EQ(ERR_INVALID_CHANNEL_ID, out.status);
            EXPECT_EQ(0u, out.num);
            EXPECT_LT(out.elapsedMs, static_cast<long long>(kTimeoutMs / 2));
            EXPECT_EQ(closeDevice ? "the device was closed while the call waited"
                                  : "the channel was disconnected while the call waited",
                      out.lastError);
            // The same call now finds no channel at all.
            EXPECT_EQ(ERR_INVALID_CHANNEL_ID, CallAndWait(pt, channel, call).status);
            vxlsim_set_manual_clock(0);
        }
}

// Many readers and writers at once on both channels of a device that is
// closed under them: every call ends, each with a status of its own, and the
// device's memory outlives them all.
TEST(CloseWakes0404, CloseUnderManyCallsOfBothChannels) {
    Host0404 host;
    ASSERT_EQ(STATUS_NOERROR, host.open());
    uint32_t can = 0, iso = 0;
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), CAN, 0, 500000, &can));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), ISO15765, 0, 500000, &iso));
    const Api0404 &pt = host.pt();
    std::vector<std::future<Outcome>> calls;
    for (int i = 0; i < 4; ++i) {
        calls.push_back(std::async(std::launch::async, [&] { return CallAndWait(pt, can, Call::Read); }));
        calls.push_back(std::async(std::launch::async, [&] { return CallAndWait(pt, iso, Call::Read); }));
        calls.push_back(std::async(std::launch::async, [&] { return CallAndWait(pt, can, Call::WriteCan); }));
    }
    std::this_thread::sleep_for(kWaitBeforeEnd);
    EXPECT_EQ(STATUS_NOERROR, pt.Close(host.device()));
    for (auto &call : calls) {
        ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::milliseconds(kTimeoutMs / 2)));
        const Outcome out = call.get();
        // A write may have been confirmed before the close.
        EXPECT_TRUE(out.status == ERR_INVALID_CHANNEL_ID || out.status == STATUS_NOERROR) << out.status;
    }
}

}  // namespace
