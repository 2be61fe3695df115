// One logical communication channel of a 04.04 device (PassThruConnect): its
// receive queue, its periodic messages and its settings; CanChannel and
// IsoChannel add the protocol's filters, transmit path and reception.
#ifndef PT_J2534_TOOLS_CHANNEL_H
#define PT_J2534_TOOLS_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "j2534_tools/msg_queue.h"
#include "j2534_tools/passthru_defs.h"
#include "can/can_frame.h"
#include "platform/named_lock.h"

class Device0404;
class TraceScope;

// A frame as the channel hands it to the device for the bus.
struct OutFrame {
    uint32_t id = 0;  // CAN_ID_29BIT marks a 29-bit identifier
    uint8_t dlc = 0;  // bytes, up to 64 for an FD frame
    uint8_t data[CANFD_MAX_DLEN] = {};
    uint32_t txFlags = 0;
    uint8_t fdFlags = 0;  // CAN_FRAME_FD (with CAN_FRAME_FD_BRS), 0 for a classic frame
};

// A periodic message: its frame, its period and when it is due next.
struct PeriodicMsg {
    uint32_t msgId;
    OutFrame frame;
    uint32_t intervalMs;
    uint64_t dueUs;
};

constexpr uint32_t kMaxPeriodicMsgs = 10;
constexpr uint32_t kMinPeriodMs = 5;
constexpr uint32_t kMaxPeriodMs = 65535;
constexpr std::size_t kRxQueueMsgs = 1024;
constexpr uint32_t kDefaultSamplePoint = 80;  // BIT_SAMPLE_POINT, percent
constexpr uint32_t kDefaultJumpWidth = 15;    // SYNC_JUMP_WIDTH, percent
// J1962_PINS: the high-speed CAN pins 6 (high) and 14 (low), where a Vector
// channel's cable to the vehicle connector has them.
constexpr uint32_t kHsCanPins = 0x060E;
// HS_CAN_TERMINATION values: none, 120 ohm.
constexpr uint32_t kNoTermination = 0;
constexpr uint32_t kTermination120 = 3;

class Channel0404 {
public:
    Channel0404(Device0404 &device, uint32_t protocolId, uint32_t flags);
    virtual ~Channel0404() = default;
    Channel0404(const Channel0404 &) = delete;
    Channel0404 &operator=(const Channel0404 &) = delete;

    uint32_t protocolId() const { return m_protocolId; }
    bool isFd() const { return IsFdProtocol(m_protocolId); }
    uint32_t flags() const { return m_flags; }
    Device0404 &device() { return m_device; }

    // The host's calls; each returns the J2534 status and, on failure, the
    // text for PassThruGetLastError in *why.
    uint32_t read(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, const char **why);
    virtual uint32_t write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope,
                           const char **why) = 0;
    virtual uint32_t startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                                 const PASSTHRU_MSG *flow, uint32_t *filterId, const char **why) = 0;
    virtual uint32_t stopFilter(uint32_t filterId, const char **why) = 0;
    virtual void clearFilters() = 0;
    uint32_t startPeriodic(const PASSTHRU_MSG &msg, uint32_t intervalMs, uint32_t *msgId, const char **why);
    uint32_t stopPeriodic(uint32_t msgId, const char **why);
    void clearPeriodic();
    // GET_CONFIG / SET_CONFIG of one parameter.
    virtual uint32_t getConfig(SCONFIG &param, const char **why);
    virtual uint32_t setConfig(const SCONFIG &param, TraceScope &scope, const char **why);
    void clearRx() { m_rx.clear(); }
    virtual void clearTx();

    // Disconnect and Close: the channel ends, and the calls that wait on it
    // return at once. why: their text for PassThruGetLastError.
    void end(const char *why);
    // The status of a call that ran while the channel ended: a failure (the
    // waits cut short) becomes ERR_INVALID_CHANNEL_ID with the reason.
    uint32_t statusAfterEnd(uint32_t status, const char **why) const;

    // The worker's calls: a frame received from the bus, the bus's
    // confirmation of a frame this channel sent (token as the port's record
    // holds it), periodic messages due.
    virtual void onFrame(const CanFrame &frame) = 0;
    virtual void onConfirmed(uint64_t token, const OutFrame &frame, const CanFrame &ack);
    // Hands every periodic message due at nowUs to the device's transmit.
    void sendDuePeriodic(uint64_t nowUs, TraceScope &scope);
    // The bus confirmed this channel's frame of seq.
    void noteConfirmed(uint64_t seq);
    // When (NowUs) the next periodic message is due, 0 when there is none.
    uint64_t nextPeriodicDueUs();
    // No transfer of this channel is in flight.
    virtual bool transfersIdle() { return true; }
    // The device's port was opened at these rates (dataRate 0: classic).
    virtual void portOpened(uint32_t arbitrationRate, uint32_t dataRate) { setFrameFormat(arbitrationRate, dataRate); }
    // How this channel's frames go on the bus: FD frames on an FD channel
    // (with the bit-rate switch when the data phase is faster), else classic.
    uint8_t frameFormat() const { return m_frameFormat.load(); }

protected:
    // The frame of a message the host gives to write or to periodic
    // transmission; STATUS_NOERROR or the status of what is wrong with it.
    virtual uint32_t frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const = 0;
    // Waits until the bus confirmed the frame of seq, timeoutMs passed or
    // the channel ended.
    bool awaitConfirmed(uint64_t seq, uint32_t timeoutMs);
    bool ended() const { return m_endedWhy.load() != nullptr; }
    // Ends the waits of a protocol's own when the channel ends.
    virtual void wakeWaiters() {}
    bool loopback() const { return m_loopback.load() != 0; }
    // The frame's loopback message, when LOOPBACK is on.
    void loopBack(const OutFrame &frame, const CanFrame &ack);
    void deliver(const PASSTHRU_MSG &msg);

    // Identifier bytes of a message: Data[0..3] most significant first.
    static uint32_t IdOfMsg(const PASSTHRU_MSG &msg);
    static void PutId(uint32_t id, PASSTHRU_MSG &msg);
    static uint32_t TimestampOf(const CanFrame &frame) { return frame.timeMs * 1000u + frame.timeUs; }
    void setFrameFormat(uint32_t arbitrationRate, uint32_t dataRate);
    uint32_t setFdConfig(const SCONFIG &param, TraceScope &scope, const char **why);

private:
    Device0404 &m_device;
    const uint32_t m_protocolId;
    const uint32_t m_flags;
    MessageQueue m_rx{kRxQueueMsgs};

    std::atomic<uint32_t> m_loopback{0};
    // Percent of the bit time, J2534's defaults; kept only, the Vector driver
    // sets the bit timing from the rate.
    std::atomic<uint32_t> m_bitSamplePoint{kDefaultSamplePoint};
    std::atomic<uint32_t> m_syncJumpWidth{kDefaultJumpWidth};
    // The FD channels' J1962_PINS (0 until set) and HS_CAN_TERMINATION: kept
    // and reported; a Vector channel's pins and termination are its cable's.
    std::atomic<uint32_t> m_pins{0};
    std::atomic<uint32_t> m_termination{kNoTermination};

    NamedLock m_periodicLock;  // guards m_periodic and m_nextPeriodicId
    std::vector<PeriodicMsg> m_periodic;
    uint32_t m_nextPeriodicId = 1;

    // Sequence number of the last frame of this channel the bus confirmed.
    std::atomic<uint64_t> m_confirmedSeq{0};
    plat::Event m_confirmedEvent;
    std::atomic<uint8_t> m_frameFormat{0};
    // Set once, when the channel ends: why its waiting calls returned.
    std::atomic<const char *> m_endedWhy{nullptr};
};

#endif
