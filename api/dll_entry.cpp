// The 02.02 library's load and unload handlers.
#include "api/library_entry.h"
#include "api/module_load.h"

PT_LIBRARY_ENTRY(ModuleLoad, ModuleUnload)
