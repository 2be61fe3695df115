// Flow control both ways against simulated ECUs: the ECU's block size and
// separation time for our multi-frame requests, our announced block size
// for multi-frame answers, padded and unpadded ECUs, WAIT frames and
// response pending answers.
#include "e2e_world.h"

namespace e2e {
namespace {

struct EcuFlowCase {
    uint8_t bs;
    uint8_t stmin;  // milliseconds
    size_t length;  // echo request length
};

std::string EcuFlowName(const ::testing::TestParamInfo<EcuFlowCase> &info) {
    return "bs" + std::to_string(info.param.bs) + "_stmin" + std::to_string(info.param.stmin) + "_" +
           std::to_string(info.param.length);
}

class EcuFlowControl : public E2eTest, public ::testing::WithParamInterface<EcuFlowCase> {};

// After every block of bs frames the library waits for the next clear to
// send, and no two consecutive frames are closer than STmin.
TEST_P(EcuFlowControl, RequestFollowsTheEcusBlockSizeAndSeparationTime) {
    const EcuFlowCase c = GetParam();
    EcuFlow flow;
    flow.bs = c.bs;
    flow.stmin = c.stmin;
    AddEcu(EcuText("engine", kEngine, flow));
    Listen(kEngine);
    const Bytes request = EchoRequest(c.length);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(kEngine, request)));
    // The ECU's clear to send is waiting in our queue: until a read takes it,
    // nothing follows the first frame.
    plat::SleepMs(20);
    const std::vector<Bytes> frames = Segment(request, Framing());
    EXPECT_EQ((std::vector<std::string>{FrameLine(0x7E0, frames[0]),
                                        FrameLine(0x7E8, FlowControl(-1, c.bs, c.stmin, true, 0xFF))}),
              BusLines());
    ExpectAnswered(kEngine, request, EchoAnswer(request), flow, 0);
    // The worker stops after every block of bs frames, the last one included.
    const size_t cfCount = frames.size() - 1;
    EXPECT_EQ(c.bs == 0 ? 0 : cfCount / c.bs, TracedCount("Waiting for FlowControl"));

    std::vector<uint64_t> sent;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.id == kEngine.requestId && (f.data[0] & 0xF0) == 0x20) sent.push_back(f.wall_ns);
    ASSERT_EQ(cfCount, sent.size());
    // The library counts whole milliseconds; the capture's clock is finer.
    constexpr uint64_t kClockGrainNs = 200000;
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(sent[i] - sent[i - 1] + kClockGrainNs, c.stmin * 1000000ull) << "before frame " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(E2e, EcuFlowControl,
                         ::testing::Values(EcuFlowCase{0, 0, 60}, EcuFlowCase{1, 0, 60}, EcuFlowCase{2, 0, 60},
                                           EcuFlowCase{8, 0, 120}, EcuFlowCase{0, 5, 40}, EcuFlowCase{2, 5, 40},
                                           EcuFlowCase{1, 20, 20}),
                         EcuFlowName);

struct LibraryBsCase {
    uint8_t bs;
    bool extended;
};

std::string LibraryBsName(const ::testing::TestParamInfo<LibraryBsCase> &info) {
    return std::string(info.param.extended ? "Extended" : "Normal") + "_bs" + std::to_string(info.param.bs);
}

class LibraryBlockSize : public E2eTest, public ::testing::WithParamInterface<LibraryBsCase> {};

// A 120-byte answer (17 consecutive frames, sequence numbers wrapping): the
// library announces its block size and asks again after every block, the
// last one included.
TEST_P(LibraryBlockSize, AnswerIsFlowControlledWithTheAnnouncedBlockSize) {
    const LibraryBsCase c = GetParam();
    const EcuAddress ecu = c.extended ? kGateway : kEngine;
    AddEcu(EcuText("ecu", ecu, EcuFlow(), "long_did_length = 117\n"));
    if (c.extended) {
        ASSERT_EQ(STATUS_NOERROR, SetConfig({{PT_CFG_ORV_EXTADDRESSING, 1}}));
    }
    ASSERT_EQ(STATUS_NOERROR, SetConfig({{ISO15765_BS, c.bs}}));
    Listen(ecu);
    Bytes answer = {0x62, 0x01, 0x00};
    for (unsigned k = 0; k < 117; ++k) answer.push_back(static_cast<uint8_t>(k));
    RoundTrip(ecu, {0x22, 0x01, 0x00}, answer, EcuFlow(), c.bs);
}

INSTANTIATE_TEST_SUITE_P(E2e, LibraryBlockSize,
                         ::testing::Values(LibraryBsCase{0, false}, LibraryBsCase{2, false}, LibraryBsCase{8, false},
                                           LibraryBsCase{2, true}),
                         LibraryBsName);

struct PaddingCase {
    bool padding;
    uint8_t padByte;
    size_t length;
};

std::string PaddingName(const ::testing::TestParamInfo<PaddingCase> &info) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s_%02X_%zu", info.param.padding ? "padded" : "unpadded", info.param.padByte,
                  info.param.length);
    return buf;
}

class EcuPadding : public E2eTest, public ::testing::WithParamInterface<PaddingCase> {};

// Whatever the ECU fills its frames with, the host gets exactly the payload.
TEST_P(EcuPadding, AnswerCarriesNoFillBytes) {
    const PaddingCase c = GetParam();
    EcuFlow flow;
    flow.padding = c.padding;
    flow.padByte = c.padByte;
    AddEcu(EcuText("engine", kEngine, flow));
    Listen(kEngine);
    const Bytes request = EchoRequest(c.length);
    RoundTrip(kEngine, request, EchoAnswer(request), flow, 0);
}

INSTANTIATE_TEST_SUITE_P(E2e, EcuPadding,
                         ::testing::Values(PaddingCase{false, 0, 3}, PaddingCase{false, 0, 7},
                                           PaddingCase{false, 0, 20}, PaddingCase{false, 0, 22},
                                           PaddingCase{true, 0xAA, 5}, PaddingCase{true, 0xAA, 22},
                                           PaddingCase{true, 0x00, 21}),
                         PaddingName);

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

    RoundTrip(kEngine, {0x10, 0x03}, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}, EcuFlow(), 0);
}

}  // namespace
}  // namespace e2e
