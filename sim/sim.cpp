#include "sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "socketcand_server.h"

namespace vxlsim {

namespace {

constexpr XLportHandle kForeignHolder = -2;
constexpr size_t kDefaultQueue = 256;
constexpr size_t kMaxCalls = 1u << 16;
constexpr size_t kMaxCapture = 1u << 20;
constexpr size_t kMaxPorts = 64;
constexpr size_t kMaxNotes = 1024;
constexpr size_t kMaxTap = 1u << 20;
constexpr uint64_t kMaxClientBacklogNs = 1000000000ull;

bool IsExt(uint32_t id) { return (id & XL_CAN_EXT_MSG_ID) != 0; }

std::string ReadFile(const char *path, bool &ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::stringstream ss;
    if (ok) ss << in.rdbuf();
    return ss.str();
}

}  // namespace

uint64_t WallNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

bool PortChannel::accepts(uint32_t id) const {
    if (IsExt(id)) {
        if (extClosed) return false;
        const uint32_t raw = id & 0x1FFFFFFFu;
        return (raw & extMask) == (extCode & extMask);
    }
    return stdOpen.test(id & 0x7FFu);
}

Sim::Sim() { reset(); }

Sim::~Sim() {
    // The bridge's and the notifier's threads are told to leave and reaped
    // before anything they use goes away.
    if (m_server) m_server->stop();
    // At the end of a Windows process the notifier is gone already, perhaps
    // inside the lock or the condition variable: neither is touched.
    if (net::ProcessEnding()) return;
    {
        std::lock_guard<std::mutex> lock(mu);
        m_notifierStop = true;
    }
    m_notifier->cv.notify_all();
    m_notifier->thread.stop();
    delete m_notifier;
}

void Sim::NotifierMain(void *self) { static_cast<Sim *>(self)->notifierRun(); }

void Sim::wakeNotifier() {
    if (m_notifier->thread.running()) m_notifier->cv.notify_one();
}

// Delivers what falls due while a port notifies: sleeps until the next frame
// or node timer (on Windows a tick early, the rest yielding), pumps, and
// sleeps again; a new frame on the bus wakes it. With the manual clock the
// test's advance delivers, and the thread only waits.
void Sim::notifierRun() {
    const uint64_t margin = net::PreciseSleepsNs();
    std::unique_lock<std::mutex> lock(mu);
    while (!m_notifierStop) {
        pump();
        bool notifying = false;
        for (const auto &kv : m_ports) notifying = notifying || kv.second.notify != nullptr;
        const uint64_t next = notifying ? nextDue() : kNever;
        if (next == kNever) {
            m_notifier->cv.wait(lock);
            continue;
        }
        const uint64_t wallDue = m_epochWall + next;
        const uint64_t sleepTo = wallDue > margin ? wallDue - margin : 0;
        if (WallNs() < sleepTo) {
            const std::chrono::steady_clock::time_point until(
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(sleepTo)));
            m_notifier->cv.wait_until(lock, until);
            continue;
        }
        while (WallNs() < wallDue && !m_notifierStop) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
    }
}

void Sim::notifyIfDue(Port &port) {
    if (port.notify && port.notifyArmed && port.queued() >= port.notifyLevel) {
        port.notify->set();
        port.notifyArmed = false;
    }
}

XLstatus Sim::setNotification(XLportHandle h, XLhandle *handle, int queueLevel) {
    Port *port = findPort(h);
    if (!port) return XL_ERR_INVALID_PORT;
    // A version-4 queue counts bytes; its level counts events, at most as
    // many as fit when each is of the largest size.
    const size_t most = port->fd() ? port->queueSize / XL_CANFD_MAX_EVENT_SIZE : port->queueSize;
    if (!handle || queueLevel < 1 || static_cast<size_t>(queueLevel) > most) return XL_ERR_WRONG_PARAMETER;
    if (!port->notify) {
        auto signal = std::make_shared<net::Signal>();
        if (!signal->ok()) return XL_ERR_CANNOT_OPEN_DRIVER;
        port->notify = signal;
    }
    port->notifyLevel = static_cast<unsigned>(queueLevel);
    port->notifyArmed = true;
    *handle = port->notify->handle();
    notifyIfDue(*port);
    if (!m_notifier->thread.running() && !m_notifier->thread.start(&Sim::NotifierMain, this)) note("notifier thread not started");
    wakeNotifier();
    return XL_SUCCESS;
}

int Sim::notificationTaken(XLportHandle h) {
    Port *port = findPort(h);
    if (!port || !port->notify) return -1;
    return port->notify->take() ? 1 : 0;
}

Sim &TheSim() {
    static Sim sim;
    return sim;
}

void Sim::reset() {
    m_cfg = DefaultConfig();
    m_openCount = 0;
    m_ports.clear();
    m_nextHandle = 0;
    m_pending.clear();
    m_seq = 0;
    m_failures.clear();
    m_nodes.clear();
    m_nextNode = 0;
    m_runningNode = -1;
    capture.clear();
    calls.clear();
    m_manual = false;
    m_manualNow = 0;
    m_epochWall = WallNs();
    m_cur = 0;
    if (const char *path = std::getenv("VXLSIM_CONFIG")) {
        if (*path) {
            bool ok = false;
            const std::string text = ReadFile(path, ok);
            if (ok) {
                Config c = m_cfg;
                if (ParseConfig(text, c) == 0) m_cfg = c;
            }
        }
    }
    ApplyEnvironment(m_cfg);
    buildNodes();
    syncServer();
}

int Sim::load(const std::string &text) {
    reset();
    Config c = m_cfg;
    const int bad = ParseConfig(text, c);
    if (bad != 0) return bad;
    ApplyEnvironment(c);
    m_cfg = c;
    m_nodes.clear();
    m_nextNode = 0;
    buildNodes();
    syncServer();
    return 0;
}

void Sim::syncServer() {
    tap.clear();
    if (m_server && m_server->leaving()) {
        // Its thread is leaving and takes the lock no more: safe to reap here.
        m_server->stop();
        m_server.reset();
    }
    if (!m_cfg.socketcand.on) {
        if (m_server) m_server->wake();  // it sees the bridge is off and leaves
        return;
    }
    if (m_server) {
        m_server->wake();  // a port of its own may have been configured
        return;
    }
    m_server.reset(new SocketcandServer(*this));
    if (!m_server->start()) {
        m_server.reset();
        note("socketcand: cannot start the bridge's thread");
    }
}

int Sim::bridgePort() const {
    if (!m_server || m_server->leaving() || m_server->port() == 0) return -1;
    return m_server->port();
}

void Sim::waitForBridgeClients() {
    // The count is read under the lock: a reset on another thread may
    // replace the bridge meanwhile.
    const uint64_t start = WallNs();
    for (;;) {
        unsigned ready = 0, wanted = 0, ms = 0;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!m_server || m_cfg.socketcand.waitClients == 0) return;
            ready = m_server->readyClients();
            wanted = m_cfg.socketcand.waitClients;
            ms = m_cfg.socketcand.waitMs;
        }
        if (ready >= wanted) return;
        if (WallNs() - start >= ms * 1000000ull) {
            note("socketcand: " + std::to_string(ready) + " of " + std::to_string(wanted) + " clients after " +
                 std::to_string(ms) + " ms, going on");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Sim::note(const std::string &line) {
    std::fprintf(stderr, "vxlsim: %s\n", line.c_str());
    std::lock_guard<std::mutex> lock(m_notesMu);
    if (m_notes.size() >= kMaxNotes) m_notes.pop_front();
    m_notes.push_back(line);
}

std::vector<std::string> Sim::notes() {
    std::lock_guard<std::mutex> lock(m_notesMu);
    return std::vector<std::string>(m_notes.begin(), m_notes.end());
}

bool Sim::clientSend(unsigned channel, const Frame &f, uint32_t client) {
    if (channel >= channelCount()) return false;
    if (m_cfg.realTiming && m_busFree[channel] > m_cur + kMaxClientBacklogNs) return false;
    submit(channel, f, XL_INVALID_PORTHANDLE, -1, m_cur, WallNs(), client);
    runUntil(now());
    return true;
}

uint64_t Sim::nextDue() const {
    if (m_manual) return kNever;
    uint64_t t = m_pending.empty() ? kNever : m_pending.begin()->first.first;
    for (auto &kv : m_nodes) t = std::min(t, kv.second->nextDue());
    return t;
}

void Sim::buildNodes() {
    const unsigned n = channelCount();
    m_initHolder.assign(n, XL_INVALID_PORTHANDLE);
    m_busFree.assign(n, 0);
    m_rates.clear();
    for (const ChannelCfg &c : m_cfg.channels) {
        BusRates r;
        r.arbitration = c.bitrate;
        // A configured data rate on an FD channel: FD mode without a port
        // having asked for it (never below the arbitration rate).
        if (c.dataBitrate != 0 && (c.capabilities & XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT))
            r.data = std::max(c.dataBitrate, c.bitrate);
        m_rates.push_back(r);
    }
    m_fdConf.assign(n, XLcanFdConf{});
    std::vector<EcuSettings> ecus = m_cfg.ecus;
    if (ecus.empty() && m_cfg.defaultEcus) ecus = DefaultEcus();
    for (const EcuSettings &e : ecus) {
        // An ECU names its channel; without one it sits on every channel.
        int channel = -1;
        for (const auto &kv : e) {
            uint64_t v = 0;
            if (kv.first == "channel" && ParseUnsigned(kv.second, v)) channel = static_cast<int>(v);
        }
        for (unsigned ch = 0; ch < n; ++ch) {
            if (channel >= 0 && static_cast<unsigned>(channel) != ch) continue;
            std::string error;
            std::unique_ptr<Node> node = MakeEcu(ch, e, error);
            if (node) addNode(std::move(node));
        }
    }
}

uint64_t Sim::now() const { return m_manual ? m_manualNow : WallNs() - m_epochWall; }

void Sim::setManualClock(bool on) {
    if (on == m_manual) return;
    if (on) {
        m_manualNow = WallNs() - m_epochWall;
    } else {
        // Real time continues from where the manual clock stood.
        m_epochWall = WallNs() - m_manualNow;
    }
    m_manual = on;
}

void Sim::advanceManual(uint64_t ns) {
    if (!m_manual) return;
    // Step through due work one moment at a time so nodes see it in order.
    m_manualNow += ns;
    runUntil(m_manualNow);
}

void Sim::pump() { runUntil(now()); }

void Sim::runUntil(uint64_t now) {
    for (;;) {
        const uint64_t tFrame = m_pending.empty() ? kNever : m_pending.begin()->first.first;
        uint64_t tNode = kNever;
        int due = -1;
        for (auto &kv : m_nodes) {
            const uint64_t t = kv.second->nextDue();
            if (t < tNode) {
                tNode = t;
                due = kv.first;
            }
        }
        const uint64_t t = std::min(tFrame, tNode);
        if (t == kNever || t > now) break;
        m_cur = std::max(m_cur, t);
        if (tFrame <= tNode) {
            const Pending p = m_pending.begin()->second;
            m_pending.erase(m_pending.begin());
            deliver(t, p);
        } else {
            m_runningNode = due;
            m_nodes[due]->onTimer(*this, m_cur);
            m_runningNode = -1;
        }
    }
    m_cur = std::max(m_cur, now);
}

bool Sim::fdDataPhaseFaster() const {
    auto it = m_nodes.find(m_runningNode);
    if (it == m_nodes.end()) return false;
    const BusRates &r = m_rates[it->second->channel()];
    return r.fd() && r.data > r.arbitration;
}

void Sim::send(const Frame &f) {
    Node *node = findNode(m_runningNode);
    if (!node) return;
    submit(node->channel(), f, XL_INVALID_PORTHANDLE, m_runningNode, m_cur, WallNs());
}

void Sim::submit(unsigned channel, const Frame &f, int32_t senderPort, int senderNode, uint64_t t, uint64_t wall,
                 uint32_t client) {
    uint64_t at = t;
    if (m_cfg.realTiming && channel < m_busFree.size()) {
        // One frame at a time on the wire: a frame waits for the one before.
        const uint64_t start = std::max(t, m_busFree[channel]);
        at = start + FrameDurationNs(f, m_rates[channel]);
        m_busFree[channel] = at;
    }
    m_pending.emplace(std::make_pair(at, m_seq++), Pending{channel, senderPort, senderNode, f, wall, client});
    if (Port *p = findPort(senderPort)) ++p->txPending;
    if (m_server) m_server->wake();  // it sleeps until the next frame is due
    wakeNotifier();
}

void Sim::enqueue(Port &port, XLevent ev) {
    if (port.fd()) {
        XLcanRxEvent fdEv;
        if (ToFdEvent(ev, fdEv)) enqueueFd(port, fdEv);
        return;
    }
    if (port.rx.size() >= port.queueSize) {
        port.overrun = true;
        return;
    }
    if (port.overrun && (ev.tag == XL_RECEIVE_MSG || ev.tag == XL_TRANSMIT_MSG)) {
        ev.tagData.msg.flags |= XL_CAN_MSG_FLAG_OVERRUN;
        port.overrun = false;
    }
    port.rx.push_back(ev);
    notifyIfDue(port);
}

void Sim::deliver(uint64_t t, const Pending &p) {
    if (capture.size() < kMaxCapture) {
        vxlsim_frame c{};
        c.time_ns = t;
        c.wall_ns = p.wall;
        c.channel = p.channel;
        c.sender_port = p.senderPort;
        c.sender_node = p.senderNode;
        c.id = p.f.id;
        c.flags = p.f.flags;
        c.dlc = p.f.dlc;
        c.fd_flags = p.f.fdFlags;
        std::memcpy(c.data, p.f.data, sizeof c.data);
        capture.push_back(c);
    }
    if (m_server && !m_server->leaving()) {
        if (tap.size() < kMaxTap)
            tap.push_back(TapFrame{t, p.channel, p.f, p.client});
        else
            ++tapLost;
        m_server->wake();
    }
    const XLaccess bit = XLaccess(1) << p.channel;
    for (auto &kv : m_ports) {
        Port &port = kv.second;
        if (!(port.access & bit) || !port.ch[p.channel].active) continue;
        const bool self = port.handle == p.senderPort;
        const bool error = (p.f.flags & XL_CAN_MSG_FLAG_ERROR_FRAME) != 0;
        // Confirmations and error frames bypass the filter; the application
        // must always learn what became of its own frames.
        if (!self && !error && !port.ch[p.channel].accepts(p.f.id)) continue;
        deliverTo(port, t, p);
    }
    if (Port *sender = findPort(p.senderPort))
        if (sender->txPending > 0) --sender->txPending;
    for (auto &kv : m_nodes) {
        if (kv.first == p.senderNode || kv.second->channel() != p.channel) continue;
        m_runningNode = kv.first;
        kv.second->onFrame(*this, p.f, t);
        m_runningNode = -1;
    }
}

void Sim::deliverTo(Port &port, uint64_t t, const Pending &p) {
    const bool self = port.handle == p.senderPort;
    const uint64_t stamp = t >= port.clockBase ? t - port.clockBase : 0;
    // An FD frame on a channel in CAN 2.0 mode: the channel's CAN 2.0
    // controller takes the FDF bit for a form error and flags the frame.
    const bool breaksController = p.f.isFd() && !m_rates[p.channel].fd();
    if (port.fd()) {
        Frame errorFrame;
        errorFrame.flags = XL_CAN_MSG_FLAG_ERROR_FRAME;
        XLcanRxEvent ev = breaksController ? FdFrameEvent(errorFrame, false, XL_CAN_ERRC_FORM_ERROR)
                                           : FdFrameEvent(p.f, self, XL_CAN_ERRC_OTHER_ERROR);
        ev.channelIndex = static_cast<uint16_t>(p.channel);
        ev.timeStampSync = stamp;
        enqueueFd(port, ev);
        return;
    }
    // A version-3 port has no record for an FD frame: on a channel in FD
    // mode it does not see one, in CAN 2.0 mode it sees the error frame.
    if (p.f.isFd() && !breaksController) return;
    XLevent ev{};
    ev.tag = XL_RECEIVE_MSG;
    ev.chanIndex = static_cast<uint8_t>(p.channel);
    ev.portHandle = static_cast<uint16_t>(port.handle);
    ev.timeStamp = stamp;
    if (breaksController) {
        ev.tagData.msg.flags = XL_CAN_MSG_FLAG_ERROR_FRAME;
        enqueue(port, ev);
        return;
    }
    ev.tagData.msg.id = p.f.id;
    ev.tagData.msg.dlc = p.f.dlc;
    std::memcpy(ev.tagData.msg.data, p.f.data, 8);
    const uint16_t keep =
        XL_CAN_MSG_FLAG_REMOTE_FRAME | XL_CAN_MSG_FLAG_ERROR_FRAME | XL_CAN_MSG_FLAG_NERR | XL_CAN_MSG_FLAG_WAKEUP;
    ev.tagData.msg.flags = static_cast<uint16_t>((p.f.flags & keep) | (self ? XL_CAN_MSG_FLAG_TX_COMPLETED : 0));
    enqueue(port, ev);
}

Port *Sim::findPort(XLportHandle h) {
    auto it = m_ports.find(h);
    return it == m_ports.end() ? nullptr : &it->second;
}

XLstatus Sim::checkPort(XLportHandle h, XLaccess mask, Port *&port) {
    port = findPort(h);
    if (!port) return XL_ERR_INVALID_PORT;
    if (mask == 0 || (mask & ~port->access) != 0) return XL_ERR_INVALID_ACCESS;
    return XL_SUCCESS;
}

XLstatus Sim::openDriver() {
    ++m_openCount;
    return XL_SUCCESS;
}

XLstatus Sim::closeDriver() {
    if (m_openCount > 0 && --m_openCount == 0) {
        // The last user is gone: nothing of its ports survives.
        m_ports.clear();
        for (XLportHandle &h : m_initHolder)
            if (h != kForeignHolder) h = XL_INVALID_PORTHANDLE;
    }
    return XL_SUCCESS;
}

XLstatus Sim::getDriverConfig(XLdriverConfig *out) {
    if (!driverOpen()) return XL_ERR_CANNOT_OPEN_DRIVER;
    if (!out) return XL_ERR_WRONG_PARAMETER;
    std::memset(out, 0, sizeof(*out));
    out->dllVersion = m_cfg.dllVersion;
    const unsigned n = std::min<unsigned>(channelCount(), XL_CONFIG_MAX_CHANNELS);
    out->channelCount = n;
    for (unsigned i = 0; i < n; ++i) {
        const ChannelCfg &c = m_cfg.channels[i];
        XLchannelConfig &o = out->channel[i];
        std::strncpy(o.name, c.name.c_str(), XL_MAX_LENGTH);
        o.hwType = c.hwType;
        o.hwIndex = c.hwIndex;
        o.hwChannel = c.hwChannel;
        o.transceiverType = c.transceiverType;
        o.transceiverState = 0;
        o.channelIndex = static_cast<uint8_t>(i);
        o.channelMask = XLaccess(1) << i;
        o.channelCapabilities = c.capabilities;
        o.channelBusCapabilities = c.busCapabilities;
        bool onBus = false;
        for (auto &kv : m_ports)
            if ((kv.second.access & o.channelMask) && kv.second.ch[i].active) onBus = true;
        o.isOnBus = onBus ? 1 : 0;
        o.connectedBusType = onBus ? XL_BUS_TYPE_CAN : XL_BUS_TYPE_NONE;
        o.busParams.busType = XL_BUS_TYPE_CAN;
        o.busParams.data.can.bitRate = m_rates[i].arbitration;
        o.busParams.data.can.sjw = 1;
        o.busParams.data.can.tseg1 = 4;
        o.busParams.data.can.tseg2 = 3;
        o.busParams.data.can.sam = 1;
        if (m_rates[i].fd()) {
            // A channel in FD mode reports both phases (the record shares
            // the arbitration rate's place with the CAN 2.0 bit rate).
            XLbusParams &bp = o.busParams;
            bp.data.canFD.sjwAbr = static_cast<uint8_t>(m_fdConf[i].sjwAbr);
            bp.data.canFD.tseg1Abr = static_cast<uint8_t>(m_fdConf[i].tseg1Abr);
            bp.data.canFD.tseg2Abr = static_cast<uint8_t>(m_fdConf[i].tseg2Abr);
            bp.data.canFD.samAbr = 1;
            bp.data.canFD.outputMode = 0;
            bp.data.canFD.sjwDbr = static_cast<uint8_t>(m_fdConf[i].sjwDbr);
            bp.data.canFD.tseg1Dbr = static_cast<uint8_t>(m_fdConf[i].tseg1Dbr);
            bp.data.canFD.tseg2Dbr = static_cast<uint8_t>(m_fdConf[i].tseg2Dbr);
            bp.data.canFD.dataBitRate = m_rates[i].data;
            bp.data.canFD.canOpMode =
                m_rates[i].iso ? XL_BUS_PARAMS_CANOPMODE_CANFD : XL_BUS_PARAMS_CANOPMODE_CANFD_NO_ISO;
        }
        o.driverVersion = m_cfg.dllVersion;
        o.interfaceVersion = XL_INTERFACE_VERSION;
        o.serialNumber = c.serialNumber;
        o.articleNumber = c.articleNumber;
        std::strncpy(o.transceiverName, c.transceiverName.c_str(), XL_MAX_LENGTH);
        o.maximalBaudrate = 1000000;
        o.channelBusActiveCapabilities = static_cast<uint16_t>(c.busCapabilities >> 16);
    }
    return XL_SUCCESS;
}

XLstatus Sim::getApplConfig(const char *app, unsigned appChannel, unsigned *hwType, unsigned *hwIndex,
                            unsigned *hwChannel, unsigned busType) {
    if (!driverOpen()) return XL_ERR_CANNOT_OPEN_DRIVER;
    if (!app || !hwType || !hwIndex || !hwChannel) return XL_ERR_WRONG_PARAMETER;
    for (const AppCfg &a : m_cfg.apps) {
        if (a.name == app && a.appChannel == appChannel && a.busType == busType) {
            *hwType = a.hwType;
            *hwIndex = a.hwIndex;
            *hwChannel = a.hwChannel;
            return XL_SUCCESS;
        }
    }
    return XL_ERROR;
}

XLstatus Sim::setApplConfig(const char *app, unsigned appChannel, unsigned hwType, unsigned hwIndex, unsigned hwChannel,
                            unsigned busType) {
    if (!driverOpen()) return XL_ERR_CANNOT_OPEN_DRIVER;
    if (!app || !*app) return XL_ERR_WRONG_PARAMETER;
    for (AppCfg &a : m_cfg.apps) {
        if (a.name == app && a.appChannel == appChannel && a.busType == busType) {
            a.hwType = hwType;
            a.hwIndex = hwIndex;
            a.hwChannel = hwChannel;
            return XL_SUCCESS;
        }
    }
    AppCfg a;
    a.name = app;
    a.appChannel = appChannel;
    a.hwType = hwType;
    a.hwIndex = hwIndex;
    a.hwChannel = hwChannel;
    a.busType = busType;
    m_cfg.apps.push_back(a);
    return XL_SUCCESS;
}

XLaccess Sim::channelMask(int hwType, int hwIndex, int hwChannel) {
    if (!driverOpen()) return 0;
    for (unsigned i = 0; i < channelCount(); ++i) {
        const ChannelCfg &c = m_cfg.channels[i];
        if (c.hwType == hwType && c.hwIndex == hwIndex && c.hwChannel == hwChannel) return XLaccess(1) << i;
    }
    return 0;
}

XLstatus Sim::openPort(XLportHandle *handle, const char *user, XLaccess access, XLaccess *permission,
                       unsigned queueSize, unsigned version, unsigned busType) {
    if (!handle) return XL_ERR_WRONG_PARAMETER;
    *handle = XL_INVALID_PORTHANDLE;
    if (!driverOpen()) return XL_ERR_CANNOT_OPEN_DRIVER;
    if (busType != XL_BUS_TYPE_CAN) return XL_ERR_WRONG_BUS_TYPE;
    if (version == 0 || version > XL_INTERFACE_VERSION_V4) return XL_ERR_WRONG_PARAMETER;
    // A version-4 queue is given in bytes: a power of two within the
    // driver's bounds.
    const bool fd = version == XL_INTERFACE_VERSION_V4;
    if (fd && (queueSize < RX_FIFO_CANFD_QUEUE_SIZE_MIN || queueSize > RX_FIFO_CANFD_QUEUE_SIZE_MAX ||
               (queueSize & (queueSize - 1)) != 0))
        return XL_ERR_WRONG_PARAMETER;
    const unsigned n = channelCount();
    const XLaccess all = n >= 64 ? ~XLaccess(0) : (XLaccess(1) << n) - 1;
    if (access == 0 || (access & ~all) != 0) return XL_ERR_INVALID_ACCESS;
    if (m_ports.size() >= kMaxPorts) return XL_ERROR;
    Port port;
    port.handle = m_nextHandle++;
    port.user = user ? user : "";
    port.access = access;
    port.version = version;
    port.queueSize = queueSize ? queueSize : kDefaultQueue;
    port.clockBase = m_cur;
    port.ch.resize(n);
    const XLaccess wanted = permission ? (*permission & access) : 0;
    for (unsigned i = 0; i < n; ++i) {
        const XLaccess bit = XLaccess(1) << i;
        if ((wanted & bit) && m_initHolder[i] == XL_INVALID_PORTHANDLE) {
            m_initHolder[i] = port.handle;
            port.initAccess |= bit;
        }
    }
    if (permission) *permission = port.initAccess;
    *handle = port.handle;
    m_ports.emplace(port.handle, std::move(port));
    return XL_SUCCESS;
}

XLstatus Sim::closePort(XLportHandle h) {
    if (!findPort(h)) return XL_ERR_INVALID_PORT;
    for (XLportHandle &holder : m_initHolder)
        if (holder == h) holder = XL_INVALID_PORTHANDLE;
    m_ports.erase(h);
    return XL_SUCCESS;
}

XLstatus Sim::setBitrate(XLportHandle h, XLaccess mask, XLulong bitrate) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    if ((mask & ~port->initAccess) != 0) return XL_ERR_INIT_ACCESS_MISSING;
    if (bitrate == 0 || bitrate > 1000000) return XL_ERR_WRONG_PARAMETER;
    // A CAN 2.0 bit rate puts the channel back into CAN 2.0 mode.
    for (unsigned i = 0; i < channelCount(); ++i)
        if (mask & (XLaccess(1) << i)) m_rates[i] = BusRates{static_cast<uint32_t>(bitrate), 0, true};
    return XL_SUCCESS;
}

XLstatus Sim::activate(XLportHandle h, XLaccess mask, unsigned busType, unsigned flags) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    if (busType != XL_BUS_TYPE_CAN) return XL_ERR_WRONG_BUS_TYPE;
    for (unsigned i = 0; i < channelCount(); ++i)
        if (mask & (XLaccess(1) << i)) port->ch[i].active = true;
    if (flags & XL_ACTIVATE_RESET_CLOCK) port->clockBase = m_cur;
    return XL_SUCCESS;
}

XLstatus Sim::deactivate(XLportHandle h, XLaccess mask) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    for (unsigned i = 0; i < channelCount(); ++i)
        if (mask & (XLaccess(1) << i)) port->ch[i].active = false;
    return XL_SUCCESS;
}

XLstatus Sim::acceptanceRange(XLportHandle h, XLaccess mask, XLulong first, XLulong last, bool open) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    if (first > last || last > 0x7FF) return XL_ERR_WRONG_PARAMETER;
    for (unsigned i = 0; i < channelCount(); ++i) {
        if (!(mask & (XLaccess(1) << i))) continue;
        for (XLulong id = first; id <= last; ++id) port->ch[i].stdOpen.set(id, open);
    }
    return XL_SUCCESS;
}

XLstatus Sim::setAcceptance(XLportHandle h, XLaccess mask, XLulong code, XLulong accMask, unsigned idRange) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    if (idRange != XL_CAN_STD && idRange != XL_CAN_EXT) return XL_ERR_WRONG_PARAMETER;
    for (unsigned i = 0; i < channelCount(); ++i) {
        if (!(mask & (XLaccess(1) << i))) continue;
        PortChannel &pc = port->ch[i];
        if (idRange == XL_CAN_STD) {
            for (uint32_t id = 0; id < 2048; ++id) pc.stdOpen.set(id, (id & accMask) == (code & accMask));
        } else {
            // The driver reads this one pair as "no extended identifiers at
            // all"; any other pair is a plain code/mask comparison.
            pc.extClosed = (code == 0xFFF && accMask == 0xFFF);
            pc.extCode = code & 0x1FFFFFFFu;
            pc.extMask = accMask & 0x1FFFFFFFu;
        }
    }
    return XL_SUCCESS;
}

XLstatus Sim::transmit(XLportHandle h, XLaccess mask, unsigned *count, const void *events) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) {
        if (count) *count = 0;
        return st;
    }
    if (!count || !events) return XL_ERR_WRONG_PARAMETER;
    if (port->fd()) {
        *count = 0;
        return XL_ERR_NOT_SUPPORTED;  // a version-4 port sends with xlCanTransmitEx
    }
    const unsigned wanted = *count;
    *count = 0;
    for (unsigned i = 0; i < channelCount(); ++i)
        if ((mask & (XLaccess(1) << i)) && !port->ch[i].active) return XL_ERR_PORT_IS_OFFLINE;
    const XLevent *ev = static_cast<const XLevent *>(events);
    const uint64_t wall = WallNs();
    for (unsigned k = 0; k < wanted; ++k) {
        const s_xl_can_msg &m = ev[k].tagData.msg;
        if (ev[k].tag != XL_TRANSMIT_MSG || m.dlc > 8) return XL_ERR_WRONG_PARAMETER;
        const bool ext = (m.id & XL_CAN_EXT_MSG_ID) != 0;
        if ((ext && (m.id & ~XL_CAN_EXT_MSG_ID) > 0x1FFFFFFFu) || (!ext && m.id > 0x7FF)) return XL_ERR_WRONG_PARAMETER;
        Frame f;
        f.id = m.id;
        f.flags = static_cast<uint16_t>(m.flags & (XL_CAN_MSG_FLAG_REMOTE_FRAME | XL_CAN_MSG_FLAG_WAKEUP));
        f.dlc = m.dlc;
        std::memcpy(f.data, m.data, 8);
        if (XLstatus st = submitFromPort(h, mask, f, wall)) return st;
        *count = k + 1;
    }
    return XL_SUCCESS;
}

XLstatus Sim::receive(XLportHandle h, unsigned *count, XLevent *events) {
    Port *port = findPort(h);
    if (!port) {
        if (count) *count = 0;
        return XL_ERR_INVALID_PORT;
    }
    if (port->fd()) {
        if (count) *count = 0;
        return XL_ERR_NOT_SUPPORTED;  // a version-4 port is read with xlCanReceive
    }
    if (!count || !events || *count == 0) return XL_ERR_WRONG_PARAMETER;
    if (port->rx.empty()) {
        port->notifyArmed = true;
        *count = 0;
        return XL_ERR_QUEUE_IS_EMPTY;
    }
    events[0] = port->rx.front();
    port->rx.pop_front();
    // Read empty: the next event sets the notification again.
    if (port->rx.empty()) port->notifyArmed = true;
    *count = 1;
    return XL_SUCCESS;
}

bool Sim::takeFailure(const char *function, Failure &f) {
    auto it = m_failures.find(function);
    if (it == m_failures.end()) return false;
    f = it->second;
    if (it->second.remaining > 0 && --it->second.remaining == 0) m_failures.erase(it);
    return true;
}

int Sim::setFailure(const char *function, const Failure &f) {
    static const char *const kNames[] = {"xlOpenDriver",
                                         "xlCloseDriver",
                                         "xlGetDriverConfig",
                                         "xlGetApplConfig",
                                         "xlSetApplConfig",
                                         "xlGetChannelMask",
                                         "xlOpenPort",
                                         "xlClosePort",
                                         "xlCanSetChannelBitrate",
                                         "xlActivateChannel",
                                         "xlDeactivateChannel",
                                         "xlCanAddAcceptanceRange",
                                         "xlCanRemoveAcceptanceRange",
                                         "xlCanSetChannelAcceptance",
                                         "xlCanTransmit",
                                         "xlReceive",
                                         "xlSetNotification",
                                         "xlCanFdSetConfiguration",
                                         "xlCanTransmitEx",
                                         "xlCanReceive"};
    if (!function) return -1;
    bool known = false;
    for (const char *n : kNames) known = known || std::strcmp(n, function) == 0;
    if (!known) return -1;
    if (f.mode != VXLSIM_MODE_STATUS && std::strcmp(function, "xlOpenPort") != 0) return -1;
    if (f.remaining == 0)
        m_failures.erase(function);
    else
        m_failures[function] = f;
    return 0;
}

int Sim::setForeignInit(unsigned channel, bool held) {
    if (channel >= m_initHolder.size()) return -1;
    XLportHandle &h = m_initHolder[channel];
    if (held) {
        if (Port *p = findPort(h)) p->initAccess &= ~(XLaccess(1) << channel);
        h = kForeignHolder;
    } else if (h == kForeignHolder) {
        h = XL_INVALID_PORTHANDLE;
    }
    return 0;
}

int Sim::inject(int port, unsigned channel, const XLevent &ev, bool keepTime) {
    if (channel >= channelCount()) return -1;
    int reached = 0;
    auto put = [&](Port &p) {
        XLevent e = ev;
        e.chanIndex = static_cast<uint8_t>(channel);
        e.portHandle = static_cast<uint16_t>(p.handle);
        if (!keepTime) e.timeStamp = m_cur >= p.clockBase ? m_cur - p.clockBase : 0;
        enqueue(p, e);
        ++reached;
    };
    return forEachReceiver(port, channel, put) ? reached : -1;
}

int Sim::injectFd(int port, unsigned channel, const XLcanRxEvent &ev, bool keepTime) {
    if (channel >= channelCount()) return -1;
    int reached = 0;
    auto put = [&](Port &p) {
        XLcanRxEvent e = ev;
        e.channelIndex = static_cast<uint16_t>(channel);
        if (!keepTime) e.timeStampSync = m_cur >= p.clockBase ? m_cur - p.clockBase : 0;
        if (p.fd()) {
            enqueueFd(p, e);
            ++reached;
            return;
        }
        XLevent classic;
        if (!ToClassicEvent(e, classic)) return;
        classic.portHandle = static_cast<uint16_t>(p.handle);
        enqueue(p, classic);
        ++reached;
    };
    return forEachReceiver(port, channel, put) ? reached : -1;
}

bool Sim::forEachReceiver(int port, unsigned channel, const std::function<void(Port &)> &put) {
    if (port >= 0) {
        Port *p = findPort(port);
        if (!p) return false;
        put(*p);
        return true;
    }
    for (auto &kv : m_ports)
        if ((kv.second.access & (XLaccess(1) << channel)) && kv.second.ch[channel].active) put(kv.second);
    return true;
}

XLstatus Sim::submitFromPort(XLportHandle h, XLaccess mask, const Frame &f, uint64_t wall) {
    for (unsigned i = 0; i < channelCount(); ++i) {
        if (!(mask & (XLaccess(1) << i))) continue;
        Port *port = findPort(h);
        if (!port) return XL_ERR_INVALID_PORT;
        if (port->txPending >= m_cfg.txCapacity) return XL_ERR_QUEUE_IS_FULL;
        submit(i, f, h, -1, m_cur, wall);
        runUntil(now());
    }
    return findPort(h) ? XL_SUCCESS : XL_ERR_INVALID_PORT;
}

int Sim::busSend(unsigned channel, const Frame &f) {
    if (channel >= channelCount()) return -1;
    submit(channel, f, XL_INVALID_PORTHANDLE, -1, m_cur, WallNs());
    runUntil(now());
    return 0;
}

void Sim::log(const vxlsim_call &c) {
    if (calls.size() < kMaxCalls) calls.push_back(c);
}

int Sim::addNode(std::unique_ptr<Node> node) {
    if (!node || node->channel() >= channelCount()) return -1;
    const int id = m_nextNode++;
    m_nodes.emplace(id, std::move(node));
    return id;
}

Node *Sim::findNode(int id) {
    auto it = m_nodes.find(id);
    return it == m_nodes.end() ? nullptr : it->second.get();
}

int Sim::removeNode(int id) { return m_nodes.erase(id) ? 0 : -1; }

int Sim::findEcu(const std::string &name) const {
    for (auto &kv : m_nodes)
        if (!name.empty() && kv.second->name() == name) return kv.first;
    return -1;
}

}  // namespace vxlsim
