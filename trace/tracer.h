#ifndef PT_TRACE_TRACER_H
#define PT_TRACE_TRACER_H

#include <cstdint>

#include "trace/trace_levels.h"
#include "trace/trace_subject.h"

// Level, category and depth filter in front of the sinks. The masks only ever
// grow, and only during load, before a second thread exists.
class Tracer : public TraceSubject {
public:
    Tracer() = default;

    void write(const char *line, uint32_t category, uint32_t level);
    void writeUnfiltered(const char *line) { notifyText(line); }

    void addLevels(uint32_t mask) { m_levelMask |= mask; }
    void addCategories(uint32_t mask) { m_categoryMask |= mask; }
    void setMaxDepth(uint32_t n) { m_maxDepth = n; }

    bool isCategoryEnabled(uint32_t c) const { return (m_categoryMask & c) != 0; }
    bool isLevelEnabled(uint32_t l) const { return (m_levelMask & l) != 0; }
    bool isDepthAllowed(int32_t d) const { return m_maxDepth == 0 || static_cast<uint32_t>(d) <= m_maxDepth; }

    uint32_t levelMask() const { return m_levelMask; }
    uint32_t categoryMask() const { return m_categoryMask; }
    uint32_t maxDepth() const { return m_maxDepth; }

private:
    uint32_t m_levelMask = TL_FATALERROR | TL_ERROR | TL_MODULE;
    uint32_t m_categoryMask = 0;
    uint32_t m_maxDepth = 1;
};

#endif
