// Two devices of one tool at once, each on its own Vector channel: whatever
// one does (connect, DATA_RATE, disconnect, close), the other keeps its port,
// writes and reads; the driver is opened once for both and closed with the
// last port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host0404.h"

namespace {


// One device as the tool keeps it: its ids and the bus channel it sits on.
struct Device {
    const Api0404 &pt;
    unsigned bus;
    uint32_t id = 0;
    uint32_t channel = 0;

    uint32_t open() {
        std::string name = "CANcardXL Channel " + std::to_string(bus + 1);
        return pt.Open(&name[0], &id);
    }
    // A CAN channel that takes every 11-bit identifier.
    uint32_t connect(uint32_t baud = 500000) {
        PASSTHRU_MSG any = Msg0404(CAN, 0, {});
        uint32_t filter = 0, status = pt.Connect(id, CAN, 0, baud, &channel);
        return status ? status : pt.StartMsgFilter(channel, PASS_FILTER, &any, &any, nullptr, &filter);
    }
    uint32_t setDataRate(uint32_t baud) {
        SCONFIG param{DATA_RATE, baud};
        SCONFIG_LIST list{1, &param};
        return pt.Ioctl(channel, SET_CONFIG, &list, nullptr);
    }
    // A frame written with a Timeout (so it is on the bus when the call
    // returns), then one from outside read back.
    void expectWorks(uint32_t id) {
        SCOPED_TRACE(testing::Message() << "device on bus channel " << bus);
        vxlsim_capture_clear();
        PASSTHRU_MSG msg = Msg0404(CAN, id, {0x11, 0x22});
        uint32_t one = 1;
        ASSERT_EQ(STATUS_NOERROR, pt.WriteMsgs(channel, &msg, &one, 500));
        bool seen = false;
        for (const vxlsim_frame &f : vxlsim::Captured()) seen = seen || (f.channel == bus && f.id == id);
        EXPECT_TRUE(seen) << FrameLine(id, {0x11, 0x22});
        ASSERT_EQ(0, vxlsim::BusSend(bus, id + 1, {0x33}));
        PASSTHRU_MSG in{};
        one = 1;
        ASSERT_EQ(STATUS_NOERROR, pt.ReadMsgs(channel, &in, &one, 500));
        EXPECT_EQ(IdBytes(id + 1), Bytes(in.Data, in.Data + 4));
    }
};

TEST(TwoDevices0404, EachKeepsItsPortWhateverTheOtherDoes) {
    Host0404 host("TRACE=1\n", CardsConfig(2).c_str());
    Device first{host.pt(), 0}, second{host.pt(), 1};
    ASSERT_EQ(STATUS_NOERROR, first.open());
    ASSERT_EQ(STATUS_NOERROR, second.open());
    ASSERT_EQ(STATUS_NOERROR, first.connect());
    first.expectWorks(0x100);

    const struct {
        const char *step;
        uint32_t (*run)(Device &);
        bool secondWorks;
    } steps[] = {
        {"second connects", [](Device &d) { return d.connect(); }, true},
        {"second sets DATA_RATE", [](Device &d) { return d.setDataRate(250000); }, true},
        {"second disconnects", [](Device &d) { return d.pt.Disconnect(d.channel); }, false},
        {"second connects again", [](Device &d) { return d.connect(); }, true},
        {"second closes", [](Device &d) { return d.pt.Close(d.id); }, false},
        {"second opens and connects again",
         [](Device &d) { const uint32_t s = d.open(); return s ? s : d.connect(1000000); }, true},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.step);
        ASSERT_EQ(STATUS_NOERROR, s.run(second));
        // The driver stays open once, for both.
        EXPECT_EQ(1, vxlsim_driver_open_count());
        EXPECT_EQ(s.secondWorks ? 2 : 1, vxlsim_open_port_count());
        first.expectWorks(0x100);
        if (s.secondWorks) second.expectWorks(0x200);
    }

    // The first one's DATA_RATE and its close leave the second alone.
    ASSERT_EQ(STATUS_NOERROR, first.setDataRate(125000));
    second.expectWorks(0x200);
    first.expectWorks(0x100);
    ASSERT_EQ(STATUS_NOERROR, host.pt().Close(first.id));
    EXPECT_EQ(1, vxlsim_driver_open_count());
    second.expectWorks(0x200);

    // The last port closes the driver, as often as it was opened.
    ASSERT_EQ(STATUS_NOERROR, host.pt().Close(second.id));
    EXPECT_EQ(0, vxlsim_open_port_count());
    EXPECT_EQ(0, vxlsim_driver_open_count());
    EXPECT_EQ(CallsOf("xlOpenDriver"), CallsOf("xlCloseDriver"));
}

// Eight devices, as many as the library serves, each on its own channel:
// all connected at once, each writes, and closing them one by one leaves the
// others working.
TEST(TwoDevices0404, EightDevicesAtOnce) {
    Host0404 host("TRACE=1\n", CardsConfig(8).c_str());
    std::vector<Device> devices;
    for (unsigned i = 0; i < 8; ++i) devices.push_back(Device{host.pt(), i});
    for (Device &d : devices) {
        ASSERT_EQ(STATUS_NOERROR, d.open());
        ASSERT_EQ(STATUS_NOERROR, d.connect());
    }
    EXPECT_EQ(8, vxlsim_open_port_count());
    for (size_t closed = 0; closed < devices.size(); ++closed) {
        for (size_t i = closed; i < devices.size(); ++i) devices[i].expectWorks(0x300 + static_cast<uint32_t>(i));
        ASSERT_EQ(STATUS_NOERROR, host.pt().Close(devices[closed].id));
        EXPECT_EQ(closed + 1 < devices.size() ? 1 : 0, vxlsim_driver_open_count());
    }
    EXPECT_EQ(CallsOf("xlOpenDriver"), CallsOf("xlCloseDriver"));
}

}  // namespace
