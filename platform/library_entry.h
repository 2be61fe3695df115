// A library's load and unload handlers, wired to what each platform calls at
// load and unload: DllMain on Windows, a static object's construction and
// destruction elsewhere. Each library's entry file says PT_LIBRARY_ENTRY once.
#ifndef PT_PLATFORM_LIBRARY_ENTRY_H
#define PT_PLATFORM_LIBRARY_ENTRY_H

#include "platform/platform.h"

namespace library_entry {

constexpr unsigned long kProcessDetach = 0;
constexpr unsigned long kProcessAttach = 1;

// The platform's per-thread values live from before the load handler to
// after the unload handler (a refused load on Windows is followed by a
// detach, which ends them once).
inline int Dispatch(bool (*load)(void *), void (*unload)(bool), void *module, unsigned long reason, void *reserved) {
    switch (reason) {
        case kProcessAttach: plat::BeginThreadValues(); return load(module) ? 1 : 0;
        // Windows passes a non-null reserved pointer when the process is ending.
        case kProcessDetach:
            unload(reserved != nullptr);
            plat::EndThreadValues();
            return 1;
        default: return 1;
    }
}

}  // namespace library_entry

#if defined(_WIN32)
#include <windows.h>

#define PT_LIBRARY_ENTRY(load, unload)                                                \
    extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) { \
        return library_entry::Dispatch((load), (unload), module, reason, reserved);   \
    }
#else
// The library's state lives in the module object the load handler creates,
// and the trace front-end's statics are built on first use, so no order
// between files' statics matters.
#define PT_LIBRARY_ENTRY(load, unload)                                                                  \
    namespace {                                                                                         \
    using library_entry::Dispatch;                                                                      \
    struct LoadHandler {                                                                                \
        LoadHandler() { Dispatch((load), (unload), nullptr, library_entry::kProcessAttach, nullptr); }  \
        ~LoadHandler() { Dispatch((load), (unload), nullptr, library_entry::kProcessDetach, nullptr); } \
    };                                                                                                  \
    LoadHandler g_loadHandler;                                                                          \
    }
#endif

#endif
