// The 04.04 library's traffic where a slip would go unnoticed by a status
// code alone: what goes on the bus without a filter, what stops with a
// filter, what the clearing Ioctls leave, two channels on one device, the
// longest messages, how long writes and reads take and what they cost, and
// the time stamps of what is received.
#include <gtest/gtest.h>

#include <chrono>
#include <time.h>

#include "host0404.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time the calling thread has used, in microseconds.
uint64_t ThreadCpuUs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

uint32_t MsSince(Clock::time_point since) {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

uint32_t Write(const Host0404 &host, uint32_t channel, PASSTHRU_MSG msg, uint32_t timeoutMs, uint32_t num = 1) {
    return host.pt().WriteMsgs(channel, &msg, &num, timeoutMs);
}

// A CAN and an ISO15765 channel on one device (not at another bit rate): the
// CAN channel takes every frame, the ISO15765 one answers 0x7E8 on 0x7E0.
struct TwoChannels {
    explicit TwoChannels(Host0404 &h) : host(h) {
        EXPECT_EQ(STATUS_NOERROR, host.open());
        connect(CAN);
        EXPECT_EQ(ERR_INVALID_BAUDRATE, host.pt().Connect(host.device(), ISO15765, 0, 250000, &iso));
        connect(ISO15765);
    }
    void connect(uint32_t protocol) {
        const bool raw = protocol == CAN;
        uint32_t &channel = raw ? can : iso, id = 0;
        ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), protocol, 0, 500000, &channel));
        PASSTHRU_MSG mask = Msg0404(protocol, raw ? 0 : 0xFFFFFFFF, {}),
                     pattern = Msg0404(protocol, raw ? 0 : 0x7E8, {}), flow = Msg0404(protocol, 0x7E0, {});
        ASSERT_EQ(STATUS_NOERROR, host.pt().StartMsgFilter(channel, raw ? PASS_FILTER : FLOW_CONTROL_FILTER, &mask,
                                                           &pattern, raw ? nullptr : &flow, &id));
    }
    uint32_t ioctl(uint32_t channel, uint32_t id) const { return host.pt().Ioctl(channel, id, nullptr, nullptr); }
    Host0404 &host;
    uint32_t can = 0, iso = 0;
};

// Without a filter the ECU's answer is not taken: only our indication comes.
// Whatever a single frame holds goes without a flow-control filter, also as a
// periodic message, on its period; one byte more needs a filter whose
// flow-control identifier is the message's own.
TEST(Traffic0404, SingleFramesGoWithoutAFilterUpToWhatAFrameHolds) {
    Host0404 host("TRACE=1\n", kOneEcu.c_str());
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, {0x3E, 0x00}, ISO15765_FRAME_PAD), 1000));
    const std::vector<PASSTHRU_MSG> got = host.read(5, 100);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(TX_INDICATION, got[0].RxStatus);
    EXPECT_EQ(IdBytes(0x7E0), DataOf(got[0]));
    EXPECT_EQ((std::vector<std::string>{"7E0: 02 3E 00 FF FF FF FF FF", "7E8: 02 7E 00 FF FF FF FF FF"}), BusLines());
    vxlsim_nodes_clear();
    const struct {
        Bytes data;
        uint32_t flags;
        const char *frame;  // null: ERR_NO_FLOW_CONTROL
    } cases[] = {
        {{0x3E}, 0, "7E0: 01 3E"},
        {{1, 2, 3, 4, 5, 6, 7}, 0, "7E0: 07 01 02 03 04 05 06 07"},
        {{0x3E, 0x80}, ISO15765_FRAME_PAD, "7E0: 02 3E 80 FF FF FF FF FF"},
        {{0x40, 1, 2, 3, 4, 5, 6}, ISO15765_ADDR_TYPE, "7E0: 40 06 01 02 03 04 05 06"},
        {Bytes(8, 1), 0, nullptr},
        {{0x40, 1, 2, 3, 4, 5, 6, 7}, ISO15765_ADDR_TYPE, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.data.size() << " bytes, flags " << c.flags);
        vxlsim_capture_clear();
        uint32_t num = 9;
        EXPECT_EQ(c.frame ? STATUS_NOERROR : ERR_NO_FLOW_CONTROL,
                  host.write(Msg0404(ISO15765, 0x7E0, c.data, c.flags), 0, &num));
        EXPECT_EQ(c.frame ? 1u : 0u, num);
        EXPECT_EQ(c.frame ? std::vector<std::string>{c.frame} : std::vector<std::string>{}, BusLines());
    }
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E1));
    const struct {
        const char *what;
        PASSTHRU_MSG msg;
        uint32_t status;
    } refused[] = {
        {"flow control on another identifier", Msg0404(ISO15765, 0x7E0, Bytes(8, 0xBA)), ERR_NO_FLOW_CONTROL},
        {"CAN message", Msg0404(CAN, 0x7E0, {1}), ERR_MSG_PROTOCOL_ID},
        {"4096 bytes", Msg0404(ISO15765, 0x7E0, Bytes(4096, 1)), ERR_INVALID_MSG},
        {"29-bit id on an 11-bit channel", Msg0404(ISO15765, 0x18DA10F1, {1}, CAN_29BIT_ID), ERR_INVALID_MSG},
    };
    for (const auto &r : refused) EXPECT_EQ(r.status, host.write(r.msg)) << r.what;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "periodic, " << c.data.size() << " bytes, flags " << c.flags);
        vxlsim_capture_clear();
        PASSTHRU_MSG msg = Msg0404(ISO15765, 0x7E0, c.data, c.flags);
        uint32_t id = 0;
        ASSERT_EQ(c.frame ? STATUS_NOERROR : ERR_INVALID_MSG, host.pt().StartPeriodicMsg(host.channel(), &msg, &id, 20));
        if (!c.frame) continue;
        plat::SleepMs(100);
        ASSERT_EQ(STATUS_NOERROR, host.pt().StopPeriodicMsg(host.channel(), id));
        const std::vector<std::string> bus = BusLines();
        ASSERT_GE(bus.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(bus.size(), c.frame), bus);
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
    EXPECT_EQ(1u, host.read(1, 1000).size());
    ASSERT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(host.channel(), stopped));
    vxlsim_capture_clear();
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x02});
    vxlsim::BusSend(0, 0x7E8, {0x10, 0x14, 1, 2, 3, 4, 5, 6});
    vxlsim::BusSend(0, 0x7E9, {0x02, 0x50, 0x03});
    const std::vector<PASSTHRU_MSG> got = host.read(1, 1000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(With(0x7E9, {0x50, 0x03}), DataOf(got[0]));
    EXPECT_EQ(3u, BusLines().size());  // no flow control of ours among them
}

// CLEAR_TX_BUFFER ends what waits to be sent and leaves the received messages; CLEAR_RX_BUFFER the reverse. A message is
// known to be queued when the other channel has one of a later frame: the
// CAN channel is given each frame before the ISO15765 channel.
TEST(Traffic0404, ClearingOneBufferLeavesTheOther) {
    Host0404 host("TRACE=1\n", kOneEcu.c_str());
    TwoChannels tool(host);
    vxlsim::BusSend(0, 0x123, {0x11});
    vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x01});
    ASSERT_EQ(With(0x7E8, {0x50, 0x01}), host.answer(tool.iso));
    ASSERT_EQ(STATUS_NOERROR, tool.ioctl(tool.can, CLEAR_TX_BUFFER));
    EXPECT_EQ(2u, host.read(3, 0, nullptr, tool.can).size());
    for (uint32_t clear : {CLEAR_TX_BUFFER, CLEAR_RX_BUFFER}) {
        vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x02});
        vxlsim::BusSend(0, 0x123, {0x12});
        ASSERT_EQ(2u, host.read(2, 1000, nullptr, tool.can).size());
        ASSERT_EQ(STATUS_NOERROR, tool.ioctl(tool.iso, clear));
        EXPECT_EQ(clear == CLEAR_TX_BUFFER ? 1u : 0u, host.read(2, 0, nullptr, tool.iso).size()) << clear;
    }
}

// Either channel may be disconnected and the other goes on; writes with a
// Timeout return once the bus confirmed them, long before the Timeout;
// NumMsgs 0 sends nothing; a frame the driver refuses is not written.
TEST(Traffic0404, TwoChannelsOnOneDeviceGoOnWithoutEachOther) {
    Host0404 host("TRACE=1\n", kOneEcu.c_str());
    TwoChannels tool(host);
    auto works = [&](uint32_t protocol) {
        const uint32_t channel = protocol == CAN ? tool.can : tool.iso;
        EXPECT_EQ(STATUS_NOERROR, tool.ioctl(channel, CLEAR_RX_BUFFER));
        const auto start = Clock::now();
        EXPECT_EQ(STATUS_NOERROR,
                  Write(host, channel,
                        Msg0404(protocol, 0x7E0, protocol == CAN ? Bytes{0x02, 0x3E, 0x00} : Bytes{0x3E, 0x00}), 3000));
        EXPECT_LT(MsSince(start), 1500u);
        const Bytes answer =
            protocol == CAN ? Bytes{0x02, 0x7E, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF} : Bytes{0x7E, 0x00};
        return host.answer(channel) == With(0x7E8, answer);
    };
    EXPECT_TRUE(works(ISO15765));
    EXPECT_TRUE(works(CAN));
    vxlsim_capture_clear();
    EXPECT_EQ(STATUS_NOERROR, Write(host, tool.can, Msg0404(CAN, 0x7E0, {1}), 100, 0));
    EXPECT_EQ(STATUS_NOERROR, Write(host, tool.iso, Msg0404(ISO15765, 0x7E0, {1}), 100, 0));
    EXPECT_TRUE(BusLines().empty());
    ASSERT_EQ(0, vxlsim_fail("xlCanTransmit", XL_ERR_QUEUE_IS_FULL, 1));  // a refusal is the write's
    EXPECT_EQ(ERR_BUFFER_FULL, Write(host, tool.can, Msg0404(CAN, 0x7E0, {1}), 0));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(tool.can));
    EXPECT_TRUE(works(ISO15765));
    tool.connect(CAN);
    ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(tool.iso));
    EXPECT_TRUE(works(CAN));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(tool.can));
    EXPECT_EQ(0, vxlsim_open_port_count());
}

// 4095 bytes each way on a bus timed as at 500 kbit/s; a write with a
// Timeout returns once the bus has the whole message (a first frame and 585
// consecutive frames), long before the Timeout.
TEST(Traffic0404, TheLongestMessageBothWays) {
    Host0404 host("TRACE=1\n", (kOneEcu + "[driver]\nreal_timing = 1\n").c_str());
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    Bytes echo = Cat({0xBA}, Counting(4094, 1));
    const auto start = Clock::now();
    uint32_t num = 0;
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, echo, ISO15765_FRAME_PAD), 5000, &num));
    EXPECT_LT(MsSince(start), 2500u);
    EXPECT_EQ(1u, num);
    size_t requestFrames = 0;  // our flow control for the answer may follow at once
    for (const vxlsim_frame &f : vxlsim::Captured()) requestFrames += f.id == 0x7E0 && (f.data[0] >> 4 == 1 || f.data[0] >> 4 == 2);
    EXPECT_EQ(1u + 585u, requestFrames);
    echo[0] = 0xFA;
    EXPECT_EQ(With(0x7E8, echo), host.answer(host.channel()));
}

// A read waiting out its Timeout sleeps: its thread uses next to no processor
// time (one that spun would get a share of a core even on a busy machine).
// Timeout 0 returns what is there; a Timeout waits for all of NumMsgs.
// Received messages carry the bus's time in microseconds.
TEST(Traffic0404, WaitingCostsNothingAndTimeIsTheBuss) {
    Host0404 host;
    host.openChannel(CAN);
    const uint64_t cpuBefore = ThreadCpuUs();
    const auto start = Clock::now();
    uint32_t status = 0;
    EXPECT_TRUE(host.read(1, 500, &status).empty());
    EXPECT_EQ(ERR_BUFFER_EMPTY, status);
    EXPECT_GE(MsSince(start), 500u);
    EXPECT_LT(ThreadCpuUs() - cpuBefore, 25000u);  // a twentieth of the wait

    ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
    EXPECT_TRUE(host.read(1, 0, &status).empty());
    EXPECT_EQ(ERR_BUFFER_EMPTY, status);

    // An answer 30 ms after the request: a blocking read gets it.
    const int node = vxlsim_responder_add(0, 0x7E0, nullptr, 0);
    const uint8_t answer[] = {0x02, 0x7E, 0x00};
    vxlsim_responder_reply(node, 0x7E8, 3, answer, 30000);
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(CAN, 0x7E0, {0x02, 0x3E, 0x00})));
    std::vector<PASSTHRU_MSG> got = host.read(1, 2000, &status);
    EXPECT_EQ(STATUS_NOERROR, status);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(With(0x7E8, {0x02, 0x7E, 0x00}), DataOf(got[0]));
    EXPECT_EQ(CAN, got[0].ProtocolID);

    // Two asked for, one came: the one, with ERR_TIMEOUT.
    vxlsim::BusSend(0, 0x7E8, {9});
    got = host.read(2, 50, &status);
    EXPECT_EQ(ERR_TIMEOUT, status);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(With(0x7E8, {9}), DataOf(got[0]));

    vxlsim_set_manual_clock(1);
    vxlsim::BusSend(0, 0x100, {1});
    vxlsim_advance_ns(250000000);
    vxlsim::BusSend(0, 0x100, {2});
    got = host.read(2, 1000);
    vxlsim_set_manual_clock(0);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(250000u, got[1].Timestamp - got[0].Timestamp);
}

}  // namespace
