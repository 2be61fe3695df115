// Texts of statuses and events, compared character for character with what
// the real driver prints.
#include <string>
#include <thread>

#include "sim_fixture.h"

namespace {

TEST(ErrorStrings, SymbolicNamesOfEveryStatus) {
    const struct {
        XLstatus st;
        const char *text;
    } cases[] = {{XL_SUCCESS, "XL_SUCCESS"},
                 {XL_PENDING, "XL_PENDING"},
                 {XL_ERR_QUEUE_IS_EMPTY, "XL_ERR_QUEUE_IS_EMPTY"},
                 {XL_ERR_QUEUE_IS_FULL, "XL_ERR_QUEUE_IS_FULL"},
                 {XL_ERR_TX_NOT_POSSIBLE, "XL_ERR_TX_NOT_POSSIBLE"},
                 {XL_ERR_WRONG_PARAMETER, "XL_ERR_WRONG_PARAMETER"},
                 {XL_ERR_INVALID_ACCESS, "XL_ERR_INVALID_ACCESS"},
                 {XL_ERR_PORT_IS_OFFLINE, "XL_ERR_PORT_IS_OFFLINE"},
                 {XL_ERR_INVALID_PORT, "XL_ERR_INVALID_PORT"},
                 {XL_ERR_HW_NOT_PRESENT, "XL_ERR_HW_NOT_PRESENT"},
                 {XL_ERR_NOT_FOUND, "XL_ERR_NOT_FOUND"},
                 {XL_ERR_INIT_ACCESS_MISSING, "XL_ERR_INIT_ACCESS_MISSING"},
                 {XL_ERR_CANNOT_OPEN_DRIVER, "XL_ERR_CANNOT_OPEN_DRIVER"},
                 {XL_ERR_WRONG_BUS_TYPE, "XL_ERR_WRONG_BUS_TYPE"},
                 {XL_ERR_DLL_NOT_FOUND, "XL_ERR_DLL_NOT_FOUND"},
                 {XL_ERR_INVALID_CHANNEL_MASK, "XL_ERR_INVALID_CHANNEL_MASK"},
                 {XL_ERR_NOT_SUPPORTED, "XL_ERR_NOT_SUPPORTED"},
                 {XL_ERROR, "XL_ERROR"}};
    for (const auto &c : cases)
        EXPECT_STREQ(c.text, xlGetErrorString(c.st));
    EXPECT_STREQ("unknown error", xlGetErrorString(77));
    EXPECT_STREQ("unknown error", xlGetErrorString(-1));
}

XLevent Msg(uint8_t tag, uint8_t chan, uint64_t t, uint32_t id, std::vector<uint8_t> data, uint16_t flags = 0) {
    XLevent ev{};
    ev.tag = tag;
    ev.chanIndex = chan;
    ev.timeStamp = t;
    ev.tagData.msg.id = id;
    ev.tagData.msg.flags = flags;
    ev.tagData.msg.dlc = static_cast<uint16_t>(data.size());
    for (size_t i = 0; i < data.size(); ++i)
        ev.tagData.msg.data[i] = data[i];
    return ev;
}

XLevent Chip(uint8_t status, uint8_t tx, uint8_t rx) {
    XLevent ev = Msg(XL_CHIP_STATE, 1, 4308992, 0, {});
    ev.tagData.chipState.busStatus = status;
    ev.tagData.chipState.txErrorCounter = tx;
    ev.tagData.chipState.rxErrorCounter = rx;
    return ev;
}

TEST(EventStrings, EveryKindOfEvent) {
    const std::vector<uint8_t> eight = {0x00, 0xC0, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80};
    const struct {
        XLevent ev;
        const char *text;
    } cases[] = {
        {Msg(XL_RECEIVE_MSG, 0, 6217728, 0x386, eight), "RX_MSG c=0, t=6217728, id=0386 l=8, 00C0000000400080 tid=00"},
        {Msg(XL_RECEIVE_MSG, 0, 6217728, 0x386, eight, XL_CAN_MSG_FLAG_TX_COMPLETED),
         "RX_MSG c=0, t=6217728, id=0386 l=8, 00C0000000400080 TX tid=00"},
        {Msg(XL_RECEIVE_MSG, 3, 1, 0x7E8, {0x02, 0x7E}), "RX_MSG c=3, t=1, id=07E8 l=2, 027E tid=00"},
        {Msg(XL_RECEIVE_MSG, 1, 0, 0x80000123, {}), "RX_MSG c=1, t=0, id=80000123 l=0,  tid=00"},
        {Msg(XL_RECEIVE_MSG, 0, 5, 0x0, {}, XL_CAN_MSG_FLAG_ERROR_FRAME), "RX_MSG c=0, t=5, id=0000 l=0,  ERROR_FRAME tid=00"},
        {Msg(XL_TRANSMIT_MSG, 0, 9, 0x10, {0xAA}), "TX_MSG c=0, t=9, id=0010 l=1, AA tid=00"},
        {Chip(XL_CHIPSTAT_ERROR_ACTIVE, 8, 0), "CHIP_STATE c=1, t=4308992, busStatus= ACTIVE, txErrCnt=8, rxErrCnt=0"},
        {Chip(XL_CHIPSTAT_BUSOFF, 255, 3), "CHIP_STATE c=1, t=4308992, busStatus= BUSOFF, txErrCnt=255, rxErrCnt=3"},
        {Chip(XL_CHIPSTAT_ERROR_PASSIVE, 255, 3), "CHIP_STATE c=1, t=4308992, busStatus=PASSIVE, txErrCnt=255, rxErrCnt=3"},
        {Msg(XL_TIMER, 2, 100, 0, {}), "TIMER c=2, t=100"},
        {Msg(0x77, 2, 100, 0, {}), "UNKNOWN_EVENT(0x77) c=2, t=100"},
    };
    for (auto c : cases)
        EXPECT_STREQ(c.text, xlGetEventString(&c.ev));
}

TEST(EventStrings, TextStaysValidPerThread) {
    XLevent a = Msg(XL_RECEIVE_MSG, 0, 1, 0x1, {});
    const char *mine = xlGetEventString(&a);
    std::thread other([] {
        XLevent b = Msg(XL_RECEIVE_MSG, 0, 2, 0x2, {0x22});
        EXPECT_STREQ("RX_MSG c=0, t=2, id=0002 l=1, 22 tid=00", xlGetEventString(&b));
    });
    other.join();
    EXPECT_STREQ("RX_MSG c=0, t=1, id=0001 l=0,  tid=00", mine);
}

}  // namespace
