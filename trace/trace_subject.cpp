#include "trace/trace_subject.h"

#include <algorithm>

#include "trace/lock_guard.h"

void TraceSubject::attach(TraceSink *sink) {
    LockGuard guard(lock_);
    sinks_.push_back(sink);
}

void TraceSubject::detach(TraceSink *sink) {
    LockGuard guard(lock_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

bool TraceSubject::isEmpty() {
    LockGuard guard(lock_);
    return sinks_.empty();
}

void TraceSubject::notifyText(const char *text) {
    LockGuard guard(lock_);
    for (TraceSink *sink : sinks_) sink->text(text, this);
}

void TraceSubject::notifyEvent(const TraceEvent *event) {
    LockGuard guard(lock_);
    for (TraceSink *sink : sinks_) sink->event(event, this);
}
