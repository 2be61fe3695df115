// The twelve exported J2534 functions: each forwards to the module object.
// In a process without the server module (Linux only: a shared object cannot
// refuse to load) there is none, and the library answers as a device that is
// not there.
#include <cstring>

#include "diag_server/module.h"
#include "j2534.h"
#include "platform/callconv.h"
#include "trace/trace_scope.h"

namespace {

template <typename Call>
uint32_t WithModule(Call call) {
    CPassThruModule *module = TheModule();
    return module ? call(*module) : ERR_DEVICE_NOT_CONNECTED;
}

uint32_t NotSupported(const char *scopeName) {
    PT_SCOPE(scope, scopeName);
    return ERR_NOT_SUPPORTED;
}

}  // namespace

extern "C" {

PT_DLL_EXPORT uint32_t PTAPI PassThruConnect(uint32_t ProtocolID, uint32_t Flags, uint32_t *pChannelID) {
    return WithModule([&](CPassThruModule &m) { return m.PassThruConnect(ProtocolID, Flags, pChannelID); });
}

PT_DLL_EXPORT uint32_t PTAPI PassThruDisconnect(uint32_t ChannelID) {
    return WithModule([&](CPassThruModule &m) { return m.PassThruDisconnect(ChannelID); });
}

PT_DLL_EXPORT uint32_t PTAPI PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                              uint32_t Timeout) {
    return WithModule([&](CPassThruModule &m) { return m.PassThruReadMsgs(ChannelID, pMsg, pNumMsgs, Timeout); });
}

PT_DLL_EXPORT uint32_t PTAPI PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                               uint32_t Timeout) {
    return WithModule([&](CPassThruModule &m) { return m.PassThruWriteMsgs(ChannelID, pMsg, pNumMsgs, Timeout); });
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStartPeriodicMsg(uint32_t, PASSTHRU_MSG *, uint32_t *, uint32_t) {
    return NotSupported("PassThruStartPeriodicMsg()");
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStopPeriodicMsg(uint32_t, uint32_t) {
    return NotSupported("PassThruStopPeriodicMsg()");
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG *pMaskMsg,
                                                    PASSTHRU_MSG *pPatternMsg, PASSTHRU_MSG *pFlowControlMsg,
                                                    uint32_t *pFilterID) {
    return WithModule([&](CPassThruModule &m) {
        return m.PassThruStartMsgFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg, pFilterID);
    });
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStopMsgFilter(uint32_t ChannelID, uint32_t MsgID) {
    return WithModule([&](CPassThruModule &m) { return m.PassThruStopMsgFilter(ChannelID, MsgID); });
}

PT_DLL_EXPORT uint32_t PTAPI PassThruSetProgrammingVoltage(uint32_t, uint32_t) {
    return NotSupported("PassThruSetProgrammingVoltage()");
}

PT_DLL_EXPORT uint32_t PTAPI PassThruReadVersion(char *pFirmwareVersion, char *pDllVersion, char *pApiVersion) {
    CPassThruModule *module = TheModule();
    if (module) return module->PassThruReadVersion(pFirmwareVersion, pDllVersion, pApiVersion);
    // Inert: no versions to tell, but the caller's buffers hold valid texts.
    for (char *out : {pFirmwareVersion, pDllVersion, pApiVersion})
        if (out) *out = '\0';
    return pFirmwareVersion && pDllVersion && pApiVersion ? STATUS_NOERROR : ERR_NULL_PARAMETER;
}

PT_DLL_EXPORT uint32_t PTAPI PassThruGetLastError(char *) { return NotSupported("PassThruGetLastError()"); }

PT_DLL_EXPORT uint32_t PTAPI PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput) {
    return WithModule([&](CPassThruModule &m) { return m.PassThruIoctl(ChannelID, IoctlID, pInput, pOutput); });
}

}  // extern "C"
