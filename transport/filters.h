// Message filters: the routing table for received frames, and the hardware
// acceptance that lets their identifiers through.
#ifndef PT_TRANSPORT_FILTERS_H
#define PT_TRANSPORT_FILTERS_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "can/can_frame.h"
#include "j2534.h"
#include "platform/named_lock.h"
#include "transport/iso_tp.h"
#include "transport/routing.h"

class CanPort;
class TraceScope;

// One distinct filter; starts that describe the same identifier share it.
struct FilterRecord {
    int32_t useCount = 1;
    uint16_t filterId = 0;
    uint16_t protocolId = 0;
    uint32_t pattern = 0;
    uint32_t mask = 0;
    uint32_t flowId = 0;
    uint8_t extFlag = 0;  // the identifier's frames carry an address byte
    uint8_t extAddr = 0;  // that address byte
};

using FilterList = std::list<std::unique_ptr<FilterRecord>>;

// The diagnostic server's filters: pass, block and flow control, started
// with its messages and the maker's extended addressing.
class MessageFilters : public IsoTpRouting {
public:
    // extAddressing: the maker's extended addressing mode, owned by the
    // transport; fieldProfile: a start whose identifier the driver refuses
    // fails and keeps nothing.
    MessageFilters(CanPort &port, const std::atomic<int32_t> &extAddressing, bool fieldProfile)
        : m_port(port), m_ExtAddressing(extAddressing), m_fieldProfile(fieldProfile) {}
    MessageFilters(const MessageFilters &) = delete;
    MessageFilters &operator=(const MessageFilters &) = delete;

    uint32_t PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, const PASSTHRU_MSG *pMaskMsg,
                                    const PASSTHRU_MSG *pPatternMsg, const PASSTHRU_MSG *pFlowControlMsg,
                                    uint32_t *pFilterID);
    uint32_t PassThruStopMsgFilter(uint32_t ChannelID, uint32_t MsgID);

    // Every responder of a functional group answers on its own id with the
    // tester's address in front, and gets our flow control on the request id
    // with its own.
    void startGroupFilters(uint32_t channelId, uint32_t requestId, const std::vector<uint32_t> &respIds,
                           TraceScope &scope);

    // Walks every pass filter; an accepting filter with an address byte makes
    // the frame extended-addressed.
    PassResult accept(const CanFrame &frame, IsoTpAddress &addr, TraceScope &scope) override;
    // The first flow-control filter that accepts canId.
    bool flowRoute(uint32_t canId, uint8_t extAddr, FlowRoute &route) override;

    // The flow-control id of the first flow-control filter that accepts canId,
    // 0 when none does; on a match writes the addressing of our flow control.
    uint32_t getFlowId(uint32_t canId, uint8_t extAddr, uint8_t *pExtFlag, uint8_t *pExtAddr);

    // Lets the identifiers of every listed filter through the acceptance of
    // a port that was opened again.
    void reopenAcceptance();
    // Removes every filter, as a J2534 host expects of a disconnect.
    void removeAll();

    // For the PDU trace: the address byte of every pass filter that takes canId.
    std::vector<uint8_t> passAddresses(uint32_t canId, TraceScope &scope);

    // One side of a filter start: the identifier a message carries and, with
    // extended addressing, the address byte behind it.
    struct Side {
        uint32_t canId = 0;
        uint8_t extFlag = 0;
        uint8_t extAddr = 0;
    };

private:
    // The record of list with this pattern (and address byte, with extFlag),
    // its use count raised by increment; null when there is none.
    FilterRecord *shareExisting(FilterList &list, int32_t increment, uint32_t pattern, uint8_t extFlag,
                                uint8_t extAddr);
    bool removeFilter(FilterList &list, int32_t &count, uint32_t filterId);
    void appendFilter(FilterList &list, int32_t &count, std::unique_ptr<FilterRecord> record);
    bool startPassFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask, const Side &pattern, uint32_t flowId,
                         TraceScope &scope);
    void startBlockFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask, const Side &pattern, const Side &flow,
                          TraceScope &scope);
    bool startFlowFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask, const Side &pattern, const Side &flow,
                         TraceScope &scope);
    void shareExtAddrWithPassFilters(const FilterRecord &flowRecord, TraceScope &scope);
    uint32_t abandonStart(uint16_t filterId);

    CanPort &m_port;
    const std::atomic<int32_t> &m_ExtAddressing;
    const bool m_fieldProfile;

    // Guards every change and every walk of the three lists; only the
    // trace's locks are taken inside it, and no call leaves the module while
    // it is held.
    NamedLock m_filterLock;
    uint16_t m_NextFilterId = 0;
    FilterList m_passFilter;
    int32_t m_passFilterCount = 0;
    FilterList m_blockFilter;
    int32_t m_blockFilterCount = 0;
    FilterList m_flowFilter;
    int32_t m_flowFilterCount = 0;
};

#endif
