#include "j2534_tools/iso_channel.h"

#include <cstring>

#include "j2534_tools/device.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kIdBytes = 4;
constexpr uint32_t kExtendedFlag = 0x80000000u;
constexpr uint32_t kMax11BitId = 0x7FF;
constexpr uint32_t kMax29BitId = 0x1FFFFFFF;
constexpr uint32_t kMaxPayload = 4095;
constexpr uint32_t kUsePeers = 0xFFFF;
constexpr uint8_t kPadByte = CAN_PAD_BYTE;
// Between two multi-frame messages of one write on the same identifier
// without a Timeout: the transport runs one transfer per identifier.
constexpr uint32_t kSequentialWaitMs = 5000;
// The transport's filters answer to its one channel.
constexpr uint32_t kTransportChannel = 1;

bool ValidStmin(uint32_t value) { return value <= 0x7F || (value >= 0xF1 && value <= 0xF9); }

uint32_t IdOfData(const uint8_t *data) {
    return (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
}

}  // namespace

IsoChannel::IsoChannel(Device0404 &device, uint32_t flags, CanPort &port, TraceFile *pduTrace,
                       const FieldProfile &profile)
    : Channel0404(device, ISO15765, flags),
      m_transport(port, pduTrace, profile),
      m_profile(profile),
      m_waitMax(static_cast<uint32_t>(profile.maxWaits)) {}

bool IsoChannel::is29Bit(uint32_t txFlags) const {
    if (flags() & CAN_ID_BOTH) return (txFlags & CAN_29BIT_ID) != 0;
    return (flags() & CAN_29BIT_ID) != 0;
}

uint32_t IsoChannel::validate(const PASSTHRU_MSG &msg, const char **why) const {
    if (msg.ProtocolID != ISO15765) {
        *why = "message ProtocolID is not the channel's";
        return ERR_MSG_PROTOCOL_ID;
    }
    const uint32_t header = kIdBytes + ((msg.TxFlags & ISO15765_ADDR_TYPE) ? 1u : 0u);
    if (msg.DataSize < header || msg.DataSize > header + kMaxPayload) {
        *why = "an ISO15765 message holds its identifier and 0 to 4095 bytes";
        return ERR_INVALID_MSG;
    }
    const uint32_t id = IdOfData(msg.Data);
    if (id > (is29Bit(msg.TxFlags) ? kMax29BitId : kMax11BitId)) {
        *why = "identifier does not suit the channel or the CAN_29BIT_ID flag";
        return ERR_INVALID_MSG;
    }
    return STATUS_NOERROR;
}

bool IsoChannel::hasFlowFilterFor(uint32_t canId, int addr) const {
    LockGuard guard(m_filterLock);
    for (const FlowFilter &f : m_filters)
        if (f.flowId == canId && f.flowAddr == addr) return true;
    return false;
}

int IsoChannel::addressOfReceived(uint32_t canId) const {
    LockGuard guard(m_filterLock);
    for (const FlowFilter &f : m_filters)
        if (f.patternId == canId) return f.patternAddr;
    return -1;
}

uint32_t IsoChannel::write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope, const char **why) {
    const uint32_t wanted = *num;
    const uint64_t deadlineUs = plat::NowUs() + uint64_t{timeoutMs} * 1000u;
    uint32_t sent = 0;
    uint32_t status = STATUS_NOERROR;
    std::vector<uint64_t> seqs;
    for (; sent < wanted; ++sent) {
        PASSTHRU_MSG msg = msgs[sent];
        status = validate(msg, why);
        if (status != STATUS_NOERROR) break;
        const bool extended = (msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
        const uint32_t header = kIdBytes + (extended ? 1u : 0u);
        const int addr = extended ? msg.Data[kIdBytes] : -1;
        uint32_t canId = IdOfData(msg.Data);
        if (is29Bit(msg.TxFlags)) canId |= kExtendedFlag;
        const bool multiFrame = msg.DataSize - header > 7u - (extended ? 1u : 0u);
        if (multiFrame && !hasFlowFilterFor(canId, addr)) {
            status = ERR_NO_FLOW_CONTROL;
            *why = "no FLOW_CONTROL_FILTER whose flow-control message has this identifier";
            break;
        }
        // One transfer per identifier: the one before on it finishes first.
        if (multiFrame && !seqs.empty()) {
            const uint64_t now = plat::NowUs();
            const uint32_t wait =
                timeoutMs == 0 ? kSequentialWaitMs : (now < deadlineUs ? uint32_t((deadlineUs - now) / 1000u) : 0u);
            awaitWritten(seqs.back(), wait);
        }
        msg.Data[0] = static_cast<uint8_t>(canId >> 24);
        uint64_t seq = 0;
        {
            LockGuard guard(m_writtenLock);
            seq = m_nextSeq++;
            // An older message on the identifier is replaced by the transport.
            for (auto it = m_written.begin(); it != m_written.end();)
                it = it->canId == canId ? m_written.erase(it) : it + 1;
            m_written.push_back(Written{seq, canId, msgs[sent]});
        }
        status = m_transport.write(msg, scope);
        device().wakeWorker();
        if (status != STATUS_NOERROR) {
            LockGuard guard(m_writtenLock);
            for (auto it = m_written.begin(); it != m_written.end(); ++it) {
                if (it->seq != seq) continue;
                m_written.erase(it);
                break;
            }
            *why = "the message could not be handed to the driver";
            break;
        }
        seqs.push_back(seq);
    }
    *num = sent;
    if (status != STATUS_NOERROR || timeoutMs == 0) return status;
    uint32_t confirmed = 0;
    for (uint64_t seq : seqs) {
        const uint64_t now = plat::NowUs();
        const uint32_t left = now < deadlineUs ? static_cast<uint32_t>((deadlineUs - now + 999u) / 1000u) : 0u;
        if (!awaitWritten(seq, left)) break;
        ++confirmed;
    }
    if (confirmed == sent) return STATUS_NOERROR;
    *num = confirmed;
    *why = "Timeout expired before every message was on the bus";
    return ERR_TIMEOUT;
}

bool IsoChannel::awaitWritten(uint64_t seq, uint32_t timeoutMs) {
    const uint64_t deadlineUs = plat::NowUs() + uint64_t{timeoutMs} * 1000u;
    for (;;) {
        {
            LockGuard guard(m_writtenLock);
            bool open = false;
            for (const Written &w : m_written) open = open || w.seq == seq;
            if (!open) return true;
            m_writtenEvent.reset();
        }
        if (ended()) return false;
        const uint64_t now = plat::NowUs();
        if (now >= deadlineUs) return false;
        m_writtenEvent.wait(static_cast<uint32_t>((deadlineUs - now + 999u) / 1000u));
    }
}

void IsoChannel::clearTx() {
    Channel0404::clearTx();
    m_transport.forgetConfirmations();
    LockGuard guard(m_writtenLock);
    m_written.clear();
    m_writtenEvent.set();
}

uint32_t IsoChannel::startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                                 const PASSTHRU_MSG *flow, uint32_t *filterId, const char **why) {
    if (type == PASS_FILTER || type == BLOCK_FILTER) {
        *why = "an ISO15765 channel takes FLOW_CONTROL_FILTER only";
        return ERR_NOT_SUPPORTED;
    }
    if (type != FLOW_CONTROL_FILTER) {
        *why = "FilterType unknown";
        return ERR_FAILED;
    }
    if (!flow) {
        *why = "pFlowControlMsg is a NULL pointer";
        return ERR_NULL_PARAMETER;
    }
    if (mask->ProtocolID != ISO15765 || pattern->ProtocolID != ISO15765 || flow->ProtocolID != ISO15765) {
        *why = "filter message ProtocolID is not the channel's";
        return ERR_MSG_PROTOCOL_ID;
    }
    const uint32_t size = pattern->DataSize;
    if ((size != kIdBytes && size != kIdBytes + 1) || mask->DataSize != size || flow->DataSize != size) {
        *why = "mask, pattern and flow control need 4 bytes (5 with ISO15765_ADDR_TYPE)";
        return ERR_INVALID_MSG;
    }
    FlowFilter filter = {};
    const bool extended = size == kIdBytes + 1;
    filter.patternId = IdOfData(pattern->Data) | (is29Bit(pattern->TxFlags) ? kExtendedFlag : 0);
    filter.flowId = IdOfData(flow->Data) | (is29Bit(flow->TxFlags) ? kExtendedFlag : 0);
    filter.patternAddr = extended ? pattern->Data[kIdBytes] : -1;
    filter.flowAddr = extended ? flow->Data[kIdBytes] : -1;
    // The transport reads 29-bit identifiers with bit 31 set.
    PASSTHRU_MSG transportMask = *mask, transportPattern = *pattern, transportFlow = *flow;
    transportPattern.Data[0] = static_cast<uint8_t>(filter.patternId >> 24);
    transportFlow.Data[0] = static_cast<uint8_t>(filter.flowId >> 24);
    if (filter.patternId & kExtendedFlag) transportMask.Data[0] |= 0x80;
    // The transport finds the flow control for a frame by the frame's own
    // address byte, and addresses it to the low byte of the frame's id.
    if (extended) transportFlow.Data[kIdBytes] = pattern->Data[kIdBytes];

    LockGuard guard(m_filterLock);
    for (const FlowFilter &f : m_filters) {
        const bool same = f.patternId == filter.patternId || f.patternId == filter.flowId ||
                          f.flowId == filter.patternId || f.flowId == filter.flowId;
        if (same) {
            *why = "an identifier of this filter is one of an existing FLOW_CONTROL_FILTER";
            return ERR_NOT_UNIQUE;
        }
    }
    if (m_filters.size() >= kMaxFlowControlFilters) {
        *why = "16 flow-control filters already on this channel";
        return ERR_EXCEEDED_LIMIT;
    }
    // The transport takes frames on the pattern with a pass filter and
    // answers them with its flow-control filter.
    MessageFilters &filters = m_transport.filters();
    if (filters.PassThruStartMsgFilter(kTransportChannel, PASS_FILTER, &transportMask, &transportPattern,
                                       &transportFlow, &filter.passId) != STATUS_NOERROR ||
        filters.PassThruStartMsgFilter(kTransportChannel, FLOW_CONTROL_FILTER, &transportMask, &transportPattern,
                                       &transportFlow, &filter.flowFilterId) != STATUS_NOERROR) {
        *why = "the transport refused the filter";
        return ERR_FAILED;
    }
    filter.filterId = m_nextFilterId++;
    m_filters.push_back(filter);
    *filterId = filter.filterId;
    return STATUS_NOERROR;
}

uint32_t IsoChannel::stopFilter(uint32_t filterId, const char **why) {
    LockGuard guard(m_filterLock);
    for (auto it = m_filters.begin(); it != m_filters.end(); ++it) {
        if (it->filterId != filterId) continue;
        m_transport.filters().PassThruStopMsgFilter(kTransportChannel, it->passId);
        m_transport.filters().PassThruStopMsgFilter(kTransportChannel, it->flowFilterId);
        m_filters.erase(it);
        return STATUS_NOERROR;
    }
    *why = "no filter of that FilterID on this channel";
    return ERR_INVALID_FILTER_ID;
}

void IsoChannel::clearFilters() {
    LockGuard guard(m_filterLock);
    m_transport.filters().removeAll();
    m_filters.clear();
}

uint32_t IsoChannel::getConfig(SCONFIG &param, const char **why) {
    switch (param.Parameter) {
        case ISO15765_BS: param.Value = m_blockSize; return STATUS_NOERROR;
        case ISO15765_STMIN: param.Value = m_stmin; return STATUS_NOERROR;
        case ISO15765_BS_TX: param.Value = m_blockSizeTx; return STATUS_NOERROR;
        case ISO15765_STMIN_TX: param.Value = m_stminTx; return STATUS_NOERROR;
        case ISO15765_WFT_MAX: param.Value = m_waitMax; return STATUS_NOERROR;
        default: return Channel0404::getConfig(param, why);
    }
}

uint32_t IsoChannel::setConfig(const SCONFIG &param, TraceScope &scope, const char **why) {
    const uint32_t value = param.Value;
    bool valid = true;
    switch (param.Parameter) {
        case ISO15765_BS:
            if ((valid = value <= 0xFF)) {
                m_blockSize = value;
                m_transport.setBlockSize(static_cast<int32_t>(value));
            }
            break;
        case ISO15765_STMIN:
            if ((valid = ValidStmin(value))) {
                m_stmin = value;
                m_transport.setSeparationTime(static_cast<uint8_t>(value));
            }
            break;
        case ISO15765_BS_TX:
        case ISO15765_STMIN_TX: {
            const bool bs = param.Parameter == ISO15765_BS_TX;
            if ((valid = value == kUsePeers || (bs ? value <= 0xFF : ValidStmin(value)))) {
                (bs ? m_blockSizeTx : m_stminTx) = value;
                const uint32_t bsTx = m_blockSizeTx, stminTx = m_stminTx;
                m_transport.setSendOverrides(bsTx == kUsePeers ? -1 : static_cast<int32_t>(bsTx),
                                             stminTx == kUsePeers ? -1 : static_cast<int32_t>(stminTx));
            }
            break;
        }
        case ISO15765_WFT_MAX:
            if ((valid = value <= 0xFF)) {
                m_waitMax = value;
                m_transport.setMaxWaits(static_cast<int32_t>(value));
            }
            break;
        default: return Channel0404::setConfig(param, scope, why);
    }
    if (valid) return STATUS_NOERROR;
    *why = "value outside the parameter's range";
    return ERR_INVALID_IOCTL_VALUE;
}

// A periodic message on ISO15765 is one single frame.
uint32_t IsoChannel::frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const {
    const uint32_t status = validate(msg, why);
    if (status != STATUS_NOERROR) return status;
    const bool extended = (msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
    const uint32_t header = kIdBytes + (extended ? 1u : 0u);
    const uint32_t length = msg.DataSize - header;
    if (length == 0 || length > 7u - (extended ? 1u : 0u)) {
        *why = "a periodic ISO15765 message fits one single frame";
        return ERR_INVALID_MSG;
    }
    frame.id = IdOfData(msg.Data) | (is29Bit(msg.TxFlags) ? kExtendedFlag : 0);
    uint8_t at = 0;
    if (extended) frame.data[at++] = msg.Data[kIdBytes];
    frame.data[at++] = static_cast<uint8_t>(length);
    std::memcpy(frame.data + at, msg.Data + header, length);
    at = static_cast<uint8_t>(at + length);
    frame.dlc = (msg.TxFlags & ISO15765_FRAME_PAD) ? 8 : at;
    std::memset(frame.data + at, kPadByte, 8u - at);
    frame.txFlags = msg.TxFlags;
    return STATUS_NOERROR;
}

void IsoChannel::deliverIndication(uint32_t rxStatus, uint32_t canId, int addr, uint32_t timestamp) {
    PASSTHRU_MSG msg = {};
    msg.ProtocolID = ISO15765;
    msg.RxStatus = rxStatus | (addr >= 0 ? ISO15765_ADDR_TYPE : 0) | ((canId & kExtendedFlag) ? CAN_29BIT_ID : 0);
    msg.Timestamp = timestamp;
    PutId(canId & kMax29BitId, msg);
    msg.DataSize = kIdBytes;
    if (addr >= 0) msg.Data[msg.DataSize++] = static_cast<uint8_t>(addr);
    msg.ExtraDataIndex = msg.DataSize;
    deliver(msg);
}

// The periodic single frames: looped back without their protocol byte.
void IsoChannel::onTxConfirmed(const OutFrame &frame, const CanFrame &ack) {
    if (!loopback()) return;
    const bool extended = (frame.txFlags & ISO15765_ADDR_TYPE) != 0;
    const uint8_t at = extended ? 1 : 0;
    PASSTHRU_MSG msg = {};
    msg.ProtocolID = ISO15765;
    msg.RxStatus = TX_MSG_TYPE | (extended ? ISO15765_ADDR_TYPE : 0) | ((frame.id & kExtendedFlag) ? CAN_29BIT_ID : 0);
    msg.TxFlags = frame.txFlags;
    msg.Timestamp = TimestampOf(ack);
    PutId(frame.id & kMax29BitId, msg);
    msg.DataSize = kIdBytes;
    if (extended) msg.Data[msg.DataSize++] = frame.data[0];
    const uint8_t length = frame.data[at] & 0x0F;
    for (uint8_t i = 0; i < length && at + 1u + i < 8u; ++i) msg.Data[msg.DataSize++] = frame.data[at + 1 + i];
    msg.ExtraDataIndex = msg.DataSize;
    deliver(msg);
}

void IsoChannel::onFrame(const CanFrame &frame) {
    const bool extended = (frame.id & kExtendedFlag) != 0;
    const bool takes29 = (flags() & (CAN_29BIT_ID | CAN_ID_BOTH)) != 0;
    const bool takes11 = (flags() & CAN_29BIT_ID) == 0 || (flags() & CAN_ID_BOTH) != 0;
    if (extended ? !takes29 : !takes11) return;
    PT_SCOPE(scope, "IsoChannel::onFrame()");
    PASSTHRU_MSG out = {};
    ReceiveNote note;
    const bool completed = m_transport.receive(frame, out, &note);
    if (completed) {
        if (notePadding(frame, note.firstFrame, completed)) out.RxStatus |= ISO15765_PADDING_ERROR;
        handleTransportMessage(out, scope);
    } else {
        notePadding(frame, note.firstFrame, completed);
    }
    if (note.firstFrame)
        deliverIndication(START_OF_MESSAGE, frame.id, note.addr.extFlag ? note.addr.extAddr : -1, TimestampOf(frame));
}

// A reception's frames shorter than 8 bytes: true when the message the frame
// completed had one.
bool IsoChannel::notePadding(const CanFrame &frame, bool opened, bool completed) {
    const bool isShort = frame.length() < 8;
    if (opened) {
        m_shortFrames[frame.id] = isShort;
        return false;
    }
    auto it = m_shortFrames.find(frame.id);
    if (!completed) {
        if (it != m_shortFrames.end()) it->second = it->second || isShort;
        return false;
    }
    const bool seen = isShort || (it != m_shortFrames.end() && it->second);
    if (it != m_shortFrames.end()) m_shortFrames.erase(it);
    return seen;
}

void IsoChannel::onTransportAck(const CanFrame &ack) {
    PT_SCOPE(scope, "IsoChannel::onTransportAck()");
    PASSTHRU_MSG out = {};
    if (m_transport.receive(ack, out)) handleTransportMessage(out, scope);
}

void IsoChannel::handleTransportMessage(PASSTHRU_MSG &out, TraceScope &scope) {
    if (out.RxStatus & TX_MSG_TYPE) {
        confirmWritten(out);
        return;
    }
    const uint32_t canId = IdOfData(out.Data);
    const int addr = addressOfReceived(canId);
    out.RxStatus = (out.RxStatus & ISO15765_PADDING_ERROR) | (addr >= 0 ? ISO15765_ADDR_TYPE : 0) |
                   ((canId & kExtendedFlag) ? CAN_29BIT_ID : 0);
    out.Data[0] = static_cast<uint8_t>(out.Data[0] & 0x1F);
    m_transport.traceDelivered(out, scope);
    // A tool reads the address byte behind the identifier.
    if (addr >= 0 && out.DataSize >= kIdBytes && out.DataSize < PT_MSG_DATA_SIZE) {
        std::memmove(out.Data + kIdBytes + 1, out.Data + kIdBytes, out.DataSize - kIdBytes);
        out.Data[kIdBytes] = static_cast<uint8_t>(addr);
        ++out.DataSize;
    }
    out.ExtraDataIndex = out.DataSize;
    deliver(out);
}

// The bus confirmed a message of ours: its TX_INDICATION, then (LOOPBACK)
// the message itself.
void IsoChannel::confirmWritten(const PASSTHRU_MSG &confirmation) {
    const uint32_t canId = IdOfData(confirmation.Data);
    Written done = {};
    {
        LockGuard guard(m_writtenLock);
        auto it = m_written.begin();
        while (it != m_written.end() && it->canId != canId) ++it;
        if (it == m_written.end()) return;
        done = *it;
        m_written.erase(it);
        m_writtenEvent.set();
    }
    const bool extended = (done.msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
    deliverIndication(TX_INDICATION, canId, extended ? done.msg.Data[kIdBytes] : -1, confirmation.Timestamp);
    if (!loopback()) return;
    PASSTHRU_MSG echo = done.msg;
    echo.RxStatus = TX_MSG_TYPE | (extended ? ISO15765_ADDR_TYPE : 0) | ((canId & kExtendedFlag) ? CAN_29BIT_ID : 0);
    echo.Timestamp = confirmation.Timestamp;
    echo.ExtraDataIndex = echo.DataSize;
    deliver(echo);
}
