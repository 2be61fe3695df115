#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "can/xl_binding.h"
#include "can_test_world.h"
#include "j2534.h"

namespace {

using Strings = std::vector<std::string>;

const std::string kRule = "----------------------------------------------------------";
const std::string kNoChannels = "ERROR: no available channels found! (e.g. no CANcabs...)";

class DriverInitTest : public CanWorldTest {};

TEST_F(DriverInitTest, WithoutApplicationEntryWritesDefaultAndOpensEveryCard) {
    LoadWorld(kTwoCardsOneVirtual);
    TraceCapture trace;

    ASSERT_EQ(STATUS_NOERROR, static_cast<uint32_t>(vectorInitDriver(500000)));

    const XLportHandle port = m_PortHandle.load();
    ASSERT_NE(XL_INVALID_PORTHANDLE, port);
    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_EQ(0x3u, m_PermissionMask);

    char openPort[96];
    std::snprintf(openPort, sizeof openPort, "- OpenPort         : CM=0x3, PH=0x%02X, PM=0x3, XL_SUCCESS",
                  static_cast<unsigned>(port));
    const Strings expected = {
        "pt_vector 00.16 Vector XL driver initialisation",
        kRule,
        "- 03 channels       Hardware Configuration               -",
        kRule,
        "- Ch.: 00, CM:0x  1,   CANcardXL Channel 1 , 24680 ,00030003  CANpiggy 1041 -",
        "- Ch.: 01, CM:0x  2,   CANcardXL Channel 2 , 24680 ,00030003  CANpiggy 1041 -",
        "- Ch.: 02, CM:0x  4,     Virtual Channel 1 ,     0 ,00010001  Virtual CAN -",
        kRule,
        "- xlGetApplConfig       zyn_pt_vector  : hwType 0 hwIndex 0 hwChannel 0 XL_ERROR",
        "failed xlGetApplConfig -> creating default config",
        "- xlSetApplConfig       zyn_pt_vector  : hwType 15 hwIndex -1 hwChannel 0 XL_SUCCESS",
        "- channelBusCapabilities 0 CM=0x1 cap=0x00030003",
        "- channelBusCapabilities 1 CM=0x2 cap=0x00030003",
        "- channelBusCapabilities 2 CM=0x4 cap=0x00010001",
        openPort,
        "- SetChannelBitrate: CM=0x3 baudr.=500000, XL_SUCCESS",
        "- ActivateChannel : CM(0x3), XL_SUCCESS",
        "- xlCanRemoveAcceptanceRange 0,7ff XL_SUCCESS",
        "Vector disabled all XL_CAN_EXT by default ",
    };
    EXPECT_EQ(expected, trace.messages());
    EXPECT_EQ("ER", LevelOf(trace, "failed xlGetApplConfig -> creating default config"));
    EXPECT_EQ("IN", LevelOf(trace, "- SetChannelBitrate: CM=0x3 baudr.=500000, XL_SUCCESS"));

    const Strings columns = trace.columns();
    ASSERT_GE(columns.size(), 2u);
    EXPECT_EQ("vectorInitDriver()", columns.front());
    EXPECT_EQ("vectorInitDriver()", columns.back());
    EXPECT_NE(std::find(columns.begin(), columns.end(), "demoPrintConfig() "), columns.end());
}

TEST_F(DriverInitTest, CallsTheDriverInOrderWithTheApplicationsArguments) {
    LoadWorld(kTwoCardsOneVirtual);
    TraceCapture trace;
    ASSERT_EQ(0, vectorInitDriver(250000));
    const uint64_t port = static_cast<uint64_t>(m_PortHandle.load());

    const Strings order = {"xlOpenDriver",          "xlGetDriverConfig",     "xlGetApplConfig",
                           "xlSetApplConfig",       "xlOpenPort",            "xlCanSetChannelBitrate",
                           "xlActivateChannel",     "xlCanRemoveAcceptanceRange", "xlCanSetChannelAcceptance"};
    EXPECT_EQ(order, CalledFunctions());

    const auto get = vxlsim::CallsTo("xlGetApplConfig");
    ASSERT_EQ(1u, get.size());
    EXPECT_STREQ("zyn_pt_vector", get[0].text);
    EXPECT_EQ((std::vector<uint64_t>{0, XL_BUS_TYPE_CAN}), ArgsOf(get[0]));

    const auto set = vxlsim::CallsTo("xlSetApplConfig");
    ASSERT_EQ(1u, set.size());
    EXPECT_STREQ("zyn_pt_vector", set[0].text);
    EXPECT_EQ((std::vector<uint64_t>{0, XL_HWTYPE_CANCARDXL, 0xFFFFFFFFu, 0, XL_BUS_TYPE_CAN}), ArgsOf(set[0]));

    const auto open = vxlsim::CallsTo("xlOpenPort");
    ASSERT_EQ(1u, open.size());
    EXPECT_STREQ("zyn_pt_vector", open[0].text);
    // mask, permission asked for, queue size, interface version, bus type
    const std::vector<uint64_t> openArgs = ArgsOf(open[0]);
    ASSERT_GE(openArgs.size(), 5u);
    EXPECT_EQ((std::vector<uint64_t>{0x3, 0x3, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN}),
              std::vector<uint64_t>(openArgs.begin(), openArgs.begin() + 5));

    EXPECT_EQ((std::vector<uint64_t>{port, 0x3, 250000}), ArgsOf(vxlsim::CallsTo("xlCanSetChannelBitrate").at(0)));
    EXPECT_EQ((std::vector<uint64_t>{port, 0x3, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK}),
              ArgsOf(vxlsim::CallsTo("xlActivateChannel").at(0)));
    EXPECT_EQ((std::vector<uint64_t>{port, 0x3, 0x001, 0x7FF}),
              ArgsOf(vxlsim::CallsTo("xlCanRemoveAcceptanceRange").at(0)));
    EXPECT_EQ((std::vector<uint64_t>{port, 0x3, 0xFFF, 0xFFF, XL_CAN_EXT}),
              ArgsOf(vxlsim::CallsTo("xlCanSetChannelAcceptance").at(0)));
}

TEST_F(DriverInitTest, ApplicationEntryNamingHardwareSelectsOnlyThatChannel) {
    LoadWorld((std::string(kTwoCardsOneVirtual) +
               "[app]\nname = zyn_pt_vector\nhw_type = 15\nhw_index = 0\nhw_channel = 1\n")
                  .c_str());
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(0x2u, m_ChannelMask.load());
    const auto mask = vxlsim::CallsTo("xlGetChannelMask");
    ASSERT_EQ(1u, mask.size());
    EXPECT_EQ((std::vector<uint64_t>{15, 0, 1, 0x2}), ArgsOf(mask[0]));
    EXPECT_TRUE(vxlsim::CallsTo("xlSetApplConfig").empty());
    EXPECT_EQ(0x2u, vxlsim::CallsTo("xlOpenPort").at(0).args[0]);

    const Strings messages = trace.messages();
    const auto at = std::find(messages.begin(), messages.end(),
                              "- xlGetApplConfig       zyn_pt_vector  : hwType 15 hwIndex 0 hwChannel 1 XL_SUCCESS");
    ASSERT_NE(at, messages.end());
    ASSERT_GE(messages.end() - at, 4);
    EXPECT_EQ("found hardware config", at[1]);
    EXPECT_EQ("- useing Hardware selected channel : CM=0x2", at[2]);
    EXPECT_EQ(0u, at[3].rfind("- OpenPort         : CM=0x2, ", 0));
    for (const std::string &m : messages) EXPECT_EQ(std::string::npos, m.find("channelBusCapabilities")) << m;
}

struct UnassignedEntry {
    const char *name;
    const char *app;
};

class DriverInitUnassignedTest : public DriverInitTest, public ::testing::WithParamInterface<UnassignedEntry> {};

// The default entry as the library writes it, and an entry without hardware
// type: neither names a channel, and neither is written again.
TEST_P(DriverInitUnassignedTest, ScansWithoutWritingANewEntry) {
    LoadWorld((std::string(kTwoCardsOneVirtual) + GetParam().app).c_str());
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_TRUE(vxlsim::CallsTo("xlSetApplConfig").empty());
    EXPECT_TRUE(vxlsim::CallsTo("xlGetChannelMask").empty());
    EXPECT_FALSE(trace.hasMessage("failed xlGetApplConfig -> creating default config"));
    EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 0 CM=0x1 cap=0x00030003"));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, DriverInitUnassignedTest,
    ::testing::Values(
        UnassignedEntry{"DefaultEntry", "[app]\nname = zyn_pt_vector\nhw_type = 15\nhw_index = 0xFFFFFFFF\n"},
        UnassignedEntry{"NoHardwareType", "[app]\nname = zyn_pt_vector\nhw_type = 0\nhw_index = 0\nhw_channel = 1\n"}),
    [](const ::testing::TestParamInfo<UnassignedEntry> &info) { return std::string(info.param.name); });

TEST_F(DriverInitTest, EntryNamingAbsentHardwareFallsBackToTheScan) {
    LoadWorld((std::string(kTwoCardsOneVirtual) +
               "[app]\nname = zyn_pt_vector\nhw_type = 15\nhw_index = 0\nhw_channel = 7\n")
                  .c_str());
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(1u, vxlsim::CallsTo("xlGetChannelMask").size());
    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_FALSE(trace.hasMessage("found hardware config"));
}

TEST_F(DriverInitTest, VirtualOrdinalMarksItsChannelAndEveryVirtualChannelJoins) {
    LoadWorld(kTwoVirtual);
    theModule.m_bVirtual = 1;
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 0 CM=0x1 cap=0x00010001 Virtual active!"));
    EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 1 CM=0x2 cap=0x00010001"));
}

// The mark goes only to a channel that starts the mask; by the second
// virtual channel the first has already joined.
TEST_F(DriverInitTest, LaterVirtualOrdinalJoinsUnmarked) {
    LoadWorld(kTwoVirtual);
    theModule.m_bVirtual = 2;
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 0 CM=0x1 cap=0x00010001"));
    EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 1 CM=0x2 cap=0x00010001"));
}

TEST_F(DriverInitTest, CardsListedFirstLeaveNoVirtualChannelMarkedActive) {
    LoadWorld(kTwoCardsOneVirtual);
    theModule.m_bVirtual = 1;
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(0x7u, m_ChannelMask.load());
    EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 2 CM=0x4 cap=0x00010001"));
}

TEST_F(DriverInitTest, OnlyVirtualChannelsWithoutVirtualSettingFindsNothing) {
    LoadWorld(kTwoVirtual);
    TraceCapture trace;

    EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, static_cast<uint32_t>(vectorInitDriver(500000)));

    EXPECT_EQ(0u, m_ChannelMask.load());
    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
    EXPECT_TRUE(vxlsim::CallsTo("xlOpenPort").empty());
    EXPECT_EQ(kNoChannels, trace.messages().back());
    EXPECT_EQ("IN", LevelOf(trace, kNoChannels));
}

struct FailurePoint {
    const char *name;
    const char *function;
    int status;
    Strings lastMessages;  // the trace's final message lines
    bool portWasOpen;
};

class DriverInitFailureTest : public DriverInitTest, public ::testing::WithParamInterface<FailurePoint> {};

TEST_P(DriverInitFailureTest, FailsWithPortClosedAndHandleInvalid) {
    const FailurePoint &point = GetParam();
    LoadWorld(kTwoCardsOneVirtual);
    ASSERT_EQ(0, vxlsim_fail(point.function, point.status, 1));
    TraceCapture trace;

    EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, static_cast<uint32_t>(vectorInitDriver(500000)));

    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
    const Strings messages = trace.messages();
    ASSERT_GE(messages.size(), point.lastMessages.size());
    EXPECT_EQ(point.lastMessages, Strings(messages.end() - static_cast<long>(point.lastMessages.size()),
                                          messages.end()));
    const auto closes = vxlsim::CallsTo("xlClosePort");
    if (point.portWasOpen) {
        ASSERT_EQ(1u, closes.size());
        EXPECT_EQ(vxlsim::CallsTo("xlOpenPort").at(0).args[5], closes[0].args[0]);
        EXPECT_EQ("ER", LevelOf(trace, "Invalidating Port Handle"));
    } else {
        EXPECT_TRUE(closes.empty());
    }
    // Nothing after the failing call reaches the driver but the close.
    Strings calls = CalledFunctions();
    if (point.portWasOpen) {
        ASSERT_EQ("xlClosePort", calls.back());
        calls.pop_back();
    }
    EXPECT_EQ(point.function, calls.back());
}

INSTANTIATE_TEST_SUITE_P(
    Exits, DriverInitFailureTest,
    ::testing::Values(
        FailurePoint{"OpenDriver", "xlOpenDriver", XL_ERR_CANNOT_OPEN_DRIVER, {"xlOpenDriver failed"}, false},
        FailurePoint{"GetDriverConfig", "xlGetDriverConfig", XL_ERROR, {"xlGetDriverConfig failed"}, false},
        FailurePoint{"OpenPort",
                     "xlOpenPort",
                     XL_ERR_INVALID_ACCESS,
                     {"- OpenPort         : CM=0x3, PH=0xFFFFFFFF, PM=0x3, XL_ERR_INVALID_ACCESS",
                      "XL_INVALID_PORTHANDLE failed"},
                     false},
        FailurePoint{"Bitrate",
                     "xlCanSetChannelBitrate",
                     XL_ERR_WRONG_PARAMETER,
                     {"- SetChannelBitrate: CM=0x3 baudr.=500000, XL_ERR_WRONG_PARAMETER", "set bitrate failed",
                      "Invalidating Port Handle"},
                     true},
        FailurePoint{"Activate",
                     "xlActivateChannel",
                     XL_ERROR,
                     {"- ActivateChannel : CM(0x3), XL_ERROR", "Invalidating Port Handle"},
                     true},
        FailurePoint{"RemoveRange",
                     "xlCanRemoveAcceptanceRange",
                     XL_ERR_INVALID_ACCESS,
                     {"- xlCanRemoveAcceptanceRange 0,7ff XL_ERR_INVALID_ACCESS", "Invalidating Port Handle"},
                     true}),
    [](const ::testing::TestParamInfo<FailurePoint> &info) { return std::string(info.param.name); });

TEST_F(DriverInitTest, PortWithoutHandleIsNotClosed) {
    LoadWorld(kTwoCardsOneVirtual);
    ASSERT_EQ(0, vxlsim_fail_mode("xlOpenPort", VXLSIM_MODE_INVALID_HANDLE, 1));
    TraceCapture trace;

    EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, static_cast<uint32_t>(vectorInitDriver(500000)));

    EXPECT_EQ("XL_INVALID_PORTHANDLE failed", trace.messages().back());
    EXPECT_EQ("ER", LevelOf(trace, "XL_INVALID_PORTHANDLE failed"));
    EXPECT_TRUE(vxlsim::CallsTo("xlClosePort").empty());
    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
}

TEST_F(DriverInitTest, MissingInitAccessFailsUnlessCooperative) {
    LoadWorld(kTwoCardsOneVirtual);
    ASSERT_EQ(0, vxlsim_fail_mode("xlOpenPort", VXLSIM_MODE_NO_INIT_ACCESS, 1));
    TraceCapture trace;

    EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, static_cast<uint32_t>(vectorInitDriver(500000)));

    const Strings messages = trace.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ((Strings{"permission failed", "Invalidating Port Handle"}), Strings(messages.end() - 2, messages.end()));
    EXPECT_EQ(1u, vxlsim::CallsTo("xlClosePort").size());
    EXPECT_TRUE(vxlsim::CallsTo("xlCanSetChannelBitrate").empty());
}

TEST_F(DriverInitTest, CooperativeModeGoesOnWithoutInitAccessOrBitrate) {
    LoadWorld(kTwoCardsOneVirtual);
    theModule.m_bCooperative = 1;
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(0, 1));
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ(0x3u, m_PermissionMask);
    EXPECT_EQ("ER", LevelOf(trace, "permission failed -> useing cooperative mode"));
    EXPECT_EQ("ER", LevelOf(trace, "set bitrate failed -> useing cooperative mode ignored"));
    EXPECT_NE(XL_INVALID_PORTHANDLE, m_PortHandle.load());
    EXPECT_EQ(1u, vxlsim::CallsTo("xlActivateChannel").size());
    EXPECT_TRUE(vxlsim::CallsTo("xlClosePort").empty());
}

TEST_F(DriverInitTest, VirtualSettingToleratesAChannelThatWillNotActivate) {
    LoadWorld(kTwoVirtual);
    theModule.m_bVirtual = 1;
    ASSERT_EQ(0, vxlsim_fail("xlActivateChannel", XL_ERROR, 1));
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    EXPECT_EQ("IN", LevelOf(trace, "On Virtual it can be activeted!!!"));
    EXPECT_EQ(1u, vxlsim::CallsTo("xlCanRemoveAcceptanceRange").size());
}

TEST_F(DriverInitTest, RefusedExtendedAcceptanceIsOnlyReported) {
    LoadWorld(kTwoCardsOneVirtual);
    ASSERT_EQ(0, vxlsim_fail("xlCanSetChannelAcceptance", XL_ERR_WRONG_PARAMETER, 1));
    TraceCapture trace;

    ASSERT_EQ(0, vectorInitDriver(500000));

    const std::string line = "xlCanSetChannelAcceptance disable all XL_CAN_EXT FAILED!!!!  0x0065 XL_ERR_WRONG_PARAMETER";
    EXPECT_EQ(line, trace.messages().back());
    EXPECT_EQ("ER", LevelOf(trace, line));
    EXPECT_NE(XL_INVALID_PORTHANDLE, m_PortHandle.load());
}

TEST_F(DriverInitTest, HardwareTableBoundsTheDriversTexts) {
    // A 32-character name fills its field without a terminator; a long
    // transceiver name is cut to 13 characters; no transceiver: no cab.
    g_XlDriverConfig.channelCount = 2;
    XLchannelConfig &first = g_XlDriverConfig.channel[0];
    std::memset(first.name, 'N', sizeof first.name);
    first.channelIndex = 0;
    first.channelMask = 0x1;
    first.serialNumber = 123456;
    first.channelBusCapabilities = 0x00010001;
    first.transceiverType = 0x0107;
    std::memset(first.transceiverName, 'T', sizeof first.transceiverName);
    XLchannelConfig &second = g_XlDriverConfig.channel[1];
    std::strcpy(second.name, "CAN 2");
    second.channelIndex = 1;
    second.channelMask = 0x100;
    second.serialNumber = 7;
    second.channelBusCapabilities = 0x00030003;
    second.transceiverType = XL_TRANSCEIVER_TYPE_NONE;
    TraceCapture trace;

    demoPrintConfig();

    const Strings expected = {
        kRule,
        "- 02 channels       Hardware Configuration               -",
        kRule,
        "- Ch.: 00, CM:0x  1,  " + std::string(32, 'N') + " ,123456 ,00010001  TTTTTTTTTTTTT -",
        "- Ch.: 01, CM:0x100,                 CAN 2 ,     7 ,00030003  no Cab!       -",
        kRule,
    };
    EXPECT_EQ(expected, trace.messages());
    EXPECT_EQ("demoPrintConfig() ", trace.columns().front());
}

TEST_F(DriverInitTest, ChannelCountBeyondTheTableIsBounded) {
    g_XlDriverConfig.channelCount = 1000;
    TraceCapture trace;

    demoPrintConfig();

    EXPECT_EQ("- 1000 channels       Hardware Configuration               -", trace.messages().at(1));
    EXPECT_EQ(3u + XL_CONFIG_MAX_CHANNELS + 1u, trace.messages().size());
}

}  // namespace
