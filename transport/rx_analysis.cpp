// The receive half of the transport: turns raw CAN frames into messages for
// the host, reassembles multi-frame messages, answers them with flow control
// and releases own transfers when the peer's flow control comes.
#include <cstring>
#include <memory>

#include "can/can_port.h"
#include "platform/platform.h"
#include "trace/text_line.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/frame_builders.h"
#include "transport/iso_tp.h"
#include "transport/transport.h"

namespace {

// Frame markers of the RX trace line.
constexpr uint16_t kFlagOverrun = 0x02;
constexpr uint16_t kFlagWakeUp = 0x08;
constexpr uint32_t kFrameTypeRemote = 2;
constexpr uint32_t kFrameTypeError = 3;

// Prepares an output slot: the frame's identifier, nothing else yet.
void StartMessage(ReceivedMessage &out, const CanFrame &frame) {
    out.canId = frame.id;
    out.frameFormat = static_cast<uint8_t>(frame.fdFlags & (CAN_FRAME_FD | CAN_FRAME_FD_BRS));
    out.addr = IsoTpAddress();
    out.timestampUs = 0;
    out.confirmation = false;
    out.length = 0;
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

// A CAN FD frame says so, and whether its data phase was the faster one,
// between its length and its data.
const char *FrameFormatText(const CanFrame &frame) {
    if (!frame.isFd()) return "   ";
    switch (frame.fdFlags & (CAN_FRAME_FD_BRS | CAN_FRAME_FD_ESI)) {
        case CAN_FRAME_FD_BRS: return "FD BRS";
        case CAN_FRAME_FD_ESI: return "FD ESI";
        case CAN_FRAME_FD_BRS | CAN_FRAME_FD_ESI: return "FD BRS ESI";
        default: return "FD";
    }
}

void ComposeRxLine(TextLine &line, const CanFrame &frame, const char *label) {
    line.appendf("%s--RX CanId %06lx [%c%c%c%c%c%c] Len=%3lu %s Data: ", label, static_cast<unsigned long>(frame.id),
                 (frame.frameFlags & kFlagOverrun) ? 'x' : ' ', frame.frameType == kFrameTypeRemote ? 'R' : ' ',
                 (frame.frameFlags & CAN_FRAME_TX_ACK) ? 'A' : ' ',
                 frame.frameType == CAN_FRAME_TYPE_BUS_STATE ? 'S' : ' ', (frame.frameFlags & kFlagWakeUp) ? 'o' : ' ',
                 frame.frameType == kFrameTypeError ? 'E' : ' ', static_cast<unsigned long>(frame.dlc),
                 FrameFormatText(frame));
    line.appendBytes(frame.data, frame.length(), HexCase::Upper);
}

void AppendFrameTime(TextLine &line, const CanFrame &frame) {
    line.appendf(" %08lu.%03u", static_cast<unsigned long>(frame.timeMs), static_cast<unsigned>(frame.timeUs));
}

// A first frame fills its CAN frame and must announce more than a single
// frame holds; FF_DL 0 escapes to a 32-bit length, which is only used beyond
// 4095 bytes and must still fit into one message. One that is ignored leaves
// an open reassembly alone.
bool AcceptFirstFrameLength(const CanFrame &frame, const IsoTpAddress &addr, uint32_t &ffDl, uint32_t &payloadAt,
                            bool addressInMessage, TraceScope &scope) {
    if (frame.length() < CAN_MAX_DLEN) {
        scope.messagef(TL_ERROR, "FIRST_FRAME DLC %u below %u, ignored", static_cast<unsigned>(frame.dlc),
                       static_cast<unsigned>(CAN_MAX_DLEN));
        return false;
    }
    // RX_DL is the first frame's length.
    const uint8_t rxDl = frame.length();
    if (ffDl == 0) {
        const uint32_t at = addr.pciOffset() + 2u;
        ffDl = (static_cast<uint32_t>(frame.byteAt(at)) << 24) | (static_cast<uint32_t>(frame.byteAt(at + 1)) << 16) |
               (static_cast<uint32_t>(frame.byteAt(at + 2)) << 8) | frame.byteAt(at + 3);
        payloadAt = at + 4;
        // A message handed over behind its address byte holds one byte less.
        const uint32_t room = ISOTP_MAX_PAYLOAD - (addressInMessage ? addr.pciOffset() : 0u);
        if (ffDl <= FF_DL_MAX || ffDl > room) {
            scope.messagef(TL_ERROR, "FIRST_FRAME escape length %u not held (%u..%u), ignored", ffDl, FF_DL_MAX + 1,
                           room);
            return false;
        }
        return true;
    }
    if (ffDl <= addr.singleFrameMax(rxDl)) {
        scope.messagef(TL_ERROR, "FIRST_FRAME length %u fits a single frame, ignored", ffDl);
        return false;
    }
    return true;
}

}  // namespace

void IsoTpTransport::send_Flow_Control(const FlowRoute &route, uint8_t blockSize) {
    PT_SCOPE(scope, "SendFlowx          ");
    const bool fill = m_options.fullFrames() || route.pad;
    const CanPayload frame = BuildFlowControl(blockSize, route.addr, m_options.stmin(), !fill, m_options.frameFormat());
    m_outgoing.transmitFlowControl(route.canId, frame, fill ? 1 : 0, m_options.padByte(), scope);
    if (scope.isEnabled()) scope.messagef(TL_INFO, "FlowControl CTS canID %04x", static_cast<unsigned>(route.canId));
}

// Single frame: the whole message at once. False when SF_DL claims more
// than the frame carries; such a frame is dropped.
bool IsoTpTransport::analyzeSingleFrame(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sfDl,
                                        ReceivedMessage &out, ReceiveNote *note, TraceScope &scope) const {
    uint32_t first = addr.pciOffset() + 1u;
    // A CAN FD frame above 8 bytes carries the escape and an SF_DL byte.
    const uint8_t dl = frame.length();
    if (dl > CAN_MAX_DLEN) {
        if (sfDl != 0) {
            scope.messagef(TL_ERROR, "SINGLE_FRAME of %u bytes without the escape, dropped", static_cast<unsigned>(dl));
            return false;
        }
        sfDl = frame.byteAt(first++);
    }
    const uint32_t carried = dl > first ? dl - first : 0;
    if ((m_profile.on || dl > CAN_MAX_DLEN) && sfDl == 0) {
        scope.message("SINGLE_FRAME length 0, ignored", TL_ERROR);
        return false;
    }
    if (sfDl > addr.singleFrameMax(dl > CAN_MAX_DLEN ? dl : CAN_MAX_DLEN) || sfDl > carried) {
        scope.messagef(TL_ERROR, "SINGLE_FRAME length %d exceeds frame, dropped", sfDl);
        return false;
    }
    CopyPayload(frame, first, sfDl, out.payload, out.length);
    out.addr = addr;
    if (note) {
        note->addr = addr;
        note->shortFrame = frame.length() < CAN_MAX_DLEN;
    }
    return true;
}

void IsoTpTransport::analyzeFirstFrame(const CanFrame &frame, IsoTpAddress addr, uint8_t ffDlHigh,
                                       ReceiveNote *note, TraceScope &scope) {
    if (scope.isEnabled()) scope.message("FIRST_FRAME", TL_INFO);
    const uint32_t pci = addr.pciOffset();
    uint32_t ffDl = ffDlHigh * 256u + frame.byteAt(pci + 1);
    uint32_t payloadAt = pci + 2;
    if (m_profile.on && !AcceptFirstFrameLength(frame, addr, ffDl, payloadAt, m_options.addressInMessage(), scope))
        return;
    FlowRoute route;
    if (!m_routing.flowRoute(frame.id, addr.extAddr, route)) {
        if (scope.isEnabled()) scope.message("FIRST_FRAME ignored (no FLow Filter or own response", TL_INFO);
        return;
    }
    auto entry = std::make_unique<RxBufferEntry>();
    {
        PT_SCOPE(createScope, "send_Flow_Control()");
        entry->canId = frame.id;
        entry->seqId = m_seqIds.take();
        const uint32_t nCr = m_options.consecutiveTimeoutMs();
        entry->waitMs = nCr != 0 ? nCr : RX_TIMEOUT_MS;
        entry->timeoutMs = NowMs() + entry->waitMs;
        if (createScope.isEnabled())
            createScope.messagef(TL_INFO, "Create m_rxBuffer for SeqID= %d CanID %04x (ext=%02x) timeout=%d",
                                 static_cast<int>(entry->seqId), static_cast<unsigned>(frame.id), route.addr.extAddr,
                                 static_cast<int>(entry->waitMs));
    }
    entry->nextSn = 1;
    entry->expectedLen = ffDl;
    entry->rxDl = frame.length() > CAN_MAX_DLEN ? frame.length() : CAN_MAX_DLEN;
    entry->receivedLen = CopyPayload(frame, payloadAt, entry->rxDl - payloadAt, entry->payload, entry->length);
    entry->shortFrame = frame.length() < CAN_MAX_DLEN;

    send_Flow_Control(route, static_cast<uint8_t>(m_options.blockSize()));
    m_incoming.open(std::move(entry), m_profile.on, scope);
    if (note) {
        note->firstFrame = true;
        note->length = ffDl;
        note->addr = addr;
    }
}

// Consecutive frame: continues the first fitting reassembly. True when it
// completed the message into out.
bool IsoTpTransport::analyzeConsecutiveFrame(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sn,
                                             ReceivedMessage &out, ReceiveNote *note, TraceScope &scope) {
    if (scope.isEnabled()) scope.message("CONSECUTIVE_FRAME", TL_INFO);
    const IncomingTransfers::Continued continued = m_incoming.continueWith(frame, addr, sn, out, scope);
    if (!continued.matched) return false;
    if (scope.isEnabled()) scope.messagef(TL_INFO, "CONSECUTIVE_FRAME No %d", static_cast<int>(continued.frameNo));
    const int32_t blockSize = m_options.blockSize();
    if (blockSize >= 1 && continued.frameNo % static_cast<uint32_t>(blockSize) == 0) {
        // The sender waits for us after every block, the last one included.
        FlowRoute route;
        if (m_routing.flowRoute(frame.id, addr.extAddr, route))
            send_Flow_Control(route, static_cast<uint8_t>(blockSize));
    }
    if (continued.complete) out.addr = addr;
    if (continued.complete && note) {
        note->addr = addr;
        note->shortFrame = continued.shortFrame;
    }
    return continued.complete;
}

// Flow control for one of our first frames: releases the waiting transfer
// on the flow id to the worker with the peer's block size and STmin.
void IsoTpTransport::analyzeFlowControl(const CanFrame &frame, IsoTpAddress addr, TraceScope &scope) {
    if (scope.isEnabled()) scope.message("FLOW_CONTROL", TL_INFO);
    FlowRoute route;
    if (!m_routing.flowRoute(frame.id, addr.extAddr, route)) {
        if (scope.isEnabled()) scope.message("FLOW_CONTROL ignored (no FLow Filter or own response", TL_INFO);
        return;
    }
    PendingResults results;
    const FlowControlMatch match =
        m_outgoing.releaseOnFlowControl(route.canId, frame, m_options.ignorePeerStmin(), results, scope);
    tell(results);
    if (!scope.isEnabled()) return;
    if (match != FlowControlMatch::Taken)
        scope.messagef(TL_INFO, "Error FLOW_CONTROL  %d", static_cast<int>(match));
    else
        scope.messagef(TL_INFO, "FLOW_CONTROL No %d", static_cast<int>(match));
}

// One frame: true when it completed a message into out.
bool IsoTpTransport::analyzeFrame(const CanFrame &frame, ReceivedMessage &out, ReceiveNote *note,
                                  TraceScope &mainScope) {
    StartMessage(out, frame);
    const bool isAck = (frame.frameFlags & CAN_FRAME_TX_ACK) != 0;
    out.confirmation = isAck;
    const char *label = isAck ? "RAW-ACK" : "RAW-CAN";

    if (frame.frameType != CAN_FRAME_TYPE_FRAME) {
        TextLine line;
        ComposeRxLine(line, frame, label);
        if (frame.frameType == CAN_FRAME_TYPE_BUS_STATE) line.appendf("state: %-25s", BusStateText(frame.trailer));
        AppendFrameTime(line, frame);
        mainScope.message(line.c_str(), TL_ERROR);
        out.timestampUs = FrameTimestampUs(frame);
        return false;
    }

    PT_SCOPE(scope, "AnalyzeRxCanMessaPF");
    IsoTpAddress addr;
    if (isAck) {
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "PassThruReadMsg->ACK ->CanID: %X ", static_cast<unsigned>(frame.id));
        if (!m_outgoing.takeConfirmation(frame)) {
            if (scope.isEnabled()) scope.message("PASSFilter-Aknowledge ACK removed/ignored", TL_INFO);
            return false;
        }
        if (scope.isEnabled()) scope.message("PASSFilter-Aknowledge ACK passed to PT interface", TL_INFO);
    } else {
        const PassResult pass = m_routing.accept(frame, addr, scope);
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
    out.timestampUs = FrameTimestampUs(frame);
    if (isAck) return true;

    if (frame.length() <= addr.pciOffset()) {
        scope.message("Frame without protocol control information dropped", TL_ERROR);
        return false;
    }
    const uint8_t pci = frame.data[addr.pciOffset()];
    if (PciType(pci) == N_PCI_SF) return analyzeSingleFrame(frame, addr, PciLow(pci), out, note, scope);

    PT_SCOPE(mbScope, "AnalyzeRxCanMessage (MB)");
    if (mbScope.isEnabled()) mbScope.message("Multibyte-start RX", TL_INFO);
    switch (PciType(pci)) {
        case N_PCI_FF: analyzeFirstFrame(frame, addr, PciLow(pci), note, mbScope); return false;
        case N_PCI_CF: return analyzeConsecutiveFrame(frame, addr, PciLow(pci), out, note, mbScope);
        case N_PCI_FC: analyzeFlowControl(frame, addr, mbScope); return false;
        default: mbScope.messagef(TL_ERROR, "unknown Multibyte response 0x%02x !", pci); return false;
    }
}

bool IsoTpTransport::receive(const CanFrame &frame, ReceivedMessage &out, ReceiveNote *note) {
    PT_SCOPE(scope, "AnalyzeRxCanMessage (main)");
    return analyzeFrame(frame, out, note, scope);
}
