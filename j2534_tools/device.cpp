#include "j2534_tools/device.h"

#include <cstring>

#include "j2534_tools/can_channel.h"
#include "j2534_tools/iso_channel.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"

namespace {

// Events taken from the driver's queue per cycle at most, so that a flood
// cannot keep the worker from its other duties.
constexpr uint32_t kFramesPerCycle = 512;
// The longest the worker waits for work with nothing in flight and nobody
// reading: a first frame then waits at most this long for our flow control.
constexpr uint32_t kQuietMs = 5;
constexpr uint32_t kCanSlot = 0;
constexpr uint32_t kIsoSlot = 1;
// The data-phase rate of an FD channel until the tool sets one: the rate
// most CAN FD diagnostic networks run (500 kbit/s with 2 Mbit/s).
constexpr uint32_t kDefaultDataPhaseRate = 2000000;

}  // namespace

Device0404::Device0404(const DeviceSettings &settings)
    : m_settings(settings), m_port(*settings.port, *settings.profile, *settings.driverSession) {
    m_port.useNotification();
}

Device0404::~Device0404() { close(false); }

bool Device0404::ValidBaudRate(uint32_t baudRate) {
    return baudRate == 125000 || baudRate == 250000 || baudRate == 500000 || baudRate == 1000000;
}

bool Device0404::ValidDataPhaseRate(uint32_t dataRate) {
    return dataRate == 250000 || dataRate == 500000 || dataRate == 1000000 || dataRate == 2000000 ||
           dataRate == 4000000 || dataRate == 5000000;
}

uint32_t Device0404::open(const char *name, const char **why) {
    char chosen[40] = {};
    const uint32_t status = m_port.selectChannel(name, chosen, sizeof chosen);
    if (status != STATUS_NOERROR) {
        *why = "no Vector CAN channel of that name, or no driver";
        return status;
    }
    m_selectedMask = m_port.selectedChannel();
    m_channelName = chosen;
    int error = 0;
    if (m_worker.start(&error) == TransportWorker::StartResult::Failed) {
        *why = "the device's thread could not be started";
        return ERR_FAILED;
    }
    return STATUS_NOERROR;
}

void Device0404::close(bool processEnding) {
    {
        LockGuard guard(m_channelLock);
        m_closed = true;
    }
    for (uint32_t slot = 0; slot < kSlots; ++slot) endChannel(slot, "the device was closed while the call waited");
    if (processEnding) m_worker.abandon();
    m_worker.stop();
}

std::shared_ptr<Channel0404> Device0404::channel(uint32_t slot) {
    LockGuard guard(m_channelLock);
    return slot < kSlots ? m_channels[slot] : nullptr;
}

uint32_t Device0404::connect(uint32_t protocolId, uint32_t flags, uint32_t baudRate, uint32_t *slot, TraceScope &scope,
                             const char **why) {
    if (!IsRawCanProtocol(protocolId) && !IsIsoTpProtocol(protocolId)) {
        *why = "ProtocolID not served: CAN, ISO15765 and their CAN FD kinds only";
        return ERR_INVALID_PROTOCOL_ID;
    }
    const bool fd = IsFdProtocol(protocolId);
    if (fd && !m_port.selectedChannelHasFd()) {
        PT_SCOPE(refusal, "Device0404::connect()");
        refusal.messagef(TL_ERROR, "CAN FD protocol 0x%X refused: channel \"%s\" has no ISO CAN FD",
                         static_cast<unsigned>(protocolId), m_channelName.c_str());
        *why = "the Vector channel does not do ISO CAN FD";
        return ERR_NOT_SUPPORTED;
    }
    const uint32_t known = CAN_29BIT_ID | CAN_ID_BOTH | (IsIsoTpProtocol(protocolId) ? ISO15765_ADDR_TYPE : 0u);
    if ((flags & ~known) != 0) {
        *why = "Flags hold bits CAN and ISO15765 do not know";
        return ERR_INVALID_FLAGS;
    }
    if (!ValidBaudRate(baudRate)) {
        *why = "BaudRate not 125000, 250000, 500000 or 1000000";
        return ERR_INVALID_BAUDRATE;
    }
    const uint32_t target = IsRawCanProtocol(protocolId) ? kCanSlot : kIsoSlot;
    LockGuard guard(m_channelLock);
    if (m_closed) {
        *why = "the device was closed";
        return ERR_INVALID_DEVICE_ID;
    }
    if (m_channels[target]) {
        *why = "this protocol is already connected on the device";
        return ERR_CHANNEL_IN_USE;
    }
    const bool portOpen = m_channels[kCanSlot] || m_channels[kIsoSlot];
    if (portOpen && baudRate != m_bitrate) {
        *why = "the other channel on the device runs at another BaudRate";
        return ERR_INVALID_BAUDRATE;
    }
    if (!portOpen || (fd && m_dataRate == 0)) {
        const uint32_t status = openPort_(baudRate, fd ? kDefaultDataPhaseRate : 0, scope);
        if (status != STATUS_NOERROR) {
            *why = status == ERR_NOT_SUPPORTED ? "the Vector driver has no CAN FD calls"
                                               : "the Vector channel could not be opened at that BaudRate";
            return status;
        }
    }
    if (IsRawCanProtocol(protocolId))
        m_channels[target] = std::make_shared<CanChannel>(*this, protocolId, flags);
    else
        m_channels[target] =
            std::make_shared<IsoChannel>(*this, protocolId, flags, m_port, m_settings.pduTrace, *m_settings.profile);
    m_channels[target]->portOpened(m_bitrate, m_dataRate);
    *slot = target;
    return STATUS_NOERROR;
}

void Device0404::endChannel(uint32_t slot, const char *why) {
    std::shared_ptr<Channel0404> gone;
    bool last = false;
    {
        LockGuard guard(m_channelLock);
        if (slot >= kSlots || !m_channels[slot]) return;
        gone = std::move(m_channels[slot]);
        last = !m_channels[kCanSlot] && !m_channels[kIsoSlot];
        if (last) m_bitrate = 0;
        if (last) m_dataRate = 0;
        if (last) m_port.VectorCleanUp();
    }
    gone->end(why);
    gone->clearPeriodic();
    forgetPending(*gone);
}

bool Device0404::holds_(const Channel0404 &caller) const {
    return m_channels[kCanSlot].get() == &caller || m_channels[kIsoSlot].get() == &caller;
}

uint32_t Device0404::setBitrate(const Channel0404 &caller, uint32_t baudRate, TraceScope &scope, const char **why) {
    if (!ValidBaudRate(baudRate)) {
        *why = "DATA_RATE not 125000, 250000, 500000 or 1000000";
        return ERR_INVALID_IOCTL_VALUE;
    }
    LockGuard guard(m_channelLock);
    // A channel disconnected meanwhile opens no port that nobody would close.
    if (!holds_(caller)) {
        *why = "the channel was disconnected";
        return ERR_INVALID_CHANNEL_ID;
    }
    if (m_dataRate != 0 && baudRate > m_dataRate) {
        *why = "DATA_RATE above the CAN FD data-phase rate";
        return ERR_INVALID_IOCTL_VALUE;
    }
    const uint32_t status = openPort_(baudRate, m_dataRate, scope);
    if (status != STATUS_NOERROR) *why = "the Vector channel could not be opened at that DATA_RATE";
    return status;
}

uint32_t Device0404::setDataPhaseRate(const Channel0404 &caller, uint32_t dataRate, TraceScope &scope,
                                      const char **why) {
    if (!ValidDataPhaseRate(dataRate)) {
        *why = "data-phase rate not 250000, 500000, 1000000, 2000000, 4000000 or 5000000";
        return ERR_INVALID_IOCTL_VALUE;
    }
    LockGuard guard(m_channelLock);
    if (!holds_(caller)) {
        *why = "the channel was disconnected";
        return ERR_INVALID_CHANNEL_ID;
    }
    if (dataRate < m_bitrate) {
        *why = "the data-phase rate cannot be below the arbitration rate (BaudRate, DATA_RATE)";
        return ERR_INVALID_IOCTL_VALUE;
    }
    const uint32_t status = openPort_(m_bitrate, dataRate, scope);
    if (status != STATUS_NOERROR) *why = "the Vector channel could not be opened at that data-phase rate";
    return status;
}

uint32_t Device0404::openPort_(uint32_t baudRate, uint32_t dataRate, TraceScope &scope) {
    const uint32_t status = dataRate != 0 ? m_port.reopenFd(baudRate, dataRate) : m_port.reopen(baudRate);
    if (status != STATUS_NOERROR) {
        // Nothing of the failed set-up stays: no port, no hold on the driver.
        m_port.VectorCleanUp();
        m_dataRate = 0;
        return status;
    }
    m_port.acceptEveryId(scope);
    m_bitrate = baudRate;
    m_dataRate = dataRate;
    for (const auto &channel : m_channels)
        if (channel) channel->portOpened(baudRate, dataRate);
    // The opened port has a notification of its own: the worker takes it.
    wakeWorker();
    return STATUS_NOERROR;
}

uint32_t Device0404::transmit(Channel0404 &owner, const OutFrame &frame, uint64_t *seq, TraceScope &scope) {
    const uint64_t token = m_port.confirmations().newToken();
    bool queueFull = false;
    const ConfirmationTag tag{&owner, token, frame.txFlags};
    const uint32_t status =
        m_port.VectorTransmit(frame.id, frame.dlc, frame.data, 0, scope, &queueFull, tag, CAN_PAD_BYTE, frame.fdFlags);
    if (status != STATUS_NOERROR) return queueFull ? ERR_BUFFER_FULL : ERR_FAILED;
    *seq = token;
    wakeWorker();
    return STATUS_NOERROR;
}

void Device0404::forgetPending(const Channel0404 &owner) { m_port.confirmations().forget(&owner); }

WorkerPace Device0404::cycle(uint32_t &cycleCounter, TraceScope &scope) {
    WorkerPace pace;
    std::shared_ptr<Channel0404> channels[kSlots];
    IsoChannel *iso = nullptr;
    // The channels as they are now: a frame read after a host call changed
    // them goes to the channels that call left (the cycle may have begun
    // well before it on a loaded machine).
    auto takeChannels = [&] {
        LockGuard guard(m_channelLock);
        for (uint32_t slot = 0; slot < kSlots; ++slot) channels[slot] = m_channels[slot];
        iso = static_cast<IsoChannel *>(channels[kIsoSlot].get());
    };
    takeChannels();
    // The port's notification, when the driver gives one: no beat then.
    m_heldSignal = m_port.driverSignal();
    const bool driven = m_heldSignal != nullptr;
    if (!channels[kCanSlot] && !channels[kIsoSlot]) {
        // Nothing to do until a connect wakes the worker (the port's
        // notification comes with it).
        pace.driven = true;
        return pace;
    }
    // Without a beat the reassemblies' time-outs are looked at every cycle.
    if (driven) cycleCounter = RX_CHECK_CYCLES;
    uint32_t frames = 0;
    for (; frames < kFramesPerCycle; ++frames) {
        CanFrame frame = {};
        bool taken = false;
        if (!m_port.VectorReadReceiveQueue(frame, &taken)) {
            // An event that is no frame: on to the queue's end.
            if (taken) continue;
            break;
        }
        takeChannels();
        if (frame.frameFlags & CAN_FRAME_TX_ACK) {
            confirm(frame);
            continue;
        }
        for (const auto &channel : channels)
            if (channel) channel->onFrame(frame);
    }
    const uint64_t now = plat::NowUs();
    for (const auto &channel : channels)
        if (channel) channel->sendDuePeriodic(now, scope);
    pace.dueUs = iso ? iso->service(cycleCounter, scope) : 0;
    if (driven) {
        pace.driven = true;
        pace.driverSignal = m_heldSignal.get();
        // A cycle that stopped short of the queue's end reads on at once: the
        // driver notifies again only after the queue was read empty.
        pace.dueUs = frames == kFramesPerCycle ? now : nextDueUs(channels, pace.dueUs, plat::NowUs());
        return pace;
    }
    if (frames == 0 && pace.dueUs == 0 && m_waitingReaders.load() == 0) pace.quietMs = quietWaitMs(channels, now);
    return pace;
}

uint64_t Device0404::nextDueUs(const std::shared_ptr<Channel0404> (&channels)[kSlots], uint64_t transferDueUs,
                               uint64_t nowUs) {
    uint64_t due = transferDueUs;
    auto note = [&due](uint64_t t) {
        if (t != 0 && (due == 0 || t < due)) due = t;
    };
    for (const auto &channel : channels)
        if (channel) note(channel->nextPeriodicDueUs());
    if (auto *iso = static_cast<IsoChannel *>(channels[kIsoSlot].get())) note(iso->nextTimeoutUs());
    return due != 0 && due < nowUs ? nowUs : due;
}

// How long the worker may wait for work: kQuietMs, less when a periodic
// message falls due sooner, 0 (keep the beat) while anything is in flight.
uint32_t Device0404::quietWaitMs(const std::shared_ptr<Channel0404> (&channels)[kSlots], uint64_t nowUs) {
    if (!m_port.confirmations().empty()) return 0;
    uint64_t untilUs = nowUs + uint64_t{kQuietMs} * 1000u;
    for (const auto &channel : channels) {
        if (!channel) continue;
        if (!channel->transfersIdle()) return 0;
        const uint64_t next = channel->nextPeriodicDueUs();
        if (next != 0 && next < untilUs) untilUs = next;
    }
    const uint64_t waitMs = untilUs > nowUs ? (untilUs - nowUs) / 1000u : 0;
    return waitMs > 1 ? static_cast<uint32_t>(waitMs) : 0;
}

void Device0404::readerWaits(bool waiting) {
    if (!waiting) {
        --m_waitingReaders;
        return;
    }
    ++m_waitingReaders;
    m_worker.wake();
}

// The port's record knows whose frame the bus confirmed; the owner is
// called only while it is still connected, through the device's own
// reference.
void Device0404::confirm(const CanFrame &ack) {
    Confirmation done;
    if (!m_port.confirmations().take(ack, done)) return;
    std::shared_ptr<Channel0404> owner;
    {
        LockGuard guard(m_channelLock);
        for (const auto &channel : m_channels)
            if (channel.get() == done.tag.owner) owner = channel;
    }
    if (!owner) return;
    OutFrame frame;
    frame.id = done.frame.id;
    frame.dlc = done.frame.dlc;
    frame.fdFlags = done.frame.fdFlags;
    std::memcpy(frame.data, done.frame.data, sizeof done.frame.data);
    frame.txFlags = done.tag.ownerFlags;
    owner->onConfirmed(done.tag.token, frame, ack);
}
