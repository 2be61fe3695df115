// The load and unload handler, wired to what each platform calls at load and unload.
#include "api/module_load.h"
#include "platform/callconv.h"

namespace {
constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;

int DispatchDllMain(void *module, unsigned long reason, void *reserved) {
    switch (reason) {
        case kProcessAttach: return ModuleLoad(module) ? 1 : 0;
        // Windows passes a non-null reserved pointer when the process is ending.
        case kProcessDetach: ModuleUnload(reserved != nullptr); return 1;
        default: return 1;
    }
}
}  // namespace

#if defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    return DispatchDllMain(module, reason, reserved);
}
#else
namespace {
// A static object of default priority: constructed after the trace front-end
// and the module object, destroyed before them, as a Windows DLL's DllMain
// sits between its static construction and destruction.
struct LoadHandler {
    LoadHandler() { DispatchDllMain(nullptr, kProcessAttach, nullptr); }
    ~LoadHandler() { DispatchDllMain(nullptr, kProcessDetach, nullptr); }
};
LoadHandler g_loadHandler;
}  // namespace
#endif
