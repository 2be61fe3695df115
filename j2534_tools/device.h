// One 04.04 device (PassThruOpen): one Vector CAN channel behind one CanPort,
// the channels connected on it (one CAN, one ISO15765), and the device's
// worker thread, which reads the port, hands every frame to the channels,
// matches the bus's transmit confirmations and sends periodic messages.
#ifndef PT_J2534_TOOLS_DEVICE_H
#define PT_J2534_TOOLS_DEVICE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "j2534_tools/channel.h"
#include "can/field_profile.h"
#include "can/can_port.h"
#include "platform/platform.h"
#include "platform/named_lock.h"
#include "transport/worker.h"

class TraceFile;

// What a device needs from the module's settings.
struct DeviceSettings {
    const CanPortSettings *port;
    const FieldProfile *profile;
    TraceFile *pduTrace;             // null when the PDU trace is off
    XlDriverSession *driverSession;  // the module's, shared by every device
};

class Device0404 final : private WorkerJob {
public:
    explicit Device0404(const DeviceSettings &settings);
    ~Device0404();
    Device0404(const Device0404 &) = delete;
    Device0404 &operator=(const Device0404 &) = delete;

    // Chooses the Vector channel (see CanPort::selectChannel) and starts the
    // worker; STATUS_NOERROR or the J2534 status of the failure.
    uint32_t open(const char *name, const char **why);
    // Disconnects every channel, stops the worker, closes the port.
    // processEnding: the system has already ended the worker thread.
    void close(bool processEnding);
    // The close to come runs under the loader lock (an unload).
    void unloading() { m_worker.unloading(); }
    XLaccess channelMask() const { return m_selectedMask; }
    const std::string &channelName() const { return m_channelName; }
    const DeviceSettings &settings() const { return m_settings; }
    CanPort &port() { return m_port; }

    // PassThruConnect: slot 0 holds the raw CAN channel (CAN or an FD one),
    // slot 1 the ISO-TP one (ISO15765 or an FD one). The first FD channel
    // opens the port for CAN FD (again, under a classic channel already
    // there, whose frames stay classic).
    uint32_t connect(uint32_t protocolId, uint32_t flags, uint32_t baudRate, uint32_t *slot, TraceScope &scope,
                     const char **why);
    // PassThruDisconnect: the channel ends (calls waiting on it return) and
    // leaves the device; the last one closes the port.
    void disconnect(uint32_t slot) { endChannel(slot, "the channel was disconnected while the call waited"); }
    std::shared_ptr<Channel0404> channel(uint32_t slot);
    // SET_CONFIG DATA_RATE of caller: the port is opened again at the new
    // rate, unless caller has left the device meanwhile.
    uint32_t setBitrate(const Channel0404 &caller, uint32_t baudRate, TraceScope &scope, const char **why);
    // SET_CONFIG of the data-phase rate: the port is opened again for CAN FD
    // at the arbitration rate it has and the new data-phase rate.
    uint32_t setDataPhaseRate(const Channel0404 &caller, uint32_t dataRate, TraceScope &scope, const char **why);

    // Hands a channel's frame to the bus, noted in the port's record for its
    // confirmation; *seq receives its token. STATUS_NOERROR, ERR_BUFFER_FULL
    // when the driver's transmit queue is full, ERR_FAILED otherwise.
    uint32_t transmit(Channel0404 &owner, const OutFrame &frame, uint64_t *seq, TraceScope &scope);
    // Forgets the confirmations owed to a channel's frames.
    void forgetPending(const Channel0404 &owner);

    // Host calls that give the worker work (a write, a periodic message) end
    // its quiet wait at once.
    void wakeWorker() { m_worker.wake(); }
    // A host thread waits in PassThruReadMsgs (true) or has stopped waiting:
    // while one waits, the worker keeps its beat.
    void readerWaits(bool waiting);

    static bool ValidBaudRate(uint32_t baudRate);
    static bool ValidDataPhaseRate(uint32_t dataRate);

private:
    static constexpr uint32_t kSlots = 2;

    // The worker's cycle: the port's frames to the channels, confirmations
    // to their owners, periodic messages, the transport's transfers. It may
    // wait quietly when nothing was read, nothing is in flight or awaits its
    // confirmation, no reader waits, and no periodic message falls due soon.
    WorkerPace cycle(uint32_t &cycleCounter, TraceScope &scope) override;
    // Hands the bus's confirmation to the channel whose frame it confirms.
    void confirm(const CanFrame &ack);
    // Ends the channel of slot (calls waiting on it return with why) and
    // takes it off the device; the last one closes the port.
    void endChannel(uint32_t slot, const char *why);
    // Opens the port at baudRate (for CAN FD with dataRate non-zero) for
    // every identifier and tells the channels (m_channelLock held); a failure
    // leaves no port.
    uint32_t openPort_(uint32_t baudRate, uint32_t dataRate, TraceScope &scope);
    bool holds_(const Channel0404 &caller) const;
    uint32_t quietWaitMs(const std::shared_ptr<Channel0404> (&channels)[kSlots], uint64_t nowUs);
    // Without a beat: when the cycle is next due besides the driver's
    // notification and a wake-up (0: never).
    uint64_t nextDueUs(const std::shared_ptr<Channel0404> (&channels)[kSlots], uint64_t transferDueUs,
                       uint64_t nowUs);

    const DeviceSettings m_settings;
    CanPort m_port;
    XLaccess m_selectedMask = 0;
    std::string m_channelName;

    // Guards m_channels, m_bitrate and m_closed; never held while a
    // channel's lock is taken. Order: m_channelLock before the port's lock.
    NamedLock m_channelLock;
    std::shared_ptr<Channel0404> m_channels[kSlots];
    uint32_t m_bitrate = 0;
    uint32_t m_dataRate = 0;  // the data-phase rate while the port is open for CAN FD
    // Closed: no channel connects any more (a call that found the device
    // before PassThruClose may still hold it).
    bool m_closed = false;

    // The worker's own copy of the port's notification, held from one cycle
    // to the next so that the wait in between never loses it.
    std::shared_ptr<void> m_heldSignal;

    TransportWorker m_worker{*this, "Device0404 worker", "Device0404 worker(end)"};
    std::atomic<int32_t> m_waitingReaders{0};
};

#endif
