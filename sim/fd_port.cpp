// Ports of interface version 4: the CAN FD calls (xlCanFdSetConfiguration,
// xlCanTransmitEx, xlCanReceive) and the XLcanRxEvent records their queues
// hold. Frames are the same Frame on the same buses as the classic calls
// use; only the records at the port's edge differ.
#include <algorithm>
#include <cstring>

#include "can/can_frame.h"
#include "sim.h"

namespace vxlsim {

namespace {

constexpr uint32_t kMaxArbitrationRate = 1000000;
// The fastest data phase CAN FD transceivers are specified for.
constexpr uint32_t kMaxDataRate = 8000000;
constexpr uint32_t kTxFlagsKnown = XL_CAN_TXMSG_FLAG_EDL | XL_CAN_TXMSG_FLAG_BRS | XL_CAN_TXMSG_FLAG_RTR |
                                   XL_CAN_TXMSG_FLAG_HIGHPRIO | XL_CAN_TXMSG_FLAG_WAKEUP;
constexpr uint32_t kFdFrameFlags = XL_CAN_RXMSG_FLAG_EDL | XL_CAN_RXMSG_FLAG_BRS | XL_CAN_RXMSG_FLAG_ESI;

bool ValidId(uint32_t id) {
    const bool ext = (id & XL_CAN_EXT_MSG_ID) != 0;
    return ext ? (id & ~XL_CAN_EXT_MSG_ID) <= 0x1FFFFFFFu : id <= 0x7FFu;
}

// The one frame an XL_CAN_EV_TAG_TX_MSG event asks for, or the status the
// driver refuses it with.
XLstatus FrameOfTxEvent(const XLcanTxEvent &ev, Frame &f) {
    if (ev.tag != XL_CAN_EV_TAG_TX_MSG) return XL_ERR_INVALID_TAG;
    const XL_CAN_TX_MSG &m = ev.tagData.canMsg;
    if (m.msgFlags & ~kTxFlagsKnown) return XL_ERR_UNKNOWN_FLAG;
    const bool edl = (m.msgFlags & XL_CAN_TXMSG_FLAG_EDL) != 0;
    const bool rtr = (m.msgFlags & XL_CAN_TXMSG_FLAG_RTR) != 0;
    if (edl && rtr) return XL_ERR_EDL_RTR;  // an FD frame has no remote form
    if ((m.msgFlags & XL_CAN_TXMSG_FLAG_BRS) && !edl) return XL_ERR_EDL_NOT_SET;
    if (m.dlc > 15 || (!edl && m.dlc > CAN_MAX_DLEN)) return XL_ERR_INVALID_DLC;
    if (!ValidId(m.canId)) return XL_ERR_INVALID_CANID;
    f = Frame();
    f.id = m.canId;
    f.flags = static_cast<uint16_t>((rtr ? XL_CAN_MSG_FLAG_REMOTE_FRAME : 0) |
                                    ((m.msgFlags & XL_CAN_TXMSG_FLAG_WAKEUP) ? XL_CAN_MSG_FLAG_WAKEUP : 0));
    f.fdFlags = m.msgFlags & (XL_CAN_RXMSG_FLAG_EDL | XL_CAN_RXMSG_FLAG_BRS);
    f.dlc = edl ? CanFdDlcToLength(m.dlc) : m.dlc;
    if (!rtr) std::memcpy(f.data, m.data, f.dlc);
    return XL_SUCCESS;
}

}  // namespace

uint32_t FdEventSize(uint16_t tag) {
    switch (tag) {
        case XL_CAN_EV_TAG_RX_OK:
        case XL_CAN_EV_TAG_TX_OK: return XL_CANFD_RX_EVENT_HEADER_SIZE + sizeof(XL_CAN_EV_RX_MSG);
        case XL_CAN_EV_TAG_TX_REQUEST: return XL_CANFD_RX_EVENT_HEADER_SIZE + sizeof(XL_CAN_EV_TX_REQUEST);
        case XL_CAN_EV_TAG_RX_ERROR:
        case XL_CAN_EV_TAG_TX_ERROR: return XL_CANFD_RX_EVENT_HEADER_SIZE + sizeof(XL_CAN_EV_ERROR);
        case XL_CAN_EV_TAG_CHIP_STATE: return XL_CANFD_RX_EVENT_HEADER_SIZE + sizeof(XL_CAN_EV_CHIP_STATE);
        default: return XL_CANFD_MAX_EVENT_SIZE;
    }
}

XLcanRxEvent FdFrameEvent(const Frame &f, bool own, uint8_t errorCode) {
    XLcanRxEvent ev{};
    if (f.flags & XL_CAN_MSG_FLAG_ERROR_FRAME) {
        ev.tag = XL_CAN_EV_TAG_RX_ERROR;
        ev.size = FdEventSize(ev.tag);
        ev.tagData.canError.errorCode = errorCode;
        return ev;
    }
    ev.tag = own ? XL_CAN_EV_TAG_TX_OK : XL_CAN_EV_TAG_RX_OK;
    ev.size = FdEventSize(ev.tag);
    XL_CAN_EV_RX_MSG &m = ev.tagData.canRxOkMsg;
    m.canId = f.id;
    m.msgFlags = (f.fdFlags & kFdFrameFlags) | ((f.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME) ? XL_CAN_RXMSG_FLAG_RTR : 0) |
                 ((f.flags & XL_CAN_MSG_FLAG_WAKEUP) ? XL_CAN_RXMSG_FLAG_WAKEUP : 0);
    const uint8_t length = static_cast<uint8_t>(std::min<unsigned>(f.dlc, f.isFd() ? CANFD_MAX_DLEN : CAN_MAX_DLEN));
    m.dlc = f.isFd() ? CanFdLengthToDlc(length) : length;
    m.totalBitCnt = static_cast<uint16_t>(FrameBitCount(f));
    if (!(f.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME)) std::memcpy(m.data, f.data, length);
    return ev;
}

bool ToFdEvent(const XLevent &ev, XLcanRxEvent &out) {
    if (ev.tag == XL_CHIP_STATE) {
        out = XLcanRxEvent{};
        out.tag = XL_CAN_EV_TAG_CHIP_STATE;
        out.size = FdEventSize(out.tag);
        out.tagData.canChipState.busStatus = ev.tagData.chipState.busStatus;
        out.tagData.canChipState.txErrorCounter = ev.tagData.chipState.txErrorCounter;
        out.tagData.canChipState.rxErrorCounter = ev.tagData.chipState.rxErrorCounter;
    } else if (ev.tag == XL_RECEIVE_MSG) {
        const s_xl_can_msg &m = ev.tagData.msg;
        Frame f;
        f.id = m.id;
        f.flags = m.flags;
        f.dlc = std::min<uint16_t>(m.dlc, CAN_MAX_DLEN);
        std::memcpy(f.data, m.data, CAN_MAX_DLEN);
        // An error frame of unknown cause: the driver's catch-all code.
        out = FdFrameEvent(f, (m.flags & XL_CAN_MSG_FLAG_TX_COMPLETED) != 0, XL_CAN_ERRC_OTHER_ERROR);
        if (m.flags & XL_CAN_MSG_FLAG_OVERRUN) out.flagsChip |= XL_CAN_QUEUE_OVERFLOW;
    } else {
        return false;
    }
    out.channelIndex = ev.chanIndex;
    out.timeStampSync = ev.timeStamp;
    return true;
}

bool ToClassicEvent(const XLcanRxEvent &ev, XLevent &out) {
    out = XLevent{};
    out.chanIndex = static_cast<uint8_t>(ev.channelIndex);
    out.timeStamp = ev.timeStampSync;
    if (ev.tag == XL_CAN_EV_TAG_CHIP_STATE) {
        out.tag = XL_CHIP_STATE;
        out.tagData.chipState.busStatus = ev.tagData.canChipState.busStatus;
        out.tagData.chipState.txErrorCounter = ev.tagData.canChipState.txErrorCounter;
        out.tagData.chipState.rxErrorCounter = ev.tagData.canChipState.rxErrorCounter;
        return true;
    }
    out.tag = XL_RECEIVE_MSG;
    if (ev.tag == XL_CAN_EV_TAG_RX_ERROR) {
        out.tagData.msg.flags = XL_CAN_MSG_FLAG_ERROR_FRAME;
        return true;
    }
    if (ev.tag != XL_CAN_EV_TAG_RX_OK && ev.tag != XL_CAN_EV_TAG_TX_OK) return false;
    const XL_CAN_EV_RX_MSG &m = ev.tagData.canRxOkMsg;
    if ((m.msgFlags & XL_CAN_RXMSG_FLAG_EDL) || m.dlc > CAN_MAX_DLEN) return false;
    out.tagData.msg.id = m.canId;
    out.tagData.msg.dlc = m.dlc;
    out.tagData.msg.flags =
        static_cast<uint16_t>(((m.msgFlags & XL_CAN_RXMSG_FLAG_RTR) ? XL_CAN_MSG_FLAG_REMOTE_FRAME : 0) |
                              ((m.msgFlags & XL_CAN_RXMSG_FLAG_WAKEUP) ? XL_CAN_MSG_FLAG_WAKEUP : 0) |
                              (ev.tag == XL_CAN_EV_TAG_TX_OK ? XL_CAN_MSG_FLAG_TX_COMPLETED : 0));
    std::memcpy(out.tagData.msg.data, m.data, CAN_MAX_DLEN);
    return true;
}

void Sim::enqueueFd(Port &port, XLcanRxEvent ev) {
    ev.userHandle = 0;
    const size_t size = std::min<size_t>(std::max<size_t>(ev.size, XL_CANFD_RX_EVENT_HEADER_SIZE), sizeof ev);
    if (port.rxFdBytes + size > port.queueSize) {
        port.overrun = true;
        return;
    }
    // The first event after a loss carries the mark in its header.
    if (port.overrun) {
        ev.flagsChip |= XL_CAN_QUEUE_OVERFLOW;
        port.overrun = false;
    }
    port.rxFd.push_back(ev);
    port.rxFdBytes += size;
    notifyIfDue(port);
}

bool Sim::channelFdCapable(unsigned channel) const {
    return channel < channelCount() && (m_cfg.channels[channel].capabilities & XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT) != 0;
}

int Sim::setChannelFd(unsigned channel, bool capable) {
    if (channel >= channelCount()) return -1;
    uint32_t &caps = m_cfg.channels[channel].capabilities;
    caps = capable ? (caps | XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT) : (caps & ~XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT);
    if (!capable) m_rates[channel].data = 0;
    return 0;
}

XLstatus Sim::canFdSetConfiguration(XLportHandle h, XLaccess mask, const XLcanFdConf *conf) {
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    if (!conf) return XL_ERR_WRONG_PARAMETER;
    if ((mask & ~port->initAccess) != 0) return XL_ERR_INIT_ACCESS_MISSING;
    if (conf->reserved != 0 || conf->reserved1[0] != 0 || conf->reserved1[1] != 0 || conf->reserved2 != 0)
        return XL_ERR_RESERVED_NOT_ZERO;
    if (conf->options & ~CANFD_CONFOPT_NO_ISO) return XL_ERR_WRONG_PARAMETER;
    // The data phase is never slower than the arbitration phase.
    if (conf->arbitrationBitRate == 0 || conf->arbitrationBitRate > kMaxArbitrationRate ||
        conf->dataBitRate < conf->arbitrationBitRate || conf->dataBitRate > kMaxDataRate)
        return XL_ERR_WRONG_PARAMETER;
    const bool iso = (conf->options & CANFD_CONFOPT_NO_ISO) == 0;
    const uint32_t needed = iso ? XL_CHANNEL_FLAG_CANFD_ISO_SUPPORT : XL_CHANNEL_FLAG_CANFD_BOSCH_SUPPORT;
    for (unsigned i = 0; i < channelCount(); ++i)
        if ((mask & (XLaccess(1) << i)) && !(m_cfg.channels[i].capabilities & needed)) return XL_ERR_NOT_SUPPORTED;
    for (unsigned i = 0; i < channelCount(); ++i) {
        if (!(mask & (XLaccess(1) << i))) continue;
        m_rates[i] = BusRates{conf->arbitrationBitRate, conf->dataBitRate, iso};
        m_fdConf[i] = *conf;
    }
    return XL_SUCCESS;
}

XLstatus Sim::transmitEx(XLportHandle h, XLaccess mask, unsigned count, unsigned *sent, const XLcanTxEvent *events) {
    if (sent) *sent = 0;
    Port *port = nullptr;
    if (XLstatus st = checkPort(h, mask, port)) return st;
    if (!port->fd()) return XL_ERR_NOT_SUPPORTED;  // a version-3 port sends with xlCanTransmit
    if (!sent || (count > 0 && !events)) return XL_ERR_WRONG_PARAMETER;
    for (unsigned i = 0; i < channelCount(); ++i)
        if ((mask & (XLaccess(1) << i)) && !port->ch[i].active) return XL_ERR_PORT_IS_OFFLINE;
    const uint64_t wall = WallNs();
    for (unsigned k = 0; k < count; ++k) {
        Frame f;
        if (XLstatus st = FrameOfTxEvent(events[k], f)) return st;
        for (unsigned i = 0; i < channelCount(); ++i)
            if ((mask & (XLaccess(1) << i)) && f.isFd() && !m_rates[i].fd()) return XL_ERR_INVALID_FDFLAG_MODE20;
        if (XLstatus st = submitFromPort(h, mask, f, wall)) return st;
        *sent = k + 1;
    }
    return XL_SUCCESS;
}

XLstatus Sim::canReceive(XLportHandle h, XLcanRxEvent *event) {
    Port *port = findPort(h);
    if (!port) return XL_ERR_INVALID_PORT;
    if (!port->fd()) return XL_ERR_NOT_SUPPORTED;  // a version-3 port is read with xlReceive
    if (!event) return XL_ERR_WRONG_PARAMETER;
    if (port->rxFd.empty()) {
        port->notifyArmed = true;
        return XL_ERR_QUEUE_IS_EMPTY;
    }
    *event = port->rxFd.front();
    port->rxFd.pop_front();
    port->rxFdBytes -= std::min<size_t>(std::max<size_t>(event->size, XL_CANFD_RX_EVENT_HEADER_SIZE), sizeof *event);
    // Read empty: the next event sets the notification again.
    if (port->rxFd.empty()) port->notifyArmed = true;
    return XL_SUCCESS;
}

}  // namespace vxlsim
