// The lock class of the whole library: re-entrant, and it remembers who holds
// it, which is what one looks at first in a debugger when something hangs.
#ifndef PT_TRACE_NAMED_LOCK_H
#define PT_TRACE_NAMED_LOCK_H

#include <cstdint>

#include "platform/platform.h"
#include "trace/lockable.h"

class NamedLock : public Lockable {
public:
    NamedLock() = default;
    ~NamedLock() override = default;
    NamedLock(const NamedLock &) = delete;
    NamedLock &operator=(const NamedLock &) = delete;

    void lock(const char *ownerName) override;
    void lock() override;
    void unlock() override;

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
