#include "can/confirmations.h"

#include <cstring>

#include "platform/lock_guard.h"

namespace {

// Frames a bus without a listener never confirms would pile up: beyond this
// many the oldest is given up (its owner learns nothing more of it).
constexpr std::size_t kMaxNoted = 4096;

}  // namespace

// A classic frame and an FD frame of the same bytes are different frames.
bool SentFrame::sameAs(const CanFrame &frame) const {
    return id == frame.id && (fdFlags & CAN_FRAME_FD) == (frame.fdFlags & CAN_FRAME_FD) && dlc == frame.length() &&
           std::memcmp(data, frame.data, dlc) == 0;
}

uint64_t PendingConfirmations::newToken() {
    LockGuard guard(m_lock);
    return m_nextToken++;
}

uint64_t PendingConfirmations::note(const SentFrame &frame, const ConfirmationTag &tag) {
    LockGuard guard(m_lock);
    const uint64_t number = m_nextNumber++;
    if (m_noted.size() >= kMaxNoted) m_noted.pop_front();
    m_noted.push_back(Noted{number, Confirmation{tag, frame}});
    return number;
}

void PendingConfirmations::withdraw(uint64_t noted) {
    LockGuard guard(m_lock);
    for (auto it = m_noted.begin(); it != m_noted.end(); ++it) {
        if (it->number != noted) continue;
        m_noted.erase(it);
        return;
    }
}

bool PendingConfirmations::take(const CanFrame &ack, Confirmation &out) {
    LockGuard guard(m_lock);
    auto it = m_noted.begin();
    while (it != m_noted.end() && !it->confirmation.frame.sameAs(ack)) ++it;
    if (it == m_noted.end()) return false;
    out = it->confirmation;
    m_noted.erase(m_noted.begin(), it + 1);
    return true;
}

void PendingConfirmations::forget(const void *owner) {
    LockGuard guard(m_lock);
    for (auto it = m_noted.begin(); it != m_noted.end();)
        it = it->confirmation.tag.owner == owner ? m_noted.erase(it) : it + 1;
}

void PendingConfirmations::forget(const void *owner, uint64_t token) {
    LockGuard guard(m_lock);
    for (auto it = m_noted.begin(); it != m_noted.end();) {
        const ConfirmationTag &tag = it->confirmation.tag;
        it = tag.owner == owner && tag.token == token ? m_noted.erase(it) : it + 1;
    }
}

void PendingConfirmations::clear() {
    LockGuard guard(m_lock);
    m_noted.clear();
}

bool PendingConfirmations::holds(const void *owner, uint32_t id) {
    LockGuard guard(m_lock);
    for (const Noted &noted : m_noted)
        if (noted.confirmation.tag.owner == owner && noted.confirmation.frame.id == id) return true;
    return false;
}

bool PendingConfirmations::holds(const void *owner) {
    LockGuard guard(m_lock);
    for (const Noted &noted : m_noted)
        if (noted.confirmation.tag.owner == owner) return true;
    return false;
}

bool PendingConfirmations::empty() {
    LockGuard guard(m_lock);
    return m_noted.empty();
}
