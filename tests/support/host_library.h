// Loads the built library the way the diagnostic server does: a private
// directory with "morix.ini" and a module named "MORIX_Server.dll" loaded
// into the process first, then the library itself, resolved by name.
#ifndef PT_TESTS_HOST_LIBRARY_H
#define PT_TESTS_HOST_LIBRARY_H

#include <string>
#include <vector>

#include "j2534.h"
#include "temp_dir.h"

struct J2534Api {
    decltype(&PassThruConnect) Connect = nullptr;
    decltype(&PassThruDisconnect) Disconnect = nullptr;
    decltype(&PassThruReadMsgs) ReadMsgs = nullptr;
    decltype(&PassThruWriteMsgs) WriteMsgs = nullptr;
    decltype(&PassThruStartPeriodicMsg) StartPeriodicMsg = nullptr;
    decltype(&PassThruStopPeriodicMsg) StopPeriodicMsg = nullptr;
    decltype(&PassThruStartMsgFilter) StartMsgFilter = nullptr;
    decltype(&PassThruStopMsgFilter) StopMsgFilter = nullptr;
    decltype(&PassThruSetProgrammingVoltage) SetProgrammingVoltage = nullptr;
    decltype(&PassThruReadVersion) ReadVersion = nullptr;
    decltype(&PassThruGetLastError) GetLastError = nullptr;
    decltype(&PassThruIoctl) Ioctl = nullptr;
};

// Where the library, the driver stand-in and the server stub were built.
std::string BinDir();
std::string LibraryPath();

class HostLibrary {
public:
    // iniText: contents of morix.ini, written only when writeIni is true.
    explicit HostLibrary(const std::string &iniText = "[MORIX_VECTOR]\n", bool withServer = true, bool writeIni = true);
    ~HostLibrary();
    HostLibrary(const HostLibrary &) = delete;
    HostLibrary &operator=(const HostLibrary &) = delete;

    // Loads the library; false when the platform refused it.
    bool load();
    void unload();
    bool loaded() const { return m_library != nullptr; }

    const J2534Api &api() const { return m_api; }
    const TempDir &dir() const { return m_dir; }
    std::string tracePath() const { return m_dir.file("pt_vector.log"); }
    std::string pduPath() const { return m_dir.file("pdu_trace.log"); }
    std::vector<std::string> traceLines() const { return ReadLines(tracePath()); }
    // The trace lines after the header, split into their columns.
    struct TraceEntry {
        std::string level;   // two-letter code
        char marker = 0;     // '+' entry, '-' exit, '|' message
        std::string column;  // the whole Message column
        std::string text;    // message lines: what follows "<scope> : "
    };
    std::vector<TraceEntry> traceEntries() const;
    // The Message column of every trace line after the header.
    std::vector<std::string> traceMessages() const;

private:
    TempDir m_dir;
    void *m_server = nullptr;
    void *m_library = nullptr;
    J2534Api m_api;
};

// The process's threads once they have settled: on Windows a worker reaped
// under the loader lock ends just after an unload, as its end needs that
// lock. Waits up to a second for expected (0: a tenth of a second).
unsigned SettledThreadCount(unsigned expected);

#endif
