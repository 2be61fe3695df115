// A tracer with an in-memory sink, installed as the module's tracer for the
// length of a test, so that tests can assert the exact lines a function writes.
#ifndef PT_TESTS_TRACE_CAPTURE_H
#define PT_TESTS_TRACE_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "trace/trace_sink.h"
#include "trace/tracer.h"

class MemorySink : public TraceSink {
public:
    void text(const char *line, TraceSinkRegistry *) override;
    void event(const TraceEvent *event, TraceSinkRegistry *) override;
    std::vector<std::string> lines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// One trace line as the front-end composed it (before the sink's time stamp).
struct TraceLine {
    std::string deltatime;
    std::string level;    // two-letter code
    char marker = 0;      // '+', '-' or '|'
    int depth = 0;
    unsigned threadId = 0;
    std::string message;  // the whole Message column
    std::string text;     // for message lines: what follows "<scope> : "
    bool parse(const std::string &line);
};

class TraceCapture {
public:
    // verbosity as the TRACE key gives it: 0, 1 or 2 (full).
    explicit TraceCapture(int verbosity = 2);
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    std::vector<std::string> lines() const { return sink_.lines(); }
    // The texts of message lines only ("<scope> : <text>" -> "<text>").
    std::vector<std::string> messages() const;
    // The Message column of every line, entry and exit lines included.
    std::vector<std::string> columns() const;
    bool hasMessage(const std::string &text) const;
    void clear() { sink_.clear(); }
    Tracer &tracer() { return tracer_; }

private:
    MemorySink sink_;
    Tracer tracer_;
    Tracer *previous_;
};

#endif
