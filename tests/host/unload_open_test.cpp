// A server that unloads the library with its channel left connected, 200
// times in one process: every unload disconnects the channel, closes the
// port and the driver, and reaps the worker (joined on POSIX; on Windows, under
// the loader lock, it ends just after the unload), so the next load starts fresh.
#include <gtest/gtest.h>

#include "host.h"
#include "host_library.h"
#include "platform/platform.h"

namespace {

TEST(UnloadOpen, TwoHundredUnloadsWithTheChannelConnected) {
    // Counted after the first run: the stand-in keeps a thread of its own
    // once a port asked for its notification.
    unsigned threadsBefore = 0;
    for (int run = 0; run < 200; ++run) {
        {
            Host host;
            host.open();
            ASSERT_EQ(1, vxlsim_open_port_count()) << "run " << run;
            ASSERT_EQ(1, vxlsim_driver_open_count()) << "run " << run;
            // Left connected: the Host's end unloads the library.
            host.library().unload();
            ASSERT_EQ(0, vxlsim_open_port_count()) << "run " << run;
            ASSERT_EQ(0, vxlsim_driver_open_count()) << "run " << run;
        }
        // No worker thread outlives the unload.
        const unsigned threads = run == 0 ? SettledThreadCount(0) : SettledThreadCount(threadsBefore);
        ASSERT_NE(0u, threads);
        if (run == 0) threadsBefore = threads;
        ASSERT_EQ(threadsBefore, threads) << "run " << run;
    }
}

}  // namespace
