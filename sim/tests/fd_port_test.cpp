// Ports of interface version 4: FD frames between two ports and to a
// classic one, the driver's refusals, the bus time of FD frames, the
// notification and the texts.
#include <string>
#include <tuple>

#include "sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t first = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

class FdPortTest : public SimTest {};

TEST_F(FdPortTest, FramesReachTheOtherPortsAsTheirVersionHasThem) {
    vxlsim_set_manual_clock(1);
    const XLportHandle a = openFd(kFdChannel);
    const XLportHandle b = openFd(kFdChannel, false);
    const XLportHandle classic = openActive(kFdChannel, false);
    struct Case {
        uint32_t id, flags;
        uint8_t dlc;
        size_t length;
    } cases[] = {{0x123, 0, 3, 3},
                 {0x7E0, XL_CAN_TXMSG_FLAG_EDL, 9, 12},
                 {0x7E8, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, 15, 64},
                 {0x18DA10F1 | XL_CAN_EXT_MSG_ID, XL_CAN_TXMSG_FLAG_EDL, 11, 20}};
    for (const Case &c : cases) ASSERT_EQ(XL_SUCCESS, sendFd(a, kFdChannel, c.id, c.flags, c.dlc, Pattern(c.length)));

    const std::vector<XLcanRxEvent> own = drainFd(a), seen = drainFd(b);
    ASSERT_EQ(4u, own.size());
    ASSERT_EQ(4u, seen.size());
    for (size_t k = 0; k < 4; ++k) {
        const Case &c = cases[k];
        const XL_CAN_EV_RX_MSG &m = seen[k].tagData.canRxOkMsg;
        EXPECT_EQ(std::make_tuple(XL_CAN_EV_TAG_TX_OK, XL_CAN_EV_TAG_RX_OK, 128u, kFdChannel, c.id, c.flags, c.dlc),
                  std::make_tuple(own[k].tag, seen[k].tag, unsigned(seen[k].size), unsigned(seen[k].channelIndex),
                                  m.canId, m.msgFlags, m.dlc))
            << k;
        EXPECT_EQ(Pattern(c.length), fdData(seen[k]));
        EXPECT_EQ(Pattern(c.length), fdData(own[k]));
    }
    // The classic port has no record for FD frames: only the classic one.
    const std::vector<XLevent> classicSeen = drain(classic);
    ASSERT_EQ(1u, classicSeen.size());
    EXPECT_EQ(Bytes({0, 1, 2}), data(classicSeen[0]));
    // A version-3 port's frame reaches the version-4 ports as a classic RX_OK.
    ASSERT_EQ(XL_SUCCESS, send(classic, kFdChannel, 0x321, {9, 8}));
    const std::vector<XLcanRxEvent> fromClassic = drainFd(b);
    ASSERT_EQ(1u, fromClassic.size());
    EXPECT_EQ(0u, fromClassic[0].tagData.canRxOkMsg.msgFlags);
    EXPECT_EQ(Bytes({9, 8}), fdData(fromClassic[0]));
    drain(classic);
    std::string hex;
    for (uint8_t b : Pattern(64)) hex += "0123456789ABCDEF"[b >> 4], hex += "0123456789ABCDEF"[b & 15];
    EXPECT_EQ("RX_OK c=2, t=0, id=07E8 dlc=15, l=64, " + hex + " EDL BRS",
              std::string(xlCanGetEventString(const_cast<XLcanRxEvent *>(&seen[2]))));

    // Captured with length and FD marks, in the capture file's line form.
    const std::vector<vxlsim_frame> frames = vxlsim::Captured();
    ASSERT_EQ(5u, frames.size());
    EXPECT_EQ(0u, frames[0].fd_flags);
    EXPECT_EQ(64u, frames[2].dlc);
    EXPECT_EQ(uint32_t(VXLSIM_FD_EDL | VXLSIM_FD_BRS), frames[2].fd_flags);
    // Time stamps aside (the first field), as the capture file has them.
    auto line = [&](size_t k) {
        const std::string l = vxlsim::CaptureLine(frames[k]);
        return l.substr(l.find(' '));
    };
    EXPECT_EQ(" 2 123 3 00 01 02 port 0", line(0));
    EXPECT_EQ(" 2 7E0 12 00 01 02 03 04 05 06 07 08 09 0A 0B port 0 FD", line(1));
    EXPECT_EQ(" 3E 3F port 0 FD BRS", line(2).substr(line(2).size() - 20));
}

TEST_F(FdPortTest, TransmitRefusalsAsTheDriverHasThem) {
    const XLportHandle fd = openFd(kFdChannel);
    const XLportHandle unconfigured = openFd(kFdChannel + 1, false);
    const XLportHandle hardware = openFd(0, true, 16384, false);  // a CAN 2.0 card
    const Bytes eight = Pattern(8);
    struct Case {
        XLportHandle port;
        unsigned channel;
        uint32_t id, flags;
        uint8_t dlc;
        XLstatus expected;
    } cases[] = {
        {hardware, 0, 0x100, XL_CAN_TXMSG_FLAG_EDL, 8, XL_ERR_INVALID_FDFLAG_MODE20},
        {unconfigured, kFdChannel + 1, 0x100, XL_CAN_TXMSG_FLAG_EDL, 8, XL_ERR_INVALID_FDFLAG_MODE20},
        {fd, kFdChannel, 0x100, XL_CAN_TXMSG_FLAG_BRS, 8, XL_ERR_EDL_NOT_SET},
        {fd, kFdChannel, 0x100, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_RTR, 0, XL_ERR_EDL_RTR},
        {fd, kFdChannel, 0x100, XL_CAN_TXMSG_FLAG_EDL, 16, XL_ERR_INVALID_DLC},
        {fd, kFdChannel, 0x100, 0, 9, XL_ERR_INVALID_DLC},
        {fd, kFdChannel, 0x800, XL_CAN_TXMSG_FLAG_EDL, 8, XL_ERR_INVALID_CANID},
        {fd, kFdChannel, 0x100, 0x0004, 8, XL_ERR_UNKNOWN_FLAG},
        {hardware, 0, 0x100, 0, 8, XL_SUCCESS},  // classic frames go on any channel
        {unconfigured, kFdChannel + 1, 0x100, XL_CAN_TXMSG_FLAG_RTR, 0, XL_SUCCESS},
    };
    EXPECT_EQ(XL_ERR_NOT_SUPPORTED, configureFd(hardware, 0, kDataRate));
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, sendFd(c.port, c.channel, c.id, c.flags, c.dlc, eight)) << std::hex << c.flags;

    // Of a batch, the frames before the refused one are taken.
    XLcanTxEvent batch[3] = {fdTxEvent(0x1, XL_CAN_TXMSG_FLAG_EDL, 9, Pattern(12)), fdTxEvent(0x2, 0, 1, {7}),
                             fdTxEvent(0x3, XL_CAN_TXMSG_FLAG_BRS, 1, {7})};
    batch[2].tag = XL_CAN_EV_TAG_TX_MSG;
    unsigned sent = 0;
    EXPECT_EQ(XL_ERR_EDL_NOT_SET, xlCanTransmitEx(fd, mask(kFdChannel), 3, &sent, batch));
    EXPECT_EQ(2u, sent);
    batch[0].tag = XL_CAN_EV_TAG_RX_OK;
    EXPECT_EQ(XL_ERR_INVALID_TAG, xlCanTransmitEx(fd, mask(kFdChannel), 1, &sent, batch));
}

TEST_F(FdPortTest, OpenConfigureAndTheCallsOfTheOtherVersion) {
    XLaccess perm = mask(kFdChannel);
    XLportHandle h = XL_INVALID_PORTHANDLE;
    char name[] = "fd";
    for (unsigned bad : {0u, 4096u, 12288u, 1048576u})
        EXPECT_EQ(XL_ERR_WRONG_PARAMETER,
                  xlOpenPort(&h, name, mask(kFdChannel), &perm, bad, XL_INTERFACE_VERSION_V4, XL_BUS_TYPE_CAN))
            << bad;
    const XLportHandle noInit = openFd(kFdChannel, false, 8192);
    const XLportHandle fd = openFd(kFdChannel);
    const XLportHandle classic = openActive(kFdChannel + 1);
    const struct {
        uint32_t arbitration, data;
        XLportHandle port;
        XLstatus expected;
    } configs[] = {{500000, 250000, fd, XL_ERR_WRONG_PARAMETER},
                   {0, 2000000, fd, XL_ERR_WRONG_PARAMETER},
                   {500000, 9000000, fd, XL_ERR_WRONG_PARAMETER},
                   {500000, 2000000, noInit, XL_ERR_INIT_ACCESS_MISSING},
                   {1000000, 1000000, fd, XL_SUCCESS},
                   {500000, 4000000, fd, XL_SUCCESS}};
    for (const auto &c : configs)
        EXPECT_EQ(c.expected, configureFd(c.port, kFdChannel, c.data, c.arbitration)) << c.arbitration << " " << c.data;
    XLdriverConfig cfg{};
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    EXPECT_EQ(4000000u, uint32_t(cfg.channel[kFdChannel].busParams.data.canFD.dataBitRate));  // packed: copied
    EXPECT_EQ(XL_BUS_PARAMS_CANOPMODE_CANFD, cfg.channel[kFdChannel].busParams.data.canFD.canOpMode);
    EXPECT_EQ(0u, cfg.channel[kFdChannel + 1].busParams.data.can.canOpMode);  // CAN 2.0 as ever

    unsigned n = 1, sent = 0;
    XLevent ev = txEvent(0x100, {1});
    XLcanTxEvent fdEv = fdTxEvent(0x100, 0, 1, {1});
    XLcanRxEvent rx{};
    EXPECT_EQ(XL_ERR_NOT_SUPPORTED, xlCanTransmit(fd, mask(kFdChannel), &n, &ev));
    EXPECT_EQ(XL_ERR_NOT_SUPPORTED, xlReceive(fd, &n, &ev));
    EXPECT_EQ(XL_ERR_NOT_SUPPORTED, xlCanTransmitEx(classic, mask(kFdChannel + 1), 1, &sent, &fdEv));
    EXPECT_EQ(XL_ERR_NOT_SUPPORTED, xlCanReceive(classic, &rx));
    EXPECT_EQ(XL_ERR_QUEUE_IS_EMPTY, xlCanReceive(fd, &rx));

    // A hardware channel made FD capable takes the configuration.
    ASSERT_EQ(0, vxlsim_set_channel_fd(0, 1));
    const XLportHandle card = openFd(0);
    EXPECT_EQ(XL_SUCCESS, sendFd(card, 0, 0x100, XL_CAN_TXMSG_FLAG_EDL, 10, Pattern(16)));
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    EXPECT_EQ(XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT,
              uint32_t(cfg.channel[0].channelCapabilities & XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT));
}

TEST_F(FdPortTest, DlcCodesAndLengths) {
    const XLportHandle h = openFd(kFdChannel);
    const unsigned lengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    for (uint8_t dlc = 0; dlc < 16; ++dlc)
        ASSERT_EQ(XL_SUCCESS, sendFd(h, kFdChannel, 0x100, XL_CAN_TXMSG_FLAG_EDL, dlc, Pattern(64)));
    const std::vector<vxlsim_frame> frames = vxlsim::Captured();
    ASSERT_EQ(16u, frames.size());
    for (unsigned dlc = 0; dlc < 16; ++dlc) EXPECT_EQ(lengths[dlc], frames[dlc].dlc) << dlc;
    // An outside node's frame of a length no DLC code gives is refused.
    EXPECT_EQ(-1, vxlsim::BusSendFd(kFdChannel, 0x100, Pattern(13)));
    EXPECT_EQ(-1, vxlsim::BusSendFd(kFdChannel, 0x100, Pattern(9), 0));
}

// Real timing, 500 kbit/s / 2 Mbit/s, ISO CAN FD, 11-bit identifier, stuff
// bits one in five of the dynamically stuffed ones:
//   arbitration phase: SOF 1 + ID 11 + RRS, IDE, FDF, res, BRS 5 = 17, + 3 stuff
//                      + CRC delimiter, ACK, ACK delimiter 3 + EOF 7 + IFS 3 = 33 bits
//   data phase, 64 bytes: ESI 1 + DLC 4 + 512 = 517, + 103 stuff, + stuff count 4
//                      + CRC-21 + 7 fixed stuff bits = 652 bits
//   data phase, 12 bytes: 1 + 4 + 96 = 101, + 20, + 4 + CRC-17 + 6 = 148 bits
//   data phase, 16 bytes (the longest with CRC-17): 1 + 4 + 128 = 133, + 26, + 4 + 17 + 6 = 186 bits
TEST_F(FdPortTest, BusTimeOfFdFrames) {
    vxlsim_set_real_timing(1);
    vxlsim_set_manual_clock(1);
    const XLportHandle fd = openFd(kFdChannel);
    const XLportHandle classic = openActive(kFdChannel + 1);
    const struct {
        unsigned channel;
        uint32_t flags;
        uint8_t dlc;
        uint64_t ns;
    } cases[] = {
        {kFdChannel, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, 15, 33 * 2000 + 652 * 500},
        {kFdChannel, XL_CAN_TXMSG_FLAG_EDL, 15, (33 + 652) * 2000},
        {kFdChannel, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, 9, 33 * 2000 + 148 * 500},
        {kFdChannel, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, 10, 33 * 2000 + 186 * 500},
        {kFdChannel + 1, 0, 8, 260000},  // classic: 47 + 64 + 98 / 5 = 130 bits
    };
    for (const auto &c : cases) {
        vxlsim_capture_clear();
        const uint64_t start = vxlsim_now_ns();
        if (c.channel == kFdChannel)
            ASSERT_EQ(XL_SUCCESS, sendFd(fd, c.channel, 0x7E0, c.flags, c.dlc, Pattern(64)));
        else
            ASSERT_EQ(XL_SUCCESS, send(classic, c.channel, 0x7E0, Pattern(8)));
        vxlsim_advance_ns(10000000);
        const std::vector<vxlsim_frame> frames = vxlsim::Captured();
        ASSERT_EQ(1u, frames.size());
        EXPECT_EQ(c.ns, frames[0].time_ns - start) << unsigned(c.dlc) << " " << c.flags;
    }
    vxlsim_set_manual_clock(0);
}

TEST_F(FdPortTest, NotificationQueueLimitAndErrorFrames) {
    vxlsim_set_manual_clock(1);
    const XLportHandle h = openFd(kFdChannel, true, 8192);  // 64 events of 128 bytes
    XLhandle handle = nullptr;
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlSetNotification(h, &handle, 65));
    ASSERT_EQ(XL_SUCCESS, xlSetNotification(h, &handle, 1));
    EXPECT_EQ(0, vxlsim_notification_taken(h));
    ASSERT_EQ(0, vxlsim::BusSendFd(kFdChannel, 0x7E8, Pattern(64)));
    EXPECT_EQ(1, vxlsim_notification_taken(h));
    for (int i = 0; i < 70; ++i) ASSERT_EQ(0, vxlsim::BusSendFd(kFdChannel, 0x7E8, Pattern(8)));
    EXPECT_EQ(0, vxlsim_notification_taken(h));  // not read empty yet
    std::vector<XLcanRxEvent> evs = drainFd(h);
    ASSERT_EQ(64u, evs.size());
    ASSERT_EQ(0, vxlsim::BusSendFd(kFdChannel, 0x7E8, Pattern(8)));
    EXPECT_EQ(1, vxlsim_notification_taken(h));
    evs = drainFd(h);
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(XL_CAN_QUEUE_OVERFLOW, evs[0].flagsChip);

    // An FD frame on a channel in CAN 2.0 mode: the controllers there flag it.
    const XLportHandle fdOnClassic = openFd(kFdChannel + 1, false);
    const XLportHandle classic = openActive(kFdChannel + 1, false);
    ASSERT_EQ(0, vxlsim::BusSendFd(kFdChannel + 1, 0x7E8, Pattern(12)));
    evs = drainFd(fdOnClassic);
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(XL_CAN_EV_TAG_RX_ERROR, evs[0].tag);
    EXPECT_EQ("RX_ERROR c=3, t=0, errorCode=2 FORM_ERROR", std::string(xlCanGetEventString(&evs[0])));
    const std::vector<XLevent> classicSeen = drain(classic);
    ASSERT_EQ(1u, classicSeen.size());
    EXPECT_EQ(XL_CAN_MSG_FLAG_ERROR_FRAME, classicSeen[0].tagData.msg.flags);

    // Chip states reach version-4 ports in their own record.
    ASSERT_EQ(1, vxlsim_inject_chip_state(fdOnClassic, kFdChannel + 1, XL_CHIPSTAT_ERROR_PASSIVE, 128, 0, 42));
    evs = drainFd(fdOnClassic);
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ("CHIP_STATE c=3, t=42, busStatus=PASSIVE, txErrCnt=128, rxErrCnt=0",
              std::string(xlCanGetEventString(&evs[0])));
    EXPECT_EQ(40u, evs[0].size);
    vxlsim_set_manual_clock(0);
}

}  // namespace
