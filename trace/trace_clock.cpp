#include "trace/trace_clock.h"

#include <cstdio>

#include "platform/platform.h"

uint32_t NowMs() {
    // Asked every time (a cheap call): a function-local static would have the
    // C++ runtime of a Windows DLL set up a lock at every load that no unload
    // gives back.
    const uint64_t reported = plat::PerfFrequency();
    const uint64_t frequency = reported ? reported : 1;
    // Split so that counter * 1000 cannot overflow for a fast counter.
    uint64_t counter = plat::PerfCounter();
    uint64_t ms = (counter / frequency) * 1000u + (counter % frequency) * 1000u / frequency;
    return static_cast<uint32_t>(ms);
}

void FormatElapsed(uint32_t ms, char *out, std::size_t outLen) {
    if (ms == 0) {
        std::snprintf(out, outLen, "00:00:00.000");
        return;
    }
    std::snprintf(out, outLen, "%02d:%02d:%02d.%03u", static_cast<int>((ms / 3600000u) % 24u),
                  static_cast<int>((ms / 60000u) % 60u), static_cast<int>((ms / 1000u) % 60u), ms % 1000u);
}
