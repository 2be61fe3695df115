// The send half of the ISO 15765-2 transport (PassThruWriteMsgs).
#ifndef PT_TRANSPORT_TX_PATH_H
#define PT_TRANSPORT_TX_PATH_H

#include <cstdint>

#include "j2534.h"

// A filter message for PassThruStartMsgFilter: ISO15765, canId in Data[2..3],
// extAddr in Data[4] (and ISO15765_ADDR_TYPE when it is non-zero).
void BuildFilterMsg(uint32_t dataSize, uint32_t canId, uint8_t extAddr, PASSTHRU_MSG &msg);

#endif
