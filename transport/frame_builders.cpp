#include "transport/frame_builders.h"

#include <cstring>

namespace {

// Puts the address byte, if any, in front; returns where the PCI goes.
uint8_t *AddressFrame(CanPayload &frame, const IsoTpAddress &addr, uint8_t format) {
    frame.format = format;
    uint8_t *pci = frame.bytes;
    if (addr.extFlag) *pci++ = addr.extAddr;
    return pci;
}

}  // namespace

// Up to 7 bytes (6 behind an address byte) the SF_DL nibble tells the
// length, at any TX_DL; longer ones escape to an SF_DL byte.
CanPayload BuildSingleFrame(const OutgoingMessage &tx) {
    CanPayload frame;
    uint8_t *pci = AddressFrame(frame, tx.addr, tx.frameFormat);
    const bool escaped = tx.length > tx.addr.singleFrameMax(CAN_MAX_DLEN);
    const uint8_t pciSize = escaped ? SF_ESCAPED_PCI_SIZE : SF_PCI_SIZE;
    if (escaped) {
        pci[0] = static_cast<uint8_t>(N_PCI_SF << 4);
        pci[1] = static_cast<uint8_t>(tx.length);
    } else {
        pci[0] = static_cast<uint8_t>(N_PCI_SF << 4 | tx.length);
    }
    std::memcpy(pci + pciSize, tx.payload, tx.length);
    frame.length = static_cast<int32_t>(tx.length + pciSize + tx.addr.pciOffset());
    return frame;
}

CanPayload BuildFirstFrame(const OutgoingMessage &tx) {
    CanPayload frame;
    uint8_t *pci = AddressFrame(frame, tx.addr, tx.frameFormat);
    uint8_t pciSize = FF_PCI_SIZE;
    if (tx.escapedLength()) {
        pci[0] = static_cast<uint8_t>(N_PCI_FF << 4);
        pci[1] = 0;
        for (int i = 0; i < 4; ++i) pci[2 + i] = static_cast<uint8_t>(tx.length >> (24 - 8 * i));
        pciSize = FF_ESCAPED_PCI_SIZE;
    } else {
        pci[0] = static_cast<uint8_t>(N_PCI_FF << 4 | tx.length >> 8);
        pci[1] = static_cast<uint8_t>(tx.length & 0xFF);
    }
    std::memcpy(pci + pciSize, tx.payload, tx.firstFramePayload());
    frame.length = tx.frameLength;
    return frame;
}

uint32_t BuildConsecutiveFrames(const OutgoingMessage &tx, TxBufferEntry &entry) {
    entry.frameLength = tx.frameLength;
    entry.frameFormat = tx.frameFormat;
    const uint32_t perFrame = tx.addr.consecutivePayload(tx.frameLength);
    uint32_t offset = tx.firstFramePayload();
    uint32_t count = 0;
    do {
        if ((count + 1) * tx.frameLength > TX_CF_BYTES) return TX_CF_SLOTS;
        uint8_t *frame = entry.consecutive(count);
        std::memset(frame, tx.padByte, tx.frameLength);
        uint8_t *pci = frame;
        if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
        pci[0] = static_cast<uint8_t>(N_PCI_CF << 4 | ((count + 1) & SN_MASK));
        const uint32_t take = tx.length - offset < perFrame ? tx.length - offset : perFrame;
        std::memcpy(pci + 1, tx.payload + offset, take);
        entry.lastLength = static_cast<uint8_t>(tx.addr.pciOffset() + CF_PCI_SIZE + take);
        offset += take;
        ++count;
    } while (offset < tx.length);
    return count;
}

CanPayload BuildFlowControl(uint8_t blockSize, const IsoTpAddress &addr, uint8_t stmin, bool shortFrame,
                            uint8_t format) {
    CanPayload frame;
    uint8_t *pci = AddressFrame(frame, addr, format);
    pci[0] = static_cast<uint8_t>(N_PCI_FC << 4 | FS_CTS);
    pci[1] = blockSize;
    pci[2] = stmin;
    frame.length = shortFrame ? addr.pciOffset() + FC_PCI_SIZE : CAN_MAX_DLEN;
    return frame;
}
