// The simulated ECU on CAN FD: a tester on a version-4 port sends requests
// in FD frames (TX_DL 64, pad 0xCC) and every frame of the ECU on the bus is
// checked: its length, FD marks and protocol bytes.
#include <string>

#include "can/can_frame.h"
#include "sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BusFrame {
    size_t length;
    uint32_t fdFlags;
    Bytes data;
};

class EcuFdTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        vxlsim_set_manual_clock(1);
        m_tester = openFd(kFdChannel);
        m_ecu = vxlsim_ecu_add("name = fd\nchannel = 2\ncan_fd = on\ntx_dl = 64\n");
        ASSERT_GE(m_ecu, 0);
    }

    void fdFrame(Bytes b) {
        const uint8_t dlc = CanFdLengthToDlc(static_cast<uint8_t>(b.size()));
        b.resize(CanFdDlcToLength(dlc), 0xCC);
        ASSERT_EQ(XL_SUCCESS,
                  sendFd(m_tester, kFdChannel, 0x7E0, XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS, dlc, b));
    }

    // The tester's side with TX_DL 64: single frame (escape form above 7
    // bytes), or first frame and consecutive frames once the ECU let them.
    void request(const Bytes &msg) {
        if (msg.size() <= 7) {
            Bytes sf = {static_cast<uint8_t>(msg.size())};
            sf.insert(sf.end(), msg.begin(), msg.end());
            sf.resize(8, 0xCC);
            return fdFrame(sf);
        }
        if (msg.size() <= 62) {
            Bytes sf = {0x00, static_cast<uint8_t>(msg.size())};
            sf.insert(sf.end(), msg.begin(), msg.end());
            return fdFrame(sf);
        }
        const uint32_t n = static_cast<uint32_t>(msg.size());
        Bytes ff = n <= 4095 ? Bytes{static_cast<uint8_t>(0x10 | n >> 8), static_cast<uint8_t>(n)}
                             : Bytes{0x10,
                                     0,
                                     static_cast<uint8_t>(n >> 24),
                                     static_cast<uint8_t>(n >> 16),
                                     static_cast<uint8_t>(n >> 8),
                                     static_cast<uint8_t>(n)};
        size_t off = 64 - ff.size();
        ff.insert(ff.end(), msg.begin(), msg.begin() + off);
        fdFrame(ff);
        for (uint8_t sn = 1; off < msg.size(); ++sn) {
            const size_t take = std::min<size_t>(63, msg.size() - off);
            Bytes cf = {static_cast<uint8_t>(0x20 | (sn & 0x0F))};
            cf.insert(cf.end(), msg.begin() + off, msg.begin() + off + take);
            fdFrame(cf);
            off += take;
        }
    }

    // The ECU's frames since the last look; after a first frame the tester
    // lets the rest come (BS 0, STmin 0).
    std::vector<BusFrame> answer() {
        std::vector<BusFrame> out;
        for (size_t round = 0; round < 2; ++round) {
            for (const vxlsim_frame &f : vxlsim::Captured())
                if (f.sender_node >= 0) out.push_back({f.dlc, f.fd_flags, Bytes(f.data, f.data + f.dlc)});
            vxlsim_capture_clear();
            if (out.empty() || (out.back().data[0] & 0xF0) != 0x10) break;
            fdFrame({0x30, 0x00, 0x00, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC});
        }
        drainFd(m_tester);
        return out;
    }

    static Bytes Echo(size_t n) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i == 0 ? 0xBA : i);
        return b;
    }

    XLportHandle m_tester = XL_INVALID_PORTHANDLE;
    int m_ecu = -1;
};

TEST_F(EcuFdTest, FramesOfTheAnswerAtTxDl64And8) {
    const struct {
        const char *txDl;
        Bytes req;
        std::vector<size_t> lengths;  // the ECU's frames on the bus
        std::vector<Bytes> heads;     // their first bytes
    } cases[] = {
        {"64", Echo(2), {8}, {{0x02, 0xFA, 0x01, 0xFF}}},
        {"8", Echo(2), {8}, {{0x02, 0xFA, 0x01, 0xFF}}},
        // VIN: 20 bytes, an escape single frame of 22 bytes padded to 24.
        {"64", {0x22, 0xF1, 0x90}, {24}, {{0x00, 20, 0x62, 0xF1, 0x90, 'V'}}},
        {"8", {0x22, 0xF1, 0x90}, {8, 8, 8}, {{0x10, 20, 0x62}, {0x21}, {0x22}}},
        // 100 bytes: the ECU's flow control (8 bytes), a first frame of
        // TX_DL with 62 bytes and the last 38 in 1 + 38 = 39 bytes padded to 48.
        {"64", Echo(100), {8, 64, 48}, {{0x30, 0x00, 0x00, 0xFF}, {0x10, 100, 0xFA, 1}, {0x21, 62, 63}}},
        // At TX_DL 8: 6 bytes in the first frame, 13 full consecutive frames
        // and one with the last 3 bytes, padded to 8.
        {"8",
         Echo(100),
         {8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8},
         {{0x30},
          {0x10, 100, 0xFA},
          {0x21, 6},
          {0x22},
          {0x23},
          {0x24},
          {0x25},
          {0x26},
          {0x27},
          {0x28},
          {0x29},
          {0x2A},
          {0x2B},
          {0x2C},
          {0x2D},
          {0x2E, 97, 98, 99, 0xFF}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("TX_DL ") + c.txDl + ", " + std::to_string(c.req.size()) + " bytes");
        ASSERT_EQ(0, vxlsim_ecu_set(m_ecu, "tx_dl", c.txDl));
        request(c.req);
        const std::vector<BusFrame> got = answer();
        ASSERT_EQ(c.lengths.size(), got.size());
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(c.lengths[k], got[k].length) << k;
            EXPECT_EQ(uint32_t(VXLSIM_FD_EDL | VXLSIM_FD_BRS), got[k].fdFlags) << k;
            EXPECT_EQ(c.heads[k], Bytes(got[k].data.begin(), got[k].data.begin() + c.heads[k].size())) << k;
        }
    }
    // The padding of the last frame, and the message it completes.
    ASSERT_EQ(0, vxlsim_ecu_set(m_ecu, "tx_dl", "64"));
    request(Echo(100));
    const std::vector<BusFrame> got = answer();
    ASSERT_EQ(3u, got.size());
    Bytes msg(got[1].data.begin() + 2, got[1].data.end());
    msg.insert(msg.end(), got[2].data.begin() + 1, got[2].data.begin() + 39);
    Bytes expect = Echo(100);
    expect[0] = 0xFA;
    EXPECT_EQ(expect, msg);
    EXPECT_EQ(Bytes(9, 0xFF), Bytes(got[2].data.begin() + 39, got[2].data.end()));
}

TEST_F(EcuFdTest, LongMessagesFormatsAndSettings) {
    // Above 4095 bytes the first frame carries FF_DL in 32 bits, both ways.
    request(Echo(5000));
    std::vector<BusFrame> got = answer();
    ASSERT_EQ(1u + 1u + 79u, got.size());  // flow control, first frame (58 bytes), 4942 bytes in 79 frames
    EXPECT_EQ(Bytes({0x10, 0x00, 0x00, 0x00, 0x13, 0x88, 0xFA, 1}),
              Bytes(got[1].data.begin(), got[1].data.begin() + 8));
    EXPECT_EQ(64u, got[1].length);

    // A classic request gets a classic answer; BRS only with a faster data phase.
    ASSERT_EQ(0, vxlsim_ecu_set(m_ecu, "padding", "off"));
    ASSERT_EQ(XL_SUCCESS, sendFd(m_tester, kFdChannel, 0x7E0, 0, 3, {0x02, 0x3E, 0x00}));
    got = answer();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0u, got[0].fdFlags);
    EXPECT_EQ(Bytes({0x02, 0x7E, 0x00}), got[0].data);
    ASSERT_EQ(XL_SUCCESS, configureFd(m_tester, kFdChannel, kArbitrationRate));
    request({0x3E, 0x00});
    got = answer();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(VXLSIM_FD_EDL), got[0].fdFlags);
    EXPECT_EQ(3u, got[0].length);  // without padding as long as its content

    // A CAN 2.0 ECU does not take FD frames; bad settings are refused.
    ASSERT_EQ(0, vxlsim_ecu_set(m_ecu, "can_fd", "off"));
    request({0x3E, 0x00});
    EXPECT_TRUE(answer().empty());
    for (const char *bad : {"7", "9", "65", "0"}) EXPECT_EQ(-1, vxlsim_ecu_set(m_ecu, "tx_dl", bad)) << bad;
    EXPECT_EQ(-1, vxlsim_ecu_set(m_ecu, "can_fd", "maybe"));
}

}  // namespace
