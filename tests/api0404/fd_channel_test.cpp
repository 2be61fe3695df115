// CAN FD through the 04.04 library: SAE's and GMW17753's protocols connect
// on a channel with ISO CAN FD and are refused on one without, their
// parameters, raw FD frames both ways with their lengths and bit-rate
// switch, the bus's confirmations, and a classic channel beside an FD one.
#include <gtest/gtest.h>

#include <cstdio>

#include "host0404.h"

namespace {

TEST(FdChannel0404, ConnectsOnAnFdChannelAndIsRefusedOnAClassicOne) {
    const struct {
        uint32_t protocol;
        bool capable;
        uint32_t status;
    } cases[] = {
        {kFdCanPs, true, STATUS_NOERROR},       {kFdIsoPs, true, STATUS_NOERROR},
        {kFdCanCh1, true, STATUS_NOERROR},      {kFdIsoCh1, true, STATUS_NOERROR},
        {kGmCanFdPs, true, STATUS_NOERROR},     {kGmIsoFdPs, true, STATUS_NOERROR},
        {kFdCanPs, false, ERR_NOT_SUPPORTED},   {kGmIsoFdPs, false, ERR_NOT_SUPPORTED},
        {ISO15765, false, STATUS_NOERROR},      {0x8013, true, ERR_INVALID_PROTOCOL_ID},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.protocol << " capable " << c.capable);
        FdHost host(c.capable);
        ASSERT_EQ(STATUS_NOERROR, host.open());
        vxlsim_call_clear();
        EXPECT_EQ(c.status, host.connect(c.protocol));
        const bool fdOpen = c.status == STATUS_NOERROR && c.protocol != ISO15765;
        EXPECT_EQ(fdOpen, CallsOf("xlCanFdSetConfiguration") > 0);
        EXPECT_EQ(c.status == ERR_NOT_SUPPORTED, host.traced("has no ISO CAN FD"));
        if (fdOpen) {
            EXPECT_EQ(2000000u, host.config(kDataPhaseRate));
        }
    }
}

TEST(FdChannel0404, ParametersAreSetCheckedAndReported) {
    const struct {
        uint32_t protocol, parameter, value, status, reported;
    } cases[] = {
        // 250000: below the arbitration rate; N_Cr in whole milliseconds.
        {kFdIsoPs, kDataPhaseRate, 4000000, STATUS_NOERROR, 4000000},
        {kFdIsoPs, kGmDataPhaseRate, 5000000, STATUS_NOERROR, 5000000},
        {kFdIsoPs, kDataPhaseRate, 3000000, ERR_INVALID_IOCTL_VALUE, 2000000},
        {kFdIsoPs, kDataPhaseRate, 250000, ERR_INVALID_IOCTL_VALUE, 2000000},
        {kFdIsoPs, kTxDataLength, 64, STATUS_NOERROR, 64}, {kFdIsoPs, kGmTxDataLength, 12, STATUS_NOERROR, 12},
        {kFdIsoPs, kTxDataLength, 10, ERR_INVALID_IOCTL_VALUE, 8}, {kFdIsoPs, kTermination, 3, STATUS_NOERROR, 3},
        {kFdIsoPs, kGmTermination, 2, ERR_INVALID_IOCTL_VALUE, 0},
        {kFdIsoPs, kNCrMax, 150000, STATUS_NOERROR, 150000}, {kFdIsoPs, kGmNCrMax, 2500, STATUS_NOERROR, 3000},
        {kFdIsoPs, kNCrMax, 0, ERR_INVALID_IOCTL_VALUE, 900000}, {kFdIsoPs, kPadValue, 0xAA, STATUS_NOERROR, 0xAA},
        {kFdIsoPs, kPadValue, 0x100, ERR_INVALID_IOCTL_VALUE, 0xFF},
        {kFdIsoPs, kGmFdType, 1, ERR_INVALID_IOCTL_VALUE, 0},
        {kFdIsoPs, kPins, 0x060E, STATUS_NOERROR, 0x060E}, {kFdIsoPs, kPins, 0x0309, ERR_PIN_INVALID, 0},
        {kFdCanCh1, kPins, 0x060E, ERR_NOT_SUPPORTED, kUnsupported},
        {kFdCanPs, kTxDataLength, 64, ERR_NOT_SUPPORTED, kUnsupported},
        {ISO15765, kDataPhaseRate, 2000000, ERR_NOT_SUPPORTED, kUnsupported},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "protocol " << c.protocol);
        FdHost host;
        host.openChannel(c.protocol);
        host.expectSet(c.parameter, c.value, c.status, c.reported);
        // A new data-phase rate opens the port again for CAN FD; nothing else does.
        const bool rate = c.parameter == kDataPhaseRate || c.parameter == kGmDataPhaseRate;
        EXPECT_EQ(rate && c.status == STATUS_NOERROR, CallsOf("xlCanFdSetConfiguration") > 0);
    }
}

TEST(FdChannel0404, RawFramesGoOutAsFdFramesOfTheirLengthsAndAreConfirmed) {
    const struct {
        uint32_t dataRate;
        size_t length, onBus;
        uint32_t flags;
    } cases[] = {
        {2000000, 12, 12, kFdBrs}, {2000000, 64, 64, kFdBrs}, {2000000, 10, 12, kFdBrs},
        {2000000, 3, 3, kFdBrs},   {500000, 20, 20, VXLSIM_FD_EDL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " bytes at " << c.dataRate);
        FdHost host;
        host.openChannel(kFdCanPs);
        ASSERT_EQ(STATUS_NOERROR, host.setConfig(kDataPhaseRate, c.dataRate));
        ASSERT_EQ(STATUS_NOERROR, host.setConfig(LOOPBACK, 1));
        vxlsim_capture_clear();
        const Bytes data = Counting(c.length, 1);
        EXPECT_EQ(STATUS_NOERROR, host.write(Msg0404(kFdCanPs, 0x7E0, data), 1000));
        const std::vector<vxlsim_frame> bus = vxlsim::Captured();
        ASSERT_EQ(1u, bus.size());
        EXPECT_EQ(c.onBus, bus[0].dlc);
        EXPECT_EQ(c.flags, bus[0].fd_flags & kFdBrs);
        const Bytes padded = Cat(data, Bytes(c.onBus - c.length, 0x00));
        EXPECT_EQ(padded, Bytes(bus[0].data, bus[0].data + bus[0].dlc));
        char line[64];
        std::snprintf(line, sizeof line, "CanId=0x07e0 Len=%3u Padding =  0 FD%s Data: 0x01", unsigned(c.onBus),
                      (c.flags & VXLSIM_FD_BRS) ? " BRS" : "");
        EXPECT_TRUE(host.traced(line)) << line;
        // The bus's confirmation: the write returned once it came, and the loopback.
        const std::vector<PASSTHRU_MSG> looped = host.read(1, 1000);
        ASSERT_EQ(1u, looped.size());
        EXPECT_EQ(TX_MSG_TYPE, looped[0].RxStatus);
        EXPECT_EQ(kFdCanPs, looped[0].ProtocolID);
        EXPECT_EQ(With(0x7E0, padded), DataOf(looped[0]));
    }
    // A CAN FD message holds its identifier and up to 64 bytes.
    FdHost host;
    host.openChannel(kFdCanPs);
    EXPECT_EQ(ERR_INVALID_MSG, host.write(Msg0404(kFdCanPs, 0x7E0, Counting(65, 1))));
    EXPECT_EQ(ERR_MSG_PROTOCOL_ID, host.write(Msg0404(CAN, 0x7E0, Counting(8, 1))));
}

TEST(FdChannel0404, ReceivedFramesComeWithTheirLengths) {
    FdHost host;
    host.openChannel(kFdCanCh1);
    ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
    const Bytes lengths = {12, 64, 8, 0};
    for (uint8_t n : lengths) vxlsim::BusSendFd(0, 0x7E8, Counting(n, 1), kFdBrs);
    vxlsim::BusSend(0, 0x7E9, Counting(5, 1));  // a classic frame is delivered as one
    const std::vector<PASSTHRU_MSG> got = host.read(10, 1000);
    ASSERT_EQ(lengths.size() + 1, got.size());
    for (size_t i = 0; i < lengths.size(); ++i) {
        EXPECT_EQ(With(0x7E8, Counting(lengths[i], 1)), DataOf(got[i]));
        EXPECT_EQ(kFdCanCh1, got[i].ProtocolID);
    }
    EXPECT_EQ(9u, got.back().DataSize);
}

TEST(FdChannel0404, AClassicChannelBesideAnFdOneSendsAndGetsClassicFramesOnly) {
    FdHost host;
    host.openChannel(CAN);
    uint32_t fdIso = 0;
    // The FD channel opens the port again for CAN FD under the classic one.
    ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), kFdIsoCh1, 0, 500000, &fdIso));
    EXPECT_TRUE(CallsOf("xlCanFdSetConfiguration") > 0);
    ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
    vxlsim_capture_clear();
    vxlsim_call_clear();
    EXPECT_EQ(STATUS_NOERROR, host.write(Msg0404(CAN, 0x100, {1, 2, 3}), 1000));
    const std::vector<vxlsim_frame> bus = vxlsim::Captured();
    ASSERT_EQ(1u, bus.size());
    EXPECT_EQ(0u, bus[0].fd_flags);
    EXPECT_EQ(3u, bus[0].dlc);
    EXPECT_TRUE(CallsOf("xlCanTransmitEx") > 0);
    vxlsim::BusSendFd(0, 0x7E8, Counting(12, 1));
    vxlsim::BusSendFd(0, 0x7E8, Counting(4, 1));
    vxlsim::BusSend(0, 0x7E9, Counting(2, 1));
    const std::vector<PASSTHRU_MSG> got = host.read(4, 200);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(With(0x7E9, {1, 2}), DataOf(got[0]));
}

}  // namespace
