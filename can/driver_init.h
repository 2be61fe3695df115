// Bringing the one CAN channel on line.
#ifndef PT_CAN_DRIVER_INIT_H
#define PT_CAN_DRIVER_INIT_H

#include <atomic>
#include <cstdint>

#include "can/xl_api.h"

extern std::atomic<XLportHandle> m_PortHandle;
extern std::atomic<XLaccess> m_ChannelMask;
extern XLaccess m_PermissionMask;
extern XLdriverConfig g_XlDriverConfig;

// 0 on success, 8 (ERR_DEVICE_NOT_CONNECTED) on any failure.
int16_t vectorInitDriver(uint32_t bitrate);
void demoPrintConfig();

#endif
