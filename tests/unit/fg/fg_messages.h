// Builders for functional requests and ECU responses as the host and the
// transport hand them to the functional group.
#ifndef PT_TESTS_FG_MESSAGES_H
#define PT_TESTS_FG_MESSAGES_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "fg/functional_group.h"
#include "j2534.h"

namespace fgtest {

inline GroupEntry Entry(uint32_t reqCanId, uint32_t respCanId) {
    GroupEntry e{};
    e.ReqCanID = reqCanId;
    e.RespCanID = respCanId;
    return e;
}

inline void PutLe16(std::vector<uint8_t> &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void PutLe32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// CAN id, [address byte], 0x22, L, PDU, N, N entries.
inline std::vector<uint8_t> RequestBytes(uint32_t canId, const std::vector<uint8_t> &pdu,
                                         const std::vector<GroupEntry> &entries, int extAddr = -1,
                                         uint8_t marker = 0x22) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(canId >> 24), static_cast<uint8_t>(canId >> 16),
                              static_cast<uint8_t>(canId >> 8), static_cast<uint8_t>(canId)};
    if (extAddr >= 0) d.push_back(static_cast<uint8_t>(extAddr));
    d.push_back(marker);
    PutLe16(d, static_cast<uint32_t>(pdu.size()));
    d.insert(d.end(), pdu.begin(), pdu.end());
    PutLe16(d, static_cast<uint32_t>(entries.size()));
    for (const GroupEntry &e : entries) {
        const uint32_t fields[17] = {e.ReqCanID,         e.RespCanID,        e.DiagAddrEcu,
                                     e.DiagAddrTester,   e.Reserved4[0],     e.Reserved4[1],
                                     e.Reserved4[2],     e.MOST_DeviceID,    e.Reserved8[0],
                                     e.Reserved8[1],     e.Reserved8[2],     e.Reserved8[3],
                                     e.MOST_TDeviceID,   e.Reserved13,       e.FlexRay_TxSlotId,
                                     e.FlexRay_RxSlotId, e.FlexRay_TxSlotIdFc};
        for (uint32_t f : fields) PutLe32(d, f);
    }
    return d;
}

inline PASSTHRU_MSG Message(const std::vector<uint8_t> &data, uint32_t txFlags = 0) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = ISO15765;
    msg.TxFlags = txFlags;
    msg.DataSize = static_cast<uint32_t>(data.size());
    std::memcpy(msg.Data, data.data(), data.size() < PT_MSG_DATA_SIZE ? data.size() : PT_MSG_DATA_SIZE);
    return msg;
}

inline PASSTHRU_MSG Request(uint32_t canId, const std::vector<uint8_t> &pdu,
                            const std::vector<GroupEntry> &entries) {
    return Message(RequestBytes(canId, pdu, entries));
}

// A received message: CAN id most significant byte first, then the payload.
inline PASSTHRU_MSG Response(uint32_t canId, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(canId >> 24), static_cast<uint8_t>(canId >> 16),
                              static_cast<uint8_t>(canId >> 8), static_cast<uint8_t>(canId)};
    d.insert(d.end(), payload.begin(), payload.end());
    return Message(d);
}

inline std::vector<uint8_t> DataOf(const PASSTHRU_MSG &msg) {
    uint32_t n = msg.DataSize < PT_MSG_DATA_SIZE ? msg.DataSize : PT_MSG_DATA_SIZE;
    return std::vector<uint8_t>(msg.Data, msg.Data + n);
}

}  // namespace fgtest

#endif
