// A server whose threads set the bit rate at the same time, while another
// takes the channel down and up again or starts filters: every call answers
// with a status the interface knows, and the port the last DATA_RATE opens is
// the only one and carries the filters started after it. Two threads that
// connect the closed channel at once start one worker between them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "host.h"
#include "platform/platform.h"

namespace {

constexpr int kRounds = 24;
constexpr int kConnectRounds = 150;
constexpr int kMaxRateChanges = 5000;

TEST(ConcurrentDataRate, RacingCallsLeaveOnePortThatTakesNewFilters) {
    Host host;
    ASSERT_EQ(STATUS_NOERROR, host.connect());
    const J2534Api &pt = host.pt();

    std::mutex lock;
    std::string failures;
    auto check = [&](bool ok, const char *call, int round, uint32_t status) {
        if (ok) return;
        std::lock_guard<std::mutex> guard(lock);
        failures += std::string(call) + " round " + std::to_string(round) + ": status " + std::to_string(status) + "\n";
    };
    std::atomic<int> waiting{3};
    auto startTogether = [&waiting] {
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
    };
    std::atomic<bool> thirdDone{false};
    // The bit rate keeps changing for as long as the third thread works; a
    // change whose port another thread closed under it may fail.
    auto setter = [&](uint32_t rate) {
        startTogether();
        for (int i = 0; i < kMaxRateChanges && !thirdDone; ++i) {
            const uint32_t status = host.setConfig({{DATA_RATE, rate}});
            check(status == STATUS_NOERROR || status == ERR_DEVICE_NOT_CONNECTED, "DATA_RATE", i, status);
        }
    };
    std::thread first(setter, 500000u), second(setter, 250000u);
    std::thread third([&] {
        startTogether();
        for (int i = 0; i < kRounds; ++i) {
            if (i % 3 == 0) {
                check(pt.Disconnect(1) == STATUS_NOERROR, "PassThruDisconnect", i, 0);
                uint32_t channel = 0;
                const uint32_t status = pt.Connect(ISO15765, 0, &channel);
                check(status == STATUS_NOERROR && channel == 1, "PassThruConnect", i, status);
            } else {
                uint32_t filterId = 0;
                const uint32_t status =
                    host.startFilter(PASS_FILTER, FilterMsg(4, 0x7FF), FilterMsg(4, 0x600u + i), nullptr, &filterId);
                check(status == STATUS_NOERROR, "PassThruStartMsgFilter", i, status);
            }
        }
        thirdDone = true;
    });
    for (std::thread *thread : {&first, &second, &third}) thread->join();
    EXPECT_EQ("", failures);

    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{DATA_RATE, 500000}}));
    EXPECT_EQ(1, vxlsim_open_port_count());
    EXPECT_EQ(1, vxlsim_driver_open_count());
    host.listen(0x7E8, 0x7E0);
    ASSERT_EQ(0, vxlsim::BusSend(0, 0x7E8, {0x02, 0x50, 0x03, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}));
    const auto got = host.readAnswerFrom(0x7E8);
    ASSERT_FALSE(got.empty());
    ExpectMessage(got.back(), 0x7E8, {0x50, 0x03});
}

// The threads the process runs, once those that are ending have gone (at
// most 200 ms): at most `bound` unless more stay.
unsigned SettledThreadCount(unsigned bound) {
    unsigned n = plat::ProcessThreadCount();
    for (int i = 0; i < 200 && n > bound; ++i) {
        plat::SleepMs(1);
        n = plat::ProcessThreadCount();
    }
    return n;
}

// Each round both threads get channel 1, and while they wait to end the
// process runs one thread more than before they connected.
TEST(ConcurrentConnect, StartsOneWorker) {
    Host host;
    const J2534Api &pt = host.pt();
    unsigned quiet = ~0u;  // the fewest threads seen with both threads waiting
    uint32_t status[2], channel[2];
    std::string failures;
    for (int round = 0; round < kConnectRounds; ++round) {
        std::atomic<int> ready{0};
        std::atomic<bool> go{false}, leave{false};
        auto connect = [&](int k) {
            ++ready;
            while (!go) std::this_thread::yield();
            channel[k] = 0;
            status[k] = pt.Connect(ISO15765, 0, &channel[k]);
            --ready;
            while (!leave) std::this_thread::yield();
        };
        std::thread first(connect, 0), second(connect, 1);
        while (ready.load() < 2) std::this_thread::yield();
        // The threads of the round before may still be on their way out.
        const unsigned before = SettledThreadCount(quiet);
        quiet = std::min(quiet, before);
        go = true;
        while (ready.load() > 0) std::this_thread::yield();
        const unsigned workers = SettledThreadCount(before + 1) - before;
        leave = true;
        first.join();
        second.join();
        ASSERT_EQ((std::vector<uint32_t>{STATUS_NOERROR, STATUS_NOERROR, 1, 1}),
                  (std::vector<uint32_t>{status[0], status[1], channel[0], channel[1]}))
            << "round " << round;
        ASSERT_EQ(STATUS_NOERROR, pt.Disconnect(1));
        if (workers != 1) failures += "round " + std::to_string(round) + ": " + std::to_string(workers) + " workers\n";
    }
    EXPECT_EQ("", failures);
}

}  // namespace
