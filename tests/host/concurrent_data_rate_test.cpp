// A server whose threads set the bit rate at the same time, while another
// takes the channel down and up again or starts filters: every call answers
// with a status the interface knows, and the port the last DATA_RATE opens is
// the only one and carries the filters started after it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host_library.h"
#include "sim_world.h"

namespace {

using simworld::FilterMsg;

constexpr int kRounds = 24;
constexpr int kMaxRateChanges = 5000;
// A bit-rate change whose port another thread closed under it.
constexpr uint32_t kClosedUnderIt = ERR_DEVICE_NOT_CONNECTED;

uint32_t SetDataRate(const J2534Api &pt, uint32_t channel, uint32_t rate) {
    SCONFIG param{DATA_RATE, rate};
    SCONFIG_LIST list{1, &param};
    return pt.Ioctl(channel, SET_CONFIG, &list, nullptr);
}

class Failures {
public:
    void check(bool ok, const char *call, int round, uint32_t status) {
        if (ok) return;
        std::lock_guard<std::mutex> guard(lock_);
        text_ += std::string(call) + " round " + std::to_string(round) + ": status " + std::to_string(status) + "\n";
    }
    std::string text() {
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }

private:
    std::mutex lock_;
    std::string text_;
};

TEST(ConcurrentDataRate, RacingCallsLeaveOnePortThatTakesNewFilters) {
    vxlsim_reset();
    HostLibrary host;
    ASSERT_TRUE(host.load());
    const J2534Api &pt = host.api();
    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, pt.Connect(ISO15765, 0, &channel));

    Failures failures;
    std::atomic<int> waiting{3};
    auto startTogether = [&waiting] {
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
    };
    std::atomic<bool> thirdDone{false};
    // The bit rate keeps changing for as long as the third thread works.
    auto setter = [&](uint32_t rate) {
        startTogether();
        for (int i = 0; i < kMaxRateChanges && !thirdDone; ++i) {
            const uint32_t status = SetDataRate(pt, channel, rate);
            failures.check(status == STATUS_NOERROR || status == kClosedUnderIt, "DATA_RATE", i, status);
        }
    };
    std::thread first(setter, 500000u), second(setter, 250000u);
    std::thread third([&] {
        startTogether();
        for (int i = 0; i < kRounds; ++i) {
            if (i % 3 == 0) {
                failures.check(pt.Disconnect(channel) == STATUS_NOERROR, "PassThruDisconnect", i, 0);
                uint32_t again = 0;
                const uint32_t status = pt.Connect(ISO15765, 0, &again);
                failures.check(status == STATUS_NOERROR && again == channel, "PassThruConnect", i, status);
            } else {
                PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x600u + i);
                uint32_t filterId = 0;
                const uint32_t status = pt.StartMsgFilter(channel, PASS_FILTER, &mask, &pattern, nullptr, &filterId);
                failures.check(status == STATUS_NOERROR, "PassThruStartMsgFilter", i, status);
            }
        }
        thirdDone = true;
    });
    first.join();
    second.join();
    third.join();
    EXPECT_EQ("", failures.text());

    const uint32_t last = SetDataRate(pt, channel, 500000);
    EXPECT_EQ(1, vxlsim_open_port_count());
    EXPECT_EQ(1, vxlsim_driver_open_count());
    ASSERT_EQ(STATUS_NOERROR, last);
    PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7E8), flow = FilterMsg(4, 0x7E0);
    uint32_t filterId = 0;
    ASSERT_EQ(STATUS_NOERROR, pt.StartMsgFilter(channel, PASS_FILTER, &mask, &pattern, &flow, &filterId));
    ASSERT_EQ(STATUS_NOERROR, pt.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filterId));
    const uint8_t answer[8] = {0x02, 0x50, 0x03, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(0, vxlsim_bus_send(0, 0x7E8, 0, 8, answer));

    auto msg = std::make_unique<PASSTHRU_MSG>();
    uint32_t status = ERR_BUFFER_EMPTY;
    const auto start = std::chrono::steady_clock::now();
    while (status == ERR_BUFFER_EMPTY && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        uint32_t num = 1;
        status = pt.ReadMsgs(channel, msg.get(), &num, 0);
        if (status == ERR_BUFFER_EMPTY) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(STATUS_NOERROR, status);
    simworld::ExpectMessage(*msg, 0x7E8, {0x50, 0x03});
    EXPECT_EQ(STATUS_NOERROR, pt.Disconnect(channel));
    host.unload();
    EXPECT_EQ(0, vxlsim_open_port_count());
    vxlsim_reset();
}

}  // namespace
