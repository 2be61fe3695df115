#ifndef PT_TRACE_LOCK_GUARD_H
#define PT_TRACE_LOCK_GUARD_H

#include "trace/lockable.h"

// Holds a Lockable for the length of a block, also when it is left by an exception.
class LockGuard {
public:
    explicit LockGuard(Lockable &lockable) : lockable_(lockable) { lockable_.lock(); }
    virtual ~LockGuard() { lockable_.unlock(); }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;

private:
    Lockable &lockable_;
};

#endif
