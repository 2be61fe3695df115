// The field profile (FIELDPROFILE=1) against the default, where they differ:
// flow-control statuses, the driver's transmit queue, reads that empty the
// queue, malformed and replaced receptions, and filters across a re-opened port.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "host.h"
#include "platform/platform.h"

namespace {

using Strings = std::vector<std::string>;

const char kField[] = "TRACE=1\nFIELDPROFILE=1\n";
// A 500 kbit/s bus with real frame timing and one ECU.
const char kVehicle[] = VXLSIM_ONE_CARD
    "[driver]\nreal_timing = 1\n"
    "[ecu]\nname = engine\nrequest_id = 0x7E0\nresponse_id = 0x7E8\nlong_did_length = 4092\n";
const char kDefault[] = "TRACE=1\n";

bool ConfirmsRequest(const PASSTHRU_MSG &m) { return IsConfirmation(m) && IdOf(m) == 0x7E0; }

TEST(FieldProfile, FlowControlStatuses) {
    const std::string field = kField, twoWaits = field + "FCWAITMAX=2\n";
    const struct {
        const char *what;
        std::string ini;
        uint8_t repeated;  // flow status sent `times` times, then `last` (-1: none)
        int times, last;
        uint32_t gapMs;     // between two flow controls
        size_t framesSent;  // consecutive frames on the bus in the end
        const char *trace;  // an ERROR line that must be there
    } cases[] = {
        {"clear to send", field, 0x30, 1, -1, 30, 2, nullptr},
        {"as many WAITs as allowed", twoWaits, 0x31, 2, 0x30, 30, 2, nullptr},
        {"a WAIT too many", twoWaits, 0x31, 3, -1, 30, 0,
         "FLOW_CONTROL WAIT more than 2 times canID=0x07e0, transfer abandoned SeqID=1"},
        // Each WAIT restarts the 1000 ms wait for the next flow control.
        {"WAITs over more than a second", field, 0x31, 3, 0x30, 450, 2, nullptr},
        {"overflow", field, 0x32, 1, -1, 30, 0, "FLOW_CONTROL OVERFLOW canID=0x07e0, transfer abandoned SeqID=1"},
        // A limit that is no number from 0 to 255 is the default's 10.
        {"FCWAITMAX=-5: ten WAITs", field + "FCWAITMAX=-5\n", 0x31, 10, 0x30, 30, 2,
         "FCWAITMAX -5 is no number from 0 to 255, using 10"},
        {"FCWAITMAX=abc: a WAIT", field + "FCWAITMAX=abc\n", 0x31, 1, 0x30, 30, 2,
         "FCWAITMAX abc is no number from 0 to 255, using 10"},
        {"FCWAITMAX=256: eleven WAITs", field + "FCWAITMAX=256\n", 0x31, 11, -1, 30, 0,
         "FLOW_CONTROL WAIT more than 10 times canID=0x07e0, transfer abandoned SeqID=1"},
        {"reserved status, then clear to send", field, 0x35, 1, 0x30, 30, 2, nullptr},
        {"default: a WAIT is clear to send", kDefault, 0x31, 1, -1, 30, 2, nullptr},
        {"default: overflow is clear to send", kDefault, 0x32, 1, -1, 30, 2, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // A 20-byte request: two consecutive frames follow once it is clear to send.
        Host host(c.ini);
        host.open(0x7E8, 0x7E0);
        ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, Counting(20))));
        ASSERT_EQ(Strings{FrameLine(0x7E0, {0x10, 0x14, 0, 1, 2, 3, 4, 5})}, BusLines());
        long confirmed = 0;
        for (int i = 0; i < c.times + (c.last >= 0); ++i) {
            // Until the last flow control nothing may follow the first frame.
            EXPECT_TRUE(SendTimes(0x7E0, 0xF0, 0x20).empty());
            Inject(0x7E8, {static_cast<uint8_t>(i < c.times ? c.repeated : c.last), 0, 0});
            confirmed += Confirmations(host.readFor(c.gapMs), 0x7E0);
        }
        EXPECT_EQ(c.framesSent != 0 ? 1 : 0, confirmed + Confirmations(host.readFor(200), 0x7E0));
        EXPECT_EQ(c.framesSent, SendTimes(0x7E0, 0xF0, 0x20).size());
        if (c.trace) {
            EXPECT_EQ("ER", host.levelOf(c.trace)) << c.trace;
        }
    }
}

// The driver's transmit queue under a 4095-byte request at wire speed: frames
// go to the driver only a few milliseconds ahead of the bus, so half its
// queue never fills; a full queue takes the frame again later, a frame
// refused otherwise is lost; either way the host gets one confirmation, the
// last frame's: frames run ahead of the bus, the confirmation must not.
TEST(FieldProfile, DriverTransmitQueue) {
    const struct {
        const char *what, *ini;
        unsigned capacity;
        int refused, status;  // by the next xlCanTransmit calls, the first consecutive frame's first
        size_t framesLost;
    } cases[] = {
        {"half the queue", kField, 128, 0, XL_SUCCESS, 0},
        {"a queue of 4", kField, 4, 0, XL_SUCCESS, 0},
        {"full three times", kField, 256, 3, XL_ERR_QUEUE_IS_FULL, 0},
        {"refused once", kField, 256, 1, XL_ERROR, 1},
        {"default, refused once", kDefault, 256, 1, XL_ERROR, 1},
    };
    const std::vector<Bytes> frames = Segment(Counting(4095), Framing{});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Host host(c.ini);
        host.open(0x7E8, 0x7E0);
        vxlsim_set_real_timing(1);
        vxlsim_set_tx_capacity(c.capacity);
        ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, Counting(4095))));
        ASSERT_EQ(0, c.refused ? vxlsim_fail("xlCanTransmit", c.status, c.refused) : 0);
        Inject(0x7E8, {0x30, 0x00, 0x00});
        const long confirmed = Confirmations(host.readUntil(ConfirmsRequest, 5000), 0x7E0);
        const uint64_t confirmedNs = vxlsim_now_ns();
        EXPECT_EQ(1, confirmed + Confirmations(host.readFor(20), 0x7E0));
        Strings expected;  // the first frame, then the consecutive frames not lost
        for (size_t i = 0; i < frames.size(); ++i)
            if (i == 0 || i > c.framesLost) expected.push_back(FrameLine(0x7E0, frames[i]));
        EXPECT_EQ(expected, BusLines());
        // By default the host may get the confirmation before the last frame is out.
        const uint64_t lastNs = vxlsim::Captured().back().time_ns;
        EXPECT_TRUE(c.ini != kField || confirmedNs >= lastNs) << confirmedNs << " < " << lastNs;
        for (const vxlsim_call &call : vxlsim::CallsTo("xlCanTransmit")) {
            EXPECT_TRUE(c.capacity < 128 || c.status == XL_ERR_QUEUE_IS_FULL || call.status != XL_ERR_QUEUE_IS_FULL);
        }
    }
}

// A read takes frame after frame, however many give no message, until one
// gives the host a message: a whole queue of the largest size (by default a
// read takes one frame).
TEST(FieldProfile, ReadPassesOverFramesWithoutMessage) {
    for (const char *ini : {"TRACE=1\nFIELDPROFILE=1\nRXQUEUE=32768\n", kDefault}) {
        SCOPED_TRACE(ini);
        Host host(ini);
        host.open(0x7E8, 0x7E0);
        for (int i = 0; i < (ini == kDefault ? 255 : 32767); ++i) Inject(0x7E9, {0x02, 0x50, 0x01});
        Inject(0x7E8, {0x02, 0x50, 0x02});
        auto msg = std::make_unique<PASSTHRU_MSG>();
        EXPECT_EQ(ini != kDefault, host.poll(*msg));
        if (ini != kDefault) ExpectMessage(*msg, 0x7E8, {0x50, 0x02});
    }
}

// A host that polls every 10 ms while a 4095-byte answer arrives at bus
// speed with block size 0: the profile's reads empty the queue as they go;
// by default the 256-event queue overruns and the answer is lost. A queue too
// small for the answer overruns with the profile too, and says so.
TEST(FieldProfile, SlowHostGetsTheLongAnswer) {
    const struct {
        const char *ini, *overrun;
        bool complete;
    } cases[] = {
        {kField, nullptr, true},
        {kDefault, nullptr, false},
        {"TRACE=1\nFIELDPROFILE=1\nRXQUEUE=16\n",
         "Queue rx XL_CAN_MSG_FLAG_OVERRUN, receive queue overrun, frames lost --> has counted 1 time(s)", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        Host host(c.ini, kVehicle);
        host.open(0x7E8, 0x7E0);
        ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, {0x22, 0x01, 0x00})));
        bool complete = false;
        auto msg = std::make_unique<PASSTHRU_MSG>();
        for (int poll = 0; poll < 60 && !complete; ++poll) {
            plat::SleepMs(10);
            complete = host.poll(*msg) && IdOf(*msg) == 0x7E8 && msg->DataSize == 4 + 4095;
        }
        EXPECT_EQ(c.complete, complete);
        if (complete) ExpectMessage(*msg, 0x7E8, Cat({0x62, 0x01, 0x00}, Counting(4092)));
        if (c.overrun) {
            // The driver flags an overrun on the next frame that fits: one more
            // frame after the answer, so that a host held up past the whole
            // answer (whose frames then all come in one go) learns of it too.
            vxlsim::BusSend(0, 0x7E8, {0x02, 0x7E, 0x00});
            EXPECT_TRUE(host.awaitTraced(c.overrun));
            EXPECT_EQ("ER", host.levelOf(c.overrun));
        }
    }
}

// RXQUEUE and FCWAITMAX: a value the profile cannot use is replaced by its
// default with an ERROR line.
TEST(FieldProfile, QueueAndWaitSettings) {
    const struct {
        const char *ini, *error;
        uint64_t events;
    } cases[] = {
        {kDefault, nullptr, 256},
        {kField, nullptr, 2048},
        {"FIELDPROFILE=1\nRXQUEUE=32768\nFCWAITMAX=255\n", nullptr, 32768},
        {"FIELDPROFILE=1\nRXQUEUE=16\nFCWAITMAX=0\n", nullptr, 16},
        {"FIELDPROFILE=1\nRXQUEUE=100\n", "RXQUEUE 100 is no power of two from 16 to 32768, using 2048", 2048},
        {"FIELDPROFILE=1\nRXQUEUE=8\n", "RXQUEUE 8 is no power of two from 16 to 32768, using 2048", 2048},
        {"FIELDPROFILE=1\nFCWAITMAX=256\n", "FCWAITMAX 256 is no number from 0 to 255, using 10", 2048},
        {"FIELDPROFILE=1\nFCWAITMAX=\n", "FCWAITMAX  is no number from 0 to 255, using 10", 2048},
        {"FIELDPROFILE=1\nFCWAITMAX=3   ; WAITs taken\n", nullptr, 2048},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        Host host(c.ini);
        ASSERT_EQ(STATUS_NOERROR, host.connect());
        vxlsim_call_clear();
        ASSERT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 500000}}));
        EXPECT_EQ(std::vector<uint64_t>{c.events}, CallArgs("xlOpenPort", 2));
        EXPECT_EQ(c.error != nullptr, host.tracedStartingWith("RXQUEUE") || host.tracedStartingWith("FCWAITMAX"));
        if (c.error) {
            EXPECT_EQ("ER", host.levelOf(c.error));
        }
    }
}

// Frames the profile ignores, and what the default makes of them.
TEST(FieldProfile, MalformedFramesAreIgnored) {
    const auto Escaped = [](uint16_t n) { return Bytes{0x10, 0, 0, 0, uint8_t(n >> 8), uint8_t(n), 1, 2}; };
    const struct {
        std::vector<Bytes> frames;
        bool defaultDelivers, defaultSendsFlow;  // the default gives the host a message, answers with a flow control
        const char *trace;                       // the profile's ERROR line
    } cases[] = {
        {{{0x00, 0xAA}}, true, false, "SINGLE_FRAME length 0, ignored"},
        {{{0x10, 0x09, 0, 1, 2}, Cat({0x21}, Counting(7, 3))}, true, true, "FIRST_FRAME DLC 5 below 8, ignored"},
        {{{0x10, 0x07, 1, 2, 3, 4, 5, 6}}, false, true, "FIRST_FRAME length 7 fits a single frame, ignored"},
        {{{0x10, 0x06, 1, 2, 3, 4, 5, 6}}, false, true, "FIRST_FRAME length 6 fits a single frame, ignored"},
        {{Escaped(4095)}, false, true, "FIRST_FRAME escape length 4095 not held (4096..4124), ignored"},
        {{Escaped(5000)}, false, true, "FIRST_FRAME escape length 5000 not held (4096..4124), ignored"},
    };
    for (const auto &c : cases) {
        for (const char *ini : {kField, kDefault}) {
            SCOPED_TRACE(testing::Message() << c.trace << ", " << ini);
            Host host(ini);
            host.open(0x7E8, 0x7E0);
            for (const Bytes &frame : c.frames) Inject(0x7E8, frame);
            const auto got = host.drain();
            EXPECT_EQ(ini == kDefault && c.defaultDelivers, !got.empty());
            EXPECT_EQ(ini == kDefault && c.defaultSendsFlow, !SendTimes(0x7E0, 0xF0, 0x30).empty());
            EXPECT_EQ(ini == kField ? "ER" : "", host.levelOf(c.trace));
        }
    }
}

// Reassembly: the shortest messages a single frame cannot hold; a reception
// that a first frame too short for the bus leaves alone; a sender that gives up
// a message and starts over on the same id, whose new message the profile
// reassembles while the default glues the old one's start to the new one's end.
TEST(FieldProfile, FirstFramesItTakes) {
    const Bytes twenty = Counting(20, 0x40), older = Counting(20, 0x10), newer = Counting(20, 0x80);
    std::vector<Bytes> interrupted = Segment(twenty, Framing{}), replaced = Segment(newer, Framing{});
    interrupted.insert(interrupted.begin() + 2, Bytes{0x19, 0x7D, 0xA1});
    const std::vector<Bytes> olderFrames = Segment(older, Framing{});
    replaced.insert(replaced.begin(), olderFrames.begin(), olderFrames.begin() + 2);
    const struct {
        const char *what, *ini;
        uint32_t id;
        std::vector<Bytes> frames;
        Bytes payload;
        size_t flowControls;
        bool replaces;  // the profile's ERROR line that a new first frame replaces the reassembly
    } cases[] = {
        {"8 bytes", kField, 0x7E8, Segment(Counting(8), Framing{}), Counting(8), 1, false},
        {"7 bytes behind an address byte", kField, 0x640, Segment(Counting(7), Framing{0xF1}), Counting(7), 1, false},
        {"20 bytes, a first frame of DLC 3 amid them", kField, 0x7E8, interrupted, twenty, 1, false},
        {"a new first frame", kField, 0x7E8, replaced, newer, 2, true},
        // The older message's first and consecutive frame, the newer one's last.
        {"a new first frame, by default", kDefault, 0x7E8, replaced, Cat(Counting(13, 0x10), Counting(7, 0x80 + 13)), 2,
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Host host(c.ini);
        host.open(0x7E8, 0x7E0);
        host.listen(0x640, 0x6F1, 0xF1, 0xF1);
        for (const Bytes &frame : c.frames) Inject(c.id, frame);
        const auto got = host.drain();
        ASSERT_EQ(1u, got.size());
        ExpectMessage(got[0], c.id, c.payload);
        EXPECT_EQ(c.flowControls, SendTimes(c.id == 0x7E8 ? 0x7E0 : 0x6F1, 0xF0, 0x30, c.id == 0x7E8 ? 0 : 1).size());
        EXPECT_EQ(c.replaces ? "ER" : "", host.levelOf("FIRST_FRAME replaces open m_rxBuffer SeqID=1 CanID 07e8"));
    }
}

// After DATA_RATE again, and after disconnect, connect and DATA_RATE with the
// same filter started again, the ECU's frames must still reach the host.
TEST(FieldProfile, FiltersFollowTheReopenedPort) {
    for (const char *ini : {kField, kDefault}) {
        SCOPED_TRACE(ini);
        Host host(ini);
        host.open(0x7E8, 0x7E0);
        auto heard = [&] {
            vxlsim::BusSend(0, 0x7E8, {0x02, 0x7E, 0x00});
            return !host.readFor(20).empty();
        };
        EXPECT_TRUE(heard());
        vxlsim_call_clear();
        ASSERT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 500000}}));
        // The pass filter's id and the flow-control filter's flow id.
        EXPECT_EQ((ini == kField ? std::vector<uint64_t>{0x7E8, 0x7E0} : std::vector<uint64_t>{}),
                  CallArgs("xlCanAddAcceptanceRange", 2));
        EXPECT_EQ(ini == kField, heard());
        ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(1));
        host.open(0x7E8, 0x7E0);
        EXPECT_EQ(ini == kField, heard());
        EXPECT_EQ(ini == kField, host.traced("2 filters removed"));
    }
}

}  // namespace
