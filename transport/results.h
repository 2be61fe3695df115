// What became of a message sent with a token, told to the face that sent it.
#ifndef PT_TRANSPORT_RESULTS_H
#define PT_TRANSPORT_RESULTS_H

#include <cstdint>

enum class TxResult {
    Confirmed,     // the bus confirmed its last frame
    TimedOut,      // no flow control came in time, or the transfer stalled
    Overflow,      // the peer's flow control said OVERFLOW
    TooManyWaits,  // the peer sent more flow-control WAITs than allowed
    Refused,       // the driver refused a frame of it
};

class IsoTpResults {
public:
    // Called once per message, never with a lock of the transport held.
    // timestampUs: the driver's time of the confirmation (Confirmed only).
    virtual void messageDone(uint64_t token, TxResult result, uint32_t timestampUs) = 0;

protected:
    ~IsoTpResults() = default;
};

#endif
