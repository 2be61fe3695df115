// The 04.04 library's one module object: created by the load handler,
// destroyed by the unload handler; it owns the settings read from
// pt_vector0404.ini, the trace files and the devices, and carries out the
// fourteen exported functions.
#ifndef PT_J2534_TOOLS_MODULE_H
#define PT_J2534_TOOLS_MODULE_H

#include <cstdint>
#include <memory>
#include <string>

#include "j2534_tools/device.h"
#include "j2534_tools/passthru_defs.h"
#include "can/can_port.h"
#include "can/library_settings.h"
#include "platform/named_lock.h"
#include "trace/trace_file.h"
#include "trace/tracer.h"
#include "can/field_profile.h"

class TraceScope;

// Section "PT_VECTOR" of pt_vector0404.ini, read once at load by the reader
// both libraries share; the field profile is on unless FIELDPROFILE=0.
using Settings0404 = LibrarySettings;

constexpr uint32_t kMaxDevices = 8;

class CPassThruModule0404 {
public:
    // traceDir: the directory of "pt_vector0404.log" and its PDU trace.
    CPassThruModule0404(const Settings0404 &settings, const std::string &traceDir);
    ~CPassThruModule0404();
    CPassThruModule0404(const CPassThruModule0404 &) = delete;
    CPassThruModule0404 &operator=(const CPassThruModule0404 &) = delete;

    uint32_t PassThruOpen(const char *pName, uint32_t *pDeviceID);
    uint32_t PassThruClose(uint32_t DeviceID);
    uint32_t PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                             uint32_t *pChannelID);
    uint32_t PassThruDisconnect(uint32_t ChannelID);
    uint32_t PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
    uint32_t PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
    uint32_t PassThruStartPeriodicMsg(uint32_t ChannelID, const PASSTHRU_MSG *pMsg, uint32_t *pMsgID,
                                      uint32_t TimeInterval);
    uint32_t PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
    uint32_t PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, const PASSTHRU_MSG *pMaskMsg,
                                    const PASSTHRU_MSG *pPatternMsg, const PASSTHRU_MSG *pFlowControlMsg,
                                    uint32_t *pFilterID);
    uint32_t PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID);
    uint32_t PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage);
    uint32_t PassThruReadVersion(uint32_t DeviceID, char *pFirmwareVersion, char *pDllVersion, char *pApiVersion);
    uint32_t PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput);

    // The unload handler's part: devices the tool left open are closed.
    void closeLeftOpen(bool processEnding);

private:
    // A channel and its device, both held for the length of a call: a Close
    // or Disconnect on another thread frees neither under it.
    struct HeldChannel {
        std::shared_ptr<Device0404> device;
        std::shared_ptr<Channel0404> channel;
        explicit operator bool() const { return channel != nullptr; }
        Channel0404 *operator->() const { return channel.get(); }
    };
    std::shared_ptr<Device0404> device(uint32_t deviceId);
    HeldChannel channel(uint32_t channelId);
    uint32_t ioctlConfig(Channel0404 &channel, uint32_t ioctlId, SCONFIG_LIST *list, TraceScope &scope);

    const Settings0404 m_settings;
    std::unique_ptr<TraceFile> m_traceFile;
    std::unique_ptr<Tracer> m_tracer;
    std::unique_ptr<TraceFile> m_pduTrace;

    // The driver, opened while any device's port is open; outlives the devices.
    XlDriverSession m_driverSession;
    NamedLock m_lock;  // guards m_devices
    std::shared_ptr<Device0404> m_devices[kMaxDevices];
};

// The module object between load and unload, null before and after.
CPassThruModule0404 *TheModule0404();

// Records the text PassThruGetLastError gives for the calling thread's last
// failing call; status passes through. A status without a text gets its name.
uint32_t SetLastError0404(uint32_t status, const char *text);
// The calling thread's text; "" while no call of it failed.
const char *LastError0404();

#endif
