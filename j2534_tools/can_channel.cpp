#include "j2534_tools/can_channel.h"

#include <cstring>

#include "j2534_tools/device.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kIdBytes = 4;
constexpr uint32_t kMaxCanMsg = kIdBytes + CAN_MAX_DLEN;
constexpr uint32_t kMaxCanFdMsg = kIdBytes + CANFD_MAX_DLEN;
// The bytes an FD frame carries beyond a message's data, up to the next
// length a DLC code gives (as SocketCAN and python-can fill them).
constexpr uint8_t kFdFillByte = 0x00;

}  // namespace

bool CanChannel::Filter::matches(const uint8_t *bytes, uint32_t length) const {
    if (length < size) return false;
    for (uint32_t i = 0; i < size; ++i)
        if ((bytes[i] & mask[i]) != (pattern[i] & mask[i])) return false;
    return true;
}

uint32_t CanChannel::frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const {
    if (msg.ProtocolID != protocolId()) {
        *why = "message ProtocolID is not the channel's";
        return ERR_MSG_PROTOCOL_ID;
    }
    if (!isFd() && (msg.DataSize < kIdBytes || msg.DataSize > kMaxCanMsg)) {
        *why = "a CAN message holds 4 to 12 bytes";
        return ERR_INVALID_MSG;
    }
    if (isFd() && (msg.DataSize < kIdBytes || msg.DataSize > kMaxCanFdMsg)) {
        *why = "a CAN FD message holds 4 to 68 bytes";
        return ERR_INVALID_MSG;
    }
    const bool extended = (msg.TxFlags & CAN_29BIT_ID) != 0;
    const uint32_t id = IdOfMsg(msg);
    if (extended ? (!takes29Bit() || id > CAN_ID_MAX_29BIT) : (!takes11Bit() || id > CAN_ID_MAX_11BIT)) {
        *why = "identifier does not suit the channel or the CAN_29BIT_ID flag";
        return ERR_INVALID_MSG;
    }
    frame.id = MarkCanId(id, extended);
    const uint8_t length = static_cast<uint8_t>(msg.DataSize - kIdBytes);
    std::memcpy(frame.data, msg.Data + kIdBytes, length);
    frame.dlc = isFd() ? CanFdPaddedLength(length) : length;
    std::memset(frame.data + length, kFdFillByte, frame.dlc - length);
    frame.txFlags = msg.TxFlags;
    frame.fdFlags = frameFormat();
    return STATUS_NOERROR;
}

uint32_t CanChannel::write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope,
                           const char **why) {
    const uint32_t wanted = *num;
    uint32_t sent = 0;
    uint64_t lastSeq = 0;
    uint32_t status = STATUS_NOERROR;
    std::vector<uint64_t> seqs;
    for (; sent < wanted; ++sent) {
        OutFrame frame;
        status = frameOf(msgs[sent], frame, why);
        if (status == STATUS_NOERROR) status = device().transmit(*this, frame, &lastSeq, scope);
        if (status != STATUS_NOERROR) break;
        seqs.push_back(lastSeq);
    }
    if (status == ERR_BUFFER_FULL) *why = "transmit queue full";
    *num = sent;
    if (status != STATUS_NOERROR || timeoutMs == 0 || sent == 0) return status;
    if (awaitConfirmed(lastSeq, timeoutMs)) return STATUS_NOERROR;
    // The bus confirms in order: count the frames it did confirm.
    uint32_t confirmed = 0;
    while (confirmed < sent && awaitConfirmed(seqs[confirmed], 0)) ++confirmed;
    *num = confirmed;
    *why = "Timeout expired before every message was on the bus";
    return ERR_TIMEOUT;
}

uint32_t CanChannel::startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                                 const PASSTHRU_MSG *flow, uint32_t *filterId, const char **why) {
    if (type == FLOW_CONTROL_FILTER) {
        *why = "FLOW_CONTROL_FILTER needs an ISO15765 channel";
        return ERR_NOT_SUPPORTED;
    }
    if (type != PASS_FILTER && type != BLOCK_FILTER) {
        *why = "FilterType unknown";
        return ERR_FAILED;
    }
    if (flow != nullptr) {
        *why = "pFlowControlMsg must be NULL for PASS_FILTER and BLOCK_FILTER";
        return ERR_INVALID_MSG;
    }
    if (mask->ProtocolID != protocolId() || pattern->ProtocolID != protocolId()) {
        *why = "filter message ProtocolID is not the channel's";
        return ERR_MSG_PROTOCOL_ID;
    }
    if (mask->DataSize != pattern->DataSize || mask->DataSize < 1 || mask->DataSize > kMaxCanMsg) {
        *why = "mask and pattern need the same DataSize of 1 to 12 bytes";
        return ERR_INVALID_MSG;
    }
    Filter filter = {};
    filter.type = type;
    filter.size = mask->DataSize;
    std::memcpy(filter.mask, mask->Data, filter.size);
    std::memcpy(filter.pattern, pattern->Data, filter.size);
    LockGuard guard(m_filterLock);
    uint32_t ofType = 0;
    for (const Filter &f : m_filters) ofType += f.type == type ? 1 : 0;
    if (ofType >= kMaxCanFilters) {
        *why = "10 filters of that type already on this channel";
        return ERR_EXCEEDED_LIMIT;
    }
    filter.filterId = m_nextFilterId++;
    m_filters.push_back(filter);
    *filterId = filter.filterId;
    return STATUS_NOERROR;
}

uint32_t CanChannel::stopFilter(uint32_t filterId, const char **why) {
    LockGuard guard(m_filterLock);
    for (auto it = m_filters.begin(); it != m_filters.end(); ++it) {
        if (it->filterId != filterId) continue;
        m_filters.erase(it);
        return STATUS_NOERROR;
    }
    *why = "no filter of that FilterID on this channel";
    return ERR_INVALID_FILTER_ID;
}

void CanChannel::clearFilters() {
    LockGuard guard(m_filterLock);
    m_filters.clear();
}

// A frame is queued when a pass filter takes it and no block filter does.
void CanChannel::onFrame(const CanFrame &frame) {
    const bool extended = IsCanId29Bit(frame.id);
    if (extended ? !takes29Bit() : !takes11Bit()) return;
    // A classic channel's messages hold classic frames only.
    if (frame.isFd() && !isFd()) return;
    PASSTHRU_MSG msg = {};
    PutId(CanIdBits(frame.id), msg);
    const uint8_t length = frame.length();
    std::memcpy(msg.Data + kIdBytes, frame.data, length);
    msg.DataSize = kIdBytes + length;
    {
        LockGuard guard(m_filterLock);
        bool passed = false;
        for (const Filter &f : m_filters) {
            if (!f.matches(msg.Data, msg.DataSize)) continue;
            if (f.type == BLOCK_FILTER) return;
            passed = true;
        }
        if (!passed) return;
    }
    msg.ProtocolID = protocolId();
    msg.RxStatus = extended ? CAN_29BIT_ID : 0;
    msg.Timestamp = TimestampOf(frame);
    msg.ExtraDataIndex = msg.DataSize;
    deliver(msg);
}
