#include "transport/worker.h"

#include "can/can_port.h"
#include "platform/platform.h"
#include "trace/lock_guard.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/iso_tp.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kCycleUs = 1000;
constexpr uint32_t kDisconnectPauseMs = 20;
// Bounded, so that a worker that cannot run any more (a process being torn
// down) never hangs the caller.
constexpr uint32_t kWorkerHandshakeMs = 2000;

void FinishTransfer(IsoTpTransport &so, TxBufferList::iterator where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    const int32_t before = so.m_txBuffer.count;
    const uint32_t seqId = entry.seqId;
    const uint32_t canId = entry.canId;
    entry.state = STATE_TX_DONE;
    so.m_txBuffer.remove(where);
    scope.messagef(TL_INFO, "We are finished... SeqID=%d %d %d 0x%04x", static_cast<int>(seqId),
                   static_cast<int>(before), static_cast<int>(so.m_txBuffer.count), static_cast<unsigned>(canId));
    // The bus's confirmation of this last frame becomes the host's.
    so.m_ackPending[canId] = true;
}

// Books one consecutive frame of the record as sent (a refused frame counts
// too: the cfSent bound keeps the walk inside the prepared frames even when
// the lengths disagree). Returns true when the record has left the list.
bool AdvanceTransfer(IsoTpTransport &so, TxBufferList::iterator where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    entry.m_TxActLen += entry.extFlag ? 6 : 7;
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
    if (so.m_profile.on) {
        entry.nextTxUs = entry.stminUs != 0 ? plat::NowUs() + entry.stminUs : 0;
        entry.nextTx = static_cast<uint32_t>(entry.nextTxUs);
    } else {
        entry.nextTx = entry.stmin != 0 ? NowMs() + entry.stmin : 0;
    }
    scope.messagef(TL_INFO,
                   "TX CONSECUTIVE_FRAME No %d canID=0x%04x nextTx=0x%08x m_TxMsgLen=%d "
                   "m_TxActLen=%d ",
                   entry.cfSent, static_cast<unsigned>(entry.canId), static_cast<unsigned>(entry.nextTx),
                   static_cast<int>(entry.m_TxMsgLen), static_cast<int>(entry.m_TxActLen));
    if (entry.m_TxActLen >= entry.m_TxMsgLen || entry.cfSent >= entry.cfCount) {
        FinishTransfer(so, where, scope);
        return true;
    }
    return false;
}

// Sends the record's next consecutive frame if STmin allows: one per visit,
// so one per cycle. Returns true when the record has left the list.
bool SendConsecutiveFrame(IsoTpTransport &so, TxBufferList::iterator where) {
    TxBufferEntry &entry = **where;
    PT_SCOPE(scope, "ThreadRead()");
    uint32_t now = NowMs();
    if (entry.nextTx != 0 && !(now > entry.nextTx)) return false;
    so.transmit(entry.canId, CAN_MAX_DLEN, entry.frames[entry.cfSent], 1, scope);
    return AdvanceTransfer(so, where, scope);
}

// The field profile sends every frame that is due, as far as STmin, the block
// and the bus allow: frames are handed over while the ones before them would
// leave the bus within kBusAheadUs, so the bus never waits for the worker and
// the driver's transmit queue never fills. due learns when this record's next
// frame is due. Returns true when the record has left the list.
constexpr uint64_t kBusAheadUs = 3000;
constexpr uint64_t kQueueFullRetryUs = 1000;
// An 8-byte standard frame without stuffing bits, interframe space included.
constexpr uint64_t kFrameBits = 111;

void NoteDue(uint64_t &due, uint64_t when) {
    if (due == 0 || when < due) due = when;
}

bool SendDueFrames(IsoTpTransport &so, TxBufferList::iterator where, uint64_t &due) {
    TxBufferEntry &entry = **where;
    PT_SCOPE(scope, "ThreadRead()");
    const uint32_t bitrate = so.m_port.bitrate();
    const uint64_t frameUs = bitrate != 0 ? kFrameBits * 1000000u / bitrate : 0;
    while (entry.state == STATE_TX_SEND_CF) {
        const uint64_t now = plat::NowUs();
        if (entry.nextTxUs > now) {
            NoteDue(due, entry.nextTxUs);
            return false;
        }
        if (so.m_busFreeUs > now + kBusAheadUs) {
            NoteDue(due, so.m_busFreeUs - kBusAheadUs);
            return false;
        }
        bool queueFull = false;
        so.transmit(entry.canId, CAN_MAX_DLEN, entry.frames[entry.cfSent], 1, scope, &queueFull);
        if (queueFull) {
            NoteDue(due, now + kQueueFullRetryUs);
            return false;
        }
        so.m_busFreeUs = (so.m_busFreeUs > now ? so.m_busFreeUs : now) + frameUs;
        if (AdvanceTransfer(so, where, scope)) return true;
    }
    return false;
}

void ExpireTimedOut(IsoTpTransport &so, TxBufferList::iterator where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    const int32_t before = so.m_txBuffer.count;
    const uint32_t seqId = entry.seqId;
    entry.state = STATE_TX_DONE;
    so.m_txBuffer.remove(where);
    scope.messagef(TL_INFO, "TX-TIMEOUT m_txBuffer removed from list ... SeqID=%d %d %d", static_cast<int>(seqId),
                   static_cast<int>(before), static_cast<int>(so.m_txBuffer.count));
}

uint64_t ServiceTransmissions(IsoTpTransport &so, TraceScope &scope) {
    LockGuard txGuard(so.m_txLock);
    uint64_t due = 0;
    if (so.m_txBuffer.count == 0) return due;
    so.m_txBuffer.walk([&](TxBufferList::iterator where) {
        if (NowMs() > (*where)->timeoutMs) {
            ExpireTimedOut(so, where, scope);
            return true;
        }
        if ((*where)->state != STATE_TX_SEND_CF) return false;
        return so.m_profile.on ? SendDueFrames(so, where, due) : SendConsecutiveFrame(so, where);
    });
    return due;
}

void ExpireReassemblies(IsoTpTransport &so, TraceScope &scope) {
    const uint32_t now = NowMs();
    if (so.m_rxBuffer.count == 0) return;
    so.m_rxBuffer.walk([&](RxBufferList::iterator where) {
        if (!(now > (*where)->timeoutMs)) return false;
        const uint32_t seqId = (*where)->seqId;
        so.m_rxBuffer.remove(where);
        scope.messagef(TL_INFO, "RX TIMEOUT m_rxBuffer removed from list ... SeqID=%d", static_cast<int>(seqId));
        return true;
    });
}

}  // namespace

void TransportWorker::run() {
    PT_SCOPE(scope, "ThreadRead(start)");
    m_workerStarted.set();
    if (m_bThreadRun == 1) {
        // Windows' default timer tick would stretch each 1 ms cycle to ~16 ms.
        plat::BeginTimerResolution();
        // Cycles on a 1 ms beat rather than 1 ms of sleep after the work, so
        // consecutive frames at STmin 0 go out at 1 ms, not 1 ms plus the work.
        plat::Metronome beat(kCycleUs);
        uint32_t cycleCounter = 0;
        uint64_t due = 0;
        do {
            // A consecutive frame due before the next beat (the field
            // profile's STmin below a millisecond) is waited for exactly.
            if (due != 0 && due < plat::NowUs() + kCycleUs)
                plat::SleepUntilUs(due);
            else
                beat.wait();
            due = m_transport.ThreadReadCycle(cycleCounter, scope);
        } while (m_bThreadRun == 1);
        plat::EndTimerResolution();
    }
    PT_SCOPE(end, "ThreadRead(end)");
}

uint64_t IsoTpTransport::ThreadReadCycle(uint32_t &cycleCounter, TraceScope &scope) {
    LockGuard readGuard(m_readLock);
    const uint64_t due = ServiceTransmissions(*this, scope);
    if (++cycleCounter > RX_CHECK_CYCLES) {
        cycleCounter = 0;
        ExpireReassemblies(*this, scope);
    }
    return due;
}

uint32_t TransportWorker::ThreadRead(void *self) {
    TransportWorker &worker = *static_cast<TransportWorker *>(self);
    worker.run();
    // Last step: whoever stops the worker may now release the thread.
    worker.m_workerLeft.set();
    return 0;
}

bool TransportWorker::start(int *error) {
    m_workerStarted.reset();
    m_workerLeft.reset();
    m_bThreadRun = 1;
    if (!plat::StartThread(ThreadRead, this, &m_hReadThread, error)) {
        m_bThreadRun = 0;
        return false;
    }
    // Returning only once the worker runs keeps start and stop strictly
    // paired, also when the host disconnects at once.
    m_workerStarted.wait(kWorkerHandshakeMs);
    return true;
}

void TransportWorker::stop() {
    m_bThreadRun = 0;
    plat::SleepMs(kDisconnectPauseMs);
    if (m_hReadThread.open) {
        const bool left = m_workerLeft.wait(kWorkerHandshakeMs);
        plat::CloseThread(&m_hReadThread, left);
    }
}
