#include "fg/functional_group.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/lock_guard.h"
#include "trace/text_line.h"
#include "trace/trace_scope.h"
#include "transport/msg_id.h"

namespace {

uint16_t ReadLe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t ReadLe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void AppendLe16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

GroupEntry ReadGroupEntry(const uint8_t *p) {
    uint32_t fields[FG_GROUP_ENTRY_SIZE / 4];
    for (uint32_t i = 0; i < FG_GROUP_ENTRY_SIZE / 4; ++i) fields[i] = ReadLe32(p + 4 * i);
    GroupEntry entry;
    std::memcpy(&entry, fields, sizeof(entry));
    return entry;
}

}  // namespace

int32_t COrvFunctionalGroup::unwrapRequest(PASSTHRU_MSG *msg) {
    PT_SCOPE(scope, "COrvFunctionalGroup::decode()");
    if (msg == nullptr) {
        scope.message("Message is not a functional message (no message).", TL_INFO);
        return -1;
    }
    const uint32_t e = (msg->TxFlags & ISO15765_ADDR_TYPE) != 0 ? 1 : 0;
    const uint32_t h = MSG_ID_SIZE + e;
    uint8_t *data = msg->Data;

    if (msg->DataSize < FG_REQUEST_MIN_SIZE + e) {
        scope.message("Message is not a functional message (min. length mismatch).", TL_INFO);
        return -1;
    }
    if (data[h] != FG_REQUEST_MARKER) {
        scope.message("Message is not a functional message (special byte (0x22) mismatch).", TL_INFO);
        return -1;
    }
    // Every read below stays inside DataSize, and DataSize inside Data.
    const uint32_t pduLength = ReadLe16(data + h + 1);
    const uint32_t countOffset = h + 3 + pduLength;
    bool fits = msg->DataSize <= PT_MSG_DATA_SIZE && countOffset + 2 <= msg->DataSize;
    const uint32_t entryCount = fits ? ReadLe16(data + countOffset) : 0;
    if (!fits || msg->DataSize != countOffset + 2 + FG_GROUP_ENTRY_SIZE * entryCount) {
        scope.message("Message is not a functional message (length mismatch).", TL_INFO);
        return -1;
    }

    // The read path must never walk a table that is being extended.
    LockGuard guard(m_lock);
    const uint8_t *record = data + countOffset + 2;
    for (uint32_t i = 0; i < entryCount; ++i, record += FG_GROUP_ENTRY_SIZE) {
        GroupEntry entry = ReadGroupEntry(record);
        scope.messagef(TL_INFO,
                       "FG No: %d for ReqCanID 0x%04x (%d), RespCanID 0x%04x (%d), DiagAddrEcu "
                       "0x%04x, DiagAddrTester 0x%04x, FlexRay_TxSlotId 0x%04x, FlexRay_RxSlotId "
                       "0x%04x, FlexRay_TxSlotIdFc 0x%04x, MOST_DeviceID 0x%04x, MOST_TDeviceID "
                       "0x%04x",
                       static_cast<int>(i), entry.ReqCanID, static_cast<int>(entry.ReqCanID), entry.RespCanID,
                       static_cast<int>(entry.RespCanID), entry.DiagAddrEcu, entry.DiagAddrTester,
                       entry.FlexRay_TxSlotId, entry.FlexRay_RxSlotId, entry.FlexRay_TxSlotIdFc, entry.MOST_DeviceID,
                       entry.MOST_TDeviceID);
        m_Entries.push_back(entry);
    }

    std::memmove(data + h, data + h + 3, pduLength);
    msg->DataSize = h + pduLength;
    m_Sid = data[h];
    scope.messagef(TL_INFO, "Length = %d abs length %d SeriveID=%02x", static_cast<int>(pduLength),
                   static_cast<int>(msg->DataSize), m_Sid);

    startReceiveTimer();
    return static_cast<int32_t>(h);
}

bool COrvFunctionalGroup::takeResponse(const PASSTHRU_MSG *msg, bool *pending) {
    if (pending != nullptr) *pending = false;
    if (msg == nullptr || msg->DataSize < MSG_ID_SIZE || msg->DataSize > PT_MSG_DATA_SIZE) return false;

    const uint8_t *data = msg->Data;
    const uint32_t id = canIdFromBytes(data);
    LockGuard guard(m_lock);
    bool member = false;
    for (const GroupEntry &entry : m_Entries) {
        if (entry.RespCanID == id) {
            member = true;
            break;
        }
    }
    if (!member) return false;

    PT_SCOPE(scope, "COrvFunctionalGroup::encode()");
    const uint32_t payloadLength = msg->DataSize - MSG_ID_SIZE;
    if (doHandlingFor7fxx78_(payloadLength, data + MSG_ID_SIZE, pending)) return false;

    // A response that no longer fits into one message goes to the host as it is,
    // rather than being lost or overrunning the aggregated message.
    const uint32_t used = FG_RESPONSE_HEADER_SIZE + static_cast<uint32_t>(m_Responses.size());
    const uint32_t recordSize = FG_RECORD_HEADER_SIZE + payloadLength;
    if (used + recordSize > PT_MSG_DATA_SIZE) {
        scope.messagef(TL_INFO, "FG response not aggregated, aggregated message full (%u + %u > %u)", used, recordSize,
                       PT_MSG_DATA_SIZE);
        return false;
    }

    scope.message("Adding response", TL_INFO);
    ++m_ResponseCount;
    AppendLe16(m_Responses, static_cast<uint16_t>(payloadLength));
    for (int i = 3; i >= 0; --i) m_Responses.push_back(data[i]);
    m_Responses.insert(m_Responses.end(), data + MSG_ID_SIZE, data + msg->DataSize);
    return true;
}

bool COrvFunctionalGroup::doHandlingFor7fxx78_(uint32_t length, const uint8_t *payload, bool *pending) {
    PT_SCOPE(scope, "COrvFunctionalGroup::doHandlingFor7fxx78(RxMsgP msg)");
    if (payload == nullptr || length < 3 || payload[0] != UDS_NEGATIVE_RESPONSE) return false;

    if (payload[2] == UDS_NRC_RESPONSE_PENDING && payload[1] == m_Sid) {
        scope.message("m_bRespondPending = true", TL_INFO);
        m_bRespondPending = true;
        if (pending != nullptr) *pending = true;
        return true;
    }
    if (payload[1] != m_Sid) {
        scope.message("7f with wrong SID -> passing to CM , not a PDU for the FG!", TL_INFO);
        return true;
    }
    return false;
}

void COrvFunctionalGroup::prepareToSendResponses(PASSTHRU_MSG *msg, uint32_t canId) {
    PT_SCOPE(scope, "COrvFunctionalGroup::prepareToSendResponses()");
    if (msg == nullptr) {
        scope.message("no message to write the FG response into, responses kept", TL_ERROR);
        return;
    }
    LockGuard guard(m_lock);
    uint8_t *data = msg->Data;
    canIdToBytes(canId, data);
    data[4] = FG_RESPONSE_MARKER;
    data[5] = static_cast<uint8_t>(m_ResponseCount);
    data[6] = static_cast<uint8_t>(m_ResponseCount >> 8);
    // takeResponse keeps the records within Data; the bound is only a last guard.
    std::size_t length = m_Responses.size();
    if (length > PT_MSG_DATA_SIZE - FG_RESPONSE_HEADER_SIZE) length = PT_MSG_DATA_SIZE - FG_RESPONSE_HEADER_SIZE;
    if (length > 0) std::memcpy(data + FG_RESPONSE_HEADER_SIZE, m_Responses.data(), length);
    msg->DataSize = static_cast<uint32_t>(FG_RESPONSE_HEADER_SIZE + length);

    TextLine line;
    line.appendf("FG response %d bytes: ", static_cast<int>(msg->DataSize));
    line.appendHexDump(data, msg->DataSize);
    scope.message(line.c_str(), TL_INFO);
    scope.messagef(TL_INFO, " ISO15765-RX-FG CanId=0x%04x Len=%02d TS=%09u  Data: ", canIdFromBytes(data),
                   static_cast<int>(msg->DataSize - MSG_ID_SIZE), static_cast<unsigned>(msg->Timestamp));

    m_ReceiveTimerStart = 0;
    m_ResponseCount = 0;
    m_Responses.clear();
    m_Entries.clear();
    m_bRespondPending = false;
}

void COrvFunctionalGroup::startReceiveTimer() {
    PT_SCOPE(scope, "COrvFunctionalGroup::startReceiveTimer()");
    // 0 means "not set"; the one tick in 49.7 days that reads 0 counts as 1.
    uint32_t now = plat::TickCount();
    m_ReceiveTimerStart = now != 0 ? now : 1;
}

bool COrvFunctionalGroup::isTimerSet() {
    PT_SCOPE(scope, "COrvFunctionalGroup::isTimerSet(..)");
    return m_ReceiveTimerStart != 0;
}

bool COrvFunctionalGroup::isReceiveTimerElapsed() {
    PT_SCOPE(scope, "COrvFunctionalGroup::isReceiveTimerElapsed(..)");
    const uint32_t limit = m_bRespondPending ? m_P2Star.load() : m_P2Max.load();
    return plat::TickCount() - m_ReceiveTimerStart > limit;
}

void COrvFunctionalGroup::setTimeoutp2Max(int32_t value) {
    PT_SCOPE(scope, "COrvFunctionalGroup::setTimeoutp2Max(..)");
    const int32_t offset = m_TimeoutOffset;
    scope.messagef(TL_INFO, "P2Max: %d Offset %d ", static_cast<int>(value), static_cast<int>(offset));
    m_P2Max = static_cast<uint32_t>(value) + static_cast<uint32_t>(offset);
}

void COrvFunctionalGroup::setTimeoutp2MaxRespPending(int32_t value) {
    PT_SCOPE(scope, "COrvFunctionalGroup::setTimeoutp2MaxRespPending(..)");
    const int32_t offset = m_TimeoutOffset;
    scope.messagef(TL_INFO, "P2Star: %d Offset %d", static_cast<int>(value), static_cast<int>(offset));
    m_P2Star = static_cast<uint32_t>(value) + static_cast<uint32_t>(offset);
}

std::vector<uint32_t> COrvFunctionalGroup::respCanIds() const {
    LockGuard guard(m_lock);
    std::vector<uint32_t> ids;
    ids.reserve(m_Entries.size());
    for (const GroupEntry &entry : m_Entries) ids.push_back(entry.RespCanID);
    return ids;
}
