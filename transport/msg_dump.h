// The printed form of a message in the trace.
#ifndef PT_TRANSPORT_MSG_DUMP_H
#define PT_TRANSPORT_MSG_DUMP_H

#include <cstdint>
#include <functional>
#include <vector>

#include "j2534.h"

class TraceFile;
class TraceScope;

void TracePassThruMsg(const PASSTHRU_MSG *msg, const char *label, TraceScope &scope);

// The delivery lines of a message a host is given: the trace's message dump
// and RX line, and (pduTrace non-null) the PDU trace's, whose address bytes
// addressBytes gives when the line is written; format marks a message that
// came in CAN FD frames.
void TraceDelivered(const PASSTHRU_MSG &msg, TraceFile *pduTrace,
                    const std::function<std::vector<uint8_t>()> &addressBytes, TraceScope &scope,
                    uint8_t format = 0);

#endif
