// Messages lost to a full receive queue are reported: the next
// PassThruReadMsgs returns the messages it read with ERR_BUFFER_OVERFLOW,
// once; the ones kept are the oldest, in order.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "host0404.h"

namespace {

constexpr uint32_t kQueue = 1024;  // messages a channel's receive queue holds
constexpr uint32_t kSent = 1100;

// kSent single frames into the port's queue while the tool reads nothing;
// returns once the device has handed all of them on (the last one lost).
void Flood(Host0404 &host) {
    for (uint32_t i = 0; i < kSent; ++i)
        ASSERT_EQ(1, vxlsim::InjectFrame(-1, 0, 0x7E8, {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (host.tracedCount("message dropped") < kSent - kQueue && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(kSent - kQueue, host.tracedCount("message dropped"));
}

uint32_t SequenceOf(const PASSTHRU_MSG &msg) { return (uint32_t{msg.Data[4]} << 8) | msg.Data[5]; }

TEST(Overflow0404, TheNextReadReportsTheLossOnce) {
    struct Read {
        uint32_t max, timeoutMs, count, status;
    };
    const struct {
        const char *what;
        bool clearFirst;  // CLEAR_RX_BUFFER before the first read
        std::vector<Read> reads;
    } cases[] = {
        {"all at once", false, {{2000, 0, kQueue, ERR_BUFFER_OVERFLOW}, {1, 0, 0, ERR_BUFFER_EMPTY}}},
        {"ten, then the rest",
         false,
         {{10, 0, 10, ERR_BUFFER_OVERFLOW}, {2000, 0, kQueue - 10, STATUS_NOERROR}, {1, 0, 0, ERR_BUFFER_EMPTY}}},
        {"with a Timeout that cannot be met", false, {{2000, 50, kQueue, ERR_BUFFER_OVERFLOW}}},
        {"after CLEAR_RX_BUFFER", true, {{1, 0, 0, ERR_BUFFER_EMPTY}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Host0404 host;
        host.openChannel(CAN);
        ASSERT_EQ(STATUS_NOERROR, host.passFilter(PASS_FILTER, {0, 0, 0, 0}, {0, 0, 0, 0}));
        Flood(host);
        const uint32_t cleared = c.clearFirst ? host.pt().Ioctl(host.channel(), CLEAR_RX_BUFFER, nullptr, nullptr) : 0;
        ASSERT_EQ(STATUS_NOERROR, cleared);
        uint32_t next = 0;  // the oldest messages are kept, in order
        for (const Read &r : c.reads) {
            uint32_t status = 0;
            const std::vector<PASSTHRU_MSG> got = host.read(r.max, r.timeoutMs, &status);
            EXPECT_EQ(r.status, status);
            ASSERT_EQ(r.count, got.size());
            for (const PASSTHRU_MSG &msg : got) EXPECT_EQ(next++, SequenceOf(msg));
            if (r.status == ERR_BUFFER_OVERFLOW) {
                EXPECT_EQ("the receive queue was full: later messages were lost", host.lastError());
            }
        }
        // The loss was told once: what comes next reads as usual.
        ASSERT_EQ(0, vxlsim::BusSend(0, 0x7E8, {0xAA}));
        uint32_t status = 0;
        EXPECT_EQ(1u, host.read(1, 1000, &status).size());
        EXPECT_EQ(STATUS_NOERROR, status);
    }
}

}  // namespace
