#include "j2534_tools/channel.h"

#include "j2534_tools/device.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"

Channel0404::Channel0404(Device0404 &device, uint32_t protocolId, uint32_t flags)
    : m_device(device), m_protocolId(protocolId), m_flags(flags) {}

void Channel0404::setFrameFormat(uint32_t arbitrationRate, uint32_t dataRate) {
    if (!isFd()) return;
    m_frameFormat = static_cast<uint8_t>(CAN_FRAME_FD | (dataRate > arbitrationRate ? CAN_FRAME_FD_BRS : 0));
}

uint32_t Channel0404::IdOfMsg(const PASSTHRU_MSG &msg) {
    return (uint32_t{msg.Data[0]} << 24) | (uint32_t{msg.Data[1]} << 16) | (uint32_t{msg.Data[2]} << 8) | msg.Data[3];
}

void Channel0404::PutId(uint32_t id, PASSTHRU_MSG &msg) {
    msg.Data[0] = static_cast<uint8_t>(id >> 24);
    msg.Data[1] = static_cast<uint8_t>(id >> 16);
    msg.Data[2] = static_cast<uint8_t>(id >> 8);
    msg.Data[3] = static_cast<uint8_t>(id);
}

void Channel0404::deliver(const PASSTHRU_MSG &msg) {
    if (m_rx.push(msg)) return;
    PT_SCOPE(scope, "Channel0404::deliver()");
    scope.messagef(TL_ERROR, "receive queue of %u messages full, message dropped", static_cast<unsigned>(kRxQueueMsgs));
}

uint32_t Channel0404::read(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, const char **why) {
    const uint32_t wanted = *num;
    // A reader that waits wants its message as soon as its last frame is on
    // the bus: the device's worker keeps its beat meanwhile.
    const bool waits = wanted != 0 && timeoutMs != 0;
    if (waits) m_device.readerWaits(true);
    uint32_t dropped = 0;
    *num = m_rx.take(msgs, wanted, timeoutMs, &dropped);
    if (waits) m_device.readerWaits(false);
    if (ended() && *num != wanted) return statusAfterEnd(ERR_FAILED, why);
    if (dropped != 0) {
        // Told once, with the messages this call read (the queue kept the oldest).
        PT_SCOPE(scope, "Channel0404::read()");
        scope.messagef(TL_ERROR, "%u messages lost: receive queue of %u messages full", static_cast<unsigned>(dropped),
                       static_cast<unsigned>(kRxQueueMsgs));
        *why = "the receive queue was full: later messages were lost";
        return ERR_BUFFER_OVERFLOW;
    }
    if (*num == wanted) return STATUS_NOERROR;
    if (*num == 0) {
        *why = "no message in the receive queue";
        return ERR_BUFFER_EMPTY;
    }
    if (timeoutMs == 0) return STATUS_NOERROR;
    *why = "Timeout expired before NumMsgs messages came";
    return ERR_TIMEOUT;
}

void Channel0404::noteConfirmed(uint64_t seq) {
    m_confirmedSeq.store(seq);
    m_confirmedEvent.set();
}

void Channel0404::end(const char *why) {
    m_endedWhy.store(why);
    m_rx.close();
    m_confirmedEvent.set();
    wakeWaiters();
}

uint32_t Channel0404::statusAfterEnd(uint32_t status, const char **why) const {
    if (status == STATUS_NOERROR || !ended()) return status;
    *why = m_endedWhy.load();
    return ERR_INVALID_CHANNEL_ID;
}

bool Channel0404::awaitConfirmed(uint64_t seq, uint32_t timeoutMs) {
    const uint64_t deadlineUs = plat::NowUs() + uint64_t{timeoutMs} * 1000u;
    for (;;) {
        if (m_confirmedSeq.load() >= seq) return true;
        m_confirmedEvent.reset();
        if (m_confirmedSeq.load() >= seq) return true;
        if (ended()) return false;
        const uint64_t now = plat::NowUs();
        if (now >= deadlineUs) return false;
        m_confirmedEvent.wait(static_cast<uint32_t>((deadlineUs - now + 999u) / 1000u));
    }
}

void Channel0404::clearTx() { m_device.forgetPending(*this); }

void Channel0404::onConfirmed(uint64_t token, const OutFrame &frame, const CanFrame &ack) {
    noteConfirmed(token);
    loopBack(frame, ack);
}

void Channel0404::loopBack(const OutFrame &frame, const CanFrame &ack) {
    if (!loopback()) return;
    PASSTHRU_MSG msg = {};
    msg.ProtocolID = m_protocolId;
    msg.RxStatus = TX_MSG_TYPE | (IsCanId29Bit(frame.id) ? CAN_29BIT_ID : 0);
    msg.TxFlags = frame.txFlags;
    msg.Timestamp = TimestampOf(ack);
    PutId(CanIdBits(frame.id), msg);
    for (uint8_t i = 0; i < frame.dlc && i < CANFD_MAX_DLEN; ++i) msg.Data[4 + i] = frame.data[i];
    msg.DataSize = 4u + frame.dlc;
    msg.ExtraDataIndex = msg.DataSize;
    deliver(msg);
}

uint32_t Channel0404::startPeriodic(const PASSTHRU_MSG &msg, uint32_t intervalMs, uint32_t *msgId, const char **why) {
    if (intervalMs < kMinPeriodMs || intervalMs > kMaxPeriodMs) {
        *why = "TimeInterval outside 5..65535 ms";
        return ERR_INVALID_TIME_INTERVAL;
    }
    OutFrame frame;
    const uint32_t status = frameOf(msg, frame, why);
    if (status != STATUS_NOERROR) return status;
    LockGuard guard(m_periodicLock);
    if (m_periodic.size() >= kMaxPeriodicMsgs) {
        *why = "10 periodic messages already on this channel";
        return ERR_EXCEEDED_LIMIT;
    }
    *msgId = m_nextPeriodicId++;
    // The first one leaves at once, the next one period later.
    m_periodic.push_back(PeriodicMsg{*msgId, frame, intervalMs, plat::NowUs()});
    m_device.wakeWorker();
    return STATUS_NOERROR;
}

uint32_t Channel0404::stopPeriodic(uint32_t msgId, const char **why) {
    LockGuard guard(m_periodicLock);
    for (auto it = m_periodic.begin(); it != m_periodic.end(); ++it) {
        if (it->msgId != msgId) continue;
        m_periodic.erase(it);
        return STATUS_NOERROR;
    }
    *why = "no periodic message of that MsgID on this channel";
    return ERR_INVALID_MSG_ID;
}

void Channel0404::clearPeriodic() {
    LockGuard guard(m_periodicLock);
    m_periodic.clear();
}

uint64_t Channel0404::nextPeriodicDueUs() {
    LockGuard guard(m_periodicLock);
    uint64_t next = 0;
    for (const PeriodicMsg &periodic : m_periodic)
        if (next == 0 || periodic.dueUs < next) next = periodic.dueUs;
    return next;
}

void Channel0404::sendDuePeriodic(uint64_t nowUs, TraceScope &scope) {
    LockGuard guard(m_periodicLock);
    for (PeriodicMsg &periodic : m_periodic) {
        if (periodic.dueUs > nowUs) continue;
        uint64_t seq = 0;
        m_device.transmit(*this, periodic.frame, &seq, scope);
        // On the beat of the period, not of the moment it went: a late cycle
        // does not shift the ones after it; one missed by a period is skipped.
        periodic.dueUs += uint64_t{periodic.intervalMs} * 1000u;
        if (periodic.dueUs <= nowUs) periodic.dueUs = nowUs + uint64_t{periodic.intervalMs} * 1000u;
    }
}

uint32_t Channel0404::getConfig(SCONFIG &param, const char **why) {
    switch (param.Parameter) {
        case DATA_RATE: param.Value = m_device.port().bitrate(); return STATUS_NOERROR;
        case LOOPBACK: param.Value = m_loopback.load(); return STATUS_NOERROR;
        case BIT_SAMPLE_POINT: param.Value = m_bitSamplePoint.load(); return STATUS_NOERROR;
        case SYNC_JUMP_WIDTH: param.Value = m_syncJumpWidth.load(); return STATUS_NOERROR;
        default: break;
    }
    if (!isFd()) {
        *why = "parameter not served on this channel";
        return ERR_NOT_SUPPORTED;
    }
    switch (param.Parameter) {
        case FD_CAN_DATA_PHASE_RATE:
        case CAN_FD_DATA_PHASE_RATE: param.Value = m_device.port().fdDataRate(); return STATUS_NOERROR;
        case HS_CAN_TERMINATION:
        case CAN_FD_TERMINATION: param.Value = m_termination.load(); return STATUS_NOERROR;
        case CAN_FD_TYPE: param.Value = 0; return STATUS_NOERROR;
        case J1962_PINS:
            if (!IsPinSwitched(m_protocolId)) break;
            param.Value = m_pins.load();
            return STATUS_NOERROR;
        default: break;
    }
    *why = "parameter not served on this channel";
    return ERR_NOT_SUPPORTED;
}

// The parameters every CAN FD channel has.
uint32_t Channel0404::setFdConfig(const SCONFIG &param, TraceScope &scope, const char **why) {
    switch (param.Parameter) {
        case FD_CAN_DATA_PHASE_RATE:
        case CAN_FD_DATA_PHASE_RATE: return m_device.setDataPhaseRate(*this, param.Value, scope, why);
        case HS_CAN_TERMINATION:
        case CAN_FD_TERMINATION:
            if (param.Value != kNoTermination && param.Value != kTermination120) break;
            m_termination = param.Value;
            return STATUS_NOERROR;
        case CAN_FD_TYPE:
            if (param.Value == 0) return STATUS_NOERROR;
            *why = "CAN_FD_TYPE: ISO CAN FD (0) only";
            return ERR_INVALID_IOCTL_VALUE;
        case J1962_PINS:
            if (!IsPinSwitched(m_protocolId)) {
                *why = "J1962_PINS is for the pin-switched protocols";
                return ERR_NOT_SUPPORTED;
            }
            if (param.Value != kHsCanPins) {
                *why = "J1962_PINS: CAN FD on pins 6 and 14 (0x060E) only";
                return ERR_PIN_INVALID;
            }
            m_pins = param.Value;
            return STATUS_NOERROR;
        default: *why = "parameter not served on this channel"; return ERR_NOT_SUPPORTED;
    }
    *why = "value outside the parameter's range";
    return ERR_INVALID_IOCTL_VALUE;
}

uint32_t Channel0404::setConfig(const SCONFIG &param, TraceScope &scope, const char **why) {
    switch (param.Parameter) {
        case DATA_RATE: return m_device.setBitrate(*this, param.Value, scope, why);
        case LOOPBACK:
            if (param.Value > 1) break;
            m_loopback = param.Value;
            return STATUS_NOERROR;
        case BIT_SAMPLE_POINT:
            // Percent of the bit time; the Vector driver sets it from the bit rate.
            if (param.Value > 100) break;
            m_bitSamplePoint = param.Value;
            return STATUS_NOERROR;
        case SYNC_JUMP_WIDTH:
            // Percent of the bit time, as the sample point.
            if (param.Value > 100) break;
            m_syncJumpWidth = param.Value;
            return STATUS_NOERROR;
        default:
            if (isFd()) return setFdConfig(param, scope, why);
            *why = "parameter not served on this channel";
            return ERR_NOT_SUPPORTED;
    }
    *why = "value outside the parameter's range";
    return ERR_INVALID_IOCTL_VALUE;
}
