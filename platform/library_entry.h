// A library's load and unload handlers, wired to what each platform calls at
// load and unload: DllMain on Windows, a static object's construction and
// destruction elsewhere. Each library's entry file says PT_LIBRARY_ENTRY once.
#ifndef PT_PLATFORM_LIBRARY_ENTRY_H
#define PT_PLATFORM_LIBRARY_ENTRY_H

#include "platform/platform.h"

#if defined(_WIN32) && defined(__GLIBCXX__)
// The C++ runtime linked into the DLL allocates its emergency pool for
// exceptions at every load; this frees it (only the DLL's own runtime uses it).
namespace __gnu_cxx {
void __freeres() noexcept;
}
#endif

namespace library_entry {

// What the C++ runtime linked into the library allocated for itself at load.
inline void FreeRuntimeAllocations(bool processEnding) {
#if defined(_WIN32) && defined(__GLIBCXX__)
    if (!processEnding) __gnu_cxx::__freeres();
#else
    (void)processEnding;
#endif
}

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
            FreeRuntimeAllocations(reserved != nullptr);
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
