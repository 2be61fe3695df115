#include "api/module.h"

#include "transport/filters.h"
#include "transport/records.h"

// Built before the load handler runs, destroyed after the unload handler:
// the trace front-end first, then the read lock, then the module object.
__attribute__((init_priority(300))) NamedLock m_readLock;
__attribute__((init_priority(301))) CPassThruModule theModule;
__attribute__((init_priority(301))) NamedLock m_filterLock;

std::atomic<int32_t> m_Iso15765BlockSize{0};
std::atomic<int32_t> m_TimeoutOffset{0};
int32_t m_TraceSettings = 0;
Tracer *m_pTracer = nullptr;
TraceFile *m_pTraceFile = nullptr;
TraceFile *m_pPduTrace = nullptr;
COrvFunctionalGroup *m_pFunctionalGroup = nullptr;
char *m_FirmwareVersion = nullptr;
char *m_DllVersion = nullptr;
char *m_ApiVersion = nullptr;

CPassThruModule::CPassThruModule() = default;

CPassThruModule::~CPassThruModule() {
    m_passFilter.clear();
    m_blockFilter.clear();
    m_flowFilter.clear();
    m_rxBuffer.clear();
    m_txBuffer.clear();
    m_ackPending.clear();
}

void ResetConnectionState() {
    theModule.m_NextFilterId = 0;
    theModule.m_bThreadRun = 0;
    m_Iso15765BlockSize = 0;
    theModule.m_hReadThread = plat::ThreadHandle();
    m_TimeoutOffset = 0;
}
