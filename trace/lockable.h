#ifndef PT_TRACE_LOCKABLE_H
#define PT_TRACE_LOCKABLE_H

class Lockable {
public:
    virtual ~Lockable() = default;
    virtual void lock(const char *ownerName) = 0;
    virtual void lock() = 0;
    virtual void unlock() = 0;
};

#endif
