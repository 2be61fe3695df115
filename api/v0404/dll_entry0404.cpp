// The 04.04 library's load and unload handler, wired to what each platform calls at load and unload.
#include "api/v0404/load0404.h"
#include "platform/callconv.h"

namespace {
constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;

int DispatchDllMain(void *module, unsigned long reason, void *reserved) {
    switch (reason) {
        case kProcessAttach: return ModuleLoad0404(module) ? 1 : 0;
        // Windows passes a non-null reserved pointer when the process is ending.
        case kProcessDetach: ModuleUnload0404(reserved != nullptr); return 1;
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
// The load and unload handler as a static object's construction and
// destruction. The library's state lives in the module object the handler
// creates, and the trace front-end's statics are built on first use, so no
// order between files' statics matters.
struct LoadHandler {
    LoadHandler() { DispatchDllMain(nullptr, kProcessAttach, nullptr); }
    ~LoadHandler() { DispatchDllMain(nullptr, kProcessDetach, nullptr); }
};
LoadHandler g_loadHandler;
}  // namespace
#endif
