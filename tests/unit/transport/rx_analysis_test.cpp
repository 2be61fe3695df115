#include <memory>

#include "api/module.h"
#include "sim_world.h"
#include "trace/lock_guard.h"
#include "trace/trace_clock.h"
#include "transport/records.h"
#include "transport/rx_analysis.h"

namespace {

using namespace simworld;

class RxAnalysisTest : public OpenChannelTest {
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

// Frames that deliver a message at once or are dropped at once.
TEST_F(RxAnalysisTest, SingleFramesAndFramesWithoutAPlace) {
    const struct {
        const char *what;
        bool listen;     // the pass and flow-control filters for 0x7E8
        uint32_t id;
        Bytes frame;
        bool delivered;  // as payload
        Bytes payload;
        bool passed;     // "PASS Frame: passed" written
        std::vector<std::string> traces;
    } cases[] = {
        {"no pass filter at all", false, 0x7E8, {0x02, 0x50, 0x01}, false, {}, false, {"PASSFilter none!"}},
        {"no pass filter accepts it", true, 0x7E9, {0x02, 0x50, 0x01}, false, {}, false, {}},
        {"single frame", true, 0x7E8, WithPad({0x03, 0x62, 0xF1, 0x90}), true, {0x62, 0xF1, 0x90}, true,
         {"RAW-CAN--RX CanId 0007e8 [      ] Len=  8     Data: 0x03 0x62 0xF1 0x90 0xFF 0xFF 0xFF 0xFF  "
          "00001234.567",
          "PASS Frame: passed 07E8 07E8 07FF 07E8"}},
        {"empty single frame", true, 0x7E8, {0x00}, true, {}, true, {}},
        {"seven bytes", true, 0x7E8, WithPad({0x07, 1, 2, 3, 4, 5, 6, 7}), true, {1, 2, 3, 4, 5, 6, 7}, true, {}},
        {"length beyond the dlc", true, 0x7E8, {0x07, 0x62, 0xF1}, false, {}, true,
         {"SINGLE_FRAME length 7 exceeds frame, dropped"}},
        {"length beyond any frame", true, 0x7E8, WithPad({0x08, 0x62}), false, {}, true,
         {"SINGLE_FRAME length 8 exceeds frame, dropped"}},
        {"no protocol control byte", true, 0x7E8, {}, false, {}, true,
         {"Frame without protocol control information dropped"}},
        {"unknown protocol control", true, 0x7E8, {0x45, 0, 0}, false, {}, true,
         {"unknown Multibyte response 0x45 !"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetTransportState();
        if (c.listen) ListenTo(0x7E8, 0x7E0);
        trace().clear();
        auto msg = Analyze(Frame(c.id, c.frame));
        ASSERT_EQ(c.delivered, msg != nullptr);
        if (msg) {
            ExpectMessage(*msg, c.id, c.payload);
            EXPECT_EQ(1234u * 1000u + 567u, msg->Timestamp);
        }
        EXPECT_EQ(c.passed, tracedStartingWith("PASS Frame: passed"));
        for (const std::string &text : c.traces) EXPECT_TRUE(traced(text)) << text;
        EXPECT_TRUE(SentOn(0).empty());
    }
}

// The address byte must match the filter's; the flow control we send back
// carries the low byte of the sender's id.
TEST_F(RxAnalysisTest, ExtendedAddressingWantsItsByteFirstAndAnswersWithTheSendersLowByte) {
    ListenTo(0x640, 0x6F1, 0xF1, 0xF1);
    EXPECT_EQ(nullptr, Analyze(Frame(0x640, {0xF2, 0x02, 0x50, 0x01})));
    EXPECT_TRUE(traced("b_ExtendedAdress does not machtch! 00f2 00f1"));
    auto msg = Analyze(Frame(0x640, {0xF1, 0x02, 0x50, 0x01}));
    ASSERT_NE(nullptr, msg);
    EXPECT_TRUE(traced("b_ExtendedAdress does machtch!"));
    ExpectMessage(*msg, 0x640, {0x50, 0x01});

    EXPECT_EQ(nullptr, Analyze(Frame(0x640, {0xF1, 0x10, 0x0C, 0, 1, 2, 3, 4})));
    auto sent = SentOn(0);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x6F1u, sent[0].id);
    EXPECT_EQ((Bytes{0x40, 0x30, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(sent[0]));
    ASSERT_NE(nullptr, OnlyRxRecord());
    EXPECT_EQ(12u, OnlyRxRecord()->expectedLen);
    EXPECT_EQ(5u, OnlyRxRecord()->receivedLen);
    EXPECT_EQ(nullptr, Analyze(Frame(0x640, {0xF1, 0x21, 5, 6, 7, 8, 9, 10})));
    EXPECT_TRUE(traced("CONSECUTIVE_FRAME ExtendedAdressing"));
    msg = Analyze(Frame(0x640, {0xF1, 0x22, 11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_NE(nullptr, msg);
    ExpectMessage(*msg, 0x640, Counting(12));
}

TEST_F(RxAnalysisTest, FirstFrameOpensARecordThatTheLastConsecutiveFrameCloses) {
    ListenTo(0x7E8, 0x7E0);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x10, 0x14, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45})));
    RxBufferEntry *entry = OnlyRxRecord();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(20u, entry->expectedLen);
    EXPECT_EQ(6u, entry->receivedLen);
    EXPECT_EQ(STATE_RX_ACTIVE, entry->state);
    EXPECT_TRUE(traced("Create m_rxBuffer for SeqID= 1 CanID 07e8 (ext=00) timeout=900"));
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x21, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C})));
    auto msg = Analyze(Frame(0x7E8, {0x22, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0x53}));
    ASSERT_NE(nullptr, msg);
    ExpectMessage(*msg, 0x7E8, Counting(20, 0x40));
    EXPECT_EQ(0, theModule.m_rxBufferCount);
    EXPECT_TRUE(theModule.m_rxBuffer.empty());
    EXPECT_TRUE(traced("CONSECUTIVE_FRAME finished m_rxBuffer removed SeqID=1"));
}

TEST_F(RxAnalysisTest, ShortFramesCopyOnlyWhatTheyCarry) {
    ListenTo(0x7E8, 0x7E0);
    Analyze(Frame(0x7E8, {0x10, 0x0A, 1, 2, 3}));  // dlc 5: three payload bytes
    ASSERT_NE(nullptr, OnlyRxRecord());
    EXPECT_EQ(3u, OnlyRxRecord()->receivedLen);
    EXPECT_EQ(nullptr, Analyze(Frame(0x7E8, {0x21, 4, 5, 6})));
    auto msg = Analyze(Frame(0x7E8, {0x22, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF}));
    ASSERT_NE(nullptr, msg);
    ExpectMessage(*msg, 0x7E8, Counting(10, 1));
}

// A consecutive frame that continues nothing is dropped and says why; a
// reassembly in progress stays as it was.
TEST_F(RxAnalysisTest, ConsecutiveFrameWithoutItsPlaceIsDropped) {
    const struct {
        const char *trace;
        bool reassembling;  // a first frame from 0x7E8 came before
        uint32_t id;
        uint8_t pci;
    } cases[] = {
        {"Error CONSECUTIVE_FRAME  0", false, 0x7E8, 0x21},
        {"Error CONSECUTIVE_FRAME  -2", true, 0x7E9, 0x21},
        {"Error CONSECUTIVE_FRAME  -3", true, 0x7E8, 0x22},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.trace);
        ResetTransportState();
        ListenTo(0x7E8, 0x7E0);
        ListenTo(0x7E9, 0x7E1);
        trace().clear();
        if (c.reassembling) Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
        EXPECT_EQ(nullptr, Analyze(Frame(c.id, {c.pci, 1, 2, 3, 4, 5, 6, 7})));
        EXPECT_TRUE(traced(c.trace));
        ASSERT_EQ(c.reassembling, OnlyRxRecord() != nullptr);
        if (c.reassembling) {
            EXPECT_EQ(6u, OnlyRxRecord()->receivedLen);
            EXPECT_EQ(1u, OnlyRxRecord()->nextSn);
        }
    }
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
    EXPECT_TRUE(SentOn(0).empty());
}

TEST_F(RxAnalysisTest, TransmitConfirmationIsDeliveredOncePerMessage) {
    {
        LockGuard txGuard(theModule.m_txLock);
        theModule.m_ackPending[0x7E0] = true;
    }
    auto ack = Analyze(Frame(0x7E0, {0x02, 0x10, 0x03}, CAN_FRAME_TX_ACK));
    ASSERT_NE(nullptr, ack);
    ExpectConfirmation(*ack, 0x7E0);
    EXPECT_TRUE(traced("PASSFilter-Aknowledge ACK passed to PT interface"));

    EXPECT_EQ(nullptr, Analyze(Frame(0x7E0, {0x02, 0x10, 0x03}, CAN_FRAME_TX_ACK)));
    EXPECT_TRUE(traced("PASSFilter-Aknowledge ACK removed/ignored"));
    EXPECT_FALSE(AckArmed(0x7E0));
}

// Every flow control releases the waiting transfer (a WAIT too) with the
// peer's block size and STmin; the first frame may go STmin later, and the
// transfer gets 10 ms plus STmin for each frame left and a second more.
TEST_F(RxAnalysisTest, FlowControlReleasesTheWaitingTransfer) {
    const struct {
        const char *what;
        uint16_t cfCount, cfSent;
        uint32_t extAddressing;
        Bytes fc;
        uint8_t bs, stmin;
        int nextTxDelay;  // -1: at once (nextTx 0)
        uint32_t timeoutDelay;
        const char *trace;
    } cases[] = {
        {"clear to send", 5, 2, 0, WithPad({0x30, 0x08, 0x14}), 8, 20, 20, 1090,
         "CF block tx timeout estimated: 1090 for 3 blocks"},
        {"wait", 2, 0, 0, WithPad({0x31, 0x03, 0x00}), 3, 0, 0, 1020,
         "CF block tx timeout estimated: 1020 for 2 blocks"},
        {"maker's mode 2", 2, 0, 2, WithPad({0x30, 0x00, 0x14}), 0, 0, -1, 1060, "STmin overwritten to 0 (1 of 2)"},
        {"nothing left", 2, 2, 0, {0x30, 0x00, 0x00}, 0, 0, 0, 1010, "less frames ....error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetTransportState();
        ListenTo(0x7E8, 0x7E0);
        theModule.m_ExtAddressing = c.extAddressing;
        trace().clear();
        TxBufferEntry &entry = WaitingTx(0x7E0, c.cfCount);
        entry.cfSent = c.cfSent;
        const uint32_t before = NowMs();
        Analyze(Frame(0x7E8, c.fc));
        const uint32_t after = NowMs();
        EXPECT_EQ(STATE_TX_SEND_CF, entry.state);
        EXPECT_EQ(c.bs, entry.bs);
        EXPECT_EQ(c.stmin, entry.stmin);
        EXPECT_EQ(0, entry.act_blk);
        if (c.nextTxDelay < 0) {
            EXPECT_EQ(0u, entry.nextTx);
        } else {
            EXPECT_GE(entry.nextTx, before + static_cast<uint32_t>(c.nextTxDelay));
            EXPECT_LE(entry.nextTx, after + static_cast<uint32_t>(c.nextTxDelay));
        }
        EXPECT_GE(entry.timeoutMs, before + c.timeoutDelay);
        EXPECT_LE(entry.timeoutMs, after + c.timeoutDelay);
        EXPECT_TRUE(traced(c.trace));
        EXPECT_TRUE(traced("FLOW_CONTROL No 0"));
    }
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
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x7E0, Counting(20))));
    Analyze(Frame(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(1u, theModule.m_txBuffer.front()->seqId);
    EXPECT_EQ(2u, theModule.m_rxBuffer.front()->seqId);
}

}  // namespace
