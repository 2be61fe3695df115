#ifndef PT_TRACE_TRACE_CLOCK_H
#define PT_TRACE_TRACE_CLOCK_H

#include <cstddef>
#include <cstdint>

// Milliseconds of the high-resolution counter, low 32 bits (wraps after ~49.7 days).
uint32_t NowMs();

// "%02d:%02d:%02d.%03u" of hours mod 24, minutes, seconds, milliseconds.
// out must hold at least 16 characters.
void FormatElapsed(uint32_t ms, char *out, std::size_t outLen);

#endif
