#ifndef PT_TRACE_TRACE_SUBJECT_H
#define PT_TRACE_TRACE_SUBJECT_H

#include <vector>

#include "trace/named_lock.h"
#include "trace/trace_sink.h"

class TraceSinkRegistry {
public:
    virtual ~TraceSinkRegistry() = default;
    virtual void detach(TraceSink *sink) = 0;
    virtual void attach(TraceSink *sink) = 0;
    virtual bool isEmpty() = 0;
};

// Hands lines to its sinks in attachment order, under one lock, so lines of
// concurrent threads reach every sink whole and in the same order.
class TraceSubject : public virtual TraceSinkRegistry {
public:
    TraceSubject() = default;
    ~TraceSubject() override = default;

    void detach(TraceSink *sink) override;
    void attach(TraceSink *sink) override;
    bool isEmpty() override;

    virtual void notifyEvent(const TraceEvent *event);
    virtual void notifyText(const char *text);

private:
    std::vector<TraceSink *> m_sinks;
    NamedLock m_lock;
};

#endif
