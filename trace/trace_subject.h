#ifndef PT_TRACE_TRACE_SUBJECT_H
#define PT_TRACE_TRACE_SUBJECT_H

#include <vector>

#include "platform/named_lock.h"
#include "trace/trace_sink.h"

// Hands lines to its sinks in attachment order, under one lock, so lines of
// concurrent threads reach every sink whole and in the same order.
class TraceSubject {
public:
    TraceSubject() = default;
    TraceSubject(const TraceSubject &) = delete;
    TraceSubject &operator=(const TraceSubject &) = delete;

    void detach(TraceSink *sink);
    void attach(TraceSink *sink);
    bool isEmpty();

    void notifyText(const char *text);

private:
    std::vector<TraceSink *> m_sinks;
    NamedLock m_lock;
};

#endif
