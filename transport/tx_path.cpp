// The send half of the transport (PassThruWriteMsgs): single frames at
// once, multi-frame messages as a first frame and a prepared record that the
// peer's flow control releases to the worker.
#include <cstring>
#include <memory>

#include "can/can_port.h"
#include "trace/lock_guard.h"
#include "trace/text_line.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/iso_tp.h"
#include "transport/msg_dump.h"
#include "transport/msg_id.h"
#include "transport/pdu_trace.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kIdPrefix = 4;

// The message's addressing and payload, as the frames carry them.
struct TxMessage {
    uint32_t canId = 0;
    IsoTpAddress addr;
    const uint8_t *payload = nullptr;
    uint32_t length = 0;
    uint32_t pad = 0;
};

CanPayload BuildSingleFrame(const TxMessage &tx) {
    CanPayload frame;
    uint8_t *pci = frame.bytes;
    if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
    pci[0] = static_cast<uint8_t>(N_PCI_SF << 4 | tx.length);
    std::memcpy(pci + 1, tx.payload, tx.length);
    frame.length = static_cast<int32_t>(tx.length + 1 + tx.addr.pciOffset());
    return frame;
}

CanPayload BuildFirstFrame(const TxMessage &tx) {
    CanPayload frame;
    uint8_t *pci = frame.bytes;
    if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
    pci[0] = static_cast<uint8_t>(N_PCI_FF << 4 | tx.length >> 8);
    pci[1] = static_cast<uint8_t>(tx.length & 0xFF);
    std::memcpy(pci + 2, tx.payload, tx.addr.firstFramePayload());
    frame.length = CAN_MAX_DLEN;
    return frame;
}

// Prepares every consecutive frame behind the first frame's payload, so the
// worker only copies 8 bytes per send. Returns the number of frames, or
// TX_CF_SLOTS when they would not fit.
uint32_t BuildConsecutiveFrames(const TxMessage &tx, TxBufferEntry &entry) {
    const uint32_t perFrame = tx.addr.consecutivePayload();
    uint32_t offset = tx.addr.firstFramePayload();
    uint32_t count = 0;
    do {
        if (count >= TX_CF_SLOTS) return TX_CF_SLOTS;
        uint8_t *frame = entry.frames[count];
        std::memset(frame, CAN_PAD_BYTE, CAN_MAX_DLEN);
        uint8_t *pci = frame;
        if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
        pci[0] = static_cast<uint8_t>(N_PCI_CF << 4 | ((count + 1) & SN_MASK));
        const uint32_t take = tx.length - offset < perFrame ? tx.length - offset : perFrame;
        std::memcpy(pci + 1, tx.payload + offset, take);
        offset += take;
        ++count;
    } while (offset < tx.length);
    return count;
}

uint32_t SendSingleFrame(IsoTpTransport &so, PASSTHRU_MSG &msg, const TxMessage &tx, TextLine &line,
                         TraceScope &scope) {
    if (tx.addr.extFlag) scope.message("b_ExtendedAdressing data converted to ISO9192 ...", TL_INFO);
    const CanPayload frame = BuildSingleFrame(tx);
    if (scope.isEnabled()) {
        line.appendHexDump(tx.payload, tx.length);
        scope.message(line.c_str(), TL_INFO);
    }
    uint32_t result;
    {
        // The bus may confirm the frame before this thread gets to arm the
        // flag: a reader on another thread must not look before it is armed.
        LockGuard txGuard(so.m_txLock);
        result = so.transmit(tx.canId, frame.length, frame.bytes, tx.pad, scope);
        scope.messagef(TL_INFO, "PassThruWriteMsg->ACK ->CanID: %X ", static_cast<unsigned>(tx.canId));
        // Armed also after a refusal: the bus may still confirm the frame.
        so.m_ackPending[tx.canId] = true;
    }
    msg.Timestamp = so.m_port.lastTxTimestamp();
    return result;
}

// A new message on an id ends the transfer still running on it, unless that
// one goes to another extended address.
void ReplaceOlderTransfers(IsoTpTransport &so, const TxMessage &tx, TraceScope &scope) {
    LockGuard txGuard(so.m_txLock);
    TxBufferList &list = so.m_txBuffer;
    list.walk([&](TxBufferList::iterator where) {
        TxBufferEntry &old = **where;
        if (old.canId != tx.canId || (old.extFlag == 1 && old.extAddr != tx.addr.extAddr)) return false;
        scope.message(old.extFlag == 1 ? "delted via CANID AND ExtAdr" : "delted via CANID", TL_ERROR);
        old.state = STATE_TX_DONE;
        const int32_t before = list.count;
        const uint32_t seqId = old.seqId;
        const uint32_t canId = old.canId;
        const uint8_t extAddr = old.extAddr;
        list.remove(where);
        scope.messagef(TL_INFO, "DUPLICATED m_txBuffer removed from list ... SeqID=%d %d %d %04x %02x",
                       static_cast<int>(seqId), static_cast<int>(before), static_cast<int>(list.count),
                       static_cast<unsigned>(canId), extAddr);
        return true;
    });
}

uint32_t StartMultiFrame(IsoTpTransport &so, const TxMessage &tx, TextLine &line, TraceScope &scope) {
    // Held from the first frame to the append: the peer's flow control may be
    // read on another thread before this one has put the record in the list.
    LockGuard txGuard(so.m_txLock);
    ReplaceOlderTransfers(so, tx, scope);

    auto entry = std::make_unique<TxBufferEntry>();
    entry->canId = tx.canId;
    entry->m_TxMsgLen = tx.length;
    entry->seqId = so.takeSeqId();
    entry->m_TxActLen = tx.addr.firstFramePayload();
    if (tx.addr.extFlag) {
        entry->extFlag = 1;
        entry->extAddr = tx.addr.extAddr;
        scope.message("ExtendedAdressing saving in TX stucture", TL_INFO);
    }

    const CanPayload firstFrame = BuildFirstFrame(tx);
    line.appendBytes(tx.payload, tx.addr.firstFramePayload());
    scope.messagef(TL_INFO, "FIRST_FRAME with len %d SeqID=%d Timeout %d m_txBuffer added CanID=%04X",
                   static_cast<int>(entry->m_TxMsgLen), static_cast<int>(entry->seqId),
                   static_cast<int>(FC_WAIT_TIMEOUT_MS), static_cast<unsigned>(tx.canId));
    scope.message(line.c_str(), TL_INFO);
    if (so.transmit(tx.canId, CAN_MAX_DLEN, firstFrame.bytes, tx.pad, scope) != STATUS_NOERROR) {
        scope.message("Error in First Frame 1", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }

    entry->bs = 8;
    entry->act_blk = 0xFF;
    entry->stmin = 0;
    entry->cfSent = 0;
    const uint32_t cfCount = BuildConsecutiveFrames(tx, *entry);
    if (cfCount >= TX_CF_SLOTS) {
        scope.message("ERROR !!! Can Frame size over max !", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    entry->cfCount = static_cast<uint16_t>(cfCount);
    scope.messagef(TL_INFO, "CF created Count=%d ", static_cast<int>(cfCount));
    if (scope.isEnabled()) {
        for (uint32_t i = 0; i < cfCount; ++i) {
            TextLine frameLine;
            frameLine.appendf("FRAME %d Data: ", static_cast<int>(i));
            frameLine.appendBytes(entry->frames[i], CAN_MAX_DLEN);
            scope.message(frameLine.c_str(), TL_INFO);
        }
    }

    entry->timeoutMs = NowMs() + FC_WAIT_TIMEOUT_MS;
    entry->state = STATE_TX_WAIT_FC;
    so.m_txBuffer.append(std::move(entry));
    return STATUS_NOERROR;
}

}  // namespace

uint32_t IsoTpTransport::PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                           uint32_t Timeout) {
    PT_SCOPE(scope, "PassThruWriteMsgs()");
    if (!pMsg || !pNumMsgs) {
        scope.message(
            !pMsg ? "PassThruWriteMsgs pMsg is a NULL pointer" : "PassThruWriteMsgs pNumMsgs is a NULL pointer",
            TL_ERROR);
        return ERR_NULL_PARAMETER;
    }
    scope.messagef(TL_INFO, "ChannelID=%08lx NumMsg=%08lx Timeout=%08lx", static_cast<unsigned long>(ChannelID),
                   static_cast<unsigned long>(*pNumMsgs), static_cast<unsigned long>(Timeout));
    TracePassThruMsg(pMsg, "Msg", scope);
    PASSTHRU_MSG &msg = *pMsg;
    if (*pNumMsgs != 1) {
        scope.message("only one message supported", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    const bool extended = (msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
    if (msg.DataSize < kIdPrefix + (extended ? 1u : 0u)) {
        scope.message("only message with content are supported", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    if (msg.DataSize > PT_MSG_DATA_SIZE) {
        scope.message("Length over CAN MAX 4100!!!", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }

    TxMessage tx;
    tx.pad = (msg.TxFlags & ISO15765_FRAME_PAD) ? 1 : 0;
    tx.canId = canIdFromBytes(msg.Data);
    if (m_hooks) m_hooks->beforeWrite(msg, ChannelID, tx.canId, scope);

    TextLine line;
    line.appendf("ISO15765-TX CanId 0x%04lX Len=%3ld TS=%09lu Data: ", static_cast<unsigned long>(tx.canId),
                 static_cast<long>(msg.DataSize) - static_cast<long>(kIdPrefix),
                 static_cast<unsigned long>(msg.Timestamp));
    if (extended) {
        tx.addr.extFlag = 1;
        tx.addr.extAddr = msg.Data[kIdPrefix];
        scope.messagef(TL_INFO, "ORV-Extadressing Tx Id = %04x", tx.addr.extAddr);
    }
    if (m_pPduTrace) WritePduLine(*m_pPduTrace, " CAN-TX ", msg);
    tx.payload = msg.Data + kIdPrefix + tx.addr.pciOffset();
    tx.length = msg.DataSize - kIdPrefix - tx.addr.pciOffset();

    if (msg.DataSize - kIdPrefix < CAN_MAX_DLEN) return SendSingleFrame(*this, msg, tx, line, scope);
    if (msg.DataSize > kIdPrefix + FF_DL_MAX + tx.addr.pciOffset()) {
        scope.message("Length over CAN MAX 4100!!!", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    return StartMultiFrame(*this, tx, line, scope);
}

void IsoTpTransport::clearPendingAcks() {
    LockGuard txGuard(m_txLock);
    m_ackPending.clear();
    m_unconfirmed.clear();
}

uint32_t IsoTpTransport::transmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad, TraceScope &scope,
                                  bool *queueFull) {
    const uint32_t status = m_port.VectorTransmit(id, length, data, pad, scope, queueFull);
    if (m_profile.on && status == STATUS_NOERROR) {
        LockGuard txGuard(m_txLock);
        ++m_unconfirmed[id];
    }
    return status;
}
