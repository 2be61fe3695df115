// Texts the driver hands out for statuses and events, in the driver's own
// wording so logs taken with the simulation read like real ones.
#include <cinttypes>
#include <cstdio>
#include <cstring>

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

}  // namespace

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
