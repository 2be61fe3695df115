// Frames across the Vector XL library once the channel is up.
#ifndef PT_CAN_CAN_IO_H
#define PT_CAN_CAN_IO_H

#include <atomic>
#include <cstdint>

#include "can/can_frame.h"

class TraceScope;

// Transmit time (us) of the last frame sent while its caller's scope traced.
extern std::atomic<uint32_t> m_LastTxTimestamp;
extern uint32_t m_ErrorFrameCount;
extern uint32_t m_ErrorFrameReportTick;
extern uint32_t m_UnknownEventCount;
extern uint32_t m_UnknownEventReportTick;

// Sends one frame of length 0..8, padded to 8 bytes with 0xFF when pad is
// non-zero. Returns STATUS_NOERROR or ERR_FAILED; traces through scope.
uint32_t VectorTransmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad,
                        TraceScope &scope);

// Takes at most one event from the receive queue; received is 1 when frame
// holds a frame to analyse. Always returns 0.
uint32_t VectorReadReceiveQueue(CanFrame &frame, uint32_t &received);

void VectorSendWakeUp();
int16_t VectorCleanUp();

#endif
