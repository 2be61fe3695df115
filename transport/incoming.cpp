#include "transport/incoming.h"

#include <cstring>

#include "platform/lock_guard.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"

uint32_t CopyPayload(const CanFrame &frame, uint32_t from, uint32_t count, uint8_t *payload, uint32_t &length) {
    const uint32_t carried = frame.length();
    uint32_t copied = 0;
    while (copied < count && from + copied < carried && length < ISOTP_MAX_PAYLOAD)
        payload[length++] = frame.data[from + copied++];
    return copied;
}

// A new first frame on an id ends the reassembly still open on it.
void IncomingTransfers::replaceOpen(uint32_t canId, TraceScope &scope) {
    m_rxBuffer.walk([&](RxBufferList::iterator where) {
        if ((*where)->canId != canId) return false;
        const uint32_t seqId = (*where)->seqId;
        m_rxBuffer.remove(where);
        scope.messagef(TL_ERROR, "FIRST_FRAME replaces open m_rxBuffer SeqID=%d CanID %04x", static_cast<int>(seqId),
                       static_cast<unsigned>(canId));
        return true;
    });
}

void IncomingTransfers::open(std::unique_ptr<RxBufferEntry> entry, bool replaceOpenOne, TraceScope &scope) {
    LockGuard guard(m_lock);
    if (replaceOpenOne) replaceOpen(entry->canId, scope);
    m_rxBuffer.append(std::move(entry));
}

IncomingTransfers::Continued IncomingTransfers::continueWith(const CanFrame &frame, const IsoTpAddress &addr,
                                                             uint8_t sn, ReceivedMessage &out, TraceScope &scope) {
    Continued result;
    LockGuard guard(m_lock);
    // Why no reassembly took the frame; the trace tells it as a number.
    enum class Mismatch { NoReassembly = 0, OtherId = -2, WrongSequenceNumber = -3 };
    Mismatch mismatch = Mismatch::NoReassembly;
    auto it = m_rxBuffer.begin();
    for (; it != m_rxBuffer.end(); ++it) {
        const RxBufferEntry &candidate = **it;
        if (candidate.canId != frame.id)
            mismatch = Mismatch::OtherId;
        else if ((candidate.nextSn & SN_MASK) != sn)
            mismatch = Mismatch::WrongSequenceNumber;
        else
            break;
    }
    if (it == m_rxBuffer.end()) {
        if (scope.isEnabled()) scope.messagef(TL_INFO, "Error CONSECUTIVE_FRAME  %d", static_cast<int>(mismatch));
        return result;
    }
    result.matched = true;
    RxBufferEntry &entry = **it;
    // Consecutive frames have the first frame's length; only the last may be
    // shorter (classic frames below 8 bytes are taken and marked instead).
    const uint32_t perFrame = addr.consecutivePayload(entry.rxDl);
    const bool tooLong = frame.length() > entry.rxDl;
    const bool tooShort = entry.rxDl > CAN_MAX_DLEN && frame.length() < entry.rxDl &&
                          entry.expectedLen - entry.receivedLen > perFrame;
    if (tooLong || tooShort) {
        scope.messagef(TL_ERROR, "CONSECUTIVE_FRAME of %u bytes, RX_DL %u, dropped", static_cast<unsigned>(frame.length()),
                       static_cast<unsigned>(entry.rxDl));
        return result;
    }
    if (addr.extFlag && scope.isEnabled()) scope.message("CONSECUTIVE_FRAME ExtendedAdressing", TL_INFO);
    entry.receivedLen +=
        CopyPayload(frame, addr.pciOffset() + 1u, perFrame, entry.payload, entry.length);
    entry.shortFrame = entry.shortFrame || frame.length() < CAN_MAX_DLEN;
    result.frameNo = entry.nextSn++;
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "CONSECUTIVE_FRAME Exp %d len act=%d max=%d", sn, static_cast<int>(entry.receivedLen),
                       static_cast<int>(entry.expectedLen));
    if (entry.receivedLen < entry.expectedLen) {
        entry.timeoutMs = NowMs() + entry.waitMs;
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "CONSECUTIVE_FRAME retrigger timeout=%d", static_cast<int>(entry.timeoutMs));
        return result;
    }
    result.complete = true;
    result.shortFrame = entry.shortFrame;
    // The announced length: padding behind the last byte is no payload.
    out.length = entry.expectedLen < ISOTP_MAX_PAYLOAD ? entry.expectedLen : ISOTP_MAX_PAYLOAD;
    std::memcpy(out.payload, entry.payload, entry.length < out.length ? entry.length : out.length);
    const uint32_t seqId = entry.seqId;
    m_rxBuffer.remove(it);
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "CONSECUTIVE_FRAME finished m_rxBuffer removed SeqID=%d", static_cast<int>(seqId));
    return result;
}

void IncomingTransfers::expire(TraceScope &scope) {
    const uint32_t now = NowMs();
    LockGuard guard(m_lock);
    if (m_rxBuffer.count() == 0) return;
    m_rxBuffer.walk([&](RxBufferList::iterator where) {
        if (!(now > (*where)->timeoutMs)) return false;
        const uint32_t seqId = (*where)->seqId;
        m_rxBuffer.remove(where);
        scope.messagef(TL_INFO, "RX TIMEOUT m_rxBuffer removed from list ... SeqID=%d", static_cast<int>(seqId));
        return true;
    });
}

uint32_t IncomingTransfers::nextTimeoutMs() {
    LockGuard guard(m_lock);
    uint32_t first = 0;
    m_rxBuffer.walk([&](RxBufferList::iterator where) {
        const uint32_t t = (*where)->timeoutMs;
        if (first == 0 || static_cast<int32_t>(t - first) < 0) first = t;
        return false;
    });
    return first;
}

bool IncomingTransfers::idle() {
    LockGuard guard(m_lock);
    return m_rxBuffer.count() == 0;
}
