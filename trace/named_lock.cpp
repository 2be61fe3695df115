#include "trace/named_lock.h"

void NamedLock::lock(const char *ownerName) {
    section_.enter();
    if (lockCount_ == 0) {
        ownerThreadId_ = plat::CurrentThreadId();
        ownerName_ = ownerName;
    }
    ++lockCount_;
}

void NamedLock::lock() { lock("Locked by unknown"); }

void NamedLock::unlock() {
    if (--lockCount_ == 0) ownerThreadId_ = 0;
    section_.leave();
}
