#include "../fg/fg_messages.h"
#include "fg/functional_group.h"
#include "trace/trace_clock.h"
#include "transport/tx_path.h"
#include "transport_world.h"

namespace {

class TxPathTest : public TransportWorld {
protected:
    uint32_t Write(PASSTHRU_MSG &msg, uint32_t num = 1) { return PassThruWriteMsgs(1, &msg, &num, 0); }

    static TxBufferEntry *OnlyTxRecord() {
        return theModule.m_txBuffer.size() == 1 ? theModule.m_txBuffer.front().get() : nullptr;
    }

    static Bytes Frame(const TxBufferEntry &entry, uint16_t k) { return Bytes(entry.frames[k], entry.frames[k] + 8); }

    static bool AckArmed(uint32_t canId) {
        auto it = theModule.m_ackPending.find(canId);
        return it != theModule.m_ackPending.end() && it->second;
    }
};

TEST_F(TxPathTest, EmptyPayloadIsASingleFrameOfLengthZero) {
    PASSTHRU_MSG msg = Request(0x7E0, {});
    EXPECT_EQ(STATUS_NOERROR, Write(msg));
    PASSTHRU_MSG padded = Request(0x7E1, {}, ISO15765_FRAME_PAD);
    EXPECT_EQ(STATUS_NOERROR, Write(padded));
    auto sent = Sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ((Bytes{0x00}), DataOf(sent[0]));
    EXPECT_EQ((Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(sent[1]));
}

TEST_F(TxPathTest, SevenBytesGoInOneFrameAndArmTheConfirmation) {
    PASSTHRU_MSG msg = Request(0x7E0, {1, 2, 3, 4, 5, 6, 7});
    msg.Timestamp = 4711;
    EXPECT_EQ(STATUS_NOERROR, Write(msg));
    auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x7E0u, sent[0].id);
    EXPECT_EQ((Bytes{0x07, 1, 2, 3, 4, 5, 6, 7}), DataOf(sent[0]));
    EXPECT_TRUE(AckArmed(0x7E0));
    EXPECT_EQ(m_LastTxTimestamp.load(), msg.Timestamp);
    EXPECT_TRUE(traced("ISO15765-TX CanId 0x07E0 Len=  7 TS=000004711 Data: 0x01 0x02 0x03 0x04 0x05 0x06 0x07 "));
    EXPECT_TRUE(traced("PassThruWriteMsg->ACK ->CanID: 7E0 "));
    EXPECT_TRUE(theModule.m_txBuffer.empty());

    // The bus confirms the frame: the host reads it as its transmit confirmation.
    auto msgs = ReadAll();
    ASSERT_EQ(1u, msgs.size());
    EXPECT_EQ(TX_MSG_TYPE, msgs[0].RxStatus);
    EXPECT_EQ((Bytes{0, 0, 7, 0xE0}), DataOf(msgs[0]));
}

TEST_F(TxPathTest, ExtendedAddressingPutsTheAddressInFrontOfEveryFrame) {
    PASSTHRU_MSG single = Request(0x6F1, {0x40, 1, 2, 3, 4, 5, 6}, ISO15765_ADDR_TYPE);
    EXPECT_EQ(STATUS_NOERROR, Write(single));
    EXPECT_TRUE(traced("ORV-Extadressing Tx Id = 0040"));
    EXPECT_TRUE(traced("b_ExtendedAdressing data converted to ISO9192 ..."));

    Bytes payload{0x40};
    for (int i = 0; i < 20; ++i) payload.push_back(static_cast<uint8_t>(0xA0 + i));
    PASSTHRU_MSG multi = Request(0x6F1, payload, ISO15765_ADDR_TYPE);
    EXPECT_EQ(STATUS_NOERROR, Write(multi));
    auto sent = Sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ((Bytes{0x40, 0x06, 1, 2, 3, 4, 5, 6}), DataOf(sent[0]));
    EXPECT_EQ((Bytes{0x40, 0x10, 0x14, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4}), DataOf(sent[1]));
    TxBufferEntry *entry = OnlyTxRecord();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(3, entry->cfCount);
    EXPECT_EQ(5u, entry->m_TxActLen);
    EXPECT_EQ(1, entry->extFlag);
    EXPECT_EQ(0x40, entry->extAddr);
    EXPECT_EQ((Bytes{0x40, 0x21, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA}), Frame(*entry, 0));
    EXPECT_EQ((Bytes{0x40, 0x22, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0xB0}), Frame(*entry, 1));
    EXPECT_EQ((Bytes{0x40, 0x23, 0xB1, 0xB2, 0xB3, 0xFF, 0xFF, 0xFF}), Frame(*entry, 2));
}

TEST_F(TxPathTest, EightBytesNeedAFirstFrameAndOneConsecutiveFrame) {
    PASSTHRU_MSG msg = Request(0x7E0, {1, 2, 3, 4, 5, 6, 7, 8});
    const uint32_t before = NowMs();
    EXPECT_EQ(STATUS_NOERROR, Write(msg));
    auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ((Bytes{0x10, 0x08, 1, 2, 3, 4, 5, 6}), DataOf(sent[0]));
    TxBufferEntry *entry = OnlyTxRecord();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(STATE_TX_WAIT_FC, entry->state);
    EXPECT_EQ(8u, entry->m_TxMsgLen);
    EXPECT_EQ(6u, entry->m_TxActLen);
    EXPECT_EQ(1, entry->cfCount);
    EXPECT_EQ(8, entry->bs);
    EXPECT_EQ(0xFF, entry->act_blk);
    EXPECT_GE(entry->timeoutMs, before + 1000);
    EXPECT_LE(entry->timeoutMs, NowMs() + 1000);
    EXPECT_EQ((Bytes{0x21, 7, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Frame(*entry, 0));
    EXPECT_TRUE(traced("FIRST_FRAME with len 8 SeqID=1 Timeout 1000 m_txBuffer added CanID=07E0"));
    EXPECT_TRUE(traced("CF created Count=1 "));
    EXPECT_TRUE(traced("FRAME 0 Data: 0x21 0x07 0x08 0xff 0xff 0xff 0xff 0xff "));
    EXPECT_FALSE(AckArmed(0x7E0));  // armed only when the last frame is out
}

TEST_F(TxPathTest, PayloadFillingItsLastFrameNeedsNoExtraFrame) {
    PASSTHRU_MSG msg = Request(0x6F1, Counting(20));
    EXPECT_EQ(STATUS_NOERROR, Write(msg));
    TxBufferEntry *entry = OnlyTxRecord();
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(2, entry->cfCount);
    EXPECT_EQ((Bytes{0x10, 0x14, 0, 1, 2, 3, 4, 5}), DataOf(Sent().at(0)));
    EXPECT_EQ((Bytes{0x21, 6, 7, 8, 9, 10, 11, 12}), Frame(*entry, 0));
    EXPECT_EQ((Bytes{0x22, 13, 14, 15, 16, 17, 18, 19}), Frame(*entry, 1));
}

TEST_F(TxPathTest, LongestMessageIsAcceptedOneMoreIsRefused) {
    PASSTHRU_MSG longest = Request(0x7E0, Counting(4095));
    EXPECT_EQ(STATUS_NOERROR, Write(longest));
    EXPECT_EQ((Bytes{0x1F, 0xFF, 0, 1, 2, 3, 4, 5}), DataOf(Sent().at(0)));
    ASSERT_NE(nullptr, OnlyTxRecord());
    EXPECT_EQ(585, OnlyTxRecord()->cfCount);
    EXPECT_EQ(0x29, OnlyTxRecord()->frames[584][0]);  // 585 & 0x0F: sequence numbers wrap

    PASSTHRU_MSG tooLong = Request(0x7E1, Counting(4096));
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(tooLong));
    EXPECT_TRUE(traced("Length over CAN MAX 4100!!!"));
    EXPECT_EQ(1u, Sent().size());

    Bytes extended{0x40};
    Bytes rest = Counting(4095);
    extended.insert(extended.end(), rest.begin(), rest.end());
    PASSTHRU_MSG longestExt = Request(0x7E2, extended, ISO15765_ADDR_TYPE);
    EXPECT_EQ(STATUS_NOERROR, Write(longestExt));
    EXPECT_EQ(682, theModule.m_txBuffer.back()->cfCount);
}

TEST_F(TxPathTest, BadCallsAreRefusedWithoutSending) {
    PASSTHRU_MSG msg = Request(0x7E0, {1, 2});
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(msg, 2));
    EXPECT_TRUE(traced("only one message supported"));
    msg.DataSize = 3;
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(msg));
    EXPECT_TRUE(traced("only message with content are supported"));
    PASSTHRU_MSG noAddress = Request(0x7E0, {}, ISO15765_ADDR_TYPE);
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(noAddress));
    msg.DataSize = PT_MSG_DATA_SIZE + 1;
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(msg));
    uint32_t num = 1;
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruWriteMsgs(1, nullptr, &num, 0));
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruWriteMsgs(1, &msg, nullptr, 0));
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(theModule.m_ackPending.empty());
}

TEST_F(TxPathTest, NewMessageReplacesTheTransferStillRunningOnItsId) {
    PASSTHRU_MSG first = Request(0x7E0, Counting(20));
    PASSTHRU_MSG second = Request(0x7E0, Counting(30));
    ASSERT_EQ(STATUS_NOERROR, Write(first));
    ASSERT_EQ(STATUS_NOERROR, Write(second));
    EXPECT_TRUE(traced("delted via CANID"));
    EXPECT_TRUE(traced("DUPLICATED m_txBuffer removed from list ... SeqID=1 1 0 07e0 00"));
    ASSERT_NE(nullptr, OnlyTxRecord());
    EXPECT_EQ(30u, OnlyTxRecord()->m_TxMsgLen);
    EXPECT_EQ(2u, OnlyTxRecord()->seqId);
}

TEST_F(TxPathTest, TransferToAnotherExtendedAddressStays) {
    Bytes a{0x40}, b{0x41};
    for (int i = 0; i < 20; ++i) a.push_back(1), b.push_back(2);
    PASSTHRU_MSG toA = Request(0x6F1, a, ISO15765_ADDR_TYPE);
    PASSTHRU_MSG toB = Request(0x6F1, b, ISO15765_ADDR_TYPE);
    ASSERT_EQ(STATUS_NOERROR, Write(toA));
    ASSERT_EQ(STATUS_NOERROR, Write(toB));
    EXPECT_EQ(2, theModule.m_txBufferCount);
    PASSTHRU_MSG toAAgain = Request(0x6F1, a, ISO15765_ADDR_TYPE);
    ASSERT_EQ(STATUS_NOERROR, Write(toAAgain));
    EXPECT_TRUE(traced("delted via CANID AND ExtAdr"));
    EXPECT_EQ(2, theModule.m_txBufferCount);
    EXPECT_EQ(0x41, theModule.m_txBuffer.front()->extAddr);
}

TEST_F(TxPathTest, RefusedFramesReportTheDriversAnswer) {
    ASSERT_EQ(0, vxlsim_fail("xlCanTransmit", XL_ERR_QUEUE_IS_FULL, 2));
    PASSTHRU_MSG single = Request(0x7E0, {0x10, 0x03});
    EXPECT_EQ(ERR_FAILED, Write(single));
    EXPECT_TRUE(AckArmed(0x7E0));
    PASSTHRU_MSG multi = Request(0x7E1, Counting(20));
    EXPECT_EQ(ERR_NOT_SUPPORTED, Write(multi));
    EXPECT_TRUE(traced("Error in First Frame 1"));
    EXPECT_TRUE(theModule.m_txBuffer.empty());
}

TEST_F(TxPathTest, FilterMessageForTheFilterCalls) {
    PASSTHRU_MSG msg;
    std::memset(&msg, 0xCC, sizeof msg);
    BuildFilterMsg(5, 0x7E8, 0xF1, msg);
    EXPECT_EQ(ISO15765, msg.ProtocolID);
    EXPECT_EQ(ISO15765_ADDR_TYPE, msg.TxFlags);
    EXPECT_EQ(5u, msg.DataSize);
    EXPECT_EQ((Bytes{0, 0, 0x07, 0xE8, 0xF1, 0}), Bytes(msg.Data, msg.Data + 6));
    BuildFilterMsg(4, 0x7E8, 0, msg);
    EXPECT_EQ(0u, msg.TxFlags);
    EXPECT_EQ(0u, msg.RxStatus);
}

TEST_F(TxPathTest, FunctionalRequestStartsFiltersForEachResponderAndSendsThePdu) {
    COrvFunctionalGroup group;
    m_pFunctionalGroup = &group;
    theModule.m_FunctionalGroupActive = 0x7DF;
    static const Bytes kPdu{0x22, 0xF1, 0x90};
    static const std::vector<GroupEntry> kEcus{fgtest::Entry(0x6F1, 0x640), fgtest::Entry(0x6F1, 0x641)};
    PASSTHRU_MSG request = fgtest::Message(fgtest::RequestBytes(0x6F1, kPdu, kEcus));
    EXPECT_EQ(STATUS_NOERROR, Write(request));
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

    auto sent = Sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(0x6F1u, sent[0].id);
    EXPECT_EQ((Bytes{0x03, 0x22, 0xF1, 0x90}), DataOf(sent[0]));
}

}  // namespace
