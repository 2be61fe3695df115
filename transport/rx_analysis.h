// The receive half of the ISO 15765-2 transport: turns raw CAN frames into
// messages for the host, reassembles multi-frame messages, answers them with
// flow control and releases own transfers when the peer's flow control comes.
#ifndef PT_TRANSPORT_RX_ANALYSIS_H
#define PT_TRANSPORT_RX_ANALYSIS_H

#include <cstdint>

#include "can/can_frame.h"
#include "j2534.h"

// Analyses frames[0..frameCount) in order; complete messages go into msgs,
// one after the other, and *pNumMsgs receives their number. msgs has room
// for at least frameCount messages.
void AnalyzeRxCanMessage(const CanFrame *frames, uint32_t frameCount, PASSTHRU_MSG *msgs,
                         uint32_t *pNumMsgs);

// Prepares an output slot: ISO15765, no status, the id in Data[0..3].
void InitRxMsg(PASSTHRU_MSG &msg, uint32_t canId);

// The flow-control id of the first flow-control filter that accepts canId,
// 0 when none does; on a match writes the addressing of our flow control.
uint32_t getFlowId(uint32_t canId, uint8_t extAddr, uint8_t *pExtFlag, uint8_t *pExtAddr);

// Sends one flow control "clear to send" with blockSize and STmin 0.
void send_Flow_Control(uint32_t canId, uint8_t blockSize, uint8_t extFlag, uint8_t extAddr);

#endif
