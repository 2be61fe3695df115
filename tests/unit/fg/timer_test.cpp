#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fg/functional_group.h"
#include "fg_messages.h"
#include "platform/platform.h"
#include "trace_capture.h"

using namespace fgtest;

namespace {

void SendRequest(COrvFunctionalGroup &fg) {
    PASSTHRU_MSG request = Request(0x7DF, {0x22, 0xF1, 0x90}, {Entry(0x7E0, 0x7E8)});
    ASSERT_EQ(fg.decode(&request), 4);
}

bool Offer(COrvFunctionalGroup &fg, const std::vector<uint8_t> &payload) {
    PASSTHRU_MSG msg = Response(0x7E8, payload);
    return fg.encode(&msg);
}

TEST(FgTimer, SettersAddTheOffset) {
    COrvFunctionalGroup fg;
    TraceCapture capture;
    fg.setTimeoutp2Max(50, 7);
    fg.setTimeoutp2MaxRespPending(2000, -100);
    EXPECT_EQ(fg.p2Max(), 57u);
    EXPECT_EQ(fg.p2Star(), 1900u);
    EXPECT_EQ(capture.messages(), (std::vector<std::string>{"P2Max: 50 Offset 7 ", "P2Star: 2000 Offset -100"}));
    EXPECT_EQ(capture.columns(),
              (std::vector<std::string>{"COrvFunctionalGroup::setTimeoutp2Max(..)",
                                        "COrvFunctionalGroup::setTimeoutp2Max(..) : P2Max: 50 Offset 7 ",
                                        "COrvFunctionalGroup::setTimeoutp2Max(..)",
                                        "COrvFunctionalGroup::setTimeoutp2MaxRespPending(..)",
                                        "COrvFunctionalGroup::setTimeoutp2MaxRespPending(..) : P2Star: 2000 Offset -100",
                                        "COrvFunctionalGroup::setTimeoutp2MaxRespPending(..)"}));
}

TEST(FgTimer, ElapsesOnceP2HasPassedSinceTheLastRequest) {
    COrvFunctionalGroup fg;
    fg.setTimeoutp2Max(100, 0);
    TraceCapture capture;
    EXPECT_FALSE(fg.isTimerSet());
    EXPECT_EQ(capture.columns().front(), "COrvFunctionalGroup::isTimerSet(..)");
    SendRequest(fg);
    EXPECT_TRUE(fg.isTimerSet());
    plat::SleepMs(60);
    EXPECT_FALSE(fg.isReceiveTimerElapsed());
    SendRequest(fg);  // restarts it
    plat::SleepMs(60);
    EXPECT_FALSE(fg.isReceiveTimerElapsed());
    ASSERT_TRUE(Offer(fg, {0x62, 0xF1, 0x90}));  // does not
    plat::SleepMs(70);
    EXPECT_TRUE(fg.isReceiveTimerElapsed());
}

TEST(FgTimer, ResponsePendingSwitchesToP2StarUntilDelivery) {
    COrvFunctionalGroup fg;
    fg.setTimeoutp2Max(20, 0);
    fg.setTimeoutp2MaxRespPending(150, 0);
    SendRequest(fg);
    EXPECT_FALSE(Offer(fg, {0x7F, 0x22, 0x78}));
    plat::SleepMs(70);
    EXPECT_FALSE(fg.isReceiveTimerElapsed()) << "P2 is over but P2* is not";
    plat::SleepMs(130);
    ASSERT_TRUE(fg.isReceiveTimerElapsed());

    // Nothing was aggregated: the host gets the bare header.
    TraceCapture capture;
    PASSTHRU_MSG out{};
    fg.prepareToSendResponses(&out, 0x750);
    EXPECT_EQ(DataOf(out), (std::vector<uint8_t>{0x00, 0x00, 0x07, 0x50, 0x62, 0x00, 0x00}));
    EXPECT_TRUE(capture.hasMessage("FG response 7 bytes: 0x00 0x00 0x07 0x50 0x62 0x00 0x00 "));
    EXPECT_TRUE(capture.hasMessage(" ISO15765-RX-FG CanId=0x0750 Len=03 TS=000000000  Data: "));
    EXPECT_FALSE(fg.isTimerSet());
    EXPECT_FALSE(fg.isRespondPending());

    // The limits outlive the group they timed: the next request waits P2 again.
    SendRequest(fg);
    plat::SleepMs(50);
    EXPECT_TRUE(fg.isReceiveTimerElapsed());
}

}  // namespace
