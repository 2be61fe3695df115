#include "diag_server/module_load.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "diag_server/module.h"
#include "platform/platform.h"

namespace {

const char kServerModule[] = "MORIX_Server.dll";
const char kSection[] = "MORIX_VECTOR";
constexpr uint32_t kConfigBufferSize = 1024;

// Set by the load handler and cleared by the unload handler, which the
// platform runs one at a time; the exported functions only read it between.
CPassThruModule *g_module = nullptr;

constexpr long long kMaxWaitsLimit = 255;

// FCWAITMAX: a number from 0 to 255, read as strtol reads it; anything else
// leaves the default in place and is kept for the trace.
void ReadMaxWaits(const char *iniPath, ModuleSettings &settings) {
    char buffer[kConfigBufferSize];
    plat::ReadProfileString(kSection, "FCWAITMAX", "10", buffer, kConfigBufferSize, iniPath);
    char *end = buffer;
    errno = 0;
    const long long value = std::strtoll(buffer, &end, 0);
    if (end != buffer && errno == 0 && value >= 0 && value <= kMaxWaitsLimit) {
        settings.profile.maxWaits = static_cast<int32_t>(value);
        return;
    }
    settings.maxWaitsRejected = true;
    settings.maxWaitsText = buffer;
}

ModuleSettings ReadSettings(const char *iniPath) {
    ModuleSettings settings;
    settings.m_TraceSettings = ReadConfigNumber(iniPath, "TRACE", "1", 10);
    settings.port.m_VirtualOrdinal = ReadConfigNumber(iniPath, "VIRTUAL", "", 0);
    settings.m_ExtAddressing = ReadConfigNumber(iniPath, "ORVEXTADR", "", 0);
    settings.port.m_WakeUp = ReadConfigNumber(iniPath, "WAKEUP", "", 0);
    settings.port.m_bCooperative = ReadConfigNumber(iniPath, "cooperative", "", 0);
    // The field profile and its settings; without it nothing here is read.
    if (ReadConfigNumber(iniPath, "FIELDPROFILE", "0", 0) > 0) {
        settings.profile.on = true;
        ReadMaxWaits(iniPath, settings);
        settings.profile.rxQueueSize = static_cast<uint32_t>(ReadConfigNumber(iniPath, "RXQUEUE", "2048", 0));
    }
    return settings;
}

}  // namespace

CPassThruModule *TheModule() { return g_module; }

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
    char buffer[kConfigBufferSize];
    plat::ReadProfileString(kSection, key, defaultText, buffer, kConfigBufferSize, iniPath);
    errno = 0;
    long long value = std::strtoll(buffer, nullptr, base);
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
    g_module =
        new CPassThruModule(ReadSettings(iniPath.c_str()), BuildModuleRelativePath(kServerModule, "pt_vector.log"),
                            BuildModuleRelativePath(kServerModule, "pdu_trace.log"));
    return true;
}

void ModuleUnload(bool processEnding) {
    if (!g_module) return;
    g_module->closeLeftOpenChannel(processEnding);
    delete g_module;
    g_module = nullptr;
}
