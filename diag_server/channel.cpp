// Opening and closing the one logical channel, and the versions.
#include <cstring>

#include "diag_server/module.h"
#include "trace/trace_scope.h"
#include "transport/null_parameter.h"

namespace {

constexpr uint32_t kChannelId = 1;
constexpr uint32_t kFlagExtendedAddressing = 0x00000080;
constexpr char kFirmwareVersion[] = "00.02";
constexpr char kDllVersion[] = "00.16";
constexpr char kApiVersion[] = "00.06";

}  // namespace

uint32_t CPassThruModule::PassThruConnect(uint32_t ProtocolID, uint32_t Flags, uint32_t *pChannelID) {
    PT_SCOPE(scope, "PassThruConnect()");
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "PassThruConnect ProtocolID=%08lX Flags=%08lX ", static_cast<unsigned long>(ProtocolID),
                       static_cast<unsigned long>(Flags));
    if (ProtocolID != ISO15765) {
        if (scope.isEnabled()) scope.message("PassThruConnect invalid ProtocolID", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    if (Flags & CAN_29BIT_ID) {
        if (scope.isEnabled()) scope.message("PassThruConnect invalid FLAGS_CAN_ID_29BIT", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    if (Flags & kFlagExtendedAddressing) {
        if (scope.isEnabled()) scope.message("PassThruConnect invalid FLAGS_EXTENDED_ADDRESSING", TL_INFO);
        return ERR_NOT_SUPPORTED;
    }
    if (!pChannelID) return NullParameter(scope, "PassThruConnect pChannelID");

    int error = 0;
    switch (m_worker.start(&error)) {
        case TransportWorker::StartResult::AlreadyRunning:
            if (scope.isEnabled()) scope.message("PassThruConnect already connected, worker running", TL_INFO);
            *pChannelID = kChannelId;
            return STATUS_NOERROR;
        case TransportWorker::StartResult::Failed:
            if (scope.isEnabled()) scope.messagef(TL_INFO, "CreateThread failed (%d)", error);
            return ERR_DEVICE_NOT_CONNECTED;
        case TransportWorker::StartResult::Started: break;
    }
    if (scope.isEnabled()) scope.message("PassThruConnect-CAN is active now!", TL_INFO);
    *pChannelID = kChannelId;
    return STATUS_NOERROR;
}

uint32_t CPassThruModule::PassThruDisconnect(uint32_t) {
    PT_SCOPE(scope, "PassThruDisconnect()");
    m_transport.forgetConfirmations();
    m_port.VectorCleanUp();
    m_worker.stop();
    if (m_settings.profile.on) m_filters.removeAll();
    return STATUS_NOERROR;
}

uint32_t CPassThruModule::PassThruReadVersion(char *pFirmwareVersion, char *pDllVersion, char *pApiVersion) {
    PT_SCOPE(scope, "PassThruReadVersion()");
    if (!pFirmwareVersion || !pDllVersion || !pApiVersion)
        return NullParameter(scope, "PassThruReadVersion version buffer");
    std::strcpy(pFirmwareVersion, kFirmwareVersion);
    std::strcpy(pDllVersion, kDllVersion);
    std::strcpy(pApiVersion, kApiVersion);
    if (scope.isEnabled())
        scope.messagef(TL_INFO, "pFirmwareVersion=%s pDllVersion=%s pApiVersion=%s", pFirmwareVersion, pDllVersion,
                       pApiVersion);
    return STATUS_NOERROR;
}
