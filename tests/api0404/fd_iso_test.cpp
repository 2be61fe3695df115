// ISO 15765-2 on CAN FD through the 04.04 library: exchanges with the
// stand-in's FD ECU at every TX_DL, the frames each length takes on the bus,
// padding, and what a receiver must refuse (frames against RX_DL, single
// frames without the escape, first frames that a single frame would hold).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host0404.h"

namespace {

using vxlsim::BusSend;
using vxlsim::BusSendFd;

// A peer's frames at RX_DL dl, padded as CAN FD wants.
Framing Fd(size_t dl, bool escaped = false) { return Framing{-1, false, true, 0xCC, dl, escaped}; }

// The frames on the bus that ours are (or are not).
std::vector<vxlsim_frame> Captured(bool ours) {
    std::vector<vxlsim_frame> frames = vxlsim::Captured();
    frames.erase(std::remove_if(frames.begin(), frames.end(),
                                [&](const vxlsim_frame &f) { return (f.sender_port >= 0) != ours; }),
                 frames.end());
    return frames;
}

// An FD_ISO15765_PS channel on an FD channel of the stand-in with its engine
// ECU answering in FD frames of ecuTxDl bytes; a flow-control filter for it.
struct FdIsoHost : FdHost {
    explicit FdIsoHost(uint32_t ecuTxDl, bool ecuFd = true) : FdHost(true, kOneEcu.c_str()) {
        const int engine = vxlsim_ecu_find("engine");
        vxlsim_ecu_set(engine, "can_fd", ecuFd ? "on" : "off");
        vxlsim_ecu_set(engine, "tx_dl", std::to_string(ecuTxDl).c_str());
        openChannel(kFdIsoPs);
        EXPECT_EQ(STATUS_NOERROR, flowFilter(0x7E8, 0x7E0));
    }
};

// Our frames of request: FD frames with bit-rate switch, exactly those of
// the message in framing, and flow controls of at most 8 bytes.
void ExpectOurFrames(const Bytes &request, const Framing &framing) {
    std::vector<Bytes> data;
    for (const vxlsim_frame &f : Captured(true)) {
        EXPECT_EQ(kFdBrs, f.fd_flags & kFdBrs);
        if (f.data[0] >> 4 == 3)
            EXPECT_LE(f.dlc, 8u);
        else
            data.emplace_back(f.data, f.data + f.dlc);
    }
    EXPECT_EQ(Segment(request, framing), data);
}

TEST(FdIso0404, EchoesEveryLengthAtEveryTxDataLength) {
    const struct {
        uint32_t txDl, ecuTxDl;
        std::vector<size_t> lengths;
    } cases[] = {
        {64, 64, {2, 7, 8, 62, 63, 200, 4095, 4100}}, {8, 64, {7, 8, 100}}, {64, 8, {30, 100}},
        {12, 12, {9, 10, 11, 100}}, {16, 20, {100}}, {20, 24, {100}}, {24, 32, {100}}, {32, 48, {100}},
        {48, 16, {100, 1000}},
    };
    for (const auto &c : cases) {
        FdIsoHost host(c.ecuTxDl);
        ASSERT_EQ(STATUS_NOERROR, host.setConfig(kTxDataLength, c.txDl));
        for (size_t n : c.lengths) {
            SCOPED_TRACE(testing::Message() << "TX_DL " << c.txDl << "/" << c.ecuTxDl << ", " << n << " bytes");
            vxlsim_capture_clear();
            Bytes request = Counting(n, 0xBA);
            ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(kFdIsoPs, 0x7E0, request), 2000));
            ExpectOurFrames(request, Framing{-1, false, false, 0xFF, c.txDl});
            request[0] = 0xFA;
            EXPECT_EQ(With(0x7E8, request), host.answer(0, 500));
            // The ECU's answer came in FD frames too, as long as its TX_DL allows.
            for (const vxlsim_frame &f : Captured(false)) {
                EXPECT_EQ(kFdBrs, f.fd_flags & kFdBrs);
                EXPECT_LE(f.dlc, c.ecuTxDl);
            }
        }
    }
}

// Frames above 8 bytes are padded to the next DLC length with the pad
// value; frames of up to 8 bytes only with ISO15765_FRAME_PAD.
TEST(FdIso0404, FramesArePaddedWithThePadValue) {
    FdIsoHost host(64);
    ASSERT_EQ(STATUS_NOERROR, host.setConfig(kTxDataLength, 64));
    ASSERT_EQ(STATUS_NOERROR, host.setConfig(kPadValue, 0xAA));
    for (size_t length : {3, 9, 15, 47, 66, 100})
        for (bool pad : {false, true}) {
            SCOPED_TRACE(testing::Message() << length << " bytes, padded " << pad);
            vxlsim_capture_clear();
            const Bytes request = Counting(length, 0xBA);
            ASSERT_EQ(STATUS_NOERROR,
                      host.write(Msg0404(kFdIsoPs, 0x7E0, request, pad ? ISO15765_FRAME_PAD : 0), 1000));
            host.answer(0, 500);
            ExpectOurFrames(request, Framing{-1, pad, pad, 0xAA, 64});
        }
}

// What the ECU's side may send, injected on the bus: taken or refused as a
// receiver of ISO 15765-2:2016 must.
TEST(FdIso0404, ReceivedFramesAreCheckedAgainstTheirFormat) {
    const Bytes payload = Counting(4125, 0x62);
    auto Pad = [](const Bytes &frame, size_t to) { return Cat(frame, Bytes(to - frame.size(), 0xCC)); };
    auto Part = [&](size_t from, size_t n) { return Bytes(payload.begin() + from, payload.begin() + from + n); };
    const struct {
        const char *what;
        std::vector<Bytes> frames;
        size_t delivered;  // bytes of payload, 0: nothing delivered
    } cases[] = {
        {"escape single frame", {Pad(Cat({0x00, 10}, Part(0, 10)), 12)}, 10},
        {"classic single frame in an FD frame", {Cat({0x05}, Part(0, 5))}, 5},
        {"long single frame without the escape", {Pad(Cat({0x05}, Part(0, 5)), 12)}, 0},
        {"escape with length 0", {Pad({0x00, 0x00}, 12)}, 0},
        {"escape longer than its frame", {Pad(Cat({0x00, 11}, Part(0, 10)), 12)}, 0},
        {"first frame and consecutive frames at RX_DL 64", Segment(Part(0, 150), Fd(64)), 150},
        {"first frame at RX_DL 16", Segment(Part(0, 30), Fd(16)), 30},
        {"short consecutive frame before the last, dropped",
         {Cat({0x10, 150}, Part(0, 62)), Pad(Cat({0x21}, Part(62, 20)), 24), Cat({0x21}, Part(62, 63)),
          Pad(Cat({0x22}, Part(125, 25)), 32)},
         150},
        {"consecutive frame longer than RX_DL",
         {Cat({0x10, 30}, Part(0, 14)), Pad(Cat({0x21}, Part(14, 16)), 20), Cat({0x22}, Part(29, 1))}, 0},
        {"first frame a single frame would hold", {Cat({0x10, 62}, Part(0, 62)), Cat({0x21}, Part(62, 0))}, 0},
        {"32-bit length of a message a 12-bit one holds", Segment(Part(0, 150), Fd(64, true)), 0},
        {"32-bit length", Segment(Part(0, 4124), Fd(64)), 4124},
        {"32-bit length beyond a message", Segment(Part(0, 4125), Fd(64)), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FdIsoHost host(64);
        for (const Bytes &frame : c.frames) ASSERT_EQ(0, BusSendFd(0, 0x7E8, frame, kFdBrs));
        EXPECT_EQ(c.delivered ? With(0x7E8, Part(0, c.delivered)) : Bytes(), host.answer(0, 500));
        // Our flow control for a first frame: an FD frame of at most 8 bytes.
        for (const vxlsim_frame &f : Captured(true)) {
            EXPECT_EQ(0x30, f.data[0]);
            EXPECT_LE(f.dlc, 8u);
            EXPECT_EQ(kFdBrs, f.fd_flags & kFdBrs);
        }
    }
}

// An FD channel takes classic frames too: a classic ECU's answer arrives.
TEST(FdIso0404, ClassicAnswersReachAnFdChannel) {
    FdIsoHost host(8, false);
    ASSERT_EQ(STATUS_NOERROR, BusSend(0, 0x7E8, {0x03, 0x7F, 0x22, 0x31, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(With(0x7E8, {0x7F, 0x22, 0x31}), host.answer(0, 500));
    ASSERT_EQ(STATUS_NOERROR, BusSend(0, 0x7E8, {0x10, 0x0A, 1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(STATUS_NOERROR, BusSend(0, 0x7E8, {0x21, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(With(0x7E8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), host.answer(0, 500));
}

}  // namespace
