// The simulated driver and the CAN layer's module state, brought to a known
// point before and after every test of the CAN layer.
#ifndef PT_TESTS_UNIT_CAN_CAN_TEST_WORLD_H
#define PT_TESTS_UNIT_CAN_CAN_TEST_WORLD_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/module.h"
#include "can/can_io.h"
#include "can/driver_init.h"
#include "trace_capture.h"
#include "vxlsim_control.h"

// Two CAN cards (bus capabilities with more than CAN) and one virtual
// channel; no scripted ECUs, so only what a test sends is on the bus.
constexpr const char *kTwoCardsOneVirtual =
    "[driver]\n"
    "default_ecus = 0\n"
    "[channel]\n"
    "name = CANcardXL Channel 1\n"
    "hw_type = 15\n"
    "hw_index = 0\n"
    "hw_channel = 0\n"
    "transceiver_type = 0x0107\n"
    "transceiver_name = CANpiggy 1041Amag\n"
    "bus_capabilities = 0x00030003\n"
    "serial = 24680\n"
    "[channel]\n"
    "name = CANcardXL Channel 2\n"
    "hw_type = 15\n"
    "hw_index = 0\n"
    "hw_channel = 1\n"
    "transceiver_type = 0x0107\n"
    "transceiver_name = CANpiggy 1041Amag\n"
    "bus_capabilities = 0x00030003\n"
    "serial = 24680\n"
    "[channel]\n"
    "name = Virtual Channel 1\n"
    "hw_type = 1\n"
    "hw_channel = 0\n"
    "transceiver_type = 0x16\n"
    "transceiver_name = Virtual CAN\n"
    "bus_capabilities = 0x00010001\n";

constexpr const char *kTwoVirtual =
    "[driver]\n"
    "default_ecus = 0\n"
    "[channel]\n"
    "name = Virtual Channel 1\n"
    "hw_type = 1\n"
    "hw_channel = 0\n"
    "bus_capabilities = 0x00010001\n"
    "[channel]\n"
    "name = Virtual Channel 2\n"
    "hw_type = 1\n"
    "hw_channel = 1\n"
    "bus_capabilities = 0x00010001\n";

class CanWorldTest : public ::testing::Test {
protected:
    void SetUp() override {
        vxlsim_reset();
        ResetCanState();
    }
    void TearDown() override {
        ResetCanState();
        vxlsim_reset();
    }

    static void ResetCanState() {
        m_PortHandle = XL_INVALID_PORTHANDLE;
        m_ChannelMask = 0;
        m_PermissionMask = 0;
        g_XlDriverConfig = XLdriverConfig{};
        m_LastTxTimestamp = 0;
        m_ErrorFrameCount = 0;
        m_ErrorFrameReportTick = 0;
        m_UnknownEventCount = 0;
        m_UnknownEventReportTick = 0;
        theModule.m_bVirtual = 0;
        theModule.m_bCooperative = 0;
        theModule.m_WakeUp = 0;
    }

    static void LoadWorld(const char *text) { ASSERT_EQ(0, vxlsim_load_config_text(text)); }

    // Brings the channel up on the two cards, then forgets what that took.
    static void OpenChannel(TraceCapture &trace) {
        LoadWorld(kTwoCardsOneVirtual);
        ASSERT_EQ(0, vectorInitDriver(500000));
        vxlsim_call_clear();
        vxlsim_capture_clear();
        trace.clear();
    }
};

// Level code of the first message line with exactly this text, "" if none.
inline std::string LevelOf(const TraceCapture &trace, const std::string &text) {
    for (const std::string &line : trace.lines()) {
        TraceLine parsed;
        if (parsed.parse(line) && parsed.marker == '|' && parsed.text == text) return parsed.level;
    }
    return std::string();
}

inline std::vector<std::string> CalledFunctions() {
    std::vector<std::string> names;
    for (const vxlsim_call &call : vxlsim::Calls()) names.emplace_back(call.function);
    return names;
}

inline std::vector<uint64_t> ArgsOf(const vxlsim_call &call) {
    return std::vector<uint64_t>(call.args, call.args + call.nargs);
}

#endif
