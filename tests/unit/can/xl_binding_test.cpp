#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "can/can_io.h"
#include "can/xl_binding.h"
#include "platform/platform.h"
#include "sim_world.h"

namespace {

using Strings = std::vector<std::string>;
using simworld::CalledFunctions;

void ExpectEveryCallFailsAsMissing(const XlDriverBinding &xl) {
    char app[] = "zyn_pt_vector";
    unsigned int hwType = 0, hwIndex = 0, hwChannel = 0;
    XLportHandle port = 5;
    XLaccess permission = 1;
    unsigned int count = 1;
    XLevent event = {};
    XLdriverConfig *config = nullptr;

    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlOpenDriver());
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlCloseDriver());
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlGetDriverConfig(config));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlGetApplConfig(app, 0, &hwType, &hwIndex, &hwChannel, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlSetApplConfig(app, 0, 15, 0xFFFFFFFFu, 0, XL_BUS_TYPE_CAN));
    EXPECT_EQ(0u, xl.xlGetChannelMask(15, 0, 0));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlOpenPort(&port, app, 1, &permission, 256, 3, XL_BUS_TYPE_CAN));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlClosePort(port));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlCanSetChannelBitrate(port, 1, 500000));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlActivateChannel(port, 1, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlDeactivateChannel(port, 1));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlCanAddAcceptanceRange(port, 1, 0x7E8, 0x7E8));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlCanRemoveAcceptanceRange(port, 1, 1, 0x7FF));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlCanSetChannelAcceptance(port, 1, 0xFFF, 0xFFF, XL_CAN_EXT));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlCanTransmit(port, 1, &count, &event));
    EXPECT_EQ(XL_ERR_DLL_NOT_FOUND, xl.xlReceive(port, &count, &event));
    EXPECT_STREQ("XL_ERR_DLL_NOT_FOUND", xl.xlGetErrorString(XL_SUCCESS));
    ASSERT_NE(nullptr, xl.xlGetEventString(&event));
    EXPECT_NE(0u, std::strlen(xl.xlGetEventString(nullptr)));
    // Nothing was written through the out arguments.
    EXPECT_EQ(5, port);
    EXPECT_EQ(1u, permission);
    EXPECT_EQ(0u, hwType + hwIndex + hwChannel);
}

TEST(XlBindingTest, MissingLibraryOrNoNameAnswersEveryCallLikeAnAbsentDriver) {
    vxlsim_reset();
    const std::string missing =
        std::string(plat::SharedLibraryPrefix()) + "no_such_xl_driver" + plat::SharedLibrarySuffix();

    ExpectEveryCallFailsAsMissing(BindXlDriver(missing.c_str()));
    ExpectEveryCallFailsAsMissing(BindXlDriver(nullptr));

    EXPECT_EQ(0, vxlsim_call_count());
}

TEST(XlBindingTest, FileNameFollowsThePlatformAndPointerSize) {
    const std::string suffix = plat::SharedLibrarySuffix();
    const std::string expected = suffix != ".dll"         ? std::string(plat::SharedLibraryPrefix()) + "vxlapi" + suffix
                                 : sizeof(void *) == 8 ? "vxlapi64.dll"
                                                       : "vxlapi.dll";
    EXPECT_EQ(expected, XlDriverFileName());
}

TEST(XlBindingTest, DriverFoundByItsPlainNameIsTheOneCalled) {
    vxlsim_reset();
    const XlDriverBinding xl = BindXlDriver(XlDriverFileName());

    EXPECT_EQ(XL_SUCCESS, xl.xlOpenDriver());
    XLdriverConfig config = {};
    EXPECT_EQ(XL_SUCCESS, xl.xlGetDriverConfig(&config));
    EXPECT_STREQ("XL_ERR_INVALID_PORT", xl.xlGetErrorString(XL_ERR_INVALID_PORT));
    EXPECT_EQ(XL_SUCCESS, xl.xlCloseDriver());

    EXPECT_EQ((Strings{"xlOpenDriver", "xlGetDriverConfig", "xlCloseDriver"}), CalledFunctions());
    EXPECT_GT(config.channelCount, 0u);
    vxlsim_reset();
}

TEST(XlBindingTest, FirstUseBindsOnceForEveryThread) {
    static std::atomic<const XlDriverBinding *> seen[2] = {};
    plat::ThreadHandle threads[2];
    for (int i = 0; i < 2; ++i) {
        int error = 0;
        ASSERT_TRUE(plat::StartThread(
            [](void *slot) -> uint32_t {
                static_cast<std::atomic<const XlDriverBinding *> *>(slot)->store(&XlDriver());
                return 0;
            },
            &seen[i], &threads[i], &error));
    }
    // The threads end on their own; wait until both have bound.
    for (int spins = 0; spins < 5000 && !(seen[0] && seen[1]); ++spins) plat::SleepMs(1);
    for (plat::ThreadHandle &thread : threads) plat::CloseThread(&thread, true);

    ASSERT_NE(nullptr, seen[0]);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(&XlDriver(), seen[0]);
    EXPECT_TRUE(XlDriverBound());
    EXPECT_EQ(&XlDriver(), &XlDriverIfLoaded());
}

// Clean-up may run from the unload handler, where no library may be loaded.
TEST(XlBindingTest, CleanUpBeforeFirstUseLeavesTheDriverUnloaded) {
    if (XlDriverBound()) GTEST_SKIP() << "an earlier test in this process has bound the driver";
    vxlsim_reset();
    TraceCapture trace;

    EXPECT_EQ(0, VectorCleanUp());

    EXPECT_FALSE(XlDriverBound());
    EXPECT_EQ(0, vxlsim_call_count());
    EXPECT_EQ((Strings{"- DeactivateChannel: CM(0x0), XL_ERR_DLL_NOT_FOUND"}), trace.messages());
}

}  // namespace
