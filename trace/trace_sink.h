#ifndef PT_TRACE_TRACE_SINK_H
#define PT_TRACE_TRACE_SINK_H

#include <cstdint>
#include <string>

class TraceSinkRegistry;

// An event record as sinks read it: the first word is not looked at.
struct TraceEvent {
    uint32_t reserved;
    int32_t type;
    const char *text;
};

// Receives finished trace lines; what it does with them is its own business.
class TraceSink {
public:
    explicit TraceSink(std::string name = std::string()) : m_name(std::move(name)) {}
    virtual ~TraceSink() = default;
    TraceSink(const TraceSink &) = delete;
    TraceSink &operator=(const TraceSink &) = delete;

    // One finished line: NUL-terminated, no line end.
    virtual void text(const char *line, TraceSinkRegistry *source) = 0;
    virtual void event(const TraceEvent *event, TraceSinkRegistry *source) = 0;
    virtual const std::string &name() const { return m_name; }

private:
    std::string m_name;
};

#endif
