#include "host_library.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/platform.h"

namespace fs = std::filesystem;

std::string BinDir() {
    if (const char *dir = std::getenv("PT_BIN_DIR")) return dir;
    char exe[4096];
    if (plat::ExecutableFileName(exe, sizeof exe)) return fs::path(exe).parent_path().string();
    return fs::current_path().string();
}

std::string LibraryPath() {
    return (fs::path(BinDir()) /
            (std::string(plat::SharedLibraryPrefix()) + "pt_vector" + plat::SharedLibrarySuffix()))
        .string();
}

HostLibrary::HostLibrary(const std::string &iniText, bool withServer, bool writeIni) {
    if (writeIni) WriteText(dir_.file("morix.ini"), iniText);
    if (withServer) {
        std::string server = dir_.file("MORIX_Server.dll");
        fs::copy_file(fs::path(BinDir()) / "MORIX_Server.dll", server);
        server_ = plat::LoadSharedLibrary(server.c_str());
    }
}

HostLibrary::~HostLibrary() {
    unload();
    plat::UnloadSharedLibrary(server_);
}

template <typename F> static void Resolve(void *library, F &fn, const char *name) {
    fn = reinterpret_cast<F>(plat::FindSymbol(library, name));
}

bool HostLibrary::load() {
    library_ = plat::LoadSharedLibrary(LibraryPath().c_str());
    if (!library_) return false;
    Resolve(library_, api_.Connect, "PassThruConnect");
    Resolve(library_, api_.Disconnect, "PassThruDisconnect");
    Resolve(library_, api_.ReadMsgs, "PassThruReadMsgs");
    Resolve(library_, api_.WriteMsgs, "PassThruWriteMsgs");
    Resolve(library_, api_.StartPeriodicMsg, "PassThruStartPeriodicMsg");
    Resolve(library_, api_.StopPeriodicMsg, "PassThruStopPeriodicMsg");
    Resolve(library_, api_.StartMsgFilter, "PassThruStartMsgFilter");
    Resolve(library_, api_.StopMsgFilter, "PassThruStopMsgFilter");
    Resolve(library_, api_.SetProgrammingVoltage, "PassThruSetProgrammingVoltage");
    Resolve(library_, api_.ReadVersion, "PassThruReadVersion");
    Resolve(library_, api_.GetLastError, "PassThruGetLastError");
    Resolve(library_, api_.Ioctl, "PassThruIoctl");
    return true;
}

void HostLibrary::unload() {
    if (!library_) return;
    plat::UnloadSharedLibrary(library_);
    library_ = nullptr;
    api_ = J2534Api();
}

std::vector<HostLibrary::TraceEntry> HostLibrary::traceEntries() const {
    // Timestamp;Deltatime;Level;<marker>Depth;ThreadID;Message
    std::vector<TraceEntry> out;
    const std::vector<std::string> lines = traceLines();
    for (size_t i = 2; i < lines.size(); ++i) {
        std::istringstream in(lines[i]);
        std::string field[5];
        for (std::string &f : field) std::getline(in, f, ';');
        TraceEntry e;
        if (!in || field[3].empty()) continue;
        e.level = field[2];
        e.marker = field[3][0];
        std::getline(in, e.column);
        const size_t sep = e.column.find(" : ");
        if (e.marker == '|' && sep != std::string::npos) e.text = e.column.substr(sep + 3);
        out.push_back(e);
    }
    return out;
}

std::vector<std::string> HostLibrary::traceMessages() const {
    std::vector<std::string> out;
    for (const TraceEntry &e : traceEntries()) out.push_back(e.column);
    return out;
}
