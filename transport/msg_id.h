// Every ISO 15765 message that crosses the interface carries its CAN
// identifier in Data[0..3], most significant byte first, and its payload
// behind it.
#ifndef PT_TRANSPORT_MSG_ID_H
#define PT_TRANSPORT_MSG_ID_H

#include <cstdint>

#include "j2534.h"

constexpr uint32_t MSG_ID_SIZE = 4;

inline uint32_t canIdFromBytes(const uint8_t *bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

inline void canIdToBytes(uint32_t canId, uint8_t *bytes) {
    bytes[0] = static_cast<uint8_t>(canId >> 24);
    bytes[1] = static_cast<uint8_t>(canId >> 16);
    bytes[2] = static_cast<uint8_t>(canId >> 8);
    bytes[3] = static_cast<uint8_t>(canId);
}

// The bytes of Data a message's DataSize names, never more than Data holds.
inline uint32_t BoundedDataSize(const PASSTHRU_MSG &msg) {
    return msg.DataSize < PT_MSG_DATA_SIZE ? msg.DataSize : PT_MSG_DATA_SIZE;
}

#endif
