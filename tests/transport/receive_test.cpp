// What reaches the host from the bus: the filters that select it, single
// frames, reassembly and its deadline, refused reads and writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "host.h"
#include "platform/platform.h"

namespace {

using Strings = std::vector<std::string>;

class Receive : public ::testing::Test {
protected:
    Receive() { host.open(); }

    uint32_t pass(uint32_t mask, uint32_t pattern, uint32_t type = PASS_FILTER, const PASSTHRU_MSG *flow = nullptr) {
        uint32_t id = 0;
        EXPECT_EQ(STATUS_NOERROR, host.startFilter(type, FilterMsg(4, mask), FilterMsg(4, pattern), flow, &id));
        return id;
    }

    // Single frames 02 50 01 from each id; the ids whose answer the host got.
    std::vector<uint32_t> delivered(std::vector<uint32_t> ids) {
        std::vector<uint32_t> out;
        for (uint32_t id : ids) {
            Inject(id, {0x02, 0x50, 0x01});
            for (const PASSTHRU_MSG &m : host.drain()) {
                ExpectMessage(m, id, {0x50, 0x01});
                out.push_back(IdOf(m));
            }
        }
        return out;
    }

    Host host{"TRACE=2\n"};
};

// A received id passes when it matches the pattern under the filter's mask;
// the hardware opens the pattern's id alone.
TEST_F(Receive, PassFiltersMatchUnderTheirMask) {
    const struct {
        uint32_t mask, pattern;
        std::vector<uint32_t> passed;
    } cases[] = {
        {0x7FF, 0x7E8, {0x7E8}},
        {0x7F0, 0x7E0, {0x7E0, 0x7E8, 0x7EF}},
        {0x700, 0x600, {0x600, 0x6E8}},
        {0x000, 0x000, {0x100, 0x600, 0x6E8, 0x7E0, 0x7E8, 0x7EF, 0x7F8}},
    };
    EXPECT_TRUE(delivered({0x7E8}).empty());
    EXPECT_TRUE(host.traced("PASSFilter none!"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mask);
        vxlsim_call_clear();
        const uint32_t id = pass(c.mask, c.pattern);
        EXPECT_EQ(std::vector<uint64_t>{c.pattern}, CallArgs("xlCanAddAcceptanceRange", 2));
        EXPECT_EQ(std::vector<uint64_t>{c.pattern}, CallArgs("xlCanAddAcceptanceRange", 3));
        EXPECT_EQ(c.passed, delivered({0x100, 0x600, 0x6E8, 0x7E0, 0x7E8, 0x7EF, 0x7F8}));
        EXPECT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(1, id));
    }
    // Block filters are kept and stopped like the others, but only the pass
    // filters decide what reaches the host: a block filter beside a pass
    // filter on the same id blocks nothing.
    const uint32_t passId = pass(0x7FF, 0x7E8), blockId = pass(0x7FF, 0x7E8, BLOCK_FILTER);
    EXPECT_NE(passId, blockId);
    EXPECT_EQ((std::vector<uint32_t>{0x7E8}), delivered({0x7E8}));
    EXPECT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(1, blockId));
    EXPECT_EQ(ERR_NOT_SUPPORTED, host.pt().StopMsgFilter(1, blockId));
    EXPECT_EQ((std::vector<uint32_t>{0x7E8}), delivered({0x7E8}));
}

// The flow-control filter's mask chooses the id a first frame is answered on;
// its flow id, not its pattern, is opened in hardware.
TEST_F(Receive, FlowControlFiltersMatchUnderTheirMask) {
    pass(0x700, 0x700);
    const PASSTHRU_MSG flow = FilterMsg(4, 0x7D0);
    vxlsim_call_clear();
    pass(0x7F0, 0x7E0, FLOW_CONTROL_FILTER, &flow);
    EXPECT_EQ(std::vector<uint64_t>{0x7D0}, CallArgs("xlCanAddAcceptanceRange", 2));
    Inject(0x7E9, {0x10, 0x0A, 0, 1, 2, 3, 4, 5});
    Inject(0x7F9, {0x10, 0x0A, 0, 1, 2, 3, 4, 5});
    EXPECT_TRUE(host.drain().empty());
    EXPECT_EQ((Strings{"7D0: 30 00 00 FF FF FF FF FF"}), BusLines());
    EXPECT_TRUE(host.traced("FIRST_FRAME ignored (no FLow Filter or own response"));
}

// A pattern started again shares its record: only its first id stops it,
// once per start.
TEST_F(Receive, StoppingAFilterCountsItsStarts) {
    const uint32_t first = pass(0x7FF, 0x7E8), second = pass(0x700, 0x7E8);
    pass(0x7FF, 0x7E8);
    EXPECT_TRUE(host.traced("Pass Filter reused..."));
    EXPECT_TRUE(delivered({0x7E9}).empty()) << "the mask of a reused record is not taken";
    for (uint32_t unknown : {second, first + 0x10000, 77u})
        EXPECT_EQ(ERR_NOT_SUPPORTED, host.pt().StopMsgFilter(1, unknown)) << unknown;
    EXPECT_TRUE(host.traced("Filter not found !!!"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(STATUS_NOERROR, host.pt().StopMsgFilter(1, first));
        EXPECT_EQ(i < 2 ? std::vector<uint32_t>{0x7E8} : std::vector<uint32_t>{}, delivered({0x7E8})) << i;
    }
    EXPECT_TRUE(host.traced("passFilter removed left 0"));
    EXPECT_EQ(ERR_NOT_SUPPORTED, host.pt().StopMsgFilter(1, first));
}

// A refused start keeps no filter; only an unknown type uses up an id.
TEST_F(Receive, RefusedFilterStartsKeepNothing) {
    const struct {
        const char *what;
        uint32_t type, status, maskSize, patternSize;  // size 0: no message
        bool filterId;
        const char *trace;
    } cases[] = {
        {"unknown type", 4, ERR_NOT_SUPPORTED, 4, 4, true, nullptr},
        {"mask of 3 bytes", PASS_FILTER, ERR_INVALID_MSG, 3, 4, true, nullptr},
        {"mask of 6 bytes", PASS_FILTER, ERR_INVALID_MSG, 6, 4, true, nullptr},
        {"no mask", PASS_FILTER, ERR_INVALID_MSG, 0, 4, true, "MaskMsg         void pointer!"},
        {"no pattern", PASS_FILTER, ERR_INVALID_MSG, 4, 0, true, "PatternMsg      void pointer!"},
        {"no id", PASS_FILTER, ERR_NULL_PARAMETER, 4, 4, false, "PassThruStartMsgFilter pFilterID is a NULL pointer"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PASSTHRU_MSG m = FilterMsg(c.maskSize, 0x7FF), p = FilterMsg(c.patternSize, 0x7E8);
        uint32_t id = 0xAAAA;
        EXPECT_EQ(c.status, host.pt().StartMsgFilter(1, c.type, c.maskSize ? &m : nullptr, c.patternSize ? &p : nullptr,
                                                     nullptr, c.filterId ? &id : nullptr));
        EXPECT_TRUE(!c.trace || host.traced(c.trace));
        EXPECT_EQ(c.type == 4 ? 1u : 0xAAAAu, id);
    }
    EXPECT_TRUE(delivered({0x7E8}).empty());
    EXPECT_EQ(2u, pass(0x7FF, 0x7E8));
}

// A start whose identifier the driver refuses to let through: by default it
// succeeds and only the trace tells, and the same start again only counts;
// the field profile refuses it and keeps nothing, so the host's retry opens
// the identifier. Without a port yet there is nothing to refuse.
TEST(FilterStart, RefusedAcceptance) {
    const char *const field = "TRACE=1\nFIELDPROFILE=1\n";
    const struct {
        const char *ini;
        uint32_t type, status;
        bool portOpen, retryOpens;
    } cases[] = {
        {field, PASS_FILTER, ERR_FAILED, true, true},
        {field, FLOW_CONTROL_FILTER, ERR_FAILED, true, true},
        {field, PASS_FILTER, STATUS_NOERROR, false, false},
        {"TRACE=1\n", PASS_FILTER, STATUS_NOERROR, true, false},
        {"TRACE=1\n", FLOW_CONTROL_FILTER, STATUS_NOERROR, true, false},
    };
    const PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7E8), flow = FilterMsg(4, 0x7E0);
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.ini << "type " << c.type << (c.portOpen ? "" : ", no port"));
        Host host(c.ini);
        if (c.portOpen) host.open();
        ASSERT_EQ(0, vxlsim_fail("xlCanAddAcceptanceRange", XL_ERR_WRONG_PARAMETER, 1));
        uint32_t first = 0, second = 0;
        EXPECT_EQ(c.status, host.startFilter(c.type, mask, pattern, &flow, &first));
        if (c.status != STATUS_NOERROR) {
            EXPECT_EQ("ER", host.levelOf("xlCanSetChannelAcceptance FAILED!!!! 0x0065 XL_ERR_WRONG_PARAMETER"));
        }
        if (!c.portOpen) host.open();
        vxlsim_call_clear();
        EXPECT_EQ(STATUS_NOERROR, host.startFilter(c.type, mask, pattern, &flow, &second));
        EXPECT_EQ(
            c.retryOpens ? std::vector<uint64_t>{c.type == PASS_FILTER ? 0x7E8u : 0x7E0u} : std::vector<uint64_t>{},
            CallArgs("xlCanAddAcceptanceRange", 2));
        if (c.type == PASS_FILTER) {
            ASSERT_EQ(0, vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x01}));
            EXPECT_EQ(c.status == STATUS_NOERROR && c.portOpen ? 0u : 1u, host.drain().size());
        }
        // The second start has a record of its own only where the first kept none.
        EXPECT_EQ(c.retryOpens ? STATUS_NOERROR : ERR_NOT_SUPPORTED, host.pt().StopMsgFilter(1, second));
    }
}

TEST_F(Receive, SingleFramesAndFramesWithoutAPlace) {
    host.listen(0x7E8, 0x7E0);
    host.listen(0x640, 0x6F1, 0xF1, 0xF1);
    const struct {
        uint32_t id;
        Bytes frame, payload;
        bool delivered;
        const char *trace;
    } cases[] = {
        {0x7E8, {0x03, 0x62, 0xF1, 0x90, 0xFF, 0xFF, 0xFF, 0xFF}, {0x62, 0xF1, 0x90}, true, nullptr},
        {0x7E8, {0x00}, {}, true, nullptr},
        {0x640, {0xF1, 0x06, 1, 2, 3, 4, 5, 6}, Counting(6, 1), true, "b_ExtendedAdress does machtch!"},
        {0x640, {0xF2, 0x02, 0x50, 0x01}, {}, false, "b_ExtendedAdress does not machtch! 00f2 00f1"},
        {0x7E8, {0x07, 0x62, 0xF1}, {}, false, "SINGLE_FRAME length 7 exceeds frame, dropped"},
        {0x640, {0xF1, 0x07, 1, 2, 3, 4, 5, 6}, {}, false, "SINGLE_FRAME length 7 exceeds frame, dropped"},
        {0x7E8, {}, {}, false, "Frame without protocol control information dropped"},
        {0x7E8, {0x45, 0, 0}, {}, false, "unknown Multibyte response 0x45 !"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(FrameLine(c.id, c.frame));
        Inject(c.id, c.frame);
        const auto got = host.drain();
        ASSERT_EQ(c.delivered ? 1u : 0u, got.size());
        if (c.delivered) ExpectMessage(got[0], c.id, c.payload);
        EXPECT_TRUE(!c.trace || host.tracedStartingWith(c.trace)) << c.trace;
    }
    EXPECT_TRUE(host.tracedStartingWith(
        "RAW-CAN--RX CanId 0007e8 [      ] Len=  8     Data: 0x03 0x62 0xF1 0x90 0xFF 0xFF 0xFF 0xFF "));
    EXPECT_EQ("ER", host.levelOf("unknown Multibyte response 0x45 !"));
    EXPECT_TRUE(BusLines().empty());
}

// Consecutive frames that continue nothing are dropped and say why; the
// reassembly in progress goes on, as long as its frames keep coming.
TEST_F(Receive, ConsecutiveFramesAndTheReassemblyDeadline) {
    host.listen(0x7E8, 0x7E0);
    host.listen(0x7E9, 0x7E1);
    Inject(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_TRUE(host.drain().empty());
    EXPECT_TRUE(host.traced("Error CONSECUTIVE_FRAME  0"));
    Inject(0x7E8, {0x10, 0x0A, 0, 1, 2, 3, 4, 5});
    Inject(0x7E9, {0x21, 1, 2, 3, 4, 5, 6, 7});
    Inject(0x7E8, {0x22, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_TRUE(host.drain().empty());
    EXPECT_TRUE(host.traced("Error CONSECUTIVE_FRAME  -2"));
    EXPECT_TRUE(host.traced("Error CONSECUTIVE_FRAME  -3"));
    Inject(0x7E8, {0x21, 6, 7, 8, 9, 0xFF, 0xFF, 0xFF});
    const auto got = host.drain();
    ASSERT_EQ(1u, got.size());
    ExpectMessage(got[0], 0x7E8, Counting(10));

    // A sender may pause between consecutive frames: the deadline of 900 ms
    // runs from the last frame that arrived, not from the first frame.
    Inject(0x7E8, {0x10, 0x1B, 0, 1, 2, 3, 4, 5});
    EXPECT_TRUE(host.drain().empty());
    for (uint8_t sn = 1; sn <= 3; ++sn) {
        plat::SleepMs(450);
        Inject(0x7E8, Cat({static_cast<uint8_t>(0x20 | sn)}, Counting(7, static_cast<uint8_t>(6 + (sn - 1) * 7))));
        const auto whole = host.drain();
        ASSERT_EQ(sn == 3 ? 1u : 0u, whole.size()) << "consecutive frame " << int(sn);
        if (sn == 3) ExpectMessage(whole[0], 0x7E8, Counting(27));
    }
    EXPECT_FALSE(host.tracedStartingWith("RX TIMEOUT"));

    // A sender that stops for good: the record goes, a late frame finds nothing.
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    EXPECT_TRUE(host.drain().empty());
    EXPECT_TRUE(host.awaitTraced("RX TIMEOUT m_rxBuffer removed from list ... SeqID=3"));
    Inject(0x7E8, {0x21, 6, 7, 8, 9, 10, 11, 12});
    EXPECT_TRUE(host.drain().empty());
    EXPECT_EQ(2u, host.tracedCount("Error CONSECUTIVE_FRAME  0"));
}

// Frames the driver marks, and events that are no frames, never reach the
// host; error frames and unknown events are counted and reported.
TEST_F(Receive, MarkedFramesAndOtherEventsAreHeldBack) {
    host.listen(0x7E8, 0x7E0);
    const Strings scopes = {"Queue rx XL_CAN_MSG_FLAG_OVERRUN", "Queue rx XL_CAN_MSG_FLAG_NERR ",
                            "Queue rx XL_CAN_MSG_FLAG_WAKEUP", "Queue rx XL_CAN_MSG_FLAG_REMOTE_FRAME",
                            "Queue rx XL_CAN_MSG_FLAG_TX_REQUEST"};
    for (uint16_t flags : {XL_CAN_MSG_FLAG_OVERRUN | XL_CAN_MSG_FLAG_TX_COMPLETED, XL_CAN_MSG_FLAG_NERR,
                           XL_CAN_MSG_FLAG_WAKEUP, XL_CAN_MSG_FLAG_REMOTE_FRAME, XL_CAN_MSG_FLAG_TX_REQUEST,
                           XL_CAN_MSG_FLAG_ERROR_FRAME, XL_CAN_MSG_FLAG_ERROR_FRAME})
        ASSERT_EQ(1, vxlsim::InjectFrame(-1, 0, 0x7E8, {0x02, 0x50, 0x01}, flags));
    XLevent timer{};
    timer.tag = XL_TIMER;
    ASSERT_EQ(1, vxlsim_inject_event(-1, 0, &timer, 1));
    EXPECT_TRUE(host.drain().empty());
    const Strings columns = host.library().traceMessages();
    for (const std::string &scope : scopes) EXPECT_EQ(2, std::count(columns.begin(), columns.end(), scope)) << scope;
    // Reported at most once a second: the second error frame only counts.
    EXPECT_EQ("FE", host.levelOf("Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted 1 time(s)"));
    EXPECT_FALSE(host.tracedStartingWith("Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted 2"));
    EXPECT_TRUE(host.traced("RX-INFO TIMER c=0, t=0"));
    EXPECT_EQ("FE", host.levelOf("Queue rx unknown 8 --> has counted 1 time(s) !!!"));
}

TEST_F(Receive, RefusedReadsAndWritesSayWhy) {
    std::vector<PASSTHRU_MSG> msgs(20);
    const struct {
        bool write, withNum;
        PASSTHRU_MSG *msg;
        uint32_t num, status;
        const char *trace, *level = "ER";
    } cases[] = {
        {false, true, msgs.data(), 20, ERR_DEVICE_NOT_CONNECTED, "CountReadMessage (20) >=ulNumberMsg (20)", "IN"},
        {false, true, nullptr, 1, ERR_NULL_PARAMETER, "PassThruReadMsgs pMsg is a NULL pointer"},
        {false, false, msgs.data(), 1, ERR_NULL_PARAMETER, "PassThruReadMsgs pNumMsgs is a NULL pointer"},
        {true, true, nullptr, 1, ERR_NULL_PARAMETER, "PassThruWriteMsgs pMsg is a NULL pointer"},
        {true, false, msgs.data(), 1, ERR_NULL_PARAMETER, "PassThruWriteMsgs pNumMsgs is a NULL pointer"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.trace);
        uint32_t num = c.num;
        const auto call = c.write ? host.pt().WriteMsgs : host.pt().ReadMsgs;
        EXPECT_EQ(c.status, call(1, c.msg, c.withNum ? &num : nullptr, 0));
        EXPECT_EQ(c.level, host.levelOf(c.trace));
    }
    EXPECT_TRUE(BusLines().empty());
    // The timeout plays no part: an empty queue answers at once.
    uint32_t num = 19;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ERR_BUFFER_EMPTY, host.pt().ReadMsgs(1, msgs.data(), &num, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(0u, num);
}

// With bit 4 of TRACE the frames of every message go to pdu_trace.log: the
// id, the address byte a filter expects (0x00 without one), the data.
TEST(PduTrace, ListsIdAddressBytesAndData) {
    Host host("TRACE=17\n");
    host.open();
    host.listen(0x640, 0x6F1, 0xF1, 0x40);
    host.listen(0x7E8, 0x7E0);
    Inject(0x640, {0xF1, 0x02, 0x50, 0x01});
    Inject(0x7E8, {0x03, 0x62, 0xF1, 0x90});
    ASSERT_EQ(2u, host.drain().size());
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x6F1, {0x40, 0x10, 0x03}, ISO15765_ADDR_TYPE)));
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, {})));  // nothing but the id
    host.library().unload();
    Strings pdu;
    for (const std::string &line : ReadLines(host.library().pduPath())) pdu.push_back(line.substr(19));
    EXPECT_EQ((Strings{" pt_vector 00.16 loaded, PDU trace on", " CAN-RX 0x0640 0xf1 0x50 0x01 ",
                       " CAN-RX 0x07e8 0x00 0x62 0xf1 0x90 ", " CAN-TX 0x06f1 0x40 0x10 0x03 ", " CAN-TX "}),
              pdu);
}

}  // namespace
