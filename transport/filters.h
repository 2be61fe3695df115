// Message filters: the routing table for received frames.
#ifndef PT_TRANSPORT_FILTERS_H
#define PT_TRANSPORT_FILTERS_H

#include <cstdint>

struct FilterRecord {
    int32_t useCount = 1;
    uint16_t filterId = 0;
    uint16_t protocolId = 0;
    uint32_t pattern = 0;
    uint32_t mask = 0;
    uint32_t flowId = 0;
    uint8_t b_ExtendedAdress = 0;
    uint8_t b_ExtendedAdressRx = 0;
};

// Four bytes, first byte most significant.
uint32_t canIdFromBytes(const uint8_t *bytes);

#endif
