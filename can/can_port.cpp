// Opening and closing the port: driver, channel choice, bit rate, activation
// and the hardware acceptance filter.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "can/can_port.h"
#include "j2534.h"
#include "platform/lock_guard.h"
#include "platform/platform.h"
#include "trace/trace_scope.h"

namespace {

// The name under which the driver's application configuration and port
// ownership are kept; the driver takes it as a mutable string.
char kApplicationName[] = "zyn_pt_vector";
constexpr unsigned int kApplicationChannel = 0;
constexpr unsigned kMinReceiveQueue = 16;
constexpr unsigned kMaxReceiveQueue = 32768;
constexpr unsigned kDefaultReceiveQueue = 256;
constexpr unsigned kFieldReceiveQueue = 2048;
constexpr unsigned int kNoHardwareIndex = 0xFFFFFFFFu;
constexpr XLulong kFirstStandardId = 0x001;
constexpr XLulong kLastStandardId = 0x7FF;
constexpr XLulong kExtendedClosedCode = 0xFFF;
constexpr XLulong kExtendedClosedMask = 0xFFF;
// A virtual channel offers CAN and nothing else.
constexpr uint32_t kVirtualChannelCaps = XL_BUS_ACTIVE_CAP_CAN | XL_BUS_COMPATIBLE_CAN;

const char kRule[] = "----------------------------------------------------------";

// The largest event an FD port's queue holds; its queue is sized in bytes.
constexpr unsigned kFdEventBytes = XL_CANFD_MAX_EVENT_SIZE;

// Bit timing of one phase for xlCanFdSetConfiguration. The driver's CAN FD
// clock runs at 80 MHz; python-can passes 10 time quanta a bit (SJW 2,
// TSEG1 6, TSEG2 3: sample point 70 %), which divides the clock for every
// rate up to 4 Mbit/s. A rate it does not divide takes the first count of
// quanta that does, the sample point kept near 70 %.
constexpr uint32_t kFdClockHz = 80000000;
constexpr uint32_t kQuantaChoices[] = {10, 8, 16, 20, 5};
struct PhaseTiming {
    uint32_t sjw, tseg1, tseg2;
};
PhaseTiming FdPhaseTiming(uint32_t rate) {
    for (uint32_t quanta : kQuantaChoices) {
        if (rate == 0 || kFdClockHz % (rate * quanta) != 0) continue;
        const uint32_t tseg2 = (quanta * 3 + 5) / 10;
        return PhaseTiming{tseg2 < 2 ? tseg2 : 2, quanta - 1 - tseg2, tseg2};
    }
    return PhaseTiming{2, 6, 3};
}

}  // namespace

uint32_t CanPort::listedChannels() const {
    return m_DriverConfig.channelCount < XL_CONFIG_MAX_CHANNELS ? m_DriverConfig.channelCount : XL_CONFIG_MAX_CHANNELS;
}

// Every CAN channel of the configuration joins; virtual ones only when the
// configuration admits them, the one of ordinal m_VirtualOrdinal being the one
// reported as active.
XLaccess CanPort::scanChannels(TraceScope &scope) {
    const int32_t virtualOrdinal = m_settings.m_VirtualOrdinal;
    XLaccess mask = 0;
    int32_t ordinal = 1;
    for (uint32_t i = 0; i < listedChannels(); ++i) {
        const XLchannelConfig &channel = m_DriverConfig.channel[i];
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
XLaccess CanPort::configuredChannels(unsigned hwType, unsigned hwIndex, unsigned hwChannel, TraceScope &scope) {
    if (hwType == XL_HWTYPE_NONE || hwIndex == kNoHardwareIndex) return 0;
    const XLaccess mask =
        xl().xlGetChannelMask(static_cast<int>(hwType), static_cast<int>(hwIndex), static_cast<int>(hwChannel));
    if (mask == 0) return 0;
    scope.messagef(TL_INFO, "found hardware config");
    scope.messagef(TL_INFO, "- useing Hardware selected channel : CM=0x%" PRIx64, static_cast<uint64_t>(mask));
    return mask;
}

XLaccess CanPort::chooseChannels(TraceScope &scope) {
    if (m_selectedMask != 0) return m_selectedMask;
    const XlDriverBinding &xl = this->xl();
    unsigned int hwType = 0;
    unsigned int hwIndex = 0;
    unsigned int hwChannel = 0;
    const XLstatus status =
        xl.xlGetApplConfig(kApplicationName, kApplicationChannel, &hwType, &hwIndex, &hwChannel, XL_BUS_TYPE_CAN);
    scope.messagef(TL_INFO, "- xlGetApplConfig       %s  : hwType %d hwIndex %d hwChannel %d %s", kApplicationName,
                   static_cast<int>(hwType), static_cast<int>(hwIndex), static_cast<int>(hwChannel),
                   xlErrorText(status));
    if (status != XL_SUCCESS) {
        scope.messagef(TL_ERROR, "failed xlGetApplConfig -> creating default config");
        const XLstatus setStatus = xl.xlSetApplConfig(kApplicationName, kApplicationChannel, XL_HWTYPE_CANCARDXL,
                                                      kNoHardwareIndex, 0, XL_BUS_TYPE_CAN);
        scope.messagef(TL_INFO, "- xlSetApplConfig       %s  : hwType %d hwIndex %d hwChannel %d %s", kApplicationName,
                       XL_HWTYPE_CANCARDXL, -1, 0, xlErrorText(setStatus));
        return scanChannels(scope);
    }
    const XLaccess configured = configuredChannels(hwType, hwIndex, hwChannel, scope);
    return configured != 0 ? configured : scanChannels(scope);
}

int16_t CanPort::failInit(TraceScope &scope) {
    m_fdDataRate = 0;
    const XLportHandle port = m_PortHandle.load();
    if (port != XL_INVALID_PORTHANDLE) {
        xl().xlClosePort(port);
        m_PortHandle = XL_INVALID_PORTHANDLE;
        scope.messagef(TL_ERROR, "Invalidating Port Handle");
    }
    return static_cast<int16_t>(ERR_DEVICE_NOT_CONNECTED);
}

unsigned CanPort::receiveQueueSize(TraceScope &scope) const {
    if (!m_profile.on) return kDefaultReceiveQueue;
    // The driver takes a power of two from 16 to 32768.
    const uint32_t size = m_profile.rxQueueSize;
    const bool powerOfTwo = size != 0 && (size & (size - 1)) == 0;
    if (powerOfTwo && size >= kMinReceiveQueue && size <= kMaxReceiveQueue) return size;
    scope.messagef(TL_ERROR, "RXQUEUE %u is no power of two from %u to %u, using %u", static_cast<unsigned>(size),
                   kMinReceiveQueue, kMaxReceiveQueue, kFieldReceiveQueue);
    return kFieldReceiveQueue;
}

unsigned CanPort::fdReceiveQueueBytes(TraceScope &scope) const {
    unsigned bytes = receiveQueueSize(scope) * kFdEventBytes;
    if (bytes < RX_FIFO_CANFD_QUEUE_SIZE_MIN) bytes = RX_FIFO_CANFD_QUEUE_SIZE_MIN;
    if (bytes > RX_FIFO_CANFD_QUEUE_SIZE_MAX) bytes = RX_FIFO_CANFD_QUEUE_SIZE_MAX;
    return bytes;
}

const XlDriverBinding &CanPort::bindDriver() {
    const XlDriverBinding *bound = m_xl.load(std::memory_order_acquire);
    if (bound != &MissingXlDriver()) return *bound;
    LockGuard initGuard(m_initLock);
    if (m_xl.load(std::memory_order_relaxed) == &MissingXlDriver()) {
        m_boundDriver = BindXlDriver(XlDriverFileName().c_str());
        m_xl.store(&m_boundDriver, std::memory_order_release);
    }
    return m_boundDriver;
}

const char *CanPort::xlErrorText(XLstatus status) const {
    const char *text = xl().xlGetErrorString(status);
    return text ? text : "";
}

uint32_t CanPort::reopen(uint32_t bitrate) { return reopen_(bitrate, 0); }

uint32_t CanPort::reopenFd(uint32_t arbitrationRate, uint32_t dataRate) {
    if (dataRate == 0) {
        PT_SCOPE(scope, "vectorInitDriver()");
        scope.messagef(TL_ERROR, "CAN FD open without a data-phase rate");
        return ERR_FAILED;
    }
    return reopen_(arbitrationRate, dataRate);
}

uint32_t CanPort::reopen_(uint32_t bitrate, uint32_t fdDataRate) {
    // Binding here, on the host's thread, lets the clean-up before the first
    // set-up talk to the driver instead of reporting it missing.
    bindDriver();
    LockGuard initGuard(m_initLock);
    cleanUp_();
    const int16_t result = vectorInitDriver(bitrate, fdDataRate);
    if (result != 0) return static_cast<uint32_t>(static_cast<uint16_t>(result));
    m_bitrate = bitrate;
    if (m_wantNotification) {
        PT_SCOPE(scope, "vectorSetNotification()");
        setUpNotification_(scope);
    }
    VectorSendWakeUp();
    return 0;
}

void CanPort::setUpNotification_(TraceScope &scope) {
    const XlDriverBinding &xl = this->xl();
    XLhandle handle = nullptr;
    const XLstatus status = xl.xlSetNotification(m_PortHandle.load(), &handle, 1);
    if (status == XL_ERR_DLL_NOT_FOUND) {
        scope.messagef(TL_INFO, "xlSetNotification not in the driver: the worker reads the port on its 1 ms beat");
        return;
    }
    void *copy = status == XL_SUCCESS ? plat::CopyDriverSignal(handle) : nullptr;
    if (!copy) {
        scope.messagef(TL_ERROR, "xlSetNotification failed (%s): the worker reads the port on its 1 ms beat",
                       status == XL_SUCCESS ? "no handle to wait on" : xlErrorText(status));
        return;
    }
    setDriverSignal(std::shared_ptr<void>(copy, plat::CloseDriverSignal));
    scope.messagef(TL_INFO, "- SetNotification  : PH(0x%x) queue level 1, the worker waits on it",
                   static_cast<unsigned int>(m_PortHandle.load()));
}

void CanPort::setDriverSignal(std::shared_ptr<void> signal) {
    LockGuard guard(m_signalLock);
    m_driverSignal = std::move(signal);
}

std::shared_ptr<void> CanPort::driverSignal() {
    LockGuard guard(m_signalLock);
    return m_driverSignal;
}

bool CanPort::channelsSupportFd(XLaccess channels, TraceScope &scope) const {
    bool all = true;
    for (uint32_t i = 0; i < listedChannels(); ++i) {
        const XLchannelConfig &channel = m_DriverConfig.channel[i];
        if (!(channel.channelMask & channels) || (channel.channelCapabilities & XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT))
            continue;
        scope.messagef(TL_ERROR, "channel \"%.32s\" CM=0x%" PRIx64 " has no ISO CAN FD (capabilities 0x%08x)",
                       channel.name, static_cast<uint64_t>(channel.channelMask),
                       static_cast<unsigned>(channel.channelCapabilities));
        all = false;
    }
    return all;
}

int16_t CanPort::configureFd(XLportHandle port, XLaccess channels, uint32_t bitrate, uint32_t dataRate,
                             TraceScope &scope) {
    const PhaseTiming arbitration = FdPhaseTiming(bitrate);
    const PhaseTiming data = FdPhaseTiming(dataRate);
    XLcanFdConf conf = {};
    conf.arbitrationBitRate = bitrate;
    conf.sjwAbr = arbitration.sjw;
    conf.tseg1Abr = arbitration.tseg1;
    conf.tseg2Abr = arbitration.tseg2;
    conf.dataBitRate = dataRate;
    conf.sjwDbr = data.sjw;
    conf.tseg1Dbr = data.tseg1;
    conf.tseg2Dbr = data.tseg2;
    const XLstatus status = xl().xlCanFdSetConfiguration(port, channels, &conf);
    scope.messagef(TL_INFO,
                   "- CanFdSetConfiguration: CM=0x%" PRIx64 " arbitration %u (%u/%u/%u) data %u (%u/%u/%u), %s",
                   static_cast<uint64_t>(channels), bitrate, arbitration.sjw, arbitration.tseg1, arbitration.tseg2,
                   dataRate, data.sjw, data.tseg1, data.tseg2, xlErrorText(status));
    if (status == XL_SUCCESS) return static_cast<int16_t>(STATUS_NOERROR);
    if (status == XL_ERR_DLL_NOT_FOUND) {
        scope.messagef(TL_ERROR, "xlCanFdSetConfiguration not in the driver: no CAN FD");
        failInit(scope);
        return static_cast<int16_t>(ERR_NOT_SUPPORTED);
    }
    if (m_settings.m_bCooperative != 0) {
        scope.messagef(TL_ERROR, "set CAN FD configuration failed -> useing cooperative mode ignored");
        return static_cast<int16_t>(STATUS_NOERROR);
    }
    scope.messagef(TL_ERROR, "set CAN FD configuration failed");
    return failInit(scope);
}

int16_t CanPort::vectorInitDriver(uint32_t bitrate, uint32_t fdDataRate) {
    PT_SCOPE(scope, "vectorInitDriver()");
    scope.messagef(TL_INFO, "pt_vector 00.16 Vector XL driver initialisation");
    const XlDriverBinding &xl = bindDriver();

    if (!m_driverJoined) m_driverJoined = m_session.join(xl);
    if (!m_driverJoined) {
        scope.messagef(TL_INFO, "xlOpenDriver failed");
        return failInit(scope);
    }
    if (xl.xlGetDriverConfig(&m_DriverConfig) != XL_SUCCESS) {
        scope.messagef(TL_INFO, "xlGetDriverConfig failed");
        return failInit(scope);
    }
    demoPrintConfig();

    m_ChannelMask = 0;
    const XLaccess channels = chooseChannels(scope);
    m_ChannelMask = channels;
    if (channels == 0) {
        scope.messagef(TL_INFO, "ERROR: no available channels found! (e.g. no CANcabs...)");
        return failInit(scope);
    }

    const bool fd = fdDataRate != 0;
    if (fd && !channelsSupportFd(channels, scope)) {
        failInit(scope);
        return static_cast<int16_t>(ERR_NOT_SUPPORTED);
    }

    m_PermissionMask = channels;
    XLportHandle port = m_PortHandle.load();
    XLstatus status =
        fd ? xl.xlOpenPort(&port, kApplicationName, channels, &m_PermissionMask, fdReceiveQueueBytes(scope),
                           XL_INTERFACE_VERSION_V4, XL_BUS_TYPE_CAN)
           : xl.xlOpenPort(&port, kApplicationName, channels, &m_PermissionMask, receiveQueueSize(scope),
                           XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN);
    m_PortHandle = port;
    // Its events are read and its frames sent by the CAN FD calls from now on.
    m_fdDataRate = status == XL_SUCCESS ? fdDataRate : 0;
    scope.messagef(TL_INFO, "- OpenPort         : CM=0x%" PRIx64 ", PH=0x%02X, PM=0x%" PRIx64 ", %s",
                   static_cast<uint64_t>(channels), static_cast<unsigned int>(port),
                   static_cast<uint64_t>(m_PermissionMask), xlErrorText(status));
    if (status != XL_SUCCESS || port == XL_INVALID_PORTHANDLE) {
        scope.messagef(TL_ERROR, "XL_INVALID_PORTHANDLE failed");
        return failInit(scope);
    }

    if (m_PermissionMask != channels) {
        if (m_settings.m_bCooperative == 0) {
            scope.messagef(TL_ERROR, "permission failed");
            return failInit(scope);
        }
        scope.messagef(TL_ERROR, "permission failed -> useing cooperative mode");
        m_PermissionMask = channels;
    }

    if (fd) {
        const int16_t configured = configureFd(port, channels, bitrate, fdDataRate, scope);
        if (configured != 0) return configured;
    } else {
        status = xl.xlCanSetChannelBitrate(port, channels, bitrate);
        scope.messagef(TL_INFO, "- SetChannelBitrate: CM=0x%" PRIx64 " baudr.=%u, %s",
                       static_cast<uint64_t>(channels), bitrate, xlErrorText(status));
    }
    if (!fd && status != XL_SUCCESS) {
        if (m_settings.m_bCooperative == 0) {
            scope.messagef(TL_ERROR, "set bitrate failed");
            return failInit(scope);
        }
        scope.messagef(TL_ERROR, "set bitrate failed -> useing cooperative mode ignored");
    }

    status = xl.xlActivateChannel(port, channels, XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK);
    scope.messagef(TL_INFO, "- ActivateChannel : CM(0x%" PRIx64 "), %s", static_cast<uint64_t>(channels),
                   xlErrorText(status));
    if (status != XL_SUCCESS) {
        if (m_settings.m_VirtualOrdinal == 0) return failInit(scope);
        scope.messagef(TL_INFO, "On Virtual it can be activeted!!!");
    }

    status = xl.xlCanRemoveAcceptanceRange(port, channels, kFirstStandardId, kLastStandardId);
    scope.messagef(TL_INFO, "- xlCanRemoveAcceptanceRange 0,7ff %s", xlErrorText(status));
    if (status != XL_SUCCESS) return failInit(scope);

    // Extended identifiers stay closed until a filter asks for one.
    status = xl.xlCanSetChannelAcceptance(port, channels, kExtendedClosedCode, kExtendedClosedMask, XL_CAN_EXT);
    if (status != XL_SUCCESS) {
        scope.messagef(TL_ERROR, "xlCanSetChannelAcceptance disable all XL_CAN_EXT FAILED!!!!  0x%04X %s",
                       static_cast<int>(status), xlErrorText(status));
    } else {
        scope.messagef(TL_INFO, "Vector disabled all XL_CAN_EXT by default ");
    }
    return static_cast<int16_t>(STATUS_NOERROR);
}

void CanPort::demoPrintConfig() {
    PT_SCOPE(scope, "demoPrintConfig() ");
    scope.messagef(TL_INFO, "%s", kRule);
    scope.messagef(TL_INFO, "- %02d channels       Hardware Configuration               -",
                   static_cast<int>(m_DriverConfig.channelCount));
    scope.messagef(TL_INFO, "%s", kRule);
    for (uint32_t i = 0; i < listedChannels(); ++i) {
        const XLchannelConfig &channel = m_DriverConfig.channel[i];
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

int16_t CanPort::VectorCleanUp() {
    LockGuard initGuard(m_initLock);
    return cleanUp_();
}

int16_t CanPort::cleanUp_() {
    PT_SCOPE(scope, "VectorCleanUp()");
    // Never binds: the unload handler may get here, where no library may be loaded.
    const XlDriverBinding &xl = this->xl();
    const XLportHandle port = m_PortHandle.load();
    const XLaccess channels = m_ChannelMask.load();

    XLstatus status = xl.xlDeactivateChannel(port, channels);
    if (scope.isEnabled()) {
        scope.messagef(TL_INFO, "- DeactivateChannel: CM(0x%" PRIx64 "), %s", static_cast<uint64_t>(channels),
                       xlErrorText(status));
    }
    if (port != XL_INVALID_PORTHANDLE) {
        status = xl.xlClosePort(port);
        if (scope.isEnabled()) {
            scope.messagef(TL_INFO, "- ClosePort        : PH(0x%x), %s", static_cast<unsigned int>(port),
                           xlErrorText(status));
        }
    }
    m_PortHandle = XL_INVALID_PORTHANDLE;
    m_fdDataRate = 0;
    // A holder (the worker, in its wait) keeps its copy until it lets go.
    if (m_wantNotification) setDriverSignal(nullptr);
    // Nothing handed to a closed port is confirmed any more.
    m_confirmations.clear();
    if (m_driverJoined) m_session.leave(xl);
    m_driverJoined = false;
    return 0;
}

// Called without the transport's locks: a driver call is never made while
// the filter lock is held.
bool CanPort::openAcceptance(uint32_t canId, const char *kind, uint32_t failLevel, TraceScope &scope) {
    // Every identifier is let through already.
    if (m_everyIdAccepted.load()) return true;
    const XlDriverBinding &xl = bindDriver();
    LockGuard initGuard(m_initLock);
    const XLportHandle port = m_PortHandle;
    const XLaccess channelMask = m_ChannelMask;
    const XLstatus status = xl.xlCanAddAcceptanceRange(port, channelMask, canId, canId);
    if (status != XL_SUCCESS) {
        if (failLevel != TL_INFO || scope.isEnabled())
            scope.messagef(failLevel, "xlCanSetChannelAcceptance FAILED!!!! 0x%04X %s",
                           static_cast<unsigned>(static_cast<int>(status)), xl.xlGetErrorString(status));
    } else if (scope.isEnabled()) {
        scope.messagef(TL_INFO, "Vector hard %s Filter added canid=0x%04X port=0x%04X CM=0x%04X ", kind,
                       static_cast<unsigned>(canId), static_cast<unsigned>(port),
                       static_cast<unsigned>(channelMask & 0xFFFFFFFFu));
    }
    return status == XL_SUCCESS || port == XL_INVALID_PORTHANDLE;
}

namespace {

bool NamesChannel(const char *name, const XLchannelConfig &channel) {
    char ordinalName[32];
    std::snprintf(ordinalName, sizeof ordinalName, "VectorChannel%u", static_cast<unsigned>(channel.channelIndex) + 1);
    return std::strncmp(name, channel.name, sizeof channel.name) == 0 || std::strcmp(name, ordinalName) == 0;
}

}  // namespace

uint32_t CanPort::selectChannel(const char *name, char *chosen, std::size_t chosenSize) {
    PT_SCOPE(scope, "selectChannel()");
    const XlDriverBinding &xl = bindDriver();
    LockGuard initGuard(m_initLock);
    // Another device's port may hold the driver open: only the session closes it.
    if (!m_session.join(xl)) {
        scope.messagef(TL_ERROR, "xlOpenDriver failed");
        return ERR_DEVICE_NOT_CONNECTED;
    }
    XLdriverConfig config = {};
    const bool listed = xl.xlGetDriverConfig(&config) == XL_SUCCESS;
    const uint32_t count = config.channelCount < XL_CONFIG_MAX_CHANNELS ? config.channelCount : XL_CONFIG_MAX_CHANNELS;
    const bool byName = name != nullptr && name[0] != '\0';
    XLaccess found = 0;
    for (uint32_t i = 0; listed && i < count && found == 0; ++i) {
        const XLchannelConfig &channel = config.channel[i];
        if (!(channel.channelBusCapabilities & XL_BUS_ACTIVE_CAP_CAN)) continue;
        const bool isVirtual = channel.channelBusCapabilities == kVirtualChannelCaps;
        if (byName ? !NamesChannel(name, channel) : (isVirtual && m_settings.m_VirtualOrdinal <= 0)) continue;
        found = channel.channelMask;
        m_selectedHasFd = (channel.channelCapabilities & XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT) != 0;
        std::snprintf(chosen, chosenSize, "%.32s", channel.name);
    }
    m_session.leave(xl);
    if (found == 0) {
        scope.messagef(TL_ERROR, "no CAN channel %s%s", byName ? "named " : "", byName ? name : "found");
        return ERR_DEVICE_NOT_CONNECTED;
    }
    m_selectedMask = found;
    scope.messagef(TL_INFO, "CAN channel \"%s\" CM=0x%" PRIx64, chosen, static_cast<uint64_t>(found));
    return STATUS_NOERROR;
}

void CanPort::acceptEveryId(TraceScope &scope) {
    const XlDriverBinding &xl = bindDriver();
    LockGuard initGuard(m_initLock);
    const XLportHandle port = m_PortHandle;
    const XLaccess channels = m_ChannelMask;
    const XLstatus standard = xl.xlCanAddAcceptanceRange(port, channels, kFirstStandardId - 1, kLastStandardId);
    const XLstatus extended = xl.xlCanSetChannelAcceptance(port, channels, 0, 0, XL_CAN_EXT);
    m_everyIdAccepted = standard == XL_SUCCESS && extended == XL_SUCCESS;
    if (standard != XL_SUCCESS || extended != XL_SUCCESS)
        scope.messagef(TL_ERROR, "acceptance for every id FAILED!!!! %s %s", xlErrorText(standard),
                       xlErrorText(extended));
}
