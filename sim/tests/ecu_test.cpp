// The simulated ECUs seen from a tester on a second port: raw single, first,
// consecutive and flow-control frames go out with xlCanTransmit, and every
// frame the ECU sends is checked byte by byte and for its time. Echoes of
// every length, padding, WAIT frames, response pending and extended
// addressing are exercised through the library in the end-to-end tests.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Rx {
    uint32_t id;
    Bytes data;
    uint64_t t;
};

class EcuTest : public SimTest {
protected:
    void SetUp() override {
        vxlsim_reset();  // default ECUs on every channel
        ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
        vxlsim_set_manual_clock(1);
        tester_ = OpenActive(0);
        engine_ = Find("engine");
    }

    int Find(const char *name) {
        // Each default ECU sits on every channel; the first match is channel 0.
        const int id = vxlsim_ecu_find(name);
        EXPECT_GE(id, 0) << name;
        return id;
    }

    void Set(int ecu, const char *key, const char *value) { ASSERT_EQ(0, vxlsim_ecu_set(ecu, key, value)) << key; }

    void Tx(uint32_t id, const Bytes &data) { ASSERT_EQ(XL_SUCCESS, Send(tester_, 0, id, data)); }

    // Frames from the ECUs (confirmations of our own frames left out).
    std::vector<Rx> Got() {
        std::vector<Rx> out;
        for (const XLevent &ev : Drain(tester_))
            if (!(ev.tagData.msg.flags & XL_CAN_MSG_FLAG_TX_COMPLETED))
                out.push_back({ev.tagData.msg.id, Data(ev), ev.timeStamp});
        return out;
    }

    Rx One() {
        std::vector<Rx> got = Got();
        EXPECT_EQ(1u, got.size());
        // A stand-in of zeros keeps later byte checks failing instead of crashing.
        return got.empty() ? Rx{0, Bytes(8, 0), 0} : got[0];
    }

    static Bytes Pad(Bytes b, uint8_t pad = 0xFF) {
        b.resize(8, pad);
        return b;
    }

    // A whole multi-frame answer: takes the first frame, then sends our flow
    // control (BS 0, STmin 0) and gathers the consecutive frames.
    Bytes ReadLong() {
        Rx ff = One();
        EXPECT_EQ(0x10, ff.data[0] & 0xF0);
        const size_t total = (size_t(ff.data[0] & 0x0F) << 8) | ff.data[1];
        Bytes msg(ff.data.begin() + 2, ff.data.end());
        Tx(0x7E0, {0x30, 0x00, 0x00});
        for (const Rx &cf : Got())
            msg.insert(msg.end(), cf.data.begin() + 1, cf.data.end());
        EXPECT_GE(msg.size(), total);
        msg.resize(total);
        return msg;
    }

    XLportHandle tester_ = XL_INVALID_PORTHANDLE;
    int engine_ = -1;
};

TEST_F(EcuTest, SingleFrameServicesAndNegativeAnswers) {
    Tx(0x7E0, Pad({0x02, 0x10, 0x03}, 0x55));
    Rx r = One();
    EXPECT_EQ(0x7E8u, r.id);
    EXPECT_EQ(Bytes({0x06, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4, 0xFF}), r.data);

    Tx(0x7E0, {0x02, 0x3E, 0x00});
    EXPECT_EQ(Pad({0x02, 0x7E, 0x00}), One().data);
    Tx(0x7E0, {0x02, 0x3E, 0x80});  // suppressed positive answer
    EXPECT_TRUE(Got().empty());
    Tx(0x7E0, {0x02, 0x10, 0x81});
    EXPECT_TRUE(Got().empty());

    Tx(0x7E0, {0x01, 0x85});
    EXPECT_EQ(Pad({0x03, 0x7F, 0x85, 0x11}), One().data);
    Tx(0x7E0, {0x03, 0x10, 0x03, 0x00});
    EXPECT_EQ(Pad({0x03, 0x7F, 0x10, 0x13}), One().data);
    Tx(0x7E0, {0x03, 0x22, 0xAB, 0xCD});
    EXPECT_EQ(Pad({0x03, 0x7F, 0x22, 0x31}), One().data);
    Tx(0x7E0, {0x02, 0x22, 0xF1});
    EXPECT_EQ(Pad({0x03, 0x7F, 0x22, 0x13}), One().data);

    // The second ECU answers on its own ids only.
    Tx(0x7E1, {0x02, 0x3E, 0x00});
    r = One();
    EXPECT_EQ(0x7E9u, r.id);
    // Broken single frames are ignored.
    Tx(0x7E0, {0x00, 0x3E});
    Tx(0x7E0, {0x07, 0x3E, 0x00});
    EXPECT_TRUE(Got().empty());
}

TEST_F(EcuTest, VinInAMultiFrameAnswerChangesOnARunningEcu) {
    Tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    const std::string vin = "VXLSIMECU00000001";
    Bytes expect = {0x62, 0xF1, 0x90};
    expect.insert(expect.end(), vin.begin(), vin.end());
    EXPECT_EQ(expect, ReadLong());

    Set(engine_, "vin", "ZZZZZZZZZZZZZZZZ9");
    Tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    const Bytes msg = ReadLong();
    ASSERT_EQ(20u, msg.size());
    EXPECT_EQ(std::string("ZZZZZZZZZZZZZZZZ9"), std::string(msg.begin() + 3, msg.end()));
    EXPECT_EQ(-1, vxlsim_ecu_set(engine_, "vin", "TOO SHORT"));
}

TEST_F(EcuTest, WriteThenReadBack) {
    Tx(0x7E0, {0x05, 0x2E, 0x12, 0x34, 0xAA, 0xBB});
    EXPECT_EQ(Pad({0x03, 0x6E, 0x12, 0x34}), One().data);
    Tx(0x7E0, {0x03, 0x22, 0x12, 0x34});
    EXPECT_EQ(Pad({0x05, 0x62, 0x12, 0x34, 0xAA, 0xBB}), One().data);
    Tx(0x7E0, {0x03, 0x2E, 0x12, 0x34});
    EXPECT_EQ(Pad({0x03, 0x7F, 0x2E, 0x13}), One().data);
}

TEST_F(EcuTest, AnswerWaitsForFlowControlAndHonoursItsBlockSizeAndSeparation) {
    vxlsim_capture_clear();
    Tx(0x7E0, {0x03, 0x22, 0x01, 0x00});
    EXPECT_EQ(Bytes({0x11, 0x2F, 0x62, 0x01, 0x00, 0x00, 0x01, 0x02}), One().data);  // 303 bytes
    vxlsim_advance_ns(900000000);
    EXPECT_TRUE(Got().empty());  // nothing without our flow control

    Tx(0x7E0, Pad({0x30, 0x02, 0x05}));  // BS 2, STmin 5 ms
    Rx cf1 = One();
    EXPECT_EQ(Bytes({0x21, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}), cf1.data);
    vxlsim_advance_ns(4999999);
    EXPECT_TRUE(Got().empty());
    vxlsim_advance_ns(1);
    Rx cf2 = One();
    EXPECT_EQ(0x22, cf2.data[0]);
    EXPECT_EQ(5000000u, cf2.t - cf1.t);
    vxlsim_advance_ns(500000000);
    EXPECT_TRUE(Got().empty());  // block complete: waiting for the next flow control

    // STmin 0xF5: 500 us. 303 - 6 - 14 = 283 bytes left: 41 frames.
    Tx(0x7E0, Pad({0x30, 0x00, 0xF5}));
    std::vector<Rx> rest = Got();
    ASSERT_EQ(1u, rest.size());  // the first one at once
    vxlsim_advance_ns(500000ull * 60);
    std::vector<Rx> more = Got();
    rest.insert(rest.end(), more.begin(), more.end());
    ASSERT_EQ(41u, rest.size());
    for (size_t i = 1; i < rest.size(); ++i) {
        EXPECT_EQ(0x20 | ((i + 3) & 0x0F), rest[i].data[0]) << i;
        EXPECT_EQ(500000u, rest[i].t - rest[i - 1].t) << i;
    }
    int fromEcu = 0;  // the capture names the ECU as the sender
    for (const vxlsim_frame &f : vxlsim::Captured())
        fromEcu += f.sender_node == engine_;
    EXPECT_EQ(1 + 2 + 41, fromEcu);
}

TEST_F(EcuTest, AnswerIsAbandonedWithoutFlowControl) {
    Tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    EXPECT_EQ(0x10, One().data[0]);
    vxlsim_advance_ns(1000000000);  // N_Bs
    Tx(0x7E0, Pad({0x30, 0x00, 0x00}));
    EXPECT_TRUE(Got().empty());
    Tx(0x7E0, {0x02, 0x3E, 0x00});  // and the ECU listens again
    EXPECT_EQ(Pad({0x02, 0x7E, 0x00}), One().data);
}

TEST_F(EcuTest, RequestIsDroppedWhenConsecutiveFramesStop) {
    Tx(0x7E0, {0x10, 0x0A, 0xBA, 1, 2, 3, 4, 5});
    EXPECT_EQ(0x30, One().data[0]);
    vxlsim_advance_ns(1000000000);  // N_Cr
    Tx(0x7E0, {0x21, 6, 7, 8, 9});
    vxlsim_advance_ns(10000000);
    EXPECT_TRUE(Got().empty());
    // A wrong sequence number ends the reception as well.
    Tx(0x7E0, {0x10, 0x0A, 0xBA, 1, 2, 3, 4, 5});
    EXPECT_EQ(0x30, One().data[0]);
    Tx(0x7E0, {0x22, 6, 7, 8, 9});
    Tx(0x7E0, {0x21, 6, 7, 8, 9});
    EXPECT_TRUE(Got().empty());
}

TEST_F(EcuTest, RequestBeyond4095BytesGetsAnOverflow) {
    Tx(0x7E0, {0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0xBA, 0x00});
    EXPECT_EQ(Pad({0x32, 0x00, 0x00}), One().data);
}

TEST_F(EcuTest, ResponsePendingOnlyForTheConfiguredService) {
    Set(engine_, "pending", "1");
    Set(engine_, "pending_interval_ms", "100");
    Set(engine_, "response_delay_ms", "5");
    Set(engine_, "pending_sid", "0x22");
    Tx(0x7E0, {0x03, 0x22, 0x12, 0x34});
    vxlsim_advance_ns(5000000);
    EXPECT_EQ(Pad({0x03, 0x7F, 0x22, 0x78}), One().data);
    vxlsim_advance_ns(100000000);
    EXPECT_EQ(Pad({0x03, 0x7F, 0x22, 0x31}), One().data);
    // Other services answer after the delay alone.
    Tx(0x7E0, {0x02, 0x10, 0x01});
    vxlsim_advance_ns(5000000);
    EXPECT_EQ(0x50, One().data[1]);
}

TEST_F(EcuTest, FunctionalRequestsReachTheWholeGroup) {
    Tx(0x7DF, {0x02, 0x3E, 0x00});
    std::vector<Rx> got = Got();
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(0x7E8u, got[0].id);
    EXPECT_EQ(0x7E9u, got[1].id);
    EXPECT_EQ(0x640u, got[2].id);
    EXPECT_EQ(Bytes({0xF1, 0x02, 0x7E, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), got[2].data);
    Tx(0x7DF, {0x01, 0x85});  // not supported: the group stays silent
    Tx(0x7DF, {0x10, 0x09, 0xBA, 1, 2, 3, 4, 5});  // no multi-frame functional requests
    EXPECT_TRUE(Got().empty());
    Set(engine_, "functional_id", "0");
    Tx(0x7DF, {0x02, 0x3E, 0x00});
    EXPECT_EQ(2u, Got().size());
}

TEST_F(EcuTest, ConfiguredEcusReplaceTheDefaults) {
    const char *text =
        "[channel]\n"
        "name = Bench\n"
        "[ecu]\n"
        "name = abs\n"
        "request_id = 0x18DA28F1\n"
        "response_id = 0x18DAF128\n"
        "functional_id = 0\n"
        "vin = ABCDEFGHJKLMNPRST\n"
        "bs = 8\n";
    ASSERT_EQ(0, vxlsim_load_config_text(text));
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
    vxlsim_set_manual_clock(1);
    tester_ = OpenActive(0);
    EXPECT_EQ(-1, vxlsim_ecu_find("engine"));
    EXPECT_GE(vxlsim_ecu_find("abs"), 0);
    Tx(0x18DA28F1u | XL_CAN_EXT_MSG_ID, {0x02, 0x3E, 0x00});
    Rx r = One();
    EXPECT_EQ(0x18DAF128u | XL_CAN_EXT_MSG_ID, r.id);
    EXPECT_EQ(Pad({0x02, 0x7E, 0x00}), r.data);
    Tx(0x18DA28F1u | XL_CAN_EXT_MSG_ID, {0x10, 0x08, 0xBA, 1, 2, 3, 4, 5});
    EXPECT_EQ(Pad({0x30, 0x08, 0x00}), One().data);

    EXPECT_EQ(3, vxlsim_load_config_text("[ecu]\nbs = 3\nbs = 300\n"));
    const int added = vxlsim_ecu_add("name = extra\nrequest_id = 0x700\nresponse_id = 0x708\n");
    EXPECT_GE(added, 0);
    EXPECT_EQ(added, vxlsim_ecu_find("extra"));
    EXPECT_EQ(-2, vxlsim_ecu_add("name = x\nstmin\n"));
    EXPECT_EQ(-1, vxlsim_ecu_add("vin = short\n"));
    EXPECT_EQ(-1, vxlsim_ecu_set(added, "padding", "maybe"));
    EXPECT_EQ(-1, vxlsim_ecu_set(added, "no_such_key", "1"));
    EXPECT_EQ(-1, vxlsim_ecu_set(9999, "bs", "1"));
    EXPECT_EQ(-1, vxlsim_ecu_set(added, "channel", "1"));
}

TEST_F(EcuTest, EcuAnswersTakeBusTimeWithRealTiming) {
    vxlsim_set_real_timing(1);
    Tx(0x7E0, Pad({0x02, 0x3E, 0x00}));
    EXPECT_TRUE(Got().empty());
    vxlsim_advance_ns(260000);  // our request on the wire
    EXPECT_TRUE(Got().empty());
    vxlsim_advance_ns(260000);  // and the answer
    Rx r = One();
    EXPECT_EQ(520000u, r.t);
}

TEST_F(EcuTest, RealClockKeepsExactSeparationWhilePolled) {
    vxlsim_set_manual_clock(0);
    auto waitFor = [&](size_t n, std::vector<Rx> &out) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            std::vector<Rx> more = Got();
            out.insert(out.end(), more.begin(), more.end());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };
    const auto start = std::chrono::steady_clock::now();
    Tx(0x7E0, {0x03, 0x22, 0x01, 0x00});
    std::vector<Rx> ff;
    waitFor(1, ff);
    ASSERT_EQ(1u, ff.size());
    Tx(0x7E0, Pad({0x30, 0x00, 0x02}));
    std::vector<Rx> cfs;
    waitFor(43, cfs);
    ASSERT_EQ(43u, cfs.size());
    for (size_t i = 1; i < cfs.size(); ++i)
        EXPECT_EQ(2000000u, cfs[i].t - cfs[i - 1].t) << i;
    // Time stamps are when the ECU meant to send; it also really took that long.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(84));
}

TEST_F(EcuTest, DefaultSetCanBeSwitchedOffAndComesBackOnReset) {
    ASSERT_EQ(0, vxlsim_load_config_text("[driver]\ndefault_ecus = 0\n"));
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
    tester_ = OpenActive(0);
    EXPECT_EQ(-1, vxlsim_ecu_find("engine"));
    Tx(0x7E0, {0x02, 0x3E, 0x00});
    EXPECT_TRUE(Got().empty());
    vxlsim_reset();
    ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
    tester_ = OpenActive(3);  // the built-in set sits on every channel
    ASSERT_EQ(XL_SUCCESS, Send(tester_, 3, 0x7E1, {0x02, 0x3E, 0x00}));
    std::vector<Rx> got = Got();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x7E9u, got[0].id);
}

}  // namespace
