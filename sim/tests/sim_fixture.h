// Shared set-up for the simulated driver's tests: a fresh world per test and
// small helpers to open ports and move frames without repeating the calls.
#ifndef VXLSIM_TESTS_SIM_FIXTURE_H
#define VXLSIM_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "can/can_frame.h"
#include "can/xl_api.h"
#include "vxlsim_control.h"

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        vxlsim_reset();
        vxlsim_nodes_clear();
        ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
    }
    void TearDown() override { vxlsim_reset(); }

    static XLaccess mask(unsigned channel) { return XLaccess(1) << channel; }

    // An activated port on one channel; init access when asked for.
    static XLportHandle openActive(unsigned channel, bool init = true, unsigned queue = 256,
                                   unsigned flags = XL_ACTIVATE_RESET_CLOCK) {
        XLportHandle h = XL_INVALID_PORTHANDLE;
        XLaccess perm = init ? mask(channel) : 0;
        char name[] = "vxlsim test";
        EXPECT_EQ(XL_SUCCESS, xlOpenPort(&h, name, mask(channel), &perm, queue, XL_INTERFACE_VERSION, XL_BUS_TYPE_CAN));
        EXPECT_EQ(XL_SUCCESS, xlActivateChannel(h, mask(channel), XL_BUS_TYPE_CAN, flags));
        return h;
    }

    static XLevent txEvent(uint32_t id, const std::vector<uint8_t> &data, uint16_t flags = 0) {
        XLevent ev{};
        ev.tag = XL_TRANSMIT_MSG;
        ev.tagData.msg.id = id;
        ev.tagData.msg.flags = flags;
        ev.tagData.msg.dlc = static_cast<uint16_t>(data.size());
        if (!data.empty()) std::memcpy(ev.tagData.msg.data, data.data(), data.size());
        return ev;
    }

    static XLstatus send(XLportHandle h, unsigned channel, uint32_t id, const std::vector<uint8_t> &data,
                         uint16_t flags = 0) {
        XLevent ev = txEvent(id, data, flags);
        unsigned n = 1;
        return xlCanTransmit(h, mask(channel), &n, &ev);
    }

    // Next event of a port; false when the queue is empty.
    static bool next(XLportHandle h, XLevent &ev) {
        unsigned n = 1;
        ev = XLevent{};
        const XLstatus st = xlReceive(h, &n, &ev);
        if (st == XL_ERR_QUEUE_IS_EMPTY) {
            EXPECT_EQ(0u, n);
            return false;
        }
        EXPECT_EQ(XL_SUCCESS, st);
        EXPECT_EQ(1u, n);
        return st == XL_SUCCESS;
    }

    static std::vector<XLevent> drain(XLportHandle h) {
        std::vector<XLevent> out;
        XLevent ev;
        while (next(h, ev)) out.push_back(ev);
        return out;
    }

    static std::vector<uint8_t> data(const XLevent &ev) {
        return std::vector<uint8_t>(ev.tagData.msg.data, ev.tagData.msg.data + ev.tagData.msg.dlc);
    }

    // ---- interface version 4 ----
    static constexpr unsigned kFdChannel = 2;  // "Virtual Channel 1": FD capable
    static constexpr uint32_t kArbitrationRate = 500000, kDataRate = 2000000;

    // An activated version-4 port (queue in bytes); with init, the channel is
    // also put into FD mode at 500 kbit/s / 2 Mbit/s.
    static XLportHandle openFd(unsigned channel, bool init = true, unsigned queueBytes = 16384, bool configure = true) {
        XLportHandle h = XL_INVALID_PORTHANDLE;
        XLaccess perm = init ? mask(channel) : 0;
        char name[] = "vxlsim fd test";
        EXPECT_EQ(XL_SUCCESS,
                  xlOpenPort(&h, name, mask(channel), &perm, queueBytes, XL_INTERFACE_VERSION_V4, XL_BUS_TYPE_CAN));
        if (init && configure) {
            EXPECT_EQ(XL_SUCCESS, configureFd(h, channel, kDataRate));
        }
        EXPECT_EQ(XL_SUCCESS, xlActivateChannel(h, mask(channel), XL_BUS_TYPE_CAN, XL_ACTIVATE_RESET_CLOCK));
        return h;
    }

    static XLstatus configureFd(XLportHandle h, unsigned channel, uint32_t dataRate,
                                uint32_t arbitrationRate = kArbitrationRate) {
        XLcanFdConf conf{};
        conf.arbitrationBitRate = arbitrationRate;
        conf.dataBitRate = dataRate;
        conf.sjwAbr = conf.sjwDbr = 2;
        conf.tseg1Abr = conf.tseg1Dbr = 6;
        conf.tseg2Abr = conf.tseg2Dbr = 3;
        return xlCanFdSetConfiguration(h, mask(channel), &conf);
    }

    static XLcanTxEvent fdTxEvent(uint32_t id, uint32_t msgFlags, uint8_t dlc, const std::vector<uint8_t> &data) {
        XLcanTxEvent ev{};
        ev.tag = XL_CAN_EV_TAG_TX_MSG;
        ev.transId = 0xFFFF;
        ev.tagData.canMsg.canId = id;
        ev.tagData.canMsg.msgFlags = msgFlags;
        ev.tagData.canMsg.dlc = dlc;
        std::memcpy(ev.tagData.canMsg.data, data.data(), std::min<size_t>(data.size(), XL_CAN_MAX_DATA_LEN));
        return ev;
    }

    static XLstatus sendFd(XLportHandle h, unsigned channel, uint32_t id, uint32_t msgFlags, uint8_t dlc,
                           const std::vector<uint8_t> &data) {
        XLcanTxEvent ev = fdTxEvent(id, msgFlags, dlc, data);
        unsigned sent = 99;
        const XLstatus st = xlCanTransmitEx(h, mask(channel), 1, &sent, &ev);
        EXPECT_EQ(st == XL_SUCCESS ? 1u : 0u, sent);
        return st;
    }

    static std::vector<XLcanRxEvent> drainFd(XLportHandle h) {
        std::vector<XLcanRxEvent> out;
        XLcanRxEvent ev{};
        XLstatus st;
        while ((st = xlCanReceive(h, &ev)) == XL_SUCCESS) out.push_back(ev);
        EXPECT_EQ(XL_ERR_QUEUE_IS_EMPTY, st);
        return out;
    }

    static std::vector<uint8_t> fdData(const XLcanRxEvent &ev) {
        const XL_CAN_EV_RX_MSG &m = ev.tagData.canRxOkMsg;
        const unsigned n = (m.msgFlags & XL_CAN_RXMSG_FLAG_EDL) ? CanFdDlcToLength(m.dlc & 0x0F) : m.dlc;
        return std::vector<uint8_t>(m.data, m.data + n);
    }

    // One field of each event, to compare a whole queue at once.
    static std::vector<uint32_t> ids(const std::vector<XLevent> &evs) {
        std::vector<uint32_t> out;
        for (const XLevent &ev : evs) out.push_back(ev.tagData.msg.id);
        return out;
    }
    static std::vector<uint16_t> flags(const std::vector<XLevent> &evs) {
        std::vector<uint16_t> out;
        for (const XLevent &ev : evs) out.push_back(ev.tagData.msg.flags);
        return out;
    }
};

#endif
