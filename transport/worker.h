// The transport's one background thread: paces consecutive frames, ends
// finished transfers and expires stalled ones.
#ifndef PT_TRANSPORT_WORKER_H
#define PT_TRANSPORT_WORKER_H

#include <cstdint>

#include "platform/platform.h"

class TraceScope;

// Hand-shake with the thread that starts and stops the worker: started is set
// once the worker runs, left as its very last step, after its trace scopes
// have closed. Neither needs the loader lock, so both are safe to wait for
// from the unload handler.
extern plat::Event m_workerStarted;
extern plat::Event m_workerLeft;

// Every RX_CHECK_CYCLES-th cycle looks at the reassembly deadlines.
constexpr uint32_t RX_CHECK_CYCLES = 100;

// Thread entry; runs while m_bThreadRun is 1.
uint32_t ThreadRead(void *unused);

// One cycle of the worker without its 1 ms sleep: under m_readLock, sends
// due consecutive frames, ends and expires segmentation records, and every
// 101st call expires reassembly records. cycleCounter is the worker's own;
// time-outs are traced through scope, the worker's life-long one.
void ThreadReadCycle(uint32_t &cycleCounter, TraceScope &scope);

#endif
