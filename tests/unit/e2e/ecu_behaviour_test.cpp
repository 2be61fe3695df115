// ECUs that do not answer at once: response pending answers before the
// final one, and a WAIT flow control before the clear to send.
#include "e2e_world.h"

namespace e2e {
namespace {

class EcuBehaviour : public E2eTest {
protected:
    EcuBehaviour() : E2eTest(2) {}  // the flow-control traces are written at full verbosity
};

// Each 7F 10 78 reaches the host as it came, then the final answer.
TEST_F(EcuBehaviour, ResponsePendingIsDeliveredAsIsBeforeTheAnswer) {
    AddEcu(EcuText("engine", kEngine, EcuFlow(), "pending = 2\npending_interval_ms = 20\n"));
    Listen(kEngine);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(kEngine, {0x10, 0x03})));
    auto got = ReadUntil([](const PASSTHRU_MSG &m) { return !IsConfirmation(m) && m.Data[4] == 0x50; });
    ASSERT_EQ(4u, got.size());
    ExpectConfirmation(got[0], kEngine.requestId);
    ExpectMessage(got[1], kEngine.responseId, {0x7F, 0x10, 0x78});
    ExpectMessage(got[2], kEngine.responseId, {0x7F, 0x10, 0x78});
    ExpectMessage(got[3], kEngine.responseId, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4});
    const std::vector<std::string> bus = {"7E0: 02 10 03", "7E8: 03 7F 10 78 FF FF FF FF",
                                          "7E8: 03 7F 10 78 FF FF FF FF", "7E8: 06 50 03 00 32 01 F4 FF"};
    EXPECT_EQ(bus, BusLines());
}

// The library takes every flow control as clear to send: after the ECU's
// WAIT it sends the consecutive frames at once, the ECU (still waiting)
// drops them, and its late clear to send finds no transfer. No answer
// comes, and the next request is served normally.
TEST_F(EcuBehaviour, FlowControlWaitIsTakenAsClearToSend) {
    AddEcu(EcuText("engine", kEngine, EcuFlow(), "fc_wait = 1\nfc_wait_interval_ms = 50\n"));
    Listen(kEngine);
    const Bytes request = EchoRequest(20);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(kEngine, request)));
    auto got = ReadFor(300);
    ASSERT_EQ(1u, got.size());
    ExpectConfirmation(got[0], kEngine.requestId);
    const std::vector<Bytes> frames = Segment(request, Framing());
    const std::vector<std::string> bus = {FrameLine(0x7E0, frames[0]),
                                          FrameLine(0x7E8, FlowControl(-1, 0, 0, true, 0xFF, 1)),
                                          FrameLine(0x7E0, frames[1]), FrameLine(0x7E0, frames[2]),
                                          FrameLine(0x7E8, FlowControl(-1, 0, 0, true, 0xFF, 0))};
    EXPECT_EQ(bus, BusLines());
    EXPECT_TRUE(Traced("Error FLOW_CONTROL  -1"));

    vxlsim_capture_clear();
    ASSERT_EQ(STATUS_NOERROR, Write(Request(kEngine, {0x10, 0x03})));
    ExpectAnswered(kEngine, {0x10, 0x03}, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}, EcuFlow(), 0);
}

}  // namespace
}  // namespace e2e
