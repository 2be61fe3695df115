// The 04.04 library's traffic where a slip would go unnoticed by a status
// code alone: what goes on the bus without a filter, what stops with a
// filter, what the clearing Ioctls leave, two channels on one device, the
// longest messages, how long writes and reads take and what they cost, and
// the time stamps of what is received.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host0404.h"
#include "platform/platform.h"

namespace {

const std::string kEcu = std::string(VXLSIM_ONE_CARD) + "[ecu]\nname = engine\n";

Bytes Cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

uint32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

// One PassThruReadMsgs of at most max messages on a channel.
std::vector<PASSTHRU_MSG> Read(const Host0404 &host, uint32_t channel, uint32_t max, uint32_t timeoutMs) {
    std::vector<PASSTHRU_MSG> msgs(max);
    uint32_t num = max;
    host.pt().ReadMsgs(channel, msgs.data(), &num, timeoutMs);
    msgs.resize(std::min(num, max));
    return msgs;
}

// The first message on a channel that is neither an indication nor a loopback.
Bytes Answer(const Host0404 &host, uint32_t channel) {
    for (int i = 0; i < 10; ++i) {
        const std::vector<PASSTHRU_MSG> got = Read(host, channel, 1, 2000);
        if (got.empty()) break;
        if ((got[0].RxStatus & (TX_INDICATION | START_OF_MESSAGE | TX_MSG_TYPE)) == 0) return DataOf(got[0]);
    }
    return {};
}

uint32_t WriteOne(const Host0404 &host, uint32_t channel, const PASSTHRU_MSG &msg, uint32_t timeoutMs) {
    PASSTHRU_MSG copy = msg;
    uint32_t one = 1;
    return host.pt().WriteMsgs(channel, &copy, &one, timeoutMs);
}

// Whatever a single frame holds goes without a flow-control filter, also as a
// periodic message; one byte more needs the filter.
TEST(Traffic0404, SingleFramesGoWithoutAFilterUpToWhatAFrameHolds) {
    Host0404 host;
    host.openChannel(ISO15765);
    const struct {
        const char *what;
        Bytes data;
        uint32_t flags;
        uint32_t status;
        const char *frame;
    } cases[] = {
        {"one byte", {0x3E}, 0, STATUS_NOERROR, "7E0: 01 3E"},
        {"seven bytes", {1, 2, 3, 4, 5, 6, 7}, 0, STATUS_NOERROR, "7E0: 07 01 02 03 04 05 06 07"},
        {"an address byte and six", {0x40, 1, 2, 3, 4, 5, 6}, ISO15765_ADDR_TYPE, STATUS_NOERROR,
         "7E0: 40 06 01 02 03 04 05 06"},
        {"eight bytes", Bytes(8, 1), 0, ERR_NO_FLOW_CONTROL, nullptr},
        {"an address byte and seven", {0x40, 1, 2, 3, 4, 5, 6, 7}, ISO15765_ADDR_TYPE, ERR_NO_FLOW_CONTROL, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vxlsim_capture_clear();
        EXPECT_EQ(c.status, host.write(Msg0404(ISO15765, 0x7E0, c.data, c.flags)));
        EXPECT_EQ(c.frame ? std::vector<std::string>{c.frame} : std::vector<std::string>{}, BusLines());
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PASSTHRU_MSG msg = Msg0404(ISO15765, 0x7E0, c.data, c.flags);
        uint32_t id = 0;
        const uint32_t status = host.pt().StartPeriodicMsg(host.channel(), &msg, &id, 1000);
        EXPECT_EQ(c.status == STATUS_NOERROR ? STATUS_NOERROR : ERR_INVALID_MSG, status);
        if (status == STATUS_NOERROR) {
            EXPECT_EQ(STATUS_NOERROR, host.pt().StopPeriodicMsg(host.channel(), id));
        }
    }
}

// NumMsgs 0 writes nothing, whatever the Timeout.
TEST(Traffic0404, WritingNoMessageSendsNothing) {
    for (uint32_t protocol : {CAN, ISO15765}) {
        for (uint32_t timeout : {0u, 100u}) {
            SCOPED_TRACE(testing::Message() << "protocol " << protocol << " timeout " << timeout);
            Host0404 host;
            host.openChannel(protocol);
            PASSTHRU_MSG msg = Msg0404(protocol, 0x7E0, {0x02, 0x3E, 0x00});
            uint32_t num = 0;
            EXPECT_EQ(STATUS_NOERROR, host.pt().WriteMsgs(host.channel(), &msg, &num, timeout));
            EXPECT_EQ(0u, num);
            EXPECT_TRUE(host.read(1, 20).empty());
            EXPECT_TRUE(BusLines().empty());
        }
    }
}

// A stopped flow-control filter takes nothing more: neither single frames
// nor first frames (no flow control answers them). The frame of another
// filter behind them shows that they were handled.
TEST(Traffic0404, AStoppedFilterLetsNothingMoreThrough) {
    Host0404 host;
    host.openChannel(ISO15765);
    uint32_t stopped = 0;
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0, &stopped));
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E9, 0x7E1));
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x01});
    EXPECT_EQ(Cat(IdBytes(0x7E8), {0x50, 0x01}), Answer(host, host.channel()));

    ASSERT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(host.channel(), stopped));
    vxlsim_capture_clear();
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x02});
    vxlsim::BusSend(0, 0x7E8, {0x10, 0x14, 1, 2, 3, 4, 5, 6});
    vxlsim::BusSend(0, 0x7E9, {0x02, 0x50, 0x03});
    const std::vector<PASSTHRU_MSG> got = host.read(1, 1000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(Cat(IdBytes(0x7E9), {0x50, 0x03}), DataOf(got[0]));
    EXPECT_EQ((std::vector<std::string>{"7E8: 02 50 02", "7E8: 10 14 01 02 03 04 05 06", "7E9: 02 50 03"}),
              BusLines());
}

// CLEAR_TX_BUFFER ends what is waiting to be sent (a write that waits for it
// returns) and leaves the received messages; CLEAR_RX_BUFFER the reverse.
// Each message is known to be queued when the channel that gets the bus's
// frames after it has one of a later frame.
TEST(Traffic0404, ClearingOneBufferLeavesTheOther) {
    Host0404 host("TRACE=1\n", kEcu.c_str());
    ASSERT_EQ(STATUS_NOERROR, host.open());
    uint32_t can = 0, iso = 0, id = 0;
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), CAN, 0, 500000, &can));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), ISO15765, 0, 500000, &iso));
    PASSTHRU_MSG all = Msg0404(CAN, 0, {}), pattern = Msg0404(CAN, 0x123, {});
    all.DataSize = pattern.DataSize = 4;
    ASSERT_EQ(STATUS_NOERROR, host.pt().StartMsgFilter(can, PASS_FILTER, &all, &pattern, nullptr, &id));
    PASSTHRU_MSG mask = Msg0404(ISO15765, 0xFFFFFFFF, {}), response = Msg0404(ISO15765, 0x7E8, {}),
                 flow = Msg0404(ISO15765, 0x7E0, {});
    ASSERT_EQ(STATUS_NOERROR, host.pt().StartMsgFilter(iso, FLOW_CONTROL_FILTER, &mask, &response, &flow, &id));

    // The CAN channel's copy of a frame is queued before the ISO channel's.
    vxlsim::BusSend(0, 0x123, {0x11});
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x01});
    ASSERT_EQ(Cat(IdBytes(0x7E8), {0x50, 0x01}), Answer(host, iso));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(can, CLEAR_TX_BUFFER, nullptr, nullptr));
    EXPECT_EQ(2u, Read(host, can, 3, 0).size());
    // The ISO channel's copy of 0x7E8 is queued before the CAN channel's of 0x123.
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x02});
    vxlsim::BusSend(0, 0x123, {0x12});
    ASSERT_EQ(2u, Read(host, can, 2, 1000).size());
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(iso, CLEAR_TX_BUFFER, nullptr, nullptr));
    const std::vector<PASSTHRU_MSG> kept = Read(host, iso, 2, 0);
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(Cat(IdBytes(0x7E8), {0x50, 0x02}), DataOf(kept[0]));
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x03});
    vxlsim::BusSend(0, 0x123, {0x13});
    ASSERT_EQ(2u, Read(host, can, 2, 1000).size());
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(iso, CLEAR_RX_BUFFER, nullptr, nullptr));
    EXPECT_TRUE(Read(host, iso, 1, 0).empty());

    // A long request to an ECU that never answers with flow control: the
    // write waits for it until CLEAR_TX_BUFFER, not its whole Timeout.
    vxlsim_nodes_clear();
    vxlsim_capture_clear();
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { WriteOne(host, iso, Msg0404(ISO15765, 0x7E0, Bytes(100, 0xBA)), 4000); });
    while (vxlsim_capture_count() == 0 && ElapsedMs(start) < 3000) plat::SleepMs(1);
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(iso, CLEAR_TX_BUFFER, nullptr, nullptr));
    writer.join();
    EXPECT_LT(ElapsedMs(start), 2000u);
}

// A CAN and an ISO15765 channel share the device's port at one bit rate;
// either may be disconnected and the other goes on; writes with a Timeout
// return once the bus confirmed them, long before the Timeout.
TEST(Traffic0404, TwoChannelsOnOneDeviceGoOnWithoutEachOther) {
    Host0404 host("TRACE=1\n", kEcu.c_str());
    ASSERT_EQ(STATUS_NOERROR, host.open());
    uint32_t can = 0, iso = 0, id = 0;
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), CAN, 0, 500000, &can));
    EXPECT_EQ(ERR_INVALID_BAUDRATE, host.pt().Connect(host.device(), ISO15765, 0, 250000, &iso));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), ISO15765, 0, 500000, &iso));
    PASSTHRU_MSG mask = Msg0404(ISO15765, 0xFFFFFFFF, {}), response = Msg0404(ISO15765, 0x7E8, {}),
                 flow = Msg0404(ISO15765, 0x7E0, {});
    ASSERT_EQ(STATUS_NOERROR, host.pt().StartMsgFilter(iso, FLOW_CONTROL_FILTER, &mask, &response, &flow, &id));
    auto isoWorks = [&] {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(STATUS_NOERROR, WriteOne(host, iso, Msg0404(ISO15765, 0x7E0, {0x3E, 0x00}), 3000));
        EXPECT_LT(ElapsedMs(start), 1500u);
        return Answer(host, iso) == Cat(IdBytes(0x7E8), {0x7E, 0x00});
    };
    auto canWorks = [&] {
        PASSTHRU_MSG all = Msg0404(CAN, 0, {}), pattern = Msg0404(CAN, 0x123, {});
        all.DataSize = pattern.DataSize = 4;
        EXPECT_EQ(STATUS_NOERROR, host.pt().StartMsgFilter(can, PASS_FILTER, &all, &pattern, nullptr, &id));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(STATUS_NOERROR, WriteOne(host, can, Msg0404(CAN, 0x321, {0x5A}), 3000));
        EXPECT_LT(ElapsedMs(start), 1500u);
        vxlsim::BusSend(0, 0x123, {0xA5});
        const std::vector<PASSTHRU_MSG> got = Read(host, can, 1, 1000);
        return got.size() == 1 && DataOf(got[0]) == Cat(IdBytes(0x123), {0xA5});
    };
    EXPECT_TRUE(isoWorks());
    EXPECT_TRUE(canWorks());
    ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(can));
    EXPECT_TRUE(isoWorks());
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), CAN, 0, 500000, &can));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(iso));
    EXPECT_TRUE(canWorks());
    EXPECT_EQ(1, vxlsim_open_port_count());
    ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(can));
    EXPECT_EQ(0, vxlsim_open_port_count());
}

// 4095 bytes each way; the write returns once the bus has the whole message,
// not when its Timeout runs out.
TEST(Traffic0404, TheLongestMessageBothWays) {
    Host0404 host("TRACE=1\n", kEcu.c_str());
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    Bytes echo(4095);
    for (size_t i = 0; i < echo.size(); ++i) echo[i] = static_cast<uint8_t>(i * 7);
    echo[0] = 0xBA;
    uint32_t num = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, echo, ISO15765_FRAME_PAD), 5000, &num));
    EXPECT_LT(ElapsedMs(start), 2500u);
    EXPECT_EQ(1u, num);
    echo[0] = 0xFA;
    EXPECT_EQ(Cat(IdBytes(0x7E8), echo), Answer(host, host.channel()));
}

// A read that waits for its Timeout sleeps meanwhile: it costs the process
// little processor time.
TEST(Traffic0404, AWaitingReadCostsNoProcessorTime) {
    Host0404 host;
    host.openChannel(CAN);
    const uint64_t cpuBefore = plat::ProcessCpuTimeUs();
    const auto start = std::chrono::steady_clock::now();
    uint32_t status = 0;
    EXPECT_TRUE(host.read(1, 500, &status).empty());
    EXPECT_EQ(ERR_BUFFER_EMPTY, status);
    EXPECT_GE(ElapsedMs(start), 500u);
    EXPECT_LT(plat::ProcessCpuTimeUs() - cpuBefore, 100000u);  // a fifth of the wait
}

// Messages carry the bus's time of their frames in microseconds.
TEST(Traffic0404, TimeStampsAreMicrosecondsOfTheBus) {
    Host0404 host;
    host.openChannel(CAN);
    ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
    vxlsim_set_manual_clock(1);
    vxlsim::BusSend(0, 0x100, {1});
    vxlsim_advance_ns(250000000);
    vxlsim::BusSend(0, 0x100, {2});
    const std::vector<PASSTHRU_MSG> got = host.read(2, 1000);
    vxlsim_set_manual_clock(0);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(250000u, got[1].Timestamp - got[0].Timestamp);
}

}  // namespace
