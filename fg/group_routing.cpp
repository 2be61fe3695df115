#include "fg/group_routing.h"

#include "trace/lock_guard.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "transport/msg_id.h"

void GroupRouting::beforeWrite(PASSTHRU_MSG &msg, uint32_t channelId, uint32_t canId, TraceScope &scope) {
    if (m_group.active() && m_group.decode(&msg) >= 0)
        m_transport.m_filters.startGroupFilters(channelId, canId, m_group.respCanIds(), scope);
}

bool GroupRouting::whenIdle(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status) {
    if (!m_group.active() || !m_group.isTimerSet() || !m_group.isReceiveTimerElapsed()) return false;
    PT_SCOPE(scope, "PassThruReadMsgsFG()");
    LockGuard readGuard(m_transport.m_readLock);
    msg.ProtocolID = ISO15765;
    msg.TxFlags = 0;
    msg.ExtraDataIndex = 0;
    msg.Timestamp = NowMs() * 1000u;
    m_group.prepareToSendResponses(&msg, static_cast<uint32_t>(m_group.m_FunctionalGroupActive.load()));
    *pNumMsgs = 1;
    msg.RxStatus = 0;
    scope.message("FunctionalGroup responsses passed to CF!!!", TL_INFO);
    status = STATUS_NOERROR;
    return true;
}

// A group member's response goes into the aggregation; a response pending
// from elsewhere is handed on under the group's identifier.
bool GroupRouting::afterDelivery(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status, TraceScope &scope) {
    if (!m_group.active()) return false;
    LockGuard readGuard(m_transport.m_readLock);
    if (m_group.encode(&msg)) {
        *pNumMsgs = 0;
        if (scope.isEnabled()) scope.message("new functional group response added into buffer!!!", TL_INFO);
        status = ERR_BUFFER_EMPTY;
        return true;
    }
    if (msg.DataSize >= 7 && msg.Data[4] == UDS_NEGATIVE_RESPONSE && msg.Data[6] == UDS_NRC_RESPONSE_PENDING) {
        canIdToBytes(static_cast<uint32_t>(m_group.m_FunctionalGroupActive.load()), msg.Data);
        *pNumMsgs = 1;
        msg.RxStatus = 0;
        status = STATUS_NOERROR;
        return true;
    }
    return false;
}
