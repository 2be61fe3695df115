// Ports on the simulated bus: who receives what, with which flags and time
// stamps, and what the receive queue does when it fills up. Concurrent use
// is exercised by the library's own threaded tests under ThreadSanitizer.
#include <thread>

#include "sim_fixture.h"

namespace {

using IdList = std::vector<uint32_t>;
using FlagList = std::vector<uint16_t>;
using TimeList = std::vector<uint64_t>;

class BusTest : public SimTest {};

const std::vector<uint8_t> kEight = {0x00, 0xC0, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
const uint16_t kTxDone = XL_CAN_MSG_FLAG_TX_COMPLETED;

TEST_F(BusTest, FrameReachesOtherPortPlainAndReturnsToSenderConfirmed) {
    const XLportHandle a = OpenActive(0);
    const XLportHandle b = OpenActive(0, false);
    const XLportHandle other = OpenActive(1);
    ASSERT_NE(a, b);
    ASSERT_EQ(XL_SUCCESS, Send(a, 0, 0x386, kEight));

    const std::vector<XLevent> atB = Drain(b), atA = Drain(a);
    ASSERT_EQ(1u, atB.size());
    EXPECT_EQ(XL_RECEIVE_MSG, atB[0].tag);
    EXPECT_EQ(0, atB[0].chanIndex);
    EXPECT_EQ(uint16_t(b), atB[0].portHandle);
    EXPECT_EQ((IdList{0x386}), Ids(atB));
    EXPECT_EQ((FlagList{0}), Flags(atB));
    EXPECT_EQ(kEight, Data(atB[0]));
    ASSERT_EQ(1u, atA.size());
    EXPECT_EQ(XL_RECEIVE_MSG, atA[0].tag);
    EXPECT_EQ((FlagList{kTxDone}), Flags(atA));
    EXPECT_EQ(kEight, Data(atA[0]));
    EXPECT_TRUE(Drain(other).empty());  // another channel is another bus

    const std::vector<vxlsim_frame> cap = vxlsim::Captured();
    ASSERT_EQ(1u, cap.size());
    EXPECT_EQ(0u, cap[0].channel);
    EXPECT_EQ(a, cap[0].sender_port);
    EXPECT_EQ(-1, cap[0].sender_node);
    EXPECT_EQ(0x386u, cap[0].id);
    EXPECT_EQ(0, std::memcmp(cap[0].data, kEight.data(), 8));
    EXPECT_EQ(8, cap[0].dlc);
    EXPECT_NE(0u, cap[0].wall_ns);
}

TEST_F(BusTest, ExtendedAndRemoteFramesKeepTheirMarks) {
    const XLportHandle a = OpenActive(2);
    const XLportHandle b = OpenActive(2, false);
    ASSERT_EQ(XL_SUCCESS, Send(a, 2, 0x18DAF110u | XL_CAN_EXT_MSG_ID, {1, 2, 3}));
    ASSERT_EQ(XL_SUCCESS, Send(a, 2, 0x123, {0, 0, 0, 0}, XL_CAN_MSG_FLAG_REMOTE_FRAME));
    const std::vector<XLevent> got = Drain(b);
    EXPECT_EQ((IdList{0x98DAF110u, 0x123}), Ids(got));
    EXPECT_EQ((FlagList{0, XL_CAN_MSG_FLAG_REMOTE_FRAME}), Flags(got));
    EXPECT_EQ(2, got.at(0).chanIndex);
    EXPECT_EQ(4, got.at(1).tagData.msg.dlc);
    EXPECT_EQ((FlagList{kTxDone, XL_CAN_MSG_FLAG_REMOTE_FRAME | kTxDone}), Flags(Drain(a)));
}

TEST_F(BusTest, MultiChannelPortSendsOnEachChannelOfTheMask) {
    XLportHandle h = XL_INVALID_PORTHANDLE;
    XLaccess perm = 0x3;
    ASSERT_EQ(XL_SUCCESS, OpenPort(h, 0x3, perm));
    EXPECT_EQ(0x3u, perm);
    ASSERT_EQ(XL_SUCCESS, xlActivateChannel(h, 0x3, XL_BUS_TYPE_CAN, 0));
    const XLportHandle l0 = OpenActive(0, false);
    const XLportHandle l1 = OpenActive(1, false);
    XLevent ev = TxEvent(0x55, {9});
    unsigned n = 1;
    ASSERT_EQ(XL_SUCCESS, xlCanTransmit(h, 0x3, &n, &ev));
    EXPECT_EQ(1u, n);
    XLevent rx;
    ASSERT_TRUE(Next(l0, rx));
    EXPECT_EQ(0, rx.chanIndex);
    ASSERT_TRUE(Next(l1, rx));
    EXPECT_EQ(1, rx.chanIndex);
    EXPECT_EQ(2u, Drain(h).size());  // one confirmation per channel
    EXPECT_EQ(2, vxlsim_capture_count());
}

TEST_F(BusTest, PortArgumentsAreChecked) {
    XLportHandle h;
    XLaccess perm = 0;
    char name[] = "x";
    EXPECT_EQ(XL_ERR_INVALID_ACCESS, OpenPort(h, 0, perm));
    EXPECT_EQ(XL_ERR_INVALID_ACCESS, OpenPort(h, 0x10, perm));
    EXPECT_EQ(XL_ERR_WRONG_BUS_TYPE, xlOpenPort(&h, name, 1, &perm, 64, XL_INTERFACE_VERSION, 2));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlOpenPort(nullptr, name, 1, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));

    EXPECT_EQ(XL_ERR_INVALID_PORT, xlClosePort(1234));
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlClosePort(XL_INVALID_PORTHANDLE));
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlActivateChannel(99, 1, XL_BUS_TYPE_CAN, 0));
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlCanSetChannelBitrate(99, 1, 500000));
    EXPECT_EQ(XL_ERR_INVALID_PORT, Send(99, 0, 0x1, {}));
    unsigned n = 1;
    XLevent ev;
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlReceive(99, &n, &ev));

    const XLportHandle p = OpenActive(0);
    EXPECT_EQ(XL_ERR_INVALID_ACCESS, xlActivateChannel(p, 2, XL_BUS_TYPE_CAN, 0));  // not its channel
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, Send(p, 0, 0x800, {}));                         // 11-bit range
    XLevent bad = TxEvent(0x100, {});
    bad.tagData.msg.dlc = 9;
    n = 1;
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanTransmit(p, 1, &n, &bad));
    EXPECT_EQ(0u, n);
    n = 0;
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlReceive(p, &n, &ev));
    EXPECT_EQ(XL_SUCCESS, xlClosePort(p));
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlClosePort(p));
}

TEST_F(BusTest, InactivePortCannotSendOrReceive) {
    XLportHandle idle;
    XLaccess perm = 0;
    ASSERT_EQ(XL_SUCCESS, OpenPort(idle, 1, perm));
    const XLportHandle live = OpenActive(0, false);
    EXPECT_EQ(XL_ERR_PORT_IS_OFFLINE, Send(idle, 0, 0x10, {1}));
    ASSERT_EQ(XL_SUCCESS, Send(live, 0, 0x10, {1}));
    EXPECT_TRUE(Drain(idle).empty());
    ASSERT_EQ(XL_SUCCESS, xlDeactivateChannel(live, 1));
    EXPECT_EQ(XL_ERR_PORT_IS_OFFLINE, Send(live, 0, 0x10, {1}));
}

TEST_F(BusTest, InitAccessGoesToOnePortPerChannel) {
    XLportHandle first, second, third, fourth, fifth;
    XLaccess perm = 1;
    ASSERT_EQ(XL_SUCCESS, OpenPort(first, 1, perm));
    EXPECT_EQ(1u, perm);
    ASSERT_EQ(XL_SUCCESS, OpenPort(second, 1, perm = 1));
    EXPECT_EQ(0u, perm);
    EXPECT_EQ(XL_ERR_INIT_ACCESS_MISSING, xlCanSetChannelBitrate(second, 1, 500000));
    EXPECT_EQ(XL_SUCCESS, xlCanSetChannelBitrate(first, 1, 250000));
    XLdriverConfig cfg;
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    EXPECT_EQ(250000u, +cfg.channel[0].busParams.data.can.bitRate);

    // Released with the port that held it.
    ASSERT_EQ(XL_SUCCESS, xlClosePort(first));
    ASSERT_EQ(XL_SUCCESS, OpenPort(third, 1, perm = 1));
    EXPECT_EQ(1u, perm);

    // Another application holding the channel.
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(1, 1));
    ASSERT_EQ(XL_SUCCESS, OpenPort(fourth, 2, perm = 2));
    EXPECT_EQ(0u, perm);
    EXPECT_EQ(XL_ERR_INIT_ACCESS_MISSING, xlCanSetChannelBitrate(fourth, 2, 500000));
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(1, 0));
    ASSERT_EQ(XL_SUCCESS, OpenPort(fifth, 2, perm = 2));
    EXPECT_EQ(2u, perm);
    EXPECT_EQ(-1, vxlsim_set_foreign_init_access(9, 1));
}

// Each acceptance setting, then the same ids sent; what reaches the port.
TEST_F(BusTest, AcceptanceFiltersSelectWhatAPortReceives) {
    const uint32_t ext = XL_CAN_EXT_MSG_ID;
    const struct {
        const char *name;
        void (*setUp)(XLportHandle rx);
        IdList sent, received;
    } cases[] = {
        {"fresh port", [](XLportHandle) {}, {0x000, 0x7FF, 0x123, ext | 0x1FFFFFFF, ext | 0x18DAF110},
         {0x000, 0x7FF, 0x123, ext | 0x1FFFFFFF, ext | 0x18DAF110}},
        {"ranges",
         [](XLportHandle rx) {
             ASSERT_EQ(XL_SUCCESS, xlCanRemoveAcceptanceRange(rx, 1, 1, 0x7FF));
             ASSERT_EQ(XL_SUCCESS, xlCanAddAcceptanceRange(rx, 1, 0x7E8, 0x7E8));
         },
         {0x7E0, 0x7E8, 0x7E9, 0x001, 0x7FF, 0x000}, {0x7E8, 0x000}},
        {"code and mask, extended closed",
         [](XLportHandle rx) {
             ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0x700, 0x700, XL_CAN_STD));
             ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0xFFF, 0xFFF, XL_CAN_EXT));
         },
         {0x6FF, 0x700, 0x7DF, ext | 0x18DAF110, ext | 0xFFF}, {0x700, 0x7DF}},
        {"code and mask on extended ids",
         [](XLportHandle rx) {
             ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0x18DAF100, 0x1FFFFF00, XL_CAN_EXT));
         },
         {ext | 0x18DAF1F1, ext | 0x18DA10F1, 0x123}, {ext | 0x18DAF1F1, 0x123}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const XLportHandle tx = OpenActive(0);
        const XLportHandle rx = OpenActive(0, false);
        c.setUp(rx);
        for (uint32_t id : c.sent)
            ASSERT_EQ(XL_SUCCESS, Send(tx, 0, id, {0}));
        EXPECT_EQ(c.received, Ids(Drain(rx)));
        // Outside frames obey the filters too.
        for (uint32_t id : c.sent)
            ASSERT_EQ(0, vxlsim::BusSend(0, id, {1, 2}));
        EXPECT_EQ(c.received, Ids(Drain(rx)));
        TearDown();
        SetUp();
    }
    const XLportHandle rx = OpenActive(0);
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanAddAcceptanceRange(rx, 1, 0x10, 0x0F));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanAddAcceptanceRange(rx, 1, 0x700, 0x800));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanSetChannelAcceptance(rx, 1, 0, 0, 3));
}

// The sender closes everything and still learns that each frame went out.
TEST_F(BusTest, ConfirmationsAreNotFiltered) {
    const XLportHandle tx = OpenActive(0);
    ASSERT_EQ(XL_SUCCESS, xlCanRemoveAcceptanceRange(tx, 1, 0, 0x7FF));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x300, {0}));
    EXPECT_EQ((FlagList{kTxDone}), Flags(Drain(tx)));
}

TEST_F(BusTest, FullQueueDropsAndMarksTheNextFrameOverrun) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false, 4);
    for (uint8_t i = 0; i < 6; ++i)
        ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x100 + i, {i}));
    std::vector<XLevent> got = Drain(rx);
    EXPECT_EQ((IdList{0x100, 0x101, 0x102, 0x103}), Ids(got));
    EXPECT_EQ((FlagList{0, 0, 0, 0}), Flags(got));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x200, {}));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x201, {}));
    got = Drain(rx);
    EXPECT_EQ((IdList{0x200, 0x201}), Ids(got));
    EXPECT_EQ((FlagList{XL_CAN_MSG_FLAG_OVERRUN, 0}), Flags(got));
}

TEST_F(BusTest, ReceiveHandsOutOneEventPerCallAndReportsAnEmptyQueue) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x1, {}));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x2, {}));
    XLevent evs[4] = {};
    unsigned n = 4;
    ASSERT_EQ(XL_SUCCESS, xlReceive(rx, &n, evs));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0x1u, evs[0].tagData.msg.id);
    EXPECT_EQ(0, evs[1].tag);
    ASSERT_EQ(XL_SUCCESS, xlReceive(rx, &n, evs));
    n = 8;
    EXPECT_EQ(XL_ERR_QUEUE_IS_EMPTY, xlReceive(rx, &n, evs));
    EXPECT_EQ(0u, n);
}

TEST_F(BusTest, TimeStampsInNanosecondsFromThePortClock) {
    vxlsim_set_manual_clock(1);
    const XLportHandle tx = OpenActive(0);
    vxlsim_advance_ns(2000000);
    const XLportHandle rx = OpenActive(0, false);  // its clock starts now
    vxlsim_advance_ns(1500000);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x10, {1}));
    EXPECT_EQ((TimeList{1500000}), Times(Drain(rx)));
    EXPECT_EQ((TimeList{3500000}), Times(Drain(tx)));

    // Re-activation with the reset flag restarts the port's clock; without
    // it the clock runs on.
    ASSERT_EQ(XL_SUCCESS, xlActivateChannel(tx, 1, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK));
    ASSERT_EQ(XL_SUCCESS, xlActivateChannel(rx, 1, XL_BUS_TYPE_CAN, XL_ACTIVATE_NONE));
    vxlsim_advance_ns(250);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x11, {1}));
    EXPECT_EQ((TimeList{250}), Times(Drain(tx)));
    EXPECT_EQ((TimeList{1500250}), Times(Drain(rx)));
}

TEST_F(BusTest, RealClockTimeStampsAdvance) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x10, {1}));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x11, {1}));
    const TimeList t = Times(Drain(rx));
    ASSERT_EQ(2u, t.size());
    EXPECT_GE(t[1] - t[0], 5000000u);
    EXPECT_LT(t[1] - t[0], 5000000000u);
}

TEST_F(BusTest, RealTimingDeliversAfterTheFramesDuration) {
    vxlsim_set_manual_clock(1);
    vxlsim_set_real_timing(1);
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    // 8 data bytes at 500 kbit/s: 47 + 64 bits plus 98 / 5 stuff bits.
    const uint64_t dur = 130u * 2000u;
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x10, kEight));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x11, kEight));
    EXPECT_TRUE(Drain(rx).empty());
    vxlsim_advance_ns(dur - 1);
    EXPECT_TRUE(Drain(rx).empty());
    EXPECT_TRUE(Drain(tx).empty());
    vxlsim_advance_ns(1);
    EXPECT_EQ((TimeList{dur}), Times(Drain(rx)));  // the second frame waits for the first
    vxlsim_advance_ns(dur);
    EXPECT_EQ((TimeList{2 * dur}), Times(Drain(rx)));
    EXPECT_EQ((TimeList{dur, 2 * dur}), Times(Drain(tx)));

    // At 125 kbit/s the same frame takes four times as long.
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelBitrate(tx, 1, 125000));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x12, kEight));
    vxlsim_advance_ns(4 * dur - 1);
    EXPECT_TRUE(Drain(rx).empty());
    vxlsim_advance_ns(1);
    EXPECT_EQ(1u, Drain(rx).size());
}

TEST_F(BusTest, TransmitQueueFillsWhileFramesWaitForTheBus) {
    vxlsim_set_manual_clock(1);
    vxlsim_set_real_timing(1);
    vxlsim_set_tx_capacity(2);
    const XLportHandle tx = OpenActive(0);
    XLevent evs[3] = {TxEvent(0x1, {1}), TxEvent(0x2, {2}), TxEvent(0x3, {3})};
    unsigned n = 3;
    EXPECT_EQ(XL_ERR_QUEUE_IS_FULL, xlCanTransmit(tx, 1, &n, evs));
    EXPECT_EQ(2u, n);
    vxlsim_advance_ns(1000000);
    n = 1;
    EXPECT_EQ(XL_SUCCESS, xlCanTransmit(tx, 1, &n, &evs[2]));
    EXPECT_EQ(1u, n);
    vxlsim_advance_ns(1000000);
    const std::vector<vxlsim_frame> cap = vxlsim::Captured();
    ASSERT_EQ(3u, cap.size());
    EXPECT_EQ(0x3u, cap[2].id);
}

TEST_F(BusTest, InjectedEventsBypassFiltersAndCarryTheirTime) {
    vxlsim_set_manual_clock(1);
    const XLportHandle a = OpenActive(0);
    const XLportHandle b = OpenActive(0, false);
    const XLportHandle off = OpenActive(1);
    ASSERT_EQ(XL_SUCCESS, xlCanRemoveAcceptanceRange(a, 1, 0, 0x7FF));
    const uint8_t d[2] = {0xAB, 0xCD};
    EXPECT_EQ(1, vxlsim_inject_frame(a, 0, 0x7E8, 0, 2, d, 123456));
    EXPECT_EQ(2, vxlsim_inject_frame(-1, 0, 0x100, XL_CAN_MSG_FLAG_ERROR_FRAME, 0, nullptr, -1));
    vxlsim_advance_ns(777);
    EXPECT_EQ(1, vxlsim_inject_chip_state(b, 0, XL_CHIPSTAT_ERROR_PASSIVE, 130, 4, -1));
    XLevent raw{};
    raw.tag = 0x55;
    raw.timeStamp = 42;
    raw.tagData.raw[0] = 0x99;
    EXPECT_EQ(1, vxlsim_inject_event(b, 0, &raw, 1));
    XLevent txm{};
    txm.tag = XL_TRANSMIT_MSG;
    txm.tagData.msg.id = 0x321;
    EXPECT_EQ(1, vxlsim_inject_event(b, 0, &txm, 0));
    EXPECT_EQ(-1, vxlsim_inject_frame(99, 0, 0x1, 0, 0, nullptr, -1));
    EXPECT_EQ(-1, vxlsim_inject_frame(-1, 9, 0x1, 0, 0, nullptr, -1));

    std::vector<XLevent> got = Drain(a);
    EXPECT_EQ((IdList{0x7E8, 0x100}), Ids(got));
    EXPECT_EQ((FlagList{0, XL_CAN_MSG_FLAG_ERROR_FRAME}), Flags(got));
    EXPECT_EQ(123456u, got.at(0).timeStamp);
    EXPECT_EQ((std::vector<uint8_t>{0xAB, 0xCD}), Data(got[0]));

    got = Drain(b);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ((TimeList{0, 777, 42, 777}), Times(got));  // kept or stamped on arrival
    EXPECT_EQ(XL_CAN_MSG_FLAG_ERROR_FRAME, got[0].tagData.msg.flags);
    EXPECT_EQ(XL_CHIP_STATE, got[1].tag);
    EXPECT_EQ(XL_CHIPSTAT_ERROR_PASSIVE, got[1].tagData.chipState.busStatus);
    EXPECT_EQ(130, got[1].tagData.chipState.txErrorCounter);
    EXPECT_EQ(4, got[1].tagData.chipState.rxErrorCounter);
    EXPECT_EQ(0x55, got[2].tag);
    EXPECT_EQ(0x99, got[2].tagData.raw[0]);
    EXPECT_EQ(uint16_t(b), got[2].portHandle);
    EXPECT_EQ(XL_TRANSMIT_MSG, got[3].tag);
    EXPECT_EQ(0x321u, got[3].tagData.msg.id);
    EXPECT_TRUE(Drain(off).empty());
    EXPECT_EQ(0, vxlsim_capture_count());  // injection is not bus traffic
}

TEST_F(BusTest, OutsideFramesAreCapturedWithoutSender) {
    ASSERT_EQ(0, vxlsim::BusSend(0, 0x7E8, {1, 2}));
    const std::vector<vxlsim_frame> cap = vxlsim::Captured();
    ASSERT_EQ(1u, cap.size());
    EXPECT_EQ(-1, cap[0].sender_port);
    vxlsim_capture_clear();
    EXPECT_EQ(0, vxlsim_capture_count());
    vxlsim_frame f;
    EXPECT_EQ(-1, vxlsim_capture_get(0, &f));
}

TEST_F(BusTest, ScriptedResponderAnswersAfterItsDelay) {
    vxlsim_set_manual_clock(1);
    const XLportHandle tester = OpenActive(0);
    const uint8_t prefix[2] = {0x02, 0x10};
    const int node = vxlsim_responder_add(0, 0x7E0, prefix, 2);
    ASSERT_GE(node, 0);
    const uint8_t reply1[3] = {0x02, 0x50, 0x03};
    const uint8_t reply2[1] = {0xEE};
    ASSERT_EQ(0, vxlsim_responder_reply(node, 0x7E8, 3, reply1, 5000));
    ASSERT_EQ(0, vxlsim_responder_reply(node, 0x7E9, 1, reply2, 0));
    EXPECT_EQ(-1, vxlsim_responder_reply(node + 100, 0x7E8, 3, reply1, 0));

    ASSERT_EQ(XL_SUCCESS, Send(tester, 0, 0x7E0, {0x02, 0x11, 0x01}));  // wrong prefix
    ASSERT_EQ(XL_SUCCESS, Send(tester, 0, 0x7E0, {0x02, 0x10, 0x03}));
    std::vector<XLevent> got = Drain(tester);  // two confirmations and the immediate reply
    EXPECT_EQ((IdList{0x7E0, 0x7E0, 0x7E9}), Ids(got));
    EXPECT_EQ((FlagList{kTxDone, kTxDone, 0}), Flags(got));
    vxlsim_advance_ns(4999999);
    EXPECT_TRUE(Drain(tester).empty());
    vxlsim_advance_ns(1);
    got = Drain(tester);
    EXPECT_EQ((IdList{0x7E8}), Ids(got));
    EXPECT_EQ((TimeList{5000000}), Times(got));
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x50, 0x03}), Data(got.at(0)));
    const std::vector<vxlsim_frame> cap = vxlsim::Captured();
    ASSERT_EQ(4u, cap.size());
    EXPECT_EQ(node, cap[3].sender_node);
    EXPECT_EQ(-1, cap[3].sender_port);

    ASSERT_EQ(0, vxlsim_node_remove(node));
    EXPECT_EQ(-1, vxlsim_node_remove(node));
    ASSERT_EQ(XL_SUCCESS, Send(tester, 0, 0x7E0, {0x02, 0x10, 0x03}));
    vxlsim_advance_ns(10000000);
    EXPECT_EQ(1u, Drain(tester).size());  // only the confirmation
}

}  // namespace
