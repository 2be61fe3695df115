// The one CAN port on the Vector XL library: the driver binding, the channel
// chosen, the port handle and its masks, and what goes through the port.
#ifndef PT_CAN_CAN_PORT_H
#define PT_CAN_CAN_PORT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "can/can_frame.h"
#include "can/confirmations.h"
#include "can/field_profile.h"
#include "can/xl_api.h"
#include "can/xl_binding.h"
#include "can/xl_session.h"
#include "platform/named_lock.h"

class TraceScope;

// Bursts of bus errors or foreign events would flood the trace; they are
// counted and told at most once a second.
struct RateLimitedCount {
    std::atomic<uint32_t> count{0};
    std::atomic<uint32_t> reportTick{0};
    // Counts one event; returns how many to report now, 0 while none is due.
    uint32_t add();
};

// The morix.ini keys the port needs, read once at load.
struct CanPortSettings {
    int32_t m_VirtualOrdinal = 0;  // VIRTUAL: > 0 admits virtual channels, the ordinal of the active one
    int32_t m_WakeUp = 0;          // WAKEUP: 1 or 2 sends a wake-up frame once the port is up
    int32_t m_bCooperative = 0;    // cooperative: go on without init access
};

class CanPort {
public:
    // With the field profile, frames flagged after a queue overrun still
    // count, overruns and failing receive calls are reported as errors, and
    // the receive queue has the profile's size. The port is a user of the
    // driver session from its set-up to its clean-up.
    CanPort(const CanPortSettings &settings, const FieldProfile &profile, XlDriverSession &session)
        : m_settings(settings), m_profile(profile), m_session(session) {}
    CanPort(const CanPort &) = delete;
    CanPort &operator=(const CanPort &) = delete;

    // Closes any earlier port and opens it again at bitrate (binding the
    // driver first, on the host's thread), then sends the configured wake-up
    // frame. 0 on success, the J2534 status of the failure otherwise.
    uint32_t reopen(uint32_t bitrate);
    // The same for CAN FD: arbitration phase at arbitrationRate, data phase
    // at dataRate. Only a channel with ISO CAN FD support opens so
    // (ERR_NOT_SUPPORTED and a trace line naming it otherwise, or when the
    // driver has no CAN FD calls).
    uint32_t reopenFd(uint32_t arbitrationRate, uint32_t dataRate);

    // 0 on success, 8 (ERR_DEVICE_NOT_CONNECTED) on any failure, 1
    // (ERR_NOT_SUPPORTED) for a CAN FD open the channel or driver cannot do.
    // fdDataRate 0 opens the port for classic CAN. The caller holds
    // m_initLock. Joins the driver session; a failure after the join keeps
    // it until VectorCleanUp.
    int16_t vectorInitDriver(uint32_t bitrate, uint32_t fdDataRate = 0);
    void demoPrintConfig();
    // Closes the port and leaves the driver session (the last user closes
    // the driver).
    int16_t VectorCleanUp();

    // Sends one frame of length 0..8, padded to 8 bytes with padByte when pad
    // is non-zero. Returns STATUS_NOERROR or ERR_FAILED; traces through scope.
    // With queueFull, a frame the driver refused for a full transmit queue
    // sets *queueFull and may be sent again later. A tag with an owner notes
    // the frame in confirmations() before the driver gets it.
    // fdFlags CAN_FRAME_FD (with CAN_FRAME_FD_BRS) sends an FD frame of
    // length 0..64 on a port open for FD: one above 8 bytes is always padded
    // with padByte to the next length a DLC code gives.
    uint32_t VectorTransmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad, TraceScope &scope,
                            bool *queueFull = nullptr, const ConfirmationTag &tag = ConfirmationTag(),
                            uint8_t padByte = CAN_PAD_BYTE, uint8_t fdFlags = 0);

    // Asks reopen to set up the driver's notification of received events
    // (xlSetNotification, queue level 1) after the port opens: the 04.04
    // devices, whose worker waits on it. Set before the first reopen.
    void useNotification() { m_wantNotification = true; }
    // The notification of the port open now, as a platform copy that stays
    // valid while a holder keeps it (a port re-opened meanwhile gives a new
    // one); null when there is none: no port, not asked for, or a driver
    // without it or refusing it (the worker then keeps its beat).
    std::shared_ptr<void> driverSignal();

    // The frames handed over whose confirmation an owner waits for.
    PendingConfirmations &confirmations() { return m_confirmations; }

    // Takes at most one event from the receive queue: true when frame holds
    // a frame to analyse. *eventTaken (when given) tells whether the driver
    // handed out an event at all, so that a reader can go on to the queue's
    // end past events that are no frames (the driver notifies again only
    // after the queue was read empty).
    bool VectorReadReceiveQueue(CanFrame &frame, bool *eventTaken = nullptr);

    void VectorSendWakeUp();

    // Restricts the port to one channel of the driver's configuration: the
    // one named name (its driver name, or "VectorChannel<N>" for the channel
    // of index N - 1), or the first CAN channel when name is null or empty.
    // Until called, the port joins the channels it always joined. Joins and
    // leaves the driver session to look; 0 on success,
    // ERR_DEVICE_NOT_CONNECTED when the driver or the channel is missing.
    // *chosen receives its driver name.
    uint32_t selectChannel(const char *name, char *chosen, std::size_t chosenSize);

    // Opens the hardware acceptance filter for every 11- and 29-bit
    // identifier; openAcceptance has nothing to do after it.
    void acceptEveryId(TraceScope &scope);

    // Lets one identifier through the hardware acceptance filter; a failure
    // is traced at failLevel. False when the driver refused it on an open port.
    bool openAcceptance(uint32_t canId, const char *kind, uint32_t failLevel, TraceScope &scope);

    // What the driver told at the last set-up, for tools that show it.
    const XLdriverConfig &driverConfig() const { return m_DriverConfig; }
    XLportHandle portHandle() const { return m_PortHandle.load(); }
    XLaccess channelMask() const { return m_ChannelMask.load(); }
    // The channel selectChannel chose, 0 before.
    XLaccess selectedChannel() const { return m_selectedMask; }
    // Whether that channel does ISO CAN FD, as the driver's configuration says.
    bool selectedChannelHasFd() const { return m_selectedHasFd; }
    // The bit rate the port was last opened at, 0 before.
    uint32_t bitrate() const { return m_bitrate.load(); }
    // Whether the port is open for CAN FD, and its data-phase rate then (0
    // while open for classic CAN or closed).
    bool isFd() const { return m_fdDataRate.load() != 0; }
    uint32_t fdDataRate() const { return m_fdDataRate.load(); }

    // Transmit time (us) of the last frame sent while its caller's scope traced.
    uint32_t lastTxTimestamp() const { return m_LastTxTimestamp.load(); }

    // xlGetErrorString of status, never null: for trace lines.
    const char *xlErrorText(XLstatus status) const;

private:
    const XlDriverBinding &xl() const { return *m_xl.load(std::memory_order_acquire); }
    const XlDriverBinding &bindDriver();
    // VectorCleanUp with m_initLock held.
    int16_t cleanUp_();
    int16_t failInit(TraceScope &scope);
    uint32_t listedChannels() const;
    XLaccess scanChannels(TraceScope &scope);
    XLaccess configuredChannels(unsigned hwType, unsigned hwIndex, unsigned hwChannel, TraceScope &scope);
    XLaccess chooseChannels(TraceScope &scope);
    bool acceptReceivedFrame(const XLevent &event, CanFrame &frame);
    // The FD port's counterparts (interface version 4 events).
    bool readFdReceiveQueue(CanFrame &frame, bool *eventTaken);
    bool acceptFdFrame(const XLcanRxEvent &event, CanFrame &frame);
    void countFdEvent(XLcanRxEvent &event);
    uint32_t reopen_(uint32_t bitrate, uint32_t fdDataRate);
    // With the port open (V4): the channels' FD support and both rates.
    int16_t configureFd(XLportHandle port, XLaccess channels, uint32_t bitrate, uint32_t dataRate,
                        TraceScope &scope);
    bool channelsSupportFd(XLaccess channels, TraceScope &scope) const;
    XLstatus transmitClassic(uint32_t id, uint8_t dlc, const uint8_t *data, uint32_t *timeUs);
    XLstatus transmitFd(uint32_t id, uint8_t dlc, const uint8_t *data, uint8_t fdFlags);
    void countErrorFrame();
    void countUnknownEvent(XLevent &event);
    void countOverrun();
    void countReceiveFailure(XLstatus status);
    unsigned receiveQueueSize(TraceScope &scope) const;
    // The FD port's queue in bytes: room for as many of the largest events.
    unsigned fdReceiveQueueBytes(TraceScope &scope) const;
    // With m_initLock held, after the port opened.
    void setUpNotification_(TraceScope &scope);
    void setDriverSignal(std::shared_ptr<void> signal);

    const CanPortSettings &m_settings;
    const FieldProfile &m_profile;
    XlDriverSession &m_session;

    // Points at m_boundDriver once the driver is bound, at the fallbacks
    // before: the worker may transmit while a host thread binds.
    std::atomic<const XlDriverBinding *> m_xl{&MissingXlDriver()};
    XlDriverBinding m_boundDriver = MissingXlDriver();

    // Serialises opening, closing and acceptance changes of the port, so
    // that threads re-configuring it at once always leave one port behind;
    // guards m_driverJoined. The driver session's lock is taken inside it.
    NamedLock m_initLock;
    // This port counts as a user of the driver session.
    bool m_driverJoined = false;
    std::atomic<XLportHandle> m_PortHandle{XL_INVALID_PORTHANDLE};
    std::atomic<XLaccess> m_ChannelMask{0};
    std::atomic<uint32_t> m_bitrate{0};
    std::atomic<uint32_t> m_fdDataRate{0};  // non-zero while open for CAN FD
    XLaccess m_PermissionMask = 0;
    // The one channel selectChannel chose; 0 before.
    XLaccess m_selectedMask = 0;
    bool m_selectedHasFd = false;
    std::atomic<bool> m_everyIdAccepted{false};
    XLdriverConfig m_DriverConfig = {};

    std::atomic<uint32_t> m_LastTxTimestamp{0};
    RateLimitedCount m_ErrorFrames;
    RateLimitedCount m_UnknownEvents;
    RateLimitedCount m_Overruns;
    RateLimitedCount m_ReceiveFailures;

    PendingConfirmations m_confirmations;

    bool m_wantNotification = false;
    // Guards m_driverSignal alone: the worker takes its copy each cycle.
    NamedLock m_signalLock;
    std::shared_ptr<void> m_driverSignal;
};

#endif
