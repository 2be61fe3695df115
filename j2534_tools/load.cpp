// Load and unload of the 04.04 library in any process: settings from
// pt_vector0404.ini beside the library (or the file PT_VECTOR_INI names),
// traces in that file's directory.
#include "j2534_tools/load.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "j2534_tools/module.h"
#include "platform/platform.h"

namespace {

const char kSection[] = "PT_VECTOR";
const char kIniName[] = "pt_vector0404.ini";
const char kIniVariable[] = "PT_VECTOR_INI";
constexpr uint32_t kConfigBufferSize = 1024;

// Set by the load handler and cleared by the unload handler, which the
// platform runs one at a time; the exported functions only read it between.
CPassThruModule0404 *g_module = nullptr;

int32_t ReadNumber(const std::string &ini, const char *key, const char *defaultText, int base = 0) {
    char buffer[kConfigBufferSize];
    plat::ReadProfileString(kSection, key, defaultText, buffer, kConfigBufferSize, ini.c_str());
    const long long value = std::strtoll(buffer, nullptr, base);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

Settings0404 ReadSettings(const std::string &ini) {
    Settings0404 settings;
    settings.traceSettings = ReadNumber(ini, "TRACE", "1", 10);
    settings.port.m_VirtualOrdinal = ReadNumber(ini, "VIRTUAL", "0");
    settings.port.m_WakeUp = ReadNumber(ini, "WAKEUP", "0");
    settings.port.m_bCooperative = ReadNumber(ini, "cooperative", "0");
    // J2534 tools expect the full ISO 15765-2 behaviour: the field profile
    // is this library's default.
    settings.profile.on = ReadNumber(ini, "FIELDPROFILE", "1") > 0;
    settings.profile.maxWaits = ReadNumber(ini, "FCWAITMAX", "10");
    settings.profile.rxQueueSize =
        static_cast<uint32_t>(ReadNumber(ini, "RXQUEUE", settings.profile.on ? "2048" : "256"));
    return settings;
}

std::string DirectoryOf(const std::string &path) {
    const std::size_t at = path.find_last_of(plat::kPathSeparator);
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

// The ini file: the one PT_VECTOR_INI names, else the one beside the library.
std::string IniPath() {
    char buffer[plat::kMaxPath];
    if (plat::EnvironmentValue(kIniVariable, buffer, sizeof buffer) && buffer[0]) return buffer;
    if (!plat::ModuleFileNameOf(reinterpret_cast<const void *>(&IniPath), buffer, sizeof buffer))
        return kIniName;
    const std::string dir = DirectoryOf(buffer);
    return dir.empty() ? std::string(kIniName) : dir + plat::kPathSeparator + kIniName;
}

}  // namespace

CPassThruModule0404 *TheModule0404() { return g_module; }

bool ModuleLoad0404(void *module) {
    plat::DisableThreadNotifications(module);
    const std::string ini = IniPath();
    g_module = new CPassThruModule0404(ReadSettings(ini), DirectoryOf(ini));
    return true;
}

void ModuleUnload0404(bool processEnding) {
    if (!g_module) return;
    g_module->closeLeftOpen(processEnding);
    delete g_module;
    g_module = nullptr;
}
