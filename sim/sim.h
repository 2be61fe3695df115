// Internal state of the simulated XL driver. Every public entry point takes
// the one mutex, advances simulated time to "now" and then works on this
// state, so the simulation needs no thread of its own.
#ifndef VXLSIM_SIM_H
#define VXLSIM_SIM_H

#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "can/xl_api.h"
#include "netio.h"
#include "vxlsim_control.h"

namespace vxlsim {

constexpr uint64_t kNever = UINT64_MAX;
uint64_t WallNs();

// A frame on a simulated bus. A classic frame has dlc 0..8 bytes; an FD
// frame (fdFlags with XL_CAN_RXMSG_FLAG_EDL) has dlc bytes, one of the
// lengths a DLC code gives (0..8, 12, 16, 20, 24, 32, 48, 64).
struct Frame {
    uint32_t id = 0;
    uint16_t flags = 0;    // XL_CAN_MSG_FLAG_*: remote, error, wake-up marks
    uint16_t dlc = 0;      // data bytes
    uint32_t fdFlags = 0;  // XL_CAN_RXMSG_FLAG_EDL / _BRS / _ESI
    uint8_t data[XL_CAN_MAX_DATA_LEN] = {};
    bool isFd() const { return (fdFlags & XL_CAN_RXMSG_FLAG_EDL) != 0; }
};

// How a channel's bus runs: CAN 2.0, or CAN FD with a data phase rate
// (equal to the arbitration rate when the data phase is not faster).
struct BusRates {
    uint32_t arbitration = 500000;
    uint32_t data = 0;  // 0: the channel is in CAN 2.0 mode
    bool iso = true;    // ISO CAN FD (stuff count in the CRC field) or Bosch
    bool fd() const { return data != 0; }
};

// Bus time of one frame, ACK, end of frame and intermission included (see
// bus_timing.cpp). A classic frame takes the arbitration rate throughout.
uint64_t FrameDurationNs(const Frame &f, const BusRates &rates);
// The same in bits, data-phase bits counted at their own length: for the
// totalBitCnt of an FD receive event.
unsigned FrameBitCount(const Frame &f);

// What a node may do while it reacts: send on its channel at the current
// simulated time.
class NodeBus {
public:
    virtual ~NodeBus() = default;
    virtual void send(const Frame &f) = 0;
    // The node's channel runs CAN FD with a data phase faster than the
    // arbitration phase: FD frames go with bit-rate switch.
    virtual bool fdDataPhaseFaster() const { return false; }
};

class Node {
public:
    explicit Node(unsigned channel) : m_channel(channel) {}
    virtual ~Node() = default;
    unsigned channel() const { return m_channel; }
    virtual void onFrame(NodeBus &bus, const Frame &f, uint64_t now) = 0;
    // Earliest time the node wants OnTimer; kNever when idle.
    virtual uint64_t nextDue() const { return kNever; }
    virtual void onTimer(NodeBus &bus, uint64_t now) { (void)bus, (void)now; }
    // Settings by key, for nodes that have them (the ECUs).
    virtual bool set(const std::string &key, const std::string &value) {
        (void)key, (void)value;
        return false;
    }
    virtual std::string name() const { return std::string(); }

private:
    unsigned m_channel;
};

struct ChannelCfg {
    std::string name;
    uint8_t hwType = XL_HWTYPE_VIRTUAL;
    uint8_t hwIndex = 0;
    uint8_t hwChannel = 0;
    uint16_t transceiverType = XL_TRANSCEIVER_TYPE_CAN_VIRTUAL;
    std::string transceiverName = "Virtual CAN";
    uint32_t capabilities = 0xA0000007u;
    uint32_t busCapabilities = 0x00010001u;
    uint32_t serialNumber = 0;
    uint32_t articleNumber = 0;
    uint32_t bitrate = 500000;
    uint32_t dataBitrate = 0;  // FD mode from the start at this data rate; 0: CAN 2.0 mode
};

struct AppCfg {
    std::string name;
    unsigned appChannel = 0;
    unsigned hwType = 0, hwIndex = 0, hwChannel = 0;
    unsigned busType = XL_BUS_TYPE_CAN;
};

// The socketcand bridge: off unless a port is configured (0: any free one).
// With wait_clients, xlOpenDriver waits (at most wait_ms) until that many
// clients follow the bus, so they see a session from its first frame.
struct SocketcandCfg {
    bool on = false;
    uint16_t port = 0;
    unsigned waitClients = 0;
    unsigned waitMs = 10000;
};

// A frame as the bus delivered it, for the bridge; client is the bridge
// client that sent it, 0 for every other sender.
struct TapFrame {
    uint64_t time;
    unsigned channel;
    Frame f;
    uint32_t client;
};

class SocketcandServer;

// An ECU section as read: keys and values, applied by the ECU itself.
using EcuSettings = std::vector<std::pair<std::string, std::string>>;

struct Config {
    uint32_t dllVersion = 0x0B010000u;
    bool realTiming = false;
    unsigned txCapacity = 256;
    std::vector<ChannelCfg> channels;
    std::vector<AppCfg> apps;
    std::vector<EcuSettings> ecus;
    bool defaultEcus = true;
    SocketcandCfg socketcand;
};

Config DefaultConfig();
// VXLSIM_SOCKETCAND_PORT, when set, switches the bridge on at that port.
void ApplyEnvironment(Config &cfg);
// Applies text on top of cfg; channel and ECU sections replace the defaults.
// 0 on success, else the number of the first bad line.
int ParseConfig(const std::string &text, Config &cfg);
bool ParseUnsigned(const std::string &s, uint64_t &out);

// Builders of the nodes the configuration names.
std::unique_ptr<Node> MakeEcu(unsigned channel, const EcuSettings &settings, std::string &error);
std::vector<EcuSettings> DefaultEcus();

const char *ErrorName(XLstatus status);
void FormatEvent(const XLevent &ev, char *buf, size_t size);
void FormatFdEvent(const XLcanRxEvent &ev, char *buf, size_t size);

// The interface-version-4 receive events (fd_port.cpp).
// Size of an event: the header and the member its tag uses.
uint32_t FdEventSize(uint16_t tag);
// A frame as an RX_OK (or, for the sender, TX_OK) event; an error frame as
// RX_ERROR with errorCode.
XLcanRxEvent FdFrameEvent(const Frame &f, bool own, uint8_t errorCode);
// A version-3 event as a version-4 port receives it; false for tags it has
// no counterpart for.
bool ToFdEvent(const XLevent &ev, XLcanRxEvent &out);
// A version-4 frame event as a version-3 port receives it; false when it
// cannot (an FD frame, or no frame at all).
bool ToClassicEvent(const XLcanRxEvent &ev, XLevent &out);

struct PortChannel {
    bool active = false;
    std::bitset<2048> stdOpen;
    uint32_t extCode = 0, extMask = 0;
    bool extClosed = false;
    PortChannel() { stdOpen.set(); }
    bool accepts(uint32_t id) const;
};

struct Port {
    XLportHandle handle = XL_INVALID_PORTHANDLE;
    std::string user;
    XLaccess access = 0;
    XLaccess initAccess = 0;
    // Interface version 4 (CAN FD): events are XLcanRxEvent in rxFd, and
    // queueSize counts bytes (each event takes its size field).
    unsigned version = XL_INTERFACE_VERSION;
    size_t queueSize = 0;
    std::deque<XLevent> rx;
    std::deque<XLcanRxEvent> rxFd;
    size_t rxFdBytes = 0;
    bool overrun = false;
    bool fd() const { return version >= XL_INTERFACE_VERSION_V4; }
    size_t queued() const { return fd() ? rxFd.size() : rx.size(); }
    uint64_t clockBase = 0;
    unsigned txPending = 0;
    std::vector<PortChannel> ch;
    // xlSetNotification: set when the queue reaches notifyLevel events, once,
    // and armed again when a read leaves the queue empty.
    std::shared_ptr<net::Signal> notify;
    unsigned notifyLevel = 0;
    bool notifyArmed = false;
};

struct Failure {
    XLstatus status = XL_SUCCESS;
    int mode = VXLSIM_MODE_STATUS;
    int remaining = 0;  // < 0: until cleared
};

class Sim : private NodeBus {
public:
    Sim();
    ~Sim();
    std::mutex mu;

    // All below: call with mu held.
    void reset();
    int load(const std::string &text);
    uint64_t now() const;
    void pump();  // run everything due up to Now()
    void advanceManual(uint64_t ns);
    void setManualClock(bool on);

    bool driverOpen() const { return m_openCount > 0; }
    int openCount() const { return m_openCount; }
    int portCount() const { return static_cast<int>(m_ports.size()); }
    XLstatus openDriver();
    XLstatus closeDriver();
    XLstatus getDriverConfig(XLdriverConfig *cfg);
    XLstatus getApplConfig(const char *app, unsigned appChannel, unsigned *hwType, unsigned *hwIndex,
                           unsigned *hwChannel, unsigned busType);
    XLstatus setApplConfig(const char *app, unsigned appChannel, unsigned hwType, unsigned hwIndex, unsigned hwChannel,
                           unsigned busType);
    XLaccess channelMask(int hwType, int hwIndex, int hwChannel);
    XLstatus openPort(XLportHandle *handle, const char *user, XLaccess access, XLaccess *permission, unsigned queueSize,
                      unsigned version, unsigned busType);
    XLstatus closePort(XLportHandle h);
    XLstatus setBitrate(XLportHandle h, XLaccess mask, XLulong bitrate);
    XLstatus activate(XLportHandle h, XLaccess mask, unsigned busType, unsigned flags);
    XLstatus deactivate(XLportHandle h, XLaccess mask);
    XLstatus acceptanceRange(XLportHandle h, XLaccess mask, XLulong first, XLulong last, bool open);
    XLstatus setAcceptance(XLportHandle h, XLaccess mask, XLulong code, XLulong accMask, unsigned idRange);
    XLstatus transmit(XLportHandle h, XLaccess mask, unsigned *count, const void *events);
    XLstatus receive(XLportHandle h, unsigned *count, XLevent *events);
    XLstatus setNotification(XLportHandle h, XLhandle *handle, int queueLevel);
    // Interface version 4 (fd_port.cpp).
    XLstatus canFdSetConfiguration(XLportHandle h, XLaccess mask, const XLcanFdConf *conf);
    XLstatus transmitEx(XLportHandle h, XLaccess mask, unsigned count, unsigned *sent, const XLcanTxEvent *events);
    XLstatus canReceive(XLportHandle h, XLcanRxEvent *event);
    // Sets or clears the channel's ISO CAN FD capability; clearing it puts
    // the channel back into CAN 2.0 mode.
    int setChannelFd(unsigned channel, bool capable);
    bool channelFdCapable(unsigned channel) const;
    // For tests: the port's notification was set since the last look.
    int notificationTaken(XLportHandle h);

    // Control interface.
    bool takeFailure(const char *function, Failure &f);
    int setFailure(const char *function, const Failure &f);
    void clearFailures() { m_failures.clear(); }
    int setForeignInit(unsigned channel, bool held);
    int inject(int port, unsigned channel, const XLevent &ev, bool keepTime);
    int injectFd(int port, unsigned channel, const XLcanRxEvent &ev, bool keepTime);
    int busSend(unsigned channel, const Frame &f);
    void log(const vxlsim_call &c);
    std::vector<vxlsim_frame> capture;
    std::vector<vxlsim_call> calls;
    int addNode(std::unique_ptr<Node> node);
    Node *findNode(int id);
    int removeNode(int id);
    void clearNodes() { m_nodes.clear(); }
    int findEcu(const std::string &name) const;
    void setRealTiming(bool on) { m_cfg.realTiming = on; }
    void setTxCapacity(unsigned n) { m_cfg.txCapacity = n; }
    unsigned channelCount() const { return static_cast<unsigned>(m_cfg.channels.size()); }

    // The socketcand bridge.
    const SocketcandCfg &socketcand() const { return m_cfg.socketcand; }
    // A bridge client's frame onto the bus; false when the channel does not
    // exist or its bus is booked up more than a second ahead.
    bool clientSend(unsigned channel, const Frame &f, uint32_t client);
    // When something next falls due (kNever: nothing, or the manual clock).
    uint64_t nextDue() const;
    std::vector<TapFrame> tap;  // filled while the bridge runs
    uint64_t tapLost = 0;
    int bridgePort() const;  // -1 when off
    // Without the lock: holds xlOpenDriver until the configured clients are there.
    void waitForBridgeClients();

    // The stand-in's log (stderr and the last lines in memory); any thread,
    // with or without the lock.
    void note(const std::string &line);
    std::vector<std::string> notes();

private:
    struct Pending {
        unsigned channel;
        int32_t senderPort;
        int senderNode;
        Frame f;
        uint64_t wall;
        uint32_t client;
    };

    void send(const Frame &f) override;  // NodeBus, for the node being run
    bool fdDataPhaseFaster() const override;
    Port *findPort(XLportHandle h);
    XLstatus checkPort(XLportHandle h, XLaccess mask, Port *&port);
    // put for the port given (port >= 0; false when there is none) or for
    // every port with the channel active.
    bool forEachReceiver(int port, unsigned channel, const std::function<void(Port &)> &put);
    // A frame a port sends, onto each channel of mask in turn (the port may
    // go while the bus runs).
    XLstatus submitFromPort(XLportHandle h, XLaccess mask, const Frame &f, uint64_t wall);
    void submit(unsigned channel, const Frame &f, int32_t senderPort, int senderNode, uint64_t t, uint64_t wall,
                uint32_t client = 0);
    void syncServer();
    void deliver(uint64_t t, const Pending &p);
    void enqueue(Port &port, XLevent ev);
    void enqueueFd(Port &port, XLcanRxEvent ev);
    // One delivered frame into a port's queue, as its interface version has it.
    void deliverTo(Port &port, uint64_t t, const Pending &p);
    void buildNodes();
    void runUntil(uint64_t now);
    void notifyIfDue(Port &port);
    // The notifier: with a port notifying and the clock real, a thread
    // delivers frames when they are due, so the notification comes on time
    // without a driver call.
    static void NotifierMain(void *self);
    void notifierRun();
    void wakeNotifier();

    Config m_cfg;
    int m_openCount = 0;
    std::map<int32_t, Port> m_ports;
    int32_t m_nextHandle = 0;
    std::vector<XLportHandle> m_initHolder;  // per channel; -2 = another application
    std::vector<uint64_t> m_busFree;
    std::vector<BusRates> m_rates;      // per channel; data 0 until xlCanFdSetConfiguration
    std::vector<XLcanFdConf> m_fdConf;  // per channel: the last FD configuration
    std::map<std::pair<uint64_t, uint64_t>, Pending> m_pending;
    uint64_t m_seq = 0;
    std::map<std::string, Failure> m_failures;
    std::map<int, std::unique_ptr<Node>> m_nodes;
    int m_nextNode = 0;
    int m_runningNode = -1;
    uint64_t m_cur = 0;  // time of the work being done inside RunUntil
    uint64_t m_epochWall = 0;
    bool m_manual = false;
    uint64_t m_manualNow = 0;
    std::unique_ptr<SocketcandServer> m_server;
    std::mutex m_notesMu;
    std::deque<std::string> m_notes;
    // On the heap: at the end of a Windows process, where the thread is
    // gone (perhaps inside the condition variable), both are left behind.
    struct Notifier {
        net::Thread thread;
        std::condition_variable cv;
    };
    Notifier *m_notifier = new Notifier;
    bool m_notifierStop = false;
};

Sim &TheSim();

}  // namespace vxlsim

#endif
