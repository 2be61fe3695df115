#include "host_library.h"

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "vxlsim_control.h"

namespace fs = std::filesystem;

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

bool HostLibrary::load() {
    m_library = plat::LoadSharedLibrary(LibraryPath().c_str());
    if (!m_library) return false;
    void *library = m_library;
    J2534Api &api = m_api;
    PT_J2534_FUNCTIONS(PT_J2534_RESOLVE)
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

void ExpectUnloadsLeaveNothingBehind(const std::function<void()> &run) {
    unsigned threadsBefore = 0;
    for (int i = 0; i < 200; ++i) {
        run();
        if (::testing::Test::HasFatalFailure()) return;
        ASSERT_EQ(0, vxlsim_open_port_count()) << "run " << i;
        ASSERT_EQ(0, vxlsim_driver_open_count()) << "run " << i;
        const unsigned threads = SettledThreadCount(i == 0 ? 0 : threadsBefore);
        ASSERT_NE(0u, threads);
        if (i == 0) threadsBefore = threads;
        ASSERT_EQ(threadsBefore, threads) << "run " << i;
    }
}
