// Lines of "pdu_trace.log": one per message the host wrote or was given.
#ifndef PT_TRANSPORT_PDU_TRACE_H
#define PT_TRANSPORT_PDU_TRACE_H

#include <cstdint>
#include <vector>

#include "j2534.h"

class TraceFile;

// " CAN-TX " or " CAN-RX ", then (for a message with payload) its id, the
// address bytes given and every payload byte.
void WritePduLine(TraceFile &file, const char *direction, const PASSTHRU_MSG &msg,
                  const std::vector<uint8_t> &addressBytes = {});

#endif
