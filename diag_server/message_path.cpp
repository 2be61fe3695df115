// PassThruWriteMsgs and PassThruReadMsgs: the host's messages through the
// functional group's stage and the transport. Each read polls the receive
// queue once (with the field profile, until a frame gives a message), and
// this file alone decides what the call returns.
#include "diag_server/module.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/null_parameter.h"

namespace {

constexpr uint32_t MAX_READ_MSGS = 20;
// The largest receive queue the driver takes.
constexpr uint32_t kMaxPollsPerRead = 32768;

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
    const uint32_t status = m_transport.checkMessage(*pMsg, scope);
    if (status != STATUS_NOERROR) return status;
    m_groupStage.beforeWrite(*pMsg, ChannelID, scope);
    return m_transport.write(*pMsg, scope);
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
    for (uint32_t i = 0; i < polls; ++i) {
        switch (m_transport.pollOnce(*pMsg, requested)) {
            case PollResult::Empty:
                if (m_groupStage.takeDueAggregate(*pMsg)) {
                    *pNumMsgs = 1;
                    return STATUS_NOERROR;
                }
                *pNumMsgs = 0;
                return ERR_BUFFER_EMPTY;
            case PollResult::FrameTaken: *pNumMsgs = 0; break;
            case PollResult::Delivered: {
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
    m_transport.traceDelivered(msg, scope);

    switch (m_groupStage.afterDelivery(msg, scope)) {
        case GroupVerdict::Gathered: *pNumMsgs = 0; return ERR_BUFFER_EMPTY;
        case GroupVerdict::RelabelledPending: return STATUS_NOERROR;
        case GroupVerdict::NotGroupMessage: break;
    }
    if (scope.isEnabled()) scope.message("new messages in receive queue! STATUS_NOERROR", TL_INFO);
    return STATUS_NOERROR;
}
