// The ISO15765 channel on the shared transport, against the stand-in's
// ECUs: flow-control filters, the indications and their order, writes with a
// time-out, the ISO15765 parameters on the bus, 29-bit identifiers.
#include <gtest/gtest.h>

#include <algorithm>

#include "host0404.h"

namespace {

TEST(IsoChannel0404, FlowControlFiltersAsThe0404InterfaceHasThem) {
    Host0404 host;
    host.openChannel(ISO15765);
    uint32_t first = 0;
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0, &first));
    const struct {
        uint32_t resp, flow;
        uint32_t status;
    } pairs[] = {
        {0x7E8, 0x7E1, ERR_NOT_UNIQUE}, {0x7E9, 0x7E0, ERR_NOT_UNIQUE}, {0x7E0, 0x7E9, ERR_NOT_UNIQUE},
        {0x7E9, 0x7E8, ERR_NOT_UNIQUE}, {0x7E9, 0x7E1, STATUS_NOERROR},
    };
    for (const auto &p : pairs)
        EXPECT_EQ(p.status, host.flowFilter(p.resp, p.flow)) << std::hex << p.resp << "/" << p.flow;
    for (uint32_t i = 2; i < 16; ++i) ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x600 + i, 0x680 + i)) << i;
    EXPECT_EQ(ERR_EXCEEDED_LIMIT, host.flowFilter(0x700, 0x701));
    ASSERT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(host.channel(), first));
    EXPECT_EQ(ERR_INVALID_FILTER_ID, host.pt().StopMsgFilter(host.channel(), first));
    EXPECT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));

    PASSTHRU_MSG four = Msg0404(ISO15765, 0x7E8, {}), five = Msg0404(ISO15765, 0x7E8, {0xF1});
    PASSTHRU_MSG can = Msg0404(CAN, 0x7E8, {});
    uint32_t id = 0;
    const struct {
        const char *what;
        uint32_t type;
        PASSTHRU_MSG *mask, *pattern, *flow;
        uint32_t status;
    } cases[] = {
        {"pass filter", PASS_FILTER, &four, &four, nullptr, ERR_NOT_SUPPORTED},
        {"block filter", BLOCK_FILTER, &four, &four, nullptr, ERR_NOT_SUPPORTED},
        {"no flow-control message", FLOW_CONTROL_FILTER, &four, &four, nullptr, ERR_NULL_PARAMETER},
        {"sizes differ", FLOW_CONTROL_FILTER, &four, &five, &four, ERR_INVALID_MSG},
        {"CAN pattern", FLOW_CONTROL_FILTER, &four, &can, &four, ERR_MSG_PROTOCOL_ID},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.status, host.pt().StartMsgFilter(host.channel(), c.type, c.mask, c.pattern, c.flow, &id))
            << c.what;
}

// The order a tool reads: our TX_INDICATION (and the loopback), the start of
// the answer, the answer.
TEST(IsoChannel0404, IndicationsComeInTheOrderOfTheBus) {
    Host0404 host("TRACE=1\n", kOneEcu.c_str());
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    ASSERT_EQ(STATUS_NOERROR, host.setConfig(LOOPBACK, 1));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, {0x22, 0xF1, 0x90}, ISO15765_FRAME_PAD)));
    const std::vector<PASSTHRU_MSG> got = host.readAnswer();
    ASSERT_EQ(4u, got.size());
    const struct {
        uint32_t rxStatus;
        Bytes data;
    } expected[] = {
        {TX_INDICATION, IdBytes(0x7E0)},
        {TX_MSG_TYPE, With(0x7E0, {0x22, 0xF1, 0x90})},
        {START_OF_MESSAGE, IdBytes(0x7E8)},
        {0, With(0x7E8, {0x62, 0xF1, 0x90})},
    };
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ISO15765, got[i].ProtocolID);
        EXPECT_EQ(expected[i].rxStatus, got[i].RxStatus);
        const Bytes data = DataOf(got[i]);
        EXPECT_EQ(expected[i].data, Bytes(data.begin(), data.begin() + static_cast<long>(std::min(data.size(), expected[i].data.size()))));
    }
    EXPECT_EQ(4u + 3u + 17u, got[3].DataSize);  // the VIN's 17 characters
    EXPECT_LE(got[0].Timestamp, got[2].Timestamp);
    EXPECT_LE(got[2].Timestamp, got[3].Timestamp);
}

// Our flow control carries ISO15765_BS and ISO15765_STMIN; BS_TX and
// STMIN_TX replace the peer's when we send; WFT_MAX bounds the WAITs taken.
TEST(IsoChannel0404, TheIsoParametersOnTheBus) {
    Host0404 host("TRACE=1\n", kOneEcu.c_str());
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    const struct {
        uint32_t parameter, value, status;
    } sets[] = {
        {ISO15765_BS, 8, STATUS_NOERROR},          {ISO15765_STMIN, 0xF5, STATUS_NOERROR},
        {ISO15765_STMIN, 0x80, ERR_INVALID_IOCTL_VALUE}, {ISO15765_BS_TX, 0x100, ERR_INVALID_IOCTL_VALUE},
        {ISO15765_STMIN_TX, 10, STATUS_NOERROR},   {ISO15765_WFT_MAX, 2, STATUS_NOERROR},
        {ISO15765_WFT_MAX, 256, ERR_INVALID_IOCTL_VALUE},
    };
    for (const auto &s : sets) {
        EXPECT_EQ(s.status, host.setConfig(s.parameter, s.value)) << s.parameter;
        uint32_t value = 0;
        if (s.status == STATUS_NOERROR) {
            EXPECT_EQ(STATUS_NOERROR, host.getConfig(s.parameter, &value));
            EXPECT_EQ(s.value, value);
        }
    }
    uint32_t bsTx = 0;
    EXPECT_EQ(STATUS_NOERROR, host.getConfig(ISO15765_BS_TX, &bsTx));
    EXPECT_EQ(0xFFFFu, bsTx);  // the peer's unless set

    // The ECU's 20-byte answer: our flow control says BS 8, STmin 0xF5, in
    // its three bytes (the filter's flow-control message asks for no padding).
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, {0x22, 0xF1, 0x90}, ISO15765_FRAME_PAD)));
    ASSERT_EQ(4u - 1u, host.readAnswer().size());  // indication, start, answer
    const std::vector<std::string> bus = BusLines();
    EXPECT_NE(bus.end(), std::find(bus.begin(), bus.end(), "7E0: 30 08 F5"));

    // Sending 50 bytes to an ECU that asks for STmin 0: ours, 10 ms, paces the frames.
    vxlsim_capture_clear();
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, Cat({0xBA}, Bytes(49, 1)), ISO15765_FRAME_PAD), 2000));
    std::vector<uint64_t> sent;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.id == 0x7E0 && (f.data[0] >> 4) == 2) sent.push_back(f.wall_ns);
    ASSERT_EQ(7u, sent.size());
    for (size_t i = 1; i < sent.size(); ++i) EXPECT_GE(sent[i] - sent[i - 1], 9000000u) << i;

    // Three WAITs from the ECU, two taken: the transfer is given up, and the
    // write says so at once.
    host.readAnswer();
    ASSERT_EQ(0, vxlsim_ecu_set(vxlsim_ecu_find("engine"), "fc_wait", "3"));
    uint32_t num = 0;
    EXPECT_EQ(ERR_FAILED, host.write(Msg0404(ISO15765, 0x7E0, Cat({0xBA}, Bytes(20, 2)), ISO15765_FRAME_PAD), 500, &num));
    EXPECT_EQ(0u, num);
    ASSERT_EQ(STATUS_NOERROR, host.setConfig(ISO15765_WFT_MAX, 3));
    EXPECT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, Cat({0xBA}, Bytes(20, 2)), ISO15765_FRAME_PAD), 2000));
}

TEST(IsoChannel0404, TwentyNineBitIdentifiersAndExtendedAddresses) {
    const std::string config = std::string(VXLSIM_ONE_CARD) +
                               "[ecu]\nname = e29\nrequest_id = 0x18DA10F1\nresponse_id = 0x18DAF110\n"
                               "functional_id = 0\n"
                               "[ecu]\nname = gateway\nrequest_id = 0x6F1\nresponse_id = 0x640\n"
                               "ecu_address = 0x40\ntester_address = 0xF1\nfunctional_id = 0\n";
    Host0404 host("TRACE=1\n", config.c_str());
    host.openChannel(ISO15765, CAN_ID_BOTH);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x18DAF110, 0x18DA10F1, nullptr, -1, -1, CAN_29BIT_ID));
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x640, 0x6F1, nullptr, 0xF1, 0x40, ISO15765_ADDR_TYPE));

    ASSERT_EQ(STATUS_NOERROR,
              host.write(Msg0404(ISO15765, 0x18DA10F1, {0x22, 0xF1, 0x90}, CAN_29BIT_ID | ISO15765_FRAME_PAD)));
    std::vector<PASSTHRU_MSG> got = host.readAnswer();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(TX_INDICATION | CAN_29BIT_ID, got[0].RxStatus);
    EXPECT_EQ(START_OF_MESSAGE | CAN_29BIT_ID, got[1].RxStatus);
    EXPECT_EQ(CAN_29BIT_ID, got[2].RxStatus);
    EXPECT_EQ(With(0x18DAF110, {0x62, 0xF1, 0x90}), Bytes(got[2].Data, got[2].Data + 7));
    EXPECT_EQ(4u + 3u + 17u, got[2].DataSize);

    ASSERT_EQ(STATUS_NOERROR,
              host.write(Msg0404(ISO15765, 0x6F1, {0x40, 0x22, 0xF1, 0x90}, ISO15765_ADDR_TYPE | ISO15765_FRAME_PAD)));
    got = host.readAnswer();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(TX_INDICATION | ISO15765_ADDR_TYPE, got[0].RxStatus);
    EXPECT_EQ(With(0x6F1, {0x40}), DataOf(got[0]));
    EXPECT_EQ(With(0x640, {0xF1, 0x62, 0xF1, 0x90}), Bytes(got[2].Data, got[2].Data + 8));
}

}  // namespace
