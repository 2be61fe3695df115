// The lock class of the whole library: not re-entrant (a path that needs a
// lock it already holds calls a `_`-suffixed variant that runs with it held),
// and it remembers who holds it, which is what one looks at first in a
// debugger when something hangs.
#ifndef PT_PLATFORM_NAMED_LOCK_H
#define PT_PLATFORM_NAMED_LOCK_H

#include <cstdint>

#include "platform/platform.h"

class NamedLock {
public:
    NamedLock() = default;
    NamedLock(const NamedLock &) = delete;
    NamedLock &operator=(const NamedLock &) = delete;

    void lock(const char *ownerName);
    void lock();
    void unlock();

    const char *ownerName() const { return m_ownerName; }
    uint32_t ownerThreadId() const { return m_ownerThreadId; }
    int32_t lockCount() const { return m_lockCount; }

private:
    plat::CriticalSection m_section;
    const char *m_ownerName = nullptr;
    uint32_t m_ownerThreadId = 0;
    int32_t m_lockCount = 0;
};

#endif
