// Load and unload of the 04.04 library.
#ifndef PT_J2534_TOOLS_LOAD_H
#define PT_J2534_TOOLS_LOAD_H

// What DllMain does at process attach; false refuses the load.
bool ModuleLoad0404(void *module);
// What DllMain does at process detach. processEnding: the whole process is
// going down and the system has already ended every other thread.
void ModuleUnload0404(bool processEnding = false);

#endif
