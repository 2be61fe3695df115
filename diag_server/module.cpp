#include "diag_server/module.h"

#include "trace/trace_scope.h"

namespace {

void SetUpTraceLevels(Tracer &tracer, int32_t verbosity) {
    PT_SCOPE(scope, "DLLMain(..) :");
    tracer.addCategories(kTraceCategory);
    if (verbosity == 0) {
        tracer.addLevels(TL_FATALERROR);
        AttachTraceLevel("FATALERROR", TL_FATALERROR, &tracer);
        return;
    }
    tracer.addLevels(TL_FATALERROR | TL_ERROR | TL_INFO);
    AttachTraceLevel("FATALERROR", TL_FATALERROR, &tracer);
    AttachTraceLevel("ERROR", TL_ERROR, &tracer);
    if (verbosity >= 2) {
        AttachTraceLevel("WARNING", TL_WARNING, &tracer);
        AttachTraceLevel("INFO", TL_INFO, &tracer);
        AttachTraceLevel("MODULE", TL_MODULE, &tracer);
        AttachTraceLevel("FUNCTION", TL_FUNCTION, &tracer);
    }
}

// The design's transport: a new message on an identifier replaces the one in
// flight, consecutive frames and flow controls fill all eight bytes, the
// block size is taken as the host gives it, and messages stop at 4095 bytes.
IsoTpOptions ServerTransportOptions() {
    IsoTpOptions options;
    options.replaceInFlight = true;
    options.fullFrames = true;
    options.rawBlockSize = true;
    options.refuseEscapedLength = true;
    return options;
}

}  // namespace

CPassThruModule::CPassThruModule(const ModuleSettings &settings, const std::string &tracePath,
                                 const std::string &pduPath)
    : m_settings(settings),
      m_pTraceFile(new TraceFile(tracePath.c_str(), 1, 1, 1)),
      m_tracer(createTracer()),
      m_pPduTrace(createPduTrace(pduPath)),
      m_port(m_settings.port, m_settings.profile, m_driverSession),
      m_filters(m_port, m_extAddressing, m_settings.profile.on),
      m_transport(m_port, m_filters, m_pPduTrace.get(), m_settings.profile, ServerTransportOptions()),
      m_groupStage(m_functionalGroup, m_filters),
      m_worker(*this, "ThreadRead(start)", "ThreadRead(end)") {
    m_tracer->setMaxDepth(10);
    if (m_settings.maxWaitsRejected) {
        PT_SCOPE(scope, "CPassThruModule()");
        TraceRejectedSettings(m_settings, scope);
    }
    setExtAddressing(m_settings.m_ExtAddressing);
}

WorkerPace CPassThruModule::cycle(uint32_t &cycleCounter, TraceScope &scope) {
    WorkerPace pace;
    pace.dueUs = m_transport.serviceTransfers(cycleCounter, scope);
    return pace;
}

void CPassThruModule::setExtAddressing(int32_t mode) {
    m_extAddressing = mode;
    IsoTpOptions options = m_transport.options();
    options.ignorePeerStmin = mode > 1;
    m_transport.setOptions(options);
}

std::unique_ptr<Tracer> CPassThruModule::createTracer() {
    auto tracer = std::make_unique<Tracer>();
    tracer->attach(m_pTraceFile.get());
    SetActiveTracer(tracer.get());
    SetUpTraceLevels(*tracer, m_settings.traceSettings & 15);
    return tracer;
}

std::unique_ptr<TraceFile> CPassThruModule::createPduTrace(const std::string &pduPath) {
    if (!(m_settings.traceSettings & 0x10)) return nullptr;
    auto pdu = std::make_unique<TraceFile>(pduPath.c_str(), 1, 0, 0);
    pdu->writePduLine(" pt_vector 00.16 loaded, PDU trace on");
    return pdu;
}

CPassThruModule::~CPassThruModule() {
    m_tracer->detach(m_pTraceFile.get());
    SetActiveTracer(nullptr);
}

void CPassThruModule::closeLeftOpenChannel(bool processEnding) {
    if (!m_worker.running()) return;
    m_worker.unloading();
    if (processEnding) m_worker.abandon();
    PT_SCOPE(scope, "DLL Close without PassThruDisconnect() stopping it !!!");
    PassThruDisconnect(1);
}
