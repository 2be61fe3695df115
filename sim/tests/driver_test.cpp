// The configuration's parsing errors and its file from the environment, and
// how long a refusal lasts; the channel list, application settings, call log
// and each refusal's effect are exercised through the library.
#include <cstdio>
#include <string>

#include "sim_fixture.h"
#include "platform/platform.h"

namespace {

class DriverTest : public SimTest {};

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
    plat::SetEnvironmentValue("VXLSIM_CONFIG", path.c_str());
    vxlsim_reset();
    plat::SetEnvironmentValue("VXLSIM_CONFIG", nullptr);
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
    for (int i = 0; i < 5; ++i) EXPECT_EQ(XL_ERR_CANNOT_OPEN_DRIVER, xlOpenDriver());
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

}  // namespace
