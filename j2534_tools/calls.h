// The fourteen 04.04 calls as the exported functions forward them, seen
// without either J2534 header, so that the unit defining the exports sees the
// 04.04 prototypes only. Each answers ERR_DEVICE_NOT_CONNECTED (or, for
// PassThruGetLastError, a text saying so) while no module exists.
#ifndef PT_J2534_TOOLS_CALLS_H
#define PT_J2534_TOOLS_CALLS_H

#include <cstdint>

struct PASSTHRU_MSG;

namespace calls0404 {

uint32_t Open(const void *name, uint32_t *deviceId);
uint32_t Close(uint32_t deviceId);
uint32_t Connect(uint32_t deviceId, uint32_t protocolId, uint32_t flags, uint32_t baudRate, uint32_t *channelId);
uint32_t Disconnect(uint32_t channelId);
uint32_t ReadMsgs(uint32_t channelId, PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeout);
uint32_t WriteMsgs(uint32_t channelId, PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeout);
uint32_t StartPeriodicMsg(uint32_t channelId, const PASSTHRU_MSG *msg, uint32_t *msgId, uint32_t interval);
uint32_t StopPeriodicMsg(uint32_t channelId, uint32_t msgId);
uint32_t StartMsgFilter(uint32_t channelId, uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                        const PASSTHRU_MSG *flow, uint32_t *filterId);
uint32_t StopMsgFilter(uint32_t channelId, uint32_t filterId);
uint32_t SetProgrammingVoltage(uint32_t deviceId, uint32_t pin, uint32_t voltage);
uint32_t ReadVersion(uint32_t deviceId, char *firmware, char *dll, char *api);
uint32_t GetLastError(char *description);
uint32_t Ioctl(uint32_t channelId, uint32_t ioctlId, void *input, void *output);

}  // namespace calls0404

#endif
