// The simulated ECUs seen from a tester on a second port: raw single, first,
// consecutive and flow-control frames go out with xlCanTransmit, and every
// frame the ECU sends is checked byte by byte. Echoes of every length, block
// sizes, padding, WAIT frames, response pending, extended addressing and the
// functional group are exercised through the library in the end-to-end tests.
#include <string>

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
        m_tester = openActive(0);
        m_engine = find("engine");
    }

    int find(const char *name) {
        // Each default ECU sits on every channel; the first match is channel 0.
        const int id = vxlsim_ecu_find(name);
        EXPECT_GE(id, 0) << name;
        return id;
    }

    void set(int ecu, const char *key, const char *value) { ASSERT_EQ(0, vxlsim_ecu_set(ecu, key, value)) << key; }

    void tx(uint32_t id, const Bytes &data) { ASSERT_EQ(XL_SUCCESS, send(m_tester, 0, id, data)); }

    // Frames from the ECUs (confirmations of our own frames left out).
    std::vector<Rx> got() {
        std::vector<Rx> out;
        for (const XLevent &ev : drain(m_tester))
            if (!(ev.tagData.msg.flags & XL_CAN_MSG_FLAG_TX_COMPLETED))
                out.push_back({ev.tagData.msg.id, data(ev), ev.timeStamp});
        return out;
    }

    Rx one() {
        std::vector<Rx> frames = got();
        EXPECT_EQ(1u, frames.size());
        // A stand-in of zeros keeps later byte checks failing instead of crashing.
        return frames.empty() ? Rx{0, Bytes(8, 0), 0} : frames[0];
    }

    static Bytes pad(Bytes b, uint8_t pad = 0xFF) {
        b.resize(8, pad);
        return b;
    }

    // A whole multi-frame answer: takes the first frame, then sends our flow
    // control (BS 0, STmin 0) and gathers the consecutive frames.
    Bytes readLong() {
        Rx ff = one();
        EXPECT_EQ(0x10, ff.data[0] & 0xF0);
        const size_t total = (size_t(ff.data[0] & 0x0F) << 8) | ff.data[1];
        Bytes msg(ff.data.begin() + 2, ff.data.end());
        tx(0x7E0, {0x30, 0x00, 0x00});
        for (const Rx &cf : got()) msg.insert(msg.end(), cf.data.begin() + 1, cf.data.end());
        EXPECT_GE(msg.size(), total);
        msg.resize(total);
        return msg;
    }

    XLportHandle m_tester = XL_INVALID_PORTHANDLE;
    int m_engine = -1;
};

TEST_F(EcuTest, SingleFrameServicesAndNegativeAnswers) {
    tx(0x7E0, pad({0x02, 0x10, 0x03}, 0x55));
    Rx r = one();
    EXPECT_EQ(0x7E8u, r.id);
    EXPECT_EQ(Bytes({0x06, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4, 0xFF}), r.data);

    tx(0x7E0, {0x02, 0x3E, 0x00});
    EXPECT_EQ(pad({0x02, 0x7E, 0x00}), one().data);
    tx(0x7E0, {0x02, 0x3E, 0x80});  // suppressed positive answer
    EXPECT_TRUE(got().empty());
    tx(0x7E0, {0x02, 0x10, 0x81});
    EXPECT_TRUE(got().empty());

    tx(0x7E0, {0x01, 0x85});
    EXPECT_EQ(pad({0x03, 0x7F, 0x85, 0x11}), one().data);
    tx(0x7E0, {0x03, 0x10, 0x03, 0x00});
    EXPECT_EQ(pad({0x03, 0x7F, 0x10, 0x13}), one().data);
    tx(0x7E0, {0x03, 0x22, 0xAB, 0xCD});
    EXPECT_EQ(pad({0x03, 0x7F, 0x22, 0x31}), one().data);
    tx(0x7E0, {0x02, 0x22, 0xF1});
    EXPECT_EQ(pad({0x03, 0x7F, 0x22, 0x13}), one().data);
}

TEST_F(EcuTest, VinInAMultiFrameAnswerChangesOnARunningEcu) {
    tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    const std::string vin = "VXLSIMECU00000001";
    Bytes expect = {0x62, 0xF1, 0x90};
    expect.insert(expect.end(), vin.begin(), vin.end());
    EXPECT_EQ(expect, readLong());

    set(m_engine, "vin", "ZZZZZZZZZZZZZZZZ9");
    tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    const Bytes msg = readLong();
    ASSERT_EQ(20u, msg.size());
    EXPECT_EQ(std::string("ZZZZZZZZZZZZZZZZ9"), std::string(msg.begin() + 3, msg.end()));
    EXPECT_EQ(-1, vxlsim_ecu_set(m_engine, "vin", "TOO SHORT"));
}

TEST_F(EcuTest, WriteThenReadBack) {
    tx(0x7E0, {0x05, 0x2E, 0x12, 0x34, 0xAA, 0xBB});
    EXPECT_EQ(pad({0x03, 0x6E, 0x12, 0x34}), one().data);
    tx(0x7E0, {0x03, 0x22, 0x12, 0x34});
    EXPECT_EQ(pad({0x05, 0x62, 0x12, 0x34, 0xAA, 0xBB}), one().data);
    tx(0x7E0, {0x03, 0x2E, 0x12, 0x34});
    EXPECT_EQ(pad({0x03, 0x7F, 0x2E, 0x13}), one().data);
}

TEST_F(EcuTest, AnswerIsAbandonedWithoutFlowControl) {
    tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    EXPECT_EQ(0x10, one().data[0]);
    vxlsim_advance_ns(1000000000);  // N_Bs
    tx(0x7E0, pad({0x30, 0x00, 0x00}));
    EXPECT_TRUE(got().empty());
    tx(0x7E0, {0x02, 0x3E, 0x00});  // and the ECU listens again
    EXPECT_EQ(pad({0x02, 0x7E, 0x00}), one().data);
}

TEST_F(EcuTest, RequestIsDroppedWhenConsecutiveFramesStop) {
    tx(0x7E0, {0x10, 0x0A, 0xBA, 1, 2, 3, 4, 5});
    EXPECT_EQ(0x30, one().data[0]);
    vxlsim_advance_ns(1000000000);  // N_Cr
    tx(0x7E0, {0x21, 6, 7, 8, 9});
    vxlsim_advance_ns(10000000);
    EXPECT_TRUE(got().empty());
}

TEST_F(EcuTest, RequestBeyond4095BytesGetsAnOverflow) {
    tx(0x7E0, {0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0xBA, 0x00});
    EXPECT_EQ(pad({0x32, 0x00, 0x00}), one().data);
}

TEST_F(EcuTest, ResponsePendingOnlyForTheConfiguredService) {
    set(m_engine, "pending", "1");
    set(m_engine, "pending_interval_ms", "100");
    set(m_engine, "response_delay_ms", "5");
    set(m_engine, "pending_sid", "0x22");
    tx(0x7E0, {0x03, 0x22, 0x12, 0x34});
    vxlsim_advance_ns(5000000);
    EXPECT_EQ(pad({0x03, 0x7F, 0x22, 0x78}), one().data);
    vxlsim_advance_ns(100000000);
    EXPECT_EQ(pad({0x03, 0x7F, 0x22, 0x31}), one().data);
    // Other services answer after the delay alone.
    tx(0x7E0, {0x02, 0x10, 0x01});
    vxlsim_advance_ns(5000000);
    EXPECT_EQ(0x50, one().data[1]);
}

}  // namespace
