// PassThruWriteMsgs and PassThruReadMsgs: the host's messages through the
// functional group's stage and the transport. Each read polls the receive
// queue once (with the field profile, until a frame gives a message), and
// this file alone decides what the call returns.
#include <cstring>

#include "diag_server/module.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/msg_id.h"
#include "transport/null_parameter.h"

namespace {

constexpr uint32_t MAX_READ_MSGS = 20;
// The largest receive queue the driver takes.
constexpr uint32_t kMaxPollsPerRead = 32768;

// The server's record of a message the transport took: ISO15765, the
// identifier in Data[0..3] and the payload behind it, TX_MSG_TYPE for the
// bus's confirmation of ours.
void ToHostMessage(const ReceivedMessage &in, PASSTHRU_MSG &out) {
    out.ProtocolID = ISO15765;
    out.RxStatus = in.confirmation ? TX_MSG_TYPE : 0;
    out.TxFlags = 0;
    out.Timestamp = in.timestampUs;
    out.ExtraDataIndex = 0;
    canIdToBytes(in.canId, out.Data);
    const uint32_t length = in.length < PT_MSG_DATA_SIZE - MSG_ID_SIZE ? in.length : PT_MSG_DATA_SIZE - MSG_ID_SIZE;
    std::memcpy(out.Data + MSG_ID_SIZE, in.payload, length);
    out.DataSize = MSG_ID_SIZE + length;
}

}  // namespace

uint32_t CPassThruModule::PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                            uint32_t Timeout) {
    PT_SCOPE(scope, "PassThruWriteMsgs()");
    if (!pMsg || !pNumMsgs)
        return NullParameter(scope, !pMsg ? "PassThruWriteMsgs pMsg" : "PassThruWriteMsgs pNumMsgs");
    scope.messagef(TL_INFO, "ChannelID=%08lx NumMsg=%08lx Timeout=%08lx", static_cast<unsigned long>(ChannelID),
                   static_cast<unsigned long>(*pNumMsgs), static_cast<unsigned long>(Timeout));
    TracePassThruMsg(pMsg, "Msg", scope);
    if (*pNumMsgs != 1) {
        scope.message("only one message supported", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    const uint32_t status = CheckMessage(*pMsg, scope);
    if (status != STATUS_NOERROR) return status;
    m_groupStage.beforeWrite(*pMsg, ChannelID, scope);
    return sendMessage(*pMsg, scope);
}

uint32_t CPassThruModule::CheckMessage(const PASSTHRU_MSG &msg, TraceScope &scope) {
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

// The identifier from Data[0..3], the address byte behind it with
// ISO15765_ADDR_TYPE, the payload after them; a single frame's time stamp
// goes back into the host's message.
uint32_t CPassThruModule::sendMessage(PASSTHRU_MSG &msg, TraceScope &scope) {
    OutgoingMessage tx;
    tx.pad = (msg.TxFlags & ISO15765_FRAME_PAD) ? 1 : 0;
    tx.canId = canIdFromBytes(msg.Data);
    tx.hostTimestamp = msg.Timestamp;
    if ((msg.TxFlags & ISO15765_ADDR_TYPE) != 0) {
        tx.addr.extFlag = 1;
        tx.addr.extAddr = msg.Data[MSG_ID_SIZE];
    }
    tx.payload = msg.Data + MSG_ID_SIZE + tx.addr.pciOffset();
    tx.length = msg.DataSize - MSG_ID_SIZE - tx.addr.pciOffset();
    return m_transport.send(tx, scope, &msg.Timestamp);
}

uint32_t CPassThruModule::PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                           uint32_t Timeout) {
    if (!pMsg || !pNumMsgs) {
        PT_SCOPE(scope, "PassThruReadMsgs()");
        return NullParameter(scope, !pMsg ? "PassThruReadMsgs pMsg" : "PassThruReadMsgs pNumMsgs");
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
    const uint32_t polls = m_settings.profile.on ? kMaxPollsPerRead : 1;
    ReceivedMessage message;
    for (uint32_t i = 0; i < polls; ++i) {
        switch (m_transport.pollOnce(message, requested)) {
            case PollResult::Empty:
                if (m_groupStage.takeDueAggregate(*pMsg)) {
                    *pNumMsgs = 1;
                    return STATUS_NOERROR;
                }
                *pNumMsgs = 0;
                return ERR_BUFFER_EMPTY;
            case PollResult::FrameTaken: *pNumMsgs = 0; break;
            case PollResult::Delivered: {
                ToHostMessage(message, *pMsg);
                const uint32_t status = deliver(ChannelID, *pMsg, pNumMsgs, Timeout, requested);
                // A message the functional group kept gives the host nothing yet.
                if (status != ERR_BUFFER_EMPTY) return status;
                break;
            }
        }
    }
    return ERR_BUFFER_EMPTY;
}

uint32_t CPassThruModule::deliver(uint32_t ChannelID, PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t Timeout,
                                  uint32_t requested) {
    *pNumMsgs = 1;
    PT_SCOPE(scope, "PassThruReadMsgs()");
    if (scope.isEnabled()) {
        scope.messagef(TL_INFO, "ChannelID=%08lX max pNumMsg=%08lX Timeout=%08lx ReadCount=%d %d",
                       static_cast<unsigned long>(ChannelID), 1ul, static_cast<unsigned long>(Timeout),
                       static_cast<int>(requested), 1);
        scope.messagef(TL_INFO, "actnum=%08lX", 1ul);
    }
    TraceDelivered(msg, m_pPduTrace.get(),
                   [&] { return m_filters.passAddresses(canIdFromBytes(msg.Data), scope); }, scope);

    switch (m_groupStage.afterDelivery(msg, scope)) {
        case GroupVerdict::Gathered: *pNumMsgs = 0; return ERR_BUFFER_EMPTY;
        case GroupVerdict::RelabelledPending: return STATUS_NOERROR;
        case GroupVerdict::NotGroupMessage: break;
    }
    if (scope.isEnabled()) scope.message("new messages in receive queue! STATUS_NOERROR", TL_INFO);
    return STATUS_NOERROR;
}
