#include "transport/msg_dump.h"

#include <cstdio>

#include "trace/text_line.h"
#include "trace/trace_scope.h"
#include "transport/msg_id.h"

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
