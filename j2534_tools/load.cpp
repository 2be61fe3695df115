// Load and unload of the 04.04 library in any process: settings from
// pt_vector0404.ini beside the library (or the file PT_VECTOR_INI names),
// traces in that file's directory.
#include "j2534_tools/load.h"

#include <string>

#include "can/library_settings.h"
#include "j2534_tools/module.h"
#include "platform/platform.h"

namespace {

const char kSection[] = "PT_VECTOR";
const char kIniName[] = "pt_vector0404.ini";
const char kIniVariable[] = "PT_VECTOR_INI";

// Set by the load handler and cleared by the unload handler, which the
// platform runs one at a time; the exported functions only read it between.
CPassThruModule0404 *g_module = nullptr;

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
    // J2534 tools expect the full ISO 15765-2 behaviour: the field profile is
    // this library's default.
    const SettingsSource source{ini.c_str(), kSection, true};
    g_module = new CPassThruModule0404(ReadLibrarySettings(source), DirectoryOf(ini));
    return true;
}

void ModuleUnload0404(bool processEnding) {
    if (!g_module) return;
    g_module->closeLeftOpen(processEnding);
    delete g_module;
    g_module = nullptr;
}
