// A host that writes on one thread and reads on another, as a server with a
// request queue and a receive loop does, while the worker sends the
// consecutive frames of the multi-frame requests.
#include <atomic>
#include <thread>

#include "e2e_world.h"

namespace e2e {
namespace {

class HostThreads : public E2eTest {};

constexpr int kRounds = 60;
constexpr uint32_t kAnswerWaitMs = 5000;

// Round i's request to ECU e: single or multi-frame, its round in byte 1.
Bytes RoundRequest(int i, int e) {
    Bytes request = EchoRequest(2 + static_cast<size_t>((i * 7 + e * 3) % 40));
    request[1] = static_cast<uint8_t>(i);
    return request;
}

bool WaitFor(const std::atomic<int> &counter, int value) {
    const auto start = std::chrono::steady_clock::now();
    while (counter.load() < value) {
        if (ElapsedMs(start) > kAnswerWaitMs) return false;
        plat::SleepMs(1);
    }
    return true;
}

TEST_F(HostThreads, EveryAnswerArrivesExactlyOnce) {
    const EcuAddress ecus[2] = {kEngine, kTransmission};
    AddEcu(EcuText("engine", kEngine));
    AddEcu(EcuText("transmission", kTransmission));
    Listen(kEngine);
    Listen(kTransmission);

    std::atomic<int> answered[2] = {{0}, {0}};
    std::atomic<bool> stop{false};
    std::atomic<int> writeFailures{0}, lateAnswers{0};
    std::vector<Bytes> answers[2];
    int confirmations[2] = {0, 0};

    std::thread reader([&] {
        auto msg = std::make_unique<PASSTHRU_MSG>();
        unsigned emptyRun = 0;
        while (!stop) {
            if (!Poll(*msg, emptyRun)) continue;
            const uint32_t id = IdOf(*msg);
            const int e = id == kEngine.requestId || id == kEngine.responseId ? 0 : 1;
            if (IsConfirmation(*msg)) {
                ++confirmations[e];
            } else {
                answers[e].push_back(DataOf(*msg));
                ++answered[e];
            }
        }
    });
    std::thread writer([&] {
        for (int i = 0; i < kRounds; ++i) {
            for (int e = 0; e < 2; ++e) {
                // The simulated ECUs serve one request at a time.
                if (!WaitFor(answered[e], i)) ++lateAnswers;
                if (Write(Request(ecus[e], RoundRequest(i, e))) != STATUS_NOERROR) ++writeFailures;
            }
        }
        for (int e = 0; e < 2; ++e)
            if (!WaitFor(answered[e], kRounds)) ++lateAnswers;
        stop = true;
    });
    writer.join();
    reader.join();

    EXPECT_EQ(0, writeFailures.load());
    EXPECT_EQ(0, lateAnswers.load());
    EXPECT_TRUE(ReadFor(50).empty());
    for (int e = 0; e < 2; ++e) {
        ASSERT_EQ(static_cast<size_t>(kRounds), answers[e].size()) << "ECU " << e;
        for (int i = 0; i < kRounds; ++i) {
            Bytes expected = IdBytes(ecus[e].responseId);
            const Bytes answer = EchoAnswer(RoundRequest(i, e));
            expected.insert(expected.end(), answer.begin(), answer.end());
            EXPECT_EQ(expected, answers[e][static_cast<size_t>(i)]) << "ECU " << e << " round " << i;
        }
        // At most one confirmation per request; those of multi-frame requests
        // are armed before the worker lets go of the transmit lock.
        EXPECT_GT(confirmations[e], 0);
        EXPECT_LE(confirmations[e], kRounds);
    }
}

}  // namespace
}  // namespace e2e
