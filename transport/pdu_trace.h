// Lines of "pdu_trace.log": one per message the host wrote or was given.
#ifndef PT_TRANSPORT_PDU_TRACE_H
#define PT_TRANSPORT_PDU_TRACE_H

#include <cstdint>
#include <vector>

#include "j2534.h"
#include "transport/iso_tp.h"

class TraceFile;

// " CAN-TX " or " CAN-RX ", then (for a message with payload) its id, the
// address bytes given and every payload byte.
void WritePduLine(TraceFile &file, const char *direction, const PASSTHRU_MSG &msg,
                  const std::vector<uint8_t> &addressBytes = {}, uint8_t format = 0);
// The same for a message given as identifier, addressing and payload; a
// message on CAN FD frames (format) has "FD" and, with the faster data
// phase, "BRS" behind its id.
void WritePduLine(TraceFile &file, const char *direction, uint32_t canId, const IsoTpAddress &addr,
                  const uint8_t *payload, uint32_t length, uint8_t format = 0);

#endif
