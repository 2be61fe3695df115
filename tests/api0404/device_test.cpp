// The 04.04 library as a tool meets it first: load, versions, devices by
// name, connect's refusals, ids that name nothing, Ioctls and their
// settings, and the texts of PassThruGetLastError.
#include <gtest/gtest.h>

#include "host0404.h"

namespace {

TEST(Device0404, LoadsAnywhereAndTellsItsVersions) {
    Host0404 host;
    char firmware[80] = "x", dll[80] = "x", api[80] = "x";
    EXPECT_EQ(ERR_INVALID_DEVICE_ID, host.pt().ReadVersion(1, firmware, dll, api));
    ASSERT_EQ(STATUS_NOERROR, host.open());
    EXPECT_EQ(ERR_NULL_PARAMETER, host.pt().ReadVersion(host.device(), firmware, nullptr, api));
    ASSERT_EQ(STATUS_NOERROR, host.pt().ReadVersion(host.device(), firmware, dll, api));
    EXPECT_STREQ("04.04", api);
    EXPECT_STREQ("00.16", dll);
    EXPECT_STRNE("", firmware);
    // The trace lies beside the ini file that PT_VECTOR_INI names.
    EXPECT_TRUE(host.traced("PassThruOpen DeviceID=1 \"CANcardXL Channel 1\""));
}

TEST(Device0404, OpenPicksTheChannelByNameAndRefusesASecondOpen) {
    const struct {
        const char *name;
        uint32_t status;
        uint64_t mask;  // the channel the port opens on at connect
    } cases[] = {
        {nullptr, STATUS_NOERROR, 0x1}, {"", STATUS_NOERROR, 0x1}, {"CANcardXL Channel 2", STATUS_NOERROR, 0x2},
        {"VectorChannel2", STATUS_NOERROR, 0x2}, {"Virtual Channel 1", STATUS_NOERROR, 0x4},
        {"VectorChannel9", ERR_DEVICE_NOT_CONNECTED, 0}, {"CANcardXL Channel", ERR_DEVICE_NOT_CONNECTED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "NULL");
        Host0404 host("TRACE=1\n", CardsConfig(2, true).c_str());
        ASSERT_EQ(c.status, host.open(c.name));
        if (c.status != STATUS_NOERROR) {
            EXPECT_EQ("no Vector CAN channel of that name, or no driver", host.lastError());
            continue;
        }
        uint32_t second = 0;
        EXPECT_EQ(ERR_DEVICE_IN_USE, host.pt().Open(const_cast<char *>(c.name), &second));
        vxlsim_call_clear();
        ASSERT_EQ(STATUS_NOERROR, host.connect(CAN));
        const auto opened = vxlsim::CallsTo("xlOpenPort");
        ASSERT_EQ(1u, opened.size());
        EXPECT_EQ(c.mask, opened[0].args[0]);
    }
}

TEST(Device0404, CloseDisconnectsAndFreesTheDevice) {
    Host0404 host;
    host.openChannel(CAN);
    EXPECT_EQ(1, vxlsim_open_port_count());
    EXPECT_EQ(ERR_INVALID_DEVICE_ID, host.pt().Close(host.device() + 1));
    ASSERT_EQ(STATUS_NOERROR, host.pt().Close(host.device()));
    EXPECT_EQ(0, vxlsim_open_port_count());
    EXPECT_EQ(0, vxlsim_driver_open_count());
    EXPECT_EQ(ERR_INVALID_CHANNEL_ID, host.pt().Disconnect(host.channel()));
    EXPECT_EQ(ERR_INVALID_DEVICE_ID, host.pt().Close(host.device()));
    // The same channel opens again.
    EXPECT_EQ(STATUS_NOERROR, host.open());
}

TEST(Device0404, ConnectRefusesWhatItCannotServe) {
    Host0404 host;
    ASSERT_EQ(STATUS_NOERROR, host.open());
    const struct {
        uint32_t device, protocol, flags, baud;
        bool channelPtr;
        uint32_t status;
    } cases[] = {
        {99, CAN, 0, 500000, true, ERR_INVALID_DEVICE_ID}, {1, ISO9141, 0, 10400, true, ERR_INVALID_PROTOCOL_ID},
        {1, 0x55, 0, 500000, true, ERR_INVALID_PROTOCOL_ID}, {1, CAN, 0, 83333, true, ERR_INVALID_BAUDRATE},
        {1, CAN, 0, 0, true, ERR_INVALID_BAUDRATE}, {1, CAN, ISO9141_NO_CHECKSUM, 500000, true, ERR_INVALID_FLAGS},
        {1, CAN, 0, 500000, false, ERR_NULL_PARAMETER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "protocol " << c.protocol << " flags " << c.flags << " baud " << c.baud);
        uint32_t channel = 0xDEAD;
        EXPECT_EQ(c.status, host.pt().Connect(c.device, c.protocol, c.flags, c.baud, c.channelPtr ? &channel : nullptr));
        EXPECT_EQ(0xDEADu, channel);
    }
    EXPECT_EQ(0, vxlsim_open_port_count());
    for (uint32_t baud : {125000u, 250000u, 1000000u, 500000u}) {
        ASSERT_EQ(STATUS_NOERROR, host.connect(CAN, 0, baud));
        EXPECT_EQ(baud, host.config(DATA_RATE));
        EXPECT_EQ(baud, vxlsim::CallsTo("xlCanSetChannelBitrate").back().args[2]);
        uint32_t again = 0;
        EXPECT_EQ(ERR_CHANNEL_IN_USE, host.pt().Connect(host.device(), CAN, 0, baud, &again));
        ASSERT_EQ(STATUS_NOERROR, host.pt().Disconnect(host.channel()));
        EXPECT_EQ(0, vxlsim_open_port_count());
    }
}

// Every function that takes an id answers for one that names nothing.
TEST(Device0404, IdsThatNameNothing) {
    Host0404 host;
    host.openChannel(CAN);
    const uint32_t bad = host.channel() + 1;
    PASSTHRU_MSG msg = Msg0404(CAN, 0x123, {1});
    uint32_t num = 1, id = 0;
    SCONFIG_LIST list{0, nullptr};
    const struct {
        const char *call;
        uint32_t status, expected;
    } cases[] = {
        {"ReadMsgs", host.pt().ReadMsgs(bad, &msg, &num, 0), ERR_INVALID_CHANNEL_ID},
        {"WriteMsgs", host.pt().WriteMsgs(bad, &msg, &num, 0), ERR_INVALID_CHANNEL_ID},
        {"StartPeriodicMsg", host.pt().StartPeriodicMsg(bad, &msg, &id, 100), ERR_INVALID_CHANNEL_ID},
        {"StopPeriodicMsg", host.pt().StopPeriodicMsg(bad, 1), ERR_INVALID_CHANNEL_ID},
        {"StartMsgFilter", host.pt().StartMsgFilter(bad, PASS_FILTER, &msg, &msg, nullptr, &id),
         ERR_INVALID_CHANNEL_ID},
        {"StopMsgFilter", host.pt().StopMsgFilter(bad, 1), ERR_INVALID_CHANNEL_ID},
        {"Ioctl", host.pt().Ioctl(bad, GET_CONFIG, &list, nullptr), ERR_INVALID_CHANNEL_ID},
        {"Disconnect", host.pt().Disconnect(bad), ERR_INVALID_CHANNEL_ID},
        {"Ioctl READ_VBATT", host.pt().Ioctl(host.device() + 1, READ_VBATT, nullptr, &num), ERR_INVALID_DEVICE_ID},
        {"SetProgrammingVoltage", host.pt().SetProgrammingVoltage(host.device() + 1, 12, 5000),
         ERR_INVALID_DEVICE_ID},
        {"StopPeriodicMsg of none", host.pt().StopPeriodicMsg(host.channel(), 7), ERR_INVALID_MSG_ID},
        {"StopMsgFilter of none", host.pt().StopMsgFilter(host.channel(), 7), ERR_INVALID_FILTER_ID},
        {"ReadMsgs NULL", host.pt().ReadMsgs(host.channel(), nullptr, &num, 0), ERR_NULL_PARAMETER},
        {"WriteMsgs NULL", host.pt().WriteMsgs(host.channel(), &msg, nullptr, 0), ERR_NULL_PARAMETER},
        {"Open NULL", host.pt().Open(nullptr, nullptr), ERR_NULL_PARAMETER},
    };
    for (const auto &c : cases) EXPECT_EQ(c.expected, c.status) << c.call;
}

TEST(Device0404, IoctlsAndTheirSettings) {
    Host0404 host;
    host.openChannel(CAN);
    uint32_t value = 0;
    const struct {
        uint32_t parameter, value, setStatus, reported;
    } sets[] = {
        {LOOPBACK, 1, STATUS_NOERROR, 1}, {LOOPBACK, 2, ERR_INVALID_IOCTL_VALUE, 1},
        {DATA_RATE, 250000, STATUS_NOERROR, 250000}, {DATA_RATE, 33333, ERR_INVALID_IOCTL_VALUE, 250000},
        {ISO15765_BS, 8, ERR_NOT_SUPPORTED, kUnsupported}, {P1_MAX, 8, ERR_NOT_SUPPORTED, kUnsupported},
    };
    for (const auto &s : sets) host.expectSet(s.parameter, s.value, s.setStatus, s.reported);
    EXPECT_EQ(250000u, vxlsim::CallsTo("xlCanSetChannelBitrate").back().args[2]);
    EXPECT_EQ(ERR_NULL_PARAMETER, host.pt().Ioctl(host.channel(), SET_CONFIG, nullptr, nullptr));
    EXPECT_EQ(ERR_NOT_SUPPORTED, host.pt().Ioctl(host.device(), READ_VBATT, nullptr, &value));
    EXPECT_EQ("a Vector CAN interface cannot measure voltages", host.lastError());
    EXPECT_EQ(ERR_INVALID_IOCTL_ID, host.pt().Ioctl(host.channel(), FIVE_BAUD_INIT, nullptr, nullptr));
    EXPECT_EQ(ERR_INVALID_IOCTL_ID, host.pt().Ioctl(host.channel(), 0x7777, nullptr, nullptr));
    EXPECT_EQ(ERR_NOT_SUPPORTED, host.pt().SetProgrammingVoltage(host.device(), 12, 5000));
}

TEST(Device0404, GetLastErrorTellsTheLastFailure) {
    Host0404 host;
    EXPECT_EQ(ERR_NULL_PARAMETER, host.pt().GetLastError(nullptr));
    EXPECT_EQ("", host.lastError());
    EXPECT_EQ(ERR_INVALID_DEVICE_ID, host.pt().Close(5));
    EXPECT_EQ("no open device of that DeviceID", host.lastError());
    ASSERT_EQ(STATUS_NOERROR, host.open());
    EXPECT_EQ(ERR_INVALID_BAUDRATE, host.connect(CAN, 0, 42));
    EXPECT_EQ("BaudRate not 125000, 250000, 500000 or 1000000", host.lastError());
    EXPECT_TRUE(host.traced("PassThruConnect ERR_INVALID_BAUDRATE: BaudRate not 125000"));
}

}  // namespace
