#include "can/driver_init.h"

#include <cinttypes>

#include "api/module.h"
#include "can/xl_binding.h"
#include "j2534.h"
#include "trace/trace_scope.h"

std::atomic<XLportHandle> m_PortHandle{XL_INVALID_PORTHANDLE};
std::atomic<XLaccess> m_ChannelMask{0};
XLaccess m_PermissionMask = 0;
XLdriverConfig g_XlDriverConfig = {};

namespace {

// The name under which the driver's application configuration and port
// ownership are kept; the driver takes it as a mutable string.
char kApplicationName[] = "zyn_pt_vector";
constexpr unsigned int kApplicationChannel = 0;
constexpr unsigned int kReceiveQueueSize = 256;
constexpr unsigned int kNoHardwareIndex = 0xFFFFFFFFu;
constexpr XLulong kFirstStandardId = 0x001;
constexpr XLulong kLastStandardId = 0x7FF;
constexpr XLulong kExtendedClosedCode = 0xFFF;
constexpr XLulong kExtendedClosedMask = 0xFFF;
// A virtual channel offers CAN and nothing else.
constexpr uint32_t kVirtualChannelCaps = XL_BUS_ACTIVE_CAP_CAN | XL_BUS_COMPATIBLE_CAN;

const char kRule[] = "----------------------------------------------------------";

uint32_t ListedChannels() {
    return g_XlDriverConfig.channelCount < XL_CONFIG_MAX_CHANNELS ? g_XlDriverConfig.channelCount
                                                                  : XL_CONFIG_MAX_CHANNELS;
}

// Every CAN channel of the configuration joins; virtual ones only when the
// configuration admits them, the one of ordinal m_bVirtual being the one
// reported as active.
XLaccess ScanChannels(TraceScope &scope) {
    const int32_t virtualOrdinal = theModule.m_bVirtual;
    XLaccess mask = 0;
    int32_t ordinal = 1;
    for (uint32_t i = 0; i < ListedChannels(); ++i) {
        const XLchannelConfig &channel = g_XlDriverConfig.channel[i];
        const uint32_t caps = channel.channelBusCapabilities;
        const char *note = "";
        if (caps == kVirtualChannelCaps) {
            if (virtualOrdinal > 0) {
                if (ordinal == virtualOrdinal && mask == 0) {
                    mask = channel.channelMask;
                    note = " Virtual active!";
                }
                ++ordinal;
                mask |= channel.channelMask;
            }
        } else if (caps & XL_BUS_ACTIVE_CAP_CAN) {
            mask |= channel.channelMask;
        }
        scope.messagef(TL_INFO, "- channelBusCapabilities %u CM=0x%" PRIx64 " cap=0x%08x%s", i,
                       static_cast<uint64_t>(channel.channelMask), caps, note);
    }
    return mask;
}

// Channels named by the application configuration, 0 when it names none.
XLaccess ConfiguredChannels(unsigned int hwType, unsigned int hwIndex, unsigned int hwChannel,
                            TraceScope &scope) {
    if (hwType == XL_HWTYPE_NONE || hwIndex == kNoHardwareIndex) return 0;
    const XLaccess mask = XlDriver().xlGetChannelMask(static_cast<int>(hwType), static_cast<int>(hwIndex),
                                                      static_cast<int>(hwChannel));
    if (mask == 0) return 0;
    scope.messagef(TL_INFO, "found hardware config");
    scope.messagef(TL_INFO, "- useing Hardware selected channel : CM=0x%" PRIx64, static_cast<uint64_t>(mask));
    return mask;
}

XLaccess ChooseChannels(TraceScope &scope) {
    const XlDriverBinding &xl = XlDriver();
    unsigned int hwType = 0;
    unsigned int hwIndex = 0;
    unsigned int hwChannel = 0;
    const XLstatus status =
        xl.xlGetApplConfig(kApplicationName, kApplicationChannel, &hwType, &hwIndex, &hwChannel, XL_BUS_TYPE_CAN);
    scope.messagef(TL_INFO, "- xlGetApplConfig       %s  : hwType %d hwIndex %d hwChannel %d %s", kApplicationName,
                   static_cast<int>(hwType), static_cast<int>(hwIndex), static_cast<int>(hwChannel),
                   XlErrorText(status));
    if (status != XL_SUCCESS) {
        scope.messagef(TL_ERROR, "failed xlGetApplConfig -> creating default config");
        const XLstatus setStatus = xl.xlSetApplConfig(kApplicationName, kApplicationChannel, XL_HWTYPE_CANCARDXL,
                                                      kNoHardwareIndex, 0, XL_BUS_TYPE_CAN);
        scope.messagef(TL_INFO, "- xlSetApplConfig       %s  : hwType %d hwIndex %d hwChannel %d %s",
                       kApplicationName, XL_HWTYPE_CANCARDXL, -1, 0, XlErrorText(setStatus));
        return ScanChannels(scope);
    }
    const XLaccess configured = ConfiguredChannels(hwType, hwIndex, hwChannel, scope);
    return configured != 0 ? configured : ScanChannels(scope);
}

int16_t FailInit(TraceScope &scope) {
    const XLportHandle port = m_PortHandle.load();
    if (port != XL_INVALID_PORTHANDLE) {
        XlDriver().xlClosePort(port);
        m_PortHandle = XL_INVALID_PORTHANDLE;
        scope.messagef(TL_ERROR, "Invalidating Port Handle");
    }
    return static_cast<int16_t>(ERR_DEVICE_NOT_CONNECTED);
}

}  // namespace

int16_t vectorInitDriver(uint32_t bitrate) {
    PT_SCOPE(scope, "vectorInitDriver()");
    scope.messagef(TL_INFO, "pt_vector 00.16 Vector XL driver initialisation");
    const XlDriverBinding &xl = XlDriver();

    if (xl.xlOpenDriver() != XL_SUCCESS) {
        scope.messagef(TL_INFO, "xlOpenDriver failed");
        return FailInit(scope);
    }
    if (xl.xlGetDriverConfig(&g_XlDriverConfig) != XL_SUCCESS) {
        scope.messagef(TL_INFO, "xlGetDriverConfig failed");
        return FailInit(scope);
    }
    demoPrintConfig();

    m_ChannelMask = 0;
    const XLaccess channels = ChooseChannels(scope);
    m_ChannelMask = channels;
    if (channels == 0) {
        scope.messagef(TL_INFO, "ERROR: no available channels found! (e.g. no CANcabs...)");
        return FailInit(scope);
    }

    m_PermissionMask = channels;
    XLportHandle port = m_PortHandle.load();
    XLstatus status = xl.xlOpenPort(&port, kApplicationName, channels, &m_PermissionMask, kReceiveQueueSize,
                                    XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN);
    m_PortHandle = port;
    scope.messagef(TL_INFO, "- OpenPort         : CM=0x%" PRIx64 ", PH=0x%02X, PM=0x%" PRIx64 ", %s",
                   static_cast<uint64_t>(channels), static_cast<unsigned int>(port),
                   static_cast<uint64_t>(m_PermissionMask), XlErrorText(status));
    if (status != XL_SUCCESS || port == XL_INVALID_PORTHANDLE) {
        scope.messagef(TL_ERROR, "XL_INVALID_PORTHANDLE failed");
        return FailInit(scope);
    }

    if (m_PermissionMask != channels) {
        if (theModule.m_bCooperative == 0) {
            scope.messagef(TL_ERROR, "permission failed");
            return FailInit(scope);
        }
        scope.messagef(TL_ERROR, "permission failed -> useing cooperative mode");
        m_PermissionMask = channels;
    }

    status = xl.xlCanSetChannelBitrate(port, channels, bitrate);
    scope.messagef(TL_INFO, "- SetChannelBitrate: CM=0x%" PRIx64 " baudr.=%u, %s", static_cast<uint64_t>(channels),
                   bitrate, XlErrorText(status));
    if (status != XL_SUCCESS) {
        if (theModule.m_bCooperative == 0) {
            scope.messagef(TL_ERROR, "set bitrate failed");
            return FailInit(scope);
        }
        scope.messagef(TL_ERROR, "set bitrate failed -> useing cooperative mode ignored");
    }

    status = xl.xlActivateChannel(port, channels, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK);
    scope.messagef(TL_INFO, "- ActivateChannel : CM(0x%" PRIx64 "), %s", static_cast<uint64_t>(channels),
                   XlErrorText(status));
    if (status != XL_SUCCESS) {
        if (theModule.m_bVirtual == 0) return FailInit(scope);
        scope.messagef(TL_INFO, "On Virtual it can be activeted!!!");
    }

    status = xl.xlCanRemoveAcceptanceRange(port, channels, kFirstStandardId, kLastStandardId);
    scope.messagef(TL_INFO, "- xlCanRemoveAcceptanceRange 0,7ff %s", XlErrorText(status));
    if (status != XL_SUCCESS) return FailInit(scope);

    // Extended identifiers stay closed until a filter asks for one.
    status = xl.xlCanSetChannelAcceptance(port, channels, kExtendedClosedCode, kExtendedClosedMask, XL_CAN_EXT);
    if (status != XL_SUCCESS) {
        scope.messagef(TL_ERROR, "xlCanSetChannelAcceptance disable all XL_CAN_EXT FAILED!!!!  0x%04X %s",
                       static_cast<int>(status), XlErrorText(status));
    } else {
        scope.messagef(TL_INFO, "Vector disabled all XL_CAN_EXT by default ");
    }
    return static_cast<int16_t>(STATUS_NOERROR);
}

void demoPrintConfig() {
    PT_SCOPE(scope, "demoPrintConfig() ");
    scope.messagef(TL_INFO, "%s", kRule);
    scope.messagef(TL_INFO, "- %02d channels       Hardware Configuration               -",
                   static_cast<int>(g_XlDriverConfig.channelCount));
    scope.messagef(TL_INFO, "%s", kRule);
    for (uint32_t i = 0; i < ListedChannels(); ++i) {
        const XLchannelConfig &channel = g_XlDriverConfig.channel[i];
        // The driver's texts need not be terminated: precisions bound every read.
        if (channel.transceiverType != XL_TRANSCEIVER_TYPE_NONE) {
            scope.messagef(TL_INFO, "- Ch.: %02d, CM:0x%3" PRIx64 ",  %20.32s ,%6d ,%08x  %3.13s -",
                           channel.channelIndex, static_cast<uint64_t>(channel.channelMask), channel.name,
                           static_cast<int>(channel.serialNumber), channel.channelBusCapabilities,
                           channel.transceiverName);
        } else {
            scope.messagef(TL_INFO, "- Ch.: %02d, CM:0x%3" PRIx64 ",  %20.32s ,%6d ,%08x  no Cab!       -",
                           channel.channelIndex, static_cast<uint64_t>(channel.channelMask), channel.name,
                           static_cast<int>(channel.serialNumber), channel.channelBusCapabilities);
        }
    }
    scope.messagef(TL_INFO, "%s", kRule);
}
