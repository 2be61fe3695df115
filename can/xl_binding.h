// The vendor driver, loaded at run time by its plain file name. A library or
// function that cannot be found behaves like a driver that answers every call
// with XL_ERR_DLL_NOT_FOUND, so callers need no second failure path.
#ifndef PT_CAN_XL_BINDING_H
#define PT_CAN_XL_BINDING_H

#include "can/xl_api.h"

struct XlDriverBinding {
    XLOPENDRIVER xlOpenDriver;
    XLCLOSEDRIVER xlCloseDriver;
    XLGETDRIVERCONFIG xlGetDriverConfig;
    XLGETAPPLCONFIG xlGetApplConfig;
    XLSETAPPLCONFIG xlSetApplConfig;
    XLGETCHANNELMASK xlGetChannelMask;
    XLOPENPORT xlOpenPort;
    XLCLOSEPORT xlClosePort;
    XLCANSETCHANNELBITRATE xlCanSetChannelBitrate;
    XLACTIVATECHANNEL xlActivateChannel;
    XLDEACTIVATECHANNEL xlDeactivateChannel;
    XLCANADDACCEPTANCERANGE xlCanAddAcceptanceRange;
    XLCANREMOVEACCEPTANCERANGE xlCanRemoveAcceptanceRange;
    XLCANSETCHANNELACCEPTANCE xlCanSetChannelAcceptance;
    XLCANTRANSMIT xlCanTransmit;
    XLRECEIVE xlReceive;
    XLGETEVENTSTRING xlGetEventString;
    XLGETERRORSTRING xlGetErrorString;
};

// The binding; the library is loaded on first use (never from the load or
// unload handler's own code path) and stays loaded: the driver keeps threads
// and handles of its own that must not lose their code under them.
const XlDriverBinding &XlDriver();

// The binding when XlDriver() has already loaded the library, the fallbacks
// otherwise. For clean-up paths that may run from the unload handler, where
// loading a library is not allowed and there is nothing to clean up anyway.
const XlDriverBinding &XlDriverIfLoaded();

// True once XlDriver() has bound the library (or, without one, its fallbacks).
bool XlDriverBound();

// File name the binding looks for on this platform.
const char *XlDriverFileName();

// Loads fileName and resolves every entry point by its plain name; whatever
// cannot be found is a fallback. XlDriver() is this with XlDriverFileName().
XlDriverBinding BindXlDriver(const char *fileName);

// xlGetErrorString of status, never null: for trace lines.
const char *XlErrorText(XLstatus status);

#endif
