#include "transport/outgoing.h"

#include <cstring>
#include <memory>

#include "can/can_port.h"
#include "j2534.h"
#include "platform/lock_guard.h"
#include "platform/platform.h"
#include "trace/text_line.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/iso_tp.h"

namespace {

// The field profile hands frames to the driver while the ones before them
// would leave the bus within kBusAheadUs, so the bus never waits for the
// worker and the driver's transmit queue never fills.
constexpr uint64_t kBusAheadUs = 3000;
constexpr uint64_t kQueueFullRetryUs = 1000;
// An 8-byte standard frame without stuffing bits, interframe space included.
constexpr uint64_t kFrameBits = 111;

void NoteDue(uint64_t &due, uint64_t when) {
    if (due == 0 || when < due) due = when;
}

}  // namespace

uint32_t OutgoingTransfers::transmit_(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad,
                                      TraceScope &scope, bool *queueFull, const ConfirmationTag &tag,
                                      uint8_t padByte, uint8_t format) {
    // The field profile hands a host that reads confirmations the one of a
    // transfer's last frame: the port notes every frame of ours for it.
    const bool noteForReader = m_profile.on && !withResults();
    const ConfirmationTag noted = noteForReader ? ConfirmationTag{readerKey(), 0, 0} : tag;
    return m_port.VectorTransmit(id, length, data, pad, scope, queueFull, noted, padByte, format);
}

uint32_t OutgoingTransfers::transmitFlowControl(uint32_t id, const CanPayload &frame, uint32_t pad, uint8_t padByte,
                                                TraceScope &scope) {
    LockGuard guard(m_lock);
    return transmit_(id, frame.length, frame.bytes, pad, scope, nullptr, ConfirmationTag(), padByte, frame.format);
}

uint32_t OutgoingTransfers::sendSingleFrame(uint32_t canId, const CanPayload &frame, uint32_t pad, TraceScope &scope) {
    // The bus may confirm the frame before this thread gets to arm the flag:
    // a reader on another thread must not look before it is armed.
    LockGuard guard(m_lock);
    const uint32_t result =
        transmit_(canId, frame.length, frame.bytes, pad, scope, nullptr, ConfirmationTag(), CAN_PAD_BYTE, frame.format);
    scope.messagef(TL_INFO, "PassThruWriteMsg->ACK ->CanID: %X ", static_cast<unsigned>(canId));
    // Armed also after a refusal: the bus may still confirm the frame.
    m_ackPending[canId] = true;
    return result;
}

bool OutgoingTransfers::linkBusy(uint32_t canId, const IsoTpAddress &addr) {
    for (const auto &entry : m_txBuffer)
        if (entry->canId == canId && entry->extFlag == addr.extFlag && (!addr.extFlag || entry->extAddr == addr.extAddr))
            return true;
    return false;
}

uint32_t OutgoingTransfers::sendSingleFrame(const OutgoingMessage &tx, const CanPayload &frame, TraceScope &scope) {
    LockGuard guard(m_lock);
    if (linkBusy(tx.canId, tx.addr)) {
        // Behind the message in flight on the link: the worker sends it when
        // that one has gone.
        auto entry = newEntry(tx, scope);
        entry->single = true;
        entry->singleLength = static_cast<uint8_t>(frame.length);
        std::memcpy(entry->heldFrame, frame.bytes, sizeof entry->heldFrame);
        scope.messagef(TL_INFO, "SINGLE_FRAME queued SeqID=%d CanID=%04X", static_cast<int>(entry->seqId),
                       static_cast<unsigned>(tx.canId));
        m_txBuffer.append(std::move(entry));
        return STATUS_NOERROR;
    }
    const uint32_t result = transmit_(tx.canId, frame.length, frame.bytes, tx.pad, scope, nullptr, tagFor(tx.token),
                                     tx.padByte, frame.format);
    if (result == STATUS_NOERROR) m_awaiting.insert(tx.token);
    return result;
}

std::unique_ptr<TxBufferEntry> OutgoingTransfers::newEntry(const OutgoingMessage &tx, TraceScope &scope) {
    auto entry = std::make_unique<TxBufferEntry>();
    entry->canId = tx.canId;
    entry->m_TxMsgLen = tx.length;
    entry->seqId = m_seqIds.take();
    entry->m_TxActLen = tx.firstFramePayload();
    entry->frameLength = tx.frameLength;
    entry->frameFormat = tx.frameFormat;
    entry->token = tx.token;
    entry->pad = tx.pad;
    entry->padByte = tx.padByte;
    entry->state = TxState::Queued;
    if (tx.addr.extFlag) {
        entry->extFlag = 1;
        entry->extAddr = tx.addr.extAddr;
        scope.message("ExtendedAdressing saving in TX stucture", TL_INFO);
    }
    return entry;
}

// A new message on an id ends the transfer still running on it, unless that
// one goes to another extended address.
void OutgoingTransfers::replaceOlderTransfers(const OutgoingMessage &tx, TraceScope &scope) {
    m_txBuffer.walk([&](Where where) {
        TxBufferEntry &old = **where;
        if (old.canId != tx.canId || (old.extFlag == 1 && old.extAddr != tx.addr.extAddr)) return false;
        scope.message(old.extFlag == 1 ? "delted via CANID AND ExtAdr" : "delted via CANID", TL_ERROR);
        const int32_t before = m_txBuffer.count();
        const uint32_t seqId = old.seqId;
        const uint32_t canId = old.canId;
        const uint8_t extAddr = old.extAddr;
        m_txBuffer.remove(where);
        scope.messagef(TL_INFO, "DUPLICATED m_txBuffer removed from list ... SeqID=%d %d %d %04x %02x",
                       static_cast<int>(seqId), static_cast<int>(before), static_cast<int>(m_txBuffer.count()),
                       static_cast<unsigned>(canId), extAddr);
        return true;
    });
}

bool OutgoingTransfers::prepareConsecutiveFrames(const OutgoingMessage &tx, TxBufferEntry &entry,
                                                 TraceScope &scope) {
    entry.bs = 8;
    entry.act_blk = 0xFF;
    entry.stmin = 0;
    entry.cfSent = 0;
    const uint32_t cfCount = BuildConsecutiveFrames(tx, entry);
    if (cfCount >= TX_CF_SLOTS) {
        scope.message("ERROR !!! Can Frame size over max !", TL_ERROR);
        return false;
    }
    entry.cfCount = static_cast<uint16_t>(cfCount);
    scope.messagef(TL_INFO, "CF created Count=%d ", static_cast<int>(cfCount));
    if (scope.isEnabled()) {
        for (uint32_t i = 0; i < cfCount; ++i) {
            TextLine frameLine;
            frameLine.appendf("FRAME %d Data: ", static_cast<int>(i));
            frameLine.appendBytes(entry.consecutive(i), entry.frameLength);
            scope.message(frameLine.c_str(), TL_INFO);
        }
    }
    return true;
}

// The first frame of a prepared transfer, kept in the slot behind its
// consecutive frames until it goes. False when the driver refused it.
bool OutgoingTransfers::sendFirstFrame(TxBufferEntry &entry, TraceScope &scope) {
    if (transmit_(entry.canId, entry.frameLength, entry.heldFrame, entry.pad, scope, nullptr, ConfirmationTag(),
                  entry.padByte, entry.frameFormat) != STATUS_NOERROR) {
        scope.message("Error in First Frame 1", TL_INFO);
        return false;
    }
    entry.timeoutMs = NowMs() + FC_WAIT_TIMEOUT_MS;
    entry.state = TxState::WaitForFlowControl;
    return true;
}

uint32_t OutgoingTransfers::startTransfer(const OutgoingMessage &tx, TextLine &line, TraceScope &scope) {
    // Held from the first frame to the append: the peer's flow control may be
    // read on another thread before this one has put the record in the list.
    LockGuard guard(m_lock);
    if (m_options.replaceInFlight()) replaceOlderTransfers(tx, scope);
    const bool queued = !m_options.replaceInFlight() && linkBusy(tx.canId, tx.addr);

    auto entry = newEntry(tx, scope);
    const CanPayload firstFrame = BuildFirstFrame(tx);
    std::memcpy(entry->heldFrame, firstFrame.bytes, sizeof entry->heldFrame);
    line.appendBytes(tx.payload, tx.firstFramePayload());
    scope.messagef(TL_INFO, "FIRST_FRAME with len %d SeqID=%d Timeout %d m_txBuffer added CanID=%04X",
                   static_cast<int>(entry->m_TxMsgLen), static_cast<int>(entry->seqId),
                   static_cast<int>(FC_WAIT_TIMEOUT_MS), static_cast<unsigned>(tx.canId));
    scope.message(line.c_str(), TL_INFO);
    if (queued) {
        if (!prepareConsecutiveFrames(tx, *entry, scope)) return ERR_NOT_SUPPORTED;
        scope.messagef(TL_INFO, "FIRST_FRAME queued behind the transfer on CanID=%04X SeqID=%d",
                       static_cast<unsigned>(tx.canId), static_cast<int>(entry->seqId));
        m_txBuffer.append(std::move(entry));
        return STATUS_NOERROR;
    }
    if (!sendFirstFrame(*entry, scope)) return ERR_NOT_SUPPORTED;
    if (!prepareConsecutiveFrames(tx, *entry, scope)) return ERR_NOT_SUPPORTED;
    entry->timeoutMs = NowMs() + FC_WAIT_TIMEOUT_MS;
    m_txBuffer.append(std::move(entry));
    return STATUS_NOERROR;
}

// Starts the queued messages whose link has come free, oldest first.
void OutgoingTransfers::startQueued(PendingResults &results, TraceScope &scope) {
    for (auto it = m_txBuffer.begin(); it != m_txBuffer.end(); ++it) {
        TxBufferEntry &entry = **it;
        if (entry.state != TxState::Queued) continue;
        bool ahead = false;
        for (auto before = m_txBuffer.begin(); before != it && !ahead; ++before)
            ahead = (*before)->canId == entry.canId && (*before)->extFlag == entry.extFlag &&
                    (*before)->extAddr == entry.extAddr;
        if (ahead) continue;
        if (entry.single) {
            const uint32_t status = transmit_(entry.canId, entry.singleLength, entry.heldFrame, entry.pad, scope,
                                             nullptr, tagFor(entry.token), entry.padByte, entry.frameFormat);
            if (status == STATUS_NOERROR)
                m_awaiting.insert(entry.token);
            else
                results.push_back(PendingResult{entry.token, TxResult::Refused});
        } else if (sendFirstFrame(entry, scope)) {
            continue;
        } else {
            results.push_back(PendingResult{entry.token, TxResult::Refused});
        }
        // A single frame, or a first frame the driver refused: the record goes.
        m_txBuffer.remove(it);
        it = m_txBuffer.begin();
        if (it == m_txBuffer.end()) return;
    }
}

// The first confirmation after a message of ours went out is the host's;
// the bus confirms every frame, so all others are dropped.
bool OutgoingTransfers::takeConfirmation(const CanFrame &ack) {
    const uint32_t canId = ack.id;
    LockGuard guard(m_lock);
    if (m_profile.on) {
        // Confirmations of earlier frames of a transfer still on the way are
        // not the host's: its one is the last frame's.
        PendingConfirmations &record = m_port.confirmations();
        Confirmation taken;
        if (record.take(ack, taken) && record.holds(readerKey(), canId)) return false;
    }
    bool &pending = m_ackPending[canId];
    const bool deliver = pending;
    pending = false;
    return deliver;
}

bool OutgoingTransfers::confirmed(uint64_t token, PendingResults &results) {
    LockGuard guard(m_lock);
    if (m_awaiting.erase(token) == 0) return false;
    results.push_back(PendingResult{token, TxResult::Confirmed});
    return true;
}

// The field profile's reading of a flow status for the waiting transfer at
// where: true for clear to send. WAIT restarts the wait for the next flow
// control, up to the configured number of WAITs; OVERFLOW, or one WAIT too
// many, ends the transfer without a confirmation; reserved values are ignored.
int32_t OutgoingTransfers::maxWaits() const {
    const int32_t override = m_options.maxWaits();
    return override >= 0 ? override : m_profile.maxWaits;
}

bool OutgoingTransfers::clearToSend(Where where, uint8_t flowStatus, PendingResults &results, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    if (flowStatus == FS_CTS) return true;
    if (flowStatus == FS_WAIT && ++entry.fcWaits <= maxWaits()) {
        entry.timeoutMs = NowMs() + FC_WAIT_TIMEOUT_MS;
        scope.messagef(TL_INFO, "FLOW_CONTROL WAIT %d of %d canID=0x%04x SeqID=%d", static_cast<int>(entry.fcWaits),
                       static_cast<int>(maxWaits()), static_cast<unsigned>(entry.canId),
                       static_cast<int>(entry.seqId));
        return false;
    }
    if (flowStatus == FS_WAIT || flowStatus == FS_OVFLW) {
        if (flowStatus == FS_WAIT)
            scope.messagef(TL_ERROR, "FLOW_CONTROL WAIT more than %d times canID=0x%04x, transfer abandoned SeqID=%d",
                           static_cast<int>(maxWaits()), static_cast<unsigned>(entry.canId),
                           static_cast<int>(entry.seqId));
        else
            scope.messagef(TL_ERROR, "FLOW_CONTROL OVERFLOW canID=0x%04x, transfer abandoned SeqID=%d",
                           static_cast<unsigned>(entry.canId), static_cast<int>(entry.seqId));
        if (entry.token != 0)
            results.push_back(
                PendingResult{entry.token, flowStatus == FS_WAIT ? TxResult::TooManyWaits : TxResult::Overflow});
        m_txBuffer.remove(where);
        return false;
    }
    scope.messagef(TL_INFO, "FLOW_CONTROL reserved flow status %d canID=0x%04x ignored", flowStatus,
                   static_cast<unsigned>(entry.canId));
    return false;
}

FlowControlMatch OutgoingTransfers::releaseOnFlowControl(uint32_t flowId, const CanFrame &frame, bool ignoreStmin,
                                                         PendingResults &results, TraceScope &scope) {
    FlowControlMatch result = FlowControlMatch::NoneWaiting;
    LockGuard guard(m_lock);
    for (auto it = m_txBuffer.begin(); it != m_txBuffer.end(); ++it) {
        TxBufferEntry &entry = **it;
        if (entry.state != TxState::WaitForFlowControl) {
            result = FlowControlMatch::NoneWaiting;
            continue;
        }
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "Flow compare %04X %04x SeqID=%d", static_cast<unsigned>(entry.canId),
                           static_cast<unsigned>(flowId), static_cast<int>(entry.seqId));
        if (entry.canId != flowId) {
            result = FlowControlMatch::OtherId;
            continue;
        }
        result = FlowControlMatch::Taken;
        if (scope.isEnabled()) scope.message("FLOW machted ID -> sending", TL_INFO);
        // Our own record knows whether the peer's frames carry an address byte.
        const uint32_t params = entry.extFlag ? 2u : 1u;
        // Without the field profile the flow status is not looked at: every
        // flow control is a go.
        if (m_profile.on && !clearToSend(it, PciLow(frame.byteAt(params - 1)), results, scope)) break;
        entry.state = TxState::SendConsecutive;
        entry.act_blk = 0;
        entry.bs = frame.byteAt(params);
        entry.stmin = frame.byteAt(params + 1);
        const int32_t bsOverride = m_options.blockSizeTx();
        const int32_t stminOverride = m_options.stminTx();
        if (bsOverride >= 0) entry.bs = static_cast<uint8_t>(bsOverride);
        if (stminOverride >= 0) entry.stmin = static_cast<uint8_t>(stminOverride);
        entry.stminUs = StminUs(entry.stmin);
        entry.fcWaits = 0;
        int remaining = entry.cfCount - entry.cfSent;
        if (remaining < 1) {
            scope.message("less frames ....error", TL_ERROR);
            remaining = 1;
        }
        const uint32_t stminMs = m_profile.on ? (entry.stminUs + 999u) / 1000u : entry.stmin;
        const uint32_t estimate = static_cast<uint32_t>(remaining) * (stminMs + 10u) + 1000u;
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "CF block tx timeout estimated: %d for %d blocks", static_cast<int>(estimate),
                           remaining);
        entry.timeoutMs = NowMs() + estimate;
        entry.nextTx = NowMs() + entry.stmin;
        entry.nextTxUs = plat::NowUs() + entry.stminUs;
        if (ignoreStmin) {
            if (scope.isEnabled()) scope.message("STmin overwritten to 0 (1 of 2)", TL_INFO);
            entry.stmin = 0;
            entry.nextTx = 0;
            entry.stminUs = 0;
            entry.nextTxUs = 0;
        }
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "FLOW_CONTROL No %d canID=0x%04x bs=%d act_blk=%d wait=%d nextTx=0x%08x",
                           entry.cfSent, static_cast<unsigned>(frame.id), entry.bs, entry.act_blk, entry.stmin,
                           static_cast<unsigned>(entry.nextTx));
        break;
    }
    return result;
}

void OutgoingTransfers::finishTransfer(Where where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    const int32_t before = m_txBuffer.count();
    const uint32_t seqId = entry.seqId;
    const uint32_t canId = entry.canId;
    m_txBuffer.remove(where);
    scope.messagef(TL_INFO, "We are finished... SeqID=%d %d %d 0x%04x", static_cast<int>(seqId),
                   static_cast<int>(before), static_cast<int>(m_txBuffer.count()), static_cast<unsigned>(canId));
    // The bus's confirmation of this last frame becomes the host's; with
    // results the port's record hands it to the owner.
    if (!withResults()) m_ackPending[canId] = true;
}

// Books one consecutive frame of the record as sent (a refused frame counts
// too: the cfSent bound keeps the walk inside the prepared frames even when
// the lengths disagree). Returns true when the record has left the list.
bool OutgoingTransfers::advanceTransfer(Where where, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    entry.m_TxActLen += entry.consecutivePayload();
    scope.messagef(TL_INFO, "TX CONSECUTIVE_FRAME No %d canID=0x%04x ", entry.cfSent,
                   static_cast<unsigned>(entry.canId));
    entry.cfSent = static_cast<uint16_t>(entry.cfSent + 1);

    if (entry.bs != 0) {
        entry.act_blk = static_cast<uint8_t>(entry.act_blk + 1);
        if (entry.act_blk >= entry.bs) {
            entry.state = TxState::WaitForFlowControl;
            scope.message("Waiting for FlowControl", TL_INFO);
        }
    }
    if (m_profile.on) {
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
        finishTransfer(where, scope);
        return true;
    }
    return false;
}

// Sends the record's next consecutive frame if STmin allows: one per visit,
// so one per cycle. Returns true when the record has left the list.
bool OutgoingTransfers::sendConsecutiveFrame(Where where, PendingResults &results) {
    TxBufferEntry &entry = **where;
    PT_SCOPE(scope, "ThreadRead()");
    uint32_t now = NowMs();
    if (entry.nextTx != 0 && !(now > entry.nextTx)) return false;
    sendNextConsecutive(entry, scope, nullptr, results);
    return advanceTransfer(where, scope);
}

// The record's next consecutive frame: whole frames but the last, which
// carries only its bytes unless the message or the design fills it up (on
// CAN FD the port pads a frame above 8 bytes to the next length there is).
// The last one's confirmation is the message's result.
uint32_t OutgoingTransfers::sendNextConsecutive(TxBufferEntry &entry, TraceScope &scope, bool *queueFull,
                                                PendingResults &results) {
    const bool full = m_options.fullFrames();
    const bool last = entry.cfSent + 1u >= entry.cfCount;
    const bool shortLast = last && !full && (entry.pad == 0 || entry.frameLength > CAN_MAX_DLEN);
    const int32_t length = shortLast ? entry.lastLength : entry.frameLength;
    const uint32_t pad = full ? 1 : entry.pad;
    const bool told = last && withResults() && entry.token != 0;
    const uint32_t status = transmit_(entry.canId, length, entry.consecutive(entry.cfSent), pad, scope, queueFull,
                                     told ? tagFor(entry.token) : ConfirmationTag(), entry.padByte, entry.frameFormat);
    if (told) {
        if (status == STATUS_NOERROR)
            m_awaiting.insert(entry.token);
        else if (!(queueFull && *queueFull))
            results.push_back(PendingResult{entry.token, TxResult::Refused});
    }
    return status;
}

// The field profile sends every frame that is due, as far as STmin, the block
// and the bus allow. due learns when this record's next frame is due.
// Returns true when the record has left the list.
bool OutgoingTransfers::sendDueFrames(Where where, uint64_t &due, PendingResults &results) {
    TxBufferEntry &entry = **where;
    PT_SCOPE(scope, "ThreadRead()");
    const uint32_t bitrate = m_port.bitrate();
    const uint64_t frameUs = bitrate != 0 ? kFrameBits * 1000000u / bitrate : 0;
    while (entry.state == TxState::SendConsecutive) {
        const uint64_t now = plat::NowUs();
        if (entry.nextTxUs > now) {
            NoteDue(due, entry.nextTxUs);
            return false;
        }
        if (m_busFreeUs > now + kBusAheadUs) {
            NoteDue(due, m_busFreeUs - kBusAheadUs);
            return false;
        }
        bool queueFull = false;
        sendNextConsecutive(entry, scope, &queueFull, results);
        if (queueFull) {
            NoteDue(due, now + kQueueFullRetryUs);
            return false;
        }
        m_busFreeUs = (m_busFreeUs > now ? m_busFreeUs : now) + frameUs;
        if (advanceTransfer(where, scope)) return true;
    }
    return false;
}

void OutgoingTransfers::expireTimedOut(Where where, PendingResults &results, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    if (entry.token != 0) results.push_back(PendingResult{entry.token, TxResult::TimedOut});
    const int32_t before = m_txBuffer.count();
    const uint32_t seqId = entry.seqId;
    m_txBuffer.remove(where);
    scope.messagef(TL_INFO, "TX-TIMEOUT m_txBuffer removed from list ... SeqID=%d %d %d", static_cast<int>(seqId),
                   static_cast<int>(before), static_cast<int>(m_txBuffer.count()));
}

uint64_t OutgoingTransfers::service(PendingResults &results, TraceScope &scope) {
    LockGuard guard(m_lock);
    uint64_t due = 0;
    if (m_txBuffer.count() == 0) return due;
    m_txBuffer.walk([&](Where where) {
        // A queued message's time starts with its first frame.
        if ((*where)->state == TxState::Queued) return false;
        if (NowMs() > (*where)->timeoutMs) {
            expireTimedOut(where, results, scope);
            return true;
        }
        if ((*where)->state != TxState::SendConsecutive) return false;
        return m_profile.on ? sendDueFrames(where, due, results) : sendConsecutiveFrame(where, results);
    });
    startQueued(results, scope);
    return due;
}

uint32_t OutgoingTransfers::nextTimeoutMs(bool *framePerCycle) {
    LockGuard guard(m_lock);
    uint32_t first = 0;
    *framePerCycle = false;
    m_txBuffer.walk([&](Where where) {
        const TxBufferEntry &entry = **where;
        if (entry.state == TxState::Queued) return false;
        if (entry.state == TxState::SendConsecutive && !m_profile.on) *framePerCycle = true;
        if (first == 0 || static_cast<int32_t>(entry.timeoutMs - first) < 0) first = entry.timeoutMs;
        return false;
    });
    return first;
}

void OutgoingTransfers::abort(uint64_t token) {
    LockGuard guard(m_lock);
    m_txBuffer.walk([&](Where where) {
        if ((*where)->token != token) return false;
        m_txBuffer.remove(where);
        return true;
    });
    m_awaiting.erase(token);
    m_port.confirmations().forget(m_confirmOwner, token);
}

void OutgoingTransfers::abortAll() {
    LockGuard guard(m_lock);
    m_txBuffer.walk([&](Where where) {
        m_txBuffer.remove(where);
        return true;
    });
    m_awaiting.clear();
    m_ackPending.clear();
    m_port.confirmations().forget(withResults() ? m_confirmOwner : readerKey());
}

void OutgoingTransfers::forgetConfirmations() {
    LockGuard guard(m_lock);
    m_ackPending.clear();
    m_port.confirmations().forget(readerKey());
}

bool OutgoingTransfers::idle() {
    LockGuard guard(m_lock);
    if (m_txBuffer.count() != 0 || !m_awaiting.empty()) return false;
    for (const auto &owed : m_ackPending)
        if (owed.second) return false;
    return withResults() || !m_port.confirmations().holds(readerKey());
}
