#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "can/can_io.h"
#include "can/driver_init.h"
#include "j2534.h"
#include "platform/platform.h"
#include "sim_world.h"
#include "trace/trace_scope.h"

namespace {

using namespace simworld;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

class CanIoTest : public SimWorldTest {
protected:
    void Open(TraceCapture &trace) { ASSERT_TRUE(OpenChannel(kTwoCardsOneVirtual, &trace)); }

    static void Inject(uint8_t tag, uint16_t flags, const Bytes &data = {0x01}, uint64_t timeNs = 0) {
        XLevent event = {};
        event.tag = tag;
        event.timeStamp = timeNs;
        event.tagData.msg.id = 0x7E8;
        event.tagData.msg.flags = flags;
        event.tagData.msg.dlc = static_cast<uint16_t>(data.size());
        if (!data.empty()) std::memcpy(event.tagData.msg.data, data.data(), std::min<size_t>(data.size(), 8));
        ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &event, 1));
    }

    static uint32_t Transmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad) {
        PT_SCOPE(scope, "test transmit");
        return VectorTransmit(id, length, data, pad, scope);
    }

    static uint32_t Receive(CanFrame &frame) {
        uint32_t received = 0xEE;
        EXPECT_EQ(0u, VectorReadReceiveQueue(frame, received));
        return received;
    }
};

// A frame whose every byte says "not written".
CanFrame Untouched() {
    CanFrame frame;
    std::memset(&frame, 0xA5, sizeof frame);
    return frame;
}

// ---- transmit -------------------------------------------------------------

// Only a scope that traces takes the transmit time from the driver.
TEST_F(CanIoTest, FramesGoOutPaddedOrAtTheirLengthAndAreTraced) {
    const uint8_t data[] = {0x02, 0x10, 0x03};
    const struct {
        int verbosity;
        uint32_t id;
        int32_t length;
        const uint8_t *data;
        uint32_t pad;
        Bytes onBus;
        const char *line;  // nullptr: not checked
    } cases[] = {
        {2, 0x7E0, 3, data, 1, {0x02, 0x10, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         "RAW-CAN--TX CanId=0x07e0 Len=  3 Padding =  1 Data: 0x02 0x10 0x03 0xff 0xff 0xff 0xff 0xff "},
        {2, 0x7E0, 3, data, 0, {0x02, 0x10, 0x03}, "RAW-CAN--TX CanId=0x07e0 Len=  3 Padding =  0 Data: 0x02 0x10 0x03 "},
        {2, 0x18DA10F1u | XL_CAN_EXT_MSG_ID, 0, nullptr, 1, Bytes(8, 0xFF), nullptr},
        {1, 0x7DF, 2, data, 0, {0x02, 0x10}, "RAW-CAN--TX CanId=0x07df Len=  2 Padding =  0 Data: 0x02 0x10 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.verbosity * 100 + c.length * 2 + c.pad);
        TraceCapture trace(c.verbosity);
        Open(trace);
        m_LastTxTimestamp = 12345;

        EXPECT_EQ(STATUS_NOERROR, Transmit(c.id, c.length, c.data, c.pad));

        const auto frames = SentOn(0);
        ASSERT_EQ(1u, frames.size());
        EXPECT_EQ(c.id, frames[0].id);
        EXPECT_EQ(c.onBus, DataOf(frames[0]));
        EXPECT_EQ((std::vector<uint64_t>{static_cast<uint64_t>(m_PortHandle.load()), 0x3, 1, 1}),
                  ArgsOf(vxlsim::CallsTo("xlCanTransmit").at(0)));
        const Strings messages = trace.messages();
        ASSERT_EQ(c.verbosity == 2 ? 2u : 1u, messages.size());
        if (c.line) {
            EXPECT_EQ(c.line, messages[0]);
        }
        if (c.verbosity == 2) {
            EXPECT_NE(12345u, m_LastTxTimestamp.load());
            EXPECT_EQ("Transmit CAN messages ...successed time=" + std::to_string(m_LastTxTimestamp.load()) + " us",
                      messages[1]);
        } else {
            EXPECT_EQ(12345u, m_LastTxTimestamp.load());
        }
        ResetWorld();
    }
}

TEST_F(CanIoTest, RefusedOrImpossibleFramesSendNothingAndSayWhy) {
    TraceCapture trace;
    Open(trace);
    const uint8_t data[9] = {0x02, 0x10, 0x03};
    ASSERT_EQ(0, vxlsim_fail("xlCanTransmit", XL_ERR_QUEUE_IS_FULL, 1));

    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, 3, data, 1));
    const std::string refused = "Transmit CAN messages ...FAILED!!!! 0x000B XL_ERR_QUEUE_IS_FULL";
    EXPECT_EQ(refused, trace.messages().back());
    EXPECT_EQ("IN", LevelOf(trace, refused));
    trace.clear();
    vxlsim_call_clear();

    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, 9, data, 1));
    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, -1, data, 0));
    EXPECT_EQ(ERR_NULL_PARAMETER, Transmit(0x7E0, 2, nullptr, 0));

    EXPECT_TRUE(vxlsim::CallsTo("xlCanTransmit").empty());
    EXPECT_TRUE(SentOn(0).empty());
    EXPECT_EQ((Strings{"Transmit CAN messages ...FAILED!!!! CanId=0x07e0 Len=9 out of range 0..8",
                       "Transmit CAN messages ...FAILED!!!! CanId=0x07e0 Len=-1 out of range 0..8",
                       "Transmit CAN messages ...FAILED!!!! CanId=0x07e0 no data"}),
              trace.messages());
}

// ---- receive --------------------------------------------------------------

TEST_F(CanIoTest, EmptyQueueLeavesTheFrameAlone) {
    TraceCapture trace;
    Open(trace);
    CanFrame frame = Untouched();

    EXPECT_EQ(0u, Receive(frame));

    const CanFrame blank = Untouched();
    EXPECT_EQ(0, std::memcmp(&frame, &blank, sizeof frame));
}

// Which events reach the transport, marked how, and what the scope says.
TEST_F(CanIoTest, EventsAreDeliveredMarkedOrHeldBack) {
    const uint64_t wrapped = ((1ull << 32) + 5250ull) * 1000ull + 999ull;  // us count wraps to 5250
    const struct {
        const char *name;
        uint8_t tag;
        uint16_t flags;
        uint64_t timeNs;
        uint32_t received;
        uint32_t frameType;
        uint16_t frameFlags;
        uint32_t timeMs, timeUs;
        const char *scope;  // nullptr: nothing traced
    } cases[] = {
        {"plain", XL_RECEIVE_MSG, 0, 1234567891ull, 1, CAN_FRAME_TYPE_FRAME, 0, 1234, 567, nullptr},
        {"wrapping time", XL_RECEIVE_MSG, 0, wrapped, 1, CAN_FRAME_TYPE_FRAME, 0, 5, 250, nullptr},
        {"high flag bits", XL_RECEIVE_MSG, 0x0300, 0, 1, CAN_FRAME_TYPE_FRAME, 0, 0, 0, nullptr},
        {"confirmation", XL_RECEIVE_MSG, 0x40, 0, 1, CAN_FRAME_TYPE_FRAME, CAN_FRAME_TX_ACK, 0, 0,
         "Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED"},
        {"transmit event", XL_TRANSMIT_MSG, 0, 3000000, 1, 0, 0, 3, 0, "Queue tx ????"},
        {"no command", XL_NO_COMMAND, 0, 0, 0, 0, 0, 0, 0, nullptr},
        {"overrun beats confirmation", XL_RECEIVE_MSG, 0x42, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_OVERRUN"},
        {"nerr", XL_RECEIVE_MSG, 0x04, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_NERR "},
        {"wake-up", XL_RECEIVE_MSG, 0x08, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_WAKEUP"},
        {"remote", XL_RECEIVE_MSG, 0x10, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_REMOTE_FRAME"},
        {"reserved", XL_RECEIVE_MSG, 0x20, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_RESERVED_1"},
        {"tx request", XL_RECEIVE_MSG, 0x80, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_TX_REQUEST"},
        {"nerr before wake-up", XL_RECEIVE_MSG, 0x0C, 0, 0, 0, 0, 0, 0, "Queue rx XL_CAN_MSG_FLAG_NERR "},
    };
    const Bytes data = {0x03, 0x7F, 0x10, 0x78};
    TraceCapture trace;
    Open(trace);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        trace.clear();
        Inject(c.tag, c.flags, data, c.timeNs);
        CanFrame frame = Untouched();

        ASSERT_EQ(c.received, Receive(frame));

        EXPECT_EQ(c.frameType, frame.frameType);
        if (c.received) {
            EXPECT_EQ(c.frameFlags, frame.frameFlags);
            EXPECT_EQ(0x7E8u, frame.id);
            EXPECT_EQ(4u, frame.dlc);
            EXPECT_EQ(data, Bytes(frame.data, frame.data + 4));
            EXPECT_EQ(c.timeMs, frame.timeMs);
            EXPECT_EQ(c.timeUs, frame.timeUs);
            EXPECT_EQ(0u, frame.timeReserved);
            EXPECT_EQ(0u, frame.trailer);
        }
        if (c.tag == XL_NO_COMMAND) {
            EXPECT_EQ(0u, frame.id);
            EXPECT_EQ(0u, frame.dlc);
        }
        if (c.scope)
            EXPECT_EQ((Strings{c.scope, c.scope}), trace.columns());
        else
            EXPECT_TRUE(trace.lines().empty());
    }
}

TEST_F(CanIoTest, LongDlcCopiesNoMoreThanTheFrameHolds) {
    TraceCapture trace;
    Open(trace);
    XLevent event = {};
    event.tag = XL_RECEIVE_MSG;
    event.tagData.msg.id = 0x7E8;
    event.tagData.msg.dlc = 0x10F;  // low byte 15: a CAN FD length code
    std::memset(event.tagData.msg.data, 0x11, 8);
    std::memset(&event.tagData.msg.res2, 0x22, sizeof event.tagData.msg.res2);
    ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &event, 1));
    CanFrame frame = Untouched();

    ASSERT_EQ(1u, Receive(frame));

    EXPECT_EQ(15u, frame.dlc);
    EXPECT_EQ(Bytes(8, 0x11), Bytes(frame.data, frame.data + 8));
    EXPECT_EQ(0u, frame.trailer);
}

// ---- rate-limited reports --------------------------------------------------

TEST_F(CanIoTest, ErrorFramesAreCountedAndReportedOnceASecond) {
    TraceCapture trace(0);
    Open(trace);
    m_ErrorFrameReportTick = plat::TickCount();
    CanFrame frame = {};
    for (int i = 0; i < 10; ++i) {
        Inject(XL_RECEIVE_MSG, XL_CAN_MSG_FLAG_ERROR_FRAME, {});
        EXPECT_EQ(0u, Receive(frame));
    }
    EXPECT_TRUE(trace.lines().empty());
    EXPECT_EQ(10u, m_ErrorFrameCount);

    m_ErrorFrameReportTick = plat::TickCount() - 1500;
    Inject(XL_RECEIVE_MSG, XL_CAN_MSG_FLAG_ERROR_FRAME | XL_CAN_MSG_FLAG_TX_COMPLETED, {});
    const uint32_t before = plat::TickCount();
    EXPECT_EQ(0u, Receive(frame));

    const std::string report = "Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted 11 time(s)";
    EXPECT_EQ((Strings{report}), trace.messages());
    EXPECT_EQ("FE", LevelOf(trace, report));
    EXPECT_EQ(0u, m_ErrorFrameCount);
    EXPECT_GE(m_ErrorFrameReportTick, before);

    // A report time ahead of the clock (the tick count wrapped) lets it through too.
    TraceCapture full;
    m_ErrorFrameReportTick = plat::TickCount() + 5000;
    Inject(XL_RECEIVE_MSG, XL_CAN_MSG_FLAG_ERROR_FRAME, {});
    Receive(frame);
    EXPECT_TRUE(full.hasMessage("Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted 1 time(s)"));
    EXPECT_EQ("VectorReadReceiveQueue()", full.columns().front());
    EXPECT_EQ("VectorReadReceiveQueue()", full.columns().back());
}

TEST_F(CanIoTest, UnknownEventsAreReportedWithTheirTextAtMostOnceASecond) {
    TraceCapture trace;
    Open(trace);
    XLevent chip = {};
    chip.tag = XL_CHIP_STATE;
    chip.tagData.chipState.busStatus = XL_CHIPSTAT_ERROR_ACTIVE;
    CanFrame frame = {};

    ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &chip, 0));
    EXPECT_EQ(0u, Receive(frame));
    const Strings messages = trace.messages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(0u, messages[0].rfind("RX-INFO CHIP_STATE c=0, t=", 0)) << messages[0];
    const std::string report = "Queue rx unknown 4 --> has counted 1 time(s) !!!";
    EXPECT_EQ(report, messages[1]);
    EXPECT_EQ("FE", LevelOf(trace, report));

    trace.clear();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &chip, 0));
        Receive(frame);
    }
    EXPECT_TRUE(trace.lines().empty());
    EXPECT_EQ(3u, m_UnknownEventCount);

    // The event's text needs an enabled scope; the report does not.
    TraceCapture quiet(1);
    m_UnknownEventReportTick = plat::TickCount() - 1500;
    Inject(XL_TIMER, 0, {});
    Receive(frame);
    EXPECT_EQ((Strings{"Queue rx unknown 8 --> has counted 4 time(s) !!!"}), quiet.messages());
}

// ---- wake-up --------------------------------------------------------------

TEST_F(CanIoTest, WakeUpSendsTheConfiguredFrameOnAnOpenChannel) {
    const std::string sent = "WakeUP !!!!! sent", closed = "WakeUP while can is closed";
    const struct {
        int kind;
        bool open;
        uint32_t id;  // 0: nothing on the bus
        Bytes data;
        Strings columns;  // when nothing is sent
    } cases[] = {
        {1, true, 0x7E0, {0x02, 0x3E, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
        {2, true, 0x784, {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
        {3, true, 0, {}, {sent, sent}},
        {0, true, 0, {}, {}},
        {1, false, 0, {}, {closed, closed}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + (c.open ? " open" : " closed"));
        TraceCapture trace;
        if (c.open) Open(trace);
        theModule.m_WakeUp = c.kind;

        VectorSendWakeUp();

        const auto frames = SentOn(0);
        if (c.id) {
            ASSERT_EQ(1u, frames.size());
            EXPECT_EQ(c.id, frames[0].id);
            EXPECT_EQ(c.data, DataOf(frames[0]));
            EXPECT_EQ(sent, trace.columns().front());
            char line[128];
            std::snprintf(line, sizeof line,
                          "RAW-CAN--TX CanId=0x%04x Len=  8 Padding =  1 Data: 0x%02x 0x%02x 0x%02x 0xff 0xff 0xff "
                          "0xff 0xff ",
                          c.id, c.data[0], c.data[1], c.data[2]);
            EXPECT_TRUE(trace.hasMessage(line)) << line;
        } else {
            EXPECT_TRUE(vxlsim::CallsTo("xlCanTransmit").empty());
            EXPECT_EQ(c.columns, trace.columns());
        }
        ResetWorld();
    }
}

// ---- clean-up -------------------------------------------------------------

TEST_F(CanIoTest, CleanUpTakesTheChannelOffAndClosesPortAndDriverOnce) {
    TraceCapture trace;
    Open(trace);
    const XLportHandle port = m_PortHandle.load();

    EXPECT_EQ(0, VectorCleanUp());

    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
    EXPECT_EQ(0x3u, m_ChannelMask.load());
    EXPECT_EQ((Strings{"xlDeactivateChannel", "xlClosePort", "xlCloseDriver"}), CalledFunctions());
    EXPECT_EQ((std::vector<uint64_t>{static_cast<uint64_t>(port), 0x3}),
              ArgsOf(vxlsim::CallsTo("xlDeactivateChannel").at(0)));
    EXPECT_EQ(static_cast<uint64_t>(port), vxlsim::CallsTo("xlClosePort").at(0).args[0]);
    char closeLine[64];
    std::snprintf(closeLine, sizeof closeLine, "- ClosePort        : PH(0x%x), XL_SUCCESS", static_cast<unsigned>(port));
    EXPECT_EQ((Strings{"- DeactivateChannel: CM(0x3), XL_SUCCESS", closeLine}), trace.messages());
    EXPECT_EQ("VectorCleanUp()", trace.columns().front());
    const uint8_t data[] = {0x01};
    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, 1, data, 0));

    // A second clean-up closes no port twice.
    vxlsim_call_clear();
    trace.clear();
    EXPECT_EQ(0, VectorCleanUp());
    EXPECT_EQ((Strings{"xlDeactivateChannel", "xlCloseDriver"}), CalledFunctions());
    EXPECT_EQ(static_cast<uint64_t>(static_cast<int64_t>(XL_INVALID_PORTHANDLE)),
              vxlsim::CallsTo("xlDeactivateChannel").at(0).args[0]);
    ASSERT_EQ(1u, trace.messages().size());
    EXPECT_EQ(0u, trace.messages()[0].rfind("- DeactivateChannel: CM(0x3), XL_ERR_", 0)) << trace.messages()[0];
}

TEST_F(CanIoTest, CleanUpTracesOnlyWhenItsScopeIs) {
    TraceCapture trace(1);
    Open(trace);

    VectorCleanUp();

    EXPECT_TRUE(trace.lines().empty());
    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
}

}  // namespace
