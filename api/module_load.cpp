#include "api/module_load.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "api/module.h"
#include "fg/functional_group.h"
#include "j2534.h"
#include "platform/platform.h"
#include "trace/trace_file.h"
#include "trace/trace_scope.h"
#include "trace/tracer.h"
#include "transport/worker.h"

namespace {

const char kServerModule[] = "MORIX_Server.dll";
const char kSection[] = "MORIX_VECTOR";
constexpr std::size_t kVersionSize = 80;
constexpr uint32_t kConfigBufferSize = 1024;

// One buffer serves every key, as the keys are read one after the other at load.
char g_configBuffer[kConfigBufferSize];

char *NewVersion(const char *text) {
    char *buffer = new char[kVersionSize]();
    std::strncpy(buffer, text, kVersionSize - 1);
    return buffer;
}

void SetUpTraceLevels(int32_t verbosity) {
    PT_SCOPE(scope, "DLLMain(..) :");
    if (!m_pTracer) return;
    if (verbosity == 0) {
        m_pTracer->addLevels(TL_FATALERROR);
        m_pTracer->addCategories(kTraceCategory);
        AttachTraceLevel("FATALERROR", TL_FATALERROR, m_pTracer);
        return;
    }
    m_pTracer->addLevels(TL_FATALERROR | TL_ERROR | TL_INFO);
    m_pTracer->addCategories(kTraceCategory);
    AttachTraceLevel("FATALERROR", TL_FATALERROR, m_pTracer);
    AttachTraceLevel("ERROR", TL_ERROR, m_pTracer);
    if (verbosity >= 2) {
        AttachTraceLevel("WARNING", TL_WARNING, m_pTracer);
        AttachTraceLevel("INFO", TL_INFO, m_pTracer);
        AttachTraceLevel("MODULE", TL_MODULE, m_pTracer);
        AttachTraceLevel("FUNCTION", TL_FUNCTION, m_pTracer);
    }
}

}  // namespace

std::string BuildModuleRelativePath(const char *moduleName, const char *fileName) {
    char name[plat::kMaxPath];
    if (!plat::LoadedModuleFileName(moduleName, name, sizeof name)) return std::string();
    std::size_t length = std::strlen(name);
    for (std::size_t i = length; i-- > 1;) {
        if (name[i] != plat::kPathSeparator) continue;
        if (!fileName || !fileName[0]) return std::string(name, i);
        return std::string(name, i + 1) + fileName;
    }
    return std::string(name) + (fileName ? fileName : "");
}

int32_t ReadConfigNumber(const char *iniPath, const char *key, const char *defaultText, int base) {
    plat::ReadProfileString(kSection, key, defaultText, g_configBuffer, kConfigBufferSize, iniPath);
    errno = 0;
    long long value = std::strtoll(g_configBuffer, nullptr, base);
    // Windows' 32-bit long saturates where a 64-bit one would not.
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool ModuleLoad(void *module) {
    plat::DisableThreadNotifications(module);

    std::string iniPath = BuildModuleRelativePath(kServerModule, "morix.ini");
    if (iniPath.size() < 5) {
        plat::ShowMessageBox("Fatal Error", "morix.ini not found! ASAM Server running?");
        return false;
    }
    std::string tracePath = BuildModuleRelativePath(kServerModule, "pt_vector.log");
    std::string pduPath = BuildModuleRelativePath(kServerModule, "pdu_trace.log");

    m_FirmwareVersion = NewVersion("00.02");
    m_DllVersion = NewVersion("00.16");
    m_ApiVersion = NewVersion("00.06");

    m_pTraceFile = new TraceFile(tracePath.c_str(), 1, 1, 1);
    if (m_pTraceFile) {
        m_pTracer = new Tracer();
        m_pTracer->attach(m_pTraceFile);
    }
    m_pFunctionalGroup = new COrvFunctionalGroup();

    m_TraceSettings = ReadConfigNumber(iniPath.c_str(), "TRACE", "1", 10);
    SetUpTraceLevels(m_TraceSettings & 15);

    if (m_TraceSettings & 0x10) {
        m_pPduTrace = new TraceFile(pduPath.c_str(), 1, 0, 0);
        m_pPduTrace->writePduLine(" pt_vector 00.16 loaded, PDU trace on");
    } else {
        m_pPduTrace = nullptr;
    }

    if (m_pTracer) m_pTracer->setMaxDepth(10);
    ResetConnectionState();

    theModule.m_bVirtual = ReadConfigNumber(iniPath.c_str(), "VIRTUAL", "", 0);
    theModule.m_ExtAddressing = ReadConfigNumber(iniPath.c_str(), "ORVEXTADR", "", 0);
    theModule.m_WakeUp = ReadConfigNumber(iniPath.c_str(), "WAKEUP", "", 0);
    theModule.m_bCooperative = ReadConfigNumber(iniPath.c_str(), "cooperative", "", 0);
    return true;
}

void ModuleUnload(bool processEnding) {
    if (theModule.m_bThreadRun != 0) {
        // A worker the system has already ended cannot say that it left.
        if (processEnding) m_workerLeft.set();
        PT_SCOPE(scope, "DLL Close without PassThruDisconnect() stopping it !!!");
        PassThruDisconnect(1);
    }
    if (m_pTraceFile) {
        if (m_pTracer) m_pTracer->detach(m_pTraceFile);
        delete m_pTraceFile;
        m_pTraceFile = nullptr;
        delete m_pTracer;
        m_pTracer = nullptr;
    }
    if (m_pPduTrace) {
        delete m_pPduTrace;
        m_pPduTrace = nullptr;
    }
    if (m_pFunctionalGroup) {
        delete m_pFunctionalGroup;
        m_pFunctionalGroup = nullptr;
    }
    delete[] m_FirmwareVersion;
    delete[] m_DllVersion;
    delete[] m_ApiVersion;
    m_FirmwareVersion = m_DllVersion = m_ApiVersion = nullptr;
}
