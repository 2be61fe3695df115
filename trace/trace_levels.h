// Trace levels (bit values) and the category of every scope of the library.
#ifndef PT_TRACE_TRACE_LEVELS_H
#define PT_TRACE_TRACE_LEVELS_H

#include <cstdint>

enum TraceLevel : uint32_t {
    TL_FATALERROR = 0x002,
    TL_ERROR = 0x004,
    TL_WARNING = 0x008,
    TL_INFO = 0x010,
    TL_MODULE = 0x020,
    TL_FUNCTION = 0x040,
};

// Every scope of the library carries this category.
constexpr uint32_t kTraceCategory = 0x8000;

// Two-letter code of a level's column; levels without a code of their own
// (combinations, bits above 0x400) show "??".
const char *TraceLevelCode(uint32_t level);

#endif
