// Requests and answers of every length around the frame boundaries of
// ISO 15765-2, both ways, with normal and with extended addressing: the host
// gets its confirmation and then the answer field by field, and the bus
// carries exactly the frames the standard prescribes.
#include "e2e_world.h"

namespace e2e {
namespace {

enum class Addressing {
    Normal,
    Extended,       // flow-control filter names the tester's address byte
    MakersScheme,   // PT_CFG_ORV_EXTADDRESSING on, flow-control filter names the ECU's
};

struct LengthCase {
    Addressing addressing;
    size_t length;  // echo request, and so answer, length
};

std::string CaseName(const ::testing::TestParamInfo<LengthCase> &info) {
    static const char *const kNames[] = {"Normal", "Extended", "MakersScheme"};
    return std::string(kNames[static_cast<int>(info.param.addressing)]) + "_" + std::to_string(info.param.length);
}

// Single frame up to 7 bytes (6 extended); the first frame takes 6 (5), each
// consecutive frame 7 (6); sequence numbers wrap after the 15th frame.
const size_t kNormalLengths[] = {1, 2, 6, 7, 8, 13, 14, 20, 21, 27, 28, 111, 112, 113, 255, 256, 1000, 4094, 4095};
const size_t kExtendedLengths[] = {1, 5, 6, 7, 11, 12, 17, 18, 23, 24, 95, 96, 97, 256, 4094, 4095};

std::vector<LengthCase> Cases() {
    std::vector<LengthCase> cases;
    for (size_t n : kNormalLengths) cases.push_back({Addressing::Normal, n});
    for (size_t n : kExtendedLengths) cases.push_back({Addressing::MakersScheme, n});
    for (size_t n : {6, 7, 12, 4095}) cases.push_back({Addressing::Extended, static_cast<size_t>(n)});
    return cases;
}

// Asked for flow control every 8 frames, an ECU cannot outrun a reader that
// the machine holds up for a while: at block size 0 a 4095-byte answer comes
// back to back (585 frames in 150 ms) into a receive queue of 256 events.
constexpr uint8_t kHostBlockSize = 8;

class Lengths : public E2eTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(Lengths, EchoComesBackWhole) {
    const LengthCase c = GetParam();
    const EcuAddress ecu = c.addressing == Addressing::Normal ? kEngine : kGateway;
    AddEcu(EcuText("ecu", ecu));
    if (c.addressing == Addressing::MakersScheme) {
        ASSERT_EQ(STATUS_NOERROR, SetConfig({{PT_CFG_ORV_EXTADDRESSING, 1}}));
    }
    ASSERT_EQ(STATUS_NOERROR, SetConfig({{ISO15765_BS, kHostBlockSize}}));
    Listen(ecu);
    const Bytes request = EchoRequest(c.length);
    RoundTrip(ecu, request, EchoAnswer(request), EcuFlow(), kHostBlockSize);
}

INSTANTIATE_TEST_SUITE_P(E2e, Lengths, ::testing::ValuesIn(Cases()), CaseName);

class Boundaries : public E2eTest {};

// An empty request goes out as a single frame that announces no data: no
// ECU can answer it, but the host still learns that it was sent.
TEST_F(Boundaries, EmptyRequestIsSentAndConfirmedOnly) {
    AddEcu(EcuText("engine", kEngine));
    Listen(kEngine);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(kEngine, {})));
    auto got = ReadFor(100);
    ASSERT_EQ(1u, got.size());
    ExpectConfirmation(got[0], kEngine.requestId);
    EXPECT_EQ((std::vector<std::string>{"7E0: 00"}), BusLines());
}

// The padding flag fills a single-frame request up to 8 bytes; multi-frame
// requests are full frames either way.
TEST_F(Boundaries, PaddedSingleFrameRequest) {
    AddEcu(EcuText("engine", kEngine));
    Listen(kEngine);
    RoundTrip(kEngine, {0x10, 0x03}, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}, EcuFlow(), 0, ISO15765_FRAME_PAD);
    const Bytes request = EchoRequest(9);
    RoundTrip(kEngine, request, EchoAnswer(request), EcuFlow(), 0, ISO15765_FRAME_PAD);
}

// Longer than one ISO 15765-2 message can be: refused before anything is sent.
TEST_F(Boundaries, MessageBeyond4095BytesIsRefused) {
    AddEcu(EcuText("engine", kEngine));
    AddEcu(EcuText("gateway", kGateway));
    Listen(kEngine);
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(Request(kEngine, EchoRequest(4096))));
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(Request(kGateway, EchoRequest(4096))));
    EXPECT_TRUE(ReadFor(20).empty());
    EXPECT_TRUE(BusLines().empty());
}

}  // namespace
}  // namespace e2e
