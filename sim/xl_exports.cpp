// The driver's entry points: each takes the simulation's lock, brings the
// simulated world up to the present, honours a refusal set up through the
// control interface, does its work and records itself in the call log.
#include "platform/callconv.h"
#define XL_API_DECL PT_DLL_EXPORT

#include <cstring>

#include "sim.h"

using vxlsim::Failure;
using vxlsim::Sim;
using vxlsim::TheSim;

namespace {

class Call {
public:
    Call(Sim &sim, const char *function, const char *text = nullptr) : m_sim(sim), m_lock(sim.mu) {
        std::strncpy(m_rec.function, function, sizeof(m_rec.function) - 1);
        if (text) std::strncpy(m_rec.text, text, sizeof(m_rec.text) - 1);
        m_rec.wall_ns = vxlsim::WallNs();
        m_sim.pump();
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    Call &arg(uint64_t v) {
        if (m_rec.nargs < VXLSIM_MAX_ARGS) m_rec.args[m_rec.nargs++] = v;
        return *this;
    }
    bool refused(Failure &f) { return m_sim.takeFailure(m_rec.function, f); }
    // The common shape of a call: a refusal set up by a test wins over the work.
    template <typename Work>
    XLstatus run(Work work) {
        Failure f;
        return done(refused(f) ? f.status : work());
    }
    XLstatus done(XLstatus st) {
        m_rec.status = st;
        m_sim.log(m_rec);
        return st;
    }
    void quiet() { m_log = false; }
    XLstatus doneMaybeQuiet(XLstatus st) {
        if (!m_log) return st;
        return done(st);
    }

private:
    Sim &m_sim;
    std::lock_guard<std::mutex> m_lock;
    vxlsim_call m_rec{};
    bool m_log = true;
};

uint64_t U(int64_t v) { return static_cast<uint64_t>(v); }

}  // namespace

extern "C" {

XL_API_DECL XLstatus PT_STDCALL xlOpenDriver(void) {
    Sim &s = TheSim();
    s.waitForBridgeClients();
    Call call(s, "xlOpenDriver");
    return call.run([&] { return s.openDriver(); });
}

XL_API_DECL XLstatus PT_STDCALL xlCloseDriver(void) {
    Sim &s = TheSim();
    Call call(s, "xlCloseDriver");
    return call.run([&] { return s.closeDriver(); });
}

XL_API_DECL XLstatus PT_STDCALL xlGetDriverConfig(XLdriverConfig *pDriverConfig) {
    Sim &s = TheSim();
    Call call(s, "xlGetDriverConfig");
    return call.run([&] { return s.getDriverConfig(pDriverConfig); });
}

XL_API_DECL XLstatus PT_STDCALL xlGetApplConfig(char *appName, unsigned int appChannel, unsigned int *pHwType,
                                                unsigned int *pHwIndex, unsigned int *pHwChannel,
                                                unsigned int busType) {
    Sim &s = TheSim();
    Call call(s, "xlGetApplConfig", appName);
    call.arg(appChannel).arg(busType);
    Failure f;
    const XLstatus st =
        call.refused(f) ? f.status : s.getApplConfig(appName, appChannel, pHwType, pHwIndex, pHwChannel, busType);
    if (st == XL_SUCCESS) call.arg(*pHwType).arg(*pHwIndex).arg(*pHwChannel);
    return call.done(st);
}

XL_API_DECL XLstatus PT_STDCALL xlSetApplConfig(char *appName, unsigned int appChannel, unsigned int hwType,
                                                unsigned int hwIndex, unsigned int hwChannel, unsigned int busType) {
    Sim &s = TheSim();
    Call call(s, "xlSetApplConfig", appName);
    call.arg(appChannel).arg(hwType).arg(hwIndex).arg(hwChannel).arg(busType);
    return call.run([&] { return s.setApplConfig(appName, appChannel, hwType, hwIndex, hwChannel, busType); });
}

XL_API_DECL XLaccess PT_STDCALL xlGetChannelMask(int hwType, int hwIndex, int hwChannel) {
    Sim &s = TheSim();
    Call call(s, "xlGetChannelMask");
    call.arg(U(hwType)).arg(U(hwIndex)).arg(U(hwChannel));
    Failure f;
    const XLaccess mask = call.refused(f) ? 0 : s.channelMask(hwType, hwIndex, hwChannel);
    call.arg(mask);
    call.done(mask != 0 ? 1 : 0);
    return mask;
}

XL_API_DECL XLstatus PT_STDCALL xlOpenPort(XLportHandle *pPortHandle, char *userName, XLaccess accessMask,
                                           XLaccess *pPermissionMask, unsigned int rxQueueSize,
                                           unsigned int xlInterfaceVersion, unsigned int busType) {
    Sim &s = TheSim();
    Call call(s, "xlOpenPort", userName);
    call.arg(accessMask)
        .arg(pPermissionMask ? *pPermissionMask : 0)
        .arg(rxQueueSize)
        .arg(xlInterfaceVersion)
        .arg(busType);
    Failure f;
    const bool refused = call.refused(f);
    XLstatus st;
    if (refused && f.mode == VXLSIM_MODE_INVALID_HANDLE) {
        st = XL_SUCCESS;
        if (pPortHandle) *pPortHandle = XL_INVALID_PORTHANDLE;
        if (pPermissionMask) *pPermissionMask = 0;
    } else if (refused && f.mode == VXLSIM_MODE_NO_INIT_ACCESS) {
        XLaccess none = 0;
        st = s.openPort(pPortHandle, userName, accessMask, &none, rxQueueSize, xlInterfaceVersion, busType);
        if (pPermissionMask) *pPermissionMask = 0;
    } else if (refused) {
        st = f.status;
        if (pPortHandle) *pPortHandle = XL_INVALID_PORTHANDLE;
    } else {
        st = s.openPort(pPortHandle, userName, accessMask, pPermissionMask, rxQueueSize, xlInterfaceVersion, busType);
    }
    call.arg(pPortHandle ? U(*pPortHandle) : U(-1)).arg(pPermissionMask ? *pPermissionMask : 0);
    return call.done(st);
}

XL_API_DECL XLstatus PT_STDCALL xlClosePort(XLportHandle portHandle) {
    Sim &s = TheSim();
    Call call(s, "xlClosePort");
    call.arg(U(portHandle));
    return call.run([&] { return s.closePort(portHandle); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanSetChannelBitrate(XLportHandle portHandle, XLaccess accessMask, XLulong bitrate) {
    Sim &s = TheSim();
    Call call(s, "xlCanSetChannelBitrate");
    call.arg(U(portHandle)).arg(accessMask).arg(bitrate);
    return call.run([&] { return s.setBitrate(portHandle, accessMask, bitrate); });
}

XL_API_DECL XLstatus PT_STDCALL xlActivateChannel(XLportHandle portHandle, XLaccess accessMask, unsigned int busType,
                                                  unsigned int flags) {
    Sim &s = TheSim();
    Call call(s, "xlActivateChannel");
    call.arg(U(portHandle)).arg(accessMask).arg(busType).arg(flags);
    return call.run([&] { return s.activate(portHandle, accessMask, busType, flags); });
}

XL_API_DECL XLstatus PT_STDCALL xlDeactivateChannel(XLportHandle portHandle, XLaccess accessMask) {
    Sim &s = TheSim();
    Call call(s, "xlDeactivateChannel");
    call.arg(U(portHandle)).arg(accessMask);
    return call.run([&] { return s.deactivate(portHandle, accessMask); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanAddAcceptanceRange(XLportHandle portHandle, XLaccess accessMask, XLulong firstId,
                                                        XLulong lastId) {
    Sim &s = TheSim();
    Call call(s, "xlCanAddAcceptanceRange");
    call.arg(U(portHandle)).arg(accessMask).arg(firstId).arg(lastId);
    return call.run([&] { return s.acceptanceRange(portHandle, accessMask, firstId, lastId, true); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanRemoveAcceptanceRange(XLportHandle portHandle, XLaccess accessMask,
                                                           XLulong firstId, XLulong lastId) {
    Sim &s = TheSim();
    Call call(s, "xlCanRemoveAcceptanceRange");
    call.arg(U(portHandle)).arg(accessMask).arg(firstId).arg(lastId);
    return call.run([&] { return s.acceptanceRange(portHandle, accessMask, firstId, lastId, false); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanSetChannelAcceptance(XLportHandle portHandle, XLaccess accessMask, XLulong code,
                                                          XLulong mask, unsigned int idRange) {
    Sim &s = TheSim();
    Call call(s, "xlCanSetChannelAcceptance");
    call.arg(U(portHandle)).arg(accessMask).arg(code).arg(mask).arg(idRange);
    return call.run([&] { return s.setAcceptance(portHandle, accessMask, code, mask, idRange); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanTransmit(XLportHandle portHandle, XLaccess accessMask, unsigned int *pEventCount,
                                              void *pEvents) {
    Sim &s = TheSim();
    Call call(s, "xlCanTransmit");
    call.arg(U(portHandle)).arg(accessMask).arg(pEventCount ? *pEventCount : 0);
    Failure f;
    XLstatus st;
    if (call.refused(f)) {
        st = f.status;
        if (pEventCount) *pEventCount = 0;
    } else {
        st = s.transmit(portHandle, accessMask, pEventCount, pEvents);
    }
    call.arg(pEventCount ? *pEventCount : 0);
    return call.done(st);
}

XL_API_DECL XLstatus PT_STDCALL xlReceive(XLportHandle portHandle, unsigned int *pEventCount, XLevent *pEvents) {
    Sim &s = TheSim();
    Call call(s, "xlReceive");
    call.arg(U(portHandle));
    Failure f;
    XLstatus st;
    if (call.refused(f)) {
        st = f.status;
        if (pEventCount) *pEventCount = 0;
    } else {
        st = s.receive(portHandle, pEventCount, pEvents);
    }
    if (st == XL_ERR_QUEUE_IS_EMPTY) call.quiet();
    call.arg(pEventCount ? *pEventCount : 0);
    return call.doneMaybeQuiet(st);
}

XL_API_DECL XLstatus PT_STDCALL xlSetNotification(XLportHandle portHandle, XLhandle *pHandle, int queueLevel) {
    Sim &s = TheSim();
    Call call(s, "xlSetNotification");
    call.arg(U(portHandle)).arg(U(queueLevel));
    return call.run([&] { return s.setNotification(portHandle, pHandle, queueLevel); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanFdSetConfiguration(XLportHandle portHandle, XLaccess accessMask,
                                                        XLcanFdConf *pCanFdConf) {
    Sim &s = TheSim();
    Call call(s, "xlCanFdSetConfiguration");
    call.arg(U(portHandle)).arg(accessMask);
    if (pCanFdConf) call.arg(pCanFdConf->arbitrationBitRate).arg(pCanFdConf->dataBitRate).arg(pCanFdConf->options);
    return call.run([&] { return s.canFdSetConfiguration(portHandle, accessMask, pCanFdConf); });
}

XL_API_DECL XLstatus PT_STDCALL xlCanTransmitEx(XLportHandle portHandle, XLaccess accessMask, unsigned int msgCnt,
                                                unsigned int *pMsgCntSent, XLcanTxEvent *pXlCanTxEvt) {
    Sim &s = TheSim();
    Call call(s, "xlCanTransmitEx");
    call.arg(U(portHandle)).arg(accessMask).arg(msgCnt);
    Failure f;
    XLstatus st;
    if (call.refused(f)) {
        st = f.status;
        if (pMsgCntSent) *pMsgCntSent = 0;
    } else {
        st = s.transmitEx(portHandle, accessMask, msgCnt, pMsgCntSent, pXlCanTxEvt);
    }
    call.arg(pMsgCntSent ? *pMsgCntSent : 0);
    return call.done(st);
}

XL_API_DECL XLstatus PT_STDCALL xlCanReceive(XLportHandle portHandle, XLcanRxEvent *pXlCanRxEvt) {
    Sim &s = TheSim();
    Call call(s, "xlCanReceive");
    call.arg(U(portHandle));
    Failure f;
    const XLstatus st = call.refused(f) ? f.status : s.canReceive(portHandle, pXlCanRxEvt);
    if (st == XL_ERR_QUEUE_IS_EMPTY) call.quiet();
    return call.doneMaybeQuiet(st);
}

XL_API_DECL char *PT_STDCALL xlCanGetEventString(XLcanRxEvent *pEv) {
    // Per thread, like xlGetEventString's; 64 data bytes take 128 characters.
    thread_local char buf[256];
    if (!pEv) {
        std::strcpy(buf, "NULL event");
        return buf;
    }
    vxlsim::FormatFdEvent(*pEv, buf, sizeof(buf));
    return buf;
}

XL_API_DECL char *PT_STDCALL xlGetEventString(XLevent *pEvent) {
    // Per thread, so a caller's text stays valid while other threads log.
    thread_local char buf[160];
    if (!pEvent) {
        std::strcpy(buf, "NULL event");
        return buf;
    }
    vxlsim::FormatEvent(*pEvent, buf, sizeof(buf));
    return buf;
}

XL_API_DECL char *PT_STDCALL xlGetErrorString(XLstatus err) {
    // The names are literals; the driver's signature just is not const.
    return const_cast<char *>(vxlsim::ErrorName(err));
}

}  // extern "C"
