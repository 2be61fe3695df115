#include "trace/trace_levels.h"

namespace {
const char *const kLevelCodes[] = {"TE", "FE", "ER", "WN", "IN", "MO", "FU", "FI", "LO", "MA", "IM"};
}

const char *TraceLevelCode(uint32_t level) {
    for (unsigned bit = 0; bit < sizeof kLevelCodes / sizeof kLevelCodes[0]; ++bit)
        if (level == (1u << bit)) return kLevelCodes[bit];
    return "??";
}
