// ISO 15765-2 frame layout: protocol control information, the optional
// address byte in front of it, and the payload each frame kind carries.
#ifndef PT_TRANSPORT_ISO_TP_H
#define PT_TRANSPORT_ISO_TP_H

#include <cstdint>

#include "can/can_frame.h"

// N_PCI type, the high nibble of the protocol control information byte.
constexpr uint8_t N_PCI_SF = 0x0;
constexpr uint8_t N_PCI_FF = 0x1;
constexpr uint8_t N_PCI_CF = 0x2;
constexpr uint8_t N_PCI_FC = 0x3;

// Flow status of a flow-control frame.
constexpr uint8_t FS_CTS = 0x0;
constexpr uint8_t FS_WAIT = 0x1;
constexpr uint8_t FS_OVFLW = 0x2;

// STmin: 0x00-0x7F milliseconds, 0xF1-0xF9 hundreds of microseconds; the
// reserved values mean the longest time, 0x7F ms.
constexpr uint8_t STMIN_MS_MAX = 0x7F;
constexpr uint8_t STMIN_US_FIRST = 0xF1;
constexpr uint8_t STMIN_US_LAST = 0xF9;

inline uint32_t StminUs(uint8_t raw) {
    if (raw <= STMIN_MS_MAX) return raw * 1000u;
    if (raw >= STMIN_US_FIRST && raw <= STMIN_US_LAST) return (raw - 0xF0u) * 100u;
    return STMIN_MS_MAX * 1000u;
}

constexpr uint8_t N_PCI_LOW_MASK = 0x0F;  // SF_DL, FF_DL high nibble, SN, FS
constexpr uint8_t SN_MASK = 0x0F;

// Largest message a 12-bit FF_DL announces; FF_DL 0 escapes to a 32-bit length.
constexpr uint32_t FF_DL_MAX = 4095;

inline uint8_t PciType(uint8_t pci) { return static_cast<uint8_t>(pci >> 4); }
inline uint8_t PciLow(uint8_t pci) { return static_cast<uint8_t>(pci & N_PCI_LOW_MASK); }

// Addressing of one frame: with extended addressing one target-address byte
// stands in front of the protocol control information.
struct IsoTpAddress {
    uint8_t extFlag = 0;
    uint8_t extAddr = 0;

    uint8_t pciOffset() const { return extFlag ? 1 : 0; }
    // Payload bytes behind the PCI of each frame kind.
    uint8_t singleFrameMax() const { return static_cast<uint8_t>(7 - pciOffset()); }
    uint8_t firstFramePayload() const { return static_cast<uint8_t>(6 - pciOffset()); }
    uint8_t consecutivePayload() const { return static_cast<uint8_t>(7 - pciOffset()); }
};

// One frame as it goes onto the bus.
struct CanPayload {
    uint8_t bytes[CAN_MAX_DLEN] = {CAN_PAD_BYTE, CAN_PAD_BYTE, CAN_PAD_BYTE, CAN_PAD_BYTE,
                                   CAN_PAD_BYTE, CAN_PAD_BYTE, CAN_PAD_BYTE, CAN_PAD_BYTE};
    int32_t length = 0;
};

#endif
