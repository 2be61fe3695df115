// The fourteen exported J2534 04.04 functions: each forwards to the module.
#include "j2534_tools/calls.h"
#include "j2534_0404.h"
#include "platform/callconv.h"

extern "C" {

PT_DLL_EXPORT uint32_t PTAPI PassThruOpen(void *pName, uint32_t *pDeviceID) {
    return calls0404::Open(pName, pDeviceID);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruClose(uint32_t DeviceID) { return calls0404::Close(DeviceID); }

PT_DLL_EXPORT uint32_t PTAPI PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags, uint32_t BaudRate,
                                             uint32_t *pChannelID) {
    return calls0404::Connect(DeviceID, ProtocolID, Flags, BaudRate, pChannelID);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruDisconnect(uint32_t ChannelID) { return calls0404::Disconnect(ChannelID); }

PT_DLL_EXPORT uint32_t PTAPI PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                              uint32_t Timeout) {
    return calls0404::ReadMsgs(ChannelID, pMsg, pNumMsgs, Timeout);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs,
                                               uint32_t Timeout) {
    return calls0404::WriteMsgs(ChannelID, pMsg, pNumMsgs, Timeout);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pMsgID,
                                                      uint32_t TimeInterval) {
    return calls0404::StartPeriodicMsg(ChannelID, pMsg, pMsgID, TimeInterval);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID) {
    return calls0404::StopPeriodicMsg(ChannelID, MsgID);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, PASSTHRU_MSG *pMaskMsg,
                                                    PASSTHRU_MSG *pPatternMsg, PASSTHRU_MSG *pFlowControlMsg,
                                                    uint32_t *pFilterID) {
    return calls0404::StartMsgFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg, pFilterID);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID) {
    return calls0404::StopMsgFilter(ChannelID, FilterID);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber, uint32_t Voltage) {
    return calls0404::SetProgrammingVoltage(DeviceID, PinNumber, Voltage);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruReadVersion(uint32_t DeviceID, char *pFirmwareVersion, char *pDllVersion,
                                                 char *pApiVersion) {
    return calls0404::ReadVersion(DeviceID, pFirmwareVersion, pDllVersion, pApiVersion);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruGetLastError(char *pErrorDescription) {
    return calls0404::GetLastError(pErrorDescription);
}

PT_DLL_EXPORT uint32_t PTAPI PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput) {
    return calls0404::Ioctl(ChannelID, IoctlID, pInput, pOutput);
}

}  // extern "C"
