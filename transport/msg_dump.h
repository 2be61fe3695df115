// The printed form of a message in the trace.
#ifndef PT_TRANSPORT_MSG_DUMP_H
#define PT_TRANSPORT_MSG_DUMP_H

#include "j2534.h"

class TraceScope;

void TracePassThruMsg(const PASSTHRU_MSG *msg, const char *label, TraceScope &scope);

#endif
