// The opt-in ISO 15765-2 field profile: flow-control WAIT and OVERFLOW,
// STmin in microseconds, consecutive frames at wire speed, reads that do not
// leave answers in the queue, strict reception, a larger receive queue and
// filters that follow the port. Off, every layer behaves as it always has.
#ifndef PT_CAN_FIELD_PROFILE_H
#define PT_CAN_FIELD_PROFILE_H

#include <cstdint>

struct FieldProfile {
    bool on = false;                // FIELDPROFILE
    int32_t maxWaits = 10;          // FCWAITMAX: WAITs taken before a transfer is given up
    uint32_t rxQueueSize = 2048;    // RXQUEUE: receive queue in events
};

#endif
