#include "sim_world.h"

#include "api/module.h"
#include "can/can_io.h"
#include "can/driver_init.h"

namespace simworld {

const char *const kOneCard =
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
    "serial = 24680\n";

const char *const kTwoCardsOneVirtual =
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

const char *const kTwoVirtual =
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

void ResetCanLayerState() {
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

bool OpenChannel(const char *config, TraceCapture *trace, uint32_t bitrate) {
    if (vxlsim_load_config_text(config) != 0 || vectorInitDriver(bitrate) != 0) return false;
    vxlsim_call_clear();
    vxlsim_capture_clear();
    if (trace) trace->clear();
    return true;
}

std::vector<std::string> CalledFunctions() {
    std::vector<std::string> names;
    for (const vxlsim_call &call : vxlsim::Calls()) names.emplace_back(call.function);
    return names;
}

std::vector<uint64_t> ArgsOf(const vxlsim_call &call) {
    return std::vector<uint64_t>(call.args, call.args + call.nargs);
}

std::vector<vxlsim_frame> SentOn(unsigned channel) {
    std::vector<vxlsim_frame> frames;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.channel == channel && f.sender_port >= 0) frames.push_back(f);
    return frames;
}

std::vector<uint8_t> DataOf(const vxlsim_frame &frame) {
    return std::vector<uint8_t>(frame.data, frame.data + (frame.dlc < 8 ? frame.dlc : 8));
}

std::string LevelOf(const TraceCapture &trace, const std::string &text) {
    for (const std::string &line : trace.lines()) {
        TraceLine parsed;
        if (parsed.parse(line) && parsed.marker == '|' && parsed.text == text) return parsed.level;
    }
    return std::string();
}

void ResetWorld() {
    if (m_PortHandle != XL_INVALID_PORTHANDLE) VectorCleanUp();
    ResetCanLayerState();
    vxlsim_reset();
}

void SimWorldTest::SetUp() { ResetWorld(); }

void SimWorldTest::TearDown() { ResetWorld(); }

}  // namespace simworld
