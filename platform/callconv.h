// Calling convention of the vendor driver's exported functions: __stdcall on
// 32-bit Windows (ignored on x64). A 32-bit Linux build uses stdcall as well,
// so the product's convention runs under test there; elsewhere the default.
#ifndef PT_PLATFORM_CALLCONV_H
#define PT_PLATFORM_CALLCONV_H

#if defined(_WIN32)
#define PT_STDCALL __stdcall
#define PT_DLL_EXPORT
#elif defined(__i386__)
#define PT_STDCALL __attribute__((stdcall))
#define PT_DLL_EXPORT __attribute__((visibility("default")))
#else
#define PT_STDCALL
#define PT_DLL_EXPORT __attribute__((visibility("default")))
#endif

#endif
