#include "../fg/fg_messages.h"
#include "api/module.h"
#include "can/can_io.h"
#include "fg/functional_group.h"
#include "sim_world.h"
#include "trace/trace_clock.h"
#include "transport/filters.h"
#include "transport/records.h"

namespace {

using namespace simworld;

class TxPathTest : public OpenChannelTest {
protected:
    static TxBufferEntry *OnlyTxRecord() {
        return theModule.m_txBuffer.size() == 1 ? theModule.m_txBuffer.front().get() : nullptr;
    }
};

// Up to seven bytes (six after an address byte) go out at once in one
// frame, and the bus's confirmation of it reaches the host.
TEST_F(TxPathTest, ShortMessagesGoInOneFrameAndAreConfirmed) {
    const struct {
        const char *what;
        uint32_t id;
        Bytes payload;
        uint32_t txFlags;
        uint32_t timestamp;
        Bytes frame;
        std::vector<std::string> traces;
    } cases[] = {
        {"empty", 0x7E0, {}, 0, 0, {0x00}, {}},
        {"empty, padded", 0x7E1, {}, ISO15765_FRAME_PAD, 0, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
        {"seven bytes", 0x7E0, {1, 2, 3, 4, 5, 6, 7}, 0, 4711, {0x07, 1, 2, 3, 4, 5, 6, 7},
         {"ISO15765-TX CanId 0x07E0 Len=  7 TS=000004711 Data: 0x01 0x02 0x03 0x04 0x05 0x06 0x07 ",
          "PassThruWriteMsg->ACK ->CanID: 7E0 "}},
        {"extended address", 0x6F1, {0x40, 1, 2, 3, 4, 5, 6}, ISO15765_ADDR_TYPE, 0, {0x40, 0x06, 1, 2, 3, 4, 5, 6},
         {"ORV-Extadressing Tx Id = 0040", "b_ExtendedAdressing data converted to ISO9192 ..."}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetTransportState();
        vxlsim_capture_clear();
        trace().clear();
        PASSTHRU_MSG msg = Request(c.id, c.payload, c.txFlags);
        msg.Timestamp = c.timestamp;
        uint32_t num = 1;
        EXPECT_EQ(STATUS_NOERROR, PassThruWriteMsgs(1, &msg, &num, 0));
        auto sent = SentOn(0);
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(c.id, sent[0].id);
        EXPECT_EQ(c.frame, DataOf(sent[0]));
        EXPECT_TRUE(AckArmed(c.id));
        EXPECT_EQ(m_LastTxTimestamp.load(), msg.Timestamp);  // the time it went out
        for (const std::string &text : c.traces) EXPECT_TRUE(traced(text)) << text;
        EXPECT_TRUE(theModule.m_txBuffer.empty());

        auto msgs = ReadAll();
        ASSERT_EQ(1u, msgs.size());
        ExpectConfirmation(msgs[0], c.id);
    }
}

TEST_F(TxPathTest, EightBytesNeedAFirstFrameAndOneConsecutiveFrame) {
    const uint32_t before = NowMs();
    EXPECT_EQ(STATUS_NOERROR, Write(Request(0x7E0, {1, 2, 3, 4, 5, 6, 7, 8})));
    auto sent = SentOn(0);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ((Bytes{0x10, 0x08, 1, 2, 3, 4, 5, 6}), DataOf(sent[0]));
    TxBufferEntry *entry = OnlyTxRecord();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(STATE_TX_WAIT_FC, entry->state);
    EXPECT_GE(entry->timeoutMs, before + 1000);
    EXPECT_LE(entry->timeoutMs, NowMs() + 1000);
    EXPECT_TRUE(traced("FIRST_FRAME with len 8 SeqID=1 Timeout 1000 m_txBuffer added CanID=07E0"));
    EXPECT_TRUE(traced("CF created Count=1 "));
    EXPECT_TRUE(traced("FRAME 0 Data: 0x21 0x07 0x08 0xff 0xff 0xff 0xff 0xff "));
    EXPECT_FALSE(AckArmed(0x7E0));  // armed only when the last frame is out
}

TEST_F(TxPathTest, BadCallsAreRefusedWithoutSending) {
    const struct {
        const char *what;
        size_t payload;
        uint32_t txFlags;
        uint32_t dataSize;  // 0: the request's own
        uint32_t num;
        const char *trace;
    } cases[] = {
        {"two messages", 2, 0, 0, 2, "only one message supported"},
        {"part of the id", 2, 0, 3, 1, "only message with content are supported"},
        {"no address byte", 0, ISO15765_ADDR_TYPE, 0, 1, "only message with content are supported"},
        {"beyond the data buffer", 2, 0, PT_MSG_DATA_SIZE + 1, 1, "Length over CAN MAX 4100!!!"},
        {"4096 bytes", 4096, 0, 0, 1, "Length over CAN MAX 4100!!!"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        trace().clear();
        PASSTHRU_MSG msg = Request(0x7E0, Counting(c.payload), c.txFlags);
        if (c.dataSize) msg.DataSize = c.dataSize;
        EXPECT_EQ(ERR_NOT_SUPPORTED, Write(msg, c.num));
        EXPECT_TRUE(traced(c.trace));
    }
    PASSTHRU_MSG msg = Request(0x7E0, {1, 2});
    uint32_t num = 1;
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruWriteMsgs(1, nullptr, &num, 0));
    EXPECT_TRUE(traced("PassThruWriteMsgs pMsg is a NULL pointer"));
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruWriteMsgs(1, &msg, nullptr, 0));
    EXPECT_TRUE(traced("PassThruWriteMsgs pNumMsgs is a NULL pointer"));
    EXPECT_TRUE(SentOn(0).empty());
    EXPECT_TRUE(theModule.m_ackPending.empty());
    EXPECT_TRUE(theModule.m_txBuffer.empty());
}

TEST_F(TxPathTest, NewMessageReplacesTheTransferStillRunningOnItsId) {
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x7E0, Counting(20))));
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x7E0, Counting(30))));
    EXPECT_TRUE(traced("delted via CANID"));
    EXPECT_TRUE(traced("DUPLICATED m_txBuffer removed from list ... SeqID=1 1 0 07e0 00"));
    ASSERT_NE(nullptr, OnlyTxRecord());
    EXPECT_EQ(30u, OnlyTxRecord()->m_TxMsgLen);
    EXPECT_EQ(2u, OnlyTxRecord()->seqId);
}

TEST_F(TxPathTest, TransferToAnotherExtendedAddressStays) {
    Bytes a(21, 1), b(21, 2);
    a[0] = 0x40;
    b[0] = 0x41;
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x6F1, a, ISO15765_ADDR_TYPE)));
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x6F1, b, ISO15765_ADDR_TYPE)));
    EXPECT_EQ(2, theModule.m_txBufferCount);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x6F1, a, ISO15765_ADDR_TYPE)));
    EXPECT_TRUE(traced("delted via CANID AND ExtAdr"));
    EXPECT_EQ(2, theModule.m_txBufferCount);
    EXPECT_EQ(1, theModule.m_txBuffer.front()->extFlag);
    EXPECT_EQ(0x41, theModule.m_txBuffer.front()->extAddr);
    EXPECT_EQ(0x40, theModule.m_txBuffer.back()->extAddr);
}

TEST_F(TxPathTest, RefusedFramesReportTheDriversAnswer) {
    ASSERT_EQ(0, vxlsim_fail("xlCanTransmit", XL_ERR_QUEUE_IS_FULL, 2));
    EXPECT_EQ(ERR_FAILED, Write(Request(0x7E0, {0x10, 0x03})));
    EXPECT_TRUE(AckArmed(0x7E0));
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(Request(0x7E1, Counting(20))));
    EXPECT_TRUE(traced("Error in First Frame 1"));
    EXPECT_TRUE(theModule.m_txBuffer.empty());
}

TEST_F(TxPathTest, FunctionalRequestStartsFiltersForEachResponderAndSendsThePdu) {
    COrvFunctionalGroup group;
    m_pFunctionalGroup = &group;
    theModule.m_FunctionalGroupActive = 0x7DF;
    static const Bytes kPdu{0x22, 0xF1, 0x90};
    static const std::vector<GroupEntry> kEcus{fgtest::Entry(0x6F1, 0x640), fgtest::Entry(0x6F1, 0x641)};
    EXPECT_EQ(STATUS_NOERROR, Write(fgtest::Message(fgtest::RequestBytes(0x6F1, kPdu, kEcus))));
    m_pFunctionalGroup = nullptr;

    EXPECT_TRUE(traced("Prepare filter for FG"));
    ASSERT_EQ(2, theModule.m_passFilterCount);
    ASSERT_EQ(2, theModule.m_flowFilterCount);
    const FilterRecord &pass = *theModule.m_passFilter.front();
    EXPECT_EQ(0x640u, pass.pattern);
    EXPECT_EQ(0x7FFu, pass.mask);
    EXPECT_EQ(1, pass.b_ExtendedAdress);
    EXPECT_EQ(0xF1, pass.b_ExtendedAdressRx);
    const FilterRecord &flow = *theModule.m_flowFilter.back();
    EXPECT_EQ(0x641u, flow.pattern);
    EXPECT_EQ(0x6F1u, flow.flowId);
    EXPECT_EQ(0x41, flow.b_ExtendedAdressRx);

    auto sent = SentOn(0);
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x6F1u, sent[0].id);
    EXPECT_EQ((Bytes{0x03, 0x22, 0xF1, 0x90}), DataOf(sent[0]));
}

}  // namespace
