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

    virtual void write(const char *line, uint32_t category, uint32_t level);
    void writeUnfiltered(const char *line) { notifyText(line); }

    void addLevels(uint32_t mask) { levelMask_ |= mask; }
    void addCategories(uint32_t mask) { categoryMask_ |= mask; }
    void setMaxDepth(uint32_t n) { maxDepth_ = n; }

    bool isCategoryEnabled(uint32_t c) const { return (categoryMask_ & c) != 0; }
    bool isLevelEnabled(uint32_t l) const { return (levelMask_ & l) != 0; }
    bool isDepthAllowed(int32_t d) const {
        return maxDepth_ == 0 || static_cast<uint32_t>(d) <= maxDepth_;
    }

    uint32_t levelMask() const { return levelMask_; }
    uint32_t categoryMask() const { return categoryMask_; }
    uint32_t maxDepth() const { return maxDepth_; }

private:
    uint32_t levelMask_ = TL_FATALERROR | TL_ERROR | TL_MODULE;
    uint32_t categoryMask_ = 0;
    uint32_t maxDepth_ = 1;
};

#endif
