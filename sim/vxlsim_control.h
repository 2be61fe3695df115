// Control interface of the simulated XL driver: lets tests and tools shape
// the simulated world (channels, failures, ECUs) and look at what the
// application did to it (frames on the bus, calls with their arguments).
// Everything here is exported from the same library as the xl* functions.
#ifndef VXLSIM_CONTROL_H
#define VXLSIM_CONTROL_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "can/xl_api.h"
#include "platform/callconv.h"

#define VXLSIM_API PT_DLL_EXPORT

// A configuration text with one CAN card channel (index 0, "CANcardXL
// Channel 1", mask 0x1) and no ECUs: only what the caller puts on the bus is
// there. Append "[driver]" keys or "[ecu]" sections for a vehicle.
#define VXLSIM_ONE_CARD                      \
    "[driver]\n"                             \
    "default_ecus = 0\n"                     \
    "[channel]\n"                            \
    "name = CANcardXL Channel 1\n"           \
    "hw_type = 15\n"                         \
    "hw_index = 0\n"                         \
    "hw_channel = 0\n"                       \
    "transceiver_type = 0x0107\n"            \
    "transceiver_name = CANpiggy 1041Amag\n" \
    "bus_capabilities = 0x00030003\n"        \
    "serial = 24680\n"

// A frame seen on a simulated bus.
struct vxlsim_frame {
    uint64_t time_ns;     // simulated time the frame completed on the bus
    uint64_t wall_ns;     // steady clock when it was handed over (xlCanTransmit call, node send)
    uint32_t channel;     // channel index
    int32_t sender_port;  // port handle, -1 when a simulated node or the control interface sent it
    int32_t sender_node;  // node id, -1 when a port or the control interface sent it
    uint32_t id;          // XL_CAN_EXT_MSG_ID set for 29-bit identifiers
    uint16_t flags;
    uint16_t dlc;       // data bytes: 0..8, an FD frame up to 64
    uint8_t data[64];   // the first dlc bytes
    uint32_t fd_flags;  // VXLSIM_FD_*: 0 for a classic frame
};

// vxlsim_frame.fd_flags and the FD calls' flags: the driver's receive flags.
#define VXLSIM_FD_EDL XL_CAN_RXMSG_FLAG_EDL  // an FD frame
#define VXLSIM_FD_BRS XL_CAN_RXMSG_FLAG_BRS  // its data phase at the data rate
#define VXLSIM_FD_ESI XL_CAN_RXMSG_FLAG_ESI  // sent by an error-passive node

// One call of an xl* function, arguments in order, outputs after inputs.
#define VXLSIM_MAX_ARGS 8
struct vxlsim_call {
    char function[32];
    char text[64];   // the string argument (application or user name), "" if none
    int32_t status;  // returned status (xlGetChannelMask: 1 when a mask was found, else 0)
    uint32_t nargs;
    uint64_t args[VXLSIM_MAX_ARGS];
    uint64_t wall_ns;
};

// Special ways xlOpenPort can misbehave (vxlsim_fail_mode).
#define VXLSIM_MODE_STATUS 0          // return the status given to vxlsim_fail
#define VXLSIM_MODE_INVALID_HANDLE 1  // XL_SUCCESS but the handle is XL_INVALID_PORTHANDLE
#define VXLSIM_MODE_NO_INIT_ACCESS 2  // XL_SUCCESS but no init access granted

extern "C" {

// ---- world -----------------------------------------------------------------
// Back to the built-in configuration (plus the file named by VXLSIM_CONFIG, if
// set): driver closed, ports, captures, call log, failures, nodes cleared.
VXLSIM_API void vxlsim_reset(void);
// Reset, then apply a configuration file / text. 0 on success, -1 when the
// file cannot be read, otherwise the number of the first bad line.
VXLSIM_API int vxlsim_load_config(const char *path);
VXLSIM_API int vxlsim_load_config_text(const char *text);

// What the application left behind: ports still open, and how often the
// driver is open (xlOpenDriver calls not yet matched by xlCloseDriver).
VXLSIM_API int vxlsim_open_port_count(void);
VXLSIM_API int vxlsim_driver_open_count(void);

// ---- time ------------------------------------------------------------------
// Simulated time now (ns since reset); it follows the steady clock unless the
// manual clock is on, where only vxlsim_advance_ns moves it.
VXLSIM_API uint64_t vxlsim_now_ns(void);
VXLSIM_API void vxlsim_set_manual_clock(int on);
VXLSIM_API void vxlsim_advance_ns(uint64_t ns);
// Frames occupy the bus for their duration at the channel bit rate.
VXLSIM_API void vxlsim_set_real_timing(int on);
// Frames a port may have waiting for the bus before xlCanTransmit reports a
// full queue.
VXLSIM_API void vxlsim_set_tx_capacity(unsigned frames);

// ---- refusals --------------------------------------------------------------
// The named xl* function returns status for the next count calls (count < 0:
// until cleared). -1 for a name that is not a driver function.
VXLSIM_API int vxlsim_fail(const char *function, int status, int count);
VXLSIM_API int vxlsim_fail_mode(const char *function, int mode, int count);
VXLSIM_API void vxlsim_clear_failures(void);
// Another application holds (held != 0) or released init access on a channel.
VXLSIM_API int vxlsim_set_foreign_init_access(unsigned channel, int held);

// ---- events into receive queues -------------------------------------------
// port >= 0: that port's queue; port < 0: every port active on the channel.
// time_ns < 0: the receiving port's current time, else that port time stamp.
// The acceptance filter is bypassed. Returns the number of queues reached,
// -1 on a bad port or channel.
VXLSIM_API int vxlsim_inject_frame(int port, unsigned channel, uint32_t id, uint16_t flags, uint16_t dlc,
                                   const uint8_t *data, int64_t time_ns);
VXLSIM_API int vxlsim_inject_chip_state(int port, unsigned channel, uint8_t busStatus, uint8_t txErr, uint8_t rxErr,
                                        int64_t time_ns);
// Any event as given (tag, flags, union); chanIndex, portHandle and, unless
// keep_time, the time stamp are filled in.
VXLSIM_API int vxlsim_inject_event(int port, unsigned channel, const XLevent *event, int keep_time);

// A frame sent by an outside node onto the bus: acceptance filters apply,
// simulated nodes see it, it is captured.
VXLSIM_API int vxlsim_bus_send(unsigned channel, uint32_t id, uint16_t flags, uint16_t dlc, const uint8_t *data);

// ---- CAN FD ------------------------------------------------------------------
// An FD (fd_flags with VXLSIM_FD_EDL) or classic frame of length bytes (FD: a
// length a DLC code gives, up to 64; classic: up to 8). Into queues as
// vxlsim_inject_frame does (version-3 ports take only classic frames), or onto
// the bus as vxlsim_bus_send does. -1 on a bad port, channel or frame.
VXLSIM_API int vxlsim_inject_fd_frame(int port, unsigned channel, uint32_t id, uint32_t fd_flags, unsigned length,
                                      const uint8_t *data, int64_t time_ns);
VXLSIM_API int vxlsim_bus_send_fd(unsigned channel, uint32_t id, uint32_t fd_flags, unsigned length,
                                  const uint8_t *data);
// Any version-4 event as given (tag, size, union); channelIndex and, unless
// keep_time, timeStampSync are filled in. Version-3 ports get what their
// records can carry.
VXLSIM_API int vxlsim_inject_fd_event(int port, unsigned channel, const XLcanRxEvent *event, int keep_time);
// The channel can (capable != 0) or cannot run ISO CAN FD: sets or clears
// XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT; clearing it puts the channel into CAN 2.0
// mode. 0 ok, -1 bad channel.
VXLSIM_API int vxlsim_set_channel_fd(unsigned channel, int capable);

// ---- bus capture -----------------------------------------------------------
VXLSIM_API int vxlsim_capture_count(void);
VXLSIM_API int vxlsim_capture_get(int index, vxlsim_frame *out);  // 0 ok, -1 out of range
VXLSIM_API void vxlsim_capture_clear(void);
// Bus time of a captured frame at these rates (data_rate 0: CAN 2.0), for
// tools that compare sessions.
VXLSIM_API uint64_t vxlsim_frame_duration_ns(const vxlsim_frame *f, uint32_t arbitration_rate, uint32_t data_rate);

// ---- notification ----------------------------------------------------------
// Whether the port's xlSetNotification handle was set since the last look
// (1; the look takes it, as the application's wait would), 0 when not, -1
// when the port has none. Unlike the other calls it does not bring the
// simulated world up to the present.
VXLSIM_API int vxlsim_notification_taken(int port);

// ---- call log --------------------------------------------------------------
// xlReceive calls that found the queue empty are not logged (polling noise).
VXLSIM_API int vxlsim_call_count(void);
VXLSIM_API int vxlsim_call_get(int index, vxlsim_call *out);  // 0 ok, -1 out of range
VXLSIM_API void vxlsim_call_clear(void);

// ---- scripted nodes --------------------------------------------------------
// A node on the channel that answers a frame with identifier match_id whose
// data start with prefix. Returns the node id (>= 0) or -1.
VXLSIM_API int vxlsim_responder_add(unsigned channel, uint32_t match_id, const uint8_t *prefix, unsigned prefix_len);
// One more frame of the answer, sent delay_us after the matching frame.
VXLSIM_API int vxlsim_responder_reply(int node, uint32_t id, uint16_t dlc, const uint8_t *data, uint32_t delay_us);
VXLSIM_API int vxlsim_node_remove(int node);
VXLSIM_API void vxlsim_nodes_clear(void);  // responders and ECUs

// ---- simulated ECUs --------------------------------------------------------
// Adds an ECU from "key = value" lines (the [ecu] section keys). Returns its
// node id, or -(line number) of the first bad line.
VXLSIM_API int vxlsim_ecu_add(const char *config_text);
// Changes one setting of a running ECU; 0 ok, -1 bad node, key or value.
VXLSIM_API int vxlsim_ecu_set(int node, const char *key, const char *value);
// Node id of the ECU with that name, -1 if none.
VXLSIM_API int vxlsim_ecu_find(const char *name);

// ---- socketcand bridge and log ---------------------------------------------
// Port the bridge listens on (127.0.0.1), -1 while it is off or has none.
VXLSIM_API int vxlsim_socketcand_port(void);
// The stand-in's log (also on stderr): the last 1024 lines, oldest first.
// vxlsim_log_get copies line index into buf (cut to size - 1) and returns its
// full length, -1 when out of range.
VXLSIM_API int vxlsim_log_count(void);
VXLSIM_API int vxlsim_log_get(int index, char *buf, unsigned size);
}

// ---- C++ conveniences --------------------------------------------------------
namespace vxlsim {

inline std::vector<vxlsim_frame> Captured() {
    std::vector<vxlsim_frame> out;
    const int n = vxlsim_capture_count();
    for (int i = 0; i < n; ++i) {
        vxlsim_frame f{};
        if (vxlsim_capture_get(i, &f) == 0) out.push_back(f);
    }
    return out;
}

inline std::vector<vxlsim_call> Calls() {
    std::vector<vxlsim_call> out;
    const int n = vxlsim_call_count();
    for (int i = 0; i < n; ++i) {
        vxlsim_call c{};
        if (vxlsim_call_get(i, &c) == 0) out.push_back(c);
    }
    return out;
}

inline std::vector<vxlsim_call> CallsTo(const std::string &function) {
    std::vector<vxlsim_call> out;
    for (const vxlsim_call &c : Calls())
        if (function == c.function) out.push_back(c);
    return out;
}

inline int InjectFrame(int port, unsigned channel, uint32_t id, const std::vector<uint8_t> &data, uint16_t flags = 0,
                       int64_t time_ns = -1) {
    return vxlsim_inject_frame(port, channel, id, flags, static_cast<uint16_t>(data.size()), data.data(), time_ns);
}

inline std::vector<std::string> LogLines() {
    std::vector<std::string> out;
    char buf[512];
    for (int i = 0, n = vxlsim_log_count(); i < n; ++i)
        if (vxlsim_log_get(i, buf, sizeof buf) >= 0) out.emplace_back(buf);
    return out;
}

inline int BusSend(unsigned channel, uint32_t id, const std::vector<uint8_t> &data, uint16_t flags = 0) {
    return vxlsim_bus_send(channel, id, flags, static_cast<uint16_t>(data.size()), data.data());
}

inline int BusSendFd(unsigned channel, uint32_t id, const std::vector<uint8_t> &data,
                     uint32_t fdFlags = VXLSIM_FD_EDL) {
    return vxlsim_bus_send_fd(channel, id, fdFlags, static_cast<unsigned>(data.size()), data.data());
}

inline int InjectFdFrame(int port, unsigned channel, uint32_t id, const std::vector<uint8_t> &data,
                         uint32_t fdFlags = VXLSIM_FD_EDL, int64_t time_ns = -1) {
    return vxlsim_inject_fd_frame(port, channel, id, fdFlags, static_cast<unsigned>(data.size()), data.data(), time_ns);
}

// A captured frame as a line of bus_capture.txt: "<time_ns> <channel> <ID>
// <length> <bytes...> <sender>", the sender "port n", "node n" or "outside";
// an FD frame ends in " FD", with bit-rate switch " FD BRS".
inline std::string CaptureLine(const vxlsim_frame &f) {
    char line[400];
    int n = std::snprintf(line, sizeof line, "%llu %u %X %u", static_cast<unsigned long long>(f.time_ns),
                          static_cast<unsigned>(f.channel), static_cast<unsigned>(f.id), static_cast<unsigned>(f.dlc));
    const bool fd = (f.fd_flags & VXLSIM_FD_EDL) != 0;
    const unsigned most = fd ? 64u : 8u;
    for (unsigned i = 0; i < f.dlc && i < most; ++i)
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02X", f.data[i]);
    if (f.sender_port >= 0)
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " port %d", f.sender_port);
    else if (f.sender_node >= 0)
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " node %d", f.sender_node);
    else
        n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " outside");
    if (fd) n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " FD");
    if (fd && (f.fd_flags & VXLSIM_FD_BRS)) std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " BRS");
    return line;
}

}  // namespace vxlsim

#endif
