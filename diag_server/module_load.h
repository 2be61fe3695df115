// Load and unload of the library inside the diagnostic server's process.
#ifndef PT_DIAG_SERVER_MODULE_LOAD_H
#define PT_DIAG_SERVER_MODULE_LOAD_H

#include <string>

// What DllMain does at process attach; false refuses the load.
bool ModuleLoad(void *module);
// What DllMain does at process detach. processEnding: the whole process is
// going down and the system has already ended every other thread.
void ModuleUnload(bool processEnding = false);

// Directory of the loaded module moduleName followed by fileName; empty when
// that module is not in the process.
std::string BuildModuleRelativePath(const char *moduleName, const char *fileName);

#endif
