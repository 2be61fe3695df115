// The ISO-TP transport as a J2534 tool meets it through the ISO15765 channel:
// messages on one identifier leave in order, none dropped, none overtaken;
// what timed out or was cleared sends nothing more; frames carry padding
// only when asked; extended addressing takes its bytes from the filter; a
// reception's padding error is its own; every confirmation finds its owner.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host0404.h"

namespace {

constexpr uint32_t kEcuId = 0x7E8, kTesterId = 0x7E0;
const Framing kUnpadded{-1, false, false};

// Our frames on id as the bus saw them: their bytes, in order.
std::vector<Bytes> SentOn(uint32_t id) {
    std::vector<Bytes> out;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.sender_port >= 0 && f.id == id) out.emplace_back(f.data, f.data + f.dlc);
    return out;
}

// An ISO15765 channel with the flow-control filter for 0x7E8, and a peer
// that answers every first frame on 0x7E0 with a flow control (clear to
// send, BS 0, STmin 0) after delayUs.
void OpenWithPeer(Host0404 &host, uint32_t delayUs, uint32_t txFlags = 0) {
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(kEcuId, kTesterId, nullptr, -1, -1, txFlags));
    vxlsim_nodes_clear();
    const uint8_t firstFrame[] = {0x10};
    const int node = vxlsim_responder_add(0, kTesterId, firstFrame, 1);
    const uint8_t cts[] = {0x30, 0x00, 0x00};
    ASSERT_EQ(0, vxlsim_responder_reply(node, kEcuId, 3, cts, delayUs));
}

void SettleMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

// Two multi-frame messages (of 20 bytes: a first frame and two consecutive
// frames of 7 bytes) and a single frame written without a Timeout on one
// identifier: each goes whole, in the order written, each confirmed.
TEST(IsoTransport0404, QueuedMessagesLeaveWholeAndInOrder) {
    Host0404 host;
    OpenWithPeer(host, 20000);  // the first transfer still waits when the others are written
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, kTesterId, Counting(20, 0xA0))));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, kTesterId, Counting(20, 0xB0))));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, kTesterId, {0x3E, 0x00})));
    size_t indications = 0;
    for (const PASSTHRU_MSG &m : host.readAll(1000)) indications += (m.RxStatus & TX_INDICATION) != 0;
    EXPECT_EQ(3u, indications);
    std::vector<Bytes> expected = Segment(Counting(20, 0xA0), kUnpadded);
    for (const Bytes &frame : Segment(Counting(20, 0xB0), kUnpadded)) expected.push_back(frame);
    expected.push_back({0x02, 0x3E, 0x00});
    EXPECT_EQ(expected, SentOn(kTesterId));
}

// Whatever did not reach the bus when a write's Timeout ran out, or when the
// tool cleared the transmit queue (also from another thread while a write
// waits: that write returns at once), goes no further; the next message goes.
TEST(IsoTransport0404, TimedOutOrClearedMessagesSendNothingMore) {
    enum { kTimeout, kClear, kClearWhileWriting };
    for (int how : {kTimeout, kClear, kClearWhileWriting}) {
        SCOPED_TRACE(how);
        Host0404 host;
        OpenWithPeer(host, 400000);  // the flow control comes 400 ms late
        uint32_t num = 1;
        const PASSTHRU_MSG twenty = Msg0404(ISO15765, kTesterId, Counting(20, 0xA0));
        if (how == kClear) {
            ASSERT_EQ(STATUS_NOERROR, host.write(twenty));
            ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, kTesterId, {0x3E, 0x00})));
            ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(host.channel(), CLEAR_TX_BUFFER, nullptr, nullptr));
        } else if (how == kTimeout) {
            EXPECT_EQ(ERR_TIMEOUT, host.write(twenty, 50, &num));
        } else {
            std::thread clearer([&] {
                SettleMs(50);
                host.pt().Ioctl(host.channel(), CLEAR_TX_BUFFER, nullptr, nullptr);
            });
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(ERR_FAILED, host.write(twenty, 3000, &num));
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
            clearer.join();
        }
        EXPECT_EQ(how == kClear ? 1u : 0u, num);
        SettleMs(600);  // the late flow control has come and gone
        EXPECT_EQ(std::vector<Bytes>{Segment(Counting(20, 0xA0), kUnpadded)[0]}, SentOn(kTesterId));
        vxlsim_capture_clear();
        EXPECT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, kTesterId, {0x3E, 0x01}), 500));
        EXPECT_EQ(std::vector<Bytes>{Bytes({0x02, 0x3E, 0x01})}, SentOn(kTesterId));
    }
}

// Without ISO15765_FRAME_PAD every frame carries only its bytes, with it all
// eight: the last consecutive frame of a message, and our flow control (the
// flag of the filter's flow-control message).
TEST(IsoTransport0404, FramesArePaddedOnlyWhenAsked) {
    const struct {
        uint32_t txFlags;
        Bytes lastFrame, flowControl;
    } cases[] = {
        {0, {0x22, 13, 14, 15, 16, 17}, {0x30, 0x00, 0x00}},
        {ISO15765_FRAME_PAD, {0x22, 13, 14, 15, 16, 17, 0xFF, 0xFF}, {0x30, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.txFlags);
        Host0404 host;
        OpenWithPeer(host, 0, c.txFlags);
        // 18 bytes: 6 in the first frame, 7 and 5 in the consecutive ones.
        ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(ISO15765, kTesterId, Counting(18, 0), c.txFlags), 500));
        const std::vector<Bytes> sent = SentOn(kTesterId);
        ASSERT_EQ(3u, sent.size());
        EXPECT_EQ(c.lastFrame, sent[2]);

        vxlsim_capture_clear();
        for (const Bytes &frame : Segment(Counting(10, 0x40), kUnpadded)) vxlsim::BusSend(0, kEcuId, frame);
        host.readAll(200);
        EXPECT_EQ(std::vector<Bytes>{c.flowControl}, SentOn(kTesterId));
    }
}

// Extended addressing: our flow control carries the flow-control message's
// address byte, START_OF_MESSAGE and the message the byte the ECU's frames
// carry; a message fills PASSTHRU_MSG with its address byte and no more.
TEST(IsoTransport0404, ExtendedAddressesComeFromTheFilter) {
    Host0404 host;
    host.openChannel(ISO15765);
    ASSERT_EQ(STATUS_NOERROR, host.flowFilter(0x640, 0x6F1, nullptr, 0xF1, 0x55, ISO15765_ADDR_TYPE));
    for (const Bytes &frame : Segment(Counting(8, 0x60), Framing{0xF1, false, false})) vxlsim::BusSend(0, 0x640, frame);
    std::vector<PASSTHRU_MSG> got = host.readAll(200);
    EXPECT_EQ(std::vector<Bytes>{Bytes({0x55, 0x30, 0x00, 0x00})}, SentOn(0x6F1));
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(START_OF_MESSAGE | ISO15765_ADDR_TYPE, got[0].RxStatus);
    EXPECT_EQ(With(0x640, {0xF1}), DataOf(got[0]));
    EXPECT_EQ(Cat(With(0x640, {0xF1}), Counting(8, 0x60)), DataOf(got[1]));

    // Escape first frames: 4123 bytes behind identifier and address byte fill
    // the message; 4124 would not fit and are not taken.
    const struct {
        uint32_t length;
        bool taken;
    } cases[] = {{4124, false}, {4123, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        const Bytes payload = Counting(c.length, 0);
        for (const Bytes &frame : Segment(payload, Framing{0xF1, false, false, 0xFF, 8, true})) vxlsim::BusSend(0, 0x640, frame);
        got = host.readAll(300);
        ASSERT_EQ(c.taken ? 2u : 0u, got.size());
        if (!c.taken) continue;
        EXPECT_EQ(START_OF_MESSAGE | ISO15765_ADDR_TYPE, got[0].RxStatus);
        EXPECT_EQ(ISO15765_ADDR_TYPE, got[1].RxStatus);
        ASSERT_EQ(uint32_t{PT_MSG_DATA_SIZE}, got[1].DataSize);
        EXPECT_EQ(Cat(With(0x640, {0xF1}), payload), DataOf(got[1]));
    }
}

// ISO15765_PADDING_ERROR tells of a short frame of that very message (a short
// single frame, a short last consecutive frame), not of frames the transport
// ignored or that belonged to a reception it abandoned.
TEST(IsoTransport0404, PaddingErrorIsTheMessagesOwn) {
    const Bytes fullSingle = {0x02, 0x7E, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const struct {
        const char *name;
        std::vector<Bytes> frames;  // the message's last
        uint32_t paddingError;
    } cases[] = {
        {"short frame of an abandoned reception", {Cat({0x10, 0x14}, Counting(6, 0)), {0x21, 1, 2}, fullSingle}, 0},
        {"short frame with a wrong sequence number",
         {Cat({0x10, 0x0A}, Counting(6, 0)), {0x23, 1, 2}, {0x21, 6, 7, 8, 9, 0xFF, 0xFF, 0xFF}}, 0},
        {"short single frame", {{0x02, 0x7E, 0x00}}, ISO15765_PADDING_ERROR},
        {"short last frame", {Cat({0x10, 0x0A}, Counting(6, 0)), {0x21, 6, 7, 8, 9}}, ISO15765_PADDING_ERROR},
        {"padded single frame after a short one", {{0x02, 0x7E, 0x00}, fullSingle}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Host0404 host;
        host.openChannel(ISO15765);
        ASSERT_EQ(STATUS_NOERROR, host.flowFilter(kEcuId, kTesterId));
        for (const Bytes &frame : c.frames) vxlsim::BusSend(0, kEcuId, frame);
        std::vector<PASSTHRU_MSG> got = host.readAll(200);
        ASSERT_FALSE(got.empty());
        const PASSTHRU_MSG &last = got.back();
        EXPECT_EQ(0u, last.RxStatus & (START_OF_MESSAGE | TX_INDICATION));
        EXPECT_EQ(c.paddingError, last.RxStatus & ISO15765_PADDING_ERROR);
    }
}

// With a CAN channel busy on the same device, the first write with a Timeout
// on a freshly connected ISO15765 channel is confirmed: the bus's
// confirmation reaches the channel whatever the device's worker was doing
// (here: taking a burst of frames for the CAN channel).
TEST(IsoTransport0404, EveryConfirmationFindsItsChannel) {
    Host0404 host;
    host.openChannel(CAN);
    vxlsim_nodes_clear();
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 400; ++i) vxlsim_inject_frame(-1, 0, 0x123, 0, 8, data, -1);
        uint32_t iso = 0;
        ASSERT_EQ(STATUS_NOERROR, host.pt().Connect(host.device(), ISO15765, 0, 500000, &iso));
        PASSTHRU_MSG isoMsg = Msg0404(ISO15765, 0x7E0, {0x3E, 0x80});
        uint32_t one = 1;
        ASSERT_EQ(STATUS_NOERROR, host.pt().WriteMsgs(iso, &isoMsg, &one, 500)) << "round " << round;
        ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(iso));
    }
}
