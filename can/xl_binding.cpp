#include "can/xl_binding.h"

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// Stand-ins for entry points that are not there: each answers like a driver
// that is not installed.
XLstatus PT_STDCALL MissingOpenDriver() { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingCloseDriver() { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingGetDriverConfig(XLdriverConfig *) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingGetApplConfig(char *, unsigned int, unsigned int *, unsigned int *, unsigned int *,
                                         unsigned int) {
    return XL_ERR_DLL_NOT_FOUND;
}
XLstatus PT_STDCALL MissingSetApplConfig(char *, unsigned int, unsigned int, unsigned int, unsigned int, unsigned int) {
    return XL_ERR_DLL_NOT_FOUND;
}
XLaccess PT_STDCALL MissingGetChannelMask(int, int, int) { return 0; }
XLstatus PT_STDCALL MissingOpenPort(XLportHandle *, char *, XLaccess, XLaccess *, unsigned int, unsigned int,
                                    unsigned int) {
    return XL_ERR_DLL_NOT_FOUND;
}
XLstatus PT_STDCALL MissingClosePort(XLportHandle) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingCanSetChannelBitrate(XLportHandle, XLaccess, XLulong) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingActivateChannel(XLportHandle, XLaccess, unsigned int, unsigned int) {
    return XL_ERR_DLL_NOT_FOUND;
}
XLstatus PT_STDCALL MissingDeactivateChannel(XLportHandle, XLaccess) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingCanAcceptanceRange(XLportHandle, XLaccess, XLulong, XLulong) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingCanSetChannelAcceptance(XLportHandle, XLaccess, XLulong, XLulong, unsigned int) {
    return XL_ERR_DLL_NOT_FOUND;
}
XLstatus PT_STDCALL MissingCanTransmit(XLportHandle, XLaccess, unsigned int *, void *) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingReceive(XLportHandle, unsigned int *, XLevent *) { return XL_ERR_DLL_NOT_FOUND; }
char *PT_STDCALL MissingGetEventString(XLevent *) {
    static char text[] = "no event text: XL driver library not found";
    return text;
}
char *PT_STDCALL MissingGetErrorString(XLstatus) {
    static char text[] = "XL_ERR_DLL_NOT_FOUND";
    return text;
}

XLstatus PT_STDCALL MissingSetNotification(XLportHandle, XLhandle *, int) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingCanFdSetConfiguration(XLportHandle, XLaccess, XLcanFdConf *) { return XL_ERR_DLL_NOT_FOUND; }
XLstatus PT_STDCALL MissingCanTransmitEx(XLportHandle, XLaccess, unsigned int, unsigned int *, XLcanTxEvent *) {
    return XL_ERR_DLL_NOT_FOUND;
}
XLstatus PT_STDCALL MissingCanReceive(XLportHandle, XLcanRxEvent *) { return XL_ERR_DLL_NOT_FOUND; }
char *PT_STDCALL MissingCanGetEventString(XLcanRxEvent *) {
    static char text[] = "no event text: XL driver without CAN FD";
    return text;
}

const XlDriverBinding kMissingDriver = {
    MissingOpenDriver,
    MissingCloseDriver,
    MissingGetDriverConfig,
    MissingGetApplConfig,
    MissingSetApplConfig,
    MissingGetChannelMask,
    MissingOpenPort,
    MissingClosePort,
    MissingCanSetChannelBitrate,
    MissingActivateChannel,
    MissingDeactivateChannel,
    MissingCanAcceptanceRange,
    MissingCanAcceptanceRange,
    MissingCanSetChannelAcceptance,
    MissingCanTransmit,
    MissingReceive,
    MissingGetEventString,
    MissingGetErrorString,
    MissingSetNotification,
    MissingCanFdSetConfiguration,
    MissingCanTransmitEx,
    MissingCanReceive,
    MissingCanGetEventString,
};

template <typename Fn>
void Resolve(void *library, const char *name, Fn &entry) {
    if (void *symbol = plat::FindSymbol(library, name)) entry = reinterpret_cast<Fn>(symbol);
}

}  // namespace

std::string XlDriverFileName() {
    // The vendor ships its 64-bit Windows driver under a name of its own.
    const bool windows64 = std::strcmp(plat::SharedLibrarySuffix(), ".dll") == 0 && sizeof(void *) == 8;
    return std::string(plat::SharedLibraryPrefix()) + "vxlapi" + (windows64 ? "64" : "") + plat::SharedLibrarySuffix();
}

const XlDriverBinding &MissingXlDriver() { return kMissingDriver; }

XlDriverBinding BindXlDriver(const char *fileName) {
    XlDriverBinding binding = kMissingDriver;
    void *library = fileName ? plat::LoadSharedLibrary(fileName) : nullptr;
    if (!library) return binding;
    Resolve(library, "xlOpenDriver", binding.xlOpenDriver);
    Resolve(library, "xlCloseDriver", binding.xlCloseDriver);
    Resolve(library, "xlGetDriverConfig", binding.xlGetDriverConfig);
    Resolve(library, "xlGetApplConfig", binding.xlGetApplConfig);
    Resolve(library, "xlSetApplConfig", binding.xlSetApplConfig);
    Resolve(library, "xlGetChannelMask", binding.xlGetChannelMask);
    Resolve(library, "xlOpenPort", binding.xlOpenPort);
    Resolve(library, "xlClosePort", binding.xlClosePort);
    Resolve(library, "xlCanSetChannelBitrate", binding.xlCanSetChannelBitrate);
    Resolve(library, "xlActivateChannel", binding.xlActivateChannel);
    Resolve(library, "xlDeactivateChannel", binding.xlDeactivateChannel);
    Resolve(library, "xlCanAddAcceptanceRange", binding.xlCanAddAcceptanceRange);
    Resolve(library, "xlCanRemoveAcceptanceRange", binding.xlCanRemoveAcceptanceRange);
    Resolve(library, "xlCanSetChannelAcceptance", binding.xlCanSetChannelAcceptance);
    Resolve(library, "xlCanTransmit", binding.xlCanTransmit);
    Resolve(library, "xlReceive", binding.xlReceive);
    Resolve(library, "xlGetEventString", binding.xlGetEventString);
    Resolve(library, "xlGetErrorString", binding.xlGetErrorString);
    Resolve(library, "xlSetNotification", binding.xlSetNotification);
    Resolve(library, "xlCanFdSetConfiguration", binding.xlCanFdSetConfiguration);
    Resolve(library, "xlCanTransmitEx", binding.xlCanTransmitEx);
    Resolve(library, "xlCanReceive", binding.xlCanReceive);
    Resolve(library, "xlCanGetEventString", binding.xlCanGetEventString);
    return binding;
}
