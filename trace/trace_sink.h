#ifndef PT_TRACE_TRACE_SINK_H
#define PT_TRACE_TRACE_SINK_H

#include <string>

// Receives finished trace lines; what it does with them is its own business.
class TraceSink {
public:
    explicit TraceSink(std::string name = std::string()) : m_name(std::move(name)) {}
    virtual ~TraceSink() = default;
    TraceSink(const TraceSink &) = delete;
    TraceSink &operator=(const TraceSink &) = delete;

    // One finished line: NUL-terminated, no line end.
    virtual void text(const char *line) = 0;
    const std::string &name() const { return m_name; }

private:
    std::string m_name;
};

#endif
