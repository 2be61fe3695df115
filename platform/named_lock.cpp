#include "platform/named_lock.h"

void NamedLock::lock(const char *ownerName) {
    m_section.enter();
    if (m_lockCount == 0) {
        m_ownerThreadId = plat::CurrentThreadId();
        m_ownerName = ownerName;
    }
    ++m_lockCount;
}

void NamedLock::lock() { lock("Locked by unknown"); }

void NamedLock::unlock() {
    if (--m_lockCount == 0) m_ownerThreadId = 0;
    m_section.leave();
}
