// Flow-control WAITs with the field profile from a peer that takes its time:
// each WAIT restarts the wait for the next flow control, so WAITs spread over
// more than the 1000 ms one wait allows still end in the transfer.
#include <gtest/gtest.h>

#include <chrono>

#include "host.h"

namespace {

TEST(FieldProfileWaits, WaitsSpreadOverMoreThanASecond) {
    Host host("TRACE=1\nFIELDPROFILE=1\n");
    host.open();
    host.listen(0x7E8, 0x7E0);
    ASSERT_EQ(STATUS_NOERROR, host.write(Msg(0x7E0, Counting(20))));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        host.readFor(450);
        Inject(0x7E8, {0x31, 0x00, 0x00});
    }
    host.readFor(450);
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_TRUE(SendTimes(0x7E0, 0xF0, 0x20).empty());
    Inject(0x7E8, {0x30, 0x00, 0x00});
    const auto got = host.readUntil([](const PASSTHRU_MSG &m) { return IsConfirmation(m) && IdOf(m) == 0x7E0; }, 3000);
    EXPECT_EQ(2u, SendTimes(0x7E0, 0xF0, 0x20).size());
    ASSERT_FALSE(got.empty());
    ExpectConfirmation(got.back(), 0x7E0);
}

}  // namespace
