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

    const char *ownerName() const { return ownerName_; }
    uint32_t ownerThreadId() const { return ownerThreadId_; }
    int32_t lockCount() const { return lockCount_; }

private:
    plat::CriticalSection section_;
    const char *ownerName_ = nullptr;
    uint32_t ownerThreadId_ = 0;
    int32_t lockCount_ = 0;
};

#endif
