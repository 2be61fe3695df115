#include "transport/frame_builders.h"

#include <cstring>

CanPayload BuildSingleFrame(const OutgoingMessage &tx) {
    CanPayload frame;
    uint8_t *pci = frame.bytes;
    if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
    pci[0] = static_cast<uint8_t>(N_PCI_SF << 4 | tx.length);
    std::memcpy(pci + 1, tx.payload, tx.length);
    frame.length = static_cast<int32_t>(tx.length + 1 + tx.addr.pciOffset());
    return frame;
}

CanPayload BuildFirstFrame(const OutgoingMessage &tx) {
    CanPayload frame;
    uint8_t *pci = frame.bytes;
    if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
    pci[0] = static_cast<uint8_t>(N_PCI_FF << 4 | tx.length >> 8);
    pci[1] = static_cast<uint8_t>(tx.length & 0xFF);
    std::memcpy(pci + 2, tx.payload, tx.addr.firstFramePayload());
    frame.length = CAN_MAX_DLEN;
    return frame;
}

uint32_t BuildConsecutiveFrames(const OutgoingMessage &tx, TxBufferEntry &entry) {
    const uint32_t perFrame = tx.addr.consecutivePayload();
    uint32_t offset = tx.addr.firstFramePayload();
    uint32_t count = 0;
    do {
        if (count >= TX_CF_SLOTS) return TX_CF_SLOTS;
        uint8_t *frame = entry.frames[count];
        std::memset(frame, tx.padByte, CAN_MAX_DLEN);
        uint8_t *pci = frame;
        if (tx.addr.extFlag) *pci++ = tx.addr.extAddr;
        pci[0] = static_cast<uint8_t>(N_PCI_CF << 4 | ((count + 1) & SN_MASK));
        const uint32_t take = tx.length - offset < perFrame ? tx.length - offset : perFrame;
        std::memcpy(pci + 1, tx.payload + offset, take);
        entry.lastLength = static_cast<uint8_t>(tx.addr.pciOffset() + 1u + take);
        offset += take;
        ++count;
    } while (offset < tx.length);
    return count;
}

CanPayload BuildFlowControl(uint8_t blockSize, const IsoTpAddress &addr, uint8_t stmin, bool shortFrame) {
    CanPayload frame;
    uint8_t *pci = frame.bytes;
    if (addr.extFlag) *pci++ = addr.extAddr;
    pci[0] = static_cast<uint8_t>(N_PCI_FC << 4 | FS_CTS);
    pci[1] = blockSize;
    pci[2] = stmin;
    frame.length = shortFrame ? addr.pciOffset() + 3 : CAN_MAX_DLEN;
    return frame;
}
