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

#if defined(__SANITIZE_ADDRESS__)
// Allocates blocks of size until the next one of that size would start 16
// bytes into a page (the allocator of the sanitizer hands a thread's blocks
// of one size out one after the other); the blocks stay with the caller.
void PlaceNextBlockAtPageOffset16(size_t size, std::vector<void *> &kept) {
    uintptr_t previous = reinterpret_cast<uintptr_t>(std::malloc(size));
    kept.push_back(reinterpret_cast<void *>(previous));
    for (int i = 0; i < 100000; ++i) {
        void *block = std::malloc(size);
        kept.push_back(block);
        const uintptr_t at = reinterpret_cast<uintptr_t>(block);
        const uintptr_t stride = at - previous;
        previous = at;
        if ((at + stride) % 4096 == 16) return;
    }
}
#endif

// The 02.02 library with the field profile, loaded, called from the main
// thread and from threads that stay alive until the process ends (each
// having just placed the next block of one size at page offset 16), and
// unloaded: the process must end without the leak check failing.
TEST(Unload, LeavesNothingInTheThreadsThatCalledIn) {
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the process's end is checked by AddressSanitizer's leak check";
#else
    HostLibrary host("[MORIX_VECTOR]\nTRACE=1\nFIELDPROFILE=1\n");
    EXPECT_EXIT(
        {
            if (!host.load()) std::exit(2);
            uint32_t channel = 0;
            if (host.api().Connect(ISO15765, 0, &channel) != STATUS_NOERROR) std::exit(3);
            std::atomic<int> called{0};
            std::vector<std::thread> threads;
            for (size_t size = 8; size <= 128; size += 8)
                threads.emplace_back([&host, &called, size] {
                    std::vector<void *> kept;
                    PlaceNextBlockAtPageOffset16(size, kept);
                    char firmware[80], dll[80], api[80];
                    host.api().ReadVersion(firmware, dll, api);
                    ++called;
                    for (;;) plat::SleepMs(1000);
                });
            while (called.load() < static_cast<int>(threads.size())) plat::SleepMs(1);
            host.api().Disconnect(channel);
            host.unload();
            for (std::thread &thread : threads) thread.detach();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
