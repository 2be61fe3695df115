#include "transport/msg_dump.h"

#include <cstdio>

#include "trace/text_line.h"
#include "trace/trace_file.h"
#include "trace/trace_scope.h"
#include "transport/msg_id.h"
#include "transport/pdu_trace.h"

void TracePassThruMsg(const PASSTHRU_MSG *msg, const char *label, TraceScope &scope) {
    if (label == nullptr) label = "";
    if (msg == nullptr) {
        if (scope.isEnabled()) scope.messagef(TL_INFO, "%-15s void pointer!", label);
        return;
    }

    TextLine line;
    line.appendf(
        "%-15s ProtocolID=%08x RxStatus=%08x TxFlags=%08x Timestamp=%09u "
        "DataSize=%08x ExtraDataIndex=%08x ",
        label, static_cast<unsigned>(msg->ProtocolID), static_cast<unsigned>(msg->RxStatus),
        static_cast<unsigned>(msg->TxFlags), static_cast<unsigned>(msg->Timestamp),
        static_cast<unsigned>(msg->DataSize), static_cast<unsigned>(msg->ExtraDataIndex));

    if ((msg->TxFlags & ISO15765_ADDR_TYPE) != 0 && scope.isEnabled()) scope.message("EXTENDED ADDRESS !!!", TL_INFO);
    if ((msg->TxFlags & CAN_29BIT_ID) != 0) scope.message("29 Bit CAN ADDRESS !!!", TL_INFO);

    if (scope.isEnabled()) {
        // A DataSize beyond the record still dumps only what Data holds.
        line.appendHexDump(msg->Data, BoundedDataSize(*msg));
        scope.message(line.c_str(), TL_INFO);
    }
}

void TraceDelivered(const PASSTHRU_MSG &msg, TraceFile *pduTrace,
                    const std::function<std::vector<uint8_t>()> &addressBytes, TraceScope &scope,
                    uint8_t format) {
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
    if (pduTrace && msg.DataSize > MSG_ID_SIZE) WritePduLine(*pduTrace, " CAN-RX ", msg, addressBytes(), format);
    if (!scope.isEnabled()) return;
    line.appendHexDump(msg.Data, BoundedDataSize(msg));
    line.appendf(msg.RxStatus != 0 ? "TX-ACK " : "RX ");
    scope.message(line.c_str(), TL_INFO);
}
