// Connect and disconnect, PassThruIoctl, and bringing the Vector channel up
// through DATA_RATE, with every refusal of the driver on the way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "host.h"

namespace {

using Strings = std::vector<std::string>;

// The last messages of the trace before the given one.
Strings Before(const Host &host, const std::string &text, size_t n) {
    const Strings all = host.trace();
    const auto at = std::find(all.begin(), all.end(), text);
    return Strings(at - std::min(static_cast<std::ptrdiff_t>(n), at - all.begin()), at);
}

// The block size the library announces: its flow control for a first frame from 0x7E8.
std::string FlowControlForFirstFrame(Host &host) {
    host.listen(0x7E8, 0x7E0);
    vxlsim_capture_clear();
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    host.drain();
    const Strings bus = BusLines();
    return bus.empty() ? std::string() : bus.back();
}

TEST(Channel, ConnectRefusesWhatItCannotServe) {
    Host host("TRACE=2\n");
    const struct {
        uint32_t protocol, flags;
        bool channel;
        uint32_t status;
        const char *text;
    } cases[] = {
        {CAN, 0x180, true, ERR_NOT_SUPPORTED, "PassThruConnect invalid ProtocolID"},
        {ISO15765, 0x100, true, ERR_NOT_SUPPORTED, "PassThruConnect invalid FLAGS_CAN_ID_29BIT"},
        {ISO15765, 0x180, true, ERR_NOT_SUPPORTED, "PassThruConnect invalid FLAGS_CAN_ID_29BIT"},
        {ISO15765, 0x80, true, ERR_NOT_SUPPORTED, "PassThruConnect invalid FLAGS_EXTENDED_ADDRESSING"},
        {ISO15765, 0, false, ERR_NULL_PARAMETER, "PassThruConnect pChannelID is a NULL pointer"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t channel = 0xDEAD;
        const size_t before = host.tracedCount(c.text);
        EXPECT_EQ(c.status, host.pt().Connect(c.protocol, c.flags, c.channel ? &channel : nullptr));
        EXPECT_EQ(0xDEADu, channel);
        EXPECT_EQ(before + 1, host.tracedCount(c.text));
    }
    EXPECT_EQ(0u, host.tracedCount("PassThruConnect-CAN is active now!"));

    // Other flags are no reason to refuse; a second connect starts no second worker.
    for (uint32_t flags : {0x200u, 0u}) {
        uint32_t channel = 0;
        EXPECT_EQ(STATUS_NOERROR, host.pt().Connect(ISO15765, flags, &channel));
        EXPECT_EQ(1u, channel);
    }
    EXPECT_TRUE(host.traced("PassThruConnect already connected, worker running"));
    EXPECT_EQ(STATUS_NOERROR, host.pt().Disconnect(1));
    const Strings columns = host.library().traceMessages();
    EXPECT_EQ(2, std::count(columns.begin(), columns.end(), "ThreadRead(start)"));  // one entry, one exit
}

// Disconnect closes port and driver whatever the channel id; filters and
// settings outlive it, a confirmation still pending does not.
TEST(Channel, DisconnectClosesTheDriverAndForgetsPendingConfirmations) {
    Host host("TRACE=2\n");
    host.open(0x7E8, 0x7E0);
    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{ISO15765_BS, 3}}));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, {0x3E, 0x00})));
    vxlsim_call_clear();
    EXPECT_EQ(STATUS_NOERROR, host.pt().Disconnect(7));
    EXPECT_EQ((Strings{"xlDeactivateChannel", "xlClosePort", "xlCloseDriver"}), Called());
    EXPECT_EQ(0, vxlsim_open_port_count());
    EXPECT_EQ(0, vxlsim_driver_open_count());
    EXPECT_EQ(STATUS_NOERROR, host.pt().Disconnect(7));

    host.open();
    ASSERT_EQ(1, vxlsim::InjectFrame(-1, 0, 0x7E0, {0x02, 0x3E, 0x00}, XL_CAN_MSG_FLAG_TX_COMPLETED));
    EXPECT_TRUE(host.drain().empty());
    EXPECT_TRUE(host.traced("PASSFilter-Aknowledge ACK removed/ignored"));
    EXPECT_EQ("7E0: 30 03 00 FF FF FF FF FF", FlowControlForFirstFrame(host));
    uint32_t id = 0;
    ASSERT_EQ(STATUS_NOERROR, host.startFilter(BLOCK_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x7E9), nullptr, &id));
    EXPECT_EQ(5u, id);  // two filters before the disconnect, two after
}

TEST(Ioctl, PlainIoctlsAnswerAndRefusedOnesChangeNothing) {
    Host host("TRACE=1\n");
    uint32_t millivolts = 0;
    EXPECT_EQ(STATUS_NOERROR, host.pt().Ioctl(7, READ_VBATT, nullptr, &millivolts));
    EXPECT_EQ(12000u, millivolts);
    EXPECT_EQ(STATUS_NOERROR, host.ioctl(PT_IOCTLID_BUFFER_SIZE, nullptr, nullptr));
    EXPECT_EQ(STATUS_NOERROR, host.ioctl(PT_IOCTLID_TIMEOUT_OFFSET, reinterpret_cast<void *>(intptr_t{-10}), nullptr));
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    PT_QEL_SPECIAL record{buffer, 0};
    EXPECT_EQ(STATUS_NOERROR, host.ioctl(PT_IOCTLID_QEL_SPECIAL, nullptr, &record));
    EXPECT_EQ(10u, record.Value);
    EXPECT_STREQ("zyn_pt_vector_qel", buffer);
    EXPECT_EQ('x', buffer[18]) << "18 bytes with the NUL, no more";

    // Refused requests change nothing.
    SCONFIG param{ISO15765_BS, 9};
    SCONFIG_LIST list{1, &param};
    for (uint32_t id : {GET_CONFIG, FIVE_BAUD_INIT, FAST_INIT, CLEAR_TX_BUFFER, CLEAR_RX_BUFFER, CLEAR_PERIODIC_MSGS,
                        CLEAR_MSG_FILTERS, 0x00010003u, 0xFFFFFFFFu}) {
        uint32_t out = 0x55;
        EXPECT_EQ(ERR_NOT_SUPPORTED, host.ioctl(id, &list, &out)) << id;
        char warning[64];
        std::snprintf(warning, sizeof warning, "Warning PassThruIoctl unknown %d(0x%X)!", static_cast<int>(id), id);
        EXPECT_TRUE(host.traced(warning)) << warning;
        EXPECT_EQ(0x55u, out);
    }
    record = PT_QEL_SPECIAL{nullptr, 0};
    SCONFIG_LIST noParams{1, nullptr};
    EXPECT_EQ(ERR_NULL_PARAMETER, host.ioctl(READ_VBATT, nullptr, nullptr));
    EXPECT_EQ(ERR_NULL_PARAMETER, host.ioctl(SET_CONFIG, nullptr, nullptr));
    EXPECT_EQ(ERR_NULL_PARAMETER, host.ioctl(PT_IOCTLID_QEL_SPECIAL, nullptr, nullptr));
    EXPECT_EQ(ERR_NULL_PARAMETER, host.ioctl(PT_IOCTLID_QEL_SPECIAL, nullptr, &record));
    EXPECT_EQ(0u, record.Value);
    EXPECT_EQ(ERR_NULL_PARAMETER, host.ioctl(SET_CONFIG, &noParams, nullptr));
    EXPECT_EQ("ER", host.levelOf("ConfigPtr is a NULL pointer -> ERR_NULL_PARAMETER"));
    EXPECT_EQ(ERR_NOT_SUPPORTED, host.setConfig({}));
    list.NumOfParams = 0xFFFFFFFFu;  // compared as a signed number
    EXPECT_EQ(ERR_NOT_SUPPORTED, host.ioctl(SET_CONFIG, &list, nullptr));

    host.open();
    EXPECT_EQ("7E0: 30 00 00 FF FF FF FF FF", FlowControlForFirstFrame(host));
}

// Ignored and unsupported parameters succeed and the rest of the list still applies.
TEST(Ioctl, ParametersAreAppliedInListOrder) {
    Host host("TRACE=1\n");
    host.open();
    EXPECT_EQ(STATUS_NOERROR, host.setConfig({{LOOPBACK, 1},
                                              {CP_P2_TIMEOUT, 0x12345},
                                              {0x00010005, 1},
                                              {PT_CFG_ORV_ADDRTBL_CANID_TESTER, 0x6F1},
                                              {ISO15765_BS, 8}}));
    for (const char *text : {"Unsupported config. parameter ID 00000003 (value: 00000001) ignored.",
                             "Would set 'CP_P2_TIMEOUT' to 0x2345", "Ignored TCPIP address table parameter.",
                             "ignored Setting 'PT_CFG_ORV_ADDRTBL_CANID_TESTER' to 0x6F1", "Set ISO15765_BS 8 byte..."})
        EXPECT_TRUE(host.traced(text)) << text;
    EXPECT_EQ("7E0: 30 08 00 FF FF FF FF FF", FlowControlForFirstFrame(host));

    // The P2 values lose the host's 100 ms reserve and gain the offset set before them.
    ASSERT_EQ(STATUS_NOERROR, host.ioctl(PT_IOCTLID_TIMEOUT_OFFSET, reinterpret_cast<void *>(intptr_t{30}), nullptr));
    EXPECT_EQ(STATUS_NOERROR, host.setConfig({{PT_CFG_ORV_P2MAX, 150}, {PT_CFG_ORV_P2EXTTIMEOUT7F78, 5000}}));
    EXPECT_EQ(Strings{"P2Max: 50 Offset 30 "}, Before(host, "Setting 'PT_CFG_ORV_P2MAX' to 0x96 ", 1));
    EXPECT_EQ(Strings{"Setting 'PT_CFG_ORV_P2EXTTIMEOUT7F78' to 0x1388 "}, Before(host, "P2Star: 4900 Offset 30", 1));
    EXPECT_EQ(STATUS_NOERROR, host.setConfig({{PT_CFG_ORV_P2MAX, 99}, {PT_CFG_ORV_P2MAX, 100}}));
    EXPECT_TRUE(host.traced("P2Max: 99 Offset 30 "));
    EXPECT_TRUE(host.traced("P2Max: 0 Offset 30 "));
}

TEST(Ioctl, DataRateOpensThePortAtItsBitrateAndWakesTheBus) {
    Host host("WAKEUP=2\n");
    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 500000}}));
    auto bitrate = vxlsim::CallsTo("xlCanSetChannelBitrate");
    ASSERT_EQ(1u, bitrate.size());
    EXPECT_EQ(500000u, bitrate[0].args[2]);
    // Nothing is admitted until a filter opens an identifier.
    host.drain();  // the wake-up frame's confirmation
    ASSERT_EQ(0, vxlsim_bus_send(0, 0x7E8, 0, 3, Bytes{0x02, 0x50, 0x01}.data()));
    ASSERT_EQ(0, vxlsim_bus_send(0, 0x18DAF110 | XL_CAN_EXT_MSG_ID, 0, 3, Bytes{0x02, 0x50, 0x01}.data()));
    vxlsim_call_clear();
    host.drain();
    EXPECT_TRUE(vxlsim::CallsTo("xlReceive").empty());

    // Again while open: the old port goes first.
    vxlsim_call_clear();
    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 250000}}));
    const Strings calls = Called();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ((Strings{"xlDeactivateChannel", "xlClosePort"}), Strings(calls.begin(), calls.begin() + 2));
    EXPECT_EQ(1, vxlsim_open_port_count());
    bitrate = vxlsim::CallsTo("xlCanSetChannelBitrate");
    ASSERT_EQ(1u, bitrate.size());
    EXPECT_EQ(250000u, bitrate[0].args[2]);

    vxlsim_capture_clear();
    EXPECT_EQ(STATUS_NOERROR, host.ioctl(PT_IOCTLID_WAKEUP, nullptr, nullptr));
    EXPECT_EQ((Strings{"784: 02 FF FF FF FF FF FF FF"}), BusLines());
}

// Each refusal ends the set-up with the driver's answer traced: an open port
// is closed again, and nothing after the refused call reaches the driver. The
// parameter list ends there too: what came before it stays set.
TEST(DriverInit, RefusalAtAnyStepClosesThePort) {
    const struct {
        const char *function;
        int status;  // or a VXLSIM_MODE_ when mode is set
        bool mode, portWasOpen;
        const char *level;  // of the last message
        Strings lastMessages;
    } cases[] = {
        // clang-format off
        {"xlOpenDriver", XL_ERR_CANNOT_OPEN_DRIVER, false, false, "IN",
         {"pt_vector 00.16 Vector XL driver initialisation", "xlOpenDriver failed"}},
        {"xlGetDriverConfig", XL_ERROR, false, false, "IN", {"xlGetDriverConfig failed"}},
        {"xlOpenPort", XL_ERR_INVALID_ACCESS, false, false, "ER",
         {"- OpenPort         : CM=0x1, PH=0xFFFFFFFF, PM=0x1, XL_ERR_INVALID_ACCESS", "XL_INVALID_PORTHANDLE failed"}},
        {"xlOpenPort", VXLSIM_MODE_INVALID_HANDLE, true, false, "ER", {"XL_INVALID_PORTHANDLE failed"}},
        {"xlOpenPort", VXLSIM_MODE_NO_INIT_ACCESS, true, true, "ER", {"permission failed", "Invalidating Port Handle"}},
        {"xlCanSetChannelBitrate", XL_ERR_WRONG_PARAMETER, false, true, "ER",
         {"- SetChannelBitrate: CM=0x1 baudr.=500000, XL_ERR_WRONG_PARAMETER", "set bitrate failed",
          "Invalidating Port Handle"}},
        {"xlActivateChannel", XL_ERROR, false, true, "ER",
         {"- ActivateChannel : CM(0x1), XL_ERROR", "Invalidating Port Handle"}},
        {"xlCanRemoveAcceptanceRange", XL_ERR_INVALID_ACCESS, false, true, "ER",
         {"- xlCanRemoveAcceptanceRange 0,7ff XL_ERR_INVALID_ACCESS", "Invalidating Port Handle"}},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.status));
        Host host("TRACE=2\n");
        ASSERT_EQ(STATUS_NOERROR, host.connect());
        ASSERT_EQ(0, c.mode ? vxlsim_fail_mode(c.function, c.status, 1) : vxlsim_fail(c.function, c.status, 1));
        vxlsim_call_clear();

        EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, host.setConfig({{ISO15765_BS, 4}, {DATA_RATE, 500000}, {ISO15765_BS, 16}}));

        EXPECT_EQ(c.lastMessages, Before(host, "-->Error in vectorInitDriver: ", c.lastMessages.size()));
        EXPECT_EQ(c.level, host.levelOf(c.lastMessages.back()));
        EXPECT_EQ(0, vxlsim_open_port_count());
        Strings calls = Called();
        if (c.portWasOpen) {
            ASSERT_EQ("xlClosePort", calls.back());
            calls.pop_back();
        } else {
            EXPECT_TRUE(vxlsim::CallsTo("xlClosePort").empty());
        }
        EXPECT_EQ(c.function, calls.back());
        // The channel is not there: a write has no port to go to.
        EXPECT_EQ(ERR_FAILED, host.write(Msg(0x7E0, {0x3E, 0x00})));
        EXPECT_FALSE(host.traced("Set ISO15765_BS 16 byte..."));
        host.open();
        EXPECT_EQ("7E0: 30 04 00 FF FF FF FF FF", FlowControlForFirstFrame(host));
    }
}

// What the driver refuses on the way that the channel can live without.
TEST(DriverInit, RefusalsThatOnlyGetReported) {
    {
        Host host("TRACE=1\n");
        ASSERT_EQ(0, vxlsim_fail("xlCanSetChannelAcceptance", XL_ERR_WRONG_PARAMETER, 1));
        EXPECT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 500000}}));
        EXPECT_EQ(
            "ER",
            host.levelOf("xlCanSetChannelAcceptance disable all XL_CAN_EXT FAILED!!!!  0x0065 XL_ERR_WRONG_PARAMETER"));
        EXPECT_EQ(1, vxlsim_open_port_count());
    }
    Host host("TRACE=1\ncooperative=1\n");
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(0, 1));
    EXPECT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 500000}}));
    EXPECT_EQ("ER", host.levelOf("permission failed -> useing cooperative mode"));
    EXPECT_EQ("ER", host.levelOf("set bitrate failed -> useing cooperative mode ignored"));
    EXPECT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, {0x3E, 0x00})));
}

}  // namespace
