// The library's one module object: created by the load handler, destroyed by
// the unload handler, it owns everything the channel needs: the settings
// from morix.ini, the trace files, the CAN port, the ISO 15765 transport, the
// functional group and the worker. The exported functions only forward to it.
#ifndef PT_DIAG_SERVER_MODULE_H
#define PT_DIAG_SERVER_MODULE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "can/can_port.h"
#include "can/library_settings.h"
#include "fg/functional_group.h"
#include "fg/group_stage.h"
#include "j2534.h"
#include "trace/trace_file.h"
#include "trace/tracer.h"
#include "transport/filters.h"
#include "transport/transport.h"
#include "transport/worker.h"

class TraceScope;

// The section "MORIX_VECTOR" of morix.ini, read once at load: the settings
// both libraries read (TRACE, VIRTUAL, WAKEUP, cooperative, FIELDPROFILE,
// FCWAITMAX, RXQUEUE) and this library's own.
struct ModuleSettings : LibrarySettings {
    int32_t m_ExtAddressing = 0;  // ORVEXTADR
};

class CPassThruModule final : private WorkerJob {
public:
    // tracePath and pduPath: where "pt_vector.log" and "pdu_trace.log" go.
    CPassThruModule(const ModuleSettings &settings, const std::string &tracePath, const std::string &pduPath);
    ~CPassThruModule();
    CPassThruModule(const CPassThruModule &) = delete;
    CPassThruModule &operator=(const CPassThruModule &) = delete;

    uint32_t PassThruConnect(uint32_t ProtocolID, uint32_t Flags, uint32_t *pChannelID);
    uint32_t PassThruDisconnect(uint32_t ChannelID);
    uint32_t PassThruReadVersion(char *pFirmwareVersion, char *pDllVersion, char *pApiVersion);
    uint32_t PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void *pInput, void *pOutput);
    uint32_t PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
    uint32_t PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
    uint32_t PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType, const PASSTHRU_MSG *pMaskMsg,
                                    const PASSTHRU_MSG *pPatternMsg, const PASSTHRU_MSG *pFlowControlMsg,
                                    uint32_t *pFilterID) {
        return m_filters.PassThruStartMsgFilter(ChannelID, FilterType, pMaskMsg, pPatternMsg, pFlowControlMsg,
                                                pFilterID);
    }
    uint32_t PassThruStopMsgFilter(uint32_t ChannelID, uint32_t MsgID) {
        return m_filters.PassThruStopMsgFilter(ChannelID, MsgID);
    }

    // The unload handler's part: a channel the host left open is closed.
    // processEnding: the system has already ended every other thread.
    void closeLeftOpenChannel(bool processEnding);

private:
    std::unique_ptr<Tracer> createTracer();
    std::unique_ptr<TraceFile> createPduTrace(const std::string &pduPath);
    uint32_t applyParameter(const SCONFIG &param, TraceScope &scope);
    // One delivered message: its trace lines, then the functional group's verdict.
    uint32_t deliver(uint32_t ChannelID, PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t Timeout, uint32_t requested);
    bool setConfig(const SCONFIG_LIST *list, TraceScope &scope, uint32_t &status);
    // The maker's extended addressing: 0 off, 1 on, > 1 also ignores the
    // peer's STmin.
    void setExtAddressing(int32_t mode);
    // The host's message as the transport sends it; STATUS_NOERROR or the
    // status with an ERROR line when it cannot be sent.
    static uint32_t CheckMessage(const PASSTHRU_MSG &msg, TraceScope &scope);
    // The worker's cycle: the transport's transfers, on the beat.
    WorkerPace cycle(uint32_t &cycleCounter, TraceScope &scope) override;
    uint32_t sendMessage(PASSTHRU_MSG &msg, TraceScope &scope);

    const ModuleSettings m_settings;
    // In the order of their creation at load: the trace file, the tracer with
    // its levels, then the PDU trace (null when TRACE does not ask for it).
    std::unique_ptr<TraceFile> m_pTraceFile;
    std::unique_ptr<Tracer> m_tracer;
    std::unique_ptr<TraceFile> m_pPduTrace;

    XlDriverSession m_driverSession;  // the driver, opened while the port is
    CanPort m_port;
    // The maker's extended addressing mode, read by the filters.
    std::atomic<int32_t> m_extAddressing{0};
    MessageFilters m_filters;
    IsoTpTransport m_transport;
    COrvFunctionalGroup m_functionalGroup;
    GroupStage m_groupStage;
    TransportWorker m_worker;
};

// The module object between load and unload; null before, after, and in a
// process without the server module (where the library stays inert).
CPassThruModule *TheModule();

#endif
