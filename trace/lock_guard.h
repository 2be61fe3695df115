#ifndef PT_TRACE_LOCK_GUARD_H
#define PT_TRACE_LOCK_GUARD_H

#include "trace/lockable.h"

// Holds a Lockable for the length of a block, also when it is left by an exception.
class LockGuard {
public:
    explicit LockGuard(Lockable &lockable) : m_lockable(lockable) { m_lockable.lock(); }
    virtual ~LockGuard() { m_lockable.unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    Lockable &m_lockable;
};

#endif
