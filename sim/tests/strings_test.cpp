// Texts of events, compared character for character with what the real
// driver prints; the status names are checked in the library's traces.
#include <string>

#include "sim_fixture.h"

namespace {

XLevent Msg(uint8_t tag, uint8_t chan, uint64_t t, uint32_t id, std::vector<uint8_t> data, uint16_t flags = 0) {
    XLevent ev{};
    ev.tag = tag;
    ev.chanIndex = chan;
    ev.timeStamp = t;
    ev.tagData.msg.id = id;
    ev.tagData.msg.flags = flags;
    ev.tagData.msg.dlc = static_cast<uint16_t>(data.size());
    for (size_t i = 0; i < data.size(); ++i) ev.tagData.msg.data[i] = data[i];
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
        {Msg(XL_RECEIVE_MSG, 0, 5, 0x0, {}, XL_CAN_MSG_FLAG_ERROR_FRAME),
         "RX_MSG c=0, t=5, id=0000 l=0,  ERROR_FRAME tid=00"},
        {Msg(XL_TRANSMIT_MSG, 0, 9, 0x10, {0xAA}), "TX_MSG c=0, t=9, id=0010 l=1, AA tid=00"},
        {Chip(XL_CHIPSTAT_ERROR_ACTIVE, 8, 0), "CHIP_STATE c=1, t=4308992, busStatus= ACTIVE, txErrCnt=8, rxErrCnt=0"},
        {Chip(XL_CHIPSTAT_BUSOFF, 255, 3), "CHIP_STATE c=1, t=4308992, busStatus= BUSOFF, txErrCnt=255, rxErrCnt=3"},
        {Chip(XL_CHIPSTAT_ERROR_PASSIVE, 255, 3),
         "CHIP_STATE c=1, t=4308992, busStatus=PASSIVE, txErrCnt=255, rxErrCnt=3"},
        {Msg(XL_TIMER, 2, 100, 0, {}), "TIMER c=2, t=100"},
        {Msg(0x77, 2, 100, 0, {}), "UNKNOWN_EVENT(0x77) c=2, t=100"},
    };
    for (auto c : cases) EXPECT_STREQ(c.text, xlGetEventString(&c.ev));
}

}  // namespace
