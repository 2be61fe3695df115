#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "../fg/fg_messages.h"
#include "fg/functional_group.h"
#include "trace/trace_file.h"
#include "transport_world.h"

namespace {

class ReadPathTest : public TransportWorld {
protected:
    void TearDown() override {
        m_pFunctionalGroup = nullptr;
        m_pPduTrace = nullptr;
        TransportWorld::TearDown();
    }

    // Starts a group of two ECUs (0x640, 0x641) answering a request of service 0x22.
    void StartGroup(COrvFunctionalGroup &group, uint32_t p2Ms) {
        m_pFunctionalGroup = &group;
        theModule.m_FunctionalGroupActive = 0x7DF;
        group.setTimeoutp2Max(static_cast<int32_t>(p2Ms), 0);
        static const Bytes kPdu{0x22, 0xF1, 0x90};
        static const std::vector<GroupEntry> kEcus{fgtest::Entry(0x6F1, 0x640), fgtest::Entry(0x6F1, 0x641)};
        PASSTHRU_MSG request = fgtest::Message(fgtest::RequestBytes(0x6F1, kPdu, kEcus));
        uint32_t num = 1;
        ASSERT_EQ(STATUS_NOERROR, PassThruWriteMsgs(1, &request, &num, 0));
        ReadAll();  // the request's own confirmation
        trace().clear();
    }
};

TEST_F(ReadPathTest, TwentyMessagesAreTooManyNineteenAreFine) {
    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t num = 20;
    EXPECT_EQ(ERR_DEVICE_NOT_CONNECTED, PassThruReadMsgs(1, msg.get(), &num, 0));
    EXPECT_TRUE(traced("CountReadMessage (20) >=ulNumberMsg (20)"));
    std::vector<PASSTHRU_MSG> many(19);
    num = 19;
    EXPECT_EQ(ERR_BUFFER_EMPTY, PassThruReadMsgs(1, many.data(), &num, 0));
    EXPECT_EQ(0u, num);
}

TEST_F(ReadPathTest, IdlePollLeavesNoTraceWhateverTheTimeout) {
    auto msg = std::make_unique<PASSTHRU_MSG>();
    for (uint32_t timeout : {0u, 5000u}) {
        uint32_t num = 1;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ERR_BUFFER_EMPTY, PassThruReadMsgs(1, msg.get(), &num, timeout));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_EQ(0u, num);
    }
    EXPECT_TRUE(trace().lines().empty());
}

TEST_F(ReadPathTest, NothingRequestedTakesTheFrameWithoutAnalysingIt) {
    ListenTo(0x7E8, 0x7E0);
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t num = 0;
    bool taken = false;
    EXPECT_EQ(ERR_BUFFER_EMPTY, ReadOnce(*msg, num, taken));
    EXPECT_TRUE(taken);
    EXPECT_EQ(0u, num);
    EXPECT_EQ(0, theModule.m_rxBufferCount);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ReadPathTest, NullPointersAreRefused) {
    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t num = 1;
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruReadMsgs(1, nullptr, &num, 0));
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruReadMsgs(1, msg.get(), nullptr, 0));
    EXPECT_TRUE(traced("PassThruReadMsgs pMsg is a NULL pointer"));
    EXPECT_TRUE(traced("PassThruReadMsgs pNumMsgs is a NULL pointer"));
}

TEST_F(ReadPathTest, DeliveredMessageIsTracedWithItsData) {
    ListenTo(0x7E8, 0x7E0);
    trace().clear();
    Inject(0x7E8, {0x03, 0x62, 0xF1, 0x90});
    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t num = 1;
    ASSERT_EQ(STATUS_NOERROR, PassThruReadMsgs(2, msg.get(), &num, 50));
    ASSERT_EQ(1u, num);
    EXPECT_EQ((Bytes{0, 0, 7, 0xE8, 0x62, 0xF1, 0x90}), DataOf(*msg));
    EXPECT_TRUE(traced("ChannelID=00000002 max pNumMsg=00000001 Timeout=00000032 ReadCount=1 1"));
    EXPECT_TRUE(traced("actnum=00000001"));
    EXPECT_TRUE(traced("PASSThruData Len 0x07 Data=0x00 0x00 0x07 0xe8 0x62 0xf1 0x90 "));
    const std::string rx = " ISO15765-RX CanId=0x07e8 Len=03 TS=" + [&] {
        char ts[16];
        std::snprintf(ts, sizeof ts, "%09u", static_cast<unsigned>(msg->Timestamp));
        return std::string(ts);
    }() + "  Data: 0x00 0x00 0x07 0xe8 0x62 0xf1 0x90 RX ";
    EXPECT_TRUE(traced(rx));
    EXPECT_TRUE(traced("new messages in receive queue! STATUS_NOERROR"));
}

TEST_F(ReadPathTest, LongResponseIsReassembledAcrossCalls) {
    ListenTo(0x7E8, 0x7E0);
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    EXPECT_TRUE(ReadAll().empty());
    Inject(0x7E8, {0x21, 6, 7, 8, 9, 10, 11, 12});
    Inject(0x7E8, {0x22, 13, 14, 15, 16, 17, 18, 19});
    auto msgs = ReadAll();
    ASSERT_EQ(1u, msgs.size());
    Bytes expected{0, 0, 7, 0xE8};
    Bytes payload = Counting(20);
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(expected, DataOf(msgs[0]));
    // Our flow control came back confirmed by the bus and was not handed on.
    EXPECT_TRUE(traced("PASSFilter-Aknowledge ACK removed/ignored"));
}

TEST_F(ReadPathTest, PduTraceListsIdAddressBytesAndData) {
    const std::string path = ::testing::TempDir() + "pt_read_path_pdu.log";
    std::remove(path.c_str());
    {
        TraceFile pdu(path.c_str(), 0, 0, 0);
        m_pPduTrace = &pdu;
        m_TraceSettings = 0x11;
        PASSTHRU_MSG mask = FilterMsg(5, 0x7FF, 0xFF), pattern = FilterMsg(5, 0x640, 0xF1);
        uint32_t id = 0;
        ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, nullptr, &id));
        Inject(0x640, {0xF1, 0x02, 0x50, 0x01});
        ASSERT_EQ(1u, ReadAll().size());
        PASSTHRU_MSG request = Request(0x6F1, {0x40, 0x10, 0x03}, ISO15765_ADDR_TYPE);
        uint32_t num = 1;
        ASSERT_EQ(STATUS_NOERROR, PassThruWriteMsgs(1, &request, &num, 0));
        m_pPduTrace = nullptr;
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    EXPECT_NE(std::string::npos, content.find(" CAN-RX 0x0640 0xf1 0x50 0x01 \n")) << content;
    EXPECT_NE(std::string::npos, content.find(" CAN-TX 0x06f1 0x40 0x10 0x03 \n")) << content;
    EXPECT_TRUE(traced("Actual pass filter 1 "));
    std::remove(path.c_str());
}

TEST_F(ReadPathTest, GroupResponsesAreGatheredAndDeliveredOnceP2IsOver) {
    COrvFunctionalGroup group;
    StartGroup(group, 50);
    Inject(0x640, {0xF1, 0x03, 0x62, 0xF1, 0x90});
    Inject(0x641, {0xF1, 0x03, 0x62, 0xF1, 0x91});
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_EQ(2u, tracedCount("new functional group response added into buffer!!!"));

    plat::SleepMs(100);  // P2 of 50 ms on a tick count that may step by 16 ms
    Inject(0x7E8, {0x02, 0x50, 0x01});  // waiting frames come first
    auto msg = std::make_unique<PASSTHRU_MSG>();
    std::memset(msg.get(), 0xEE, sizeof *msg);
    uint32_t num = 1;
    EXPECT_EQ(ERR_BUFFER_EMPTY, PassThruReadMsgs(1, msg.get(), &num, 0));
    EXPECT_FALSE(traced("FunctionalGroup responsses passed to CF!!!"));
    std::memset(msg.get(), 0xEE, sizeof *msg);
    num = 1;
    EXPECT_EQ(STATUS_NOERROR, PassThruReadMsgs(1, msg.get(), &num, 0));
    EXPECT_EQ(1u, num);
    EXPECT_TRUE(traced("FunctionalGroup responsses passed to CF!!!"));
    EXPECT_EQ(ISO15765, msg->ProtocolID);
    EXPECT_EQ(0u, msg->RxStatus);
    EXPECT_EQ(0u, msg->TxFlags);
    EXPECT_EQ(0u, msg->ExtraDataIndex);
    EXPECT_EQ((Bytes{0, 0, 0x07, 0xDF, 0x62, 2, 0, 3, 0, 0x40, 0x06, 0, 0, 0x62, 0xF1, 0x90, 3, 0, 0x41, 0x06,
                     0, 0, 0x62, 0xF1, 0x91}),
              DataOf(*msg));
    num = 1;
    EXPECT_EQ(ERR_BUFFER_EMPTY, PassThruReadMsgs(1, msg.get(), &num, 0));
}

TEST_F(ReadPathTest, ResponsePendingFromOutsideTheGroupComesUnderTheGroupsId) {
    COrvFunctionalGroup group;
    StartGroup(group, 5000);
    ListenTo(0x7E8, 0x7E0);
    Inject(0x7E8, {0x03, 0x7F, 0x31, 0x78});
    auto msgs = ReadAll();
    ASSERT_EQ(1u, msgs.size());
    EXPECT_EQ((Bytes{0, 0, 0x07, 0xDF, 0x7F, 0x31, 0x78}), DataOf(msgs[0]));
    Inject(0x7E8, {0x03, 0x62, 0xF1, 0x90});
    msgs = ReadAll();
    ASSERT_EQ(1u, msgs.size());
    EXPECT_EQ(0x7E8, msgs[0].Data[2] * 256 + msgs[0].Data[3]);
}

// At TRACE=1 the consecutive frames of a reassembly must not compose a single
// line: their cost is measured by the benchmarks, this keeps them silent.
TEST_F(ReadPathTest, ConsecutiveFramesAtTraceOneWriteNoLines) {
    ListenTo(0x7E8, 0x7E0);
    TraceCapture traceOne(1);
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    ASSERT_TRUE(ReadAll().empty());
    traceOne.clear();  // the flow control's transmit line is written at INFO
    Inject(0x7E8, {0x21, 6, 7, 8, 9, 10, 11, 12});
    ASSERT_TRUE(ReadAll().empty());
    Inject(0x7E8, {0x22, 13, 14, 15, 16, 17, 18, 19});
    auto msgs = ReadAll();
    ASSERT_EQ(1u, msgs.size());
    EXPECT_EQ(24u, msgs[0].DataSize);
    EXPECT_EQ(std::vector<std::string>{}, traceOne.lines());
}

}  // namespace
