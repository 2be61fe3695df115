// The vxlsim_* control interface: thin locked wrappers around the simulation.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "can/can_frame.h"
#include "sim.h"

using vxlsim::Frame;
using vxlsim::Sim;
using vxlsim::TheSim;

namespace vxlsim {
std::unique_ptr<Node> MakeResponder(unsigned channel, uint32_t matchId, const uint8_t *prefix, unsigned prefixLen);
bool AddResponderReply(Node *node, const Frame &f, uint32_t delayUs);
}  // namespace vxlsim

namespace {

struct Locked {
    Sim &s = TheSim();
    std::lock_guard<std::mutex> lock{s.mu};
    Locked() { s.pump(); }
};

bool MakeFrame(uint32_t id, uint16_t flags, uint16_t dlc, const uint8_t *data, Frame &f) {
    if (dlc > 8 || (dlc > 0 && !data && !(flags & XL_CAN_MSG_FLAG_REMOTE_FRAME))) return false;
    f.id = id;
    f.flags = flags;
    f.dlc = dlc;
    if (data && !(flags & XL_CAN_MSG_FLAG_REMOTE_FRAME)) std::memcpy(f.data, data, dlc);
    return true;
}

// An FD or classic frame of the FD calls: an FD frame's length is one a
// DLC code gives; a classic one has at most 8 bytes and no FD marks.
bool MakeFdFrame(uint32_t id, uint32_t fdFlags, unsigned length, const uint8_t *data, Frame &f) {
    const bool fd = (fdFlags & VXLSIM_FD_EDL) != 0;
    if (fdFlags & ~uint32_t(VXLSIM_FD_EDL | VXLSIM_FD_BRS | VXLSIM_FD_ESI)) return false;
    if (!fd && (fdFlags != 0 || length > CAN_MAX_DLEN)) return false;
    if (fd && !IsCanFdLength(length)) return false;
    if (length > 0 && !data) return false;
    f = Frame();
    f.id = id;
    f.fdFlags = fdFlags;
    f.dlc = static_cast<uint16_t>(length);
    if (length > 0) std::memcpy(f.data, data, length);
    return true;
}

}  // namespace

extern "C" {

VXLSIM_API void vxlsim_reset(void) {
    Locked l;
    l.s.reset();
}

VXLSIM_API int vxlsim_load_config_text(const char *text) {
    Locked l;
    return l.s.load(text ? text : "");
}

VXLSIM_API int vxlsim_load_config(const char *path) {
    if (!path) return -1;
    std::ifstream in(path, std::ios::binary);
    if (!in) return -1;
    std::stringstream ss;
    ss << in.rdbuf();
    Locked l;
    return l.s.load(ss.str());
}

VXLSIM_API int vxlsim_open_port_count(void) {
    Locked l;
    return l.s.portCount();
}

VXLSIM_API int vxlsim_driver_open_count(void) {
    Locked l;
    return l.s.openCount();
}

// Without bringing the simulated world up to the present: a test sees what
// the stand-in's own thread delivered.
VXLSIM_API int vxlsim_notification_taken(int port) {
    Sim &s = TheSim();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.notificationTaken(port);
}

VXLSIM_API uint64_t vxlsim_now_ns(void) {
    Locked l;
    return l.s.now();
}

VXLSIM_API void vxlsim_set_manual_clock(int on) {
    Locked l;
    l.s.setManualClock(on != 0);
}

VXLSIM_API void vxlsim_advance_ns(uint64_t ns) {
    Locked l;
    l.s.advanceManual(ns);
}

VXLSIM_API void vxlsim_set_real_timing(int on) {
    Locked l;
    l.s.setRealTiming(on != 0);
}

VXLSIM_API void vxlsim_set_tx_capacity(unsigned frames) {
    Locked l;
    l.s.setTxCapacity(frames);
}

VXLSIM_API int vxlsim_fail(const char *function, int status, int count) {
    Locked l;
    vxlsim::Failure f;
    f.status = static_cast<XLstatus>(status);
    f.remaining = count;
    return l.s.setFailure(function, f);
}

VXLSIM_API int vxlsim_fail_mode(const char *function, int mode, int count) {
    if (mode < VXLSIM_MODE_STATUS || mode > VXLSIM_MODE_NO_INIT_ACCESS) return -1;
    Locked l;
    vxlsim::Failure f;
    f.mode = mode;
    f.remaining = count;
    return l.s.setFailure(function, f);
}

VXLSIM_API void vxlsim_clear_failures(void) {
    Locked l;
    l.s.clearFailures();
}

VXLSIM_API int vxlsim_set_foreign_init_access(unsigned channel, int held) {
    Locked l;
    return l.s.setForeignInit(channel, held != 0);
}

VXLSIM_API int vxlsim_inject_frame(int port, unsigned channel, uint32_t id, uint16_t flags, uint16_t dlc,
                                   const uint8_t *data, int64_t time_ns) {
    Frame f;
    if (!MakeFrame(id, flags, dlc, data, f)) return -1;
    XLevent ev{};
    ev.tag = XL_RECEIVE_MSG;
    ev.timeStamp = time_ns < 0 ? 0 : static_cast<uint64_t>(time_ns);
    ev.tagData.msg.id = f.id;
    ev.tagData.msg.flags = f.flags;
    ev.tagData.msg.dlc = f.dlc;
    std::memcpy(ev.tagData.msg.data, f.data, 8);
    Locked l;
    return l.s.inject(port, channel, ev, time_ns >= 0);
}

VXLSIM_API int vxlsim_inject_chip_state(int port, unsigned channel, uint8_t busStatus, uint8_t txErr, uint8_t rxErr,
                                        int64_t time_ns) {
    XLevent ev{};
    ev.tag = XL_CHIP_STATE;
    ev.timeStamp = time_ns < 0 ? 0 : static_cast<uint64_t>(time_ns);
    ev.tagData.chipState.busStatus = busStatus;
    ev.tagData.chipState.txErrorCounter = txErr;
    ev.tagData.chipState.rxErrorCounter = rxErr;
    Locked l;
    return l.s.inject(port, channel, ev, time_ns >= 0);
}

VXLSIM_API int vxlsim_inject_event(int port, unsigned channel, const XLevent *event, int keep_time) {
    if (!event) return -1;
    Locked l;
    return l.s.inject(port, channel, *event, keep_time != 0);
}

VXLSIM_API int vxlsim_bus_send(unsigned channel, uint32_t id, uint16_t flags, uint16_t dlc, const uint8_t *data) {
    Frame f;
    if (!MakeFrame(id, flags, dlc, data, f)) return -1;
    Locked l;
    return l.s.busSend(channel, f);
}

VXLSIM_API int vxlsim_inject_fd_frame(int port, unsigned channel, uint32_t id, uint32_t fd_flags, unsigned length,
                                      const uint8_t *data, int64_t time_ns) {
    Frame f;
    if (!MakeFdFrame(id, fd_flags, length, data, f)) return -1;
    XLcanRxEvent ev = vxlsim::FdFrameEvent(f, false, XL_CAN_ERRC_OTHER_ERROR);
    ev.timeStampSync = time_ns < 0 ? 0 : static_cast<uint64_t>(time_ns);
    Locked l;
    return l.s.injectFd(port, channel, ev, time_ns >= 0);
}

VXLSIM_API int vxlsim_bus_send_fd(unsigned channel, uint32_t id, uint32_t fd_flags, unsigned length,
                                  const uint8_t *data) {
    Frame f;
    if (!MakeFdFrame(id, fd_flags, length, data, f)) return -1;
    Locked l;
    return l.s.busSend(channel, f);
}

VXLSIM_API int vxlsim_inject_fd_event(int port, unsigned channel, const XLcanRxEvent *event, int keep_time) {
    if (!event) return -1;
    Locked l;
    return l.s.injectFd(port, channel, *event, keep_time != 0);
}

VXLSIM_API int vxlsim_set_channel_fd(unsigned channel, int capable) {
    Locked l;
    return l.s.setChannelFd(channel, capable != 0);
}

VXLSIM_API int vxlsim_capture_count(void) {
    Locked l;
    return static_cast<int>(l.s.capture.size());
}

VXLSIM_API int vxlsim_capture_get(int index, vxlsim_frame *out) {
    Locked l;
    if (!out || index < 0 || static_cast<size_t>(index) >= l.s.capture.size()) return -1;
    *out = l.s.capture[static_cast<size_t>(index)];
    return 0;
}

VXLSIM_API uint64_t vxlsim_frame_duration_ns(const vxlsim_frame *f, uint32_t arbitration_rate, uint32_t data_rate) {
    if (!f) return 0;
    Frame frame;
    frame.id = f->id;
    frame.flags = f->flags;
    frame.dlc = f->dlc;
    frame.fdFlags = f->fd_flags;
    std::memcpy(frame.data, f->data, sizeof frame.data);
    return vxlsim::FrameDurationNs(frame, vxlsim::BusRates{arbitration_rate, data_rate, true});
}

VXLSIM_API void vxlsim_capture_clear(void) {
    Locked l;
    l.s.capture.clear();
}

VXLSIM_API int vxlsim_call_count(void) {
    Locked l;
    return static_cast<int>(l.s.calls.size());
}

VXLSIM_API int vxlsim_call_get(int index, vxlsim_call *out) {
    Locked l;
    if (!out || index < 0 || static_cast<size_t>(index) >= l.s.calls.size()) return -1;
    *out = l.s.calls[static_cast<size_t>(index)];
    return 0;
}

VXLSIM_API void vxlsim_call_clear(void) {
    Locked l;
    l.s.calls.clear();
}

VXLSIM_API int vxlsim_responder_add(unsigned channel, uint32_t match_id, const uint8_t *prefix, unsigned prefix_len) {
    if (prefix_len > 8 || (prefix_len > 0 && !prefix)) return -1;
    Locked l;
    return l.s.addNode(vxlsim::MakeResponder(channel, match_id, prefix, prefix_len));
}

VXLSIM_API int vxlsim_responder_reply(int node, uint32_t id, uint16_t dlc, const uint8_t *data, uint32_t delay_us) {
    Frame f;
    if (!MakeFrame(id, 0, dlc, data, f)) return -1;
    Locked l;
    return vxlsim::AddResponderReply(l.s.findNode(node), f, delay_us) ? 0 : -1;
}

VXLSIM_API int vxlsim_node_remove(int node) {
    Locked l;
    return l.s.removeNode(node);
}

VXLSIM_API void vxlsim_nodes_clear(void) {
    Locked l;
    l.s.clearNodes();
}

VXLSIM_API int vxlsim_ecu_add(const char *config_text) {
    vxlsim::Config c;
    c.channels.clear();
    const std::string text = std::string("[ecu]\n") + (config_text ? config_text : "");
    const int bad = vxlsim::ParseConfig(text, c);
    if (bad != 0) return -(bad - 1);
    unsigned channel = 0;
    for (const auto &kv : c.ecus.front()) {
        uint64_t v = 0;
        if (kv.first == "channel" && vxlsim::ParseUnsigned(kv.second, v)) channel = static_cast<unsigned>(v);
    }
    std::string error;
    std::unique_ptr<vxlsim::Node> node = vxlsim::MakeEcu(channel, c.ecus.front(), error);
    if (!node) return -1;
    Locked l;
    return l.s.addNode(std::move(node));
}

VXLSIM_API int vxlsim_ecu_set(int node, const char *key, const char *value) {
    if (!key || !value) return -1;
    Locked l;
    vxlsim::Node *n = l.s.findNode(node);
    return n && n->set(key, value) ? 0 : -1;
}

VXLSIM_API int vxlsim_ecu_find(const char *name) {
    Locked l;
    return l.s.findEcu(name ? name : "");
}

VXLSIM_API int vxlsim_socketcand_port(void) {
    Locked l;
    return l.s.bridgePort();
}

VXLSIM_API int vxlsim_log_count(void) { return static_cast<int>(TheSim().notes().size()); }

VXLSIM_API int vxlsim_log_get(int index, char *buf, unsigned size) {
    const std::vector<std::string> notes = TheSim().notes();
    if (index < 0 || static_cast<size_t>(index) >= notes.size() || !buf || size == 0) return -1;
    const std::string &line = notes[static_cast<size_t>(index)];
    const size_t n = std::min<size_t>(line.size(), size - 1);
    std::memcpy(buf, line.data(), n);
    buf[n] = '\0';
    return static_cast<int>(line.size());
}

}  // extern "C"
