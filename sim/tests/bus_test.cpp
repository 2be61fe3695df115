// Ports on the simulated bus where the library's tests do not look: the
// acceptance filters themselves, and a receive queue that fills up. Delivery,
// confirmations, timing and concurrent use are exercised through the library.
#include "sim_fixture.h"

namespace {

using IdList = std::vector<uint32_t>;
using FlagList = std::vector<uint16_t>;

class BusTest : public SimTest {};

// Each acceptance setting, then the same ids sent; what reaches the port.
TEST_F(BusTest, AcceptanceFiltersSelectWhatAPortReceives) {
    const uint32_t ext = XL_CAN_EXT_MSG_ID;
    const struct {
        const char *name;
        void (*setUp)(XLportHandle rx);
        IdList sent, received;
    } cases[] = {
        {"fresh port",
         [](XLportHandle) {},
         {0x000, 0x7FF, 0x123, ext | 0x1FFFFFFF, ext | 0x18DAF110},
         {0x000, 0x7FF, 0x123, ext | 0x1FFFFFFF, ext | 0x18DAF110}},
        {"ranges",
         [](XLportHandle rx) {
             ASSERT_EQ(XL_SUCCESS, xlCanRemoveAcceptanceRange(rx, 1, 1, 0x7FF));
             ASSERT_EQ(XL_SUCCESS, xlCanAddAcceptanceRange(rx, 1, 0x7E8, 0x7E8));
         },
         {0x7E0, 0x7E8, 0x7E9, 0x001, 0x7FF, 0x000},
         {0x7E8, 0x000}},
        {"code and mask, extended closed",
         [](XLportHandle rx) {
             ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0x700, 0x700, XL_CAN_STD));
             ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(rx, 1, 0xFFF, 0xFFF, XL_CAN_EXT));
         },
         {0x6FF, 0x700, 0x7DF, ext | 0x18DAF110, ext | 0xFFF},
         {0x700, 0x7DF}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const XLportHandle tx = openActive(0);
        const XLportHandle rx = openActive(0, false);
        c.setUp(rx);
        for (uint32_t id : c.sent) ASSERT_EQ(XL_SUCCESS, send(tx, 0, id, {0}));
        EXPECT_EQ(c.received, ids(drain(rx)));
        // Outside frames obey the filters too.
        for (uint32_t id : c.sent) ASSERT_EQ(0, vxlsim::BusSend(0, id, {1, 2}));
        EXPECT_EQ(c.received, ids(drain(rx)));
        TearDown();
        SetUp();
    }
    const XLportHandle rx = openActive(0);
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanAddAcceptanceRange(rx, 1, 0x10, 0x0F));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanAddAcceptanceRange(rx, 1, 0x700, 0x800));
    EXPECT_EQ(XL_ERR_WRONG_PARAMETER, xlCanSetChannelAcceptance(rx, 1, 0, 0, 3));
}

TEST_F(BusTest, FullQueueDropsAndMarksTheNextFrameOverrun) {
    const XLportHandle tx = openActive(0);
    const XLportHandle rx = openActive(0, false, 4);
    for (uint8_t i = 0; i < 6; ++i) ASSERT_EQ(XL_SUCCESS, send(tx, 0, 0x100 + i, {i}));
    std::vector<XLevent> got = drain(rx);
    EXPECT_EQ((IdList{0x100, 0x101, 0x102, 0x103}), ids(got));
    EXPECT_EQ((FlagList{0, 0, 0, 0}), flags(got));
    ASSERT_EQ(XL_SUCCESS, send(tx, 0, 0x200, {}));
    ASSERT_EQ(XL_SUCCESS, send(tx, 0, 0x201, {}));
    got = drain(rx);
    EXPECT_EQ((IdList{0x200, 0x201}), ids(got));
    EXPECT_EQ((FlagList{XL_CAN_MSG_FLAG_OVERRUN, 0}), flags(got));
}

}  // namespace
