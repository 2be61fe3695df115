// A simulated ECU seen from a tester on a version-4 port: requests go out in
// classic frames or in FD frames (TX_DL 64, pad 0xCC), and every frame of the
// ECU on the bus is checked: its length, FD marks and bytes. Echoes of every
// length, block sizes, WAIT frames, extended addressing and the functional
// group are exercised through the library in the end-to-end tests.
#include <string>

#include "sim_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BusFrame {
    size_t length;
    uint32_t fdFlags;
    Bytes data;
};

constexpr uint32_t kFd = VXLSIM_FD_EDL | VXLSIM_FD_BRS;

Bytes Pad(Bytes b) {
    b.resize(8, 0xFF);
    return b;
}

Bytes Echo(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i == 0 ? 0xBA : i);
    return b;
}

class EcuTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        vxlsim_set_manual_clock(1);
        m_tester = openFd(kFdChannel);
        m_ecu = vxlsim_ecu_add("name = engine\nchannel = 2\n");
        ASSERT_GE(m_ecu, 0);
    }

    void set(const char *key, const char *value) { ASSERT_EQ(0, vxlsim_ecu_set(m_ecu, key, value)) << key; }

    // A classic frame as it is; an FD frame with BRS, padded with 0xCC to 8
    // bytes or to the next length a DLC code gives.
    void frame(Bytes b, bool fd) {
        uint8_t dlc = static_cast<uint8_t>(b.size());
        if (fd) {
            dlc = CanFdLengthToDlc(static_cast<uint8_t>(std::max<size_t>(b.size(), 8)));
            b.resize(CanFdDlcToLength(dlc), 0xCC);
        }
        ASSERT_EQ(XL_SUCCESS,
                  sendFd(m_tester, kFdChannel, 0x7E0, fd ? XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS : 0, dlc, b));
    }

    // The tester's side with TX_DL 64: single frame (escape form above 7
    // bytes), or first frame and consecutive frames once the ECU let them;
    // a classic single frame when not fd.
    void request(const Bytes &msg, bool fd = true) {
        const uint32_t n = static_cast<uint32_t>(msg.size());
        if (!fd) {
            Bytes sf = {uint8_t(n)};
            sf.insert(sf.end(), msg.begin(), msg.end());
            return frame(sf, false);
        }
        Bytes head = n <= 7 ? Bytes{uint8_t(n)}
                     : n <= 62 ? Bytes{0x00, uint8_t(n)}
                     : n <= 4095 ? Bytes{uint8_t(0x10 | n >> 8), uint8_t(n)}
                                 : Bytes{0x10, 0, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        size_t off = std::min<size_t>(msg.size(), 64 - head.size());
        head.insert(head.end(), msg.begin(), msg.begin() + off);
        frame(head, true);
        for (uint8_t sn = 1; off < msg.size(); ++sn) {
            const size_t take = std::min<size_t>(63, msg.size() - off);
            Bytes cf = {static_cast<uint8_t>(0x20 | (sn & 0x0F))};
            cf.insert(cf.end(), msg.begin() + off, msg.begin() + off + take);
            frame(cf, true);
            off += take;
        }
    }

    // The ECU's frames since the last look, ns later; after a first frame the
    // tester lets the rest come (BS 0, STmin 0) in the format of the answer.
    std::vector<BusFrame> answer(uint64_t ns = 0, bool letRest = true) {
        vxlsim_advance_ns(ns);
        std::vector<BusFrame> out;
        for (size_t round = 0; round < 2; ++round) {
            for (const vxlsim_frame &f : vxlsim::Captured())
                if (f.sender_node >= 0) out.push_back({f.dlc, f.fd_flags, Bytes(f.data, f.data + f.dlc)});
            vxlsim_capture_clear();
            if (!letRest || out.empty() || (out.back().data[0] & 0xF0) != 0x10) break;
            frame({0x30, 0x00, 0x00}, out.back().fdFlags != 0);
        }
        drainFd(m_tester);
        return out;
    }

    // The one frame of the answer; empty when there is none.
    Bytes one(uint64_t ns = 0) {
        const std::vector<BusFrame> got = answer(ns, false);
        EXPECT_LE(got.size(), 1u);
        return got.empty() ? Bytes() : got[0].data;
    }

    // The message the answer's single frame or first and consecutive frames
    // carry; what follows it is padding.
    static Bytes Message(const std::vector<BusFrame> &frames) {
        Bytes msg;
        size_t total = 0;
        for (const BusFrame &f : frames) {
            const uint8_t pci = f.data[0];
            if (pci >> 4 == 0) {
                const size_t at = pci == 0 ? 2 : 1;
                total = pci == 0 ? f.data[1] : pci;
                msg.assign(f.data.begin() + long(at), f.data.end());
            } else if (pci >> 4 == 1) {
                total = (size_t(pci & 0x0F) << 8) | f.data[1];
                const size_t at = total == 0 ? 6 : 2;
                if (total == 0) total = size_t(f.data[2]) << 24 | size_t(f.data[3]) << 16 | f.data[4] << 8 | f.data[5];
                msg.assign(f.data.begin() + long(at), f.data.end());
            } else if (pci >> 4 == 2) {
                msg.insert(msg.end(), f.data.begin() + 1, f.data.end());
            }
        }
        EXPECT_GE(msg.size(), total);
        EXPECT_EQ(Bytes(msg.size() - std::min(total, msg.size()), 0xFF), Bytes(msg.begin() + long(total), msg.end()));
        msg.resize(std::min(total, msg.size()));
        return msg;
    }

    XLportHandle m_tester = XL_INVALID_PORTHANDLE;
    int m_ecu = -1;
};

// Classic frames, one after the other: what is sent, how long the stand-in's
// clock runs on, and the one frame of the answer (empty: none).
TEST_F(EcuTest, ServicesNegativeAnswersAndTimeOutsInClassicFrames) {
    const struct Step {
        Bytes send;
        uint64_t ns;
        Bytes answer;
    } steps[] = {
        {{0x02, 0x10, 0x03, 0x55, 0x55, 0x55, 0x55, 0x55}, 0, {0x06, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4, 0xFF}},
        {{0x02, 0x3E, 0x00}, 0, Pad({0x02, 0x7E, 0x00})},
        {{0x02, 0x3E, 0x80}, 0, {}},  // suppressed positive answers
        {{0x02, 0x10, 0x81}, 0, {}},
        {{0x01, 0x85}, 0, Pad({0x03, 0x7F, 0x85, 0x11})},
        {{0x03, 0x10, 0x03, 0x00}, 0, Pad({0x03, 0x7F, 0x10, 0x13})},
        {{0x03, 0x22, 0xAB, 0xCD}, 0, Pad({0x03, 0x7F, 0x22, 0x31})},
        {{0x02, 0x22, 0xF1}, 0, Pad({0x03, 0x7F, 0x22, 0x13})},
        {{0x05, 0x2E, 0x12, 0x34, 0xAA, 0xBB}, 0, Pad({0x03, 0x6E, 0x12, 0x34})},
        {{0x03, 0x22, 0x12, 0x34}, 0, Pad({0x05, 0x62, 0x12, 0x34, 0xAA, 0xBB})},
        {{0x03, 0x2E, 0x12, 0x34}, 0, Pad({0x03, 0x7F, 0x2E, 0x13})},
        // Beyond 4095 bytes: overflow.
        {{0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0xBA, 0x00}, 0, Pad({0x32, 0x00, 0x00})},
        // No flow control within N_Bs: the answer is abandoned, and the ECU listens again.
        {{0x03, 0x22, 0xF1, 0x90}, 0, {0x10, 20, 0x62, 0xF1, 0x90, 'V', 'X', 'L'}},
        {{}, 1000000000, {}},
        {Pad({0x30, 0x00, 0x00}), 0, {}},
        {{0x02, 0x3E, 0x00}, 0, Pad({0x02, 0x7E, 0x00})},
        // Consecutive frames stop for N_Cr: the request is dropped.
        {{0x10, 0x0A, 0xBA, 1, 2, 3, 4, 5}, 0, Pad({0x30, 0x00, 0x00})},
        {{}, 1000000000, {}},
        {{0x21, 6, 7, 8, 9}, 10000000, {}},
    };
    size_t k = 0;
    auto run = [&](const Step &s) {
        ++k;
        if (!s.send.empty()) frame(s.send, false);
        EXPECT_EQ(s.answer, one(s.ns)) << "step " << k;
    };
    for (const Step &s : steps) run(s);
    // Response pending, for the configured service only; others answer after the delay alone.
    for (const auto &kv : {std::make_pair("pending", "1"), std::make_pair("pending_interval_ms", "100"),
                           std::make_pair("response_delay_ms", "5"), std::make_pair("pending_sid", "0x22")})
        set(kv.first, kv.second);
    for (const Step &s : {Step{{0x03, 0x22, 0x12, 0x34}, 5000000, Pad({0x03, 0x7F, 0x22, 0x78})},
                          Step{{}, 100000000, Pad({0x05, 0x62, 0x12, 0x34, 0xAA, 0xBB})},
                          Step{{0x02, 0x10, 0x01}, 5000000, {0x06, 0x50, 0x01, 0x00, 0x32, 0x01, 0xF4, 0xFF}}})
        run(s);
}

TEST_F(EcuTest, FramesOfTheAnswerClassicAndAtTxDl64And8) {
    Bytes vin = {0x62, 0xF1, 0x90};
    for (char c : std::string("VXLSIMECU00000000")) vin.push_back(uint8_t(c));
    Bytes echo = Echo(100);
    echo[0] = 0xFA;
    const struct {
        bool fd;
        const char *txDl;
        Bytes req, msg;
        std::vector<size_t> lengths;  // the ECU's frames on the bus
        std::vector<Bytes> heads;     // their first bytes
    } cases[] = {
        {false, "8", {0x22, 0xF1, 0x90}, vin, {8, 8, 8}, {{0x10, 20, 0x62}, {0x21}, {0x22}}},
        {true, "64", Echo(2), {0xFA, 0x01}, {8}, {{0x02, 0xFA, 0x01, 0xFF}}},
        {true, "8", Echo(2), {0xFA, 0x01}, {8}, {{0x02, 0xFA, 0x01, 0xFF}}},
        // VIN: 20 bytes, an escape single frame of 22 bytes padded to 24.
        {true, "64", {0x22, 0xF1, 0x90}, vin, {24}, {{0x00, 20, 0x62, 0xF1, 0x90, 'V'}}},
        {true, "8", {0x22, 0xF1, 0x90}, vin, {8, 8, 8}, {{0x10, 20, 0x62}, {0x21}, {0x22}}},
        // 100 bytes: the ECU's flow control (8 bytes), a first frame of TX_DL
        // with 62 bytes and the last 38 in 1 + 38 = 39 bytes padded to 48.
        {true, "64", Echo(100), echo, {8, 64, 48}, {{0x30, 0x00, 0x00, 0xFF}, {0x10, 100, 0xFA, 1}, {0x21, 62, 63}}},
        // At TX_DL 8: 6 bytes in the first frame, 13 full consecutive frames
        // and one with the last 3 bytes, padded to 8.
        {true, "8", Echo(100), echo, std::vector<size_t>(16, 8), {{0x30}, {0x10, 100, 0xFA}, {0x21, 6}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.fd ? "FD" : "classic") + ", TX_DL " + c.txDl + ", " + std::to_string(c.req.size()));
        set("can_fd", c.fd ? "on" : "off");
        set("tx_dl", c.txDl);
        request(c.req, c.fd);
        const std::vector<BusFrame> got = answer();
        ASSERT_EQ(c.lengths.size(), got.size());
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(c.lengths[k], got[k].length) << k;
            EXPECT_EQ(c.fd ? kFd : 0u, got[k].fdFlags) << k;
            const Bytes head = k < c.heads.size() ? c.heads[k] : Bytes{uint8_t(0x20 | (k - 1) % 16)};
            EXPECT_EQ(head, Bytes(got[k].data.begin(), got[k].data.begin() + long(head.size()))) << k;
        }
        EXPECT_EQ(c.msg, Message(got));
    }
}

TEST_F(EcuTest, VinChangesOnARunningEcuAndLongMessagesFormatsAndSettings) {
    set("vin", "ZZZZZZZZZZZZZZZZ9");
    request({0x22, 0xF1, 0x90}, false);
    const Bytes msg = Message(answer());
    ASSERT_EQ(20u, msg.size());
    EXPECT_EQ(std::string("ZZZZZZZZZZZZZZZZ9"), std::string(msg.begin() + 3, msg.end()));
    EXPECT_EQ(-1, vxlsim_ecu_set(m_ecu, "vin", "TOO SHORT"));

    // Above 4095 bytes the first frame carries FF_DL in 32 bits, both ways.
    set("can_fd", "on");
    set("tx_dl", "64");
    request(Echo(5000));
    std::vector<BusFrame> got = answer();
    ASSERT_EQ(1u + 1u + 79u, got.size());  // flow control, first frame (58 bytes), 4942 bytes in 79 frames
    EXPECT_EQ(Bytes({0x10, 0x00, 0x00, 0x00, 0x13, 0x88, 0xFA, 1}), Bytes(got[1].data.begin(), got[1].data.begin() + 8));
    EXPECT_EQ(64u, got[1].length);
    EXPECT_EQ(5000u, Message(got).size());

    // A classic request gets a classic answer; BRS only with a faster data phase.
    set("padding", "off");
    frame({0x02, 0x3E, 0x00}, false);
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
    set("can_fd", "off");
    request({0x3E, 0x00});
    EXPECT_TRUE(answer().empty());
    for (const char *bad : {"7", "9", "65", "0"}) EXPECT_EQ(-1, vxlsim_ecu_set(m_ecu, "tx_dl", bad)) << bad;
    EXPECT_EQ(-1, vxlsim_ecu_set(m_ecu, "can_fd", "maybe"));
}

}  // namespace
