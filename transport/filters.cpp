#include "transport/filters.h"

#include <cstdio>
#include <memory>

#include "api/msg_dump.h"
#include "can/driver_init.h"
#include "can/xl_binding.h"
#include "j2534.h"
#include "platform/callconv.h"
#include "trace/lock_guard.h"
#include "trace/trace_scope.h"

namespace {

// Mask DataSize: identifier only, or identifier and extended-address byte.
constexpr uint32_t kFilterIdOnly = 4;
constexpr uint32_t kFilterWithExtAddr = 5;
constexpr uint32_t kExtAddrIndex = 4;

struct FilterSide {
    uint32_t canId = 0;
    uint8_t extFlag = 0;
    uint8_t extAddr = 0;
};

FilterSide readSide(const PASSTHRU_MSG *msg, bool withExtAddr, const char *label,
                    TraceScope &scope) {
    FilterSide side;
    if (!msg) return side;
    side.canId = canIdFromBytes(msg->Data);
    if (withExtAddr) {
        side.extFlag = 1;
        side.extAddr = msg->Data[kExtAddrIndex];
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "%s ExtendedAdressing set for adress =%04x ", label,
                           side.extAddr);
    }
    return side;
}

std::unique_ptr<FilterRecord> makeRecord(uint16_t filterId, uint16_t protocolId,
                                         uint32_t pattern, uint32_t mask, uint32_t flowId,
                                         const FilterSide &ext) {
    auto record = std::make_unique<FilterRecord>();
    record->filterId = filterId;
    record->protocolId = protocolId;
    record->pattern = pattern;
    record->mask = mask;
    record->flowId = flowId;
    record->b_ExtendedAdress = ext.extFlag;
    record->b_ExtendedAdressRx = ext.extAddr;
    return record;
}

void appendFilter(FilterList &list, int32_t &count, std::unique_ptr<FilterRecord> record) {
    list.push_back(std::move(record));
    ++count;
}

// Lets one identifier through the hardware acceptance filter. Called
// without m_filterLock: a driver call is never made while it is held.
void openHardwareAcceptance(uint32_t canId, const char *kind, uint32_t failLevel,
                            TraceScope &scope) {
    const XLportHandle port = m_PortHandle;
    const XLaccess channelMask = m_ChannelMask;
    const XlDriverBinding &xl = XlDriver();
    const XLstatus status = xl.xlCanAddAcceptanceRange(port, channelMask, canId, canId);
    if (status != XL_SUCCESS) {
        if (failLevel != TL_INFO || scope.isEnabled())
            scope.messagef(failLevel, "xlCanSetChannelAcceptance FAILED!!!! 0x%04X %s",
                           static_cast<unsigned>(static_cast<int>(status)),
                           xl.xlGetErrorString(status));
    } else if (scope.isEnabled()) {
        scope.messagef(TL_INFO, "Vector hard %s Filter added canid=0x%04X port=0x%04X CM=0x%04X ",
                       kind, static_cast<unsigned>(canId), static_cast<unsigned>(port),
                       static_cast<unsigned>(channelMask & 0xFFFFFFFFu));
    }
}

// Pass filter: shared by pattern and extended-address byte. True when a new
// record was added, so the identifier still needs the hardware.
bool startPassFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask,
                     const FilterSide &pattern, uint32_t flowId, TraceScope &scope) {
    if (isFilterAlreadyUsed(theModule.m_passFilter, 1, pattern.canId, pattern.extFlag,
                            pattern.extAddr)) {
        if (scope.isEnabled()) scope.message("Pass Filter reused...", TL_INFO);
        return false;
    }
    appendFilter(theModule.m_passFilter, theModule.m_passFilterCount,
                 makeRecord(filterId, protocolId, pattern.canId, mask, flowId, pattern));
    if (scope.isEnabled()) scope.message("Pass Filter added", TL_INFO);
    return true;
}

// Block filter: matched by its pattern alone unless the flow-control message
// carried an extended-address byte. Never touches the hardware.
void startBlockFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask,
                      const FilterSide &pattern, const FilterSide &flow, TraceScope &scope) {
    if (isFilterAlreadyUsed(theModule.m_blockFilter, 1, pattern.canId, flow.extFlag,
                            pattern.extAddr)) {
        if (scope.isEnabled()) scope.message("Block Filter added...", TL_INFO);
        return;
    }
    auto record = makeRecord(filterId, protocolId, pattern.canId, mask, flow.canId, pattern);
    if (theModule.m_ExtAddressing != 0) {
        record->b_ExtendedAdressRx = static_cast<uint8_t>(flow.canId);
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "ORV-Extadressing Rx (block) Id = %04x",
                           static_cast<unsigned>(flow.canId));
    }
    appendFilter(theModule.m_blockFilter, theModule.m_blockFilterCount, std::move(record));
    if (scope.isEnabled()) scope.message("Block Filter added", TL_INFO);
}

// In the maker's extended addressing the responder's frames carry the low
// byte of our flow id: every pass filter of the pattern learns it, and a
// pattern without a pass filter gets one.
void shareExtAddrWithPassFilters(const FilterRecord &flowRecord, TraceScope &scope) {
    bool updated = false;
    for (auto &pass : theModule.m_passFilter) {
        if (pass->pattern != flowRecord.pattern) continue;
        pass->b_ExtendedAdressRx = flowRecord.b_ExtendedAdressRx;
        updated = true;
        if (scope.isEnabled()) scope.message("Updated passfilter b_ExtendedAdressRx!!", TL_INFO);
    }
    if (updated) return;
    appendFilter(theModule.m_passFilter, theModule.m_passFilterCount,
                 std::make_unique<FilterRecord>(flowRecord));
    if (scope.isEnabled()) scope.message("Inserted passfilter", TL_INFO);
}

// Flow-control filter: shared by pattern and the flow message's address
// byte. True when a new record was added.
bool startFlowFilter(uint16_t filterId, uint16_t protocolId, uint32_t mask,
                     const FilterSide &pattern, const FilterSide &flow, TraceScope &scope) {
    FilterRecord *record = isFilterAlreadyUsed(theModule.m_flowFilter, 1, pattern.canId,
                                               flow.extFlag, flow.extAddr);
    const bool added = record == nullptr;
    if (record) {
        if (scope.isEnabled()) scope.message("m_flowFilter reused...", TL_INFO);
    } else {
        theModule.m_flowFilter.push_back(
            makeRecord(filterId, protocolId, pattern.canId, mask, flow.canId, flow));
        ++theModule.m_flowFilterCount;
        record = theModule.m_flowFilter.back().get();
        if (scope.isEnabled()) scope.message("Flow Filter added", TL_INFO);
    }
    if (theModule.m_ExtAddressing != 0) {
        record->b_ExtendedAdressRx = static_cast<uint8_t>(flow.canId);
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "ORV-Extadressing Rx (flowFilter) Id = %04x",
                           static_cast<unsigned>(record->flowId));
        shareExtAddrWithPassFilters(*record, scope);
    }
    return added;
}

}  // namespace

uint32_t canIdFromBytes(const uint8_t *bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

FilterRecord *isFilterAlreadyUsed(FilterList &list, int32_t increment, uint32_t pattern,
                                  uint8_t extFlag, uint8_t extAddr) {
    char name[80];
    std::snprintf(name, sizeof name, "isFilterAlreadyUsed() 0x%04X e=%d adr=0x%02X inc=%d",
                  static_cast<unsigned>(pattern), extFlag, extAddr, static_cast<int>(increment));
    PT_SCOPE(scope, name);
    for (auto &record : list) {
        if (record->pattern != pattern) continue;
        if (extFlag) {
            if (record->b_ExtendedAdressRx != extAddr) continue;
            if (scope.isEnabled()) scope.message("Matched with Ext", TL_INFO);
        }
        record->useCount += increment;
        if (scope.isEnabled()) scope.messagef(TL_INFO, "found now %d", record->useCount);
        return record.get();
    }
    return nullptr;
}

bool removeFilter(FilterList &list, int32_t &count, uint32_t filterId) {
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
        if (scope.isEnabled())
            scope.messagef(TL_INFO, "passFilter removed left %ld", static_cast<long>(count));
        return true;
    }
    return false;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruStartMsgFilter(
    uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG *pMaskMsg, PASSTHRU_MSG *pPatternMsg,
    PASSTHRU_MSG *pFlowControlMsg, uint32_t *pFilterID) {
    PT_SCOPE(scope, "PassThruStartMsgFilter()");
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "ChannelID=%08lx FilterType=%08lx ",
                       static_cast<unsigned long>(ChannelID), static_cast<unsigned long>(FilterType));
    TracePassThruMsg(pMaskMsg, "MaskMsg", scope);
    TracePassThruMsg(pPatternMsg, "PatternMsg", scope);
    TracePassThruMsg(pFlowControlMsg, "FlowControlMsg", scope);

    if (!pMaskMsg ||
        (pMaskMsg->DataSize != kFilterIdOnly && pMaskMsg->DataSize != kFilterWithExtAddr))
        return ERR_INVALID_MSG;
    const bool withExtAddr = pMaskMsg->DataSize == kFilterWithExtAddr;
    const uint32_t mask = canIdFromBytes(pMaskMsg->Data);
    if (withExtAddr && scope.isEnabled())
        scope.messagef(TL_INFO, "pMaskMsg ExtendedAdressing set for adress =%04x ",
                       pMaskMsg->Data[kExtAddrIndex]);
    if (!pPatternMsg) return ERR_INVALID_MSG;
    if (!pFilterID) {
        scope.message("PassThruStartMsgFilter pFilterID is a NULL pointer", TL_ERROR);
        return ERR_NULL_PARAMETER;
    }
    const FilterSide pattern = readSide(pPatternMsg, withExtAddr, "pPatternMsg", scope);
    const FilterSide flow = readSide(pFlowControlMsg, withExtAddr, "pFlowControlMsg", scope);
    const uint16_t protocolId = static_cast<uint16_t>(pMaskMsg->ProtocolID & 0xFF);

    bool openPattern = false;
    bool openFlow = false;
    {
        LockGuard filterGuard(m_filterLock);
        const uint16_t filterId = ++theModule.m_NextFilterId;
        *pFilterID = filterId;
        scope.messagef(TL_INFO, "pMsgID=%08lx mask=%08lx canID=%08lx flowID=%08lx",
                       static_cast<unsigned long>(filterId), static_cast<unsigned long>(mask),
                       static_cast<unsigned long>(pattern.canId),
                       static_cast<unsigned long>(flow.canId));
        switch (FilterType) {
        case PASS_FILTER:
            openPattern = startPassFilter(filterId, protocolId, mask, pattern, flow.canId, scope);
            break;
        case BLOCK_FILTER:
            startBlockFilter(filterId, protocolId, mask, pattern, flow, scope);
            break;
        case FLOW_CONTROL_FILTER:
            openFlow = startFlowFilter(filterId, protocolId, mask, pattern, flow, scope);
            break;
        default:
            return ERR_NOT_SUPPORTED;
        }
    }
    if (openPattern) openHardwareAcceptance(pattern.canId, "Pass", TL_ERROR, scope);
    if (openFlow) openHardwareAcceptance(flow.canId, "Flow", TL_INFO, scope);
    return STATUS_NOERROR;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruStopMsgFilter(uint32_t ChannelID, uint32_t MsgID) {
    PT_SCOPE(scope, "PassThruStopMsgFilter()");
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "ChannelID=%08lx MsgID=%08lx ",
                       static_cast<unsigned long>(ChannelID), static_cast<unsigned long>(MsgID));
    LockGuard filterGuard(m_filterLock);
    if (removeFilter(theModule.m_passFilter, theModule.m_passFilterCount, MsgID) ||
        removeFilter(theModule.m_blockFilter, theModule.m_blockFilterCount, MsgID) ||
        removeFilter(theModule.m_flowFilter, theModule.m_flowFilterCount, MsgID))
        return STATUS_NOERROR;
    if (scope.isEnabled()) scope.message("Filter not found !!!", TL_INFO);
    return ERR_NOT_SUPPORTED;
}
