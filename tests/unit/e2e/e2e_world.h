// A vehicle of simulated ECUs on one CAN channel and a host that drives the
// library through its exported functions only: connect, bit rate and block
// size, filters, write, and reads polled until the answer or a deadline.
// Expected bus traffic is built from the ISO 15765-2 rules, independently
// of the library's own segmentation.
#ifndef PT_TESTS_UNIT_E2E_E2E_WORLD_H
#define PT_TESTS_UNIT_E2E_E2E_WORLD_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/module.h"
#include "fg/functional_group.h"
#include "platform/platform.h"
#include "sim_world.h"

namespace e2e {

using namespace simworld;

// How a tester reaches one ECU; addresses of -1 mean normal addressing.
struct EcuAddress {
    uint32_t requestId;
    uint32_t responseId;
    int ecuAddress;     // first byte of every frame the tester sends it
    int testerAddress;  // first byte of every frame it sends back
    bool extended() const { return ecuAddress >= 0; }
};

constexpr EcuAddress kEngine{0x7E0, 0x7E8, -1, -1};
constexpr EcuAddress kTransmission{0x7E1, 0x7E9, -1, -1};
constexpr EcuAddress kGateway{0x6F1, 0x640, 0x40, 0xF1};

// The simulated ECUs' echo service: the request comes back with SID + 0x40.
constexpr uint8_t kEchoSid = 0xBA;

// How an ECU answers the tester's frames.
struct EcuFlow {
    uint8_t bs = 0;
    uint8_t stmin = 0;
    bool padding = true;
    uint8_t padByte = 0xFF;
};

// How each side of an exchange lays out its frames.
struct Framing {
    int addr = -1;           // address byte in front of every frame
    bool padSingle = false;  // single frames filled up to 8 bytes
    bool padMulti = true;    // first and consecutive frames filled up to 8 bytes
    uint8_t padByte = 0xFF;
};

inline Bytes EchoRequest(size_t length) {
    Bytes b(length);
    b[0] = kEchoSid;
    for (size_t i = 1; i < length; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

inline Bytes EchoAnswer(Bytes request) {
    request[0] = static_cast<uint8_t>(kEchoSid + 0x40);
    return request;
}

// The frames of one message as ISO 15765-2 lays them out.
inline std::vector<Bytes> Segment(const Bytes &payload, const Framing &f) {
    const Bytes head = f.addr >= 0 ? Bytes{static_cast<uint8_t>(f.addr)} : Bytes{};
    const size_t room = 8 - head.size();
    std::vector<Bytes> frames;
    auto close = [&](Bytes frame, bool pad) {
        if (pad) frame.resize(8, f.padByte);
        frames.push_back(frame);
    };
    const size_t n = payload.size();
    if (n <= room - 1) {
        Bytes sf = head;
        sf.push_back(static_cast<uint8_t>(n));
        sf.insert(sf.end(), payload.begin(), payload.end());
        close(sf, f.padSingle);
        return frames;
    }
    Bytes ff = head;
    ff.push_back(static_cast<uint8_t>(0x10 | (n >> 8)));
    ff.push_back(static_cast<uint8_t>(n & 0xFF));
    size_t off = room - 2;
    ff.insert(ff.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(off));
    close(ff, f.padMulti);
    for (unsigned sn = 1; off < n; ++sn) {
        Bytes cf = head;
        cf.push_back(static_cast<uint8_t>(0x20 | (sn & 0x0F)));
        const size_t take = std::min(room - 1, n - off);
        cf.insert(cf.end(), payload.begin() + static_cast<std::ptrdiff_t>(off),
                  payload.begin() + static_cast<std::ptrdiff_t>(off + take));
        off += take;
        close(cf, f.padMulti);
    }
    return frames;
}

// Flow control, clear to send, with the given block size and STmin.
inline Bytes FlowControl(int addr, uint8_t bs, uint8_t stmin, bool pad, uint8_t padByte, uint8_t status = 0) {
    Bytes fc;
    if (addr >= 0) fc.push_back(static_cast<uint8_t>(addr));
    fc.push_back(static_cast<uint8_t>(0x30 | status));
    fc.push_back(bs);
    fc.push_back(stmin);
    if (pad) fc.resize(8, padByte);
    return fc;
}

// One message sent by `sender` and answered with flow control by the
// receiver, which asks for a new flow control after every `bs` consecutive
// frames; `fcAfterLast` tells whether the receiver also answers a final
// frame that ends a block (the library does, the simulated ECU does not).
inline void AppendTransfer(std::vector<std::string> &bus, uint32_t senderId, const std::vector<Bytes> &frames,
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

// Every frame of a request from the library and the ECU's answer, in bus order.
inline std::vector<std::string> ExpectedExchange(const EcuAddress &ecu, const Bytes &request, bool padRequest,
                                                 const Bytes &answer, const EcuFlow &flow, uint8_t libraryBs) {
    std::vector<std::string> bus;
    const Framing library{ecu.ecuAddress, padRequest, true, 0xFF};
    const Framing node{ecu.testerAddress, flow.padding, flow.padding, flow.padByte};
    AppendTransfer(bus, ecu.requestId, Segment(request, library), ecu.responseId,
                   FlowControl(ecu.testerAddress, flow.bs, flow.stmin, flow.padding, flow.padByte), flow.bs, false);
    // The library's flow control carries the low byte of the sender's id.
    const int fcAddr = ecu.extended() ? static_cast<int>(ecu.responseId & 0xFF) : -1;
    AppendTransfer(bus, ecu.responseId, Segment(answer, node), ecu.requestId,
                   FlowControl(fcAddr, libraryBs, 0, true, 0xFF), libraryBs, true);
    return bus;
}

// The last frames on the bus, to tell where an exchange stopped.
inline std::string BusTail(size_t count = 6) {
    const std::vector<std::string> bus = BusLines();
    std::string out = " " + std::to_string(bus.size()) + " frames";
    for (size_t i = bus.size() > count ? bus.size() - count : 0; i < bus.size(); ++i) out += "\n  " + bus[i];
    return out;
}

inline bool IsConfirmation(const PASSTHRU_MSG &msg) { return (msg.RxStatus & TX_MSG_TYPE) != 0; }

inline uint32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

// "key = value" lines of one simulated ECU.
inline std::string EcuText(const char *name, const EcuAddress &ecu, const EcuFlow &flow = EcuFlow(),
                           const std::string &extra = "") {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "name = %s\nrequest_id = 0x%X\nresponse_id = 0x%X\nfunctional_id = 0\n"
                  "bs = %u\nstmin = %u\npadding = %d\npad_byte = 0x%02X\n"
                  // A host the machine holds up must not make the ECU give up.
                  "n_cr_ms = 5000\nn_bs_ms = 5000\n",
                  name, static_cast<unsigned>(ecu.requestId), static_cast<unsigned>(ecu.responseId), flow.bs,
                  flow.stmin, flow.padding ? 1 : 0, flow.padByte);
    std::string text = buf;
    if (ecu.extended()) {
        std::snprintf(buf, sizeof buf, "ecu_address = 0x%02X\ntester_address = 0x%02X\n", ecu.ecuAddress,
                      ecu.testerAddress);
        text += buf;
    }
    return text + extra;
}

class E2eTest : public SimWorldTest {
protected:
    // verbosity as the TRACE key gives it. The worker keeps the tracer it
    // started with, so it is chosen here, before the channel opens.
    explicit E2eTest(int verbosity = 1) : verbosity_(verbosity) {}

    void SetUp() override {
        SimWorldTest::SetUp();
        m_pFunctionalGroup = &group_;
        trace_ = std::make_unique<TraceCapture>(verbosity_);
        ASSERT_EQ(0, vxlsim_load_config_text(kOneCard));
        // Frames take their time on the bus, as at 500 kbit/s: a long answer
        // sent back to back must not outrun a host that polls.
        vxlsim_set_real_timing(1);
        uint32_t channel = 0;
        ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
        ASSERT_EQ(1u, channel);
        ASSERT_EQ(STATUS_NOERROR, SetConfig({{DATA_RATE, 500000}, {ISO15765_BS, 0}}));
        vxlsim_capture_clear();
    }

    void TearDown() override {
        PassThruDisconnect(1);
        trace_.reset();
        m_pFunctionalGroup = nullptr;
        SimWorldTest::TearDown();
    }

    bool Traced(const std::string &text) const { return trace_->hasMessage(text); }

    static int AddEcu(const std::string &text) {
        const int node = vxlsim_ecu_add(text.c_str());
        EXPECT_GE(node, 0) << text;
        return node;
    }

    // The pass and flow-control filters a host starts for one physical ECU.
    // With extended addressing the flow-control message carries the ECU's
    // address under the vehicle maker's scheme, else the tester's address
    // that the ECU's frames start with.
    static void Listen(const EcuAddress &ecu) {
        ListenTo(ecu.responseId, ecu.requestId, ecu.testerAddress,
                 theModule.m_ExtAddressing != 0 ? ecu.ecuAddress : ecu.testerAddress);
    }

    static PASSTHRU_MSG Request(const EcuAddress &ecu, Bytes payload, uint32_t txFlags = 0) {
        if (!ecu.extended()) return simworld::Request(ecu.requestId, payload, txFlags);
        payload.insert(payload.begin(), static_cast<uint8_t>(ecu.ecuAddress));
        return simworld::Request(ecu.requestId, payload, txFlags | ISO15765_ADDR_TYPE);
    }

    // One PassThruReadMsgs as a host polls; true when it delivered a message.
    // Each call takes at most one frame, and an empty answer does not tell an
    // empty queue from a frame that completed nothing: pause only after a run
    // of empty answers, or a back-to-back answer (a frame every 260 us)
    // overruns the receive queue.
    static bool Poll(PASSTHRU_MSG &msg, unsigned &emptyRun) {
        constexpr unsigned kEmptyPollsBeforePause = 50;
        uint32_t num = 1;
        const uint32_t status = PassThruReadMsgs(1, &msg, &num, 0);
        if (status == STATUS_NOERROR) {
            EXPECT_EQ(1u, num);
            emptyRun = 0;
            return true;
        }
        EXPECT_EQ(ERR_BUFFER_EMPTY, status);
        EXPECT_EQ(0u, num);
        if (++emptyRun >= kEmptyPollsBeforePause) {
            plat::SleepMs(1);
            emptyRun = 0;
        }
        return false;
    }

    // Polls until `done` accepts a message or the deadline passes; returns
    // every message delivered on the way.
    static std::vector<PASSTHRU_MSG> ReadUntil(const std::function<bool(const PASSTHRU_MSG &)> &done,
                                               uint32_t deadlineMs = 5000) {
        std::vector<PASSTHRU_MSG> out;
        auto msg = std::make_unique<PASSTHRU_MSG>();
        const auto start = std::chrono::steady_clock::now();
        unsigned emptyRun = 0;
        while (ElapsedMs(start) < deadlineMs) {
            if (!Poll(*msg, emptyRun)) continue;
            out.push_back(*msg);
            if (done(*msg)) break;
        }
        return out;
    }

    static std::vector<PASSTHRU_MSG> ReadAnswerFrom(uint32_t id, uint32_t deadlineMs = 5000) {
        return ReadUntil([id](const PASSTHRU_MSG &m) { return !IsConfirmation(m) && IdOf(m) == id; }, deadlineMs);
    }

    // Everything still delivered within quietMs.
    static std::vector<PASSTHRU_MSG> ReadFor(uint32_t quietMs) {
        return ReadUntil([](const PASSTHRU_MSG &) { return false; }, quietMs);
    }

    // The rest of a round trip once the request is written: what the host
    // got and what crossed the bus.
    void ExpectAnswered(const EcuAddress &ecu, const Bytes &request, const Bytes &answer, const EcuFlow &flow,
                        uint8_t libraryBs, uint32_t txFlags = 0) {
        auto got = ReadAnswerFrom(ecu.responseId);
        ASSERT_EQ(2u, got.size()) << "request of " << request.size() << " bytes; bus:" << BusTail();
        ExpectConfirmation(got[0], ecu.requestId);
        ExpectMessage(got[1], ecu.responseId, answer);
        EXPECT_TRUE(ReadFor(5).empty());
        EXPECT_EQ(ExpectedExchange(ecu, request, (txFlags & ISO15765_FRAME_PAD) != 0, answer, flow, libraryBs),
                  BusLines());
    }

    size_t TracedCount(const std::string &text) const { return simworld::TracedCount(*trace_, text); }

private:
    const int verbosity_;
    COrvFunctionalGroup group_;
    std::unique_ptr<TraceCapture> trace_;
};

}  // namespace e2e

#endif
