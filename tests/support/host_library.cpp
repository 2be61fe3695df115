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
    return (fs::path(BinDir()) / (std::string(plat::SharedLibraryPrefix()) + "pt_vector" + plat::SharedLibrarySuffix()))
        .string();
}

HostLibrary::HostLibrary(const std::string &iniText, bool withServer, bool writeIni) {
    if (writeIni) WriteText(m_dir.file("morix.ini"), iniText);
    if (withServer) {
        std::string server = m_dir.file("MORIX_Server.dll");
        fs::copy_file(fs::path(BinDir()) / "MORIX_Server.dll", server);
        m_server = plat::LoadSharedLibrary(server.c_str());
    }
}

HostLibrary::~HostLibrary() {
    unload();
    plat::UnloadSharedLibrary(m_server);
}

template <typename F>
static void Resolve(void *library, F &fn, const char *name) {
    fn = reinterpret_cast<F>(plat::FindSymbol(library, name));
}

bool HostLibrary::load() {
    m_library = plat::LoadSharedLibrary(LibraryPath().c_str());
    if (!m_library) return false;
    Resolve(m_library, m_api.Connect, "PassThruConnect");
    Resolve(m_library, m_api.Disconnect, "PassThruDisconnect");
    Resolve(m_library, m_api.ReadMsgs, "PassThruReadMsgs");
    Resolve(m_library, m_api.WriteMsgs, "PassThruWriteMsgs");
    Resolve(m_library, m_api.StartPeriodicMsg, "PassThruStartPeriodicMsg");
    Resolve(m_library, m_api.StopPeriodicMsg, "PassThruStopPeriodicMsg");
    Resolve(m_library, m_api.StartMsgFilter, "PassThruStartMsgFilter");
    Resolve(m_library, m_api.StopMsgFilter, "PassThruStopMsgFilter");
    Resolve(m_library, m_api.SetProgrammingVoltage, "PassThruSetProgrammingVoltage");
    Resolve(m_library, m_api.ReadVersion, "PassThruReadVersion");
    Resolve(m_library, m_api.GetLastError, "PassThruGetLastError");
    Resolve(m_library, m_api.Ioctl, "PassThruIoctl");
    return true;
}

void HostLibrary::unload() {
    if (!m_library) return;
    plat::UnloadSharedLibrary(m_library);
    m_library = nullptr;
    m_api = J2534Api();
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

unsigned SettledThreadCount(unsigned expected) {
    unsigned threads = plat::ProcessThreadCount();
    for (int i = 0; i < 100 && threads != expected; ++i) {
        if (expected == 0 && i == 10) break;
        plat::SleepMs(10);
        threads = plat::ProcessThreadCount();
    }
    return threads;
}
