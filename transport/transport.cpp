#include "transport/transport.h"

#include <cstring>

#include "can/can_port.h"
#include "trace/text_line.h"
#include "trace/trace_file.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/pdu_trace.h"

PollResult IsoTpTransport::pollOnce(ReceivedMessage &out, uint32_t room) {
    CanFrame frame;
    if (!m_port.VectorReadReceiveQueue(frame)) return PollResult::Empty;
    if (room == 0) return PollResult::FrameTaken;
    return receive(frame, out) ? PollResult::Delivered : PollResult::FrameTaken;
}

uint64_t IsoTpTransport::serviceTransfers(uint32_t &cycleCounter, TraceScope &scope) {
    PendingResults results;
    const uint64_t due = m_outgoing.service(results, scope);
    tell(results);
    if (++cycleCounter > RX_CHECK_CYCLES) {
        cycleCounter = 0;
        m_incoming.expire(scope);
    }
    return due;
}

void IsoTpTransport::tell(const PendingResults &results, uint32_t timestampUs) {
    if (!m_results) return;
    for (const PendingResult &done : results) m_results->messageDone(done.token, done.result, timestampUs);
}

bool IsoTpTransport::confirmed(uint64_t token, uint32_t timestampUs) {
    PendingResults results;
    if (!m_outgoing.confirmed(token, results)) return false;
    tell(results, timestampUs);
    return true;
}
