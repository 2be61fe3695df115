#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fg/functional_group.h"
#include "fg_messages.h"
#include "trace_capture.h"

using namespace fgtest;

namespace {

const char kWrongSid[] = "7f with wrong SID -> passing to CM , not a PDU for the FG!";

// A group that sent service 0x22 to the ECUs answering on 0x7E8 and 0x7E9.
class Aggregation : public ::testing::Test {
protected:
    void SetUp() override { Start(fg); }

    static void Start(COrvFunctionalGroup &group) {
        PASSTHRU_MSG request = Request(0x7DF, {0x22, 0xF1, 0x90}, {Entry(0x7E0, 0x7E8), Entry(0x7E1, 0x7E9)});
        ASSERT_EQ(group.decode(&request), 4);
    }

    bool Offer(uint32_t canId, const std::vector<uint8_t> &payload, bool *pending = nullptr) {
        PASSTHRU_MSG msg = Response(canId, payload);
        return fg.encode(&msg, pending);
    }

    PASSTHRU_MSG Deliver(uint32_t canId) {
        PASSTHRU_MSG out{};
        out.Timestamp = 777;
        fg.prepareToSendResponses(&out, canId);
        return out;
    }

    COrvFunctionalGroup fg;
};

TEST_F(Aggregation, ResponsesOfTheGroupBecomeOneMessage) {
    TraceCapture capture;
    EXPECT_TRUE(Offer(0x7E8, {0x62, 0xF1, 0x90, 0x41}));
    EXPECT_FALSE(Offer(0x7EA, {0x62, 0xF1, 0x90, 0x42})) << "not in the table: for the host";
    EXPECT_TRUE(Offer(0x7E9, {0x62, 0xF1, 0x90}));
    EXPECT_EQ(fg.responseCount(), 2);
    capture.clear();

    PASSTHRU_MSG out = Deliver(0x12345678);

    const std::vector<uint8_t> expected = {0x12, 0x34, 0x56, 0x78, 0x62, 0x02, 0x00,
                                           0x04, 0x00, 0xE8, 0x07, 0x00, 0x00, 0x62, 0xF1, 0x90, 0x41,
                                           0x03, 0x00, 0xE9, 0x07, 0x00, 0x00, 0x62, 0xF1, 0x90};
    EXPECT_EQ(DataOf(out), expected);
    EXPECT_EQ(out.Timestamp, 777u);
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{
                  "FG response 26 bytes: 0x12 0x34 0x56 0x78 0x62 0x02 0x00 0x04 0x00 0xe8 0x07 "
                  "0x00 0x00 0x62 0xf1 0x90 0x41 0x03 0x00 0xe9 0x07 0x00 0x00 0x62 0xf1 0x90 ",
                  " ISO15765-RX-FG CanId=0x5678 Len=22 TS=000000777  Data: "}));
    EXPECT_EQ(capture.columns().front(), "COrvFunctionalGroup::prepareToSendResponses()");

    // Back to idle: the next response of a former member goes to the host.
    EXPECT_FALSE(fg.isTimerSet());
    EXPECT_EQ(fg.responseCount(), 0);
    EXPECT_TRUE(fg.entries().empty());
    EXPECT_FALSE(Offer(0x7E8, {0x62, 0xF1, 0x90}));
}

TEST_F(Aggregation, AnswersAreTakenOrLeftToTheHost) {
    const struct {
        const char *name;
        uint32_t canId;
        std::vector<uint8_t> payload;
        bool taken;
        bool pending;
        std::vector<std::string> messages;  // checked for answers left to the host
    } cases[] = {
        {"unknown sender", 0x7EA, {0x7F, 0x22, 0x78}, false, false, {}},
        {"response pending", 0x7E8, {0x7F, 0x22, 0x78}, false, true, {"m_bRespondPending = true"}},
        {"other negative answer", 0x7E9, {0x7F, 0x22, 0x31}, true, false, {}},
        {"pending for another service", 0x7E8, {0x7F, 0x10, 0x78}, false, false, {kWrongSid}},
        {"negative for another service", 0x7E8, {0x7F, 0x10, 0x31}, false, false, {kWrongSid}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        COrvFunctionalGroup group;
        Start(group);
        TraceCapture capture;
        bool pending = !c.pending;
        PASSTHRU_MSG msg = Response(c.canId, c.payload);

        EXPECT_EQ(c.taken, group.encode(&msg, &pending));

        EXPECT_EQ(c.pending, pending);
        EXPECT_EQ(c.pending, group.isRespondPending());
        EXPECT_EQ(c.taken ? 1 : 0, group.responseCount());
        if (!c.taken) {
            EXPECT_EQ(c.messages, capture.messages());
        }
    }
}

TEST_F(Aggregation, ResponsePendingIsTracedAndOutlivesLaterAnswers) {
    TraceCapture capture;
    bool pending = false;
    EXPECT_FALSE(Offer(0x7E8, {0x7F, 0x22, 0x78}, &pending));
    auto columns = capture.columns();
    EXPECT_EQ(columns.front(), "COrvFunctionalGroup::encode()");
    EXPECT_EQ(columns[1], "COrvFunctionalGroup::doHandlingFor7fxx78(RxMsgP msg)");

    // Later answers clear the caller's flag but not the group's.
    EXPECT_TRUE(Offer(0x7E8, {0x62, 0xF1, 0x90}, &pending));
    EXPECT_FALSE(pending);
    EXPECT_TRUE(fg.isRespondPending());
}

// Matching looks at the low 16 bits of the id, the record keeps all four
// bytes; short and empty payloads are ordinary answers.
TEST_F(Aggregation, RecordsKeepTheWholeIdAndAnyPayload) {
    EXPECT_TRUE(Offer(0x180007E8, {0x62}));
    EXPECT_TRUE(Offer(0x7E8, {0x7F, 0x22}));
    EXPECT_TRUE(Offer(0x7E9, {}));
    EXPECT_EQ(DataOf(Deliver(0x7FF)), (std::vector<uint8_t>{0x00, 0x00, 0x07, 0xFF, 0x62, 0x03, 0x00,
                                                            0x01, 0x00, 0xE8, 0x07, 0x00, 0x18, 0x62,
                                                            0x02, 0x00, 0xE8, 0x07, 0x00, 0x00, 0x7F, 0x22,
                                                            0x00, 0x00, 0xE9, 0x07, 0x00, 0x00}));
}

TEST_F(Aggregation, MalformedArgumentsChangeNothing) {
    PASSTHRU_MSG tooShort = Response(0x7E8, {});
    tooShort.DataSize = 3;
    EXPECT_FALSE(fg.encode(&tooShort));
    PASSTHRU_MSG tooLong = Response(0x7E8, {0x62});
    tooLong.DataSize = PT_MSG_DATA_SIZE + 1;
    EXPECT_FALSE(fg.encode(&tooLong));
    EXPECT_FALSE(fg.encode(nullptr));
    EXPECT_EQ(fg.responseCount(), 0);

    // Delivery without a buffer keeps the responses.
    ASSERT_TRUE(Offer(0x7E8, {0x62}));
    fg.prepareToSendResponses(nullptr, 0x7FF);
    EXPECT_EQ(fg.responseCount(), 1);
    EXPECT_TRUE(fg.isTimerSet());
}

// The aggregated message is 7 bytes plus the records and must fit into Data:
// a response that would overflow it is left to the host, and smaller ones
// that still fit are taken.
TEST_F(Aggregation, ResponseThatNoLongerFitsGoesToTheHost) {
    TraceCapture capture;
    const std::vector<uint8_t> kilobyte(1000, 0x5A);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Offer(0x7E8, kilobyte));  // 7 + 4 * 1006 = 4031
    capture.clear();

    EXPECT_FALSE(Offer(0x7E9, kilobyte));
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"FG response not aggregated, aggregated message full (4031 + 1006 > 4128)"});

    EXPECT_TRUE(Offer(0x7E9, std::vector<uint8_t>(84, 0x11)));  // 4031 + 90 = 4121
    EXPECT_FALSE(Offer(0x7E9, std::vector<uint8_t>(2, 0x22)));  // 4121 + 8 > 4128
    EXPECT_TRUE(Offer(0x7E9, std::vector<uint8_t>(1, 0x33)));   // exactly 4128

    PASSTHRU_MSG out = Deliver(0x7FF);
    ASSERT_EQ(out.DataSize, PT_MSG_DATA_SIZE);
    EXPECT_EQ(out.Data[5], 6);
    EXPECT_EQ(out.Data[6], 0);
    // The last record: length 1, id E9 07 00 00, payload 33.
    EXPECT_EQ(std::vector<uint8_t>(out.Data + PT_MSG_DATA_SIZE - 7, out.Data + PT_MSG_DATA_SIZE),
              (std::vector<uint8_t>{0x01, 0x00, 0xE9, 0x07, 0x00, 0x00, 0x33}));
}

}  // namespace
