// The 04.04 library loaded and unloaded by a tool that never closes its
// device: load, PassThruOpen, unload (the unload handler closes the device),
// over and over; the process's resident memory at intervals must level off.
// A plain program, so that it runs natively and under wine alike.
//
//   pt_unload_soak [cycles [every]]   (default 600 cycles, a line every 50)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "j2534_0404.h"
#include "platform/platform.h"
#include "vxlsim_control.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Resident memory of the process in kB.
unsigned long ResidentKb() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<unsigned long>(counters.WorkingSetSize / 1024);
#else
    unsigned long pages = 0, resident = 0;
    std::FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    const int read = std::fscanf(statm, "%lu %lu", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? resident * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) / 1024 : 0;
#endif
}

}  // namespace

int main(int argc, char **argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 600;
    const int every = argc > 2 ? std::atoi(argv[2]) : 50;
    char exe[1024];
    if (!plat::ExecutableFileName(exe, sizeof exe)) return 1;
    const fs::path bin = fs::path(exe).parent_path();
    const fs::path work = fs::temp_directory_path() / "pt_unload_soak";
    fs::create_directories(work);
    std::ofstream(work / "pt_vector0404.ini") << "[PT_VECTOR]\nTRACE=1\n";
    plat::SetEnvironmentValue("PT_VECTOR_INI", (work / "pt_vector0404.ini").string().c_str());
    if (vxlsim_load_config_text(VXLSIM_ONE_CARD) != 0) return 1;
    const std::string path =
        (bin / (std::string(plat::SharedLibraryPrefix()) + "pt_vector0404" + plat::SharedLibrarySuffix())).string();

    unsigned long first = 0;
    std::printf("cycle  RSS kB  since cycle %d\n", every);
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        void *library = plat::LoadSharedLibrary(path.c_str());
        if (!library) return 1;
        auto open = reinterpret_cast<decltype(&PassThruOpen)>(plat::FindSymbol(library, "PassThruOpen"));
        uint32_t device = 0;
        if (!open || open(nullptr, &device) != STATUS_NOERROR) return 1;
        plat::UnloadSharedLibrary(library);
        if (vxlsim_open_port_count() != 0 || vxlsim_driver_open_count() != 0) return 1;
        vxlsim_call_clear();  // the stand-in's log of driver calls is not the library's memory
        if (cycle % every != 0) continue;
        const unsigned long rss = ResidentKb();
        if (cycle == every) first = rss;
        std::printf("%5d  %6lu  %+ld\n", cycle, rss, static_cast<long>(rss) - static_cast<long>(first));
        std::fflush(stdout);
    }
    return 0;
}
