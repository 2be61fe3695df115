#include "trace/trace_subject.h"

#include <algorithm>

#include "platform/lock_guard.h"

void TraceSubject::attach(TraceSink *sink) {
    LockGuard guard(m_lock);
    m_sinks.push_back(sink);
}

void TraceSubject::detach(TraceSink *sink) {
    LockGuard guard(m_lock);
    m_sinks.erase(std::remove(m_sinks.begin(), m_sinks.end(), sink), m_sinks.end());
}

bool TraceSubject::isEmpty() {
    LockGuard guard(m_lock);
    return m_sinks.empty();
}

void TraceSubject::notifyText(const char *text) {
    LockGuard guard(m_lock);
    for (TraceSink *sink : m_sinks) sink->text(text);
}
