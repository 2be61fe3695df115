// PassThruReadMsgs: each call polls the receive queue once and lets the
// receive analysis turn the frame into messages for the host.
#include "api/module.h"
#include "api/msg_dump.h"
#include "can/can_io.h"
#include "fg/functional_group.h"
#include "platform/callconv.h"
#include "trace/lock_guard.h"
#include "trace/trace_clock.h"
#include "trace/trace_file.h"
#include "trace/trace_scope.h"
#include "transport/filters.h"
#include "transport/rx_analysis.h"
#include "transport/text_line.h"

namespace {

constexpr uint32_t MAX_READ_MSGS = 20;
constexpr uint32_t kIdPrefix = 4;
constexpr uint32_t kPduTraceBit = 0x10;

uint32_t msgCanId(const PASSTHRU_MSG &msg) { return msg.Data[2] * 256u + msg.Data[3]; }

uint32_t boundedSize(const PASSTHRU_MSG &msg) {
    return msg.DataSize < PT_MSG_DATA_SIZE ? msg.DataSize : PT_MSG_DATA_SIZE;
}

void writePduTrace(const PASSTHRU_MSG &msg, TraceScope &scope) {
    if (!(m_TraceSettings & kPduTraceBit) || !m_pPduTrace || msg.DataSize <= kIdPrefix) return;
    const uint32_t canId = msgCanId(msg);
    PduLine text;
    text.appendf(" CAN-RX ");
    text.appendf("0x%04x ", static_cast<unsigned>(canId));
    {
        LockGuard filterGuard(m_filterLock);
        if (theModule.m_passFilterCount > 0) {
            scope.messagef(TL_INFO, "Actual pass filter %d ", static_cast<int>(theModule.m_passFilterCount));
            for (const auto &filter : theModule.m_passFilter)
                if ((filter->mask & canId) == filter->pattern)
                    text.appendf("0x%02x ", filter->b_ExtendedAdressRx);
        }
    }
    text.appendBytes(msg.Data + kIdPrefix, boundedSize(msg) - kIdPrefix);
    m_pPduTrace->writePduLine(text.c_str());
}

void traceDelivered(const PASSTHRU_MSG &msg, TraceScope &scope) {
    TracePassThruMsg(&msg, "Msg", scope);
    if (scope.isEnabled()) {
        TextLine data;
        data.appendf("PASSThruData Len 0x%02X Data=", static_cast<unsigned>(msg.DataSize));
        data.appendHexDump(msg.Data, boundedSize(msg));
        scope.message(data.c_str(), TL_INFO);
    }
    TextLine line;
    line.appendf(" ISO15765-RX CanId=0x%04x Len=%02d TS=%09lu  Data: ", static_cast<unsigned>(msgCanId(msg)),
                 static_cast<int>(msg.DataSize) - static_cast<int>(kIdPrefix),
                 static_cast<unsigned long>(msg.Timestamp));
    writePduTrace(msg, scope);
    if (!scope.isEnabled()) return;
    line.appendHexDump(msg.Data, boundedSize(msg));
    line.appendf(msg.RxStatus != 0 ? "TX-ACK " : "RX ");
    scope.message(line.c_str(), TL_INFO);
}

// The aggregated response of the group, once its P2 (or P2*) time is over.
uint32_t deliverGroupResponses(PASSTHRU_MSG &msg, uint32_t *pNumMsgs) {
    PT_SCOPE(scope, "PassThruReadMsgsFG()");
    LockGuard readGuard(m_readLock);
    msg.ProtocolID = ISO15765;
    msg.TxFlags = 0;
    msg.ExtraDataIndex = 0;
    msg.Timestamp = NowMs() * 1000u;
    m_pFunctionalGroup->prepareToSendResponses(&msg, static_cast<uint32_t>(theModule.m_FunctionalGroupActive.load()));
    *pNumMsgs = 1;
    msg.RxStatus = 0;
    scope.message("FunctionalGroup responsses passed to CF!!!", TL_INFO);
    return STATUS_NOERROR;
}

// A group member's response goes into the aggregation; a response pending
// from elsewhere is handed on under the group's identifier. True when the
// call ends with *pNumMsgs as set here.
bool handleGroupResponse(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status, TraceScope &scope) {
    LockGuard readGuard(m_readLock);
    if (m_pFunctionalGroup->encode(&msg)) {
        *pNumMsgs = 0;
        if (scope.isEnabled()) scope.message("new functional group response added into buffer!!!", TL_INFO);
        status = ERR_BUFFER_EMPTY;
        return true;
    }
    if (msg.DataSize >= 7 && msg.Data[4] == 0x7F && msg.Data[6] == 0x78) {
        const uint32_t groupId = static_cast<uint32_t>(theModule.m_FunctionalGroupActive.load());
        msg.Data[0] = static_cast<uint8_t>(groupId >> 24);
        msg.Data[1] = static_cast<uint8_t>(groupId >> 16);
        msg.Data[2] = static_cast<uint8_t>(groupId >> 8);
        msg.Data[3] = static_cast<uint8_t>(groupId);
        *pNumMsgs = 1;
        msg.RxStatus = 0;
        status = STATUS_NOERROR;
        return true;
    }
    return false;
}

bool groupActive() { return theModule.m_FunctionalGroupActive > 0 && m_pFunctionalGroup; }

}  // namespace

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg,
                                                         uint32_t *pNumMsgs, uint32_t Timeout) {
    if (!pMsg || !pNumMsgs) {
        PT_SCOPE(scope, "PassThruReadMsgs()");
        scope.message(!pMsg ? "PassThruReadMsgs pMsg is a NULL pointer"
                            : "PassThruReadMsgs pNumMsgs is a NULL pointer",
                      TL_ERROR);
        return ERR_NULL_PARAMETER;
    }
    const uint32_t requested = *pNumMsgs;
    if (requested >= MAX_READ_MSGS) {
        PT_SCOPE(scope, "PassThruReadMsgs()");
        scope.messagef(TL_INFO, "CountReadMessage (%d) >=ulNumberMsg (%d)", static_cast<int>(requested),
                       static_cast<int>(MAX_READ_MSGS));
        return ERR_DEVICE_NOT_CONNECTED;
    }

    CanFrame frame;
    uint32_t frames = MAX_READ_MSGS;
    VectorReadReceiveQueue(frame, frames);
    if (frames == 0) {
        if (groupActive() && m_pFunctionalGroup->isTimerSet() &&
            m_pFunctionalGroup->isReceiveTimerElapsed())
            return deliverGroupResponses(*pMsg, pNumMsgs);
        *pNumMsgs = 0;
        return ERR_BUFFER_EMPTY;
    }
    if (requested == 0) return ERR_BUFFER_EMPTY;

    AnalyzeRxCanMessage(&frame, frames, pMsg, pNumMsgs);
    const uint32_t delivered = *pNumMsgs;
    if (delivered == 0) return ERR_BUFFER_EMPTY;

    PT_SCOPE(scope, "PassThruReadMsgs()");
    if (scope.isEnabled()) {
        scope.messagef(TL_INFO, "ChannelID=%08lX max pNumMsg=%08lX Timeout=%08lx ReadCount=%d %d",
                       static_cast<unsigned long>(ChannelID), static_cast<unsigned long>(delivered),
                       static_cast<unsigned long>(Timeout), static_cast<int>(requested),
                       static_cast<int>(frames));
        scope.messagef(TL_INFO, "actnum=%08lX", static_cast<unsigned long>(delivered));
    }
    for (uint32_t i = 0; i < delivered; ++i) traceDelivered(pMsg[i], scope);

    uint32_t status = STATUS_NOERROR;
    if (groupActive() && handleGroupResponse(*pMsg, pNumMsgs, status, scope)) return status;
    if (scope.isEnabled()) scope.message("new messages in receive queue! STATUS_NOERROR", TL_INFO);
    return STATUS_NOERROR;
}
