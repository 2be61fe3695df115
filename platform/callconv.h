// Calling convention of the vendor driver's exported functions: __stdcall on
// 32-bit Windows (ignored on x64), the platform default elsewhere.
#ifndef PT_PLATFORM_CALLCONV_H
#define PT_PLATFORM_CALLCONV_H

#if defined(_WIN32)
#define PT_STDCALL __stdcall
#define PT_DLL_EXPORT
#else
#define PT_STDCALL
#define PT_DLL_EXPORT __attribute__((visibility("default")))
#endif

#endif
