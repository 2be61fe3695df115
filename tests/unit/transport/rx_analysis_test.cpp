#include <memory>

#include "trace/trace_clock.h"
#include "transport/rx_analysis.h"
#include "transport_world.h"

namespace {

class RxAnalysisTest : public TransportWorld {
protected:
    static CanFrame Frame(uint32_t id, const Bytes &data, uint16_t flags = 0) {
        CanFrame frame{};
        frame.frameType = CAN_FRAME_TYPE_FRAME;
        frame.frameFlags = flags;
        frame.id = id;
        frame.dlc = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.begin() + std::min<size_t>(data.size(), 8), frame.data);
        frame.timeMs = 1234;
        frame.timeUs = 567;
        return frame;
    }

    // Analyses one frame; returns the message it completed, if any.
    std::unique_ptr<PASSTHRU_MSG> Analyze(const CanFrame &frame) {
        auto msg = std::make_unique<PASSTHRU_MSG>();
        uint32_t num = 99;
        AnalyzeRxCanMessage(&frame, 1, msg.get(), &num);
        EXPECT_LE(num, 1u);
        if (num == 0) return nullptr;
        return msg;
    }

    static Bytes WithPad(Bytes b) {
        b.resize(8, 0xFF);
        return b;
    }

    static RxBufferEntry *OnlyRxRecord() {
        return theModule.m_rxBuffer.size() == 1 ? theModule.m_rxBuffer.front().get() : nullptr;
    }

    // A segmentation record of ours, waiting for the peer's flow control.
    static TxBufferEntry &WaitingTx(uint32_t canId, uint16_t cfCount, uint8_t extFlag = 0) {
        auto entry = std::make_unique<TxBufferEntry>();
        entry->canId = canId;
        entry->state = STATE_TX_WAIT_FC;
        entry->cfCount = cfCount;
        entry->bs = 8;
        entry->act_blk = 0xFF;
        entry->extFlag = extFlag;
        entry->timeoutMs = NowMs() + 1000;
        TxBufferEntry &ref = *entry;
        AppendRecord(theModule.m_txBuffer, theModule.m_txBufferCount, std::move(entry));
        return ref;
    }
};

TEST_F(RxAnalysisTest, NoFramesGiveNoMessagesAndOnlyTheMainScope) {
    uint32_t num = 7;
    AnalyzeRxCanMessage(nullptr, 0, nullptr, &num);
    EXPECT_EQ(0u, num);
    EXPECT_EQ((std::vector<std::string>{"AnalyzeRxCanMessage (main)", "AnalyzeRxCanMessage (main)"}),
              trace().columns());
}

TEST_F(RxAnalysisTest, FrameWithoutAnyPassFilterIsDropped) {
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x02, 0x50, 0x01})));
    EXPECT_TRUE(traced("PASSFilter none!"));
}

TEST_F(RxAnalysisTest, SingleFrameBecomesOneMessage) {
    ListenTo(0x7E8, 0x7E0);
    auto msg = Analyze(Frame(0x7E8, WithPad({0x03, 0x62, 0xF1, 0x90})));
    ASSERT_NE(nullptr, msg);
    EXPECT_EQ(ISO15765, msg->ProtocolID);
    EXPECT_EQ(0u, msg->RxStatus);
    EXPECT_EQ(0u, msg->TxFlags);
    EXPECT_EQ(0u, msg->ExtraDataIndex);
    EXPECT_EQ(1234u * 1000u + 567u, msg->Timestamp);
    EXPECT_EQ((Bytes{0x00, 0x00, 0x07, 0xE8, 0x62, 0xF1, 0x90}), DataOf(*msg));
    EXPECT_TRUE(traced("RAW-CAN--RX CanId 0007e8 [      ] Len=  8     Data: 0x03 0x62 0xF1 0x90 0xFF "
                       "0xFF 0xFF 0xFF  00001234.567"));
    EXPECT_TRUE(traced("PASS Frame: passed 07E8 07E8 07FF 07E8"));
}

TEST_F(RxAnalysisTest, EmptySingleFrameCarriesOnlyTheId) {
    ListenTo(0x7E8, 0x7E0);
    auto msg = Analyze(Frame(0x7E8, {0x00}));
    ASSERT_NE(nullptr, msg);
    EXPECT_EQ(4u, msg->DataSize);
}

TEST_F(RxAnalysisTest, SingleFrameClaimingMoreThanItCarriesIsDropped) {
    ListenTo(0x7E8, 0x7E0);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x07, 0x62, 0xF1})));  // dlc 3
    EXPECT_TRUE(traced("SINGLE_FRAME length 7 exceeds frame, dropped"));
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, WithPad({0x08, 0x62}))));  // more than 7 ever fit
    EXPECT_TRUE(traced("SINGLE_FRAME length 8 exceeds frame, dropped"));
    EXPECT_NE(nullptr, Analyze(Frame(0x7E8, WithPad({0x07, 1, 2, 3, 4, 5, 6, 7}))));
}

TEST_F(RxAnalysisTest, FrameThatNoPassFilterAcceptsIsDropped) {
    ListenTo(0x7E8, 0x7E0);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E9, {0x02, 0x50, 0x01})));
    EXPECT_FALSE(tracedStartingWith("PASS Frame: passed"));
}

TEST_F(RxAnalysisTest, ExtendedAddressFilterWantsItsByteFirst) {
    PASSTHRU_MSG mask = FilterMsg(5, 0x7FF, 0xFF), pattern = FilterMsg(5, 0x640, 0xF1);
    uint32_t id = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, nullptr, &id));

    EXPECT_EQ(nullptr, Analyze(Frame(0x640, {0xF2, 0x02, 0x50, 0x01})));
    EXPECT_TRUE(traced("b_ExtendedAdress does not machtch! 00f2 00f1"));

    auto msg = Analyze(Frame(0x640, {0xF1, 0x02, 0x50, 0x01}));
    ASSERT_NE(nullptr, msg);
    EXPECT_TRUE(traced("b_ExtendedAdress does machtch!"));
    EXPECT_EQ((Bytes{0x00, 0x00, 0x06, 0x40, 0x50, 0x01}), DataOf(*msg));
}

TEST_F(RxAnalysisTest, FirstAndConsecutiveFramesAreReassembledWithFlowControl) {
    ListenTo(0x7E8, 0x7E0);
    m_Iso15765BlockSize = 0;
    const Bytes payload = Counting(20, 0x40);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x10, 0x14, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45})));
    RxBufferEntry *entry = OnlyRxRecord();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(20u, entry->expectedLen);
    EXPECT_EQ(6u, entry->receivedLen);
    EXPECT_EQ(STATE_RX_ACTIVE, entry->state);
    EXPECT_TRUE(traced("Create m_rxBuffer for SeqID= 1 CanID 07e8 (ext=00) timeout=900"));

    auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x7E0u, sent[0].id);
    EXPECT_EQ((Bytes{0x30, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(sent[0]));

    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x21, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C})));
    auto msg = Analyze(Frame(0x7E8, {0x22, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0x53}));
    ASSERT_NE(nullptr, msg);
    Bytes expected{0x00, 0x00, 0x07, 0xE8};
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(expected, DataOf(*msg));
    EXPECT_EQ(0, theModule.m_rxBufferCount);
    EXPECT_TRUE(theModule.m_rxBuffer.empty());
    EXPECT_TRUE(traced("CONSECUTIVE_FRAME finished m_rxBuffer removed SeqID=1"));
    EXPECT_EQ(1u, Sent().size());  // block size 0: no further flow control
}

TEST_F(RxAnalysisTest, PaddingOfTheLastFrameFallsAway) {
    ListenTo(0x7E8, 0x7E0);
    Analyze(Frame(0x7E8, {0x10, 0x08, 1, 2, 3, 4, 5, 6}));
    auto msg = Analyze(Frame(0x7E8, {0x21, 7, 8, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    ASSERT_NE(nullptr, msg);
    EXPECT_EQ(12u, msg->DataSize);
    EXPECT_EQ((Bytes{0, 0, 7, 0xE8, 1, 2, 3, 4, 5, 6, 7, 8}), DataOf(*msg));
}

TEST_F(RxAnalysisTest, ShortFramesCopyOnlyWhatTheyCarry) {
    ListenTo(0x7E8, 0x7E0);
    Analyze(Frame(0x7E8, {0x10, 0x0A, 1, 2, 3}));  // dlc 5: three payload bytes
    ASSERT_NE(nullptr, OnlyRxRecord());
    EXPECT_EQ(3u, OnlyRxRecord()->receivedLen);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x21, 4, 5, 6})));
    auto msg = Analyze(Frame(0x7E8, {0x22, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF}));
    ASSERT_NE(nullptr, msg);
    EXPECT_EQ((Bytes{0, 0, 7, 0xE8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), DataOf(*msg));
}

TEST_F(RxAnalysisTest, BlockSizeAsksForFlowControlAfterEveryBlockTheLastIncluded) {
    ListenTo(0x7E8, 0x7E0);
    m_Iso15765BlockSize = 2;
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    Analyze(Frame(0x7E8, {0x21, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(1u, Sent().size());
    auto msg = Analyze(Frame(0x7E8, {0x22, 13, 14, 15, 16, 17, 18, 19}));
    ASSERT_NE(nullptr, msg);
    auto sent = Sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ((Bytes{0x30, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(sent[0]));
    EXPECT_EQ((Bytes{0x30, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(sent[1]));
}

TEST_F(RxAnalysisTest, SequenceNumbersWrapAfterFifteen) {
    ListenTo(0x7E8, 0x7E0);
    const uint32_t length = 6 + 16 * 7;
    Analyze(Frame(0x7E8, {0x10, static_cast<uint8_t>(length), 0, 1, 2, 3, 4, 5}));
    std::unique_ptr<PASSTHRU_MSG> msg;
    for (uint32_t n = 1; n <= 16; ++n) {
        ASSERT_EQ(nullptr, msg) << "completed early at frame " << n;
        msg = Analyze(Frame(0x7E8, WithPad({static_cast<uint8_t>(0x20 | (n & 0x0F)),
                                             static_cast<uint8_t>(n)})));
    }
    ASSERT_NE(nullptr, msg);
    EXPECT_EQ(4 + length, msg->DataSize);
    EXPECT_EQ(16, msg->Data[4 + 6 + 15 * 7]);
}

TEST_F(RxAnalysisTest, ConsecutiveFrameOutOfSequenceIsDroppedAndTheRecordKept) {
    ListenTo(0x7E8, 0x7E0);
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x22, 1, 2, 3, 4, 5, 6, 7})));
    EXPECT_TRUE(traced("Error CONSECUTIVE_FRAME  -3"));
    ASSERT_NE(nullptr, OnlyRxRecord());
    EXPECT_EQ(6u, OnlyRxRecord()->receivedLen);
    EXPECT_EQ(1u, OnlyRxRecord()->nextSn);
}

TEST_F(RxAnalysisTest, ConsecutiveFrameWithoutRecordTellsWhy) {
    ListenTo(0x7E8, 0x7E0);
    ListenTo(0x7E9, 0x7E1);
    Analyze(Frame(0x7E8, {0x21, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(traced("Error CONSECUTIVE_FRAME  0"));
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    Analyze(Frame(0x7E9, {0x21, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(traced("Error CONSECUTIVE_FRAME  -2"));
}

TEST_F(RxAnalysisTest, SecondFirstFrameOpensSecondRecordAndTheFirstFittingOneContinues) {
    ListenTo(0x7E8, 0x7E0);
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    Analyze(Frame(0x7E8, {0x10, 0x0D, 9, 9, 9, 9, 9, 9}));
    ASSERT_EQ(2, theModule.m_rxBufferCount);
    Analyze(Frame(0x7E8, {0x21, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(13u, theModule.m_rxBuffer.front()->receivedLen);
    EXPECT_EQ(6u, theModule.m_rxBuffer.back()->receivedLen);
}

TEST_F(RxAnalysisTest, FirstFrameWithoutFlowControlFilterIsIgnored) {
    PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7E8);
    uint32_t id = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, nullptr, &id));
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(traced("FIRST_FRAME ignored (no FLow Filter or own response"));
    EXPECT_EQ(0, theModule.m_rxBufferCount);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(RxAnalysisTest, FlowControlOnExtendedFilterCarriesTheSendersLowByte) {
    PASSTHRU_MSG mask = FilterMsg(5, 0x7FF, 0xFF), pattern = FilterMsg(5, 0x640, 0xF1),
                 flow = FilterMsg(5, 0x6F1, 0xF1);
    uint32_t id = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, &flow, &id));
    ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id));
    Analyze(Frame(0x640, {0xF1, 0x10, 0x0C, 0, 1, 2, 3, 4}));
    auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x6F1u, sent[0].id);
    EXPECT_EQ((Bytes{0x40, 0x30, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(sent[0]));
    ASSERT_NE(nullptr, OnlyRxRecord());
    EXPECT_EQ(12u, OnlyRxRecord()->expectedLen);
    EXPECT_EQ(5u, OnlyRxRecord()->receivedLen);

    auto msg = Analyze(Frame(0x640, {0xF1, 0x21, 5, 6, 7, 8, 9, 10}));
    EXPECT_TRUE(traced("CONSECUTIVE_FRAME ExtendedAdressing"));
    auto done = Analyze(Frame(0x640, {0xF1, 0x22, 11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(nullptr, msg);
    ASSERT_NE(nullptr, done);
    EXPECT_EQ((Bytes{0, 0, 6, 0x40, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), DataOf(*done));
}

TEST_F(RxAnalysisTest, TransmitConfirmationIsDeliveredOncePerMessage) {
    {
        LockGuard txGuard(theModule.m_txLock);
        theModule.m_ackPending[0x7E0] = true;
    }
    auto ack = Analyze(Frame(0x7E0, {0x02, 0x10, 0x03}, CAN_FRAME_TX_ACK));
    ASSERT_NE(nullptr, ack);
    EXPECT_EQ(ISO15765, ack->ProtocolID);
    EXPECT_EQ(TX_MSG_TYPE, ack->RxStatus);
    EXPECT_EQ((Bytes{0, 0, 7, 0xE0}), DataOf(*ack));
    EXPECT_TRUE(traced("PASSFilter-Aknowledge ACK passed to PT interface"));

    EXPECT_EQ(nullptr, Analyze(Frame(0x7E0, {0x02, 0x10, 0x03}, CAN_FRAME_TX_ACK)));
    EXPECT_TRUE(traced("PASSFilter-Aknowledge ACK removed/ignored"));
    EXPECT_FALSE(theModule.m_ackPending[0x7E0]);
}

TEST_F(RxAnalysisTest, FlowControlReleasesTheWaitingTransfer) {
    ListenTo(0x7E8, 0x7E0);
    TxBufferEntry &entry = WaitingTx(0x7E0, 5);
    entry.cfSent = 2;
    const uint32_t before = NowMs();
    Analyze(Frame(0x7E8, {0x30, 0x08, 0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    const uint32_t after = NowMs();
    EXPECT_EQ(STATE_TX_SEND_CF, entry.state);
    EXPECT_EQ(8, entry.bs);
    EXPECT_EQ(20, entry.stmin);
    EXPECT_EQ(0, entry.act_blk);
    EXPECT_GE(entry.nextTx, before + 20);
    EXPECT_LE(entry.nextTx, after + 20);
    EXPECT_GE(entry.timeoutMs, before + 3 * 30 + 1000);
    EXPECT_LE(entry.timeoutMs, after + 3 * 30 + 1000);
    EXPECT_TRUE(traced("CF block tx timeout estimated: 1090 for 3 blocks"));
    EXPECT_TRUE(traced("FLOW_CONTROL No 0"));
}

TEST_F(RxAnalysisTest, FlowControlWaitIsTakenAsClearToSend) {
    ListenTo(0x7E8, 0x7E0);
    TxBufferEntry &entry = WaitingTx(0x7E0, 2);
    Analyze(Frame(0x7E8, {0x31, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(STATE_TX_SEND_CF, entry.state);
    EXPECT_EQ(3, entry.bs);
}

TEST_F(RxAnalysisTest, MakersExtendedModeTwoSendsAtOnce) {
    ListenTo(0x7E8, 0x7E0);
    theModule.m_ExtAddressing = 2;
    TxBufferEntry &entry = WaitingTx(0x7E0, 2);
    Analyze(Frame(0x7E8, {0x30, 0x00, 0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(0, entry.stmin);
    EXPECT_EQ(0u, entry.nextTx);
    EXPECT_TRUE(traced("STmin overwritten to 0 (1 of 2)"));
}

TEST_F(RxAnalysisTest, FlowControlWithoutWaitingTransferChangesNothing) {
    ListenTo(0x7E8, 0x7E0);
    Analyze(Frame(0x7E8, {0x30, 0x00, 0x00}));
    EXPECT_TRUE(traced("Error FLOW_CONTROL  -1"));
    TxBufferEntry &other = WaitingTx(0x7DF, 2);
    Analyze(Frame(0x7E8, {0x30, 0x00, 0x00}));
    EXPECT_TRUE(traced("Error FLOW_CONTROL  -2"));
    EXPECT_EQ(STATE_TX_WAIT_FC, other.state);
}

TEST_F(RxAnalysisTest, FlowControlForTransferWithNothingLeftEstimatesOneFrame) {
    ListenTo(0x7E8, 0x7E0);
    TxBufferEntry &entry = WaitingTx(0x7E0, 2);
    entry.cfSent = 2;
    Analyze(Frame(0x7E8, {0x30, 0x00, 0x00}));
    EXPECT_TRUE(traced("less frames ....error"));
    EXPECT_TRUE(traced("CF block tx timeout estimated: 1010 for 1 blocks"));
}

TEST_F(RxAnalysisTest, UnknownProtocolControlIsAnError) {
    ListenTo(0x7E8, 0x7E0);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x45, 0, 0})));
    EXPECT_TRUE(traced("unknown Multibyte response 0x45 !"));
}

TEST_F(RxAnalysisTest, BusStateReportIsTracedAsErrorWithoutMessage) {
    TraceCapture quiet(0);
    CanFrame frame = Frame(0, {});
    frame.frameType = CAN_FRAME_TYPE_BUS_STATE;
    frame.trailer = 1;
    EXPECT_EQ(nullptr, Analyze(frame));
    EXPECT_TRUE(quiet.hasMessage("RAW-CAN--RX CanId 000000 [   S  ] Len=  0     Data: state: Bus Off"
                                 "                   00001234.567"));
}

TEST_F(RxAnalysisTest, EveryRecordOfEitherKindTakesTheNextSequenceId) {
    ListenTo(0x7E8, 0x7E0);
    PASSTHRU_MSG request = Request(0x7E0, Counting(20));
    uint32_t num = 1;
    ASSERT_EQ(STATUS_NOERROR, PassThruWriteMsgs(1, &request, &num, 0));
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(1u, theModule.m_txBuffer.front()->seqId);
    EXPECT_EQ(2u, theModule.m_rxBuffer.front()->seqId);
}

}  // namespace
