#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "can/xl_binding.h"
#include "can_test_world.h"
#include "j2534.h"
#include "platform/platform.h"
#include "trace/trace_scope.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

class CanIoTest : public CanWorldTest {
protected:
    static std::vector<vxlsim_frame> OnChannel0() {
        std::vector<vxlsim_frame> frames;
        for (const vxlsim_frame &f : vxlsim::Captured())
            if (f.channel == 0) frames.push_back(f);
        return frames;
    }

    static Bytes DataOf(const vxlsim_frame &f) { return Bytes(f.data, f.data + f.dlc); }

    static void Inject(uint8_t tag, uint16_t flags, uint32_t id, const Bytes &data, uint64_t timeNs = 0) {
        XLevent event = {};
        event.tag = tag;
        event.timeStamp = timeNs;
        event.tagData.msg.id = id;
        event.tagData.msg.flags = flags;
        event.tagData.msg.dlc = static_cast<uint16_t>(data.size());
        if (!data.empty()) std::memcpy(event.tagData.msg.data, data.data(), std::min<size_t>(data.size(), 8));
        ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &event, 1));
    }

    static uint32_t Transmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad) {
        PT_SCOPE(scope, "test transmit");
        return VectorTransmit(id, length, data, pad, scope);
    }
};

// A frame whose every byte says "not written".
CanFrame Untouched() {
    CanFrame frame;
    std::memset(&frame, 0xA5, sizeof frame);
    return frame;
}

bool SameBytes(const CanFrame &a, const CanFrame &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- transmit -------------------------------------------------------------

TEST_F(CanIoTest, PaddedFrameGoesOutWithEightBytesAndIsTracedWhole) {
    TraceCapture trace;
    OpenChannel(trace);
    m_LastTxTimestamp = 12345;
    const uint8_t data[] = {0x02, 0x10, 0x03};

    EXPECT_EQ(STATUS_NOERROR, Transmit(0x7E0, 3, data, 1));

    const auto frames = OnChannel0();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0x7E0u, frames[0].id);
    EXPECT_EQ(8u, frames[0].dlc);
    EXPECT_EQ((Bytes{0x02, 0x10, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(frames[0]));
    EXPECT_EQ(m_PortHandle.load(), frames[0].sender_port);

    const auto transmits = vxlsim::CallsTo("xlCanTransmit");
    ASSERT_EQ(1u, transmits.size());
    EXPECT_EQ((std::vector<uint64_t>{static_cast<uint64_t>(m_PortHandle.load()), 0x3, 1, 1}),
              ArgsOf(transmits[0]));

    const Strings expected = {
        "RAW-CAN--TX CanId=0x07e0 Len=  3 Padding =  1 Data: 0x02 0x10 0x03 0xff 0xff 0xff 0xff 0xff ",
        "Transmit CAN messages ...successed time=" + std::to_string(m_LastTxTimestamp.load()) + " us",
    };
    EXPECT_EQ(expected, trace.messages());
    EXPECT_NE(12345u, m_LastTxTimestamp.load());
}

TEST_F(CanIoTest, UnpaddedFrameKeepsItsLength) {
    TraceCapture trace;
    OpenChannel(trace);
    const uint8_t data[] = {0x30, 0x00, 0x14};

    EXPECT_EQ(STATUS_NOERROR, Transmit(0x7E0, 3, data, 0));

    const auto frames = OnChannel0();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ((Bytes{0x30, 0x00, 0x14}), DataOf(frames[0]));
    EXPECT_EQ("RAW-CAN--TX CanId=0x07e0 Len=  3 Padding =  0 Data: 0x30 0x00 0x14 ", trace.messages().at(0));
}

TEST_F(CanIoTest, EmptyPaddedFrameNeedsNoData) {
    TraceCapture trace;
    OpenChannel(trace);

    EXPECT_EQ(STATUS_NOERROR, Transmit(0x18DA10F1u | XL_CAN_EXT_MSG_ID, 0, nullptr, 1));

    const auto frames = OnChannel0();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0x18DA10F1u | XL_CAN_EXT_MSG_ID, frames[0].id);
    EXPECT_EQ(Bytes(8, 0xFF), DataOf(frames[0]));
}

TEST_F(CanIoTest, SilentScopeSendsButLeavesTheTransmitTimeAlone) {
    TraceCapture trace(1);
    OpenChannel(trace);
    m_LastTxTimestamp = 12345;
    const uint8_t data[] = {0x01, 0x3E};

    EXPECT_EQ(STATUS_NOERROR, Transmit(0x7DF, 2, data, 0));

    EXPECT_EQ(1u, OnChannel0().size());
    EXPECT_EQ(12345u, m_LastTxTimestamp.load());
    EXPECT_EQ((Strings{"RAW-CAN--TX CanId=0x07df Len=  2 Padding =  0 Data: 0x01 0x3e "}), trace.messages());
}

TEST_F(CanIoTest, RefusedTransmitReportsTheDriversStatus) {
    TraceCapture trace;
    OpenChannel(trace);
    ASSERT_EQ(0, vxlsim_fail("xlCanTransmit", XL_ERR_QUEUE_IS_FULL, 1));
    const uint8_t data[] = {0x02, 0x10, 0x03};

    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, 3, data, 1));

    EXPECT_TRUE(OnChannel0().empty());
    EXPECT_EQ("Transmit CAN messages ...FAILED!!!! 0x000B XL_ERR_QUEUE_IS_FULL", trace.messages().back());
    EXPECT_EQ("IN", LevelOf(trace, trace.messages().back()));
}

TEST_F(CanIoTest, LengthOutsideAFrameOrMissingDataSendsNothing) {
    TraceCapture trace;
    OpenChannel(trace);
    const uint8_t data[9] = {};

    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, 9, data, 1));
    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, -1, data, 0));
    EXPECT_EQ(ERR_NULL_PARAMETER, Transmit(0x7E0, 2, nullptr, 0));

    EXPECT_TRUE(vxlsim::CallsTo("xlCanTransmit").empty());
    const Strings expected = {
        "Transmit CAN messages ...FAILED!!!! CanId=0x07e0 Len=9 out of range 0..8",
        "Transmit CAN messages ...FAILED!!!! CanId=0x07e0 Len=-1 out of range 0..8",
        "Transmit CAN messages ...FAILED!!!! CanId=0x07e0 no data",
    };
    EXPECT_EQ(expected, trace.messages());
}

// ---- receive --------------------------------------------------------------

TEST_F(CanIoTest, EmptyQueueLeavesTheFrameAlone) {
    TraceCapture trace;
    OpenChannel(trace);
    CanFrame frame = Untouched();
    uint32_t received = 7;

    EXPECT_EQ(0u, VectorReadReceiveQueue(frame, received));

    EXPECT_EQ(0u, received);
    EXPECT_TRUE(SameBytes(Untouched(), frame));
}

TEST_F(CanIoTest, ReceivedFrameIsDeliveredWithItsTimeSplit) {
    TraceCapture trace;
    OpenChannel(trace);
    Inject(XL_RECEIVE_MSG, 0, 0x7E8, {0x03, 0x7F, 0x10, 0x78}, 1234567891ull);
    CanFrame frame = Untouched();
    uint32_t received = 0;

    EXPECT_EQ(0u, VectorReadReceiveQueue(frame, received));

    ASSERT_EQ(1u, received);
    EXPECT_EQ(CAN_FRAME_TYPE_FRAME, frame.frameType);
    EXPECT_EQ(0u, frame.frameFlags);
    EXPECT_EQ(0x7E8u, frame.id);
    EXPECT_EQ(4u, frame.dlc);
    EXPECT_EQ((Bytes{0x03, 0x7F, 0x10, 0x78}), Bytes(frame.data, frame.data + 4));
    EXPECT_EQ(1234u, frame.timeMs);
    EXPECT_EQ(567u, frame.timeUs);
    EXPECT_EQ(0u, frame.timeReserved);
    EXPECT_EQ(0u, frame.trailer);
    EXPECT_TRUE(trace.lines().empty());
}

TEST_F(CanIoTest, TimeStampBeyondThirtyTwoBitMicrosecondsWraps) {
    TraceCapture trace;
    OpenChannel(trace);
    // 2^32 us + 5.25 ms: the microsecond count wraps to 5250.
    Inject(XL_RECEIVE_MSG, 0, 0x7E8, {0x01}, ((1ull << 32) + 5250ull) * 1000ull + 999ull);
    CanFrame frame = {};
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    ASSERT_EQ(1u, received);
    EXPECT_EQ(5u, frame.timeMs);
    EXPECT_EQ(250u, frame.timeUs);
}

TEST_F(CanIoTest, OwnFrameComesBackMarkedAsConfirmation) {
    TraceCapture trace;
    OpenChannel(trace);
    const uint8_t data[] = {0x02, 0x10, 0x03};
    ASSERT_EQ(STATUS_NOERROR, Transmit(0x7E0, 3, data, 1));
    trace.clear();
    CanFrame frame = {};
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    ASSERT_EQ(1u, received);
    EXPECT_EQ(CAN_FRAME_TYPE_FRAME, frame.frameType);
    EXPECT_EQ(CAN_FRAME_TX_ACK, frame.frameFlags);
    EXPECT_EQ(0x7E0u, frame.id);
    EXPECT_EQ(8u, frame.dlc);
    EXPECT_EQ((Bytes{0x02, 0x10, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Bytes(frame.data, frame.data + 8));
    EXPECT_EQ((Strings{"Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED", "Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED"}),
              trace.columns());
}

struct BlockingCase {
    const char *name;
    uint16_t flags;
    const char *scope;
};

class CanIoBlockedTest : public CanIoTest, public ::testing::WithParamInterface<BlockingCase> {};

TEST_P(CanIoBlockedTest, FlaggedFrameIsNotDelivered) {
    TraceCapture trace;
    OpenChannel(trace);
    Inject(XL_RECEIVE_MSG, GetParam().flags, 0x7E8, {0x01, 0x02});
    CanFrame frame = Untouched();
    uint32_t received = 1;

    VectorReadReceiveQueue(frame, received);

    EXPECT_EQ(0u, received);
    EXPECT_EQ(0u, frame.frameType);
    EXPECT_EQ((Strings{GetParam().scope, GetParam().scope}), trace.columns());
}

INSTANTIATE_TEST_SUITE_P(
    Flags, CanIoBlockedTest,
    ::testing::Values(BlockingCase{"OverrunBeatsConfirmation", 0x42, "Queue rx XL_CAN_MSG_FLAG_OVERRUN"},
                      BlockingCase{"Nerr", 0x04, "Queue rx XL_CAN_MSG_FLAG_NERR "},
                      BlockingCase{"WakeUp", 0x08, "Queue rx XL_CAN_MSG_FLAG_WAKEUP"},
                      BlockingCase{"Remote", 0x10, "Queue rx XL_CAN_MSG_FLAG_REMOTE_FRAME"},
                      BlockingCase{"Reserved1", 0x20, "Queue rx XL_CAN_MSG_FLAG_RESERVED_1"},
                      BlockingCase{"TxRequest", 0x80, "Queue rx XL_CAN_MSG_FLAG_TX_REQUEST"},
                      BlockingCase{"NerrBeforeWakeUp", 0x0C, "Queue rx XL_CAN_MSG_FLAG_NERR "}),
    [](const ::testing::TestParamInfo<BlockingCase> &info) { return std::string(info.param.name); });

TEST_F(CanIoTest, FlagBitsAboveTheLowByteNeitherBlockNorMark) {
    TraceCapture trace;
    OpenChannel(trace);
    Inject(XL_RECEIVE_MSG, 0x0300, 0x7E8, {0x01});
    CanFrame frame = {};
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    EXPECT_EQ(1u, received);
    EXPECT_EQ(CAN_FRAME_TYPE_FRAME, frame.frameType);
    EXPECT_EQ(0u, frame.frameFlags);
}

TEST_F(CanIoTest, TransmitEventIsDeliveredWithoutFrameType) {
    TraceCapture trace;
    OpenChannel(trace);
    Inject(XL_TRANSMIT_MSG, 0, 0x7E0, {0x02, 0x10, 0x03}, 3000000);
    CanFrame frame = Untouched();
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    EXPECT_EQ(1u, received);
    EXPECT_EQ(0u, frame.frameType);
    EXPECT_EQ(0u, frame.frameFlags);
    EXPECT_EQ(0x7E0u, frame.id);
    EXPECT_EQ(3u, frame.dlc);
    EXPECT_EQ(3u, frame.timeMs);
    EXPECT_EQ((Strings{"Queue tx ????", "Queue tx ????"}), trace.columns());
}

TEST_F(CanIoTest, EventWithoutCommandClearsTheFrameButDeliversNothing) {
    TraceCapture trace;
    OpenChannel(trace);
    Inject(XL_NO_COMMAND, 0, 0x123, {0x01});
    CanFrame frame = Untouched();
    uint32_t received = 1;

    VectorReadReceiveQueue(frame, received);

    EXPECT_EQ(0u, received);
    EXPECT_EQ(0u, frame.id);
    EXPECT_EQ(0u, frame.dlc);
    EXPECT_EQ(0u, frame.frameType);
    EXPECT_TRUE(trace.lines().empty());
}

TEST_F(CanIoTest, LongDlcCopiesNoMoreThanTheFrameHolds) {
    TraceCapture trace;
    OpenChannel(trace);
    XLevent event = {};
    event.tag = XL_RECEIVE_MSG;
    event.tagData.msg.id = 0x7E8;
    event.tagData.msg.dlc = 0x10F;  // low byte 15: a CAN FD length code
    std::memset(event.tagData.msg.data, 0x11, 8);
    std::memset(&event.tagData.msg.res2, 0x22, sizeof event.tagData.msg.res2);
    ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &event, 1));
    CanFrame frame = Untouched();
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    ASSERT_EQ(1u, received);
    EXPECT_EQ(15u, frame.dlc);
    EXPECT_EQ(Bytes(8, 0x11), Bytes(frame.data, frame.data + 8));
    EXPECT_EQ(0u, frame.trailer);
}

// ---- rate-limited reports --------------------------------------------------

TEST_F(CanIoTest, ErrorFramesWithinASecondAreCountedAndReportedTogether) {
    TraceCapture trace(0);
    OpenChannel(trace);
    m_ErrorFrameReportTick = plat::TickCount();
    CanFrame frame = {};
    uint32_t received = 1;
    for (int i = 0; i < 10; ++i) {
        Inject(XL_RECEIVE_MSG, XL_CAN_MSG_FLAG_ERROR_FRAME, 0, {});
        VectorReadReceiveQueue(frame, received);
        EXPECT_EQ(0u, received);
    }
    EXPECT_TRUE(trace.lines().empty());
    EXPECT_EQ(10u, m_ErrorFrameCount);

    // The last report lies more than a second back.
    m_ErrorFrameReportTick = plat::TickCount() - 1500;
    Inject(XL_RECEIVE_MSG, XL_CAN_MSG_FLAG_ERROR_FRAME | XL_CAN_MSG_FLAG_TX_COMPLETED, 0, {});
    const uint32_t before = plat::TickCount();
    VectorReadReceiveQueue(frame, received);

    EXPECT_EQ(0u, received);
    const std::string report = "Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted 11 time(s)";
    EXPECT_EQ((Strings{report}), trace.messages());
    EXPECT_EQ("FE", LevelOf(trace, report));
    EXPECT_EQ(0u, m_ErrorFrameCount);
    EXPECT_GE(m_ErrorFrameReportTick, before);
}

TEST_F(CanIoTest, ReportTickAheadOfTheClockAlsoLetsTheReportThrough) {
    TraceCapture trace;
    OpenChannel(trace);
    m_ErrorFrameReportTick = plat::TickCount() + 5000;
    Inject(XL_RECEIVE_MSG, XL_CAN_MSG_FLAG_ERROR_FRAME, 0, {});
    CanFrame frame = {};
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    EXPECT_TRUE(trace.hasMessage("Queue rx XL_CAN_MSG_FLAG_ERROR_FRAME --> has counted 1 time(s)"));
    const Strings columns = trace.columns();
    EXPECT_EQ("VectorReadReceiveQueue()", columns.front());
    EXPECT_EQ("VectorReadReceiveQueue()", columns.back());
}

TEST_F(CanIoTest, UnknownEventsAreReportedWithTheirTextAtMostOnceASecond) {
    TraceCapture trace;
    OpenChannel(trace);
    XLevent chip = {};
    chip.tag = XL_CHIP_STATE;
    chip.tagData.chipState.busStatus = XL_CHIPSTAT_ERROR_ACTIVE;
    CanFrame frame = {};
    uint32_t received = 1;

    ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &chip, 0));
    VectorReadReceiveQueue(frame, received);
    EXPECT_EQ(0u, received);
    ASSERT_EQ(2u, trace.messages().size());
    EXPECT_EQ(0u, trace.messages()[0].rfind("RX-INFO CHIP_STATE c=0, t=", 0)) << trace.messages()[0];
    const std::string report = "Queue rx unknown 4 --> has counted 1 time(s) !!!";
    EXPECT_EQ(report, trace.messages()[1]);
    EXPECT_EQ("FE", LevelOf(trace, report));

    trace.clear();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(1, vxlsim_inject_event(m_PortHandle.load(), 0, &chip, 0));
        VectorReadReceiveQueue(frame, received);
    }
    EXPECT_TRUE(trace.lines().empty());
    EXPECT_EQ(3u, m_UnknownEventCount);
}

TEST_F(CanIoTest, UnknownEventTextNeedsAnEnabledScope) {
    TraceCapture trace(1);
    OpenChannel(trace);
    Inject(XL_TIMER, 0, 0, {});
    CanFrame frame = {};
    uint32_t received = 0;

    VectorReadReceiveQueue(frame, received);

    EXPECT_EQ((Strings{"Queue rx unknown 8 --> has counted 1 time(s) !!!"}), trace.messages());
}

// ---- wake-up --------------------------------------------------------------

TEST_F(CanIoTest, WakeUpSendsTheConfiguredFrame) {
    TraceCapture trace;
    OpenChannel(trace);

    theModule.m_WakeUp = 1;
    VectorSendWakeUp();
    theModule.m_WakeUp = 2;
    VectorSendWakeUp();

    const auto frames = OnChannel0();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(0x7E0u, frames[0].id);
    EXPECT_EQ((Bytes{0x02, 0x3E, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(frames[0]));
    EXPECT_EQ(0x784u, frames[1].id);
    EXPECT_EQ((Bytes{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), DataOf(frames[1]));
    EXPECT_EQ("WakeUP !!!!! sent", trace.columns().front());
    EXPECT_TRUE(trace.hasMessage(
        "RAW-CAN--TX CanId=0x07e0 Len=  8 Padding =  1 Data: 0x02 0x3e 0x01 0xff 0xff 0xff 0xff 0xff "));
}

TEST_F(CanIoTest, WakeUpOfUnknownKindOpensItsScopeAndSendsNothing) {
    TraceCapture trace;
    OpenChannel(trace);
    theModule.m_WakeUp = 3;

    VectorSendWakeUp();

    EXPECT_TRUE(vxlsim::Captured().empty());
    EXPECT_EQ((Strings{"WakeUP !!!!! sent", "WakeUP !!!!! sent"}), trace.columns());
}

TEST_F(CanIoTest, WakeUpSwitchedOffStaysSilent) {
    TraceCapture trace;
    OpenChannel(trace);
    theModule.m_WakeUp = 0;

    VectorSendWakeUp();

    EXPECT_TRUE(vxlsim::Captured().empty());
    EXPECT_TRUE(trace.lines().empty());
}

TEST_F(CanIoTest, WakeUpOnAClosedChannelOnlySaysSo) {
    TraceCapture trace;
    theModule.m_WakeUp = 1;

    VectorSendWakeUp();

    EXPECT_TRUE(vxlsim::CallsTo("xlCanTransmit").empty());
    EXPECT_EQ((Strings{"WakeUP while can is closed", "WakeUP while can is closed"}), trace.columns());
}

// ---- clean-up -------------------------------------------------------------

TEST_F(CanIoTest, CleanUpTakesTheChannelOffAndClosesPortAndDriver) {
    TraceCapture trace;
    OpenChannel(trace);
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

    // Frames no longer reach the driver through a closed port.
    const uint8_t data[] = {0x01};
    EXPECT_EQ(ERR_FAILED, Transmit(0x7E0, 1, data, 0));
}

TEST_F(CanIoTest, SecondCleanUpIsHarmless) {
    TraceCapture trace;
    OpenChannel(trace);
    VectorCleanUp();
    vxlsim_call_clear();
    trace.clear();

    EXPECT_EQ(0, VectorCleanUp());

    EXPECT_EQ((Strings{"xlDeactivateChannel", "xlCloseDriver"}), CalledFunctions());
    EXPECT_EQ(static_cast<uint64_t>(static_cast<int64_t>(XL_INVALID_PORTHANDLE)),
              vxlsim::CallsTo("xlDeactivateChannel").at(0).args[0]);
    const Strings messages = trace.messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(0u, messages[0].rfind("- DeactivateChannel: CM(0x3), XL_ERR_", 0)) << messages[0];
    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
}

TEST_F(CanIoTest, CleanUpTracesOnlyWhenItsScopeIs) {
    TraceCapture trace(1);
    OpenChannel(trace);

    VectorCleanUp();

    EXPECT_TRUE(trace.lines().empty());
    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
}

}  // namespace
