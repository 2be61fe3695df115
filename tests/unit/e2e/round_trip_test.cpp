// Echo round trips against one simulated ECU: every length around the frame
// boundaries of ISO 15765-2 with normal and with extended addressing, the
// ECU's block size and STmin for our requests, our block size for its
// answers, padded and unpadded frames both ways. The host gets its
// confirmation and then the answer field by field; the bus carries exactly
// the frames the standard prescribes, paced as the flow controls ask.
#include "e2e_world.h"

namespace e2e {
namespace {

enum class Addressing {
    Normal,
    Extended,      // flow-control filter names the tester's address byte
    MakersScheme,  // PT_CFG_ORV_EXTADDRESSING on, flow-control filter names the ECU's
};

struct RoundTripCase {
    std::string name;
    Addressing addressing;
    size_t length;  // echo request, and so answer, length
    EcuFlow ecu;    // how the ECU flow-controls our requests and pads its frames
    uint8_t libraryBs;
    uint32_t txFlags;
};

// Asked for flow control every 8 frames, an ECU cannot outrun a reader that
// the machine holds up for a while: at block size 0 a 4095-byte answer comes
// back to back (585 frames in 150 ms) into a receive queue of 256 events.
constexpr uint8_t kHostBlockSize = 8;

std::vector<RoundTripCase> Cases() {
    std::vector<RoundTripCase> cases = {
        // After every block of bs frames we wait for the next clear to send,
        // and no two consecutive frames are closer than STmin.
        {"EcuBs0_Stmin0_60", Addressing::Normal, 60, EcuFlow{0, 0}, 0, 0},
        {"EcuBs1_Stmin0_60", Addressing::Normal, 60, EcuFlow{1, 0}, 0, 0},
        {"EcuBs2_Stmin0_60", Addressing::Normal, 60, EcuFlow{2, 0}, 0, 0},
        {"EcuBs8_Stmin0_120", Addressing::Normal, 120, EcuFlow{8, 0}, 0, 0},
        {"EcuBs0_Stmin5_40", Addressing::Normal, 40, EcuFlow{0, 5}, 0, 0},
        {"EcuBs2_Stmin5_40", Addressing::Normal, 40, EcuFlow{2, 5}, 0, 0},
        {"EcuBs1_Stmin20_20", Addressing::Normal, 20, EcuFlow{1, 20}, 0, 0},
        // 17 consecutive frames of answer: we ask again after every block, the last one included.
        {"LibraryBs2_120", Addressing::Normal, 120, EcuFlow(), 2, 0},
        {"MakersScheme_LibraryBs2_120", Addressing::MakersScheme, 120, EcuFlow(), 2, 0},
        // Whatever the ECU fills its frames with, the host gets exactly the payload.
        {"Unpadded_3", Addressing::Normal, 3, EcuFlow{0, 0, false}, 0, 0},
        {"Unpadded_7", Addressing::Normal, 7, EcuFlow{0, 0, false}, 0, 0},
        {"Unpadded_20", Addressing::Normal, 20, EcuFlow{0, 0, false}, 0, 0},
        {"Unpadded_22", Addressing::Normal, 22, EcuFlow{0, 0, false}, 0, 0},
        {"PaddedAA_5", Addressing::Normal, 5, EcuFlow{0, 0, true, 0xAA}, 0, 0},
        {"PaddedAA_22", Addressing::Normal, 22, EcuFlow{0, 0, true, 0xAA}, 0, 0},
        {"Padded00_21", Addressing::Normal, 21, EcuFlow{0, 0, true, 0x00}, 0, 0},
        // The padding flag fills a single-frame request up to 8 bytes; the
        // frames of a multi-frame request are full either way.
        {"PaddedRequest_2", Addressing::Normal, 2, EcuFlow(), 0, ISO15765_FRAME_PAD},
        {"PaddedRequest_9", Addressing::Normal, 9, EcuFlow(), 0, ISO15765_FRAME_PAD},
    };
    // Single frame up to 7 bytes (6 extended); the first frame takes 6 (5),
    // each consecutive frame 7 (6); sequence numbers wrap after the 15th frame.
    const auto lengths = [&cases](const char *name, Addressing addressing, std::initializer_list<size_t> ns) {
        for (size_t n : ns)
            cases.push_back({name + std::to_string(n), addressing, n, EcuFlow(), kHostBlockSize, 0});
    };
    lengths("Normal_", Addressing::Normal,
            {1, 2, 6, 7, 8, 13, 14, 20, 21, 27, 28, 111, 112, 113, 255, 256, 1000, 4094, 4095});
    lengths("MakersScheme_", Addressing::MakersScheme,
            {1, 5, 6, 7, 11, 12, 17, 18, 23, 24, 95, 96, 97, 256, 4094, 4095});
    lengths("Extended_", Addressing::Extended, {6, 7, 12, 4095});
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<RoundTripCase> &info) { return info.param.name; }
void PrintTo(const RoundTripCase &c, std::ostream *out) { *out << c.name; }

class RoundTrip : public E2eTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(RoundTrip, EchoComesBackWhole) {
    const RoundTripCase &c = GetParam();
    const EcuAddress ecu = c.addressing == Addressing::Normal ? kEngine : kGateway;
    AddEcu(EcuText("ecu", ecu, c.ecu));
    if (c.addressing == Addressing::MakersScheme) {
        ASSERT_EQ(STATUS_NOERROR, SetConfig({{PT_CFG_ORV_EXTADDRESSING, 1}}));
    }
    ASSERT_EQ(STATUS_NOERROR, SetConfig({{ISO15765_BS, c.libraryBs}}));
    Listen(ecu);
    const Bytes request = EchoRequest(c.length);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(ecu, request, c.txFlags)));

    const std::vector<Bytes> frames = Segment(request, Framing{ecu.ecuAddress, false, true, 0xFF});
    if (frames.size() > 1) {
        // The ECU's clear to send waits in our queue: until a read takes it,
        // nothing follows the first frame.
        plat::SleepMs(20);
        const Bytes fc = FlowControl(ecu.testerAddress, c.ecu.bs, c.ecu.stmin, c.ecu.padding, c.ecu.padByte);
        EXPECT_EQ((std::vector<std::string>{FrameLine(ecu.requestId, frames[0]), FrameLine(ecu.responseId, fc)}),
                  BusLines());
    }
    ExpectAnswered(ecu, request, EchoAnswer(request), c.ecu, c.libraryBs, c.txFlags);
    const size_t cfCount = frames.size() - 1;
    EXPECT_EQ(c.ecu.bs == 0 ? 0 : cfCount / c.ecu.bs, TracedCount("Waiting for FlowControl"));

    std::vector<uint64_t> sent;
    const size_t pci = ecu.extended() ? 1 : 0;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.id == ecu.requestId && (f.data[pci] & 0xF0) == 0x20) sent.push_back(f.wall_ns);
    ASSERT_EQ(cfCount, sent.size());
    // The library counts whole milliseconds; the capture's clock is finer.
    constexpr uint64_t kClockGrainNs = 200000;
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(sent[i] - sent[i - 1] + kClockGrainNs, c.ecu.stmin * 1000000ull) << "before frame " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(E2e, RoundTrip, ::testing::ValuesIn(Cases()), CaseName);

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
