#include "j2534_tools/calls.h"

#include <cstdio>

#include "j2534_tools/module.h"

namespace {

template <typename Call>
uint32_t WithModule(Call call) {
    CPassThruModule0404 *module = TheModule0404();
    return module ? call(*module) : SetLastError0404(ERR_DEVICE_NOT_CONNECTED, "library not loaded");
}

}  // namespace

namespace calls0404 {

uint32_t Open(const void *name, uint32_t *deviceId) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruOpen(static_cast<const char *>(name), deviceId); });
}

uint32_t Close(uint32_t deviceId) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruClose(deviceId); });
}

uint32_t Connect(uint32_t deviceId, uint32_t protocolId, uint32_t flags, uint32_t baudRate, uint32_t *channelId) {
    return WithModule(
        [&](CPassThruModule0404 &m) { return m.PassThruConnect(deviceId, protocolId, flags, baudRate, channelId); });
}

uint32_t Disconnect(uint32_t channelId) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruDisconnect(channelId); });
}

uint32_t ReadMsgs(uint32_t channelId, PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeout) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruReadMsgs(channelId, msgs, num, timeout); });
}

uint32_t WriteMsgs(uint32_t channelId, PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeout) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruWriteMsgs(channelId, msgs, num, timeout); });
}

uint32_t StartPeriodicMsg(uint32_t channelId, const PASSTHRU_MSG *msg, uint32_t *msgId, uint32_t interval) {
    return WithModule(
        [&](CPassThruModule0404 &m) { return m.PassThruStartPeriodicMsg(channelId, msg, msgId, interval); });
}

uint32_t StopPeriodicMsg(uint32_t channelId, uint32_t msgId) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruStopPeriodicMsg(channelId, msgId); });
}

uint32_t StartMsgFilter(uint32_t channelId, uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                        const PASSTHRU_MSG *flow, uint32_t *filterId) {
    return WithModule([&](CPassThruModule0404 &m) {
        return m.PassThruStartMsgFilter(channelId, type, mask, pattern, flow, filterId);
    });
}

uint32_t StopMsgFilter(uint32_t channelId, uint32_t filterId) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruStopMsgFilter(channelId, filterId); });
}

uint32_t SetProgrammingVoltage(uint32_t deviceId, uint32_t pin, uint32_t voltage) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruSetProgrammingVoltage(deviceId, pin, voltage); });
}

uint32_t ReadVersion(uint32_t deviceId, char *firmware, char *dll, char *api) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruReadVersion(deviceId, firmware, dll, api); });
}

uint32_t GetLastError(char *description) {
    if (!description) return ERR_NULL_PARAMETER;
    // The caller's buffer holds 80 characters, the terminating NUL included.
    std::snprintf(description, 80, "%s", LastError0404());
    return STATUS_NOERROR;
}

uint32_t Ioctl(uint32_t channelId, uint32_t ioctlId, void *input, void *output) {
    return WithModule([&](CPassThruModule0404 &m) { return m.PassThruIoctl(channelId, ioctlId, input, output); });
}

}  // namespace calls0404
