// The device's worker is woken by the driver: the port's notification is set
// up when the port opens and again when DATA_RATE opens it anew (messages
// still arrive after it), a driver that refuses it leaves the worker on its
// beat (messages still arrive, the trace says why), and an idle connected
// channel costs next to no processor time.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host0404.h"
#include "platform/platform.h"

namespace {

// The engine ECU answers 3E 00 and echoes BA ... with FA ... (multi-frame
// both ways), frames timed as on a 500 kbit/s bus.
const char kVehicle[] = VXLSIM_ONE_CARD "[driver]\nreal_timing = 1\n[ecu]\nname = engine\n";

// A 100-byte echo: our request goes after the ECU's flow control, its answer
// after ours; the read returns the whole answer.
void ExpectEcho(Host0404 &host, uint8_t first) {
    Bytes request = Cat({0xBA}, Bytes(99, first));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, 0x7E0, request), 2000));
    request[0] = 0xFA;
    EXPECT_EQ(With(0x7E8, request), host.answer());
}

// The beat cost 3 to 5 ms of processor time a second; waiting on the
// notification, an idle second costs next to nothing.
TEST(Notification0404, SetUpWithThePortSoIdleCostsNothingAndAgainWithANewDataRate) {
    Host0404 host("TRACE=1\n", kVehicle);
    host.openChannel(ISO15765);
    EXPECT_TRUE(host.traced("- SetNotification  : PH("));
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t cpu0 = plat::ProcessCpuTimeUs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(plat::ProcessCpuTimeUs() - cpu0, 1500u);
    ExpectEcho(host, 1);
    vxlsim_call_clear();
    ASSERT_EQ(STATUS_NOERROR, host.setConfig(DATA_RATE, 250000));
    EXPECT_EQ(1, CallsOf("xlOpenPort", XL_SUCCESS));
    EXPECT_EQ(1, CallsOf("xlSetNotification", XL_SUCCESS));
    // The worker waits on the new port's notification: answers still come.
    ExpectEcho(host, 2);
}

TEST(Notification0404, ARefusedNotificationLeavesTheWorkerOnItsBeat) {
    Host0404 host("TRACE=1\n", kVehicle);
    ASSERT_EQ(0, vxlsim_fail("xlSetNotification", XL_ERR_WRONG_PARAMETER, -1));
    host.openChannel(ISO15765);
    EXPECT_TRUE(host.traced("xlSetNotification failed (XL_ERR_WRONG_PARAMETER): the worker reads the port on its 1 ms beat"));
    EXPECT_FALSE(host.traced("- SetNotification  : PH("));
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x7E8, 0x7E0));
    ExpectEcho(host, 3);
    vxlsim_clear_failures();
}

}  // namespace
