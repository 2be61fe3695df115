// A J2534 tool that unloads the 04.04 library with a device open and a
// channel connected, 200 times in one process: every unload closes the
// device (port and driver closed) and reaps its worker exactly, without a
// thread left behind.
#include <gtest/gtest.h>

#include "host0404.h"
#include "host_library.h"
#include "platform/platform.h"

namespace {

TEST(UnloadOpen0404, TwoHundredUnloadsWithADeviceOpenAndAChannelConnected) {
    // Counted after the first run: the stand-in keeps a thread of its own
    // once a port asked for its notification.
    unsigned threadsBefore = 0;
    for (int run = 0; run < 200; ++run) {
        {
            Host0404 host;
            host.openChannel(ISO15765);
            ASSERT_EQ(1, vxlsim_open_port_count()) << "run " << run;
        }
        // ~Host0404 unloaded the library without closing anything.
        ASSERT_EQ(0, vxlsim_open_port_count()) << "run " << run;
        ASSERT_EQ(0, vxlsim_driver_open_count()) << "run " << run;
        const unsigned threads = run == 0 ? SettledThreadCount(0) : SettledThreadCount(threadsBefore);
        ASSERT_NE(0u, threads);
        if (run == 0) threadsBefore = threads;
        ASSERT_EQ(threadsBefore, threads) << "run " << run;
    }
}

}  // namespace
