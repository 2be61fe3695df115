// Which received frames belong to a connection, and where its flow controls
// go: the diagnostic server's filters (MessageFilters) or the links a J2534
// tool's flow-control filters describe (LinkTable).
#ifndef PT_TRANSPORT_ROUTING_H
#define PT_TRANSPORT_ROUTING_H

#include <cstdint>

#include "can/can_frame.h"
#include "transport/iso_tp.h"

class TraceScope;

enum class PassResult { NoFilters, Rejected, Accepted };

// Our side of a link: the identifier of our frames to the peer and their
// addressing, and whether our flow controls fill the whole frame.
struct FlowRoute {
    uint32_t canId = 0;
    IsoTpAddress addr;
    bool pad = true;
};

class IsoTpRouting {
public:
    // Whether a received frame is ours; addr learns its address byte.
    virtual PassResult accept(const CanFrame &frame, IsoTpAddress &addr, TraceScope &scope) = 0;
    // For a frame of the peer on canId with address byte extAddr: where our
    // flow control goes, which is also the identifier of our transfer that
    // the peer's flow control releases. False when no link has it.
    virtual bool flowRoute(uint32_t canId, uint8_t extAddr, FlowRoute &route) = 0;

protected:
    ~IsoTpRouting() = default;
};

#endif
