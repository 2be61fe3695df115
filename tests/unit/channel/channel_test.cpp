#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "can/driver_init.h"
#include "sim_world.h"
#include "trace/lock_guard.h"
#include "transport/worker.h"

namespace {

using namespace simworld;

class ChannelTest : public OpenChannelTest {
protected:
    void SetUp() override {
        OpenChannelTest::SetUp();
        m_FirmwareVersion = firmware_;
        m_DllVersion = dll_;
        m_ApiVersion = api_;
    }
    void TearDown() override {
        m_FirmwareVersion = m_DllVersion = m_ApiVersion = nullptr;
        OpenChannelTest::TearDown();
    }

    size_t columnCount(const std::string &column) {
        auto c = trace().columns();
        return static_cast<size_t>(std::count(c.begin(), c.end(), column));
    }

    char firmware_[80] = "00.02";
    char dll_[80] = "00.16";
    char api_[80] = "00.06";
};

TEST_F(ChannelTest, ConnectRefusesOtherProtocolsBeforeLookingAtFlags) {
    uint32_t channel = 0xDEAD;
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruConnect(CAN, 0x180, &channel));
    EXPECT_EQ(0xDEADu, channel);
    EXPECT_EQ((std::vector<std::string>{"PassThruConnect ProtocolID=00000005 Flags=00000180 ",
                                        "PassThruConnect invalid ProtocolID"}),
              trace().messages());
    EXPECT_EQ(0, theModule.m_bThreadRun);
}

TEST_F(ChannelTest, ConnectRefusesTwentyNineBitIdsBeforeExtendedAddressing) {
    uint32_t channel = 0xDEAD;
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruConnect(ISO15765, 0x100, &channel));
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruConnect(ISO15765, 0x180, &channel));
    EXPECT_EQ(2u, tracedCount("PassThruConnect invalid FLAGS_CAN_ID_29BIT"));
    EXPECT_FALSE(traced("PassThruConnect invalid FLAGS_EXTENDED_ADDRESSING"));
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruConnect(ISO15765, 0x80, &channel));
    EXPECT_TRUE(traced("PassThruConnect invalid FLAGS_EXTENDED_ADDRESSING"));
    EXPECT_EQ(0xDEADu, channel);
    EXPECT_EQ(0u, columnCount("ThreadRead(start)"));
}

TEST_F(ChannelTest, ConnectIgnoresOtherFlagsAndStartsTheWorker) {
    uint32_t channel = 0;
    EXPECT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0x200, &channel));
    EXPECT_EQ(1u, channel);
    EXPECT_EQ(1, theModule.m_bThreadRun);
    // The worker already runs when Connect returns.
    EXPECT_EQ(1u, columnCount("ThreadRead(start)"));
    EXPECT_TRUE(traced("PassThruConnect-CAN is active now!"));

    EXPECT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_EQ(0, theModule.m_bThreadRun);
    EXPECT_FALSE(theModule.m_hReadThread.open);
    EXPECT_EQ(2u, columnCount("ThreadRead(end)"));
    EXPECT_EQ(2u, columnCount("ThreadRead(start)"));
}

TEST_F(ChannelTest, SecondConnectStartsNoSecondWorker) {
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    channel = 0;
    EXPECT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    EXPECT_EQ(1u, channel);
    EXPECT_TRUE(traced("PassThruConnect already connected, worker running"));
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_EQ(2u, columnCount("ThreadRead(start)"));  // one entry and one exit line
}

TEST_F(ChannelTest, ConnectWithoutChannelVariableIsRefused) {
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruConnect(ISO15765, 0, nullptr));
    EXPECT_TRUE(traced("PassThruConnect pChannelID is a NULL pointer"));
    EXPECT_EQ(0, theModule.m_bThreadRun);
}

TEST_F(ChannelTest, DisconnectWithoutConnectCleansUpAnyChannelId) {
    EXPECT_EQ(STATUS_NOERROR, PassThruDisconnect(7));
    EXPECT_EQ((std::vector<std::string>{"xlDeactivateChannel", "xlClosePort", "xlCloseDriver"}), CalledFunctions());
    EXPECT_EQ(XL_INVALID_PORTHANDLE, m_PortHandle.load());
    EXPECT_EQ(STATUS_NOERROR, PassThruDisconnect(7));
}

TEST_F(ChannelTest, DisconnectForgetsPendingConfirmationsButKeepsFiltersAndTransfers) {
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    ListenTo(0x7E8, 0x7E0);
    ASSERT_EQ(STATUS_NOERROR, Write(Request(0x7E0, {0x10, 0x03})));
    {
        LockGuard txGuard(theModule.m_txLock);
        EXPECT_EQ(1u, theModule.m_ackPending.size());
    }
    ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
    EXPECT_TRUE(theModule.m_ackPending.empty());
    ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
    EXPECT_EQ(1, theModule.m_passFilterCount);
    EXPECT_EQ(1, theModule.m_flowFilterCount);
    EXPECT_EQ(2, theModule.m_NextFilterId);
}

TEST_F(ChannelTest, ConnectAndDisconnectManyTimesKeepOneWorkerAtATime) {
    for (int i = 0; i < 40; ++i) {
        uint32_t channel = 0;
        ASSERT_EQ(STATUS_NOERROR, PassThruConnect(ISO15765, 0, &channel));
        ASSERT_EQ(STATUS_NOERROR, PassThruDisconnect(1));
        ASSERT_FALSE(theModule.m_hReadThread.open);
    }
    EXPECT_EQ(80u, columnCount("ThreadRead(end)"));
    EXPECT_EQ(40u, tracedCount("PassThruConnect-CAN is active now!"));
}

TEST_F(ChannelTest, ReadVersionCopiesTheThreeTexts) {
    char firmware[16], dll[16], api[16];
    std::memset(firmware, 'x', sizeof firmware);
    std::memset(dll, 'x', sizeof dll);
    std::memset(api, 'x', sizeof api);
    EXPECT_EQ(STATUS_NOERROR, PassThruReadVersion(firmware, dll, api));
    EXPECT_EQ(0, std::memcmp(firmware, "00.02", 6));
    EXPECT_EQ(0, std::memcmp(dll, "00.16", 6));
    EXPECT_EQ(0, std::memcmp(api, "00.06", 6));
    EXPECT_EQ('x', firmware[6]);
    EXPECT_TRUE(traced("pFirmwareVersion=00.02 pDllVersion=00.16 pApiVersion=00.06"));
    EXPECT_EQ(ERR_NULL_PARAMETER, PassThruReadVersion(firmware, nullptr, api));
    EXPECT_TRUE(traced("PassThruReadVersion version buffer is a NULL pointer"));
}

TEST_F(ChannelTest, UnsupportedStatusFunctionsTouchNothing) {
    char description[80];
    std::memset(description, 'q', sizeof description);
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruGetLastError(description));
    EXPECT_EQ(std::string(80, 'q'), std::string(description, sizeof description));
    PASSTHRU_MSG msg{};
    uint32_t msgId = 0xBEEF;
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStartPeriodicMsg(1, &msg, &msgId, 100));
    EXPECT_EQ(0xBEEFu, msgId);
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruStopPeriodicMsg(1, 1));
    EXPECT_EQ(ERR_NOT_SUPPORTED, PassThruSetProgrammingVoltage(15, 5000));
    EXPECT_EQ((std::vector<std::string>{"PassThruGetLastError()", "PassThruGetLastError()",
                                        "PassThruStartPeriodicMsg()", "PassThruStartPeriodicMsg()",
                                        "PassThruStopPeriodicMsg()", "PassThruStopPeriodicMsg()",
                                        "PassThruSetProgrammingVoltage()", "PassThruSetProgrammingVoltage()"}),
              trace().columns());
}

}  // namespace
