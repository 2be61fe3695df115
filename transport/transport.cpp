#include "transport/transport.h"

#include <cstring>

#include "can/can_port.h"
#include "platform/platform.h"
#include "trace/trace_clock.h"
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

uint64_t IsoTpTransport::nextTimeoutUs() {
    bool framePerCycle = false;
    const uint32_t tx = m_outgoing.nextTimeoutMs(&framePerCycle);
    const uint32_t rx = m_incoming.nextTimeoutMs();
    const uint64_t nowUs = plat::NowUs();
    if (framePerCycle) return nowUs + 1000u;
    uint32_t first = tx;
    if (first == 0 || (rx != 0 && static_cast<int32_t>(rx - first) < 0)) first = rx;
    if (first == 0) return 0;
    // Expiry is "NowMs past the time": the millisecond after it.
    const int32_t leftMs = static_cast<int32_t>(first - NowMs()) + 1;
    return leftMs <= 0 ? nowUs : nowUs + static_cast<uint64_t>(leftMs) * 1000u;
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
