#include "transport/worker.h"

#include "api/module.h"
#include "can/can_io.h"
#include "trace/lock_guard.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/iso_tp.h"
#include "transport/records.h"

// Built with the module object, before the load handler, so the unload
// handler can still hand-shake with a worker the host left running.
__attribute__((init_priority(301))) plat::Event m_workerStarted;
__attribute__((init_priority(301))) plat::Event m_workerLeft;

namespace {

constexpr uint32_t kCycleUs = 1000;

void finishTransfer(TxBufferList::iterator where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    const int32_t before = theModule.m_txBufferCount;
    const uint32_t seqId = entry.seqId;
    const uint32_t canId = entry.canId;
    entry.state = STATE_TX_DONE;
    RemoveRecord(theModule.m_txBuffer, theModule.m_txBufferCount, where);
    scope.messagef(TL_INFO, "We are finished... SeqID=%d %d %d 0x%04x", static_cast<int>(seqId),
                   static_cast<int>(before), static_cast<int>(theModule.m_txBufferCount),
                   static_cast<unsigned>(canId));
    // The bus's confirmation of this last frame becomes the host's.
    theModule.m_ackPending[canId] = true;
}

// Sends the record's next consecutive frame if STmin allows. Returns true
// when the record has left the list.
bool sendConsecutiveFrame(TxBufferList::iterator where) {
    TxBufferEntry &entry = **where;
    PT_SCOPE(scope, "ThreadRead()");
    uint32_t now = NowMs();
    if (entry.nextTx != 0 && !(now > entry.nextTx)) return false;

    uint8_t frame[CAN_MAX_DLEN];
    for (int i = 0; i < CAN_MAX_DLEN; ++i) frame[i] = entry.frames[entry.cfSent][i];
    entry.m_TxActLen += entry.extFlag ? 6 : 7;
    VectorTransmit(entry.canId, CAN_MAX_DLEN, frame, 1, scope);
    scope.messagef(TL_INFO, "TX CONSECUTIVE_FRAME No %d canID=0x%04x ", entry.cfSent,
                   static_cast<unsigned>(entry.canId));
    entry.cfSent = static_cast<uint16_t>(entry.cfSent + 1);

    if (entry.bs != 0) {
        entry.act_blk = static_cast<uint8_t>(entry.act_blk + 1);
        if (entry.act_blk >= entry.bs) {
            entry.state = STATE_TX_WAIT_FC;
            scope.message("Waiting for FlowControl", TL_INFO);
        }
    }
    entry.nextTx = entry.stmin != 0 ? NowMs() + entry.stmin : 0;
    scope.messagef(TL_INFO,
                   "TX CONSECUTIVE_FRAME No %d canID=0x%04x nextTx=0x%08x m_TxMsgLen=%d "
                   "m_TxActLen=%d ",
                   entry.cfSent, static_cast<unsigned>(entry.canId),
                   static_cast<unsigned>(entry.nextTx), static_cast<int>(entry.m_TxMsgLen),
                   static_cast<int>(entry.m_TxActLen));
    // A refused frame counts as sent: the cfSent bound keeps the walk inside
    // the prepared frames even when the lengths disagree.
    if (entry.m_TxActLen >= entry.m_TxMsgLen || entry.cfSent >= entry.cfCount) {
        finishTransfer(where, scope);
        return true;
    }
    return false;
}

void expireTimedOut(TxBufferList::iterator where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    const int32_t before = theModule.m_txBufferCount;
    const uint32_t seqId = entry.seqId;
    entry.state = STATE_TX_DONE;
    RemoveRecord(theModule.m_txBuffer, theModule.m_txBufferCount, where);
    scope.messagef(TL_INFO, "TX-TIMEOUT m_txBuffer removed from list ... SeqID=%d %d %d",
                   static_cast<int>(seqId), static_cast<int>(before),
                   static_cast<int>(theModule.m_txBufferCount));
}

void serviceTransmissions(TraceScope &scope) {
    LockGuard txGuard(theModule.m_txLock);
    if (theModule.m_txBufferCount == 0) return;
    TxBufferList &list = theModule.m_txBuffer;
    for (auto it = list.begin(); it != list.end();) {
        TxBufferEntry &entry = **it;
        if (NowMs() > entry.timeoutMs) {
            expireTimedOut(it, scope);
            it = list.begin();
            continue;
        }
        if (entry.state == STATE_TX_SEND_CF && sendConsecutiveFrame(it)) {
            it = list.begin();
            continue;
        }
        ++it;
    }
}

void expireReassemblies(TraceScope &scope) {
    const uint32_t now = NowMs();
    if (theModule.m_rxBufferCount == 0) return;
    RxBufferList &list = theModule.m_rxBuffer;
    for (auto it = list.begin(); it != list.end();) {
        if (now > (*it)->timeoutMs) {
            const uint32_t seqId = (*it)->seqId;
            RemoveRecord(list, theModule.m_rxBufferCount, it);
            scope.messagef(TL_INFO, "RX TIMEOUT m_rxBuffer removed from list ... SeqID=%d",
                           static_cast<int>(seqId));
            it = list.begin();
            continue;
        }
        ++it;
    }
}

void runWorker() {
    PT_SCOPE(scope, "ThreadRead(start)");
    m_workerStarted.set();
    if (theModule.m_bThreadRun == 1) {
        // Windows' default timer tick would stretch each 1 ms cycle to ~16 ms.
        plat::BeginTimerResolution();
        // Cycles on a 1 ms beat rather than 1 ms of sleep after the work, so
        // consecutive frames at STmin 0 go out at 1 ms, not 1 ms plus the work.
        plat::Metronome beat(kCycleUs);
        uint32_t cycleCounter = 0;
        do {
            beat.wait();
            ThreadReadCycle(cycleCounter, scope);
        } while (theModule.m_bThreadRun == 1);
        plat::EndTimerResolution();
    }
    PT_SCOPE(end, "ThreadRead(end)");
}

}  // namespace

void ThreadReadCycle(uint32_t &cycleCounter, TraceScope &scope) {
    LockGuard readGuard(m_readLock);
    serviceTransmissions(scope);
    if (++cycleCounter > RX_CHECK_CYCLES) {
        cycleCounter = 0;
        expireReassemblies(scope);
    }
}

uint32_t ThreadRead(void *) {
    runWorker();
    // Last step: whoever stops the worker may now release the thread.
    m_workerLeft.set();
    return 0;
}
