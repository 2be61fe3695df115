// The vendor driver, loaded at run time by its plain file name. A library or
// function that cannot be found behaves like a driver that answers every call
// with XL_ERR_DLL_NOT_FOUND, so callers need no second failure path.
#ifndef PT_CAN_XL_BINDING_H
#define PT_CAN_XL_BINDING_H

#include <string>

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
    XLSETNOTIFICATION xlSetNotification;  // optional: a driver without it answers XL_ERR_DLL_NOT_FOUND
    // CAN FD (interface version 4), optional like the notification: a driver
    // without them opens classic ports only.
    XLCANFDSETCONFIGURATION xlCanFdSetConfiguration;
    XLCANTRANSMITEX xlCanTransmitEx;
    XLCANRECEIVE xlCanReceive;
    XLCANGETEVENTSTRING xlCanGetEventString;
};

// The binding of a driver that is not there: every call answers
// XL_ERR_DLL_NOT_FOUND.
const XlDriverBinding &MissingXlDriver();

// File name the binding looks for on this platform.
std::string XlDriverFileName();

// Loads fileName and resolves every entry point by its plain name; whatever
// cannot be found is a fallback. The library is never freed: the driver keeps
// threads and handles of its own that must not lose their code under them.
XlDriverBinding BindXlDriver(const char *fileName);

#endif
