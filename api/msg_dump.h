// The printed form of a message and of a run of bytes.
#ifndef PT_API_MSG_DUMP_H
#define PT_API_MSG_DUMP_H

#include <cstddef>
#include <cstdint>

#include "j2534.h"

class TraceScope;

// Size of the line buffers that callers of AppendHexDump supply.
constexpr std::size_t kTraceLineSize = 1024;

// Appends "0x%02x " per byte, at most maxBytes of them, then "..." when
// maxBytes were written. out is a NUL-terminated buffer of outSize bytes;
// nothing is written past it: when it fills up, the dump ends after the last
// whole byte text and "..." follows if it still fits.
void AppendHexDump(const uint8_t *bytes, char *out, std::size_t outSize, uint32_t count,
                   uint32_t maxBytes);

void TracePassThruMsg(const PASSTHRU_MSG *msg, const char *label, TraceScope &scope);

#endif
