#include "j2534_tools/device.h"

#include <cstring>

#include "j2534_tools/can_channel.h"
#include "j2534_tools/iso_channel.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kCycleUs = 1000;
constexpr uint32_t kWorkerStartMs = 2000;
constexpr uint32_t kWorkerStopMs = 2000;
constexpr uint32_t kWorkerLeavePauseMs = 20;
// Events taken from the driver's queue per cycle at most, so that a flood
// cannot keep the worker from its other duties.
constexpr uint32_t kFramesPerCycle = 512;
// The longest the worker waits for work with nothing in flight and nobody
// reading: a first frame then waits at most this long for our flow control.
constexpr uint32_t kQuietMs = 5;
constexpr uint32_t kCanSlot = 0;
constexpr uint32_t kIsoSlot = 1;

}  // namespace

Device0404::Device0404(const DeviceSettings &settings)
    : m_settings(settings), m_port(*settings.port, *settings.profile) {}

Device0404::~Device0404() { close(false); }

bool Device0404::ValidBaudRate(uint32_t baudRate) {
    return baudRate == 125000 || baudRate == 250000 || baudRate == 500000 || baudRate == 1000000;
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
    m_run = 1;
    int error = 0;
    m_workerStarted.reset();
    m_workerLeft.reset();
    if (!plat::StartThread(&Device0404::WorkerEntry, this, &m_thread, &error)) {
        m_run = 0;
        *why = "the device's thread could not be started";
        return ERR_FAILED;
    }
    m_workerStarted.wait(kWorkerStartMs);
    return STATUS_NOERROR;
}

void Device0404::stopWorker(bool processEnding) {
    if (!m_thread.open) return;
    m_run = 0;
    m_workerWake.set();
    if (processEnding) m_workerLeft.set();
    const bool left = m_workerLeft.wait(kWorkerStopMs);
    // The signal is the worker's last step in the library, but a few of its
    // instructions (the returns to the system's thread start) still run in
    // the library's code: an unload must not unmap it under them.
    if (left && !processEnding) plat::SleepMs(kWorkerLeavePauseMs);
    plat::CloseThread(&m_thread, left && !processEnding);
}

void Device0404::close(bool processEnding) {
    for (uint32_t slot = 0; slot < kSlots; ++slot) disconnect(slot);
    stopWorker(processEnding);
}

std::shared_ptr<Channel0404> Device0404::channel(uint32_t slot) {
    LockGuard guard(m_channelLock);
    return slot < kSlots ? m_channels[slot] : nullptr;
}

uint32_t Device0404::connect(uint32_t protocolId, uint32_t flags, uint32_t baudRate, uint32_t *slot, TraceScope &scope,
                             const char **why) {
    if (protocolId != CAN && protocolId != ISO15765) {
        *why = "ProtocolID not served: CAN and ISO15765 only";
        return ERR_INVALID_PROTOCOL_ID;
    }
    const uint32_t known = CAN_29BIT_ID | CAN_ID_BOTH | (protocolId == ISO15765 ? ISO15765_ADDR_TYPE : 0u);
    if ((flags & ~known) != 0) {
        *why = "Flags hold bits CAN and ISO15765 do not know";
        return ERR_INVALID_FLAGS;
    }
    if (!ValidBaudRate(baudRate)) {
        *why = "BaudRate not 125000, 250000, 500000 or 1000000";
        return ERR_INVALID_BAUDRATE;
    }
    const uint32_t target = protocolId == CAN ? kCanSlot : kIsoSlot;
    LockGuard guard(m_channelLock);
    if (m_channels[target]) {
        *why = "this protocol is already connected on the device";
        return ERR_CHANNEL_IN_USE;
    }
    const bool portOpen = m_channels[kCanSlot] || m_channels[kIsoSlot];
    if (portOpen && baudRate != m_bitrate) {
        *why = "the other channel on the device runs at another BaudRate";
        return ERR_INVALID_BAUDRATE;
    }
    if (!portOpen) {
        const uint32_t status = m_port.reopen(baudRate);
        if (status != STATUS_NOERROR) {
            *why = "the Vector channel could not be opened at that BaudRate";
            return status;
        }
        m_port.acceptEveryId(scope);
        m_bitrate = baudRate;
    }
    if (protocolId == CAN)
        m_channels[target] = std::make_shared<CanChannel>(*this, flags);
    else
        m_channels[target] =
            std::make_shared<IsoChannel>(*this, flags, m_port, m_settings.pduTrace, *m_settings.profile);
    *slot = target;
    return STATUS_NOERROR;
}

void Device0404::disconnect(uint32_t slot) {
    std::shared_ptr<Channel0404> gone;
    bool last = false;
    {
        LockGuard guard(m_channelLock);
        if (slot >= kSlots || !m_channels[slot]) return;
        gone = std::move(m_channels[slot]);
        last = !m_channels[kCanSlot] && !m_channels[kIsoSlot];
        if (last) m_bitrate = 0;
        if (last) m_port.VectorCleanUp();
    }
    gone->clearPeriodic();
    forgetPending(*gone);
}

uint32_t Device0404::setBitrate(uint32_t baudRate, TraceScope &scope, const char **why) {
    if (!ValidBaudRate(baudRate)) {
        *why = "DATA_RATE not 125000, 250000, 500000 or 1000000";
        return ERR_INVALID_IOCTL_VALUE;
    }
    LockGuard guard(m_channelLock);
    const uint32_t status = m_port.reopen(baudRate);
    if (status != STATUS_NOERROR) {
        *why = "the Vector channel could not be opened at that DATA_RATE";
        return status;
    }
    m_port.acceptEveryId(scope);
    m_bitrate = baudRate;
    return STATUS_NOERROR;
}

uint32_t Device0404::transmit(Channel0404 &owner, const OutFrame &frame, uint64_t *seq, TraceScope &scope) {
    LockGuard guard(m_txLock);
    const uint64_t mine = m_nextSeq++;
    m_pending.push_back(PendingFrame{&owner, frame, mine});
    bool queueFull = false;
    const uint32_t status = m_port.VectorTransmit(frame.id, frame.dlc, frame.data, 0, scope, &queueFull);
    if (status != STATUS_NOERROR) {
        m_pending.pop_back();
        return queueFull ? ERR_BUFFER_FULL : ERR_FAILED;
    }
    *seq = mine;
    wakeWorker();
    return STATUS_NOERROR;
}

void Device0404::forgetPending(const Channel0404 &owner) {
    LockGuard guard(m_txLock);
    for (auto it = m_pending.begin(); it != m_pending.end();) it = it->owner == &owner ? m_pending.erase(it) : it + 1;
}

uint32_t Device0404::WorkerEntry(void *self) {
    static_cast<Device0404 *>(self)->runWorker();
    return 0;
}

void Device0404::runWorker() {
    plat::BeginTimerResolution();
    {
        PT_SCOPE(scope, "Device0404 worker");
        plat::Metronome beat(kCycleUs);
        m_workerStarted.set();
        uint32_t cycleCounter = 0;
        uint64_t due = 0;
        uint32_t quietMs = 0;
        while (m_run.load() == 1) {
            // A consecutive frame due before the next beat (STmin below a
            // millisecond) is waited for exactly; with nothing to pace and
            // nobody waiting, the driver's queue is looked at less often
            // (flow controls still go out well within the peer's patience),
            // unless a host call brings work first.
            if (due != 0 && due < plat::NowUs() + kCycleUs)
                plat::SleepUntilUs(due);
            else if (quietMs != 0)
                m_workerWake.wait(quietMs);
            else
                beat.wait();
            // Reset before the cycle looks at the work: a host call after it
            // ends the next quiet wait at once.
            m_workerWake.reset();
            due = workerCycle(cycleCounter, scope, quietMs);
        }
    }
    plat::EndTimerResolution();
    m_workerLeft.set();
}

uint64_t Device0404::workerCycle(uint32_t &cycleCounter, TraceScope &scope, uint32_t &quietMs) {
    quietMs = 0;
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
    if (!channels[kCanSlot] && !channels[kIsoSlot]) {
        quietMs = kQuietMs;
        return 0;
    }
    uint32_t frames = 0;
    for (; frames < kFramesPerCycle; ++frames) {
        CanFrame frame = {};
        uint32_t received = 0;
        m_port.VectorReadReceiveQueue(frame, received);
        if (received == 0) break;
        takeChannels();
        if (frame.frameFlags & CAN_FRAME_TX_ACK) {
            if (!confirm(frame) && iso) iso->onTransportAck(frame);
            continue;
        }
        for (const auto &channel : channels)
            if (channel) channel->onFrame(frame);
    }
    const uint64_t now = plat::NowUs();
    for (const auto &channel : channels)
        if (channel) channel->sendDuePeriodic(now, scope);
    const uint64_t due = iso ? iso->service(cycleCounter, scope) : 0;
    if (frames == 0 && due == 0 && m_waitingReaders.load() == 0) quietMs = quietWaitMs(channels, now);
    return due;
}

// How long the worker may wait for work: kQuietMs, less when a periodic
// message falls due sooner, 0 (keep the beat) while anything is in flight.
uint32_t Device0404::quietWaitMs(const std::shared_ptr<Channel0404> (&channels)[kSlots], uint64_t nowUs) {
    {
        LockGuard guard(m_txLock);
        if (!m_pending.empty()) return 0;
    }
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
    m_workerWake.set();
}

// The bus confirms a port's frames in the order they were handed over; a
// confirmation that matches no noted frame belongs to a frame sent past them.
bool Device0404::confirm(const CanFrame &ack) {
    PendingFrame done = {};
    {
        LockGuard guard(m_txLock);
        auto it = m_pending.begin();
        for (; it != m_pending.end(); ++it) {
            const OutFrame &f = it->frame;
            if (f.id == ack.id && f.dlc == ack.length() && std::memcmp(f.data, ack.data, f.dlc) == 0) break;
        }
        if (it == m_pending.end()) return false;
        done = *it;
        // Frames handed over before it whose confirmation never came are not
        // waited for any longer.
        m_pending.erase(m_pending.begin(), it + 1);
    }
    std::shared_ptr<Channel0404> owner;
    {
        LockGuard guard(m_channelLock);
        for (const auto &channel : m_channels)
            if (channel.get() == done.owner) owner = channel;
    }
    if (!owner) return true;
    owner->noteConfirmed(done.seq);
    owner->onTxConfirmed(done.frame, ack);
    return true;
}
