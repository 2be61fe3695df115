#include "sim_world.h"

#include "api/module.h"
#include "can/can_io.h"
#include "trace/lock_guard.h"
#include "transport/filters.h"
#include "transport/records.h"

namespace simworld {

const char *const kOneCard =
    "[driver]\n"
    "default_ecus = 0\n"
    "[channel]\n"
    "name = CANcardXL Channel 1\n"
    "hw_type = 15\n"
    "hw_index = 0\n"
    "hw_channel = 0\n"
    "transceiver_type = 0x0107\n"
    "transceiver_name = CANpiggy 1041Amag\n"
    "bus_capabilities = 0x00030003\n"
    "serial = 24680\n";

PASSTHRU_MSG FilterMsg(uint32_t dataSize, uint32_t id, int extAddr) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = ISO15765;
    msg.DataSize = dataSize;
    for (int i = 0; i < 4; ++i) msg.Data[i] = static_cast<uint8_t>(id >> (24 - 8 * i));
    if (extAddr >= 0) msg.Data[4] = static_cast<uint8_t>(extAddr);
    return msg;
}

uint32_t IdOf(const PASSTHRU_MSG &msg) {
    return static_cast<uint32_t>(msg.Data[0]) << 24 | static_cast<uint32_t>(msg.Data[1]) << 16 |
           static_cast<uint32_t>(msg.Data[2]) << 8 | msg.Data[3];
}

namespace {
template <typename List> void Empty(List &list, int32_t &count) {
    list.clear();
    count = 0;
}
}  // namespace

void ResetTransportState() {
    LockGuard readGuard(m_readLock);
    LockGuard txGuard(theModule.m_txLock);
    LockGuard filterGuard(m_filterLock);
    Empty(theModule.m_passFilter, theModule.m_passFilterCount);
    Empty(theModule.m_blockFilter, theModule.m_blockFilterCount);
    Empty(theModule.m_flowFilter, theModule.m_flowFilterCount);
    Empty(theModule.m_rxBuffer, theModule.m_rxBufferCount);
    Empty(theModule.m_txBuffer, theModule.m_txBufferCount);
    theModule.m_ackPending.clear();
    theModule.m_NextFilterId = 0;
    theModule.m_ExtAddressing = 0;
    theModule.m_FunctionalGroupActive = 0;
    m_Iso15765BlockSize = 0;
    m_NextSeqId = 1;
    m_TraceSettings = 0;
    m_LastTxTimestamp = 0;
}

}  // namespace simworld
