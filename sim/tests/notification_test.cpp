// xlSetNotification as the driver has it: the handle is set when the port's
// queue reaches the level, once, and again after the queue was read empty
// and filled up to the level; with the real clock the stand-in sets it when
// the frame is due, without a driver call (the library's tests wait on it
// through the platform layer).
#include <chrono>
#include <cstdint>
#include <thread>

#include "sim_fixture.h"

namespace {

// Real frame timing at 500 kbit/s: a frame is due ~230 us after it is sent.
const char kTimed[] = VXLSIM_ONE_CARD "[driver]\nreal_timing = 1\n";

class NotificationTest : public SimTest {
protected:
    void SetUp() override {
        ASSERT_EQ(0, vxlsim_load_config_text(kTimed));
        vxlsim_set_manual_clock(1);
        ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
        port = openActive(0);
    }
    void TearDown() override {
        vxlsim_set_manual_clock(0);
        SimTest::TearDown();
    }
    // An outside node's frame, on the bus 1 ms later by the stand-in's clock.
    static void frameFromOutside(uint8_t b) {
        const uint8_t data[1] = {b};
        ASSERT_EQ(0, vxlsim_bus_send(0, 0x7E8, 0, 1, data));
        vxlsim_advance_ns(1000000);
    }
    XLportHandle port = XL_INVALID_PORTHANDLE;
};

TEST_F(NotificationTest, RefusesWhatTheDriverRefuses) {
    XLhandle handle = nullptr;
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlSetNotification(port, &handle, 0));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlSetNotification(port, nullptr, 1));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlSetNotification(port, &handle, 257));  // beyond the 256-event queue
    EXPECT_EQ(XL_ERR_INVALID_PORT, xlSetNotification(port + 7, &handle, 1));
    EXPECT_EQ(-1, vxlsim_notification_taken(port));
    ASSERT_EQ(0, vxlsim_fail("xlSetNotification", XL_ERROR, 1));
    EXPECT_EQ(XL_ERROR, xlSetNotification(port, &handle, 1));
}

TEST_F(NotificationTest, SetOnceAtTheLevelAndAgainAfterTheQueueWasReadEmpty) {
    XLhandle handle = nullptr;
    ASSERT_EQ(XL_SUCCESS, xlSetNotification(port, &handle, 1));
    EXPECT_NE(nullptr, handle);
    EXPECT_EQ(0, vxlsim_notification_taken(port));
    frameFromOutside(1);
    EXPECT_EQ(1, vxlsim_notification_taken(port));
    EXPECT_EQ(0, vxlsim_notification_taken(port));
    // Not read empty: a second frame does not set it again.
    frameFromOutside(2);
    EXPECT_EQ(0, vxlsim_notification_taken(port));
    // The queue's events are as ever.
    const std::vector<XLevent> evs = drain(port);
    ASSERT_EQ(2u, evs.size());
    EXPECT_EQ(XL_RECEIVE_MSG, evs[0].tag);
    EXPECT_EQ(0x7E8u, evs[0].tagData.msg.id);
    EXPECT_EQ(std::vector<uint8_t>{1}, data(evs[0]));
    frameFromOutside(3);
    EXPECT_EQ(1, vxlsim_notification_taken(port));
    // Our own frame's confirmation is an event of the queue like any other.
    EXPECT_EQ(1u, drain(port).size());
    ASSERT_EQ(XL_SUCCESS, send(port, 0, 0x7E0, {0x3E}));
    vxlsim_advance_ns(1000000);
    EXPECT_EQ(1, vxlsim_notification_taken(port));
    EXPECT_EQ(1u, drain(port).size());

    // A level counts events; events already queued count at once.
    ASSERT_EQ(XL_SUCCESS, xlSetNotification(port, &handle, 3));
    frameFromOutside(1);
    frameFromOutside(2);
    EXPECT_EQ(0, vxlsim_notification_taken(port));
    frameFromOutside(3);
    EXPECT_EQ(1, vxlsim_notification_taken(port));
    ASSERT_EQ(XL_SUCCESS, xlSetNotification(port, &handle, 2));
    EXPECT_EQ(1, vxlsim_notification_taken(port));
}

// With the real clock no driver call brings the frame: the stand-in's own
// thread sets the handle when the frame is due (the look does not bring the
// simulated world up to the present).
TEST_F(NotificationTest, RealClockSetsItWhenTheFrameIsDueWithoutACall) {
    vxlsim_set_manual_clock(0);
    XLhandle handle = nullptr;
    ASSERT_EQ(XL_SUCCESS, xlSetNotification(port, &handle, 1));
    const uint8_t data[1] = {7};
    ASSERT_EQ(0, vxlsim_bus_send(0, 0x7E8, 0, 1, data));  // on the bus ~0.1 ms later
    int taken = 0;
    for (int i = 0; i < 5000 && taken == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        taken = vxlsim_notification_taken(port);
    }
    EXPECT_EQ(1, taken);
    EXPECT_EQ(1u, drain(port).size());
}

}  // namespace
