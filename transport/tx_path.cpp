// The send half of the transport: single frames at once, multi-frame
// messages as a first frame and a prepared transfer that the peer's flow
// control releases to the worker.
#include "can/can_port.h"
#include "trace/text_line.h"
#include "trace/trace_scope.h"
#include "transport/frame_builders.h"
#include "transport/iso_tp.h"
#include "transport/pdu_trace.h"
#include "transport/transport.h"

uint32_t IsoTpTransport::send(const OutgoingMessage &message, TraceScope &scope, uint32_t *txTimestamp) {
    OutgoingMessage tx = message;
    tx.frameLength = m_options.frameDataLength();
    tx.frameFormat = m_options.frameFormat();
    TextLine line;
    line.appendf("ISO15765-TX CanId 0x%04lX Len=%3ld TS=%09lu Data: ", static_cast<unsigned long>(tx.canId),
                 static_cast<long>(tx.length + tx.addr.pciOffset()), static_cast<unsigned long>(tx.hostTimestamp));
    if (tx.addr.extFlag) scope.messagef(TL_INFO, "ORV-Extadressing Tx Id = %04x", tx.addr.extAddr);
    if (m_pPduTrace)
        WritePduLine(*m_pPduTrace, " CAN-TX ", tx.canId, tx.addr, tx.payload, tx.length, tx.frameFormat);

    if (tx.fitsSingleFrame()) {
        if (tx.addr.extFlag) scope.message("b_ExtendedAdressing data converted to ISO9192 ...", TL_INFO);
        if (scope.isEnabled()) {
            line.appendHexDump(tx.payload, tx.length);
            scope.message(line.c_str(), TL_INFO);
        }
        const CanPayload frame = BuildSingleFrame(tx);
        const uint32_t result = m_results ? m_outgoing.sendSingleFrame(tx, frame, scope)
                                          : m_outgoing.sendSingleFrame(tx.canId, frame, tx.pad, scope);
        if (txTimestamp) *txTimestamp = m_port.lastTxTimestamp();
        return result;
    }
    if (tx.escapedLength() && (m_options.refuseEscapedLength() || tx.length > ISOTP_MAX_PAYLOAD)) {
        scope.message("Length over CAN MAX 4100!!!", TL_ERROR);
        return ERR_NOT_SUPPORTED;
    }
    return m_outgoing.startTransfer(tx, line, scope);
}
