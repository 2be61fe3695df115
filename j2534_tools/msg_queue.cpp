#include "j2534_tools/msg_queue.h"

#include "platform/lock_guard.h"

bool MessageQueue::push(const PASSTHRU_MSG &msg) {
    LockGuard guard(m_lock);
    if (m_msgs.size() >= m_capacity) {
        ++m_dropped;
        return false;
    }
    m_msgs.push_back(msg);
    m_filled.set();
    return true;
}

uint32_t MessageQueue::take(PASSTHRU_MSG *out, uint32_t max, uint32_t timeoutMs, uint32_t *dropped) {
    const uint64_t deadlineUs = plat::NowUs() + uint64_t{timeoutMs} * 1000u;
    uint32_t taken = 0;
    for (;;) {
        {
            LockGuard guard(m_lock);
            while (taken < max && !m_msgs.empty()) {
                out[taken++] = m_msgs.front();
                m_msgs.pop_front();
            }
            // The take that ends next tells the drops, whatever it moved.
            const bool done = m_closed || taken == max || plat::NowUs() >= deadlineUs;
            if (done) {
                *dropped = m_dropped;
                m_dropped = 0;
                return taken;
            }
            if (m_msgs.empty()) m_filled.reset();
        }
        const uint64_t now = plat::NowUs();
        // Whole milliseconds, rounded up: never back before the deadline.
        if (now < deadlineUs) m_filled.wait(static_cast<uint32_t>((deadlineUs - now + 999u) / 1000u));
    }
}

void MessageQueue::clear() {
    LockGuard guard(m_lock);
    m_msgs.clear();
    m_dropped = 0;
    if (!m_closed) m_filled.reset();
}

void MessageQueue::close() {
    LockGuard guard(m_lock);
    m_closed = true;
    m_filled.set();
}
