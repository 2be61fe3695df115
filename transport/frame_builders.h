// The frames we put on the bus, one builder per frame kind.
#ifndef PT_TRANSPORT_FRAME_BUILDERS_H
#define PT_TRANSPORT_FRAME_BUILDERS_H

#include <cstdint>

#include "transport/iso_tp.h"
#include "transport/records.h"

// A host message's addressing and payload, as the frames carry them.
struct OutgoingMessage {
    uint32_t canId = 0;
    IsoTpAddress addr;
    const uint8_t *payload = nullptr;
    uint32_t length = 0;
    uint32_t pad = 0;  // frames filled up to CAN_MAX_DLEN
    uint8_t padByte = CAN_PAD_BYTE;
    // TX_DL, and classic or CAN FD frames (CAN_FRAME_FD...).
    uint8_t frameLength = CAN_MAX_DLEN;
    uint8_t frameFormat = 0;

    // Beyond 4095 bytes the first frame escapes to the 32-bit FF_DL.
    bool escapedLength() const { return length > FF_DL_MAX; }
    bool fitsSingleFrame() const { return length <= addr.singleFrameMax(frameLength); }
    uint8_t firstFramePayload() const { return addr.firstFramePayload(frameLength, escapedLength()); }
    // The sender's token for the message's result; 0 for the diagnostic
    // server's face, whose host reads confirmations instead.
    uint64_t token = 0;
    // The host's time stamp of the message, for the trace.
    uint32_t hostTimestamp = 0;
};

CanPayload BuildSingleFrame(const OutgoingMessage &tx);
CanPayload BuildFirstFrame(const OutgoingMessage &tx);
// Prepares every consecutive frame behind the first frame's payload in
// entry, so the worker only copies one frame per send; entry.lastLength learns
// the length of the last one without padding. Returns the number of frames,
// or TX_CF_SLOTS when they would not fit.
uint32_t BuildConsecutiveFrames(const OutgoingMessage &tx, TxBufferEntry &entry);
// "Clear to send" with our block size and STmin (0 unless told otherwise: we
// take frames as fast as they come).
// length is CAN_MAX_DLEN (the rest padded), or only the frame's own bytes
// with shortFrame.
// Never longer than 8 bytes, in the link's frame format.
CanPayload BuildFlowControl(uint8_t blockSize, const IsoTpAddress &addr, uint8_t stmin = 0, bool shortFrame = false,
                            uint8_t format = 0);

#endif
