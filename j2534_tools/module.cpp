#include "j2534_tools/module.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/lock_guard.h"
#include "trace/trace_scope.h"

namespace {

constexpr char kDllVersion[] = "00.16";
constexpr char kApiVersion[] = "04.04";
constexpr uint32_t kChannelShift = 8;
constexpr uint32_t kSlotMask = 0xFF;

// Per thread, the reason of its last failure: always a text of the
// library's own (a literal), so the slot holds the pointer. It lives from
// load to unload, with the module.
plat::ThreadSlot g_lastError;

struct StatusName {
    uint32_t status;
    const char *name;
};
constexpr StatusName kStatusNames[] = {
    {STATUS_NOERROR, "STATUS_NOERROR"},
    {ERR_NOT_SUPPORTED, "ERR_NOT_SUPPORTED"},
    {ERR_INVALID_CHANNEL_ID, "ERR_INVALID_CHANNEL_ID"},
    {ERR_INVALID_PROTOCOL_ID, "ERR_INVALID_PROTOCOL_ID"},
    {ERR_NULL_PARAMETER, "ERR_NULL_PARAMETER"},
    {ERR_INVALID_IOCTL_VALUE, "ERR_INVALID_IOCTL_VALUE"},
    {ERR_INVALID_FLAGS, "ERR_INVALID_FLAGS"},
    {ERR_FAILED, "ERR_FAILED"},
    {ERR_DEVICE_NOT_CONNECTED, "ERR_DEVICE_NOT_CONNECTED"},
    {ERR_TIMEOUT, "ERR_TIMEOUT"},
    {ERR_INVALID_MSG, "ERR_INVALID_MSG"},
    {ERR_INVALID_TIME_INTERVAL, "ERR_INVALID_TIME_INTERVAL"},
    {ERR_EXCEEDED_LIMIT, "ERR_EXCEEDED_LIMIT"},
    {ERR_INVALID_MSG_ID, "ERR_INVALID_MSG_ID"},
    {ERR_DEVICE_IN_USE, "ERR_DEVICE_IN_USE"},
    {ERR_INVALID_IOCTL_ID, "ERR_INVALID_IOCTL_ID"},
    {ERR_BUFFER_EMPTY, "ERR_BUFFER_EMPTY"},
    {ERR_BUFFER_FULL, "ERR_BUFFER_FULL"},
    {ERR_BUFFER_OVERFLOW, "ERR_BUFFER_OVERFLOW"},
    {ERR_PIN_INVALID, "ERR_PIN_INVALID"},
    {ERR_CHANNEL_IN_USE, "ERR_CHANNEL_IN_USE"},
    {ERR_MSG_PROTOCOL_ID, "ERR_MSG_PROTOCOL_ID"},
    {ERR_INVALID_FILTER_ID, "ERR_INVALID_FILTER_ID"},
    {ERR_NO_FLOW_CONTROL, "ERR_NO_FLOW_CONTROL"},
    {ERR_NOT_UNIQUE, "ERR_NOT_UNIQUE"},
    {ERR_INVALID_BAUDRATE, "ERR_INVALID_BAUDRATE"},
    {ERR_INVALID_DEVICE_ID, "ERR_INVALID_DEVICE_ID"},
};

const char *NameOf(uint32_t status) {
    for (const StatusName &s : kStatusNames)
        if (s.status == status) return s.name;
    return "unknown status";
}

void SetUpTraceLevels(Tracer &tracer, int32_t verbosity) {
    tracer.addCategories(kTraceCategory);
    tracer.addLevels(TL_FATALERROR | TL_ERROR);
    AttachTraceLevel("FATALERROR", TL_FATALERROR, &tracer);
    AttachTraceLevel("ERROR", TL_ERROR, &tracer);
    if (verbosity == 0) return;
    tracer.addLevels(TL_INFO);
    if (verbosity >= 2) {
        AttachTraceLevel("WARNING", TL_WARNING, &tracer);
        AttachTraceLevel("INFO", TL_INFO, &tracer);
        AttachTraceLevel("MODULE", TL_MODULE, &tracer);
        AttachTraceLevel("FUNCTION", TL_FUNCTION, &tracer);
    }
}

// A call's end: a failure is traced as an ERROR line with its reason and
// kept for PassThruGetLastError.
uint32_t Finish(TraceScope &scope, const char *call, uint32_t status, const char *why) {
    if (status == STATUS_NOERROR) return status;
    scope.messagef(TL_ERROR, "%s %s: %s", call, NameOf(status), why ? why : "");
    return SetLastError0404(status, why);
}

}  // namespace

uint32_t SetLastError0404(uint32_t status, const char *text) {
    g_lastError.set(reinterpret_cast<uintptr_t>(text && text[0] ? text : NameOf(status)));
    return status;
}

const char *LastError0404() {
    const char *text = reinterpret_cast<const char *>(g_lastError.get());
    return text ? text : "";
}

CPassThruModule0404::CPassThruModule0404(const Settings0404 &settings, const std::string &traceDir)
    : m_settings(settings) {
    g_lastError.create();
    const std::string dir = traceDir.empty() ? std::string() : traceDir + plat::kPathSeparator;
    m_traceFile.reset(new TraceFile((dir + "pt_vector0404.log").c_str(), 1, 1, 1));
    m_tracer = std::make_unique<Tracer>();
    m_tracer->attach(m_traceFile.get());
    SetActiveTracer(m_tracer.get());
    m_tracer->setMaxDepth(10);
    SetUpTraceLevels(*m_tracer, m_settings.traceSettings & 15);
    if (m_settings.traceSettings & 0x10) {
        m_pduTrace = std::make_unique<TraceFile>((dir + "pdu_trace0404.log").c_str(), 1, 0, 0);
        m_pduTrace->writePduLine(" pt_vector0404 00.16 loaded, PDU trace on");
    }
    PT_SCOPE(scope, "pt_vector0404 loaded");
    scope.messagef(TL_INFO, "J2534 04.04 on Vector XL, field profile %s", m_settings.profile.on ? "on" : "off");
    TraceRejectedSettings(m_settings, scope);
}

CPassThruModule0404::~CPassThruModule0404() {
    m_tracer->detach(m_traceFile.get());
    SetActiveTracer(nullptr);
    g_lastError.destroy();
}

void CPassThruModule0404::closeLeftOpen(bool processEnding) {
    for (uint32_t i = 0; i < kMaxDevices; ++i) {
        std::shared_ptr<Device0404> gone;
        {
            LockGuard guard(m_lock);
            gone = std::move(m_devices[i]);
        }
        if (!gone) continue;
        PT_SCOPE(scope, "DLL Close without PassThruClose() closing it !!!");
        gone->unloading();
        gone->close(processEnding);
    }
}

std::shared_ptr<Device0404> CPassThruModule0404::device(uint32_t deviceId) {
    LockGuard guard(m_lock);
    if (deviceId == 0 || deviceId > kMaxDevices) return nullptr;
    return m_devices[deviceId - 1];
}

CPassThruModule0404::HeldChannel CPassThruModule0404::channel(uint32_t channelId) {
    HeldChannel held;
    held.device = device(channelId >> kChannelShift);
    const uint32_t slot = channelId & kSlotMask;
    if (held.device && slot != 0) held.channel = held.device->channel(slot - 1);
    return held;
}

uint32_t CPassThruModule0404::PassThruOpen(const char *pName, uint32_t *pDeviceID) {
    PT_SCOPE(scope, "PassThruOpen()");
    if (!pDeviceID) return Finish(scope, "PassThruOpen", ERR_NULL_PARAMETER, "pDeviceID is a NULL pointer");
    auto created = std::make_shared<Device0404>(
        DeviceSettings{&m_settings.port, &m_settings.profile, m_pduTrace.get(), &m_driverSession});
    // The driver is asked outside the module's lock; a device found open
    // already is closed again.
    const char *why = nullptr;
    uint32_t status = created->open(pName, &why);
    if (status != STATUS_NOERROR) return Finish(scope, "PassThruOpen", status, why);
    uint32_t slot = kMaxDevices;
    {
        LockGuard guard(m_lock);
        bool inUse = false;
        for (uint32_t i = 0; i < kMaxDevices; ++i) {
            inUse = inUse || (m_devices[i] && m_devices[i]->channelMask() == created->channelMask());
            if (!m_devices[i] && slot == kMaxDevices) slot = i;
        }
        if (inUse) {
            status = ERR_DEVICE_IN_USE;
            why = "that Vector channel is already open";
        } else if (slot == kMaxDevices) {
            status = ERR_EXCEEDED_LIMIT;
            why = "8 devices already open";
        } else {
            m_devices[slot] = created;
        }
    }
    if (status != STATUS_NOERROR) {
        created->close(false);
        return Finish(scope, "PassThruOpen", status, why);
    }
    *pDeviceID = slot + 1;
    scope.messagef(TL_INFO, "PassThruOpen DeviceID=%u \"%s\"", static_cast<unsigned>(slot + 1),
                   created->channelName().c_str());
    return STATUS_NOERROR;
}

uint32_t CPassThruModule0404::PassThruClose(uint32_t DeviceID) {
    PT_SCOPE(scope, "PassThruClose()");
    std::shared_ptr<Device0404> gone;
    {
        LockGuard guard(m_lock);
        if (DeviceID >= 1 && DeviceID <= kMaxDevices) gone = std::move(m_devices[DeviceID - 1]);
    }
    if (!gone) return Finish(scope, "PassThruClose", ERR_INVALID_DEVICE_ID, "no open device of that DeviceID");
    gone->close(false);
    scope.messagef(TL_INFO, "PassThruClose DeviceID=%u", static_cast<unsigned>(DeviceID));
    return STATUS_NOERROR;
}

uint32_t CPassThruModule0404::PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags,
                                              uint32_t BaudRate, uint32_t *pChannelID) {
    PT_SCOPE(scope, "PassThruConnect()");
    scope.messagef(TL_INFO, "PassThruConnect DeviceID=%u ProtocolID=%u Flags=%08X BaudRate=%u",
                   static_cast<unsigned>(DeviceID), static_cast<unsigned>(ProtocolID), static_cast<unsigned>(Flags),
                   static_cast<unsigned>(BaudRate));
    std::shared_ptr<Device0404> dev = device(DeviceID);
    if (!dev) return Finish(scope, "PassThruConnect", ERR_INVALID_DEVICE_ID, "no open device of that DeviceID");
    if (!pChannelID) return Finish(scope, "PassThruConnect", ERR_NULL_PARAMETER, "pChannelID is a NULL pointer");
    const char *why = nullptr;
    uint32_t slot = 0;
    const uint32_t status = dev->connect(ProtocolID, Flags, BaudRate, &slot, scope, &why);
    if (status != STATUS_NOERROR) return Finish(scope, "PassThruConnect", status, why);
    *pChannelID = (DeviceID << kChannelShift) | (slot + 1);
    scope.messagef(TL_INFO, "PassThruConnect ChannelID=%u", static_cast<unsigned>(*pChannelID));
    return STATUS_NOERROR;
}

uint32_t CPassThruModule0404::PassThruDisconnect(uint32_t ChannelID) {
    PT_SCOPE(scope, "PassThruDisconnect()");
    const HeldChannel held = channel(ChannelID);
    if (!held) return Finish(scope, "PassThruDisconnect", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    held.device->disconnect((ChannelID & kSlotMask) - 1);
    return STATUS_NOERROR;
}

uint32_t CPassThruModule0404::PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                               uint32_t Timeout) {
    PT_SCOPE(scope, "PassThruReadMsgs()");
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruReadMsgs", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    if (!pMsg || !pNumMsgs)
        return Finish(scope, "PassThruReadMsgs", ERR_NULL_PARAMETER, "pMsg or pNumMsgs is a NULL pointer");
    const char *why = nullptr;
    const uint32_t status = ch->read(pMsg, pNumMsgs, Timeout, &why);
    // An empty queue is the usual answer to a poll: no ERROR line for it.
    if (status == ERR_BUFFER_EMPTY) return SetLastError0404(status, why);
    return Finish(scope, "PassThruReadMsgs", status, why);
}

uint32_t CPassThruModule0404::PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                                uint32_t Timeout) {
    PT_SCOPE(scope, "PassThruWriteMsgs()");
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruWriteMsgs", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    if (!pMsg || !pNumMsgs)
        return Finish(scope, "PassThruWriteMsgs", ERR_NULL_PARAMETER, "pMsg or pNumMsgs is a NULL pointer");
    const char *why = nullptr;
    // A write that waited for the bus while its channel ended returns at once.
    const uint32_t status = ch->statusAfterEnd(ch->write(pMsg, pNumMsgs, Timeout, scope, &why), &why);
    return Finish(scope, "PassThruWriteMsgs", status, why);
}

uint32_t CPassThruModule0404::PassThruStartPeriodicMsg(uint32_t ChannelID, const PASSTHRU_MSG *pMsg,
                                                       uint32_t *pMsgID, uint32_t TimeInterval) {
    PT_SCOPE(scope, "PassThruStartPeriodicMsg()");
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruStartPeriodicMsg", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    if (!pMsg || !pMsgID)
        return Finish(scope, "PassThruStartPeriodicMsg", ERR_NULL_PARAMETER, "pMsg or pMsgID is a NULL pointer");
    const char *why = nullptr;
    const uint32_t status = ch->startPeriodic(*pMsg, TimeInterval, pMsgID, &why);
    return Finish(scope, "PassThruStartPeriodicMsg", status, why);
}

uint32_t CPassThruModule0404::PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID) {
    PT_SCOPE(scope, "PassThruStopPeriodicMsg()");
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruStopPeriodicMsg", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    const char *why = nullptr;
    const uint32_t status = ch->stopPeriodic(MsgID, &why);
    return Finish(scope, "PassThruStopPeriodicMsg", status, why);
}

uint32_t CPassThruModule0404::PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType,
                                                     const PASSTHRU_MSG *pMaskMsg, const PASSTHRU_MSG *pPatternMsg,
                                                     const PASSTHRU_MSG *pFlowControlMsg, uint32_t *pFilterID) {
    PT_SCOPE(scope, "PassThruStartMsgFilter()");
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruStartMsgFilter", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    if (!pMaskMsg || !pPatternMsg || !pFilterID)
        return Finish(scope, "PassThruStartMsgFilter", ERR_NULL_PARAMETER,
                      "pMaskMsg, pPatternMsg or pFilterID is a NULL pointer");
    const char *why = nullptr;
    const uint32_t status = ch->startFilter(FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg, pFilterID, &why);
    return Finish(scope, "PassThruStartMsgFilter", status, why);
}

uint32_t CPassThruModule0404::PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID) {
    PT_SCOPE(scope, "PassThruStopMsgFilter()");
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruStopMsgFilter", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    const char *why = nullptr;
    const uint32_t status = ch->stopFilter(FilterID, &why);
    return Finish(scope, "PassThruStopMsgFilter", status, why);
}

uint32_t CPassThruModule0404::PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t, uint32_t) {
    PT_SCOPE(scope, "PassThruSetProgrammingVoltage()");
    if (!device(DeviceID))
        return Finish(scope, "PassThruSetProgrammingVoltage", ERR_INVALID_DEVICE_ID, "no open device of that DeviceID");
    return Finish(scope, "PassThruSetProgrammingVoltage", ERR_NOT_SUPPORTED,
                  "a Vector CAN interface has no programming voltage");
}

uint32_t CPassThruModule0404::PassThruReadVersion(uint32_t DeviceID, char *pFirmwareVersion, char *pDllVersion,
                                                  char *pApiVersion) {
    PT_SCOPE(scope, "PassThruReadVersion()");
    std::shared_ptr<Device0404> dev = device(DeviceID);
    if (!dev) return Finish(scope, "PassThruReadVersion", ERR_INVALID_DEVICE_ID, "no open device of that DeviceID");
    if (!pFirmwareVersion || !pDllVersion || !pApiVersion)
        return Finish(scope, "PassThruReadVersion", ERR_NULL_PARAMETER, "a version buffer is a NULL pointer");
    // The driver's version, as its configuration tells it, stands for the firmware.
    const uint32_t driver = dev->port().driverConfig().dllVersion;
    std::snprintf(pFirmwareVersion, 80, "%u.%u.%u", static_cast<unsigned>(driver >> 24),
                  static_cast<unsigned>((driver >> 16) & 0xFF), static_cast<unsigned>(driver & 0xFFFF));
    std::snprintf(pDllVersion, 80, "%s", kDllVersion);
    std::snprintf(pApiVersion, 80, "%s", kApiVersion);
    return STATUS_NOERROR;
}

uint32_t CPassThruModule0404::ioctlConfig(Channel0404 &ch, uint32_t ioctlId, SCONFIG_LIST *list, TraceScope &scope) {
    const char *call = ioctlId == GET_CONFIG ? "PassThruIoctl GET_CONFIG" : "PassThruIoctl SET_CONFIG";
    if (!list || (list->NumOfParams > 0 && !list->ConfigPtr))
        return Finish(scope, call, ERR_NULL_PARAMETER, "pInput or its ConfigPtr is a NULL pointer");
    for (uint32_t i = 0; i < list->NumOfParams; ++i) {
        SCONFIG &param = list->ConfigPtr[i];
        const char *why = nullptr;
        const uint32_t status = ioctlId == GET_CONFIG ? ch.getConfig(param, &why) : ch.setConfig(param, scope, &why);
        scope.messagef(TL_INFO, "%s Parameter=0x%02X Value=%u", call, static_cast<unsigned>(param.Parameter),
                       static_cast<unsigned>(param.Value));
        if (status != STATUS_NOERROR) return Finish(scope, call, status, why);
    }
    return STATUS_NOERROR;
}

uint32_t CPassThruModule0404::PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput) {
    PT_SCOPE(scope, "PassThruIoctl()");
    // READ_VBATT and READ_PROG_VOLTAGE name a device, every other one a channel.
    if (IoctlID == READ_VBATT || IoctlID == READ_PROG_VOLTAGE) {
        if (!device(ChannelID))
            return Finish(scope, "PassThruIoctl", ERR_INVALID_DEVICE_ID, "no open device of that DeviceID");
        if (!pOutput) return Finish(scope, "PassThruIoctl", ERR_NULL_PARAMETER, "pOutput is a NULL pointer");
        return Finish(scope, "PassThruIoctl", ERR_NOT_SUPPORTED, "a Vector CAN interface cannot measure voltages");
    }
    const HeldChannel ch = channel(ChannelID);
    if (!ch) return Finish(scope, "PassThruIoctl", ERR_INVALID_CHANNEL_ID, "no channel of that ChannelID");
    switch (IoctlID) {
        case GET_CONFIG:
        case SET_CONFIG: return ioctlConfig(*ch.channel, IoctlID, static_cast<SCONFIG_LIST *>(pInput), scope);
        case CLEAR_TX_BUFFER: ch->clearTx(); return STATUS_NOERROR;
        case CLEAR_RX_BUFFER: ch->clearRx(); return STATUS_NOERROR;
        case CLEAR_PERIODIC_MSGS: ch->clearPeriodic(); return STATUS_NOERROR;
        case CLEAR_MSG_FILTERS: ch->clearFilters(); return STATUS_NOERROR;
        default: return Finish(scope, "PassThruIoctl", ERR_INVALID_IOCTL_ID, "IoctlID not served on this channel");
    }
}
