// The 04.04 library's load and unload handlers.
#include "api/library_entry.h"
#include "api/v0404/load0404.h"

PT_LIBRARY_ENTRY(ModuleLoad0404, ModuleUnload0404)
