// A server that unloads the library with its channel left connected, 200
// times in one process: every unload disconnects the channel, closes the
// port and the driver, and reaps the worker (joined on POSIX; on Windows, under
// the loader lock, it ends just after the unload), so the next load starts fresh.
#include "host.h"

namespace {

TEST(UnloadOpen, TwoHundredUnloadsWithTheChannelConnected) {
    ExpectUnloadsLeaveNothingBehind([] {
        Host host;
        host.open();
        ASSERT_EQ(1, vxlsim_open_port_count());
        host.library().unload();  // left connected; the Host's end resets the stand-in
        ASSERT_EQ(0, vxlsim_open_port_count());
        ASSERT_EQ(0, vxlsim_driver_open_count());
    });
}

}  // namespace
