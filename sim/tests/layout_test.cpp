// The records cross the boundary to the vendor's binary, so their layout is
// checked here at run time as well, on every compiler the project uses.
#include <gtest/gtest.h>

#include <cstddef>

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
