#include "fg/group_stage.h"

#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/filters.h"
#include "transport/msg_id.h"

void GroupStage::beforeWrite(PASSTHRU_MSG &msg, uint32_t channelId, TraceScope &scope) {
    if (m_group.active() && m_group.unwrapRequest(&msg) >= 0)
        m_filters.startGroupFilters(channelId, canIdFromBytes(msg.Data), m_group.respCanIds(), scope);
}

bool GroupStage::takeDueAggregate(PASSTHRU_MSG &msg) {
    if (!m_group.active() || !m_group.isTimerSet() || !m_group.isReceiveTimerElapsed()) return false;
    PT_SCOPE(scope, "PassThruReadMsgsFG()");
    msg.ProtocolID = ISO15765;
    msg.TxFlags = 0;
    msg.ExtraDataIndex = 0;
    msg.Timestamp = NowMs() * 1000u;
    m_group.prepareToSendResponses(&msg, m_group.responseCanId());
    msg.RxStatus = 0;
    scope.message("FunctionalGroup responsses passed to CF!!!", TL_INFO);
    return true;
}

GroupVerdict GroupStage::afterDelivery(PASSTHRU_MSG &msg, TraceScope &scope) {
    if (!m_group.active()) return GroupVerdict::NotGroupMessage;
    if (m_group.takeResponse(&msg)) {
        if (scope.isEnabled()) scope.message("new functional group response added into buffer!!!", TL_INFO);
        return GroupVerdict::Gathered;
    }
    // A response pending from elsewhere is handed on under the group's id.
    if (msg.DataSize >= 7 && msg.Data[4] == UDS_NEGATIVE_RESPONSE && msg.Data[6] == UDS_NRC_RESPONSE_PENDING) {
        canIdToBytes(m_group.responseCanId(), msg.Data);
        msg.RxStatus = 0;
        return GroupVerdict::RelabelledPending;
    }
    return GroupVerdict::NotGroupMessage;
}
