// Module-wide state: the one channel's lists, locks and settings, and the
// objects that live as long as the library is loaded.
#ifndef PT_API_MODULE_H
#define PT_API_MODULE_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>

#include "platform/platform.h"
#include "trace/named_lock.h"

struct FilterRecord;
struct RxBufferEntry;
struct TxBufferEntry;
class COrvFunctionalGroup;
class Tracer;
class TraceFile;

using FilterList = std::list<std::unique_ptr<FilterRecord>>;
using RxBufferList = std::list<std::unique_ptr<RxBufferEntry>>;
using TxBufferList = std::list<std::unique_ptr<TxBufferEntry>>;

class CPassThruModule {
public:
    CPassThruModule();
    ~CPassThruModule();
    CPassThruModule(const CPassThruModule &) = delete;
    CPassThruModule &operator=(const CPassThruModule &) = delete;

    uint16_t m_NextFilterId = 0;
    FilterList m_passFilter;
    int32_t m_passFilterCount = 0;
    FilterList m_blockFilter;
    int32_t m_blockFilterCount = 0;
    FilterList m_flowFilter;
    int32_t m_flowFilterCount = 0;
    plat::ThreadHandle m_hReadThread;
    RxBufferList m_rxBuffer;
    int32_t m_rxBufferCount = 0;
    TxBufferList m_txBuffer;
    int32_t m_txBufferCount = 0;
    NamedLock m_txLock;
    // Written by the host's threads, read by the worker and the read path.
    std::atomic<int32_t> m_bThreadRun{0};
    std::atomic<int32_t> m_ExtAddressing{0};
    int32_t m_bVirtual = 0;
    int32_t m_WakeUp = 0;
    int32_t m_bCooperative = 0;
    std::atomic<int32_t> m_FunctionalGroupActive{0};
    std::map<uint32_t, bool> m_ackPending;
};

extern CPassThruModule theModule;

extern std::atomic<int32_t> m_Iso15765BlockSize;
extern std::atomic<int32_t> m_TimeoutOffset;
extern NamedLock m_readLock;
extern int32_t m_TraceSettings;
extern Tracer *m_pTracer;
extern TraceFile *m_pTraceFile;
extern TraceFile *m_pPduTrace;
extern COrvFunctionalGroup *m_pFunctionalGroup;
extern char *m_FirmwareVersion;
extern char *m_DllVersion;
extern char *m_ApiVersion;

// Guards every change and every walk of the three filter lists; innermost
// (taken while m_readLock or m_txLock is held, never the other way round).
extern NamedLock m_filterLock;

void ResetConnectionState();

#endif
