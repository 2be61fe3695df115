#include "diag_server/module_load.h"

#include <cstring>

#include "can/library_settings.h"
#include "diag_server/module.h"
#include "platform/platform.h"

namespace {

const char kServerModule[] = "MORIX_Server.dll";
const char kSection[] = "MORIX_VECTOR";

// Set by the load handler and cleared by the unload handler, which the
// platform runs one at a time; the exported functions only read it between.
CPassThruModule *g_module = nullptr;

ModuleSettings ReadSettings(const char *iniPath) {
    const SettingsSource source{iniPath, kSection, false};
    ModuleSettings settings;
    static_cast<LibrarySettings &>(settings) = ReadLibrarySettings(source);
    settings.m_ExtAddressing = ReadSettingNumber(source, "ORVEXTADR", "", 0);
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
