#ifndef PT_TRACE_TRACE_SCOPE_H
#define PT_TRACE_TRACE_SCOPE_H

#include <cstdint>

#include "trace/trace_levels.h"

class Tracer;

// Opened on a function's entry, closed on every exit: writes the entry and
// exit lines when function tracing is on and carries the function's messages.
class TraceScope {
public:
    TraceScope(const char *name, uint32_t category, uint32_t level, Tracer *tracer);
    ~TraceScope();
    TraceScope(const TraceScope &) = delete;
    TraceScope &operator=(const TraceScope &) = delete;

    bool isEnabled() const { return m_enabled; }
    void message(const char *text, uint32_t level);
    // printf-style convenience for the many call sites that format first.
    void messagef(uint32_t level, const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

private:
    Tracer *m_tracer;
    uint32_t m_startMs = 0;
    uint32_t m_level;
    uint32_t m_category;
    bool m_enabled = false;
    char *m_name = nullptr;
};

// The library's tracer, created at load (null before and after): the trace
// front-end's one interface to the rest of the library. Set by the load
// handler and cleared by the unload handler, while no other thread of the
// library runs; the per-thread slot of the scopes' depth lives as long.
Tracer *ActiveTracer();
void SetActiveTracer(Tracer *tracer);

// The library's usual scope: category 0x8000, level FUNCTION, the module's tracer.
#define PT_SCOPE(var, name) TraceScope var((name), kTraceCategory, TL_FUNCTION, ActiveTracer())

// Adds a level to the tracer and announces it when function tracing is already on.
void AttachTraceLevel(const char *levelName, uint32_t level, Tracer *tracer);

#endif
