// The simulated Vector driver as the library's tests meet it: channel
// configurations, a reset of the module state, and short helpers for the
// driver's call log, the frames on the bus and the messages a host reads.
//
// World and module state
//   simworld::kOneCard, kTwoCardsOneVirtual, kTwoVirtual
//       vxlsim configuration texts without scripted ECUs, so that only what
//       a test sends is on the bus. Load one with vxlsim_load_config_text().
//   simworld::ResetCanLayerState()
//       port handle, masks, driver configuration, transmit time, the rate
//       limits of the receive reports and the channel settings (virtual,
//       cooperative, wake-up) back to what a fresh load leaves.
//   simworld::ResetTransportState()
//       filters, receive and transmit records, pending confirmations, the
//       filter and sequence counters and the transport settings (block
//       size, extended addressing, functional group, trace settings) back to
//       what a fresh load leaves.
//   simworld::OpenChannel(config, trace, bitrate)
//       loads the configuration, brings the channel up through
//       vectorInitDriver() and forgets the calls, frames and trace lines
//       that took; false when the channel did not come up.
//   simworld::AckArmed(id)
//       whether the bus's next confirmation of a frame on id is to reach the
//       host as the transmit confirmation of a message.
//   simworld::ResetWorld()
//       cleans up an open port, then resets the CAN and transport state and
//       the simulator (its default configuration, ECUs, call log, capture
//       and refusals).
//
// Fixtures
//   simworld::SimWorldTest
//       calls ResetWorld() before and after each test; a table-driven test
//       calls it between its cases.
//   simworld::OpenChannelTest
//       a SimWorldTest with kOneCard's channel open (no worker) and every
//       trace line captured at full verbosity; a worker the test started is
//       stopped before the reset. The test acts as the peer ECU: it injects
//       frames into the receive queue and reads what went onto the bus.
//
// Driver and bus
//   CalledFunctions(), ArgsOf(call), SentOn(channel), DataOf(frame),
//   FrameLine(id, data), BusLines(), Inject(id, data, flags)
//       the driver's call log by name, one call's arguments, the frames a
//       channel's ports put on the bus, a frame's bytes, a frame as
//       "7E0: 10 14 BA ...", every captured frame that way, and a frame from
//       the peer straight into the open port's receive queue.
//
// Messages (ISO 15765: four id bytes, most significant first, then the data)
//   Bytes, Counting(n, first), IdBytes(id), IdOf(msg), DataOf(msg),
//   FilterMsg(dataSize, id, extAddr), Request(id, payload, txFlags)
//       byte strings, n bytes counting up, an id's four bytes, a message's
//       id and its Data (DataSize bytes), a filter message (the address byte
//       after the id when extAddr >= 0), a message to write.
//   ExpectMessage(msg, id, payload), ExpectConfirmation(msg, id)
//       a received message field by field, and a transmit confirmation.
//   Write(msg, num), SetConfig(params), ListenTo(respId, flowId, respAddr, flowAddr)
//       PassThruWriteMsgs and PassThruIoctl(SET_CONFIG) on channel 1, and
//       the pass and flow-control filters for one ECU; with respAddr >= 0
//       its frames start with that address byte (the mask takes the fifth
//       byte too) and flowAddr is the flow-control message's.
//   ReadOnce(msg, num, taken), ReadAll()
//       one PassThruReadMsgs poll (taken: the receive queue held a frame),
//       and polls until the queue is empty, returning what was delivered.
//
// Trace
//   LevelOf(trace, text), TracedCount(trace, text),
//   TracedStartingWith(trace, prefix)
//       the level code of the first message with exactly this text, how
//       many messages have it, whether a message starts with prefix.
#ifndef PT_TESTS_SUPPORT_SIM_WORLD_H
#define PT_TESTS_SUPPORT_SIM_WORLD_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "j2534.h"
#include "trace_capture.h"
#include "vxlsim_control.h"

namespace simworld {

using Bytes = std::vector<uint8_t>;

// One CAN card channel.
extern const char *const kOneCard;
// Two CAN cards (bus capabilities beyond CAN), then one virtual channel.
extern const char *const kTwoCardsOneVirtual;
// Two virtual channels and nothing else.
extern const char *const kTwoVirtual;

void ResetCanLayerState();
void ResetTransportState();
bool AckArmed(uint32_t id);
void ResetWorld();

bool OpenChannel(const char *config, TraceCapture *trace = nullptr, uint32_t bitrate = 500000);

std::vector<std::string> CalledFunctions();
std::vector<uint64_t> ArgsOf(const vxlsim_call &call);
std::vector<vxlsim_frame> SentOn(unsigned channel);
Bytes DataOf(const vxlsim_frame &frame);
std::string FrameLine(uint32_t id, const Bytes &data);
std::vector<std::string> BusLines();
void Inject(uint32_t id, const Bytes &data, uint16_t flags = 0);

Bytes Counting(size_t n, uint8_t first = 0);
Bytes IdBytes(uint32_t id);
uint32_t IdOf(const PASSTHRU_MSG &msg);
Bytes DataOf(const PASSTHRU_MSG &msg);
PASSTHRU_MSG FilterMsg(uint32_t dataSize, uint32_t id, int extAddr = -1);
PASSTHRU_MSG Request(uint32_t id, const Bytes &payload, uint32_t txFlags = 0);
void ExpectMessage(const PASSTHRU_MSG &msg, uint32_t id, const Bytes &payload);
void ExpectConfirmation(const PASSTHRU_MSG &msg, uint32_t id);
uint32_t Write(PASSTHRU_MSG msg, uint32_t num = 1);
uint32_t SetConfig(std::vector<SCONFIG> params);
void ListenTo(uint32_t respId, uint32_t flowId, int respAddr = -1, int flowAddr = -1);
uint32_t ReadOnce(PASSTHRU_MSG &msg, uint32_t &num, bool &taken);
std::vector<PASSTHRU_MSG> ReadAll();

std::string LevelOf(const TraceCapture &trace, const std::string &text);
size_t TracedCount(const TraceCapture &trace, const std::string &text);
bool TracedStartingWith(const TraceCapture &trace, const std::string &prefix);

class SimWorldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

class OpenChannelTest : public SimWorldTest {
protected:
    void SetUp() override;
    void TearDown() override;

    TraceCapture &trace() { return *trace_; }
    bool traced(const std::string &text) const { return trace_->hasMessage(text); }
    size_t tracedCount(const std::string &text) const { return TracedCount(*trace_, text); }
    bool tracedStartingWith(const std::string &prefix) const { return TracedStartingWith(*trace_, prefix); }

private:
    std::unique_ptr<TraceCapture> trace_;
};

}  // namespace simworld

#endif
