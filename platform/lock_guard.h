#ifndef PT_PLATFORM_LOCK_GUARD_H
#define PT_PLATFORM_LOCK_GUARD_H

#include "platform/named_lock.h"

// Holds a NamedLock for the length of a block, also when it is left by an exception.
class LockGuard {
public:
    explicit LockGuard(NamedLock &lock) : m_lock(lock) { m_lock.lock(); }
    ~LockGuard() { m_lock.unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    NamedLock &m_lock;
};

#endif
