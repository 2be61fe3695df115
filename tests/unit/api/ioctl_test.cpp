#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "can/driver_init.h"
#include "fg/functional_group.h"
#include "j2534.h"
#include "sim_world.h"
#include "trace_capture.h"

namespace {

const char kScopePrefix[] = "PassThruIoctl() : ";

class Ioctl : public simworld::SimWorldTest {
protected:
    void SetUp() override {
        SimWorldTest::SetUp();
        ResetSettings();
        m_pFunctionalGroup = &fg;
    }
    void TearDown() override {
        SimWorldTest::TearDown();
        ResetSettings();
        m_pFunctionalGroup = nullptr;
    }
    static void ResetSettings() {
        m_TimeoutOffset = 0;
        m_Iso15765BlockSize = 0;
        theModule.m_ExtAddressing = 0;
        theModule.m_FunctionalGroupActive = 0;
    }

    // Identifiers of the frames the library put on the bus.
    static std::vector<uint32_t> SentIds() {
        std::vector<uint32_t> out;
        for (const vxlsim_frame &f : simworld::SentOn(0)) out.push_back(f.id);
        return out;
    }

    uint32_t SetConfig(std::vector<SCONFIG> params) {
        SCONFIG_LIST list{static_cast<uint32_t>(params.size()), params.data()};
        return PassThruIoctl(1, SET_CONFIG, &list, nullptr);
    }

    uint32_t SetOne(uint32_t parameter, uint32_t value) { return SetConfig({{parameter, value}}); }

    // The messages of PassThruIoctl's own scope, without those of the calls it makes.
    std::vector<std::string> IoctlMessages() const {
        std::vector<std::string> out;
        for (const std::string &column : capture.columns())
            if (column.compare(0, std::strlen(kScopePrefix), kScopePrefix) == 0)
                out.push_back(column.substr(std::strlen(kScopePrefix)));
        return out;
    }

    // PassThruIoctl's own lines for a SET_CONFIG on channel 1.
    static std::vector<std::string> SetConfigLines(const char *count, std::vector<std::string> lines,
                                                   uint32_t status) {
        char ret[40];
        std::snprintf(ret, sizeof(ret), "Return Status IoctlID=%08x", status);
        lines.insert(lines.begin(), {"ChannelID=00000001 IoctlID=00000002", "SET_CONFIG", count});
        lines.push_back(ret);
        return lines;
    }

    COrvFunctionalGroup fg;
    TraceCapture capture;
};

// The ioctls without a parameter list: their answer and their one line.
TEST_F(Ioctl, PlainIoctlsAnswerAndTraceTheirLine) {
    uint32_t millivolts = 0;
    char buffer[32];
    std::memset(buffer, 'x', sizeof(buffer));
    PT_QEL_SPECIAL record{buffer, 0};
    const struct {
        uint32_t channel, id;
        void *input, *output;
        const char *line;
    } cases[] = {
        {7, READ_VBATT, nullptr, &millivolts, "PT_IOCTLID_READ_VBATT 12V (constant)"},
        {1, PT_IOCTLID_BUFFER_SIZE, nullptr, nullptr, "Contol for buffer size ignored"},
        {1, PT_IOCTLID_TIMEOUT_OFFSET, reinterpret_cast<void *>(intptr_t{-10}), nullptr, "m_TimeoutOffset set to -10"},
        {1, PT_IOCTLID_QEL_SPECIAL, nullptr, &record, "got QEL special ctrlID setting 10 LL's zyn_pt_vector_qel"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        capture.clear();
        EXPECT_EQ(PassThruIoctl(c.channel, c.id, c.input, c.output), STATUS_NOERROR);
        char header[64];
        std::snprintf(header, sizeof(header), "ChannelID=%08x IoctlID=%08x", c.channel, c.id);
        EXPECT_EQ(IoctlMessages(), (std::vector<std::string>{header, c.line, "Return Status IoctlID=00000000"}));
        EXPECT_EQ(capture.columns().front(), "PassThruIoctl()");
    }
    EXPECT_EQ(millivolts, 12000u);
    EXPECT_EQ(m_TimeoutOffset, -10) << "the pointer's own value";
    EXPECT_EQ(record.Value, 10u);
    EXPECT_STREQ(buffer, "zyn_pt_vector_qel");
    EXPECT_EQ(buffer[18], 'x') << "18 bytes with the NUL, no more";
}

TEST_F(Ioctl, UnknownIdsAreRefusedAndChangeNothing) {
    const uint32_t ids[] = {GET_CONFIG,      FIVE_BAUD_INIT,      FAST_INIT,
                            CLEAR_TX_BUFFER, CLEAR_RX_BUFFER,     CLEAR_PERIODIC_MSGS,
                            CLEAR_MSG_FILTERS, 0x00010003u,       0xFFFFFFFFu};
    for (uint32_t id : ids) {
        capture.clear();
        SCONFIG param{ISO15765_BS, 9};
        SCONFIG_LIST list{1, &param};
        uint32_t out = 0x55;
        EXPECT_EQ(PassThruIoctl(1, id, &list, &out), ERR_NOT_SUPPORTED) << id;
        char warning[64];
        std::snprintf(warning, sizeof(warning), "Warning PassThruIoctl unknown %d(0x%X)!", static_cast<int>(id), id);
        EXPECT_EQ(IoctlMessages()[1], warning);
        EXPECT_EQ(IoctlMessages().back(), "Return Status IoctlID=00000001");
        EXPECT_EQ(out, 0x55u);
    }
    EXPECT_EQ(m_Iso15765BlockSize, 0);
}

TEST_F(Ioctl, MissingPointersAndEmptyListsAreRefused) {
    EXPECT_EQ(PassThruIoctl(1, READ_VBATT, nullptr, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(IoctlMessages().back(), "Return Status IoctlID=00000004");
    EXPECT_EQ(PassThruIoctl(1, SET_CONFIG, nullptr, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(PassThruIoctl(1, PT_IOCTLID_QEL_SPECIAL, nullptr, nullptr), ERR_NULL_PARAMETER);
    PT_QEL_SPECIAL record{nullptr, 0};
    EXPECT_EQ(PassThruIoctl(1, PT_IOCTLID_QEL_SPECIAL, nullptr, &record), ERR_NULL_PARAMETER);
    EXPECT_EQ(record.Value, 0u);

    capture.clear();
    SCONFIG_LIST list{1, nullptr};
    EXPECT_EQ(PassThruIoctl(1, SET_CONFIG, &list, nullptr), ERR_NULL_PARAMETER);
    EXPECT_EQ(IoctlMessages(),
              SetConfigLines("NumOfParams 1", {"ConfigPtr is a NULL pointer -> ERR_NULL_PARAMETER"}, 4));

    capture.clear();
    EXPECT_EQ(SetConfig({}), ERR_NOT_SUPPORTED);
    EXPECT_EQ(IoctlMessages(), SetConfigLines("NumOfParams 0", {}, 1));
    capture.clear();
    SCONFIG param{ISO15765_BS, 3};
    list = {0xFFFFFFFFu, &param};
    EXPECT_EQ(PassThruIoctl(1, SET_CONFIG, &list, nullptr), ERR_NOT_SUPPORTED);
    EXPECT_EQ(IoctlMessages(), SetConfigLines("NumOfParams -1", {}, 1));
    EXPECT_EQ(m_Iso15765BlockSize, 0);
}

struct ParameterRow {
    uint32_t parameter;
    uint32_t value;
    const char *text;
};

// Every parameter but DATA_RATE succeeds, whatever it does.
TEST_F(Ioctl, EachParameterIsTracedAndSucceeds) {
    const ParameterRow rows[] = {
        {0x00010001, 1, "Ignored TCPIP parameter."},
        {0x00010004, 1, "Ignored TCPIP parameter."},
        {0x00010005, 1, "Ignored TCPIP address table parameter."},
        {0x00010006, 1, "Ignored TCPIP address table parameter."},
        {0x00010008, 1, "Ignored TCPIP address table parameter."},
        {0x0001000A, 1, "Ignored TCPIP address table parameter."},
        {0x0001000B, 1, "Ignored TCPIP address table parameter."},
        {PT_CFG_ORV_ADDRTBL_CANID_TESTER, 0x6F1, "ignored Setting 'PT_CFG_ORV_ADDRTBL_CANID_TESTER' to 0x6F1"},
        {CP_P2_TIMEOUT, 0x12345, "Would set 'CP_P2_TIMEOUT' to 0x2345"},
        {0x00010009, 5, "Unsupported config. parameter ID 00010009 (value: 00000005) ignored."},
        {LOOPBACK, 1, "Unsupported config. parameter ID 00000003 (value: 00000001) ignored."},
        {ISO15765_STMIN, 0x14, "Unsupported config. parameter ID 0000001f (value: 00000014) ignored."},
        {CP_P2_TIMEOUT, 0xFFFFFFFFu, "Would set 'CP_P2_TIMEOUT' to 0xFFFF"},
    };
    for (const ParameterRow &row : rows) {
        capture.clear();
        EXPECT_EQ(SetOne(row.parameter, row.value), STATUS_NOERROR) << row.text;
        char header[64];
        std::snprintf(header, sizeof(header), "0:Parameter %08x Value %08x(%d)", row.parameter, row.value,
                      static_cast<int>(row.value));
        EXPECT_EQ(IoctlMessages(), SetConfigLines("NumOfParams 1", {header, row.text}, 0));
    }
    EXPECT_EQ(m_Iso15765BlockSize, 0);
    EXPECT_EQ(fg.p2Max(), 0u);
    EXPECT_EQ(theModule.m_FunctionalGroupActive, 0);
    EXPECT_EQ(theModule.m_ExtAddressing, 0);
}

TEST_F(Ioctl, SettingsReachTheModule) {
    EXPECT_EQ(SetConfig({{ISO15765_BS, 8}, {PT_CFG_ORV_EXTADDRESSING, 0}, {CANECU_CLASS, 0x750}}), STATUS_NOERROR);
    EXPECT_EQ(m_Iso15765BlockSize, 8);
    EXPECT_EQ(theModule.m_ExtAddressing, 1) << "Value is not consulted";
    EXPECT_EQ(theModule.m_FunctionalGroupActive, 0x750);
    EXPECT_EQ(IoctlMessages(), SetConfigLines("NumOfParams 3",
                                              {"0:Parameter 0000001e Value 00000008(8)", "ISO15765_BS",
                                               "Set ISO15765_BS 8 byte...", "1:Parameter 00010019 Value 00000000(0)",
                                               "Setting ORV Ext adressing to on!!!",
                                               "2:Parameter 00010020 Value 00000750(1872)",
                                               "Setting 'CANECU_CLASS' to 0x750"},
                                              0));
}

TEST_F(Ioctl, P2ValuesLoseTheHostReserveAndGainTheOffset) {
    ASSERT_EQ(PassThruIoctl(1, PT_IOCTLID_TIMEOUT_OFFSET, reinterpret_cast<void *>(intptr_t{30}), nullptr),
              STATUS_NOERROR);
    capture.clear();
    EXPECT_EQ(SetOne(PT_CFG_ORV_P2MAX, 150), STATUS_NOERROR);
    EXPECT_EQ(fg.p2Max(), 80u);
    // The functional group's own line comes first, the Ioctl's after the call.
    auto messages = capture.messages();
    ASSERT_GE(messages.size(), 6u);
    EXPECT_EQ(messages[4], "P2Max: 50 Offset 30 ");
    EXPECT_EQ(messages[5], "Setting 'PT_CFG_ORV_P2MAX' to 0x96 ");

    SetOne(PT_CFG_ORV_P2MAX, 100);
    EXPECT_EQ(fg.p2Max(), 30u);
    SetOne(PT_CFG_ORV_P2MAX, 99);
    EXPECT_EQ(fg.p2Max(), 129u);

    capture.clear();
    EXPECT_EQ(SetOne(PT_CFG_ORV_P2EXTTIMEOUT7F78, 5000), STATUS_NOERROR);
    EXPECT_EQ(fg.p2Star(), 4930u);
    messages = capture.messages();
    ASSERT_GE(messages.size(), 6u);
    EXPECT_EQ(messages[4], "Setting 'PT_CFG_ORV_P2EXTTIMEOUT7F78' to 0x1388 ");
    EXPECT_EQ(messages[5], "P2Star: 4900 Offset 30");

    // The offset is taken when a P2 value is set, not later.
    PassThruIoctl(1, PT_IOCTLID_TIMEOUT_OFFSET, reinterpret_cast<void *>(intptr_t{500}), nullptr);
    EXPECT_EQ(fg.p2Max(), 129u);
    EXPECT_EQ(fg.p2Star(), 4930u);
}

TEST_F(Ioctl, DataRateOpensThePortAtTheNewBitrateAndWakesTheBus) {
    theModule.m_WakeUp = 1;
    vxlsim_capture_clear();
    EXPECT_EQ(SetConfig({{DATA_RATE, 500000}, {ISO15765_BS, 2}}), STATUS_NOERROR);
    EXPECT_EQ(IoctlMessages()[4], "Set baudrate of interface to 500000 Baud...");
    EXPECT_EQ(IoctlMessages().back(), "Return Status IoctlID=00000000");
    EXPECT_EQ(m_Iso15765BlockSize, 2);

    auto bitrate = vxlsim::CallsTo("xlCanSetChannelBitrate");
    ASSERT_EQ(bitrate.size(), 1u);
    EXPECT_EQ(bitrate[0].args[2], 500000u);
    EXPECT_NE(m_PortHandle.load(), XL_INVALID_PORTHANDLE);
    // The wake-up frame follows the new port.
    EXPECT_EQ(SentIds(), std::vector<uint32_t>{0x7E0});

    // Again while open: the old port is closed first.
    vxlsim_call_clear();
    EXPECT_EQ(SetOne(DATA_RATE, 250000), STATUS_NOERROR);
    auto calls = vxlsim::Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_STREQ(calls[0].function, "xlDeactivateChannel");
    EXPECT_EQ(vxlsim::CallsTo("xlClosePort").size(), 1u);
    bitrate = vxlsim::CallsTo("xlCanSetChannelBitrate");
    ASSERT_EQ(bitrate.size(), 1u);
    EXPECT_EQ(bitrate[0].args[2], 250000u);

    // The wake-up ioctl sends what the setting asks for, if anything.
    theModule.m_WakeUp = 0;
    vxlsim_capture_clear();
    EXPECT_EQ(PassThruIoctl(1, PT_IOCTLID_WAKEUP, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_TRUE(SentIds().empty());
    theModule.m_WakeUp = 2;
    EXPECT_EQ(PassThruIoctl(1, PT_IOCTLID_WAKEUP, nullptr, nullptr), STATUS_NOERROR);
    EXPECT_EQ(SentIds(), std::vector<uint32_t>{0x784});
}

TEST_F(Ioctl, FailingDataRateEndsTheListAtOnce) {
    ASSERT_EQ(vxlsim_fail("xlOpenDriver", XL_ERR_CANNOT_OPEN_DRIVER, 1), 0);
    EXPECT_EQ(SetConfig({{ISO15765_BS, 4}, {DATA_RATE, 500000}, {ISO15765_BS, 16}}), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(m_Iso15765BlockSize, 4) << "parameters before DATA_RATE stay applied, later ones are not";
    auto messages = IoctlMessages();
    EXPECT_EQ(messages.back(), "-->Error in vectorInitDriver: ");
    EXPECT_EQ(messages[messages.size() - 2], "Set baudrate of interface to 500000 Baud...");
    EXPECT_TRUE(SentIds().empty()) << "no wake-up on a port that did not open";
}

}  // namespace
