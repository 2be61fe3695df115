#include <thread>

#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/rx_analysis.h"
#include "transport/worker.h"
#include "transport_world.h"

namespace {

class WorkerTest : public TransportWorld {
protected:
    void TearDown() override {
        if (theModule.m_bThreadRun) PassThruDisconnect(1);
        TransportWorld::TearDown();
    }

    // A released transfer with count prepared frames: frame k is 2k FF... with k+1 in byte 1.
    static TxBufferEntry &Released(uint32_t canId, uint16_t count, uint8_t bs = 0, uint8_t stmin = 0) {
        auto entry = std::make_unique<TxBufferEntry>();
        entry->canId = canId;
        entry->state = STATE_TX_SEND_CF;
        entry->m_TxMsgLen = 6 + 7u * count;
        entry->m_TxActLen = 6;
        entry->cfCount = count;
        entry->bs = bs;
        entry->stmin = stmin;
        entry->seqId = TakeSeqId();
        entry->timeoutMs = NowMs() + 5000;
        for (uint16_t k = 0; k < count; ++k) {
            std::memset(entry->frames[k], 0xFF, 8);
            entry->frames[k][0] = static_cast<uint8_t>(0x20 | ((k + 1) & 0x0F));
            entry->frames[k][1] = static_cast<uint8_t>(k);
        }
        TxBufferEntry &ref = *entry;
        LockGuard txGuard(theModule.m_txLock);
        AppendRecord(theModule.m_txBuffer, theModule.m_txBufferCount, std::move(entry));
        return ref;
    }

    void Cycle(int times = 1) {
        PT_SCOPE(scope, "ThreadRead(start)");
        for (int i = 0; i < times; ++i) ThreadReadCycle(cycleCounter_, scope);
    }

    static Bytes Cf(uint8_t k) { return Bytes{static_cast<uint8_t>(0x20 | ((k + 1) & 0x0F)), k, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}; }

    static bool AckArmed(uint32_t canId) {
        LockGuard txGuard(theModule.m_txLock);
        auto it = theModule.m_ackPending.find(canId);
        return it != theModule.m_ackPending.end() && it->second;
    }

    uint32_t cycleCounter_ = 0;
};

TEST_F(WorkerTest, ReleasedTransferSendsOneFramePerCycleAndEndsArmingTheConfirmation) {
    Released(0x7E0, 3);
    for (uint8_t k = 0; k < 3; ++k) {
        Cycle();
        auto sent = Sent();
        ASSERT_EQ(k + 1u, sent.size());
        EXPECT_EQ(0x7E0u, sent[k].id);
        EXPECT_EQ(Cf(k), DataOf(sent[k]));
    }
    EXPECT_EQ(0, theModule.m_txBufferCount);
    EXPECT_TRUE(theModule.m_txBuffer.empty());
    EXPECT_TRUE(traced("We are finished... SeqID=1 1 0 0x07e0"));
    EXPECT_TRUE(traced("TX CONSECUTIVE_FRAME No 2 canID=0x07e0 "));
    EXPECT_TRUE(AckArmed(0x7E0));
    Cycle();
    EXPECT_EQ(3u, Sent().size());
}

TEST_F(WorkerTest, BlockSizeSendsBackToWaitingAfterEachBlock) {
    TxBufferEntry &entry = Released(0x7E0, 3, 2);
    entry.act_blk = 0;
    Cycle(2);
    EXPECT_EQ(2u, Sent().size());
    EXPECT_EQ(STATE_TX_WAIT_FC, entry.state);
    EXPECT_EQ(1u, tracedCount("Waiting for FlowControl"));
    Cycle(5);
    EXPECT_EQ(2u, Sent().size());

    ListenTo(0x7E8, 0x7E0);
    CanFrame fc{};
    fc.frameType = CAN_FRAME_TYPE_FRAME;
    fc.id = 0x7E8;
    fc.dlc = 3;
    fc.data[0] = 0x30;
    fc.data[1] = 0x02;
    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t num = 0;
    AnalyzeRxCanMessage(&fc, 1, msg.get(), &num);
    EXPECT_EQ(0, entry.act_blk);
    plat::SleepMs(2);  // STmin 0: from the next millisecond on
    Cycle();
    auto sent = Sent();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(Cf(2), DataOf(sent[2]));
    EXPECT_TRUE(theModule.m_txBuffer.empty());
}

TEST_F(WorkerTest, TwoTransfersEachGetOneFramePerCycle) {
    Released(0x7E0, 3);
    Released(0x7E1, 3);
    Cycle(2);
    auto sent = Sent();
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(0x7E0u, sent[0].id);
    EXPECT_EQ(0x7E1u, sent[1].id);
    EXPECT_EQ(0x7E0u, sent[2].id);
    EXPECT_EQ(0x7E1u, sent[3].id);
}

TEST_F(WorkerTest, WaitingTransferOnlyWaitsUntilItsDeadline) {
    TxBufferEntry &entry = Released(0x7E0, 3);
    entry.state = STATE_TX_WAIT_FC;
    entry.timeoutMs = NowMs() + 30;
    Cycle();
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(1, theModule.m_txBufferCount);
    plat::SleepMs(40);
    Cycle();
    EXPECT_EQ(0, theModule.m_txBufferCount);
    EXPECT_TRUE(traced("TX-TIMEOUT m_txBuffer removed from list ... SeqID=1 1 0"));
    EXPECT_TRUE(Sent().empty());
    EXPECT_FALSE(AckArmed(0x7E0));
}

TEST_F(WorkerTest, StalledReassemblyExpiresAtTheNextHundredAndFirstCycle) {
    ListenTo(0x7E8, 0x7E0);
    CanFrame ff{};
    ff.frameType = CAN_FRAME_TYPE_FRAME;
    ff.id = 0x7E8;
    ff.dlc = 8;
    const uint8_t bytes[] = {0x10, 0x14, 0, 1, 2, 3, 4, 5};
    std::memcpy(ff.data, bytes, 8);
    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t num = 0;
    AnalyzeRxCanMessage(&ff, 1, msg.get(), &num);
    ASSERT_EQ(1, theModule.m_rxBufferCount);
    theModule.m_rxBuffer.front()->timeoutMs = NowMs() - 1;

    Cycle(100);
    EXPECT_EQ(1, theModule.m_rxBufferCount);
    Cycle();
    EXPECT_EQ(0, theModule.m_rxBufferCount);
    EXPECT_TRUE(traced("RX TIMEOUT m_rxBuffer removed from list ... SeqID=1"));

    CanFrame cf = ff;
    const uint8_t next[] = {0x21, 6, 7, 8, 9, 10, 11, 12};
    std::memcpy(cf.data, next, 8);
    AnalyzeRxCanMessage(&cf, 1, msg.get(), &num);
    EXPECT_EQ(0u, num);
    EXPECT_TRUE(traced("Error CONSECUTIVE_FRAME  0"));
}

TEST_F(WorkerTest, SeparationTimePacesTheFramesOnTheBus) {
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    ListenTo(0x7E8, 0x7E0);
    PASSTHRU_MSG request = Request(0x7E0, Counting(6 + 7 * 4));
    uint32_t num = 1;
    ASSERT_EQ(STATUS_NOERROR, PassThruWriteMsgs(1, &request, &num, 0));
    Inject(0x7E8, {0x30, 0x00, 0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    ReadAll();
    for (int i = 0; i < 100 && TxCount() != 0; ++i) plat::SleepMs(10);
    ASSERT_EQ(0, PassThruDisconnect(1));

    auto sent = Sent();
    ASSERT_EQ(5u, sent.size());  // first frame, four consecutive frames
    for (size_t i = 2; i < sent.size(); ++i)
        EXPECT_GE(sent[i].wall_ns - sent[i - 1].wall_ns, 20000000u) << "frame " << i;
    EXPECT_GE(sent[1].wall_ns - sent[0].wall_ns, 20000000u);  // STmin counts from the flow control
}

TEST_F(WorkerTest, TransferInterruptedByDisconnectExpiresUnderTheNextWorker) {
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    PASSTHRU_MSG request = Request(0x7E0, Counting(20));
    uint32_t num = 1;
    ASSERT_EQ(STATUS_NOERROR, PassThruWriteMsgs(1, &request, &num, 0));
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_EQ(1, theModule.m_txBufferCount);
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    for (int i = 0; i < 200 && TxCount() != 0; ++i) plat::SleepMs(10);
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_EQ(0, theModule.m_txBufferCount);
    EXPECT_TRUE(traced("TX-TIMEOUT m_txBuffer removed from list ... SeqID=1 1 0"));
    EXPECT_EQ(1u, Sent().size());  // only the first frame ever went out
}

}  // namespace
