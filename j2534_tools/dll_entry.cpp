// The 04.04 library's load and unload handlers.
#include "platform/library_entry.h"
#include "j2534_tools/load.h"

PT_LIBRARY_ENTRY(ModuleLoad0404, ModuleUnload0404)
