// Texts the driver hands out for statuses and events, in the driver's own
// wording so logs taken with the simulation read like real ones.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "can/can_frame.h"
#include "sim.h"

namespace vxlsim {

const char *ErrorName(XLstatus status) {
    switch (status) {
        case XL_SUCCESS: return "XL_SUCCESS";
        case XL_PENDING: return "XL_PENDING";
        case XL_ERR_QUEUE_IS_EMPTY: return "XL_ERR_QUEUE_IS_EMPTY";
        case XL_ERR_QUEUE_IS_FULL: return "XL_ERR_QUEUE_IS_FULL";
        case XL_ERR_TX_NOT_POSSIBLE: return "XL_ERR_TX_NOT_POSSIBLE";
        case XL_ERR_WRONG_PARAMETER: return "XL_ERR_WRONG_PARAMETER";
        case XL_ERR_INVALID_ACCESS: return "XL_ERR_INVALID_ACCESS";
        case XL_ERR_PORT_IS_OFFLINE: return "XL_ERR_PORT_IS_OFFLINE";
        case XL_ERR_INVALID_PORT: return "XL_ERR_INVALID_PORT";
        case XL_ERR_HW_NOT_PRESENT: return "XL_ERR_HW_NOT_PRESENT";
        case XL_ERR_NOT_FOUND: return "XL_ERR_NOT_FOUND";
        case XL_ERR_INIT_ACCESS_MISSING: return "XL_ERR_INIT_ACCESS_MISSING";
        case XL_ERR_CANNOT_OPEN_DRIVER: return "XL_ERR_CANNOT_OPEN_DRIVER";
        case XL_ERR_WRONG_BUS_TYPE: return "XL_ERR_WRONG_BUS_TYPE";
        case XL_ERR_DLL_NOT_FOUND: return "XL_ERR_DLL_NOT_FOUND";
        case XL_ERR_INVALID_CHANNEL_MASK: return "XL_ERR_INVALID_CHANNEL_MASK";
        case XL_ERR_NOT_SUPPORTED: return "XL_ERR_NOT_SUPPORTED";
        case XL_ERR_INVALID_TAG: return "XL_ERR_INVALID_TAG";
        case XL_ERR_RESERVED_NOT_ZERO: return "XL_ERR_RESERVED_NOT_ZERO";
        case XL_ERR_INVALID_SIZE: return "XL_ERR_INVALID_SIZE";
        case XL_ERR_INVALID_DLC: return "XL_ERR_INVALID_DLC";
        case XL_ERR_INVALID_CANID: return "XL_ERR_INVALID_CANID";
        case XL_ERR_INVALID_FDFLAG_MODE20: return "XL_ERR_INVALID_FDFLAG_MODE20";
        case XL_ERR_EDL_RTR: return "XL_ERR_EDL_RTR";
        case XL_ERR_EDL_NOT_SET: return "XL_ERR_EDL_NOT_SET";
        case XL_ERR_UNKNOWN_FLAG: return "XL_ERR_UNKNOWN_FLAG";
        case XL_ERROR: return "XL_ERROR";
        default: return "unknown error";
    }
}

namespace {

const char *BusStatusName(uint8_t s) {
    switch (s) {
        case XL_CHIPSTAT_BUSOFF: return "BUSOFF";
        case XL_CHIPSTAT_ERROR_PASSIVE: return "PASSIVE";
        case XL_CHIPSTAT_ERROR_WARNING: return "WARNING";
        case XL_CHIPSTAT_ERROR_ACTIVE: return "ACTIVE";
        default: return "UNKNOWN";
    }
}

const char *TagName(uint8_t tag) {
    switch (tag) {
        case XL_NO_COMMAND: return "NO_COMMAND";
        case XL_TRANSCEIVER: return "TRANSCEIVER";
        case XL_TIMER: return "TIMER";
        case XL_SYNC_PULSE: return "SYNC_PULSE";
        case XL_APPLICATION_NOTIFICATION: return "APPLICATION_NOTIFICATION";
        default: return nullptr;
    }
}

const char *ErrorCodeName(uint8_t code) {
    static const char *const kNames[] = {"NONE",      "BIT_ERROR", "FORM_ERROR", "STUFF_ERROR", "OTHER_ERROR",
                                         "CRC_ERROR", "ACK_ERROR", "NACK_ERROR", "OVLD_ERROR",  "EXCPT_ERROR"};
    return code < sizeof kNames / sizeof kNames[0] ? kNames[code] : "UNKNOWN";
}

}  // namespace

// Version-4 events in the manner of the classic ones: the tag's name, the
// channel and time stamp (ns), then what the event carries; frame flags
// follow the data.
void FormatFdEvent(const XLcanRxEvent &ev, char *buf, size_t size) {
    const unsigned c = ev.channelIndex;
    const unsigned long long t = static_cast<unsigned long long>(ev.timeStampSync);
    if (ev.tag == XL_CAN_EV_TAG_RX_OK || ev.tag == XL_CAN_EV_TAG_TX_OK) {
        const XL_CAN_EV_RX_MSG &m = ev.tagData.canRxOkMsg;
        const bool fd = (m.msgFlags & XL_CAN_RXMSG_FLAG_EDL) != 0;
        const unsigned n = (m.msgFlags & XL_CAN_RXMSG_FLAG_RTR) ? 0
                           : fd                                  ? CanFdDlcToLength(m.dlc)
                                                                 : (m.dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : m.dlc);
        char hex[2 * XL_CAN_MAX_DATA_LEN + 1] = {};
        for (unsigned i = 0; i < n; ++i) std::snprintf(hex + 2 * i, 3, "%02X", m.data[i]);
        char marks[64] = {};
        static const struct {
            uint32_t flag;
            const char *text;
        } kMarks[] = {{XL_CAN_RXMSG_FLAG_EDL, " EDL"},       {XL_CAN_RXMSG_FLAG_BRS, " BRS"},
                      {XL_CAN_RXMSG_FLAG_ESI, " ESI"},       {XL_CAN_RXMSG_FLAG_RTR, " RTR"},
                      {XL_CAN_RXMSG_FLAG_EF, " EF"},         {XL_CAN_RXMSG_FLAG_WAKEUP, " WAKEUP"},
                      {XL_CAN_RXMSG_FLAG_ARB_LOST, " ARB_LOST"}, {XL_CAN_RXMSG_FLAG_TE, " TE"}};
        for (const auto &mk : kMarks)
            if (m.msgFlags & mk.flag) std::strncat(marks, mk.text, sizeof(marks) - std::strlen(marks) - 1);
        std::snprintf(buf, size, "%s c=%u, t=%llu, id=%04X dlc=%u, l=%u, %s%s%s",
                      ev.tag == XL_CAN_EV_TAG_RX_OK ? "RX_OK" : "TX_OK", c, t, static_cast<unsigned>(m.canId),
                      static_cast<unsigned>(m.dlc), n, hex, marks,
                      (ev.flagsChip & XL_CAN_QUEUE_OVERFLOW) ? " OVERFLOW" : "");
        return;
    }
    if (ev.tag == XL_CAN_EV_TAG_CHIP_STATE) {
        const XL_CAN_EV_CHIP_STATE &s = ev.tagData.canChipState;
        std::snprintf(buf, size, "CHIP_STATE c=%u, t=%llu, busStatus=%7s, txErrCnt=%u, rxErrCnt=%u", c, t,
                      BusStatusName(s.busStatus), static_cast<unsigned>(s.txErrorCounter),
                      static_cast<unsigned>(s.rxErrorCounter));
        return;
    }
    if (ev.tag == XL_CAN_EV_TAG_RX_ERROR || ev.tag == XL_CAN_EV_TAG_TX_ERROR) {
        const uint8_t code = ev.tagData.canError.errorCode;
        std::snprintf(buf, size, "%s c=%u, t=%llu, errorCode=%u %s",
                      ev.tag == XL_CAN_EV_TAG_RX_ERROR ? "RX_ERROR" : "TX_ERROR", c, t, static_cast<unsigned>(code),
                      ErrorCodeName(code));
        return;
    }
    std::snprintf(buf, size, "UNKNOWN_EVENT(0x%04X) c=%u, t=%llu", static_cast<unsigned>(ev.tag), c, t);
}

void FormatEvent(const XLevent &ev, char *buf, size_t size) {
    const unsigned c = ev.chanIndex;
    const unsigned long long t = static_cast<unsigned long long>(ev.timeStamp);
    if (ev.tag == XL_RECEIVE_MSG || ev.tag == XL_TRANSMIT_MSG) {
        const s_xl_can_msg &m = ev.tagData.msg;
        char hex[17] = {};
        const unsigned n = m.dlc > 8 ? 8u : m.dlc;
        if (!(m.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME))
            for (unsigned i = 0; i < n; ++i) std::snprintf(hex + 2 * i, 3, "%02X", m.data[i]);
        // Flag words follow the data, as the driver prints its TX mark.
        char marks[48] = {};
        static const struct {
            uint16_t flag;
            const char *text;
        } kMarks[] = {{XL_CAN_MSG_FLAG_ERROR_FRAME, " ERROR_FRAME"},
                      {XL_CAN_MSG_FLAG_OVERRUN, " OVERRUN"},
                      {XL_CAN_MSG_FLAG_REMOTE_FRAME, " RTR"},
                      {XL_CAN_MSG_FLAG_WAKEUP, " WAKEUP"},
                      {XL_CAN_MSG_FLAG_NERR, " NERR"},
                      {XL_CAN_MSG_FLAG_TX_COMPLETED, " TX"}};
        for (const auto &mk : kMarks)
            if (m.flags & mk.flag) std::strncat(marks, mk.text, sizeof(marks) - std::strlen(marks) - 1);
        std::snprintf(buf, size, "%s c=%u, t=%llu, id=%04X l=%u, %s%s tid=%02X",
                      ev.tag == XL_RECEIVE_MSG ? "RX_MSG" : "TX_MSG", c, t, static_cast<unsigned>(m.id),
                      static_cast<unsigned>(m.dlc), hex, marks, static_cast<unsigned>(ev.transId & 0xFF));
        return;
    }
    if (ev.tag == XL_CHIP_STATE) {
        const s_xl_chip_state &s = ev.tagData.chipState;
        std::snprintf(buf, size, "CHIP_STATE c=%u, t=%llu, busStatus=%7s, txErrCnt=%u, rxErrCnt=%u", c, t,
                      BusStatusName(s.busStatus), static_cast<unsigned>(s.txErrorCounter),
                      static_cast<unsigned>(s.rxErrorCounter));
        return;
    }
    if (const char *name = TagName(ev.tag)) {
        std::snprintf(buf, size, "%s c=%u, t=%llu", name, c, t);
        return;
    }
    std::snprintf(buf, size, "UNKNOWN_EVENT(0x%02X) c=%u, t=%llu", static_cast<unsigned>(ev.tag), c, t);
}

}  // namespace vxlsim
