#include <atomic>
#include <thread>

#include "api/module.h"
#include "platform/platform.h"
#include "sim_world.h"

namespace {

using namespace simworld;

class ConcurrencyTest : public OpenChannelTest {};

// The host writes, changes filters and reads on three threads while the
// worker sends: every call keeps its answer, and the lists end consistent.
TEST_F(ConcurrencyTest, WriterFilterChangerReaderAndWorkerShareTheLists) {
    TraceCapture quiet(1);
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    ListenTo(0x7E8, 0x7E0);
    ListenTo(0x7E9, 0x7E1);

    constexpr int kRounds = 150;
    std::atomic<bool> writing{true};
    std::atomic<int> writeFailures{0}, filterFailures{0};

    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (Write(Request(0x7E0, Counting(20, static_cast<uint8_t>(i)))) != STATUS_NOERROR) ++writeFailures;
            if (Write(Request(0x7E1, {0x3E, 0x00})) != STATUS_NOERROR) ++writeFailures;
            plat::SleepMs(1);
        }
        writing = false;
    });
    std::thread filters([&] {
        for (int i = 0; i < kRounds; ++i) {
            PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7EA), flow = FilterMsg(4, 0x7E2);
            uint32_t passId = 0, flowId = 0;
            if (PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, &flow, &passId) != STATUS_NOERROR ||
                PassThruStartMsgFilter(1, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &flowId) != STATUS_NOERROR ||
                PassThruStopMsgFilter(1, passId) != STATUS_NOERROR ||
                PassThruStopMsgFilter(1, flowId) != STATUS_NOERROR)
                ++filterFailures;
        }
    });

    int confirmations = 0, responses = 0;
    auto msg = std::make_unique<PASSTHRU_MSG>();
    while (writing) {
        Inject(0x7E8, {0x30, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        Inject(0x7E9, {0x02, 0x7E, 0x00});
        Inject(0x7E8, {0x10, 0x08, 1, 2, 3, 4, 5, 6});
        Inject(0x7E8, {0x21, 7, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        for (int i = 0; i < 40; ++i) {
            uint32_t num = 1;
            if (PassThruReadMsgs(1, msg.get(), &num, 0) != STATUS_NOERROR) continue;
            if (msg->RxStatus & TX_MSG_TYPE)
                ++confirmations;
            else
                ++responses;
        }
    }
    writer.join();
    filters.join();
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));

    EXPECT_EQ(0, writeFailures.load());
    EXPECT_EQ(0, filterFailures.load());
    EXPECT_GT(confirmations, 0);
    EXPECT_GT(responses, 0);
    EXPECT_EQ(2, theModule.m_passFilterCount);
    EXPECT_EQ(2, theModule.m_flowFilterCount);
    EXPECT_EQ(static_cast<int32_t>(theModule.m_txBuffer.size()), theModule.m_txBufferCount);
    EXPECT_EQ(static_cast<int32_t>(theModule.m_rxBuffer.size()), theModule.m_rxBufferCount);
}

}  // namespace
