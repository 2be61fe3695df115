// PassThruIoctl: bit rate, transport and functional-group settings, battery
// voltage and wake-up. Every accepted setting lands in the port, the
// transport or the functional group; nothing is kept here.
#include <cstdint>
#include <cstring>

#include "diag_server/module.h"
#include "trace/trace_scope.h"
#include "transport/null_parameter.h"

namespace {

// Standard parameters 0x10001..0x1000B of the TCP/IP pass-thru variants.
constexpr uint32_t PT_CFG_TCPIP_FIRST = 0x00010001;
constexpr uint32_t PT_CFG_TCPIP_LAST = 0x00010004;
constexpr uint32_t PT_CFG_TCPIP_ADDRTBL_5 = 0x00010005;
constexpr uint32_t PT_CFG_TCPIP_ADDRTBL_6 = 0x00010006;
constexpr uint32_t PT_CFG_TCPIP_ADDRTBL_8 = 0x00010008;
constexpr uint32_t PT_CFG_TCPIP_ADDRTBL_A = 0x0001000A;
constexpr uint32_t PT_CFG_TCPIP_ADDRTBL_B = 0x0001000B;

constexpr uint32_t kBatteryMillivolts = 12000;  // no measurement on a Vector interface
constexpr uint32_t kQelSpecialValue = 10;
constexpr char kQelSpecialName[] = "zyn_pt_vector_qel";

// The host's P2 values include 100 ms of its own reserve, which is not waited here.
constexpr uint32_t kP2HostReserveMs = 100;

int32_t P2WithoutReserve(uint32_t value) {
    return static_cast<int32_t>(value >= kP2HostReserveMs ? value - kP2HostReserveMs : value);
}

// Ioctl's null pointers also name the status in their line.
constexpr char kNullTail[] = " -> ERR_NULL_PARAMETER";

void ApplyP2Max(COrvFunctionalGroup &group, uint32_t value, TraceScope &scope) {
    group.setTimeoutp2Max(P2WithoutReserve(value));
    scope.messagef(TL_INFO, "Setting 'PT_CFG_ORV_P2MAX' to 0x%X ", static_cast<unsigned>(value));
}

void ApplyP2Star(COrvFunctionalGroup &group, uint32_t value, TraceScope &scope) {
    scope.messagef(TL_INFO, "Setting 'PT_CFG_ORV_P2EXTTIMEOUT7F78' to 0x%X ", static_cast<unsigned>(value));
    group.setTimeoutp2MaxRespPending(P2WithoutReserve(value));
}

// Applies one SET_CONFIG parameter. Anything but a failing DATA_RATE succeeds,
// unknown parameters included.
}  // namespace

uint32_t CPassThruModule::applyParameter(const SCONFIG &param, TraceScope &scope) {
    const uint32_t value = param.Value;
    switch (param.Parameter) {
        case DATA_RATE: {
            scope.messagef(TL_INFO, "Set baudrate of interface to %u Baud...", static_cast<unsigned>(value));
            const uint32_t result = m_port.reopen(value);
            if (result != STATUS_NOERROR) {
                scope.message("-->Error in vectorInitDriver: ", TL_INFO);
                return result;
            }
            if (m_settings.profile.on) m_filters.reopenAcceptance();
            return result;
        }
        case ISO15765_BS:
            scope.message("ISO15765_BS", TL_INFO);
            scope.messagef(TL_INFO, "Set ISO15765_BS %u byte...", static_cast<unsigned>(value));
            {
                IsoTpOptions options = m_transport.options();
                options.blockSize = static_cast<int32_t>(value);
                m_transport.setOptions(options);
            }
            break;
        case PT_CFG_ORV_ADDRTBL_CANID_TESTER:
            scope.messagef(TL_INFO, "ignored Setting 'PT_CFG_ORV_ADDRTBL_CANID_TESTER' to 0x%X",
                           static_cast<unsigned>(value));
            break;
        case PT_CFG_TCPIP_ADDRTBL_5:
        case PT_CFG_TCPIP_ADDRTBL_6:
        case PT_CFG_TCPIP_ADDRTBL_8:
        case PT_CFG_TCPIP_ADDRTBL_A:
        case PT_CFG_TCPIP_ADDRTBL_B: scope.message("Ignored TCPIP address table parameter.", TL_INFO); break;
        case CP_P2_TIMEOUT:
            scope.messagef(TL_INFO, "Would set 'CP_P2_TIMEOUT' to 0x%X", static_cast<unsigned>(value & 0xFFFF));
            break;
        case PT_CFG_ORV_EXTADDRESSING:
            scope.message("Setting ORV Ext adressing to on!!!", TL_INFO);
            setExtAddressing(1);
            break;
        case CANECU_CLASS:
            scope.messagef(TL_INFO, "Setting 'CANECU_CLASS' to 0x%X", static_cast<unsigned>(value));
            m_functionalGroup.setResponseCanId(static_cast<int32_t>(value));
            break;
        case PT_CFG_ORV_P2EXTTIMEOUT7F78:
            ApplyP2Star(m_functionalGroup, value, scope);
            break;
        case PT_CFG_ORV_P2MAX: ApplyP2Max(m_functionalGroup, value, scope); break;
        default:
            if (param.Parameter >= PT_CFG_TCPIP_FIRST && param.Parameter <= PT_CFG_TCPIP_LAST) {
                scope.message("Ignored TCPIP parameter.", TL_INFO);
            } else {
                scope.messagef(TL_INFO, "Unsupported config. parameter ID %08x (value: %08x) ignored.",
                               static_cast<unsigned>(param.Parameter), static_cast<unsigned>(value));
            }
            break;
    }
    return STATUS_NOERROR;
}

// Applies the list in order. Returns false when a DATA_RATE failed: status
// then holds the driver's result and the call ends at once.
bool CPassThruModule::setConfig(const SCONFIG_LIST *list, TraceScope &scope, uint32_t &status) {
    scope.message("SET_CONFIG", TL_INFO);
    if (list == nullptr) {
        status = NullParameter(scope, "pInput", kNullTail);
        return true;
    }
    const int32_t count = static_cast<int32_t>(list->NumOfParams);
    scope.messagef(TL_INFO, "NumOfParams %d", static_cast<int>(count));
    if (count > 0 && list->ConfigPtr == nullptr) {
        status = NullParameter(scope, "ConfigPtr", kNullTail);
        return true;
    }
    for (int32_t i = 0; i < count; ++i) {
        const SCONFIG &param = list->ConfigPtr[i];
        scope.messagef(TL_INFO, "%d:Parameter %08x Value %08x(%d)", static_cast<int>(i),
                       static_cast<unsigned>(param.Parameter), static_cast<unsigned>(param.Value),
                       static_cast<int>(static_cast<int32_t>(param.Value)));
        uint32_t result = applyParameter(param, scope);
        if (result != STATUS_NOERROR) {
            status = result;
            return false;
        }
        status = STATUS_NOERROR;
    }
    return true;
}

namespace {

uint32_t ReadBatteryVoltage(void *pOutput, TraceScope &scope) {
    scope.message("PT_IOCTLID_READ_VBATT 12V (constant)", TL_INFO);
    if (pOutput == nullptr) return NullParameter(scope, "pOutput", kNullTail);
    *static_cast<uint32_t *>(pOutput) = kBatteryMillivolts;
    return STATUS_NOERROR;
}

uint32_t FillQelSpecial(void *pOutput, TraceScope &scope) {
    auto *record = static_cast<PT_QEL_SPECIAL *>(pOutput);
    if (record == nullptr) return NullParameter(scope, "pOutput", kNullTail);
    if (record->Buffer == nullptr) return NullParameter(scope, "pOutput->Buffer", kNullTail);
    record->Value = kQelSpecialValue;
    std::memcpy(record->Buffer, kQelSpecialName, sizeof(kQelSpecialName));
    scope.messagef(TL_INFO, "got QEL special ctrlID setting %d LL's %s", static_cast<int>(record->Value),
                   record->Buffer);
    return STATUS_NOERROR;
}

}  // namespace

uint32_t CPassThruModule::PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput) {
    PT_SCOPE(scope, "PassThruIoctl()");
    scope.messagef(TL_INFO, "ChannelID=%08x IoctlID=%08x", static_cast<unsigned>(ChannelID),
                   static_cast<unsigned>(IoctlID));
    uint32_t status = ERR_NOT_SUPPORTED;

    switch (IoctlID) {
        case SET_CONFIG:
            if (!setConfig(static_cast<const SCONFIG_LIST *>(pInput), scope, status)) return status;
            break;
        case READ_VBATT: status = ReadBatteryVoltage(pOutput, scope); break;
        case PT_IOCTLID_BUFFER_SIZE:
            scope.message("Contol for buffer size ignored", TL_INFO);
            status = STATUS_NOERROR;
            break;
        case PT_IOCTLID_WAKEUP:
            m_port.VectorSendWakeUp();
            status = STATUS_NOERROR;
            break;
        case PT_IOCTLID_TIMEOUT_OFFSET:
            // The offset travels in the pointer argument itself.
            m_functionalGroup.setTimeoutOffset(static_cast<int32_t>(reinterpret_cast<intptr_t>(pInput)));
            scope.messagef(TL_INFO, "m_TimeoutOffset set to %d", static_cast<int>(m_functionalGroup.timeoutOffset()));
            status = STATUS_NOERROR;
            break;
        case PT_IOCTLID_QEL_SPECIAL: status = FillQelSpecial(pOutput, scope); break;
        default:
            scope.messagef(TL_INFO, "Warning PassThruIoctl unknown %d(0x%X)!", static_cast<int>(IoctlID),
                           static_cast<unsigned>(IoctlID));
            break;
    }

    scope.messagef(TL_INFO, "Return Status IoctlID=%08x", static_cast<unsigned>(status));
    return status;
}
