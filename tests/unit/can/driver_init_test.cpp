#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "can/driver_init.h"
#include "j2534.h"
#include "sim_world.h"

namespace {

using namespace simworld;
using Strings = std::vector<std::string>;
using Args = std::vector<uint64_t>;

const std::string kRule = "----------------------------------------------------------";
const std::string kNoChannels = "ERROR: no available channels found! (e.g. no CANcabs...)";

class DriverInitTest : public SimWorldTest {
protected:
    // Loading a configuration also drops the refusals set up before it.
    static void Load(const std::string &config) { ASSERT_EQ(0, vxlsim_load_config_text(config.c_str())); }
    static uint32_t Init(uint32_t bitrate = 500000) { return static_cast<uint32_t>(vectorInitDriver(bitrate)); }
    static Strings LastMessages(const TraceCapture &trace, size_t n) {
        const Strings all = trace.messages();
        return Strings(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
    }
};

TEST_F(DriverInitTest, WithoutApplicationEntryWritesDefaultAndOpensEveryCard) {
    Load(kTwoCardsOneVirtual);
    TraceCapture trace;

    ASSERT_EQ(STATUS_NOERROR, Init(250000));

    const XLportHandle port = m_PortHandle.load();
    ASSERT_NE(XL_INVALID_PORTHANDLE, port);
    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_EQ(0x3u, m_PermissionMask);
    char openPort[96];
    std::snprintf(openPort, sizeof openPort, "- OpenPort         : CM=0x3, PH=0x%02X, PM=0x3, XL_SUCCESS",
                  static_cast<unsigned>(port));
    const std::string bitrate = "- SetChannelBitrate: CM=0x3 baudr.=250000, XL_SUCCESS";
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
        bitrate,
        "- ActivateChannel : CM(0x3), XL_SUCCESS",
        "- xlCanRemoveAcceptanceRange 0,7ff XL_SUCCESS",
        "Vector disabled all XL_CAN_EXT by default ",
    };
    EXPECT_EQ(expected, trace.messages());
    EXPECT_EQ("ER", LevelOf(trace, "failed xlGetApplConfig -> creating default config"));
    EXPECT_EQ("IN", LevelOf(trace, bitrate));
    const Strings columns = trace.columns();
    EXPECT_EQ("vectorInitDriver()", columns.front());
    EXPECT_EQ("vectorInitDriver()", columns.back());
    EXPECT_NE(std::find(columns.begin(), columns.end(), "demoPrintConfig() "), columns.end());

    // The driver's calls, in order and with the application's arguments.
    EXPECT_EQ((Strings{"xlOpenDriver", "xlGetDriverConfig", "xlGetApplConfig", "xlSetApplConfig", "xlOpenPort",
                       "xlCanSetChannelBitrate", "xlActivateChannel", "xlCanRemoveAcceptanceRange",
                       "xlCanSetChannelAcceptance"}),
              CalledFunctions());
    const vxlsim_call get = vxlsim::CallsTo("xlGetApplConfig").at(0);
    EXPECT_STREQ("zyn_pt_vector", get.text);
    EXPECT_EQ((Args{0, XL_BUS_TYPE_CAN}), ArgsOf(get));
    const vxlsim_call set = vxlsim::CallsTo("xlSetApplConfig").at(0);
    EXPECT_STREQ("zyn_pt_vector", set.text);
    EXPECT_EQ((Args{0, XL_HWTYPE_CANCARDXL, 0xFFFFFFFFu, 0, XL_BUS_TYPE_CAN}), ArgsOf(set));
    const vxlsim_call open = vxlsim::CallsTo("xlOpenPort").at(0);
    EXPECT_STREQ("zyn_pt_vector", open.text);
    // mask, permission asked for, queue size, interface version, bus type
    ASSERT_GE(open.nargs, 5u);
    EXPECT_EQ((Args{0x3, 0x3, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN}), Args(open.args, open.args + 5));
    const uint64_t ph = static_cast<uint64_t>(port);
    EXPECT_EQ((Args{ph, 0x3, 250000}), ArgsOf(vxlsim::CallsTo("xlCanSetChannelBitrate").at(0)));
    EXPECT_EQ((Args{ph, 0x3, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK}),
              ArgsOf(vxlsim::CallsTo("xlActivateChannel").at(0)));
    EXPECT_EQ((Args{ph, 0x3, 0x001, 0x7FF}), ArgsOf(vxlsim::CallsTo("xlCanRemoveAcceptanceRange").at(0)));
    EXPECT_EQ((Args{ph, 0x3, 0xFFF, 0xFFF, XL_CAN_EXT}), ArgsOf(vxlsim::CallsTo("xlCanSetChannelAcceptance").at(0)));
}

TEST_F(DriverInitTest, ApplicationEntryNamingHardwareSelectsOnlyThatChannel) {
    Load(std::string(kTwoCardsOneVirtual) + "[app]\nname = zyn_pt_vector\nhw_type = 15\nhw_index = 0\nhw_channel = 1\n");
    TraceCapture trace;

    ASSERT_EQ(0u, Init());

    EXPECT_EQ(0x2u, m_ChannelMask.load());
    EXPECT_EQ((Args{15, 0, 1, 0x2}), ArgsOf(vxlsim::CallsTo("xlGetChannelMask").at(0)));
    EXPECT_TRUE(vxlsim::CallsTo("xlSetApplConfig").empty());
    EXPECT_EQ(0x2u, vxlsim::CallsTo("xlOpenPort").at(0).args[0]);
    const Strings messages = trace.messages();
    const auto at = std::find(messages.begin(), messages.end(),
                              "- xlGetApplConfig       zyn_pt_vector  : hwType 15 hwIndex 0 hwChannel 1 XL_SUCCESS");
    ASSERT_GE(messages.end() - at, 4);
    EXPECT_EQ("found hardware config", at[1]);
    EXPECT_EQ("- useing Hardware selected channel : CM=0x2", at[2]);
    EXPECT_EQ(0u, at[3].rfind("- OpenPort         : CM=0x2, ", 0));
    for (const std::string &m : messages) EXPECT_EQ(std::string::npos, m.find("channelBusCapabilities")) << m;
}

// The default entry as the library writes it, an entry without hardware type
// and one naming absent hardware: none selects a channel, none is rewritten.
TEST_F(DriverInitTest, EntryThatSelectsNoChannelFallsBackToTheScan) {
    const struct {
        const char *app;
        size_t maskQueries;
    } cases[] = {
        {"hw_type = 15\nhw_index = 0xFFFFFFFF\n", 0},
        {"hw_type = 0\nhw_index = 0\nhw_channel = 1\n", 0},
        {"hw_type = 15\nhw_index = 0\nhw_channel = 7\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.app);
        Load(std::string(kTwoCardsOneVirtual) + "[app]\nname = zyn_pt_vector\n" + c.app);
        TraceCapture trace;

        ASSERT_EQ(0u, Init());

        EXPECT_EQ(0x3u, m_ChannelMask.load());
        EXPECT_EQ(c.maskQueries, vxlsim::CallsTo("xlGetChannelMask").size());
        EXPECT_TRUE(vxlsim::CallsTo("xlSetApplConfig").empty());
        EXPECT_FALSE(trace.hasMessage("failed xlGetApplConfig -> creating default config"));
        EXPECT_FALSE(trace.hasMessage("found hardware config"));
        EXPECT_TRUE(trace.hasMessage("- channelBusCapabilities 0 CM=0x1 cap=0x00030003"));
        ResetWorld();
    }
}

// The virtual ordinal marks a channel only when it starts the mask; every
// virtual channel then joins, and without the setting none is taken.
TEST_F(DriverInitTest, VirtualSettingDecidesWhichVirtualChannelsJoin) {
    const struct {
        const char *config;
        int virtualOrdinal;
        uint32_t status;
        XLaccess mask;
        Strings lines;
    } cases[] = {
        {kTwoVirtual, 1, 0, 0x3,
         {"- channelBusCapabilities 0 CM=0x1 cap=0x00010001 Virtual active!",
          "- channelBusCapabilities 1 CM=0x2 cap=0x00010001"}},
        {kTwoVirtual, 2, 0, 0x3,
         {"- channelBusCapabilities 0 CM=0x1 cap=0x00010001", "- channelBusCapabilities 1 CM=0x2 cap=0x00010001"}},
        {kTwoCardsOneVirtual, 1, 0, 0x7, {"- channelBusCapabilities 2 CM=0x4 cap=0x00010001"}},
        {kTwoVirtual, 0, ERR_DEVICE_NOT_CONNECTED, 0, {kNoChannels}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.virtualOrdinal);
        theModule.m_bVirtual = c.virtualOrdinal;
        Load(c.config);
        TraceCapture trace;

        EXPECT_EQ(c.status, Init());

        EXPECT_EQ(c.mask, m_ChannelMask.load());
        for (const std::string &line : c.lines) EXPECT_TRUE(trace.hasMessage(line)) << line;
        if (c.status != 0) {
            EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
            EXPECT_TRUE(vxlsim::CallsTo("xlOpenPort").empty());
            EXPECT_EQ(kNoChannels, trace.messages().back());
            EXPECT_EQ("IN", LevelOf(trace, kNoChannels));
        }
        ResetWorld();
    }
}

// Every failing step ends the initialisation: an open port is closed again,
// the handle is invalid, and nothing after the failing call reaches the driver.
TEST_F(DriverInitTest, FailureAtAnyStepClosesThePortAndInvalidatesTheHandle) {
    const struct {
        const char *function;
        int status;  // or a VXLSIM_MODE_ when mode is set
        bool mode;
        Strings lastMessages;
        bool portWasOpen;
        const char *level = "ER";  // of the last message
    } cases[] = {
        {"xlOpenDriver", XL_ERR_CANNOT_OPEN_DRIVER, false, {"xlOpenDriver failed"}, false, "IN"},
        {"xlGetDriverConfig", XL_ERROR, false, {"xlGetDriverConfig failed"}, false, "IN"},
        {"xlOpenPort", XL_ERR_INVALID_ACCESS, false,
         {"- OpenPort         : CM=0x3, PH=0xFFFFFFFF, PM=0x3, XL_ERR_INVALID_ACCESS", "XL_INVALID_PORTHANDLE failed"},
         false},
        {"xlOpenPort", VXLSIM_MODE_INVALID_HANDLE, true, {"XL_INVALID_PORTHANDLE failed"}, false},
        {"xlOpenPort", VXLSIM_MODE_NO_INIT_ACCESS, true, {"permission failed", "Invalidating Port Handle"}, true},
        {"xlCanSetChannelBitrate", XL_ERR_WRONG_PARAMETER, false,
         {"- SetChannelBitrate: CM=0x3 baudr.=500000, XL_ERR_WRONG_PARAMETER", "set bitrate failed",
          "Invalidating Port Handle"},
         true},
        {"xlActivateChannel", XL_ERROR, false, {"- ActivateChannel : CM(0x3), XL_ERROR", "Invalidating Port Handle"},
         true},
        {"xlCanRemoveAcceptanceRange", XL_ERR_INVALID_ACCESS, false,
         {"- xlCanRemoveAcceptanceRange 0,7ff XL_ERR_INVALID_ACCESS", "Invalidating Port Handle"}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.status));
        Load(kTwoCardsOneVirtual);
        ASSERT_EQ(0, c.mode ? vxlsim_fail_mode(c.function, c.status, 1) : vxlsim_fail(c.function, c.status, 1));
        TraceCapture trace;

        EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, Init());

        EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
        EXPECT_EQ(c.lastMessages, LastMessages(trace, c.lastMessages.size()));
        EXPECT_EQ(c.level, LevelOf(trace, c.lastMessages.back()));
        Strings calls = CalledFunctions();
        const auto closes = vxlsim::CallsTo("xlClosePort");
        if (c.portWasOpen) {
            ASSERT_EQ(1u, closes.size());
            EXPECT_EQ(vxlsim::CallsTo("xlOpenPort").at(0).args[5], closes[0].args[0]);
            ASSERT_EQ("xlClosePort", calls.back());
            calls.pop_back();
        } else {
            EXPECT_TRUE(closes.empty());
        }
        EXPECT_EQ(c.function, calls.back());
        ResetWorld();
    }
}

TEST_F(DriverInitTest, CooperativeModeGoesOnWithoutInitAccessOrBitrate) {
    theModule.m_bCooperative = 1;
    Load(kTwoCardsOneVirtual);
    ASSERT_EQ(0, vxlsim_set_foreign_init_access(0, 1));
    TraceCapture trace;

    ASSERT_EQ(0u, Init());

    EXPECT_EQ(0x3u, m_PermissionMask);
    EXPECT_EQ("ER", LevelOf(trace, "permission failed -> useing cooperative mode"));
    EXPECT_EQ("ER", LevelOf(trace, "set bitrate failed -> useing cooperative mode ignored"));
    EXPECT_NE(XL_INVALID_PORTHANDLE, m_PortHandle.load());
    EXPECT_EQ(1u, vxlsim::CallsTo("xlActivateChannel").size());
    EXPECT_TRUE(vxlsim::CallsTo("xlClosePort").empty());
}

TEST_F(DriverInitTest, RefusalsThatOnlyGetReported) {
    // A virtual channel that will not activate.
    theModule.m_bVirtual = 1;
    Load(kTwoVirtual);
    ASSERT_EQ(0, vxlsim_fail("xlActivateChannel", XL_ERROR, 1));
    {
        TraceCapture trace;
        ASSERT_EQ(0u, Init());
        EXPECT_EQ("IN", LevelOf(trace, "On Virtual it can be activeted!!!"));
        EXPECT_EQ(1u, vxlsim::CallsTo("xlCanRemoveAcceptanceRange").size());
    }
    ResetWorld();

    // The extended ids the channel could not be told to drop.
    Load(kTwoCardsOneVirtual);
    ASSERT_EQ(0, vxlsim_fail("xlCanSetChannelAcceptance", XL_ERR_WRONG_PARAMETER, 1));
    TraceCapture trace;
    ASSERT_EQ(0u, Init());
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

    EXPECT_EQ((Strings{kRule, "- 02 channels       Hardware Configuration               -", kRule,
                       "- Ch.: 00, CM:0x  1,  " + std::string(32, 'N') + " ,123456 ,00010001  TTTTTTTTTTTTT -",
                       "- Ch.: 01, CM:0x100,                 CAN 2 ,     7 ,00030003  no Cab!       -", kRule}),
              trace.messages());
    EXPECT_EQ("demoPrintConfig() ", trace.columns().front());

    // A channel count beyond the table lists no more than the table holds.
    trace.clear();
    g_XlDriverConfig.channelCount = 1000;
    demoPrintConfig();
    EXPECT_EQ("- 1000 channels       Hardware Configuration               -", trace.messages().at(1));
    EXPECT_EQ(3u + XL_CONFIG_MAX_CHANNELS + 1u, trace.messages().size());
}

}  // namespace
