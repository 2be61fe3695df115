// Loads the built library the way the diagnostic server does: a private
// directory with "morix.ini" and a module named "MORIX_Server.dll" loaded
// into the process first, then the library itself, resolved by name.
#ifndef PT_TESTS_HOST_LIBRARY_H
#define PT_TESTS_HOST_LIBRARY_H

#include <functional>
#include <string>
#include <vector>

#include "j2534.h"
#include "j2534_functions.h"
#include "temp_dir.h"

struct J2534Api {
    PT_J2534_FUNCTIONS(PT_J2534_MEMBER)
};


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

// A host that unloads a library with its channel left open, 200 times in one
// process: run loads it, opens the channel (one port) and unloads it. Every
// unload must close port and driver and reap the worker: after each run the
// process has as many threads as after the first (the stand-in keeps a
// thread of its own once a port asked for its notification).
void ExpectUnloadsLeaveNothingBehind(const std::function<void()> &run);

#endif
