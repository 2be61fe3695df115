// The send half of the transport: single frames at once, multi-frame
// messages as a first frame and a prepared transfer that the peer's flow
// control releases to the worker.
#include "can/can_port.h"
#include "trace/text_line.h"
#include "trace/trace_scope.h"
#include "transport/frame_builders.h"
#include "transport/iso_tp.h"
#include "transport/msg_id.h"
#include "transport/pdu_trace.h"
#include "transport/transport.h"

uint32_t IsoTpTransport::checkMessage(const PASSTHRU_MSG &msg, TraceScope &scope) const {
    const bool extended = (msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
    if (msg.DataSize < MSG_ID_SIZE + (extended ? 1u : 0u)) {
        scope.message("only message with content are supported", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    if (msg.DataSize > PT_MSG_DATA_SIZE) {
        scope.message("Length over CAN MAX 4100!!!", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    return STATUS_NOERROR;
}

uint32_t IsoTpTransport::write(PASSTHRU_MSG &msg, TraceScope &scope) {
    const uint32_t status = checkMessage(msg, scope);
    if (status != STATUS_NOERROR) return status;

    OutgoingMessage tx;
    tx.pad = (msg.TxFlags & ISO15765_FRAME_PAD) ? 1 : 0;
    tx.canId = canIdFromBytes(msg.Data);

    TextLine line;
    line.appendf("ISO15765-TX CanId 0x%04lX Len=%3ld TS=%09lu Data: ", static_cast<unsigned long>(tx.canId),
                 static_cast<long>(msg.DataSize) - static_cast<long>(MSG_ID_SIZE),
                 static_cast<unsigned long>(msg.Timestamp));
    if ((msg.TxFlags & ISO15765_ADDR_TYPE) != 0) {
        tx.addr.extFlag = 1;
        tx.addr.extAddr = msg.Data[MSG_ID_SIZE];
        scope.messagef(TL_INFO, "ORV-Extadressing Tx Id = %04x", tx.addr.extAddr);
    }
    if (m_pPduTrace) WritePduLine(*m_pPduTrace, " CAN-TX ", msg);
    tx.payload = msg.Data + MSG_ID_SIZE + tx.addr.pciOffset();
    tx.length = msg.DataSize - MSG_ID_SIZE - tx.addr.pciOffset();

    if (msg.DataSize - MSG_ID_SIZE < CAN_MAX_DLEN) {
        if (tx.addr.extFlag) scope.message("b_ExtendedAdressing data converted to ISO9192 ...", TL_INFO);
        if (scope.isEnabled()) {
            line.appendHexDump(tx.payload, tx.length);
            scope.message(line.c_str(), TL_INFO);
        }
        const uint32_t result = m_outgoing.sendSingleFrame(tx.canId, BuildSingleFrame(tx), tx.pad, scope);
        msg.Timestamp = m_port.lastTxTimestamp();
        return result;
    }
    if (msg.DataSize > MSG_ID_SIZE + FF_DL_MAX + tx.addr.pciOffset()) {
        scope.message("Length over CAN MAX 4100!!!", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    return m_outgoing.startTransfer(tx, line, scope);
}
