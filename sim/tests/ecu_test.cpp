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
        m_tester = OpenActive(0);
        m_engine = Find("engine");
    }

    int Find(const char *name) {
        // Each default ECU sits on every channel; the first match is channel 0.
        const int id = vxlsim_ecu_find(name);
        EXPECT_GE(id, 0) << name;
        return id;
    }

    void Set(int ecu, const char *key, const char *value) { ASSERT_EQ(0, vxlsim_ecu_set(ecu, key, value)) << key; }

    void Tx(uint32_t id, const Bytes &data) { ASSERT_EQ(XL_SUCCESS, Send(m_tester, 0, id, data)); }

    // Frames from the ECUs (confirmations of our own frames left out).
    std::vector<Rx> Got() {
        std::vector<Rx> out;
        for (const XLevent &ev : Drain(m_tester))
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

    XLportHandle m_tester = XL_INVALID_PORTHANDLE;
    int m_engine = -1;
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
}

TEST_F(EcuTest, VinInAMultiFrameAnswerChangesOnARunningEcu) {
    Tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    const std::string vin = "VXLSIMECU00000001";
    Bytes expect = {0x62, 0xF1, 0x90};
    expect.insert(expect.end(), vin.begin(), vin.end());
    EXPECT_EQ(expect, ReadLong());

    Set(m_engine, "vin", "ZZZZZZZZZZZZZZZZ9");
    Tx(0x7E0, {0x03, 0x22, 0xF1, 0x90});
    const Bytes msg = ReadLong();
    ASSERT_EQ(20u, msg.size());
    EXPECT_EQ(std::string("ZZZZZZZZZZZZZZZZ9"), std::string(msg.begin() + 3, msg.end()));
    EXPECT_EQ(-1, vxlsim_ecu_set(m_engine, "vin", "TOO SHORT"));
}

TEST_F(EcuTest, WriteThenReadBack) {
    Tx(0x7E0, {0x05, 0x2E, 0x12, 0x34, 0xAA, 0xBB});
    EXPECT_EQ(Pad({0x03, 0x6E, 0x12, 0x34}), One().data);
    Tx(0x7E0, {0x03, 0x22, 0x12, 0x34});
    EXPECT_EQ(Pad({0x05, 0x62, 0x12, 0x34, 0xAA, 0xBB}), One().data);
    Tx(0x7E0, {0x03, 0x2E, 0x12, 0x34});
    EXPECT_EQ(Pad({0x03, 0x7F, 0x2E, 0x13}), One().data);
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
}

TEST_F(EcuTest, RequestBeyond4095BytesGetsAnOverflow) {
    Tx(0x7E0, {0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0xBA, 0x00});
    EXPECT_EQ(Pad({0x32, 0x00, 0x00}), One().data);
}

TEST_F(EcuTest, ResponsePendingOnlyForTheConfiguredService) {
    Set(m_engine, "pending", "1");
    Set(m_engine, "pending_interval_ms", "100");
    Set(m_engine, "response_delay_ms", "5");
    Set(m_engine, "pending_sid", "0x22");
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

}  // namespace
