// A J2534 tool that unloads the 04.04 library with a device open and a
// channel connected, 200 times in one process: every unload closes the
// device (port and driver closed) and reaps its worker exactly, without a
// thread left behind.
#include "host0404.h"
#include "host_library.h"

namespace {

TEST(UnloadOpen0404, TwoHundredUnloadsWithADeviceOpenAndAChannelConnected) {
    ExpectUnloadsLeaveNothingBehind([] {
        Host0404 host;  // its end unloads the library without closing anything
        host.openChannel(ISO15765);
        ASSERT_EQ(1, vxlsim_open_port_count());
    });
}

}  // namespace
