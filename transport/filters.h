// Message filters: the routing table for received frames, and the hardware
// acceptance that lets their identifiers through.
#ifndef PT_TRANSPORT_FILTERS_H
#define PT_TRANSPORT_FILTERS_H

#include <cstdint>

#include "api/module.h"

// One distinct filter; starts that describe the same identifier share it.
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

// The first record of list with this pattern (and, when extFlag is set, this
// extended-address byte), its useCount raised by increment; null if none.
// The caller holds m_filterLock.
FilterRecord *isFilterAlreadyUsed(FilterList &list, int32_t increment, uint32_t pattern,
                                  uint8_t extFlag, uint8_t extAddr);

// Releases one start of the record with filterId: decrements a shared record,
// removes the last one. False when list holds no such id. The caller holds
// m_filterLock.
bool removeFilter(FilterList &list, int32_t &count, uint32_t filterId);

#endif
