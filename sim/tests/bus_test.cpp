// Ports on the simulated bus: who receives what, with which flags and time
// stamps, and what the receive queue does when it fills up.
#include <atomic>
#include <thread>

#include "sim_fixture.h"

namespace {

class BusTest : public SimTest {};

const std::vector<uint8_t> kEight = {0x00, 0xC0, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80};

TEST_F(BusTest, FrameReachesOtherPortPlainAndReturnsToSenderConfirmed) {
    const XLportHandle a = OpenActive(0);
    const XLportHandle b = OpenActive(0, false);
    const XLportHandle other = OpenActive(1);
    ASSERT_NE(a, b);
    ASSERT_EQ(XL_SUCCESS, Send(a, 0, 0x386, kEight));

    XLevent ev;
    ASSERT_TRUE(Next(b, ev));
    EXPECT_EQ(XL_RECEIVE_MSG, ev.tag);
    EXPECT_EQ(0, ev.chanIndex);
    EXPECT_EQ(uint16_t(b), ev.portHandle);
    EXPECT_EQ(0x386u, ev.tagData.msg.id);
    EXPECT_EQ(0, ev.tagData.msg.flags);
    EXPECT_EQ(kEight, Data(ev));
    EXPECT_FALSE(Next(b, ev));

    ASSERT_TRUE(Next(a, ev));
    EXPECT_EQ(XL_RECEIVE_MSG, ev.tag);
    EXPECT_EQ(XL_CAN_MSG_FLAG_TX_COMPLETED, ev.tagData.msg.flags);
    EXPECT_EQ(0x386u, ev.tagData.msg.id);
    EXPECT_EQ(kEight, Data(ev));
    EXPECT_FALSE(Next(a, ev));

    EXPECT_FALSE(Next(other, ev));  // another channel is another bus

    const std::vector<vxlsim_frame> cap = vxlsim::Captured();
    ASSERT_EQ(1u, cap.size());
    EXPECT_EQ(0u, cap[0].channel);
    EXPECT_EQ(a, cap[0].sender_port);
    EXPECT_EQ(-1, cap[0].sender_node);
    EXPECT_EQ(0x386u, cap[0].id);
    EXPECT_EQ(8, cap[0].dlc);
    EXPECT_EQ(0, std::memcmp(cap[0].data, kEight.data(), 8));
    EXPECT_NE(0u, cap[0].wall_ns);
}

TEST_F(BusTest, ExtendedAndRemoteFramesKeepTheirMarks) {
    const XLportHandle a = OpenActive(2);
    const XLportHandle b = OpenActive(2, false);
    ASSERT_EQ(XL_SUCCESS, Send(a, 2, 0x18DAF110u | XL_CAN_EXT_MSG_ID, {1, 2, 3}));
    ASSERT_EQ(XL_SUCCESS, Send(a, 2, 0x123, {0, 0, 0, 0}, XL_CAN_MSG_FLAG_REMOTE_FRAME));
    XLevent ev;
    ASSERT_TRUE(Next(b, ev));
    EXPECT_EQ(0x98DAF110u, ev.tagData.msg.id);
    EXPECT_EQ(2, ev.chanIndex);
    ASSERT_TRUE(Next(b, ev));
    EXPECT_EQ(XL_CAN_MSG_FLAG_REMOTE_FRAME, ev.tagData.msg.flags);
    EXPECT_EQ(4, ev.tagData.msg.dlc);
    ASSERT_TRUE(Next(a, ev));
    ASSERT_TRUE(Next(a, ev));
    EXPECT_EQ(XL_CAN_MSG_FLAG_REMOTE_FRAME | XL_CAN_MSG_FLAG_TX_COMPLETED, ev.tagData.msg.flags);
}

TEST_F(BusTest, MultiChannelPortSendsOnEachChannelOfTheMask) {
    XLportHandle h = XL_INVALID_PORTHANDLE;
    XLaccess perm = 0x3;
    char name[] = "two";
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&h, name, 0x3, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
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
    char name[] = "x";
    XLportHandle h;
    XLaccess perm = 0;
    EXPECT_EQ(XL_ERR_INVALID_ACCESS, xlOpenPort(&h, name, 0, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_ERR_INVALID_ACCESS, xlOpenPort(&h, name, 0x10, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
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
    EXPECT_EQ(XL_SUCCESS, xlClosePort(p));
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlClosePort(p));
}

TEST_F(BusTest, InactivePortCannotSendOrReceive) {
    char name[] = "idle";
    XLportHandle idle;
    XLaccess perm = 0;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&idle, name, 1, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    const XLportHandle live = OpenActive(0, false);
    EXPECT_EQ(XL_ERR_PORT_IS_OFFLINE, Send(idle, 0, 0x10, {1}));
    ASSERT_EQ(XL_SUCCESS, Send(live, 0, 0x10, {1}));
    XLevent ev;
    EXPECT_FALSE(Next(idle, ev));
    ASSERT_EQ(XL_SUCCESS, xlDeactivateChannel(live, 1));
    EXPECT_EQ(XL_ERR_PORT_IS_OFFLINE, Send(live, 0, 0x10, {1}));
}

TEST_F(BusTest, InitAccessGoesToOnePortPerChannel) {
    char name[] = "p";
    XLportHandle first, second, third;
    XLaccess perm = 1;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&first, name, 1, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(1u, perm);
    perm = 1;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&second, name, 1, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(0u, perm);
    EXPECT_EQ(XL_ERR_INIT_ACCESS_MISSING, xlCanSetChannelBitrate(second, 1, 500000));
    EXPECT_EQ(XL_SUCCESS, xlCanSetChannelBitrate(first, 1, 250000));
    XLdriverConfig cfg;
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    EXPECT_EQ(250000u, +cfg.channel[0].busParams.data.can.bitRate);

    // Released with the port that held it.
    ASSERT_EQ(XL_SUCCESS, xlClosePort(first));
    perm = 1;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&third, name, 1, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(1u, perm);

    // Another application holding the channel.
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(1, 1));
    perm = 2;
    XLportHandle fourth;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&fourth, name, 2, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(0u, perm);
    EXPECT_EQ(XL_ERR_INIT_ACCESS_MISSING, xlCanSetChannelBitrate(fourth, 2, 500000));
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(1, 0));
    perm = 2;
    XLportHandle fifth;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&fifth, name, 2, &perm, 64, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(2u, perm);
    EXPECT_EQ(-1, vxlsim_set_foreign_init_access(9, 1));
}

TEST_F(BusTest, FreshPortAcceptsEverything) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    const uint32_t ids[] = {0x000, 0x7FF, 0x123, XL_CAN_EXT_MSG_ID | 0x1FFFFFFF, XL_CAN_EXT_MSG_ID | 0x18DAF110};
    for (uint32_t id : ids)
        ASSERT_EQ(XL_SUCCESS, Send(tx, 0, id, {1}));
    const std::vector<XLevent> got = Drain(rx);
    ASSERT_EQ(5u, got.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(ids[i], got[i].tagData.msg.id);
}

TEST_F(BusTest, AcceptanceRangesOnStandardIds) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    ASSERT_EQ(XL_SUCCESS, xlCanRemoveAcceptanceRange(rx, 1, 1, 0x7FF));
    ASSERT_EQ(XL_SUCCESS, xlCanAddAcceptanceRange(rx, 1, 0x7E8, 0x7E8));
    for (uint32_t id : {0x7E0u, 0x7E8u, 0x7E9u, 0x001u, 0x7FFu, 0x000u})
        ASSERT_EQ(XL_SUCCESS, Send(tx, 0, id, {0}));
    std::vector<XLevent> got = Drain(rx);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x7E8u, got[0].tagData.msg.id);
    EXPECT_EQ(0x000u, got[1].tagData.msg.id);  // outside the removed range

    // Confirmations are not filtered: the sender closes everything and still
    // learns that each frame went out.
    ASSERT_EQ(XL_SUCCESS, xlCanRemoveAcceptanceRange(tx, 1, 0, 0x7FF));
    Drain(tx);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x300, {0}));
    got = Drain(tx);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(XL_CAN_MSG_FLAG_TX_COMPLETED, got[0].tagData.msg.flags);

    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanAddAcceptanceRange(rx, 1, 0x10, 0x0F));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanAddAcceptanceRange(rx, 1, 0x700, 0x800));
}

TEST_F(BusTest, CodeAndMaskSelectIdsAndCloseExtended) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0x700, 0x700, XL_CAN_STD));
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0xFFF, 0xFFF, XL_CAN_EXT));
    for (uint32_t id : {0x6FFu, 0x700u, 0x7DFu, XL_CAN_EXT_MSG_ID | 0x18DAF110u, XL_CAN_EXT_MSG_ID | 0xFFFu})
        ASSERT_EQ(XL_SUCCESS, Send(tx, 0, id, {0}));
    std::vector<XLevent> got = Drain(rx);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x700u, got[0].tagData.msg.id);
    EXPECT_EQ(0x7DFu, got[1].tagData.msg.id);

    // A real code/mask on 29-bit ids; standard ids keep their own filter.
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0x18DAF100, 0x1FFFFF00, XL_CAN_EXT));
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0, 0, XL_CAN_STD));
    for (uint32_t id : {XL_CAN_EXT_MSG_ID | 0x18DAF1F1u, XL_CAN_EXT_MSG_ID | 0x18DA10F1u, 0x123u})
        ASSERT_EQ(XL_SUCCESS, Send(tx, 0, id, {0}));
    got = Drain(rx);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(XL_CAN_EXT_MSG_ID | 0x18DAF1F1u, got[0].tagData.msg.id);
    EXPECT_EQ(0x123u, got[1].tagData.msg.id);
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanSetChannelAcceptance(rx, 1, 0, 0, 3));
}

TEST_F(BusTest, FullQueueDropsAndMarksTheNextFrameOverrun) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false, 4);
    for (uint8_t i = 0; i < 6; ++i)
        ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x100 + i, {i}));
    std::vector<XLevent> got = Drain(rx);
    ASSERT_EQ(4u, got.size());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(0x100u + i, got[i].tagData.msg.id);
        EXPECT_EQ(0, got[i].tagData.msg.flags);
    }
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x200, {}));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x201, {}));
    got = Drain(rx);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x200u, got[0].tagData.msg.id);
    EXPECT_EQ(XL_CAN_MSG_FLAG_OVERRUN, got[0].tagData.msg.flags);
    EXPECT_EQ(0, got[1].tagData.msg.flags);
}

TEST_F(BusTest, EmptyQueueReportsStatusAndZeroCount) {
    const XLportHandle p = OpenActive(0);
    XLevent ev{};
    unsigned n = 8;
    EXPECT_EQ(XL_ERR_QUEUE_IS_EMPTY, xlReceive(p, &n, &ev));
    EXPECT_EQ(0u, n);
    n = 0;
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlReceive(p, &n, &ev));
}

TEST_F(BusTest, ReceiveHandsOutOneEventPerCall) {
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
}

TEST_F(BusTest, TimeStampsInNanosecondsFromThePortClock) {
    vxlsim_set_manual_clock(1);
    const XLportHandle tx = OpenActive(0);
    vxlsim_advance_ns(2000000);
    const XLportHandle rx = OpenActive(0, false);  // its clock starts now
    vxlsim_advance_ns(1500000);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x10, {1}));
    XLevent ev;
    ASSERT_TRUE(Next(rx, ev));
    EXPECT_EQ(1500000u, ev.timeStamp);
    ASSERT_TRUE(Next(tx, ev));
    EXPECT_EQ(3500000u, ev.timeStamp);

    // Re-activation with the reset flag restarts the port's clock; without
    // it the clock runs on.
    ASSERT_EQ(XL_SUCCESS, xlActivateChannel(tx, 1, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK));
    ASSERT_EQ(XL_SUCCESS, xlActivateChannel(rx, 1, XL_BUS_TYPE_CAN, XL_ACTIVATE_NONE));
    vxlsim_advance_ns(250);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x11, {1}));
    ASSERT_TRUE(Next(tx, ev));
    EXPECT_EQ(250u, ev.timeStamp);
    ASSERT_TRUE(Next(rx, ev));
    EXPECT_EQ(1500250u, ev.timeStamp);
}

TEST_F(BusTest, RealClockTimeStampsAdvance) {
    const XLportHandle tx = OpenActive(0);
    const XLportHandle rx = OpenActive(0, false);
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x10, {1}));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x11, {1}));
    XLevent a, b;
    ASSERT_TRUE(Next(rx, a));
    ASSERT_TRUE(Next(rx, b));
    EXPECT_GE(b.timeStamp - a.timeStamp, 5000000u);
    EXPECT_LT(b.timeStamp - a.timeStamp, 5000000000u);
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
    XLevent ev;
    EXPECT_FALSE(Next(rx, ev));
    vxlsim_advance_ns(dur - 1);
    EXPECT_FALSE(Next(rx, ev));
    EXPECT_FALSE(Next(tx, ev));
    vxlsim_advance_ns(1);
    ASSERT_TRUE(Next(rx, ev));
    EXPECT_EQ(dur, ev.timeStamp);
    EXPECT_FALSE(Next(rx, ev));  // the second frame waits for the first
    vxlsim_advance_ns(dur);
    ASSERT_TRUE(Next(rx, ev));
    EXPECT_EQ(2 * dur, ev.timeStamp);
    const std::vector<XLevent> conf = Drain(tx);
    ASSERT_EQ(2u, conf.size());
    EXPECT_EQ(2 * dur, conf[1].timeStamp);

    // At 125 kbit/s the same frame takes four times as long.
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelBitrate(tx, 1, 125000));
    ASSERT_EQ(XL_SUCCESS, Send(tx, 0, 0x12, kEight));
    vxlsim_advance_ns(4 * dur - 1);
    EXPECT_FALSE(Next(rx, ev));
    vxlsim_advance_ns(1);
    EXPECT_TRUE(Next(rx, ev));
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
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x7E8u, got[0].tagData.msg.id);
    EXPECT_EQ(123456u, got[0].timeStamp);
    EXPECT_EQ((std::vector<uint8_t>{0xAB, 0xCD}), Data(got[0]));
    EXPECT_EQ(XL_CAN_MSG_FLAG_ERROR_FRAME, got[1].tagData.msg.flags);

    got = Drain(b);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(XL_CAN_MSG_FLAG_ERROR_FRAME, got[0].tagData.msg.flags);
    EXPECT_EQ(0u, got[0].timeStamp);
    EXPECT_EQ(XL_CHIP_STATE, got[1].tag);
    EXPECT_EQ(777u, got[1].timeStamp);
    EXPECT_EQ(XL_CHIPSTAT_ERROR_PASSIVE, got[1].tagData.chipState.busStatus);
    EXPECT_EQ(130, got[1].tagData.chipState.txErrorCounter);
    EXPECT_EQ(4, got[1].tagData.chipState.rxErrorCounter);
    EXPECT_EQ(0x55, got[2].tag);
    EXPECT_EQ(42u, got[2].timeStamp);
    EXPECT_EQ(0x99, got[2].tagData.raw[0]);
    EXPECT_EQ(uint16_t(b), got[2].portHandle);
    EXPECT_EQ(XL_TRANSMIT_MSG, got[3].tag);
    EXPECT_EQ(0x321u, got[3].tagData.msg.id);
    EXPECT_TRUE(Drain(off).empty());
    EXPECT_EQ(0, vxlsim_capture_count());  // injection is not bus traffic
}

TEST_F(BusTest, OutsideFramesObeyFiltersAndAreCaptured) {
    const XLportHandle rx = OpenActive(0);
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0x7E8, 0x7FF, XL_CAN_STD));
    ASSERT_EQ(0, vxlsim::BusSend(0, 0x7E8, {1, 2}));
    ASSERT_EQ(0, vxlsim::BusSend(0, 0x7E9, {1, 2}));
    const std::vector<XLevent> got = Drain(rx);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x7E8u, got[0].tagData.msg.id);
    const std::vector<vxlsim_frame> cap = vxlsim::Captured();
    ASSERT_EQ(2u, cap.size());
    EXPECT_EQ(-1, cap[1].sender_port);
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
    std::vector<XLevent> got = Drain(tester);
    ASSERT_EQ(3u, got.size());  // two confirmations and the immediate reply
    EXPECT_EQ(0x7E9u, got[2].tagData.msg.id);
    EXPECT_EQ(0, got[2].tagData.msg.flags);
    vxlsim_advance_ns(4999999);
    EXPECT_TRUE(Drain(tester).empty());
    vxlsim_advance_ns(1);
    got = Drain(tester);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x7E8u, got[0].tagData.msg.id);
    EXPECT_EQ(5000000u, got[0].timeStamp);
    EXPECT_EQ((std::vector<uint8_t>{0x02, 0x50, 0x03}), Data(got[0]));
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

TEST_F(BusTest, TwoSendersAndAReceiverOnSeparateThreads) {
    const XLportHandle tx = OpenActive(0, true, 8192);
    const XLportHandle rx = OpenActive(0, false, 8192);
    constexpr int kPerThread = 500;
    std::atomic<int> failures{0};
    auto sender = [&](uint32_t id) {
        for (int i = 0; i < kPerThread; ++i)
            if (Send(tx, 0, id, {static_cast<uint8_t>(i)}) != XL_SUCCESS)
                ++failures;
    };
    std::atomic<bool> done{false};
    int received = 0, confirmed = 0;
    std::thread reader([&] {
        for (;;) {
            const bool finished = done.load();
            XLevent ev;
            unsigned n = 1;
            while (xlReceive(rx, &n, &ev) == XL_SUCCESS) {
                ++received;
                n = 1;
            }
            n = 1;
            while (xlReceive(tx, &n, &ev) == XL_SUCCESS) {
                if (ev.tagData.msg.flags & XL_CAN_MSG_FLAG_TX_COMPLETED)
                    ++confirmed;
                n = 1;
            }
            if (finished)
                break;
            std::this_thread::yield();
        }
    });
    std::thread s1(sender, 0x100), s2(sender, 0x200);
    s1.join();
    s2.join();
    done = true;
    reader.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(2 * kPerThread, received);
    EXPECT_EQ(2 * kPerThread, confirmed);
    EXPECT_EQ(2 * kPerThread, vxlsim_capture_count());
}

}  // namespace
