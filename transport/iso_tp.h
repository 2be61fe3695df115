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
// PCI bytes of each frame kind: a single frame's SF_DL nibble, or on CAN FD
// frames above 8 bytes the escape nibble 0 and an SF_DL byte; a first
// frame's 12-bit FF_DL, or the escape and a 32-bit FF_DL.
constexpr uint8_t SF_PCI_SIZE = 1;
constexpr uint8_t SF_ESCAPED_PCI_SIZE = 2;
constexpr uint8_t FF_PCI_SIZE = 2;
constexpr uint8_t FF_ESCAPED_PCI_SIZE = 6;
constexpr uint8_t CF_PCI_SIZE = 1;
constexpr uint8_t FC_PCI_SIZE = 3;

inline uint8_t PciType(uint8_t pci) { return static_cast<uint8_t>(pci >> 4); }
inline uint8_t PciLow(uint8_t pci) { return static_cast<uint8_t>(pci & N_PCI_LOW_MASK); }

// Addressing of one frame: with extended addressing one target-address byte
// stands in front of the protocol control information.
struct IsoTpAddress {
    uint8_t extFlag = 0;
    uint8_t extAddr = 0;

    uint8_t pciOffset() const { return extFlag ? 1 : 0; }
    // Payload bytes behind the PCI of each frame kind in frames of dl bytes
    // (TX_DL when sending, RX_DL when receiving; 8 on classic CAN).
    uint8_t singleFrameMax(uint8_t dl = CAN_MAX_DLEN) const {
        return static_cast<uint8_t>(dl - pciOffset() - (dl > CAN_MAX_DLEN ? SF_ESCAPED_PCI_SIZE : SF_PCI_SIZE));
    }
    uint8_t firstFramePayload(uint8_t dl = CAN_MAX_DLEN, bool escaped = false) const {
        return static_cast<uint8_t>(dl - pciOffset() - (escaped ? FF_ESCAPED_PCI_SIZE : FF_PCI_SIZE));
    }
    uint8_t consecutivePayload(uint8_t dl = CAN_MAX_DLEN) const {
        return static_cast<uint8_t>(dl - pciOffset() - CF_PCI_SIZE);
    }
};

// One frame as it goes onto the bus, and how: classic, or CAN FD
// (CAN_FRAME_FD, CAN_FRAME_FD_BRS).
struct CanPayload {
    CanPayload() {
        for (uint8_t &b : bytes) b = CAN_PAD_BYTE;
    }
    uint8_t bytes[CANFD_MAX_DLEN];
    int32_t length = 0;
    uint8_t format = 0;
};

#endif
