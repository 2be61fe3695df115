// The raw CAN channel: filters as 04.04 has them, 11- and 29-bit
// identifiers, blocking reads, writes with a time-out, loopback, periodic
// messages and the Ioctls that clear.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "host0404.h"

namespace {

constexpr uint32_t kExt = XL_CAN_EXT_MSG_ID;
const Bytes kIdMask = {0xFF, 0xFF, 0xFF, 0xFF};

std::vector<Bytes> Received(const std::vector<PASSTHRU_MSG> &msgs) {
    std::vector<Bytes> out;
    for (const PASSTHRU_MSG &m : msgs) out.push_back(DataOf(m));
    return out;
}

TEST(CanChannel0404, NothingIsQueuedWithoutAPassFilterAndABlockFilterBlocks) {
    Host0404 host;
    host.openChannel(CAN);
    vxlsim::BusSend(0, 0x100, {1});
    EXPECT_TRUE(host.read(1, 20).empty());

    // Pass 0x100..0x1FF, block 0x1F0..0x1FF, and block data byte 0 == 0xEE on any id.
    ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0xFF, 0xFF, 0xFF, 0x00}, IdBytes(0x100)));
    ASSERT_EQ(STATUS_NOERROR, host.passFilter(BLOCK_FILTER, {0xFF, 0xFF, 0xFF, 0xF0}, IdBytes(0x1F0)));
    uint32_t blockData = 0;
    ASSERT_EQ(STATUS_NOERROR, host.passFilter(BLOCK_FILTER, {0, 0, 0, 0, 0xFF}, {0, 0, 0, 0, 0xEE}, &blockData));
    const struct {
        uint32_t id;
        Bytes data;
        bool queued;
    } frames[] = {
        {0x100, {1, 2}, true}, {0x1EF, {3}, true},     {0x1F0, {4}, false}, {0x1FF, {}, false},
        {0x200, {5}, false},   {0x180, {0xEE}, false}, {0x181, {}, true},
    };
    std::vector<Bytes> expected;
    for (const auto &f : frames) {
        vxlsim::BusSend(0, f.id, f.data);
        if (f.queued) expected.push_back(With(f.id, f.data));
    }
    EXPECT_EQ(expected, Received(host.read(10, 100)));

    // Without the data block filter, the frame it blocked comes through.
    ASSERT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(host.channel(), blockData));
    vxlsim::BusSend(0, 0x180, {0xEE});
    EXPECT_EQ((std::vector<Bytes>{With(0x180, {0xEE})}), Received(host.read(1, 1000)));
    // CLEAR_MSG_FILTERS: nothing comes any more.
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(host.channel(), CLEAR_MSG_FILTERS, nullptr, nullptr));
    vxlsim::BusSend(0, 0x100, {1});
    EXPECT_TRUE(host.read(1, 20).empty());
}

TEST(CanChannel0404, FilterRefusals) {
    Host0404 host;
    host.openChannel(CAN);
    for (uint32_t i = 0; i <= 10; ++i)  // ten of each kind
        for (uint32_t type : {PASS_FILTER, BLOCK_FILTER})
            EXPECT_EQ(i < 10 ? STATUS_NOERROR : ERR_EXCEEDED_LIMIT,
                      host.passFilter(type, kIdMask, IdBytes(type == PASS_FILTER ? i : 0x700 + i)));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(host.channel(), CLEAR_MSG_FILTERS, nullptr, nullptr));

    PASSTHRU_MSG mask = Msg0404(CAN, 0xFFFFFFFF, {}), pattern = Msg0404(CAN, 0x7E8, {}),
                 iso = Msg0404(ISO15765, 0x7E8, {}), shorter = pattern;
    shorter.DataSize = 3;
    uint32_t id = 0;
    const struct {
        const char *what;
        uint32_t type;
        PASSTHRU_MSG *mask, *pattern, *flow;
        uint32_t *id;
        uint32_t status;
    } cases[] = {
        {"flow-control filter", FLOW_CONTROL_FILTER, &mask, &pattern, &pattern, &id, ERR_NOT_SUPPORTED},
        {"unknown type", 9, &mask, &pattern, nullptr, &id, ERR_FAILED},
        {"flow message with a pass filter", PASS_FILTER, &mask, &pattern, &pattern, &id, ERR_INVALID_MSG},
        {"pattern of another protocol", PASS_FILTER, &mask, &iso, nullptr, &id, ERR_MSG_PROTOCOL_ID},
        {"sizes differ", PASS_FILTER, &mask, &shorter, nullptr, &id, ERR_INVALID_MSG},
        {"no mask", PASS_FILTER, nullptr, &pattern, nullptr, &id, ERR_NULL_PARAMETER},
        {"no id", PASS_FILTER, &mask, &pattern, nullptr, nullptr, ERR_NULL_PARAMETER},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.status, host.pt().StartMsgFilter(host.channel(), c.type, c.mask, c.pattern, c.flow, c.id))
            << c.what;
}

TEST(CanChannel0404, ElevenAndTwentyNineBitIdentifiers) {
    const struct {
        uint32_t flags;
        bool takes11, takes29;
    } cases[] = {
        {0, true, false},
        {CAN_29BIT_ID, false, true},
        {CAN_ID_BOTH, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags);
        Host0404 host;
        host.openChannel(CAN, c.flags);
        ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
        vxlsim::BusSend(0, 0x7E8, {1});
        vxlsim::BusSend(0, 0x18DAF110 | kExt, {2});
        std::vector<PASSTHRU_MSG> got = host.read(2, 100);
        ASSERT_EQ(size_t{c.takes11} + size_t{c.takes29}, got.size());
        if (c.takes29) {
            EXPECT_EQ(With(0x18DAF110, {2}), DataOf(got.back()));
            EXPECT_EQ(CAN_29BIT_ID, got.back().RxStatus);
        }
        EXPECT_EQ(0u, c.takes11 ? got.front().RxStatus : 0u);

        // A message the channel cannot carry is refused; what it can goes out as given.
        vxlsim_capture_clear();
        EXPECT_EQ(c.takes11 ? STATUS_NOERROR : ERR_INVALID_MSG, host.write(Msg0404(CAN, 0x7E0, {0x11})));
        EXPECT_EQ(c.takes29 ? STATUS_NOERROR : ERR_INVALID_MSG,
                  host.write(Msg0404(CAN, 0x18DA10F1, {0x22}, CAN_29BIT_ID)));
        EXPECT_EQ(ERR_INVALID_MSG, host.write(Msg0404(CAN, c.takes11 ? 0x800 : 0x20000000, {}, c.takes11 ? 0 : CAN_29BIT_ID)));
        std::vector<std::string> expected;
        if (c.takes11) expected.push_back("7E0: 11");
        if (c.takes29) expected.push_back("18DA10F1: 22");
        EXPECT_EQ(expected, BusLines());
    }
}

TEST(CanChannel0404, WriteRefusesWhatIsNoCanMessageAndLoopsBackWhatWent) {
    Host0404 host;
    host.openChannel(CAN);
    PASSTHRU_MSG tooLong = Msg0404(CAN, 0x7E0, Bytes(9, 0)), tooShort = Msg0404(CAN, 0x7E0, {});
    tooShort.DataSize = 3;
    const struct {
        const char *what;
        PASSTHRU_MSG msg;
        uint32_t status;
    } cases[] = {
        {"nine data bytes", tooLong, ERR_INVALID_MSG},
        {"no whole identifier", tooShort, ERR_INVALID_MSG},
        {"ISO15765 message", Msg0404(ISO15765, 0x7E0, {1}), ERR_MSG_PROTOCOL_ID},
    };
    for (const auto &c : cases) {
        uint32_t num = 9;
        EXPECT_EQ(c.status, host.write(c.msg, 0, &num)) << c.what;
        EXPECT_EQ(0u, num) << c.what;
    }
    // Two good ones around a bad one: the first goes, the count says one.
    PASSTHRU_MSG three[3] = {Msg0404(CAN, 0x7E0, {1}), tooLong, Msg0404(CAN, 0x7E0, {3})};
    uint32_t num = 3;
    EXPECT_EQ(ERR_INVALID_MSG, host.pt().WriteMsgs(host.channel(), three, &num, 0));
    EXPECT_EQ(1u, num);
    EXPECT_EQ((std::vector<std::string>{"7E0: 01"}), BusLines());

    // Loopback returns what the bus confirmed, once it is on.
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(CAN, 0x7E0, {1}), 1000));
    EXPECT_TRUE(host.read(1, 20).empty());
    ASSERT_EQ(STATUS_NOERROR, host.setConfig(LOOPBACK, 1));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg0404(CAN, 0x7E0, {2, 3}), 1000));
    std::vector<PASSTHRU_MSG> got = host.read(1, 1000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(TX_MSG_TYPE, got[0].RxStatus);
    EXPECT_EQ(With(0x7E0, {2, 3}), DataOf(got[0]));
}

// With a Timeout, WriteMsgs returns once the bus confirmed the frames; a bus
// that does not confirm in time gives ERR_TIMEOUT and the count it did.
TEST(CanChannel0404, WritesWithATimeoutWaitForTheBus) {
    Host0404 host;
    host.openChannel(CAN);
    vxlsim_set_real_timing(1);
    PASSTHRU_MSG two[2] = {Msg0404(CAN, 0x7E0, Bytes(8, 1)), Msg0404(CAN, 0x7E0, Bytes(8, 2))};
    uint32_t num = 2;
    EXPECT_EQ(STATUS_NOERROR, host.pt().WriteMsgs(host.channel(), two, &num, 1000));
    EXPECT_EQ(2u, num);
    EXPECT_EQ(2u, BusLines().size());

    vxlsim_set_manual_clock(1);  // the bus stands still: nothing completes
    num = 2;
    EXPECT_EQ(ERR_TIMEOUT, host.pt().WriteMsgs(host.channel(), two, &num, 30));
    EXPECT_EQ(0u, num);
    EXPECT_EQ("Timeout expired before every message was on the bus", host.lastError());
    vxlsim_set_manual_clock(0);
}

TEST(CanChannel0404, PeriodicMessagesGoOutOnTheirPeriod) {
    Host0404 host;
    host.openChannel(CAN);
    PASSTHRU_MSG tester = Msg0404(CAN, 0x7DF, {0x02, 0x3E, 0x80});
    uint32_t id = 0;
    EXPECT_EQ(ERR_INVALID_TIME_INTERVAL, host.pt().StartPeriodicMsg(host.channel(), &tester, &id, 4));
    EXPECT_EQ(ERR_INVALID_TIME_INTERVAL, host.pt().StartPeriodicMsg(host.channel(), &tester, &id, 65536));
    PASSTHRU_MSG iso = Msg0404(ISO15765, 0x7DF, {1});
    EXPECT_EQ(ERR_MSG_PROTOCOL_ID, host.pt().StartPeriodicMsg(host.channel(), &iso, &id, 100));
    ASSERT_EQ(STATUS_NOERROR, host.pt().StartPeriodicMsg(host.channel(), &tester, &id, 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(230));
    ASSERT_EQ(STATUS_NOERROR, host.pt().StopPeriodicMsg(host.channel(), id));
    const std::vector<vxlsim_frame> sent = vxlsim::Captured();
    ASSERT_GE(sent.size(), 8u);
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < sent.size(); ++i) gaps.push_back(sent[i].wall_ns - sent[i - 1].wall_ns);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_NEAR(20.0, gaps[gaps.size() / 2] / 1e6, 2.0);
    EXPECT_EQ(FrameLine(0x7DF, {0x02, 0x3E, 0x80}), BusLines().front());
    // Stopped: nothing more.
    vxlsim_capture_clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, vxlsim_capture_count());

    // Ten per channel; CLEAR_PERIODIC_MSGS ends them all.
    for (uint32_t i = 0; i <= 10; ++i)
        EXPECT_EQ(i < 10 ? STATUS_NOERROR : ERR_EXCEEDED_LIMIT,
                  host.pt().StartPeriodicMsg(host.channel(), &tester, &id, 1000));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Ioctl(host.channel(), CLEAR_PERIODIC_MSGS, nullptr, nullptr));
    EXPECT_EQ(STATUS_NOERROR, host.pt().StartPeriodicMsg(host.channel(), &tester, &id, 1000));
}

}  // namespace
