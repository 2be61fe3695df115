// PassThruReadMsgs: each call polls the receive queue once and lets the
// receive analysis turn the frame into messages for the host.
#include "can/can_port.h"
#include "trace/text_line.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/msg_id.h"
#include "transport/pdu_trace.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t MAX_READ_MSGS = 20;
// The largest receive queue the driver takes.
constexpr uint32_t kMaxPollsPerRead = 32768;
constexpr uint32_t kIdPrefix = 4;
uint32_t BoundedSize(const PASSTHRU_MSG &msg) {
    return msg.DataSize < PT_MSG_DATA_SIZE ? msg.DataSize : PT_MSG_DATA_SIZE;
}

void TraceDelivered(IsoTpTransport &so, const PASSTHRU_MSG &msg, TraceScope &scope) {
    TracePassThruMsg(&msg, "Msg", scope);
    if (scope.isEnabled()) {
        TextLine data;
        data.appendf("PASSThruData Len 0x%02X Data=", static_cast<unsigned>(msg.DataSize));
        data.appendHexDump(msg.Data, BoundedSize(msg));
        scope.message(data.c_str(), TL_INFO);
    }
    TextLine line;
    line.appendf(" ISO15765-RX CanId=0x%04x Len=%02d TS=%09lu  Data: ", static_cast<unsigned>(canIdFromBytes(msg.Data)),
                 static_cast<int>(msg.DataSize) - static_cast<int>(kIdPrefix),
                 static_cast<unsigned long>(msg.Timestamp));
    if (so.m_pPduTrace && msg.DataSize > kIdPrefix)
        WritePduLine(*so.m_pPduTrace, " CAN-RX ", msg, so.m_filters.passAddresses(canIdFromBytes(msg.Data), scope));
    if (!scope.isEnabled()) return;
    line.appendHexDump(msg.Data, BoundedSize(msg));
    line.appendf(msg.RxStatus != 0 ? "TX-ACK " : "RX ");
    scope.message(line.c_str(), TL_INFO);
}

}  // namespace

uint32_t IsoTpTransport::PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                          uint32_t Timeout) {
    if (!pMsg || !pNumMsgs) {
        PT_SCOPE(scope, "PassThruReadMsgs()");
        scope.message(!pMsg ? "PassThruReadMsgs pMsg is a NULL pointer" : "PassThruReadMsgs pNumMsgs is a NULL pointer",
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

    // The field profile takes frame after frame until one gives the host a
    // message: a host that polls slowly must not leave answers in the queue.
    const uint32_t polls = m_profile.on ? kMaxPollsPerRead : 1;
    uint32_t status = ERR_BUFFER_EMPTY;
    bool tookFrame = true;
    for (uint32_t i = 0; i < polls && tookFrame && status == ERR_BUFFER_EMPTY; ++i)
        status = readOnce(ChannelID, pMsg, pNumMsgs, Timeout, requested, tookFrame);
    return status;
}

uint32_t IsoTpTransport::readOnce(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout,
                                  uint32_t requested, bool &tookFrame) {
    CanFrame frame;
    uint32_t frames = MAX_READ_MSGS;
    m_port.VectorReadReceiveQueue(frame, frames);
    tookFrame = frames != 0;
    if (frames == 0) {
        uint32_t status = ERR_BUFFER_EMPTY;
        if (m_hooks && m_hooks->whenIdle(*pMsg, pNumMsgs, status)) return status;
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
                       static_cast<unsigned long>(Timeout), static_cast<int>(requested), static_cast<int>(frames));
        scope.messagef(TL_INFO, "actnum=%08lX", static_cast<unsigned long>(delivered));
    }
    for (uint32_t i = 0; i < delivered; ++i) TraceDelivered(*this, pMsg[i], scope);

    uint32_t status = STATUS_NOERROR;
    if (m_hooks && m_hooks->afterDelivery(*pMsg, pNumMsgs, status, scope)) return status;
    if (scope.isEnabled()) scope.message("new messages in receive queue! STATUS_NOERROR", TL_INFO);
    return STATUS_NOERROR;
}
