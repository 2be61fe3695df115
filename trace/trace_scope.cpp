#include "trace/trace_scope.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "trace/trace_clock.h"
#include "trace/tracer.h"

namespace {

// Nesting depth of each thread's open scopes, in a slot that lives while a
// tracer is active (from load to unload): no thread-local storage of the
// library's own is left behind by an unload.
plat::ThreadSlot g_depth;

int32_t Depth() { return static_cast<int32_t>(g_depth.get()); }
void SetDepth(int32_t depth) { g_depth.set(static_cast<uintptr_t>(depth)); }

// Process-wide because every scope of every layer reads it.
Tracer *g_activeTracer = nullptr;

// Lines are composed on the stack; only a line longer than this (a long hex
// dump) goes to the heap.
constexpr std::size_t kLineBuffer = 2048;

// "____1" style: right-aligned in at least five characters, '_' filled.
int FormatDepth(char *out, std::size_t size, int32_t depth) {
    int n = std::snprintf(out, size, "%5d", depth);
    for (int i = 0; i < n && out[i] == ' '; ++i) out[i] = '_';
    return n;
}

void WriteComposed(Tracer *tracer, const char *deltatime, uint32_t level, char marker, int32_t depth, const char *name,
                   const char *text, uint32_t category, bool filtered) {
    char depthText[16];
    FormatDepth(depthText, sizeof depthText, depth);
    const char *code = TraceLevelCode(level);
    uint32_t thread = plat::CurrentThreadId();
    const char *scopeName = name ? name : "";
    char line[kLineBuffer];
    int n = text ? std::snprintf(line, sizeof line, ";%s;%s;%c%s;%05u;%s : %s", deltatime, code, marker, depthText,
                                 thread, scopeName, text)
                 : std::snprintf(line, sizeof line, ";%s;%s;%c%s;%05u;%s", deltatime, code, marker, depthText, thread,
                                 scopeName);
    const char *out = line;
    std::string longLine;
    if (n >= static_cast<int>(sizeof line)) {
        longLine.resize(static_cast<std::size_t>(n) + 1);
        if (text)
            std::snprintf(&longLine[0], longLine.size(), ";%s;%s;%c%s;%05u;%s : %s", deltatime, code, marker, depthText,
                          thread, scopeName, text);
        else
            std::snprintf(&longLine[0], longLine.size(), ";%s;%s;%c%s;%05u;%s", deltatime, code, marker, depthText,
                          thread, scopeName);
        out = longLine.c_str();
    }
    if (filtered)
        tracer->write(out, category, level);
    else
        tracer->writeUnfiltered(out);
}

}  // namespace

Tracer *ActiveTracer() { return g_activeTracer; }
void SetActiveTracer(Tracer *tracer) {
    if (tracer) g_depth.create();
    g_activeTracer = tracer;
    if (!tracer) g_depth.destroy();
}

TraceScope::TraceScope(const char *name, uint32_t category, uint32_t level, Tracer *tracer)
    : m_tracer(tracer), m_level(level), m_category(category) {
    const int32_t depth = Depth() + 1;
    SetDepth(depth);
    if (!m_tracer || !m_tracer->isCategoryEnabled(m_category)) return;
    m_startMs = NowMs();
    std::size_t len = std::strlen(name) + 1;
    m_name = static_cast<char *>(std::malloc(len));
    if (m_name) std::memcpy(m_name, name, len);
    if (m_tracer->isLevelEnabled(m_level) && m_tracer->isDepthAllowed(depth)) {
        m_enabled = true;
        WriteComposed(m_tracer, "00:00:00.000", m_level, '+', depth, m_name, nullptr, m_category, false);
    }
}

TraceScope::~TraceScope() {
    if (m_enabled) {
        char elapsed[32];
        FormatElapsed(NowMs() - m_startMs, elapsed, sizeof elapsed);
        WriteComposed(m_tracer, elapsed, m_level, '-', Depth(), m_name, nullptr, m_category, false);
    }
    SetDepth(Depth() - 1);
    std::free(m_name);
}

void TraceScope::message(const char *text, uint32_t level) {
    if (!m_tracer || !m_tracer->isLevelEnabled(level)) return;
    const int32_t depth = Depth();
    if (!m_tracer->isDepthAllowed(depth)) return;
    WriteComposed(m_tracer, "__:__:__.___", level, '|', depth, m_name, text, m_category, true);
}

void TraceScope::messagef(uint32_t level, const char *format, ...) {
    if (!m_tracer || !m_tracer->isLevelEnabled(level)) return;
    char text[kLineBuffer];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= static_cast<int>(sizeof text)) {
        std::string longText(static_cast<std::size_t>(n) + 1, '\0');
        va_start(args, format);
        std::vsnprintf(&longText[0], longText.size(), format, args);
        va_end(args);
        message(longText.c_str(), level);
        return;
    }
    message(text, level);
}

void AttachTraceLevel(const char *levelName, uint32_t level, Tracer *tracer) {
    TraceScope scope("AttachTraceLevel(..) :", kTraceCategory, TL_FUNCTION, tracer);
    std::string text = std::string("TraceLevel ") + levelName;
    if (tracer) tracer->addLevels(level);
    text += " attached";
    if (scope.isEnabled()) scope.message(text.c_str(), TL_INFO);
}
