// Opening and closing the one logical channel, and the status functions the
// interface requires but this library does not support.
#include <cstring>

#include "api/module.h"
#include "can/can_io.h"
#include "j2534.h"
#include "platform/callconv.h"
#include "trace/lock_guard.h"
#include "trace/trace_scope.h"
#include "transport/worker.h"

namespace {

constexpr uint32_t kChannelId = 1;
constexpr uint32_t kFlagExtendedAddressing = 0x00000080;
constexpr uint32_t kDisconnectPauseMs = 20;
// Bounded, so that a worker that cannot run any more (a process being torn
// down) never hangs the caller.
constexpr uint32_t kWorkerHandshakeMs = 2000;

uint32_t nullParameter(TraceScope &scope, const char *what) {
    scope.messagef(TL_ERROR, "%s is a NULL pointer", what);
    return ERR_NULL_PARAMETER;
}

void copyVersion(char *out, const char *version) { std::strcpy(out, version ? version : ""); }

}  // namespace

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruConnect(uint32_t ProtocolID, uint32_t Flags,
                                                        uint32_t *pChannelID) {
    PT_SCOPE(scope, "PassThruConnect()");
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "PassThruConnect ProtocolID=%08lX Flags=%08lX ",
                       static_cast<unsigned long>(ProtocolID), static_cast<unsigned long>(Flags));
    if (ProtocolID != ISO15765) {
        if (scope.isEnabled()) scope.message("PassThruConnect invalid ProtocolID", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    if (Flags & CAN_29BIT_ID) {
        if (scope.isEnabled()) scope.message("PassThruConnect invalid FLAGS_CAN_ID_29BIT", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    if (Flags & kFlagExtendedAddressing) {
        if (scope.isEnabled())
            scope.message("PassThruConnect invalid FLAGS_EXTENDED_ADDRESSING", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    if (!pChannelID) return nullParameter(scope, "PassThruConnect pChannelID");

    if (theModule.m_bThreadRun == 1) {
        if (scope.isEnabled())
            scope.message("PassThruConnect already connected, worker running", TL_INFO);
        *pChannelID = kChannelId;
        return STATUS_NOERROR;
    }

    m_workerStarted.reset();
    m_workerLeft.reset();
    theModule.m_bThreadRun = 1;
    int error = 0;
    if (!plat::StartThread(ThreadRead, nullptr, &theModule.m_hReadThread, &error)) {
        theModule.m_bThreadRun = 0;
        if (scope.isEnabled()) scope.messagef(TL_INFO, "CreateThread failed (%d)", error);
        return ERR_DEVICE_NOT_CONNECTED;
    }
    // Returning only once the worker runs keeps start and stop strictly
    // paired, also when the host disconnects at once.
    m_workerStarted.wait(kWorkerHandshakeMs);
    if (scope.isEnabled()) scope.message("PassThruConnect-CAN is active now!", TL_INFO);
    *pChannelID = kChannelId;
    return STATUS_NOERROR;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruDisconnect(uint32_t) {
    PT_SCOPE(scope, "PassThruDisconnect()");
    {
        LockGuard txGuard(theModule.m_txLock);
        theModule.m_ackPending.clear();
    }
    VectorCleanUp();
    theModule.m_bThreadRun = 0;
    plat::SleepMs(kDisconnectPauseMs);
    if (theModule.m_hReadThread.open) {
        // Waiting for the worker's own signal, never for the thread handle:
        // the thread's exit needs the loader lock, which the unload handler holds.
        const bool left = m_workerLeft.wait(kWorkerHandshakeMs);
        plat::CloseThread(&theModule.m_hReadThread, left);
    }
    return STATUS_NOERROR;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruReadVersion(char *pFirmwareVersion,
                                                            char *pDllVersion,
                                                            char *pApiVersion) {
    PT_SCOPE(scope, "PassThruReadVersion()");
    if (!pFirmwareVersion || !pDllVersion || !pApiVersion)
        return nullParameter(scope, "PassThruReadVersion version buffer");
    copyVersion(pFirmwareVersion, m_FirmwareVersion);
    copyVersion(pDllVersion, m_DllVersion);
    copyVersion(pApiVersion, m_ApiVersion);
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "pFirmwareVersion=%s pDllVersion=%s pApiVersion=%s",
                       pFirmwareVersion, pDllVersion, pApiVersion);
    return STATUS_NOERROR;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruGetLastError(char *) {
    PT_SCOPE(scope, "PassThruGetLastError()");
    return ERR_NOT_SUPPORTED;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruStartPeriodicMsg(uint32_t, PASSTHRU_MSG *,
                                                                 uint32_t *, uint32_t) {
    PT_SCOPE(scope, "PassThruStartPeriodicMsg()");
    return ERR_NOT_SUPPORTED;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruStopPeriodicMsg(uint32_t, uint32_t) {
    PT_SCOPE(scope, "PassThruStopPeriodicMsg()");
    return ERR_NOT_SUPPORTED;
}

extern "C" PT_DLL_EXPORT uint32_t PTAPI PassThruSetProgrammingVoltage(uint32_t, uint32_t) {
    PT_SCOPE(scope, "PassThruSetProgrammingVoltage()");
    return ERR_NOT_SUPPORTED;
}
