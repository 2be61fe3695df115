// The 02.02 library's load and unload handlers.
#include "platform/library_entry.h"
#include "diag_server/module_load.h"

PT_LIBRARY_ENTRY(ModuleLoad, ModuleUnload)
