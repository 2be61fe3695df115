// A J2534 session on the simulated bus, run as a diagnostic server runs it,
// and the timed exchanges the transport's figures are taken from. The same
// code drives the library's objects linked into the native benchmark and the
// product DLL loaded under wine, through the twelve entry points only.
#ifndef PT_BENCH_BUS_SESSION_H
#define PT_BENCH_BUS_SESSION_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host_library.h"
#include "j2534.h"

// The ECU answers on kResponseId; requests and our flow control go to kRequestId.
constexpr uint32_t kRequestId = 0x7E0;
constexpr uint32_t kResponseId = 0x7E8;
constexpr uint32_t kBitrate = 500000;
// The longest ISO 15765-2 message on classic CAN: a first frame with 6 bytes
// and 585 consecutive frames of 7 (the last one carrying a single byte).
constexpr uint32_t kLongPayload = 4095;
constexpr uint32_t kLongConsecutiveFrames = 585;
// What the worker's 1 ms cycle allows for the long request: one frame per cycle.
constexpr double kLongRequestDesignMs = kLongConsecutiveFrames * 1.0;

// "morix.ini" for a verbosity as the TRACE key gives it.
std::string MorixIni(int trace);

// Seconds on the performance counter.
double SecondsSince(uint64_t perfCounterStart);

// The value below which p percent of the samples lie (nearest rank); 0 for none.
double Percentile(std::vector<double> samples, double p);
double Mean(const std::vector<double> &samples);  // 0 for none

// Process CPU time over a sleep of ms, as percent of one core.
double CpuPercentWhileSleeping(uint32_t ms);

// Byte i of the long messages both sides send.
inline uint8_t LongPayloadByte(uint32_t i) { return static_cast<uint8_t>(i * 7 + 3); }

// The peer's consecutive frame k (1-based) of the long message.
std::vector<uint8_t> LongConsecutiveFrame(uint32_t k);

// One channel of a fresh simulated world: a single CAN card, no simulated
// ECUs; with realTiming the bus carries frames at their length at 500 kbit/s.
class BusSession {
public:
    BusSession(const J2534Api &api, bool realTiming);
    ~BusSession();
    BusSession(const BusSession &) = delete;
    BusSession &operator=(const BusSession &) = delete;

    // Connects (the worker then runs) when asked, brings the hardware up
    // through DATA_RATE and installs the pass and flow-control filters for
    // the ECU. Empty on success, otherwise what went wrong.
    std::string open(bool connect);

    // Reads until the receive queue is empty.
    void drain();

    // One poll for one message; received tells whether it delivered one.
    uint32_t readOnce(bool &received);

    const J2534Api &api() const { return m_api; }
    PASSTHRU_MSG &message() { return *m_msg; }

private:
    const J2534Api &m_api;
    std::unique_ptr<PASSTHRU_MSG> m_msg;
    uint32_t m_channel = 1;  // the library's one channel
};

struct TransferFigures {
    std::string error;           // empty when every frame and message was as it must be
    double elapsedMs = 0;        // host's view: call to confirmation, first frame to message
    std::vector<double> gapsMs;  // between our consecutive frames, as handed to the driver
    double framesMs = 0;         // our first frame to our last, as handed to the driver
};

// The 4095-byte request: PassThruWriteMsgs until PassThruReadMsgs delivers its
// transmit confirmation; a scripted peer answers the first frame with 30 00 00.
// The host polls without pause, or sleeps emptyPollPauseMs after each poll
// that found nothing.
TransferFigures SendLongRequest(BusSession &session, uint32_t emptyPollPauseMs = 0);

// The 4095-byte answer: the peer sends its first frame, and its 585
// consecutive frames back to back on our flow control; the host polls until
// the message is complete.
TransferFigures ReceiveLongAnswer(BusSession &session);

// Feeds the read path one consecutive frame at a time: a reassembly is kept
// in progress, so every poll processes exactly one consecutive frame.
class ConsecutiveFrameFeed {
public:
    explicit ConsecutiveFrameFeed(BusSession &session) : m_session(session) {}
    // Puts the next frame into the receive queue, starting a new message
    // first when the last one is complete (that restart polls the queue).
    std::string next();
    // The poll's outcome for the frame just fed: empty when as it must be.
    std::string check(uint32_t status, bool received);

private:
    std::string start();
    BusSession &m_session;
    uint32_t m_nextFrame = 0;  // 0: no message in progress
};

#endif
