// The receive half of the transport: turns raw CAN frames into messages for
// the host, reassembles multi-frame messages, answers them with flow control
// and releases own transfers when the peer's flow control comes.
#include <cstring>
#include <memory>

#include "can/can_port.h"
#include "platform/platform.h"
#include "trace/lock_guard.h"
#include "trace/text_line.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/iso_tp.h"
#include "transport/msg_id.h"
#include "transport/transport.h"

namespace {

// Frame markers of the RX trace line.
constexpr uint16_t kFlagOverrun = 0x02;
constexpr uint16_t kFlagWakeUp = 0x08;
constexpr uint32_t kFrameTypeRemote = 2;
constexpr uint32_t kFrameTypeError = 3;

// Copies up to count bytes that the frame carries from index from; returns
// how many it copied.
uint32_t CopyPayload(const CanFrame &frame, uint32_t from, uint32_t count, PASSTHRU_MSG &msg) {
    const uint32_t length = frame.length();
    uint32_t copied = 0;
    while (copied < count && from + copied < length && msg.DataSize < PT_MSG_DATA_SIZE)
        msg.Data[msg.DataSize++] = frame.data[from + copied++];
    return copied;
}

// Prepares an output slot: ISO15765, no status, the id in Data[0..3].
void InitRxMsg(PASSTHRU_MSG &msg, uint32_t canId) {
    msg.ProtocolID = ISO15765;
    msg.RxStatus = 0;
    msg.TxFlags = 0;
    msg.Timestamp = 0;
    msg.DataSize = 4;
    msg.ExtraDataIndex = 0;
    canIdToBytes(canId, msg.Data);
}

uint32_t FrameTimestampUs(const CanFrame &frame) { return frame.timeMs * 1000u + frame.timeUs; }

const char *BusStateText(uint8_t code) {
    switch (code) {
        case 1: return "Bus Off";
        case 2: return "Bus Passive";
        case 4: return "Bus Active";
        case 8: return "Bus Warning";
        default: return "Undefined";
    }
}

void ComposeRxLine(TextLine &line, const CanFrame &frame, const char *label) {
    line.appendf("%s--RX CanId %06lx [%c%c%c%c%c%c] Len=%3lu     Data: ", label, static_cast<unsigned long>(frame.id),
                 (frame.frameFlags & kFlagOverrun) ? 'x' : ' ', frame.frameType == kFrameTypeRemote ? 'R' : ' ',
                 (frame.frameFlags & CAN_FRAME_TX_ACK) ? 'A' : ' ',
                 frame.frameType == CAN_FRAME_TYPE_BUS_STATE ? 'S' : ' ', (frame.frameFlags & kFlagWakeUp) ? 'o' : ' ',
                 frame.frameType == kFrameTypeError ? 'E' : ' ', static_cast<unsigned long>(frame.dlc));
    line.appendBytes(frame.data, frame.length(), HexCase::Upper);
}

void AppendFrameTime(TextLine &line, const CanFrame &frame) {
    line.appendf(" %08lu.%03u", static_cast<unsigned long>(frame.timeMs), static_cast<unsigned>(frame.timeUs));
}

// The first confirmation after a message of ours went out is the host's;
// the bus confirms every frame, so all others are dropped.
bool TakeAck(IsoTpTransport &so, uint32_t canId) {
    LockGuard txGuard(so.m_txLock);
    if (so.m_profile.on) {
        // Confirmations of earlier frames of a transfer still on the way are
        // not the host's: its one is the last frame's.
        uint32_t &unconfirmed = so.m_unconfirmed[canId];
        if (unconfirmed > 0 && --unconfirmed > 0) return false;
    }
    bool &pending = so.m_ackPending[canId];
    const bool deliver = pending;
    pending = false;
    return deliver;
}

// Sends one flow control "clear to send" with blockSize and STmin 0.
void send_Flow_Control(IsoTpTransport &so, uint32_t canId, uint8_t blockSize, uint8_t extFlag, uint8_t extAddr) {
    PT_SCOPE(scope, "SendFlowx          ");
    CanPayload frame;
    uint8_t *pci = frame.bytes;
    if (extFlag) *pci++ = extAddr;
    pci[0] = static_cast<uint8_t>(N_PCI_FC << 4 | FS_CTS);
    pci[1] = blockSize;
    pci[2] = 0;  // STmin: we take frames as fast as they come
    frame.length = CAN_MAX_DLEN;
    so.transmit(canId, frame.length, frame.bytes, 1, scope);
    if (scope.isEnabled()) scope.messagef(TL_INFO, "FlowControl CTS canID %04x", static_cast<unsigned>(canId));
}

// Single frame: the whole message at once. False when SF_DL claims more
// than the frame carries; such a frame is dropped.
bool AnalyzeSingleFrame(const IsoTpTransport &so, const CanFrame &frame, const IsoTpAddress &addr, uint8_t sfDl,
                        PASSTHRU_MSG &out, TraceScope &scope) {
    const uint32_t first = addr.pciOffset() + 1u;
    const uint32_t carried = frame.length() > first ? frame.length() - first : 0;
    if (so.m_profile.on && sfDl == 0) {
        scope.message("SINGLE_FRAME length 0, ignored", TL_ERROR);
        return false;
    }
    if (sfDl > addr.singleFrameMax() || sfDl > carried) {
        scope.messagef(TL_ERROR, "SINGLE_FRAME length %d exceeds frame, dropped", sfDl);
        return false;
    }
    CopyPayload(frame, first, sfDl, out);
    return true;
}

// A first frame fills its CAN frame and must announce more than a single
// frame holds; FF_DL 0 escapes to a 32-bit length, which is only used beyond
// 4095 bytes and must still fit into one message. One that is ignored leaves
// an open reassembly alone.
bool AcceptFirstFrameLength(const CanFrame &frame, const IsoTpAddress &addr, uint32_t &ffDl, uint32_t &payloadAt,
                            TraceScope &scope) {
    if (frame.length() < CAN_MAX_DLEN) {
        scope.messagef(TL_ERROR, "FIRST_FRAME DLC %u below %u, ignored", static_cast<unsigned>(frame.dlc),
                       static_cast<unsigned>(CAN_MAX_DLEN));
        return false;
    }
    if (ffDl == 0) {
        const uint32_t at = addr.pciOffset() + 2u;
        ffDl = (static_cast<uint32_t>(frame.byteAt(at)) << 24) | (static_cast<uint32_t>(frame.byteAt(at + 1)) << 16) |
               (static_cast<uint32_t>(frame.byteAt(at + 2)) << 8) | frame.byteAt(at + 3);
        payloadAt = at + 4;
        const uint32_t room = PT_MSG_DATA_SIZE - 4u;
        if (ffDl <= FF_DL_MAX || ffDl > room) {
            scope.messagef(TL_ERROR, "FIRST_FRAME escape length %u not held (%u..%u), ignored", ffDl, FF_DL_MAX + 1,
                           room);
            return false;
        }
        return true;
    }
    if (ffDl <= addr.singleFrameMax()) {
        scope.messagef(TL_ERROR, "FIRST_FRAME length %u fits a single frame, ignored", ffDl);
        return false;
    }
    return true;
}

// A new first frame on an id ends the reassembly still open on it.
void ReplaceOpenReassembly(IsoTpTransport &so, uint32_t canId, TraceScope &scope) {
    so.m_rxBuffer.walk([&](RxBufferList::iterator where) {
        if ((*where)->canId != canId) return false;
        const uint32_t seqId = (*where)->seqId;
        so.m_rxBuffer.remove(where);
        scope.messagef(TL_ERROR, "FIRST_FRAME replaces open m_rxBuffer SeqID=%d CanID %04x", static_cast<int>(seqId),
                       static_cast<unsigned>(canId));
        return true;
    });
}

void AnalyzeFirstFrame(IsoTpTransport &so, const CanFrame &frame, IsoTpAddress addr, uint8_t ffDlHigh,
                       const PASSTHRU_MSG &out, TraceScope &scope) {
    if (scope.isEnabled()) scope.message("FIRST_FRAME", TL_INFO);
    const uint32_t pci = addr.pciOffset();
    uint32_t ffDl = ffDlHigh * 256u + frame.byteAt(pci + 1);
    uint32_t payloadAt = pci + 2;
    if (so.m_profile.on && !AcceptFirstFrameLength(frame, addr, ffDl, payloadAt, scope)) return;
    const uint32_t flowId = so.m_filters.getFlowId(frame.id, addr.extAddr, &addr.extFlag, &addr.extAddr);
    if (flowId == 0) {
        if (scope.isEnabled()) scope.message("FIRST_FRAME ignored (no FLow Filter or own response", TL_INFO);
        return;
    }
    auto entry = std::make_unique<RxBufferEntry>();
    {
        PT_SCOPE(createScope, "send_Flow_Control()");
        entry->canId = frame.id;
        entry->state = STATE_RX_ACTIVE;
        entry->seqId = so.takeSeqId();
        entry->timeoutMs = NowMs() + RX_TIMEOUT_MS;
        if (createScope.isEnabled())
            createScope.messagef(TL_INFO, "Create m_rxBuffer for SeqID= %d CanID %04x (ext=%02x) timeout=%d",
                                 static_cast<int>(entry->seqId), static_cast<unsigned>(frame.id), addr.extAddr,
                                 static_cast<int>(RX_TIMEOUT_MS));
    }
    entry->nextSn = 1;
    std::memcpy(entry->msg.Data, out.Data, 4);
    entry->msg.DataSize = 4;
    entry->expectedLen = ffDl;
    entry->receivedLen = CopyPayload(frame, payloadAt, addr.firstFramePayload(), entry->msg);

    send_Flow_Control(so, flowId, static_cast<uint8_t>(so.m_Iso15765BlockSize.load()), addr.extFlag, addr.extAddr);
    LockGuard readGuard(so.m_readLock);
    if (so.m_profile.on) ReplaceOpenReassembly(so, frame.id, scope);
    so.m_rxBuffer.append(std::move(entry));
}

// Consecutive frame: continues the first fitting reassembly. True when it
// completed the message into out.
bool AnalyzeConsecutiveFrame(IsoTpTransport &so, const CanFrame &frame, const IsoTpAddress &addr, uint8_t sn,
                             PASSTHRU_MSG &out, TraceScope &scope) {
    if (scope.isEnabled()) scope.message("CONSECUTIVE_FRAME", TL_INFO);
    bool complete = false;
    uint32_t frameNo = 0;
    {
        LockGuard readGuard(so.m_readLock);
        RxBufferList &list = so.m_rxBuffer;
        int error = 0;
        auto it = list.items.begin();
        for (; it != list.items.end(); ++it) {
            const RxBufferEntry &candidate = **it;
            if (candidate.state != STATE_RX_ACTIVE)
                error = -1;
            else if (candidate.canId != frame.id)
                error = -2;
            else if ((candidate.nextSn & SN_MASK) != sn)
                error = -3;
            else
                break;
        }
        if (it == list.items.end()) {
            if (scope.isEnabled()) scope.messagef(TL_INFO, "Error CONSECUTIVE_FRAME  %d", error);
            return false;
        }
        RxBufferEntry &entry = **it;
        if (addr.extFlag && scope.isEnabled()) scope.message("CONSECUTIVE_FRAME ExtendedAdressing", TL_INFO);
        entry.receivedLen += CopyPayload(frame, addr.pciOffset() + 1u, addr.consecutivePayload(), entry.msg);
        frameNo = entry.nextSn++;
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "CONSECUTIVE_FRAME Exp %d len act=%d max=%d", sn,
                           static_cast<int>(entry.receivedLen), static_cast<int>(entry.expectedLen));
        if (entry.receivedLen < entry.expectedLen) {
            entry.timeoutMs = NowMs() + RX_TIMEOUT_MS;
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "CONSECUTIVE_FRAME retrigger timeout=%d", static_cast<int>(entry.timeoutMs));
        } else {
            complete = true;
            std::memcpy(out.Data, entry.msg.Data, entry.msg.DataSize);
            out.DataSize = entry.expectedLen + 4;
            out.RxStatus = 0;
            entry.state = 0;
            const uint32_t seqId = entry.seqId;
            list.remove(it);
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "CONSECUTIVE_FRAME finished m_rxBuffer removed SeqID=%d",
                               static_cast<int>(seqId));
        }
    }
    if (scope.isEnabled()) scope.messagef(TL_INFO, "CONSECUTIVE_FRAME No %d", static_cast<int>(frameNo));
    const int32_t blockSize = so.m_Iso15765BlockSize;
    if (blockSize >= 1 && frameNo % static_cast<uint32_t>(blockSize) == 0) {
        // The sender waits for us after every block, the last one included.
        IsoTpAddress fcAddr = addr;
        const uint32_t flowId = so.m_filters.getFlowId(frame.id, addr.extAddr, &fcAddr.extFlag, &fcAddr.extAddr);
        if (flowId != 0) send_Flow_Control(so, flowId, static_cast<uint8_t>(blockSize), fcAddr.extFlag, fcAddr.extAddr);
    }
    return complete;
}

// The field profile's reading of a flow status for the waiting transfer at
// where: true for clear to send. WAIT restarts the wait for the next flow
// control, up to the configured number of WAITs; OVERFLOW, or one WAIT too
// many, ends the transfer without a confirmation; reserved values are ignored.
bool ClearToSend(IsoTpTransport &so, TxBufferList::iterator where, uint8_t flowStatus, TraceScope &scope) {
    TxBufferEntry &entry = **where;
    if (flowStatus == FS_CTS) return true;
    if (flowStatus == FS_WAIT && ++entry.fcWaits <= so.m_profile.maxWaits) {
        entry.timeoutMs = NowMs() + FC_WAIT_TIMEOUT_MS;
        scope.messagef(TL_INFO, "FLOW_CONTROL WAIT %d of %d canID=0x%04x SeqID=%d", static_cast<int>(entry.fcWaits),
                       static_cast<int>(so.m_profile.maxWaits), static_cast<unsigned>(entry.canId),
                       static_cast<int>(entry.seqId));
        return false;
    }
    if (flowStatus == FS_WAIT || flowStatus == FS_OVFLW) {
        if (flowStatus == FS_WAIT)
            scope.messagef(TL_ERROR, "FLOW_CONTROL WAIT more than %d times canID=0x%04x, transfer abandoned SeqID=%d",
                           static_cast<int>(so.m_profile.maxWaits), static_cast<unsigned>(entry.canId),
                           static_cast<int>(entry.seqId));
        else
            scope.messagef(TL_ERROR, "FLOW_CONTROL OVERFLOW canID=0x%04x, transfer abandoned SeqID=%d",
                           static_cast<unsigned>(entry.canId), static_cast<int>(entry.seqId));
        entry.state = STATE_TX_DONE;
        so.m_txBuffer.remove(where);
        return false;
    }
    scope.messagef(TL_INFO, "FLOW_CONTROL reserved flow status %d canID=0x%04x ignored", flowStatus,
                   static_cast<unsigned>(entry.canId));
    return false;
}

// Flow control for one of our first frames: releases the waiting transfer
// on the flow id to the worker with the peer's block size and STmin.
void AnalyzeFlowControl(IsoTpTransport &so, const CanFrame &frame, IsoTpAddress addr, TraceScope &scope) {
    if (scope.isEnabled()) scope.message("FLOW_CONTROL", TL_INFO);
    const uint32_t flowId = so.m_filters.getFlowId(frame.id, addr.extAddr, &addr.extFlag, &addr.extAddr);
    if (flowId == 0) {
        if (scope.isEnabled()) scope.message("FLOW_CONTROL ignored (no FLow Filter or own response", TL_INFO);
        return;
    }
    int result = -1;
    {
        LockGuard txGuard(so.m_txLock);
        for (auto it = so.m_txBuffer.items.begin(); it != so.m_txBuffer.items.end(); ++it) {
            TxBufferEntry &entry = **it;
            if (entry.state != STATE_TX_WAIT_FC) {
                result = -1;
                continue;
            }
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "Flow compare %04X %04x SeqID=%d", static_cast<unsigned>(entry.canId),
                               static_cast<unsigned>(flowId), static_cast<int>(entry.seqId));
            if (entry.canId != flowId) {
                result = -2;
                continue;
            }
            result = 0;
            if (scope.isEnabled()) scope.message("FLOW machted ID -> sending", TL_INFO);
            // Our own record knows whether the peer's frames carry an address byte.
            const uint32_t params = entry.extFlag ? 2u : 1u;
            // Without the field profile the flow status is not looked at:
            // every flow control is a go.
            if (so.m_profile.on && !ClearToSend(so, it, PciLow(frame.byteAt(params - 1)), scope)) break;
            entry.state = STATE_TX_SEND_CF;
            entry.act_blk = 0;
            entry.bs = frame.byteAt(params);
            entry.stmin = frame.byteAt(params + 1);
            entry.stminUs = StminUs(entry.stmin);
            entry.fcWaits = 0;
            int remaining = entry.cfCount - entry.cfSent;
            if (remaining < 1) {
                scope.message("less frames ....error", TL_ERROR);
                remaining = 1;
            }
            const uint32_t stminMs = so.m_profile.on ? (entry.stminUs + 999u) / 1000u : entry.stmin;
            const uint32_t estimate = static_cast<uint32_t>(remaining) * (stminMs + 10u) + 1000u;
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "CF block tx timeout estimated: %d for %d blocks", static_cast<int>(estimate),
                               remaining);
            entry.timeoutMs = NowMs() + estimate;
            entry.nextTx = NowMs() + entry.stmin;
            entry.nextTxUs = plat::NowUs() + entry.stminUs;
            if (so.m_ExtAddressing > 1) {
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
    }
    if (!scope.isEnabled()) return;
    if (result < 0)
        scope.messagef(TL_INFO, "Error FLOW_CONTROL  %d", result);
    else
        scope.messagef(TL_INFO, "FLOW_CONTROL No %d", result);
}

// One frame: true when it completed a message into out.
bool AnalyzeFrame(IsoTpTransport &so, const CanFrame &frame, PASSTHRU_MSG &out, TraceScope &mainScope) {
    InitRxMsg(out, frame.id);
    const bool isAck = (frame.frameFlags & CAN_FRAME_TX_ACK) != 0;
    if (isAck) out.RxStatus |= TX_MSG_TYPE;
    const char *label = isAck ? "RAW-ACK" : "RAW-CAN";

    if (frame.frameType != CAN_FRAME_TYPE_FRAME) {
        TextLine line;
        ComposeRxLine(line, frame, label);
        if (frame.frameType == CAN_FRAME_TYPE_BUS_STATE) line.appendf("state: %-25s", BusStateText(frame.trailer));
        AppendFrameTime(line, frame);
        mainScope.message(line.c_str(), TL_ERROR);
        out.Timestamp = FrameTimestampUs(frame);
        return false;
    }

    PT_SCOPE(scope, "AnalyzeRxCanMessaPF");
    IsoTpAddress addr;
    if (isAck) {
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "PassThruReadMsg->ACK ->CanID: %X ", static_cast<unsigned>(frame.id));
        if (!TakeAck(so, frame.id)) {
            if (scope.isEnabled()) scope.message("PASSFilter-Aknowledge ACK removed/ignored", TL_INFO);
            return false;
        }
        if (scope.isEnabled()) scope.message("PASSFilter-Aknowledge ACK passed to PT interface", TL_INFO);
    } else {
        const PassResult pass = so.m_filters.passFiltersAccept(frame, addr, scope);
        if (pass == PassResult::NoFilters) {
            PT_SCOPE(noneScope, "AnalyzeRxCanMessage(?]");
            if (noneScope.isEnabled()) noneScope.message("PASSFilter none!", TL_INFO);
            return false;
        }
        if (pass == PassResult::Rejected) return false;
    }

    if (scope.isEnabled()) {
        TextLine line;
        ComposeRxLine(line, frame, label);
        AppendFrameTime(line, frame);
        scope.message(line.c_str(), TL_INFO);
    }
    out.Timestamp = FrameTimestampUs(frame);
    if (isAck) return true;

    if (frame.length() <= addr.pciOffset()) {
        scope.message("Frame without protocol control information dropped", TL_ERROR);
        return false;
    }
    const uint8_t pci = frame.data[addr.pciOffset()];
    if (PciType(pci) == N_PCI_SF) return AnalyzeSingleFrame(so, frame, addr, PciLow(pci), out, scope);

    PT_SCOPE(mbScope, "AnalyzeRxCanMessage (MB)");
    if (mbScope.isEnabled()) mbScope.message("Multibyte-start RX", TL_INFO);
    switch (PciType(pci)) {
        case N_PCI_FF: AnalyzeFirstFrame(so, frame, addr, PciLow(pci), out, mbScope); return false;
        case N_PCI_CF: return AnalyzeConsecutiveFrame(so, frame, addr, PciLow(pci), out, mbScope);
        case N_PCI_FC: AnalyzeFlowControl(so, frame, addr, mbScope); return false;
        default: mbScope.messagef(TL_ERROR, "unknown Multibyte response 0x%02x !", pci); return false;
    }
}

}  // namespace

void IsoTpTransport::AnalyzeRxCanMessage(const CanFrame *frames, uint32_t frameCount, PASSTHRU_MSG *msgs,
                                         uint32_t *pNumMsgs) {
    PT_SCOPE(scope, "AnalyzeRxCanMessage (main)");
    uint32_t produced = 0;
    for (uint32_t i = 0; i < frameCount; ++i)
        if (AnalyzeFrame(*this, frames[i], msgs[produced], scope)) ++produced;
    *pNumMsgs = produced;
}
