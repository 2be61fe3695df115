// The records cross the boundary to the vendor's binary, so their layout is
// checked here at run time as well, on every compiler the project uses.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "can/xl_api.h"

TEST(XlLayout, RecordSizesMatchTheDriver) {
    EXPECT_EQ(48u, sizeof(XLevent));
    EXPECT_EQ(32u, sizeof(s_xl_can_msg));
    EXPECT_EQ(32u, sizeof(XLbusParams));
    EXPECT_EQ(227u, sizeof(XLchannelConfig));
    EXPECT_EQ(14576u, sizeof(XLdriverConfig));
    EXPECT_EQ(2u, sizeof(XLstatus));
    EXPECT_EQ(4u, sizeof(XLportHandle));
    EXPECT_EQ(8u, sizeof(XLaccess));
}

TEST(XlLayout, FieldsSitAtTheDriversOffsets) {
    EXPECT_EQ(8u, offsetof(XLevent, timeStamp));
    EXPECT_EQ(16u, offsetof(XLevent, tagData));
    EXPECT_EQ(16u, offsetof(s_xl_can_msg, data));
    EXPECT_EQ(42u, offsetof(XLchannelConfig, channelMask));
    EXPECT_EQ(63u, offsetof(XLchannelConfig, busParams));
    EXPECT_EQ(155u, offsetof(XLchannelConfig, transceiverName));
    EXPECT_EQ(209u, offsetof(XLchannelConfig, channelBusActiveCapabilities));
    EXPECT_EQ(48u + 227u, offsetof(XLdriverConfig, channel) + sizeof(XLchannelConfig));
}

TEST(XlLayout, PackedEventKeepsBytesWhereWritten) {
    XLevent ev{};
    ev.timeStamp = 0x1122334455667788ull;
    ev.tagData.msg.id = 0x80000123u;
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(&ev);
    EXPECT_EQ(0x88, raw[8]);   // little-endian time stamp at byte 8
    EXPECT_EQ(0x11, raw[15]);
    EXPECT_EQ(0x23, raw[16]);  // message id right after it
    EXPECT_EQ(0x80, raw[19]);
}

// The run-time binding stores addresses in these pointer types; a prototype
// that drifts from its type (arguments or calling convention) fails here.
#define VXLSIM_SAME_TYPE(fn, type) \
    static_assert(std::is_same<decltype(&fn), type>::value, #fn " does not match " #type)
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

TEST(XlLayout, EntryPointsWorkThroughTheirPointerTypes) {
    // As the product calls them: through the stored pointer.
    const XLGETERRORSTRING errorString = &xlGetErrorString;
    EXPECT_STREQ("XL_ERR_INVALID_PORT", errorString(XL_ERR_INVALID_PORT));
    const XLCLOSEPORT closePort = &xlClosePort;
    EXPECT_EQ(XL_ERR_INVALID_PORT, closePort(12345));
}
