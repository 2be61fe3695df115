// Echo round trips against one simulated ECU: every length around the frame
// boundaries of ISO 15765-2 with normal and with extended addressing, the
// ECU's block size and STmin for our requests, our block size for its
// answers, padded and unpadded frames both ways. The host gets its
// confirmation and then the answer field by field; the bus carries exactly
// the frames the standard prescribes, paced as the flow controls ask.
#include "e2e.h"
#include "platform/platform.h"

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
    EcuFlow ecu;
    uint8_t libraryBs;
    uint32_t txFlags;
};

// The simulated ECUs' echo service: the request comes back with SID + 0x40.
Bytes EchoRequest(size_t length) {
    Bytes b(length);
    b[0] = 0xBA;
    for (size_t i = 1; i < length; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// Asked for flow control every 8 frames, an ECU cannot outrun a reader that
// the machine holds up: at block size 0 a 4095-byte answer comes back to
// back (585 frames in 150 ms) into a receive queue of 256 events.
constexpr uint8_t kHostBlockSize = 8;

std::vector<RoundTripCase> Cases() {
    std::vector<RoundTripCase> cases = {
        // After every block of bs frames we wait for the next clear to send,
        // and no two consecutive frames are closer than STmin.
        {"EcuBs1_Stmin0_60", Addressing::Normal, 60, EcuFlow{1, 0}, 0, 0},
        {"EcuBs8_Stmin0_120", Addressing::Normal, 120, EcuFlow{8, 0}, 0, 0},
        {"EcuBs2_Stmin5_40", Addressing::Normal, 40, EcuFlow{2, 5}, 0, 0},
        {"EcuBs0_Stmin20_20", Addressing::Normal, 20, EcuFlow{0, 20}, 0, 0},
        {"MakersScheme_EcuBs2_Stmin10_40", Addressing::MakersScheme, 40, EcuFlow{2, 10}, 0, 0},
        // 17 consecutive frames of answer: we ask again after every block, the last one included.
        {"LibraryBs1_40", Addressing::Normal, 40, EcuFlow(), 1, 0},
        {"LibraryBs2_120", Addressing::Normal, 120, EcuFlow(), 2, 0},
        {"MakersScheme_LibraryBs2_120", Addressing::MakersScheme, 120, EcuFlow(), 2, 0},
        // Whatever the ECU fills its frames with, the host gets exactly the payload.
        {"Unpadded_3", Addressing::Normal, 3, EcuFlow{0, 0, false}, 0, 0},
        {"Unpadded_20", Addressing::Normal, 20, EcuFlow{0, 0, false}, 0, 0},
        {"Unpadded_22", Addressing::Normal, 22, EcuFlow{0, 0, false}, 0, 0},
        {"PaddedAA_22", Addressing::Normal, 22, EcuFlow{0, 0, true, 0xAA}, 0, 0},
        // The padding flag fills a single-frame request up to 8 bytes; the
        // frames of a multi-frame request are full either way.
        {"PaddedRequest_2", Addressing::Normal, 2, EcuFlow(), 0, ISO15765_FRAME_PAD},
        {"PaddedRequest_9", Addressing::Normal, 9, EcuFlow(), 0, ISO15765_FRAME_PAD},
    };
    // Single frame up to 7 bytes (6 extended); the first frame takes 6 (5),
    // each consecutive frame 7 (6); sequence numbers wrap after the 15th frame.
    const auto lengths = [&cases](const char *name, Addressing addressing, std::initializer_list<size_t> ns) {
        for (size_t n : ns) cases.push_back({name + std::to_string(n), addressing, n, EcuFlow(), kHostBlockSize, 0});
    };
    lengths("Normal_", Addressing::Normal, {1, 7, 8, 13, 14, 20, 21, 111, 112, 113, 256, 4095});
    lengths("MakersScheme_", Addressing::MakersScheme, {1, 6, 7, 11, 12, 17, 18, 96, 97, 4094});
    lengths("Extended_", Addressing::Extended, {6, 7, 12, 4095});
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<RoundTripCase> &info) { return info.param.name; }
void PrintTo(const RoundTripCase &c, std::ostream *out) { *out << c.name; }

// One message sent by `sender` and answered with flow control by the
// receiver, which asks again after every `bs` consecutive frames;
// `fcAfterLast`: the receiver also answers a final frame that ends a block
// (the library does, the simulated ECU does not).
void AppendTransfer(std::vector<std::string> &bus, uint32_t senderId, const std::vector<Bytes> &frames,
                    uint32_t receiverId, const Bytes &fc, uint8_t bs, bool fcAfterLast) {
    bus.push_back(FrameLine(senderId, frames[0]));
    if (frames.size() == 1) return;
    bus.push_back(FrameLine(receiverId, fc));
    for (size_t k = 1; k < frames.size(); ++k) {
        bus.push_back(FrameLine(senderId, frames[k]));
        const bool last = k + 1 == frames.size();
        if (bs != 0 && k % bs == 0 && (!last || fcAfterLast)) bus.push_back(FrameLine(receiverId, fc));
    }
}

class RoundTrip : public Vehicle, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(RoundTrip, EchoComesBackWhole) {
    const RoundTripCase &c = GetParam();
    const EcuAddress ecu = c.addressing == Addressing::Normal ? kEngine : kGateway;
    AddEcu(EcuText("ecu", ecu, c.ecu));
    const uint32_t makersScheme = c.addressing == Addressing::MakersScheme ? 1 : 0;
    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{PT_CFG_ORV_EXTADDRESSING, makersScheme}, {ISO15765_BS, c.libraryBs}}));
    // Under the maker's scheme the flow-control filter carries the ECU's address.
    host.listen(ecu.responseId, ecu.requestId, ecu.testerAddress,
                c.addressing == Addressing::MakersScheme ? ecu.ecuAddress : ecu.testerAddress);
    const Bytes request = EchoRequest(c.length);
    ASSERT_EQ(STATUS_NOERROR, host.write(Request(ecu, request, c.txFlags)));

    const std::vector<Bytes> frames = Segment(request, Framing{ecu.ecuAddress, false, true, 0xFF});
    const Bytes fc = FlowControl(ecu.testerAddress, c.ecu.bs, c.ecu.stmin, c.ecu.padding, c.ecu.padByte);
    if (frames.size() > 1) {
        // The ECU's clear to send waits in our queue: until a read takes it,
        // nothing follows the first frame.
        plat::SleepMs(20);
        EXPECT_EQ((std::vector<std::string>{FrameLine(ecu.requestId, frames[0]), FrameLine(ecu.responseId, fc)}),
                  BusLines());
    }
    const auto got = host.readAnswerFrom(ecu.responseId);
    ASSERT_EQ(2u, got.size()) << ::testing::PrintToString(BusLines());
    ExpectConfirmation(got[0], ecu.requestId);
    Bytes answer = request;
    answer[0] = 0xBA + 0x40;
    ExpectMessage(got[1], ecu.responseId, answer);
    EXPECT_TRUE(host.readFor(5).empty());

    std::vector<std::string> bus;
    const Framing library{ecu.ecuAddress, (c.txFlags & ISO15765_FRAME_PAD) != 0, true, 0xFF};
    AppendTransfer(bus, ecu.requestId, Segment(request, library), ecu.responseId, fc, c.ecu.bs, false);
    // The library's flow control carries the low byte of the sender's id.
    const int fcAddr = ecu.extended() ? static_cast<int>(ecu.responseId & 0xFF) : -1;
    const Framing node{ecu.testerAddress, c.ecu.padding, c.ecu.padding, c.ecu.padByte};
    AppendTransfer(bus, ecu.responseId, Segment(answer, node), ecu.requestId, FlowControl(fcAddr, c.libraryBs, 0),
                   c.libraryBs, true);
    EXPECT_EQ(bus, BusLines());

    const size_t cfCount = frames.size() - 1;
    EXPECT_EQ(c.ecu.bs == 0 ? 0 : cfCount / c.ecu.bs, host.tracedCount("Waiting for FlowControl"));
    const std::vector<uint64_t> sent = SendTimes(ecu.requestId, 0xF0, 0x20, ecu.extended() ? 1 : 0);
    ASSERT_EQ(cfCount, sent.size());
    // The library counts whole milliseconds; the capture's clock is finer.
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(sent[i] - sent[i - 1] + 200000, c.ecu.stmin * 1000000ull) << "before frame " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(E2e, RoundTrip, ::testing::ValuesIn(Cases()), CaseName);

// Each 7F 10 78 reaches the host as it came, then the final answer.
TEST_F(Vehicle, ResponsePendingIsDeliveredAsIsBeforeTheAnswer) {
    AddEcu(EcuText("engine", kEngine, EcuFlow(), "pending = 2\npending_interval_ms = 20\n"));
    host.listen(kEngine.responseId, kEngine.requestId);
    ASSERT_EQ(STATUS_NOERROR, host.write(Request(kEngine, {0x10, 0x03})));
    const auto got = host.readUntil([](const PASSTHRU_MSG &m) { return !IsConfirmation(m) && m.Data[4] == 0x50; });
    ASSERT_EQ(4u, got.size());
    ExpectConfirmation(got[0], kEngine.requestId);
    for (size_t i : {1, 2}) ExpectMessage(got[i], kEngine.responseId, {0x7F, 0x10, 0x78});
    ExpectMessage(got[3], kEngine.responseId, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4});
}

// Every flow control is taken as clear to send: after the ECU's WAIT the
// consecutive frames go out at once, the ECU (still waiting) drops them, and
// its late clear to send finds no transfer. The next request is served.
TEST_F(Vehicle, FlowControlWaitIsTakenAsClearToSend) {
    AddEcu(EcuText("engine", kEngine, EcuFlow(), "fc_wait = 1\nfc_wait_interval_ms = 50\n"));
    host.listen(kEngine.responseId, kEngine.requestId);
    const Bytes request = EchoRequest(20);
    ASSERT_EQ(STATUS_NOERROR, host.write(Request(kEngine, request)));
    const auto got = host.readFor(300);
    ASSERT_EQ(1u, got.size());
    ExpectConfirmation(got[0], kEngine.requestId);
    const std::vector<Bytes> frames = Segment(request, Framing());
    EXPECT_EQ((std::vector<std::string>{FrameLine(0x7E0, frames[0]), "7E8: 31 00 00 FF FF FF FF FF",
                                        FrameLine(0x7E0, frames[1]), FrameLine(0x7E0, frames[2]),
                                        "7E8: 30 00 00 FF FF FF FF FF"}),
              BusLines());
    ASSERT_EQ(STATUS_NOERROR, host.write(Request(kEngine, {0x10, 0x03})));
    const auto answer = host.readAnswerFrom(kEngine.responseId);
    ASSERT_EQ(2u, answer.size());
    ExpectMessage(answer[1], kEngine.responseId, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4});
}

}  // namespace
}  // namespace e2e
