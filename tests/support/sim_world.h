// The simulated Vector driver as the library's tests meet it: channel
// configurations, a reset of the CAN layer's module state, and short readers
// for the driver's call log and the frames on the bus.
//
//   simworld::kOneCard, kTwoCardsOneVirtual, kTwoVirtual
//       vxlsim configuration texts without scripted ECUs, so that only what
//       a test sends is on the bus. Load one with vxlsim_load_config_text().
//   simworld::ResetCanLayerState()
//       port handle, masks, driver configuration, transmit time, the rate
//       limits of the receive reports and the channel settings (virtual,
//       cooperative, wake-up) back to what a fresh load leaves.
//   simworld::OpenChannel(config, trace, bitrate)
//       loads the configuration, brings the channel up through
//       vectorInitDriver() and forgets the calls, frames and trace lines
//       that took; false when the channel did not come up.
//   simworld::ResetWorld()
//       cleans up an open port, then resets the CAN state and the simulator
//       (its default configuration, ECUs, call log, capture and refusals).
//   simworld::SimWorldTest
//       gtest fixture calling ResetWorld() before and after each test; a
//       table-driven test calls it between its cases.
//   CalledFunctions(), ArgsOf(call), SentOn(channel), DataOf(frame),
//   LevelOf(trace, text)
//       the driver's call log by name, one call's arguments, the frames a
//       channel's ports put on the bus, a frame's bytes, and the level code
//       of the first trace message with exactly this text.
#ifndef PT_TESTS_SUPPORT_SIM_WORLD_H
#define PT_TESTS_SUPPORT_SIM_WORLD_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "trace_capture.h"
#include "vxlsim_control.h"

namespace simworld {

// One CAN card channel.
extern const char *const kOneCard;
// Two CAN cards (bus capabilities beyond CAN), then one virtual channel.
extern const char *const kTwoCardsOneVirtual;
// Two virtual channels and nothing else.
extern const char *const kTwoVirtual;

void ResetCanLayerState();
void ResetWorld();

bool OpenChannel(const char *config, TraceCapture *trace = nullptr, uint32_t bitrate = 500000);

std::vector<std::string> CalledFunctions();
std::vector<uint64_t> ArgsOf(const vxlsim_call &call);
std::vector<vxlsim_frame> SentOn(unsigned channel);
std::vector<uint8_t> DataOf(const vxlsim_frame &frame);
std::string LevelOf(const TraceCapture &trace, const std::string &text);

class SimWorldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace simworld

#endif
