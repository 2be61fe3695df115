// What an unload leaves behind in the host's process: nothing of the
// library's may remain in the threads that called it. Thread-local storage
// of the library's own would (every thread that ran its code keeps a block
// and the C runtime's record of it); the leak check at the process's exit
// then reads such a block after the unload, and where a block happens to
// start 16 bytes into a page, the sanitizer runtime takes it for another
// layout and reads far beyond it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "host.h"

namespace {

// The 02.02 library with the field profile, loaded, connected and called
// from threads that stay until the process ends, each having just made the
// next block of one size start 16 bytes into a page (the sanitizer's
// allocator hands out a thread's blocks of one size one after the other),
// then unloaded: the process must end without the leak check failing.
TEST(Unload, LeavesNothingInTheThreadsThatCalledIn) {
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the process's end is checked by AddressSanitizer's leak check";
#else
    HostLibrary host("[MORIX_VECTOR]\nTRACE=1\nFIELDPROFILE=1\n");
    EXPECT_EXIT(
        {
            uint32_t channel = 0;
            if (!host.load() || host.api().Connect(ISO15765, 0, &channel) != STATUS_NOERROR) std::exit(2);
            std::atomic<int> called{0};
            for (size_t size = 8; size <= 128; size += 8)
                std::thread([&host, &called, size] {
                    std::vector<uintptr_t> kept = {reinterpret_cast<uintptr_t>(std::malloc(size))};
                    do kept.push_back(reinterpret_cast<uintptr_t>(std::malloc(size)));
                    while ((2 * kept.back() - kept[kept.size() - 2]) % 4096 != 16 && kept.size() < 100000);
                    char firmware[80], dll[80], api[80];
                    host.api().ReadVersion(firmware, dll, api);
                    ++called;
                    for (;;) plat::SleepMs(1000);
                }).detach();
            while (called.load() < 16) plat::SleepMs(1);
            host.api().Disconnect(channel);
            host.unload();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
