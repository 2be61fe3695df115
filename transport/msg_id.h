// Every ISO 15765 message that crosses the interface carries its CAN
// identifier in Data[0..3], most significant byte first.
#ifndef PT_TRANSPORT_MSG_ID_H
#define PT_TRANSPORT_MSG_ID_H

#include <cstdint>

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

#endif
