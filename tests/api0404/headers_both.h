// What a unit that includes both J2534 headers, in either order, must see:
// the shared records and names with one set of values, the 02.02 vendor
// names and the 04.04 additions beside them.
#ifndef PT_TESTS_API0404_HEADERS_BOTH_H
#define PT_TESTS_API0404_HEADERS_BOTH_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

inline void ExpectSharedNamesAgree(std::size_t msgSize, std::size_t dataOffset) {
    EXPECT_EQ(24u + PT_MSG_DATA_SIZE, msgSize);
    EXPECT_EQ(24u, dataOffset);
    EXPECT_EQ(8u, sizeof(SCONFIG));
    const struct {
        const char *name;
        uint32_t value, expected;
    } names[] = {
        {"ERR_BUFFER_EMPTY", ERR_BUFFER_EMPTY, 0x10},
        {"ERR_BUFFER_OVERFLOW", ERR_BUFFER_OVERFLOW, 0x12},
        {"ERR_INVALID_DEVICE_ID", ERR_INVALID_DEVICE_ID, 0x1A},
        {"ISO15765", ISO15765, 6},
        {"CAN_29BIT_ID", CAN_29BIT_ID, 0x100},
        {"SYNC_JUMP_WIDTH", SYNC_JUMP_WIDTH, 0x18},
        {"PT_IOCTLID_WAKEUP", PT_IOCTLID_WAKEUP, 0x00010002},
        {"PT_CFG_ORV_EXTADDRESSING", PT_CFG_ORV_EXTADDRESSING, 0x00010019},
    };
    for (const auto &n : names) EXPECT_EQ(n.expected, n.value) << n.name;
}

#endif
