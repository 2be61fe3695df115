#include "transport/filters.h"

#include <cstdio>
#include <memory>

#include "can/can_port.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/msg_id.h"
#include "transport/null_parameter.h"

namespace {

// Mask DataSize: identifier only, or identifier and extended-address byte.
constexpr uint32_t kFilterIdOnly = 4;
constexpr uint32_t kFilterWithExtAddr = 5;
constexpr uint32_t kExtAddrIndex = 4;
constexpr uint32_t kGroupFilterSize = 5;
constexpr uint32_t kStandardIdMask = 0x7FF;

using FilterSide = MessageFilters::Side;

FilterSide ReadSide(const PASSTHRU_MSG *msg, bool withExtAddr, const char *label, TraceScope &scope) {
    FilterSide side;
    if (!msg) return side;
    side.canId = canIdFromBytes(msg->Data);
    if (withExtAddr) {
        side.extFlag = 1;
        side.extAddr = msg->Data[kExtAddrIndex];
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "%s ExtendedAdressing set for adress =%04x ", label, side.extAddr);
    }
    return side;
}

std::unique_ptr<FilterRecord> MakeRecord(uint16_t filterId, uint16_t protocolId, uint32_t pattern, uint32_t mask,
                                         uint32_t flowId, const FilterSide &ext) {
    auto record = std::make_unique<FilterRecord>();
    record->filterId = filterId;
    record->protocolId = protocolId;
    record->pattern = pattern;
    record->mask = mask;
    record->flowId = flowId;
    record->extFlag = ext.extFlag;
    record->extAddr = ext.extAddr;
    return record;
}

// A filter message for the group's starts: ISO15765, canId in Data[2..3],
// extAddr in Data[4] (and ISO15765_ADDR_TYPE when it is non-zero).
PASSTHRU_MSG GroupFilterMsg(uint32_t canId, uint8_t extAddr) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = ISO15765;
    msg.DataSize = kGroupFilterSize;
    canIdToBytes(canId & 0xFFFF, msg.Data);
    msg.Data[kExtAddrIndex] = extAddr;
    if (extAddr != 0) msg.TxFlags = ISO15765_ADDR_TYPE;
    return msg;
}

}  // namespace

void MessageFilters::appendFilter(FilterList &list, int32_t &count, std::unique_ptr<FilterRecord> record) {
    list.push_back(std::move(record));
    ++count;
}

// Pass filter: shared by pattern and extended-address byte. True when a new
// record was added, so the identifier still needs the hardware.
bool MessageFilters::startPassFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask, const FilterSide &pattern,
                                     uint32_t flowId, TraceScope &scope) {
    if (shareExisting(m_passFilter, 1, pattern.canId, pattern.extFlag, pattern.extAddr)) {
        if (scope.isEnabled()) scope.message("Pass Filter reused...", TL_INFO);
        return false;
    }
    appendFilter(m_passFilter, m_passFilterCount,
                 MakeRecord(filterId, protocolId, pattern.canId, mask, flowId, pattern));
    if (scope.isEnabled()) scope.message("Pass Filter added", TL_INFO);
    return true;
}

// Block filter: matched by its pattern alone unless the flow-control message
// carried an extended-address byte. Never touches the hardware. Block
// filters are kept and counted but the receive analysis does not consult
// them: only the pass filters decide what reaches the host, as the
// diagnostic server expects of this library.
void MessageFilters::startBlockFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask, const FilterSide &pattern,
                                      const FilterSide &flow, TraceScope &scope) {
    if (shareExisting(m_blockFilter, 1, pattern.canId, flow.extFlag, pattern.extAddr)) {
        if (scope.isEnabled()) scope.message("Block Filter added...", TL_INFO);
        return;
    }
    auto record = MakeRecord(filterId, protocolId, pattern.canId, mask, flow.canId, pattern);
    if (m_ExtAddressing != 0) {
        record->extAddr = static_cast<uint8_t>(flow.canId);
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "ORV-Extadressing Rx (block) Id = %04x", static_cast<unsigned>(flow.canId));
    }
    appendFilter(m_blockFilter, m_blockFilterCount, std::move(record));
    if (scope.isEnabled()) scope.message("Block Filter added", TL_INFO);
}

// In the maker's extended addressing the responder's frames carry the low
// byte of our flow id: every pass filter of the pattern learns it, and a
// pattern without a pass filter gets one.
void MessageFilters::shareExtAddrWithPassFilters(const FilterRecord &flowRecord, TraceScope &scope) {
    bool updated = false;
    for (auto &pass : m_passFilter) {
        if (pass->pattern != flowRecord.pattern) continue;
        pass->extAddr = flowRecord.extAddr;
        updated = true;
        if (scope.isEnabled()) scope.message("Updated passfilter b_ExtendedAdressRx!!", TL_INFO);
    }
    if (updated) return;
    appendFilter(m_passFilter, m_passFilterCount, std::make_unique<FilterRecord>(flowRecord));
    if (scope.isEnabled()) scope.message("Inserted passfilter", TL_INFO);
}

// Flow-control filter: shared by pattern and the flow message's address
// byte. True when a new record was added.
bool MessageFilters::startFlowFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask, const FilterSide &pattern,
                                     const FilterSide &flow, TraceScope &scope) {
    FilterRecord *record = shareExisting(m_flowFilter, 1, pattern.canId, flow.extFlag, flow.extAddr);
    const bool added = record == nullptr;
    if (record) {
        if (scope.isEnabled()) scope.message("m_flowFilter reused...", TL_INFO);
    } else {
        m_flowFilter.push_back(MakeRecord(filterId, protocolId, pattern.canId, mask, flow.canId, flow));
        ++m_flowFilterCount;
        record = m_flowFilter.back().get();
        if (scope.isEnabled()) scope.message("Flow Filter added", TL_INFO);
    }
    if (m_ExtAddressing != 0) {
        record->extAddr = static_cast<uint8_t>(flow.canId);
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "ORV-Extadressing Rx (flowFilter) Id = %04x",
                           static_cast<unsigned>(record->flowId));
        shareExtAddrWithPassFilters(*record, scope);
    }
    return added;
}

FilterRecord *MessageFilters::shareExisting(FilterList &list, int32_t increment, uint32_t pattern,
                                                  uint8_t extFlag, uint8_t extAddr) {
    char name[80];
    std::snprintf(name, sizeof name, "isFilterAlreadyUsed() 0x%04X e=%d adr=0x%02X inc=%d",
                  static_cast<unsigned>(pattern), extFlag, extAddr, static_cast<int>(increment));
    PT_SCOPE(scope, name);
    for (auto &record : list) {
        if (record->pattern != pattern) continue;
        if (extFlag) {
            if (record->extAddr != extAddr) continue;
            if (scope.isEnabled()) scope.message("Matched with Ext", TL_INFO);
        }
        record->useCount += increment;
        if (scope.isEnabled()) scope.messagef(TL_INFO, "found now %d", record->useCount);
        return record.get();
    }
    return nullptr;
}

bool MessageFilters::removeFilter(FilterList &list, int32_t &count, uint32_t filterId) {
    PT_SCOPE(scope, "removeFilter");
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->filterId != filterId) continue;
        if ((*it)->useCount > 1) {
            --(*it)->useCount;
            if (scope.isEnabled()) scope.message("decremted", TL_INFO);
        } else {
            list.erase(it);
            --count;
        }
        if (scope.isEnabled()) scope.messagef(TL_INFO, "passFilter removed left %ld", static_cast<long>(count));
        return true;
    }
    return false;
}

uint32_t MessageFilters::PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, const PASSTHRU_MSG *pMaskMsg,
                                                const PASSTHRU_MSG *pPatternMsg, const PASSTHRU_MSG *pFlowControlMsg,
                                                uint32_t *pFilterID) {
    PT_SCOPE(scope, "PassThruStartMsgFilter()");
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "ChannelID=%08lx FilterType=%08lx ", static_cast<unsigned long>(ChannelID),
                       static_cast<unsigned long>(FilterType));
    TracePassThruMsg(pMaskMsg, "MaskMsg", scope);
    TracePassThruMsg(pPatternMsg, "PatternMsg", scope);
    TracePassThruMsg(pFlowControlMsg, "FlowControlMsg", scope);

    if (!pMaskMsg || (pMaskMsg->DataSize != kFilterIdOnly && pMaskMsg->DataSize != kFilterWithExtAddr))
        return ERR_INVALID_MSG;
    const bool withExtAddr = pMaskMsg->DataSize == kFilterWithExtAddr;
    const uint32_t mask = canIdFromBytes(pMaskMsg->Data);
    if (withExtAddr && scope.isEnabled())
        scope.messagef(TL_INFO, "pMaskMsg ExtendedAdressing set for adress =%04x ", pMaskMsg->Data[kExtAddrIndex]);
    if (!pPatternMsg) return ERR_INVALID_MSG;
    if (!pFilterID) {
        return NullParameter(scope, "PassThruStartMsgFilter pFilterID");
    }
    const FilterSide pattern = ReadSide(pPatternMsg, withExtAddr, "pPatternMsg", scope);
    const FilterSide flow = ReadSide(pFlowControlMsg, withExtAddr, "pFlowControlMsg", scope);
    const uint16_t protocolId = static_cast<uint16_t>(pMaskMsg->ProtocolID & 0xFF);

    bool openPattern = false;
    bool openFlow = false;
    uint16_t filterId = 0;
    {
        LockGuard filterGuard(m_filterLock);
        filterId = ++m_NextFilterId;
        *pFilterID = filterId;
        scope.messagef(TL_INFO, "pMsgID=%08lx mask=%08lx canID=%08lx flowID=%08lx",
                       static_cast<unsigned long>(filterId), static_cast<unsigned long>(mask),
                       static_cast<unsigned long>(pattern.canId), static_cast<unsigned long>(flow.canId));
        switch (FilterType) {
            case PASS_FILTER:
                openPattern = startPassFilter(filterId, protocolId, mask, pattern, flow.canId, scope);
                break;
            case BLOCK_FILTER: startBlockFilter(filterId, protocolId, mask, pattern, flow, scope); break;
            case FLOW_CONTROL_FILTER:
                openFlow = startFlowFilter(filterId, protocolId, mask, pattern, flow, scope);
                break;
            default: return ERR_NOT_SUPPORTED;
        }
    }
    if (openPattern && !m_port.openAcceptance(pattern.canId, "Pass", TL_ERROR, scope) && m_fieldProfile)
        return abandonStart(filterId);
    if (openFlow && !m_port.openAcceptance(flow.canId, "Flow", m_fieldProfile ? TL_ERROR : TL_INFO, scope) &&
        m_fieldProfile)
        return abandonStart(filterId);
    return STATUS_NOERROR;
}

// The field profile's answer to a start whose identifier the driver refused:
// the records it added go again (a flow-control filter may have added a pass
// filter too), so that the host's next start is a new one.
uint32_t MessageFilters::abandonStart(uint16_t filterId) {
    LockGuard filterGuard(m_filterLock);
    removeFilter(m_passFilter, m_passFilterCount, filterId);
    removeFilter(m_flowFilter, m_flowFilterCount, filterId);
    return ERR_FAILED;
}

uint32_t MessageFilters::PassThruStopMsgFilter(uint32_t ChannelID, uint32_t MsgID) {
    PT_SCOPE(scope, "PassThruStopMsgFilter()");
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "ChannelID=%08lx MsgID=%08lx ", static_cast<unsigned long>(ChannelID),
                       static_cast<unsigned long>(MsgID));
    LockGuard filterGuard(m_filterLock);
    if (removeFilter(m_passFilter, m_passFilterCount, MsgID) ||
        removeFilter(m_blockFilter, m_blockFilterCount, MsgID) || removeFilter(m_flowFilter, m_flowFilterCount, MsgID))
        return STATUS_NOERROR;
    if (scope.isEnabled()) scope.message("Filter not found !!!", TL_INFO);
    return ERR_NOT_SUPPORTED;
}

void MessageFilters::startGroupFilters(uint32_t channelId, uint32_t requestId, const std::vector<uint32_t> &respIds,
                                       TraceScope &scope) {
    scope.message("Prepare filter for FG", TL_INFO);
    for (uint32_t respId : respIds) {
        const PASSTHRU_MSG pattern = GroupFilterMsg(respId, static_cast<uint8_t>(requestId));
        const PASSTHRU_MSG mask = GroupFilterMsg(kStandardIdMask, 0xFF);
        const PASSTHRU_MSG flow = GroupFilterMsg(requestId, static_cast<uint8_t>(respId));
        uint32_t filterId = 0;
        PassThruStartMsgFilter(channelId, PASS_FILTER, &mask, &pattern, &flow, &filterId);
        PassThruStartMsgFilter(channelId, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filterId);
    }
}

PassResult MessageFilters::accept(const CanFrame &frame, IsoTpAddress &addr, TraceScope &scope) {
    LockGuard filterGuard(m_filterLock);
    if (m_passFilterCount < 1) return PassResult::NoFilters;
    bool accepted = false;
    for (const auto &filter : m_passFilter) {
        if ((frame.id & filter->mask) != filter->pattern) continue;
        if (!filter->extFlag) {
            if (scope.isEnabled()) scope.message("Normal Adress does machtch!", TL_INFO);
        } else if (frame.byteAt(0) == filter->extAddr) {
            addr.extFlag = 1;
            addr.extAddr = filter->extAddr;
            if (scope.isEnabled()) scope.message("b_ExtendedAdress does machtch!", TL_INFO);
        } else {
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "b_ExtendedAdress does not machtch! %04x %04x", frame.byteAt(0),
                               filter->extAddr);
            continue;
        }
        accepted = true;
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "PASS Frame: passed %04X %04X %04X %04X",
                           static_cast<unsigned>(frame.id & filter->mask), static_cast<unsigned>(frame.id),
                           static_cast<unsigned>(filter->mask), static_cast<unsigned>(filter->pattern));
    }
    return accepted ? PassResult::Accepted : PassResult::Rejected;
}

uint32_t MessageFilters::getFlowId(uint32_t canId, uint8_t extAddr, uint8_t *pExtFlag, uint8_t *pExtAddr) {
    PT_SCOPE(scope, "getFlowId()");
    LockGuard filterGuard(m_filterLock);
    if (m_flowFilterCount < 1 || m_flowFilter.empty()) return 0;
    for (const auto &filter : m_flowFilter) {
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "Frame: %04X CanID=%04X ext=%02X mask=%04X can=%04X FlowID=%04X",
                           static_cast<unsigned>(canId & filter->mask), static_cast<unsigned>(canId), extAddr,
                           static_cast<unsigned>(filter->mask), static_cast<unsigned>(filter->pattern),
                           static_cast<unsigned>(filter->flowId));
        if ((canId & filter->mask) != filter->pattern) continue;
        *pExtFlag = filter->extFlag;
        *pExtAddr = filter->extAddr;
        if (m_ExtAddressing != 0) {
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "ORV Useing canid %04X (%d)", static_cast<unsigned>(canId),
                               static_cast<int>(canId));
            *pExtAddr = static_cast<uint8_t>(canId);
        }
        if (!filter->extFlag) {
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "Found with normal CanID %04X (%d)", static_cast<unsigned>(filter->flowId),
                               static_cast<int>(filter->flowId));
            return filter->flowId;
        }
        if (extAddr == filter->extAddr) {
            // The answer's address byte is the sender's: the low byte of its id.
            *pExtAddr = static_cast<uint8_t>(canId);
            if (scope.isEnabled())
                scope.messagef(TL_INFO, "Found with ext CanID %04X (%d) ext=%02x",
                               static_cast<unsigned>(filter->flowId), static_cast<int>(filter->flowId),
                               static_cast<unsigned>(canId & 0xFF));
            return filter->flowId;
        }
    }
    return 0;
}

std::vector<uint8_t> MessageFilters::passAddresses(uint32_t canId, TraceScope &scope) {
    std::vector<uint8_t> addresses;
    LockGuard filterGuard(m_filterLock);
    if (m_passFilterCount > 0) {
        scope.messagef(TL_INFO, "Actual pass filter %d ", static_cast<int>(m_passFilterCount));
        for (const auto &filter : m_passFilter)
            if ((filter->mask & canId) == filter->pattern) addresses.push_back(filter->extAddr);
    }
    return addresses;
}

void MessageFilters::reopenAcceptance() {
    PT_SCOPE(scope, "reopenAcceptance()");
    std::vector<uint32_t> passIds, flowIds;
    {
        LockGuard filterGuard(m_filterLock);
        for (const auto &filter : m_passFilter) passIds.push_back(filter->pattern);
        for (const auto &filter : m_flowFilter) flowIds.push_back(filter->flowId);
    }
    scope.messagef(TL_INFO, "Port opened again: acceptance for %d pass and %d flow filters",
                   static_cast<int>(passIds.size()), static_cast<int>(flowIds.size()));
    for (uint32_t id : passIds) m_port.openAcceptance(id, "Pass", TL_ERROR, scope);
    for (uint32_t id : flowIds) m_port.openAcceptance(id, "Flow", TL_INFO, scope);
}

void MessageFilters::removeAll() {
    PT_SCOPE(scope, "removeAll()");
    LockGuard filterGuard(m_filterLock);
    const int32_t count = m_passFilterCount + m_blockFilterCount + m_flowFilterCount;
    m_passFilter.clear();
    m_blockFilter.clear();
    m_flowFilter.clear();
    m_passFilterCount = m_blockFilterCount = m_flowFilterCount = 0;
    scope.messagef(TL_INFO, "%d filters removed", static_cast<int>(count));
}

bool MessageFilters::flowRoute(uint32_t canId, uint8_t extAddr, FlowRoute &route) {
    route.canId = getFlowId(canId, extAddr, &route.addr.extFlag, &route.addr.extAddr);
    route.pad = true;
    return route.canId != 0;
}
