// The 04.04 library's settings as a tool's pt_vector0404.ini gives them,
// checked as the 02.02 library checks morix.ini, and the CAN parameters a
// channel has after PassThruConnect.
#include <gtest/gtest.h>

#include <string>

#include "host0404.h"

namespace {

// FCWAITMAX is taken when it is a number from 0 to 255, else replaced by 10
// with an ERROR line; without the field profile it is not read.
TEST(Settings0404, FcWaitMaxIsCheckedAsMorixIniIs) {
    const struct {
        const char *ini;
        uint32_t waitMax;
        const char *error;  // the ERROR line, null when there is none
    } cases[] = {
        {"", 10, nullptr},          {"FCWAITMAX=5\n", 5, nullptr},     {"FCWAITMAX=0x20\n", 32, nullptr},
        {"FCWAITMAX=0\n", 0, nullptr}, {"FCWAITMAX=255\n", 255, nullptr},
        {"FCWAITMAX=256\n", 10, "FCWAITMAX 256 is no number from 0 to 255, using 10"},
        {"FCWAITMAX=-1\n", 10, "FCWAITMAX -1 is no number from 0 to 255, using 10"},
        {"FCWAITMAX=abc\n", 10, "FCWAITMAX abc is no number from 0 to 255, using 10"},
        {"FCWAITMAX=99999999999\n", 10, "FCWAITMAX 99999999999 is no number from 0 to 255, using 10"},
        {"FIELDPROFILE=0\nFCWAITMAX=abc\n", 10, nullptr}, {"FIELDPROFILE=0\nFCWAITMAX=5\n", 10, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        Host0404 host(std::string("TRACE=1\n") + c.ini);
        host.openChannel(ISO15765);
        EXPECT_EQ(c.waitMax, host.config(ISO15765_WFT_MAX));
        EXPECT_EQ(c.error ? "ER" : "", host.levelOf(c.error ? c.error : "no number from 0 to 255"));
    }
}

// After PassThruConnect both protocols report the bit timing a J2534 tool
// expects by default: sample point 80 %, jump width 15 % of the bit.
TEST(Settings0404, BitTimingDefaultsAfterConnect) {
    for (uint32_t protocol : {CAN, ISO15765}) {
        SCOPED_TRACE(protocol);
        Host0404 host;
        host.openChannel(protocol);
        const struct {
            uint32_t parameter, value;
        } defaults[] = {{BIT_SAMPLE_POINT, 80}, {SYNC_JUMP_WIDTH, 15}, {LOOPBACK, 0}, {DATA_RATE, 500000}};
        for (const auto &d : defaults) EXPECT_EQ(d.value, host.config(d.parameter)) << d.parameter;
        // Both are percentages of the bit time.
        const struct {
            uint32_t parameter, value, status, reported;
        } sets[] = {
            {SYNC_JUMP_WIDTH, 0, STATUS_NOERROR, 0},      {SYNC_JUMP_WIDTH, 25, STATUS_NOERROR, 25},
            {SYNC_JUMP_WIDTH, 100, STATUS_NOERROR, 100},  {SYNC_JUMP_WIDTH, 101, ERR_INVALID_IOCTL_VALUE, 100},
            {BIT_SAMPLE_POINT, 100, STATUS_NOERROR, 100}, {BIT_SAMPLE_POINT, 101, ERR_INVALID_IOCTL_VALUE, 100},
        };
        for (const auto &s : sets) host.expectSet(s.parameter, s.value, s.status, s.reported);
    }
}

}  // namespace
