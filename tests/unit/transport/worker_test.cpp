#include <cstring>

#include "api/module.h"
#include "platform/platform.h"
#include "sim_world.h"
#include "trace/lock_guard.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/records.h"
#include "transport/worker.h"

namespace {

using namespace simworld;

class WorkerTest : public OpenChannelTest {
protected:
    // A released transfer (block size 0, STmin 0) with count prepared frames: Cf(k) for k = 0...
    static TxBufferEntry &Released(uint32_t canId, uint16_t count) {
        auto entry = std::make_unique<TxBufferEntry>();
        entry->canId = canId;
        entry->state = STATE_TX_SEND_CF;
        entry->m_TxMsgLen = 6 + 7u * count;
        entry->m_TxActLen = 6;
        entry->cfCount = count;
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

    static Bytes Cf(uint8_t k) {
        Bytes frame(8, 0xFF);
        frame[0] = static_cast<uint8_t>(0x20 | ((k + 1) & 0x0F));
        frame[1] = k;
        return frame;
    }

    static int32_t TxCount() {
        LockGuard txGuard(theModule.m_txLock);
        return theModule.m_txBufferCount;
    }

    uint32_t cycleCounter_ = 0;
};

TEST_F(WorkerTest, ReleasedTransferSendsOneFramePerCycleAndEndsArmingTheConfirmation) {
    Released(0x7E0, 3);
    for (uint8_t k = 0; k < 3; ++k) {
        Cycle();
        auto sent = SentOn(0);
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
    EXPECT_EQ(3u, SentOn(0).size());
}

TEST_F(WorkerTest, TwoTransfersEachGetOneFramePerCycle) {
    Released(0x7E0, 3);
    Released(0x7E1, 3);
    Cycle(2);
    auto sent = SentOn(0);
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
    EXPECT_TRUE(SentOn(0).empty());
    EXPECT_EQ(1, theModule.m_txBufferCount);
    plat::SleepMs(40);
    Cycle();
    EXPECT_EQ(0, theModule.m_txBufferCount);
    EXPECT_TRUE(traced("TX-TIMEOUT m_txBuffer removed from list ... SeqID=1 1 0"));
    EXPECT_TRUE(SentOn(0).empty());
    EXPECT_FALSE(AckArmed(0x7E0));
}

TEST_F(WorkerTest, StalledReassemblyExpiresAtTheNextHundredAndFirstCycle) {
    ListenTo(0x7E8, 0x7E0);
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    ASSERT_TRUE(ReadAll().empty());
    ASSERT_EQ(1, theModule.m_rxBufferCount);
    theModule.m_rxBuffer.front()->timeoutMs = NowMs() - 1;

    Cycle(100);
    EXPECT_EQ(1, theModule.m_rxBufferCount);
    Cycle();
    EXPECT_EQ(0, theModule.m_rxBufferCount);
    EXPECT_TRUE(traced("RX TIMEOUT m_rxBuffer removed from list ... SeqID=1"));

    Inject(0x7E8, {0x21, 6, 7, 8, 9, 10, 11, 12});
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_TRUE(traced("Error CONSECUTIVE_FRAME  0"));
}

TEST_F(WorkerTest, TransferInterruptedByDisconnectExpiresUnderTheNextWorker) {
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x7E0, Counting(20))));
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_EQ(1, theModule.m_txBufferCount);
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    for (int i = 0; i < 200 && TxCount() != 0; ++i) plat::SleepMs(10);
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_EQ(0, theModule.m_txBufferCount);
    EXPECT_TRUE(traced("TX-TIMEOUT m_txBuffer removed from list ... SeqID=1 1 0"));
    EXPECT_EQ(1u, SentOn(0).size());  // only the first frame ever went out
}

}  // namespace
