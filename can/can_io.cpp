// Frames through the open port: transmit, the receive queue, wake-up.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "can/can_port.h"
#include "j2534.h"
#include "platform/platform.h"
#include "platform/lock_guard.h"
#include "trace/text_line.h"
#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kReportIntervalMs = 1000;

constexpr uint32_t kWakeUpId = 0x7E0;
constexpr uint8_t kWakeUpFrame[8] = {0x02, 0x3E, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint32_t kWakeUpAltId = 0x784;
constexpr uint8_t kWakeUpAltFrame[8] = {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Unsigned both ways, so that a tick count that wrapped, or a report tick
// still at its initial value, lets the next report through.
bool ReportDue(uint32_t lastReportTick, uint32_t now) {
    return now > lastReportTick + kReportIntervalMs || now < lastReportTick - kReportIntervalMs;
}

void TraceScopeOnly(const char *name) { PT_SCOPE(scope, name); }

// The message flags that keep a frame from the transport, in the order they
// are looked at, and the scope that marks each in the trace.
struct BlockingFlag {
    uint8_t flag;
    const char *scopeName;
};
constexpr BlockingFlag kBlockingFlags[] = {
    {XL_CAN_MSG_FLAG_OVERRUN, "Queue rx XL_CAN_MSG_FLAG_OVERRUN"},
    {XL_CAN_MSG_FLAG_NERR, "Queue rx XL_CAN_MSG_FLAG_NERR "},
    {XL_CAN_MSG_FLAG_WAKEUP, "Queue rx XL_CAN_MSG_FLAG_WAKEUP"},
    {XL_CAN_MSG_FLAG_REMOTE_FRAME, "Queue rx XL_CAN_MSG_FLAG_REMOTE_FRAME"},
    {XL_CAN_MSG_FLAG_RESERVED_1, "Queue rx XL_CAN_MSG_FLAG_RESERVED_1"},
    {XL_CAN_MSG_FLAG_TX_REQUEST, "Queue rx XL_CAN_MSG_FLAG_TX_REQUEST"},
};

// A frame record about to take one event: nothing of an earlier one stays.
void ClearFrame(CanFrame &frame) {
    frame.frameFlags = 0;
    frame.id = 0;
    frame.dlc = 0;
    frame.trailer = 0;
    frame.frameType = 0;
    frame.fdFlags = 0;
}

void FillFrame(const XLevent &event, CanFrame &frame) {
    const s_xl_can_msg &msg = event.tagData.msg;
    frame.id = msg.id;
    frame.dlc = static_cast<uint8_t>(msg.dlc & 0xFF);
    // The transport keeps time in 32-bit microseconds and lives with the wrap.
    const uint32_t micros = static_cast<uint32_t>(event.timeStamp / 1000u);
    frame.timeMs = micros / 1000u;
    frame.timeReserved = 0;
    frame.timeUs = static_cast<uint16_t>(micros % 1000u);
    const size_t count = frame.length();  // a classic frame: at most 8
    std::memcpy(frame.data, msg.data, count);
}

}  // namespace

uint32_t RateLimitedCount::add() {
    ++count;
    const uint32_t now = plat::TickCount();
    if (!ReportDue(reportTick, now)) return 0;
    reportTick = now;
    return count.exchange(0);
}

void CanPort::countErrorFrame() {
    const uint32_t count = m_ErrorFrames.add();
    if (count == 0) return;
    PT_SCOPE(scope, "VectorReadReceiveQueue()");
    scope.messagef(TL_FATALERROR, "Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted %u time(s)", count);
}

void CanPort::countOverrun() {
    const uint32_t count = m_Overruns.add();
    if (count == 0) return;
    PT_SCOPE(scope, "VectorReadReceiveQueue()");
    scope.messagef(TL_ERROR,
                   "Queue rx XL_CAN_MSG_FLAG_OVERRUN, receive queue overrun, frames lost --> has counted %u time(s)",
                   count);
}

void CanPort::countReceiveFailure(XLstatus status) {
    const uint32_t count = m_ReceiveFailures.add();
    if (count == 0) return;
    PT_SCOPE(scope, "VectorReadReceiveQueue()");
    scope.messagef(TL_ERROR, "xlReceive FAILED!!!! 0x%04X %s --> has counted %u time(s)", static_cast<int>(status),
                   xlErrorText(status), count);
}

void CanPort::countUnknownEvent(XLevent &event) {
    const uint32_t count = m_UnknownEvents.add();
    if (count == 0) return;
    PT_SCOPE(scope, "VectorReadReceiveQueue()");
    if (scope.isEnabled()) {
        const char *text = bindDriver().xlGetEventString(&event);
        scope.messagef(TL_INFO, "RX-INFO %s", text ? text : "");
    }
    scope.messagef(TL_FATALERROR, "Queue rx unknown %d --> has counted %u time(s) !!!", event.tag, count);
}

// Decides whether a received frame goes to the transport; marks the
// confirmations of our own frames.
bool CanPort::acceptReceivedFrame(const XLevent &event, CanFrame &frame) {
    const uint8_t flags = static_cast<uint8_t>(event.tagData.msg.flags & 0xFF);
    if (flags & XL_CAN_MSG_FLAG_ERROR_FRAME) {
        countErrorFrame();
        return false;
    }
    // The flag tells that frames were lost before this one, which is whole.
    const uint8_t lostBefore = m_profile.on ? XL_CAN_MSG_FLAG_OVERRUN : 0;
    if (flags & lostBefore) countOverrun();
    for (const BlockingFlag &blocking : kBlockingFlags) {
        if (blocking.flag & lostBefore) continue;
        if (flags & blocking.flag) {
            TraceScopeOnly(blocking.scopeName);
            return false;
        }
    }
    frame.frameType = CAN_FRAME_TYPE_FRAME;
    if (flags & XL_CAN_MSG_FLAG_TX_COMPLETED) {
        frame.frameFlags = CAN_FRAME_TX_ACK;
        TraceScopeOnly("Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED");
    }
    return true;
}

uint32_t CanPort::VectorTransmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad, TraceScope &scope,
                                 bool *queueFull, const ConfirmationTag &tag, uint8_t padByte, uint8_t fdFlags) {
    const bool fd = (fdFlags & CAN_FRAME_FD) != 0;
    if (!fd && (length < 0 || length > CAN_MAX_DLEN)) {
        scope.messagef(TL_ERROR, "Transmit CAN messages ...FAILED!!!! CanId=0x%04x Len=%d out of range 0..8",
                       static_cast<unsigned int>(id), static_cast<int>(length));
        return ERR_FAILED;
    }
    if (fd && (length < 0 || length > CANFD_MAX_DLEN)) {
        scope.messagef(TL_ERROR, "Transmit CAN FD messages ...FAILED!!!! CanId=0x%04x Len=%d out of range 0..64",
                       static_cast<unsigned int>(id), static_cast<int>(length));
        return ERR_FAILED;
    }
    if (fd && !isFd()) {
        scope.messagef(TL_ERROR, "Transmit CAN FD messages ...FAILED!!!! CanId=0x%04x the port is not open for CAN FD",
                       static_cast<unsigned int>(id));
        return ERR_FAILED;
    }
    if (data == nullptr && length > 0) {
        scope.messagef(TL_ERROR, "Transmit CAN messages ...FAILED!!!! CanId=0x%04x no data",
                       static_cast<unsigned int>(id));
        return ERR_NULL_PARAMETER;
    }

    // The frame as it goes on the bus: an FD frame above 8 bytes always has
    // a length a DLC code gives; up to 8 bytes both formats pad on request.
    uint8_t frame[CANFD_MAX_DLEN];
    // (Checked above; bounded again so that no compiler has to follow that.)
    const size_t carried = std::min(static_cast<size_t>(length), sizeof frame);
    const uint8_t dlc = length > CAN_MAX_DLEN ? CanFdPaddedLength(static_cast<uint8_t>(length))
                                              : static_cast<uint8_t>(pad != 0 ? CAN_MAX_DLEN : length);
    if (carried > 0) std::memcpy(frame, data, carried);
    if (dlc > carried) std::memset(frame + carried, padByte, dlc - carried);
    BasicTextLine<400> line;
    if (!fd) {
        line.appendf("RAW-CAN--TX CanId=0x%04x Len=%3d Padding = %2d Data: ", static_cast<unsigned int>(id),
                     static_cast<int>(length), static_cast<int>(pad));
    } else {
        line.appendf("RAW-CAN--TX CanId=0x%04x Len=%3d Padding = %2d FD%s Data: ", static_cast<unsigned int>(id),
                     static_cast<int>(dlc), static_cast<int>(pad), (fdFlags & CAN_FRAME_FD_BRS) ? " BRS" : "");
    }
    line.appendBytes(frame, dlc);
    scope.message(line.c_str(), TL_INFO);

    uint64_t noted = 0;
    if (tag.owner) {
        SentFrame sent;
        sent.id = id;
        sent.dlc = dlc;
        sent.fdFlags = fdFlags & (CAN_FRAME_FD | CAN_FRAME_FD_BRS);
        std::memcpy(sent.data, frame, dlc);
        noted = m_confirmations.note(sent, tag);
    }
    const bool fdPort = isFd();
    uint32_t micros = 0;
    const XLstatus status = fdPort ? transmitFd(id, dlc, frame, fdFlags) : transmitClassic(id, dlc, frame, &micros);
    if (queueFull) *queueFull = status == XL_ERR_QUEUE_IS_FULL;
    if (status != XL_SUCCESS) {
        if (noted != 0) m_confirmations.withdraw(noted);
        scope.messagef(TL_INFO, "Transmit CAN messages ...FAILED!!!! 0x%04X %s", static_cast<int>(status),
                       xlErrorText(status));
        return ERR_FAILED;
    }
    if (fdPort) {
        // The FD call gives no time stamp of its own.
        scope.messagef(TL_INFO, "Transmit CAN messages ...successed (CAN FD port)");
    } else if (scope.isEnabled()) {
        m_LastTxTimestamp = micros;
        scope.messagef(TL_INFO, "Transmit CAN messages ...successed time=%u us", micros);
    }
    return STATUS_NOERROR;
}

XLstatus CanPort::transmitClassic(uint32_t id, uint8_t dlc, const uint8_t *data, uint32_t *timeUs) {
    XLevent event = {};
    event.tag = XL_TRANSMIT_MSG;
    s_xl_can_msg &msg = event.tagData.msg;
    msg.id = id;
    msg.dlc = dlc;
    std::memcpy(msg.data, data, dlc);
    unsigned int count = 1;
    const XLstatus status = bindDriver().xlCanTransmit(m_PortHandle.load(), m_ChannelMask.load(), &count, &event);
    *timeUs = static_cast<uint32_t>(event.timeStamp / 1000u);
    return status;
}

// On an FD port classic frames go through the same call, without EDL.
XLstatus CanPort::transmitFd(uint32_t id, uint8_t dlc, const uint8_t *data, uint8_t fdFlags) {
    XLcanTxEvent event = {};
    event.tag = XL_CAN_EV_TAG_TX_MSG;
    event.transId = 0xFFFF;
    XL_CAN_TX_MSG &msg = event.tagData.canMsg;
    msg.canId = id;  // bit 31 marks a 29-bit identifier for the driver as for us
    if (fdFlags & CAN_FRAME_FD) {
        msg.msgFlags = XL_CAN_TXMSG_FLAG_EDL | ((fdFlags & CAN_FRAME_FD_BRS) ? XL_CAN_TXMSG_FLAG_BRS : 0);
        msg.dlc = CanFdLengthToDlc(dlc);
    } else {
        msg.dlc = dlc;
    }
    std::memcpy(msg.data, data, dlc);
    unsigned int sent = 0;
    const XLstatus status = bindDriver().xlCanTransmitEx(m_PortHandle.load(), m_ChannelMask.load(), 1, &sent, &event);
    // A call that took nothing found the transmit queue full.
    return status == XL_SUCCESS && sent == 0 ? XL_ERR_QUEUE_IS_FULL : status;
}

bool CanPort::VectorReadReceiveQueue(CanFrame &frame, bool *eventTaken) {
    if (isFd()) return readFdReceiveQueue(frame, eventTaken);
    XLevent event = {};
    unsigned int count = 1;
    const XLportHandle port = m_PortHandle.load();
    const XLstatus status = bindDriver().xlReceive(port, &count, &event);
    if (eventTaken) *eventTaken = status == XL_SUCCESS && count != 0;
    // Anything but a delivered event (an empty queue, a port that is gone)
    // leaves the caller's frame as it was; the read path polls again anyway.
    if (status != XL_SUCCESS || count == 0) {
        if (m_profile.on && status != XL_SUCCESS && status != XL_ERR_QUEUE_IS_EMPTY &&
            port != XL_INVALID_PORTHANDLE)
            countReceiveFailure(status);
        return false;
    }

    ClearFrame(frame);

    switch (event.tag) {
        case XL_NO_COMMAND: return false;
        case XL_RECEIVE_MSG:
            if (!acceptReceivedFrame(event, frame)) return false;
            break;
        case XL_TRANSMIT_MSG: TraceScopeOnly("Queue tx ????"); break;
        default: countUnknownEvent(event); return false;
    }
    FillFrame(event, frame);
    return true;
}

// An FD port's event: RX_OK and TX_OK carry frames (TX_OK confirms ours),
// bus errors are counted like error frames, the rest is told and dropped.
bool CanPort::readFdReceiveQueue(CanFrame &frame, bool *eventTaken) {
    XLcanRxEvent event = {};
    const XLportHandle port = m_PortHandle.load();
    const XLstatus status = bindDriver().xlCanReceive(port, &event);
    if (eventTaken) *eventTaken = status == XL_SUCCESS;
    if (status != XL_SUCCESS) {
        if (m_profile.on && status != XL_ERR_QUEUE_IS_EMPTY && port != XL_INVALID_PORTHANDLE)
            countReceiveFailure(status);
        return false;
    }
    ClearFrame(frame);
    switch (event.tag) {
        case XL_CAN_EV_TAG_RX_OK:
        case XL_CAN_EV_TAG_TX_OK: return acceptFdFrame(event, frame);
        case XL_CAN_EV_TAG_TX_REQUEST: TraceScopeOnly("Queue rx XL_CAN_MSG_FLAG_TX_REQUEST"); return false;
        case XL_CAN_EV_TAG_RX_ERROR:
        case XL_CAN_EV_TAG_TX_ERROR: countErrorFrame(); return false;
        default: countFdEvent(event); return false;
    }
}

bool CanPort::acceptFdFrame(const XLcanRxEvent &event, CanFrame &frame) {
    const XL_CAN_EV_RX_MSG &msg = event.tagData.canRxOkMsg;
    if (msg.msgFlags & XL_CAN_RXMSG_FLAG_EF) {
        countErrorFrame();
        return false;
    }
    // As with the classic flag: frames were lost before this one, which is whole.
    const bool overrun = (event.flagsChip & XL_CAN_QUEUE_OVERFLOW) != 0;
    if (overrun && m_profile.on) countOverrun();
    if (overrun && !m_profile.on) {
        TraceScopeOnly("Queue rx XL_CAN_MSG_FLAG_OVERRUN");
        return false;
    }
    if (msg.msgFlags & XL_CAN_RXMSG_FLAG_WAKEUP) {
        TraceScopeOnly("Queue rx XL_CAN_MSG_FLAG_WAKEUP");
        return false;
    }
    if (msg.msgFlags & XL_CAN_RXMSG_FLAG_RTR) {
        TraceScopeOnly("Queue rx XL_CAN_MSG_FLAG_REMOTE_FRAME");
        return false;
    }
    frame.frameType = CAN_FRAME_TYPE_FRAME;
    if (event.tag == XL_CAN_EV_TAG_TX_OK) {
        frame.frameFlags = CAN_FRAME_TX_ACK;
        TraceScopeOnly("Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED");
    }
    const bool edl = (msg.msgFlags & XL_CAN_RXMSG_FLAG_EDL) != 0;
    if (edl) {
        frame.fdFlags = CAN_FRAME_FD | ((msg.msgFlags & XL_CAN_RXMSG_FLAG_BRS) ? CAN_FRAME_FD_BRS : 0) |
                        ((msg.msgFlags & XL_CAN_RXMSG_FLAG_ESI) ? CAN_FRAME_FD_ESI : 0);
    }
    frame.id = msg.canId;
    // Without EDL a DLC code above 8 still means 8 bytes.
    frame.dlc = edl ? CanFdDlcToLength(msg.dlc) : (msg.dlc < CAN_MAX_DLEN ? msg.dlc : CAN_MAX_DLEN);
    const uint32_t micros = static_cast<uint32_t>(event.timeStampSync / 1000u);
    frame.timeMs = micros / 1000u;
    frame.timeReserved = 0;
    frame.timeUs = static_cast<uint16_t>(micros % 1000u);
    std::memcpy(frame.data, msg.data, frame.length());
    return true;
}

void CanPort::countFdEvent(XLcanRxEvent &event) {
    const uint32_t count = m_UnknownEvents.add();
    if (count == 0) return;
    PT_SCOPE(scope, "VectorReadReceiveQueue()");
    if (scope.isEnabled()) {
        const char *text = bindDriver().xlCanGetEventString(&event);
        scope.messagef(TL_INFO, "RX-INFO %s", text ? text : "");
    }
    if (event.tag == XL_CAN_EV_TAG_CHIP_STATE) {
        const XL_CAN_EV_CHIP_STATE &chip = event.tagData.canChipState;
        scope.messagef(TL_INFO, "Queue rx chip state 0x%02x tx errors %u rx errors %u --> %u event(s)",
                       chip.busStatus, chip.txErrorCounter, chip.rxErrorCounter, count);
        return;
    }
    scope.messagef(TL_FATALERROR, "Queue rx unknown %d --> has counted %u time(s) !!!", event.tag, count);
}

void CanPort::VectorSendWakeUp() {
    if (m_PortHandle.load() == XL_INVALID_PORTHANDLE) {
        TraceScopeOnly("WakeUP while can is closed");
        return;
    }
    const int32_t wakeUp = m_settings.m_WakeUp;
    if (wakeUp <= 0) return;
    PT_SCOPE(scope, "WakeUP !!!!! sent");
    if (wakeUp == 1) {
        VectorTransmit(kWakeUpId, CAN_MAX_DLEN, kWakeUpFrame, 1, scope);
    } else if (wakeUp == 2) {
        VectorTransmit(kWakeUpAltId, CAN_MAX_DLEN, kWakeUpAltFrame, 1, scope);
    }
}
