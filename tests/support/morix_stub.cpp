// Stands in for the diagnostic server's module: only its file name matters.
#include "platform/callconv.h"

extern "C" PT_DLL_EXPORT int MorixServerStub() { return 1; }
