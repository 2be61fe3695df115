#include "transport/transport.h"

#include "can/can_port.h"
#include "trace/text_line.h"
#include "trace/trace_file.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/msg_id.h"
#include "transport/pdu_trace.h"

PollResult IsoTpTransport::pollOnce(PASSTHRU_MSG &out, uint32_t room) {
    CanFrame frame;
    uint32_t received = 0;
    m_port.VectorReadReceiveQueue(frame, received);
    if (received == 0) return PollResult::Empty;
    if (room == 0) return PollResult::FrameTaken;
    return receive(frame, out) ? PollResult::Delivered : PollResult::FrameTaken;
}

void IsoTpTransport::traceDelivered(const PASSTHRU_MSG &msg, TraceScope &scope) {
    TracePassThruMsg(&msg, "Msg", scope);
    if (scope.isEnabled()) {
        TextLine data;
        data.appendf("PASSThruData Len 0x%02X Data=", static_cast<unsigned>(msg.DataSize));
        data.appendHexDump(msg.Data, BoundedDataSize(msg));
        scope.message(data.c_str(), TL_INFO);
    }
    TextLine line;
    line.appendf(" ISO15765-RX CanId=0x%04x Len=%02d TS=%09lu  Data: ", static_cast<unsigned>(canIdFromBytes(msg.Data)),
                 static_cast<int>(msg.DataSize) - static_cast<int>(MSG_ID_SIZE),
                 static_cast<unsigned long>(msg.Timestamp));
    if (m_pPduTrace && msg.DataSize > MSG_ID_SIZE)
        WritePduLine(*m_pPduTrace, " CAN-RX ", msg, m_filters.passAddresses(canIdFromBytes(msg.Data), scope));
    if (!scope.isEnabled()) return;
    line.appendHexDump(msg.Data, BoundedDataSize(msg));
    line.appendf(msg.RxStatus != 0 ? "TX-ACK " : "RX ");
    scope.message(line.c_str(), TL_INFO);
}

uint64_t IsoTpTransport::serviceTransfers(uint32_t &cycleCounter, TraceScope &scope) {
    const uint64_t due = m_outgoing.service(scope);
    if (++cycleCounter > RX_CHECK_CYCLES) {
        cycleCounter = 0;
        m_incoming.expire(scope);
    }
    return due;
}
