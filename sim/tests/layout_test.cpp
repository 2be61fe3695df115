// The record layouts are fixed by static_asserts beside their declarations;
// the handle types and the entry points' prototypes are checked here.
#include <gtest/gtest.h>

#include <type_traits>

#include "can/xl_api.h"

static_assert(sizeof(XLstatus) == 2 && sizeof(XLportHandle) == 4 && sizeof(XLaccess) == 8,
              "handle types as the driver passes them");

// The run-time binding stores addresses in these pointer types; a prototype
// that drifts from its type (arguments or calling convention) fails here.
#define VXLSIM_SAME_TYPE(fn, type) static_assert(std::is_same<decltype(&fn), type>::value, #fn " does not match " #type)
VXLSIM_SAME_TYPE(xlOpenDriver, XLOPENDRIVER);
VXLSIM_SAME_TYPE(xlCloseDriver, XLCLOSEDRIVER);
VXLSIM_SAME_TYPE(xlGetDriverConfig, XLGETDRIVERCONFIG);
VXLSIM_SAME_TYPE(xlGetApplConfig, XLGETAPPLCONFIG);
VXLSIM_SAME_TYPE(xlSetApplConfig, XLSETAPPLCONFIG);
VXLSIM_SAME_TYPE(xlGetChannelMask, XLGETCHANNELMASK);
VXLSIM_SAME_TYPE(xlOpenPort, XLOPENPORT);
VXLSIM_SAME_TYPE(xlClosePort, XLCLOSEPORT);
VXLSIM_SAME_TYPE(xlCanSetChannelBitrate, XLCANSETCHANNELBITRATE);
VXLSIM_SAME_TYPE(xlActivateChannel, XLACTIVATECHANNEL);
VXLSIM_SAME_TYPE(xlDeactivateChannel, XLDEACTIVATECHANNEL);
VXLSIM_SAME_TYPE(xlCanAddAcceptanceRange, XLCANADDACCEPTANCERANGE);
VXLSIM_SAME_TYPE(xlCanRemoveAcceptanceRange, XLCANREMOVEACCEPTANCERANGE);
VXLSIM_SAME_TYPE(xlCanSetChannelAcceptance, XLCANSETCHANNELACCEPTANCE);
VXLSIM_SAME_TYPE(xlCanTransmit, XLCANTRANSMIT);
VXLSIM_SAME_TYPE(xlReceive, XLRECEIVE);
VXLSIM_SAME_TYPE(xlGetEventString, XLGETEVENTSTRING);
VXLSIM_SAME_TYPE(xlGetErrorString, XLGETERRORSTRING);
VXLSIM_SAME_TYPE(xlSetNotification, XLSETNOTIFICATION);
VXLSIM_SAME_TYPE(xlCanFdSetConfiguration, XLCANFDSETCONFIGURATION);
VXLSIM_SAME_TYPE(xlCanTransmitEx, XLCANTRANSMITEX);
VXLSIM_SAME_TYPE(xlCanReceive, XLCANRECEIVE);
VXLSIM_SAME_TYPE(xlCanGetEventString, XLCANGETEVENTSTRING);

TEST(XlLayout, EntryPointsWorkThroughTheirPointerTypes) {
    // As the product calls them: through the stored pointer.
    const XLGETERRORSTRING errorString = &xlGetErrorString;
    EXPECT_STREQ("XL_ERR_INVALID_PORT", errorString(XL_ERR_INVALID_PORT));
    const XLCLOSEPORT closePort = &xlClosePort;
    EXPECT_EQ(XL_ERR_INVALID_PORT, closePort(12345));
}
