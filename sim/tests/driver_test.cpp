// Driver-level behaviour: opening, the channel list, application settings,
// refusals set up through the control interface, and the call log.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform_env.h"
#include "sim_fixture.h"

namespace {

class DriverTest : public SimTest {};

TEST_F(DriverTest, DefaultConfigListsTwoHardwareThenTwoVirtualChannels) {
    XLdriverConfig cfg;
    std::memset(&cfg, 0xCD, sizeof(cfg));
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    ASSERT_EQ(4u, cfg.channelCount);
    for (unsigned i = 0; i < 2; ++i) {
        const XLchannelConfig &c = cfg.channel[i];
        EXPECT_EQ("CANcardXL Channel " + std::to_string(i + 1), std::string(c.name));
        EXPECT_EQ(XL_HWTYPE_CANCARDXL, +c.hwType);
        EXPECT_EQ(i, +c.hwChannel);
        EXPECT_NE(0, +c.transceiverType);
        EXPECT_EQ(XL_BUS_ACTIVE_CAP_CAN | XL_BUS_COMPATIBLE_CAN,
                  c.channelBusCapabilities & (XL_BUS_ACTIVE_CAP_CAN | XL_BUS_COMPATIBLE_CAN));
        EXPECT_NE(0u, +c.serialNumber);
    }
    for (unsigned i = 2; i < 4; ++i) {
        const XLchannelConfig &c = cfg.channel[i];
        EXPECT_EQ("Virtual Channel " + std::to_string(i - 1), std::string(c.name));
        EXPECT_EQ(XL_HWTYPE_VIRTUAL, +c.hwType);
        EXPECT_EQ(0, +c.hwIndex);
        EXPECT_EQ(i - 2, +c.hwChannel);
        EXPECT_EQ(XL_TRANSCEIVER_TYPE_CAN_VIRTUAL, +c.transceiverType);
        EXPECT_EQ(0xA0000007u, +c.channelCapabilities);
        EXPECT_EQ(0x00010001u, +c.channelBusCapabilities);
        EXPECT_EQ(std::string("Virtual CAN"), +c.transceiverName);
        EXPECT_EQ(0u, +c.serialNumber);
    }
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(i, +cfg.channel[i].channelIndex);
        EXPECT_EQ(XLaccess(1) << i, +cfg.channel[i].channelMask);
        EXPECT_EQ(0, +cfg.channel[i].isOnBus);
    }
    // Unused entries are cleared, not left as the caller's garbage.
    EXPECT_EQ(0, cfg.channel[4].name[0]);
}

TEST_F(DriverTest, ChannelMaskFindsConfiguredChannelsOnly) {
    EXPECT_EQ(1u, xlGetChannelMask(XL_HWTYPE_CANCARDXL, 0, 0));
    EXPECT_EQ(2u, xlGetChannelMask(XL_HWTYPE_CANCARDXL, 0, 1));
    EXPECT_EQ(4u, xlGetChannelMask(XL_HWTYPE_VIRTUAL, 0, 0));
    EXPECT_EQ(8u, xlGetChannelMask(XL_HWTYPE_VIRTUAL, 0, 1));
    EXPECT_EQ(0u, xlGetChannelMask(XL_HWTYPE_VIRTUAL, 0, 2));
    EXPECT_EQ(0u, xlGetChannelMask(XL_HWTYPE_CANCARDXL, 1, 0));
}

TEST_F(DriverTest, OpenIsReferenceCountedAndClosedDriverRefusesWork) {
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());  // second user
    EXPECT_EQ(2, vxlsim_driver_open_count());
    ASSERT_EQ(XL_SUCCESS, xlCloseDriver());
    XLdriverConfig cfg;
    EXPECT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));  // still open once
    const XLportHandle h = OpenActive(0);
    OpenActive(1);
    EXPECT_EQ(2, vxlsim_open_port_count());
    ASSERT_EQ(XL_SUCCESS, xlCloseDriver());
    EXPECT_EQ(0, vxlsim_driver_open_count());
    EXPECT_EQ(0, vxlsim_open_port_count());
    EXPECT_EQ(XL_SUCCESS, xlCloseDriver());  // one close too many is harmless
    EXPECT_EQ(0, vxlsim_driver_open_count());
    EXPECT_EQ(XL_ERR_CANNOT_OPEN_DRIVER, xlGetDriverConfig(&cfg));
    EXPECT_EQ(0u, xlGetChannelMask(XL_HWTYPE_VIRTUAL, 0, 0));
    unsigned t = 0, i = 0, c = 0;
    char app[] = "app";
    EXPECT_EQ(XL_ERR_CANNOT_OPEN_DRIVER, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
    // The last close takes the ports with it.
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlClosePort(h));
    XLportHandle p = 7;
    XLaccess perm = 1;
    EXPECT_EQ(XL_ERR_CANNOT_OPEN_DRIVER, xlOpenPort(&p, app, 1, &perm, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_INVALID_PORTHANDLE, p);
}

TEST_F(DriverTest, ApplicationConfigUnknownThenStoredThenUpdated) {
    char app[] = "J2534 tester";
    unsigned t = 99, i = 99, c = 99;
    EXPECT_EQ(XL_ERROR, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
    ASSERT_EQ(XL_SUCCESS, xlSetApplConfig(app, 0, XL_HWTYPE_VIRTUAL, 0, 1, XL_BUS_TYPE_CAN));
    ASSERT_EQ(XL_SUCCESS, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
    EXPECT_EQ(unsigned(XL_HWTYPE_VIRTUAL), t);
    EXPECT_EQ(0u, i);
    EXPECT_EQ(1u, c);
    EXPECT_EQ(XL_ERROR, xlGetApplConfig(app, 1, &t, &i, &c, XL_BUS_TYPE_CAN));  // other app channel
    ASSERT_EQ(XL_SUCCESS, xlSetApplConfig(app, 0, XL_HWTYPE_CANCARDXL, 0, 0, XL_BUS_TYPE_CAN));
    ASSERT_EQ(XL_SUCCESS, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
    EXPECT_EQ(unsigned(XL_HWTYPE_CANCARDXL), t);
    EXPECT_EQ(0u, c);
}

TEST_F(DriverTest, ConfigurationTextDefinesChannelsAndApplications) {
    const char *text =
        "# one channel only\n"
        "[driver]\n"
        "dll_version = 0x0A000000\n"
        "[channel]\n"
        "name = Bench Channel\n"
        "hw_type = 15\n"
        "hw_index = 2\n"
        "hw_channel = 1\n"
        "transceiver_type = 0x0120\n"
        "transceiver_name = HS 1050\n"
        "serial = 4711\n"
        "bus_capabilities = 0x00030003\n"
        "bitrate = 250000\n"
        "[app]\n"
        "name = BenchApp\n"
        "app_channel = 0\n"
        "hw_type = 15\n"
        "hw_index = 2\n"
        "hw_channel = 1\n";
    ASSERT_EQ(0, vxlsim_load_config_text(text));
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());  // loading starts from a closed driver
    XLdriverConfig cfg;
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    ASSERT_EQ(1u, cfg.channelCount);
    EXPECT_EQ(0x0A000000u, +cfg.dllVersion);
    EXPECT_EQ(std::string("Bench Channel"), +cfg.channel[0].name);
    EXPECT_EQ(2, +cfg.channel[0].hwIndex);
    EXPECT_EQ(0x0120, +cfg.channel[0].transceiverType);
    EXPECT_EQ(std::string("HS 1050"), +cfg.channel[0].transceiverName);
    EXPECT_EQ(4711u, +cfg.channel[0].serialNumber);
    EXPECT_EQ(250000u, +cfg.channel[0].busParams.data.can.bitRate);
    EXPECT_EQ(1u, xlGetChannelMask(15, 2, 1));
    char app[] = "BenchApp";
    unsigned t = 0, i = 0, c = 0;
    ASSERT_EQ(XL_SUCCESS, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
    EXPECT_EQ(15u, t);
    EXPECT_EQ(2u, i);
    EXPECT_EQ(1u, c);
}

TEST_F(DriverTest, BadConfigurationReportsTheLine) {
    EXPECT_EQ(3, vxlsim_load_config_text("[channel]\nname = x\nbitrate = fast\n"));
    EXPECT_EQ(1, vxlsim_load_config_text("[nonsense]\n"));
    EXPECT_EQ(2, vxlsim_load_config_text("[driver]\nno equals sign\n"));
    EXPECT_EQ(-1, vxlsim_load_config("/nonexistent/vxlsim.ini"));
}

TEST_F(DriverTest, ConfigurationFileFromEnvironmentIsTheResetState) {
    const std::string path = ::testing::TempDir() + "vxlsim_env_test.ini";
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fputs("[channel]\nname = From File\n[channel]\nname = Second\n", f);
    std::fclose(f);
    SetEnvVar("VXLSIM_CONFIG", path.c_str());
    vxlsim_reset();
    SetEnvVar("VXLSIM_CONFIG", nullptr);
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
    XLdriverConfig cfg;
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    EXPECT_EQ(2u, cfg.channelCount);
    EXPECT_EQ(std::string("From File"), +cfg.channel[0].name);
    EXPECT_EQ(0, vxlsim_load_config(path.c_str()));
    std::remove(path.c_str());
    vxlsim_reset();
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
    ASSERT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));
    EXPECT_EQ(4u, cfg.channelCount);
}

TEST_F(DriverTest, RefusalsLastForTheirCountOrUntilCleared) {
    ASSERT_EQ(0, vxlsim_fail("xlGetDriverConfig", XL_ERR_HW_NOT_PRESENT, 2));
    XLdriverConfig cfg;
    EXPECT_EQ(XL_ERR_HW_NOT_PRESENT, xlGetDriverConfig(&cfg));
    EXPECT_EQ(XL_ERR_HW_NOT_PRESENT, xlGetDriverConfig(&cfg));
    EXPECT_EQ(XL_SUCCESS, xlGetDriverConfig(&cfg));

    ASSERT_EQ(0, vxlsim_fail("xlOpenDriver", XL_ERR_CANNOT_OPEN_DRIVER, -1));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(XL_ERR_CANNOT_OPEN_DRIVER, xlOpenDriver());
    vxlsim_clear_failures();
    EXPECT_EQ(XL_SUCCESS, xlOpenDriver());

    EXPECT_EQ(-1, vxlsim_fail("xlNoSuchFunction", XL_ERROR, 1));
    EXPECT_EQ(-1, vxlsim_fail_mode("xlActivateChannel", VXLSIM_MODE_INVALID_HANDLE, 1));

    ASSERT_EQ(0, vxlsim_fail("xlGetChannelMask", XL_ERROR, 1));
    EXPECT_EQ(0u, xlGetChannelMask(XL_HWTYPE_VIRTUAL, 0, 0));
    EXPECT_EQ(4u, xlGetChannelMask(XL_HWTYPE_VIRTUAL, 0, 0));

    char app[] = "a";
    unsigned t = 0, i = 0, c = 0;
    ASSERT_EQ(0, vxlsim_fail("xlSetApplConfig", XL_ERR_WRONG_PARAMETER, 1));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlSetApplConfig(app, 0, 1, 0, 0, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_ERROR, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));  // nothing stored
    ASSERT_EQ(0, vxlsim_fail("xlGetApplConfig", XL_ERR_NOT_FOUND, 1));
    ASSERT_EQ(XL_SUCCESS, xlSetApplConfig(app, 0, 1, 0, 0, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_ERR_NOT_FOUND, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_SUCCESS, xlGetApplConfig(app, 0, &t, &i, &c, XL_BUS_TYPE_CAN));
}

TEST_F(DriverTest, OpenPortRefusalsAndTheirVariants) {
    char name[] = "t";
    XLportHandle h = 5;
    XLaccess perm = 1;
    ASSERT_EQ(0, vxlsim_fail("xlOpenPort", XL_ERR_INVALID_ACCESS, 1));
    EXPECT_EQ(XL_ERR_INVALID_ACCESS, xlOpenPort(&h, name, 1, &perm, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_INVALID_PORTHANDLE, h);

    ASSERT_EQ(0, vxlsim_fail_mode("xlOpenPort", VXLSIM_MODE_INVALID_HANDLE, 1));
    perm = 1;
    EXPECT_EQ(XL_SUCCESS, xlOpenPort(&h, name, 1, &perm, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_INVALID_PORTHANDLE, h);

    ASSERT_EQ(0, vxlsim_fail_mode("xlOpenPort", VXLSIM_MODE_NO_INIT_ACCESS, 1));
    perm = 1;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&h, name, 1, &perm, 256, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_NE(XL_INVALID_PORTHANDLE, h);
    EXPECT_EQ(0u, perm);
    EXPECT_EQ(XL_ERR_INIT_ACCESS_MISSING, xlCanSetChannelBitrate(h, 1, 500000));

    // Refusals of the port calls themselves, each used once; the refused
    // frame never reaches the bus and the port still works afterwards.
    const XLportHandle p = OpenActive(1);
    ASSERT_EQ(0, vxlsim_fail("xlReceive", XL_ERR_INVALID_PORT, 1));
    unsigned n = 1;
    XLevent ev;
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlReceive(p, &n, &ev));
    EXPECT_EQ(0u, n);
    const struct {
        const char *fn;
        XLstatus st;
        std::function<XLstatus()> call;
    } cases[] = {
        {"xlCanSetChannelBitrate", XL_ERR_INVALID_ACCESS, [p] { return xlCanSetChannelBitrate(p, 2, 500000); }},
        {"xlActivateChannel", XL_ERR_HW_NOT_PRESENT, [p] { return xlActivateChannel(p, 2, XL_BUS_TYPE_CAN, 0); }},
        {"xlCanRemoveAcceptanceRange", XL_ERR_WRONG_PARAMETER, [p] { return xlCanRemoveAcceptanceRange(p, 2, 1, 2); }},
        {"xlCanSetChannelAcceptance", XL_ERROR, [p] { return xlCanSetChannelAcceptance(p, 2, 0, 0, XL_CAN_STD); }},
        {"xlCanAddAcceptanceRange", XL_ERR_NOT_SUPPORTED, [p] { return xlCanAddAcceptanceRange(p, 2, 1, 2); }},
        {"xlCanTransmit", XL_ERR_QUEUE_IS_FULL, [p] { return Send(p, 1, 0x100, {1}); }},
        {"xlDeactivateChannel", XL_ERROR, [p] { return xlDeactivateChannel(p, 2); }},
        {"xlClosePort", XL_ERR_INVALID_PORT, [p] { return xlClosePort(p); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fn);
        ASSERT_EQ(0, vxlsim_fail(c.fn, c.st, 1));
        EXPECT_EQ(c.st, c.call());
        EXPECT_EQ(XL_SUCCESS, c.call());
    }
    EXPECT_EQ(1, vxlsim_capture_count());
}

TEST_F(DriverTest, CallLogRecordsArgumentsInOrder) {
    vxlsim_call_clear();
    char name[] = "logger";
    XLportHandle h = XL_INVALID_PORTHANDLE;
    XLaccess perm = 4;
    ASSERT_EQ(XL_SUCCESS, xlOpenPort(&h, name, 4, &perm, 512, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanSetChannelBitrate(h, 4, 0));
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelBitrate(h, 4, 125000));
    unsigned n = 1;
    XLevent ev;
    EXPECT_EQ(XL_ERR_QUEUE_IS_EMPTY, xlReceive(h, &n, &ev));  // not logged: polling noise

    const std::vector<vxlsim_call> calls = vxlsim::Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_STREQ("xlOpenPort", calls[0].function);
    EXPECT_STREQ("logger", calls[0].text);
    EXPECT_EQ(XL_SUCCESS, calls[0].status);
    // mask, permission asked, queue size, interface version, bus type; handle, permission granted
    EXPECT_EQ((std::vector<uint64_t>{4, 4, 512, 3, 1, uint64_t(h), 4}),
              std::vector<uint64_t>(calls[0].args, calls[0].args + calls[0].nargs));
    EXPECT_STREQ("xlCanSetChannelBitrate", calls[1].function);
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, calls[1].status);
    EXPECT_EQ(125000u, calls[2].args[2]);
    EXPECT_EQ(1u, vxlsim::CallsTo("xlOpenPort").size());
    EXPECT_LE(calls[0].wall_ns, calls[2].wall_ns);
    vxlsim_call_clear();
    EXPECT_EQ(0, vxlsim_call_count());
    vxlsim_call out;
    EXPECT_EQ(-1, vxlsim_call_get(0, &out));
}

}  // namespace
