#ifndef PT_CAN_CAN_FRAME_H
#define PT_CAN_CAN_FRAME_H

#include <cstdint>

// A classic CAN frame carries at most eight data bytes; frames we pad are
// filled up with this byte.
constexpr uint8_t CAN_MAX_DLEN = 8;
constexpr uint8_t CAN_PAD_BYTE = 0xFF;
// A CAN FD frame carries up to 64; above 8 bytes only the lengths of the DLC
// codes 9-15 exist (12, 16, 20, 24, 32, 48, 64).
constexpr uint8_t CANFD_MAX_DLEN = 64;

// The data length of DLC code dlc (0-15) in an FD frame.
inline uint8_t CanFdDlcToLength(uint8_t dlc) {
    static const uint8_t kLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return kLengths[dlc & 0x0F];
}
// The smallest DLC code whose frame holds length bytes (length <= 64).
inline uint8_t CanFdLengthToDlc(uint8_t length) {
    uint8_t dlc = 0;
    while (dlc < 15 && CanFdDlcToLength(dlc) < length) ++dlc;
    return dlc;
}
// The length an FD frame of length bytes really has on the bus: the next
// length a DLC code gives.
inline uint8_t CanFdPaddedLength(uint8_t length) { return CanFdDlcToLength(CanFdLengthToDlc(length)); }
// Whether length is one an FD frame can have without padding.
inline bool IsCanFdLength(uint32_t length) {
    return length <= CANFD_MAX_DLEN && CanFdPaddedLength(static_cast<uint8_t>(length)) == length;
}

// How a frame goes on the bus: classic (0), or FD (EDL) with the data phase
// at the higher rate (BRS); ESI tells an error-passive sender.
constexpr uint8_t CAN_FRAME_FD = 0x01;
constexpr uint8_t CAN_FRAME_FD_BRS = 0x02;
constexpr uint8_t CAN_FRAME_FD_ESI = 0x04;

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
    uint8_t dlc;                    // the data length in bytes, not the DLC code
    uint8_t data[CANFD_MAX_DLEN];   // the first length() bytes are valid
    uint8_t trailer;  // bus-state code of a bus-state report; 0 otherwise
    uint8_t fdFlags;  // CAN_FRAME_FD, CAN_FRAME_FD_BRS, CAN_FRAME_FD_ESI; 0 for a classic frame

    bool isFd() const { return (fdFlags & CAN_FRAME_FD) != 0; }
    // Bytes of the frame that really came: never more than its format holds.
    uint8_t length() const {
        const uint8_t most = isFd() ? CANFD_MAX_DLEN : CAN_MAX_DLEN;
        return dlc < most ? dlc : most;
    }
    // Byte i of the frame, or 0 when the frame is shorter.
    uint8_t byteAt(uint32_t i) const { return i < length() ? data[i] : 0; }
};

constexpr uint32_t CAN_FRAME_TYPE_FRAME = 1;
constexpr uint32_t CAN_FRAME_TYPE_BUS_STATE = 4;
constexpr uint16_t CAN_FRAME_TX_ACK = 0x04;

#endif
