#ifndef PT_CAN_CAN_FRAME_H
#define PT_CAN_CAN_FRAME_H

#include <cstdint>

// A classic CAN frame carries at most eight data bytes; frames we pad are
// filled up with this byte.
constexpr uint8_t CAN_MAX_DLEN = 8;
constexpr uint8_t CAN_PAD_BYTE = 0xFF;

// Identifiers as the CAN layer and the transport carry them: bit 31 marks a
// 29-bit identifier (the driver's own marker), the rest is the identifier.
constexpr uint32_t CAN_ID_29BIT = 0x80000000u;
constexpr uint32_t CAN_ID_MAX_11BIT = 0x7FF;
constexpr uint32_t CAN_ID_MAX_29BIT = 0x1FFFFFFF;

inline bool IsCanId29Bit(uint32_t id) { return (id & CAN_ID_29BIT) != 0; }
// The identifier without its marker.
inline uint32_t CanIdBits(uint32_t id) { return id & CAN_ID_MAX_29BIT; }
inline uint32_t MarkCanId(uint32_t bits, bool is29Bit) { return is29Bit ? (bits | CAN_ID_29BIT) : bits; }

// One received CAN frame as the CAN layer hands it to the transport.
struct CanFrame {
    uint32_t timeMs;        // driver time stamp in ms (ns / 1000, low 32 bits, / 1000)
    uint16_t timeReserved;  // always 0
    uint16_t timeUs;        // microseconds within that millisecond
    uint32_t frameType;     // 1: a frame from a receive event; 0: not set
    uint16_t frameFlags;    // CAN_FRAME_TX_ACK: confirmation of an own frame
    uint32_t id;            // bit 31 marks a 29-bit identifier
    uint8_t dlc;
    uint8_t data[CAN_MAX_DLEN];  // the first dlc bytes are valid
    uint8_t trailer;  // bus-state code of a bus-state report; 0 otherwise

    // Bytes of the frame that really came: never more than the record holds.
    uint8_t length() const { return dlc < sizeof data ? dlc : static_cast<uint8_t>(sizeof data); }
    // Byte i of the frame, or 0 when the frame is shorter.
    uint8_t byteAt(uint32_t i) const { return i < length() ? data[i] : 0; }
};

constexpr uint32_t CAN_FRAME_TYPE_FRAME = 1;
constexpr uint32_t CAN_FRAME_TYPE_BUS_STATE = 4;
constexpr uint16_t CAN_FRAME_TX_ACK = 0x04;

#endif
