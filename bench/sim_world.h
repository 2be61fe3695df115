// What the benchmarks take from the simulated world: the one-card channel
// configuration, filter messages, a message's id, and (for the linked
// library) the transport state a fresh load leaves.
#ifndef PT_BENCH_SIM_WORLD_H
#define PT_BENCH_SIM_WORLD_H

#include <cstdint>

#include "j2534.h"

namespace simworld {

// One CAN card channel, no simulated ECUs.
extern const char *const kOneCard;

// A filter message: the id's four bytes, the address byte after it when extAddr >= 0.
PASSTHRU_MSG FilterMsg(uint32_t dataSize, uint32_t id, int extAddr = -1);
uint32_t IdOf(const PASSTHRU_MSG &msg);

// Filters, transport records, pending confirmations, counters and the
// transport settings back to what a fresh load leaves.
void ResetTransportState();

}  // namespace simworld

#endif
