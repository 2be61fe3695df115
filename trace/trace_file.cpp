#include "trace/trace_file.h"

#include <cstring>

#include "platform/platform.h"
#include "platform/lock_guard.h"
#include "trace/trace_clock.h"

namespace {

// Bounds a rotation chain that keeps meeting locked or undeletable files.
int g_rotationSteps = 0;
constexpr int kMaxRotationSteps = 50;

void CounterTime(char *out, std::size_t size) {
    uint32_t ms = NowMs();
    std::snprintf(out, size, "%02d:%02d:%02d.%03u", static_cast<int>((ms / 3600000u) % 24u),
                  static_cast<int>((ms / 60000u) % 60u), static_cast<int>((ms / 1000u) % 60u), ms % 1000u);
}

void Date(char *out, std::size_t size) {
    plat::CalendarTime t = plat::LocalCalendarTime();
    std::snprintf(out, size, "%02d.%02d.%4d", t.day, t.month, t.year);
}

void DateTime(char *out, std::size_t size) {
    plat::CalendarTime t = plat::LocalCalendarTime();
    std::snprintf(out, size, "%02d.%02d.%4d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute, t.second);
}

}  // namespace

TraceFile::TraceFile(const char *path, uint8_t rotate, uint32_t writeCreateClose, uint8_t writeHeader)
    : m_writeCreateClose(writeCreateClose) {
    char full[plat::kMaxPath];
    m_fileName = plat::FullPathName(path, full, sizeof full) ? full : path;
    if (plat::FileIsReadOnly(m_fileName.c_str())) return;
    if (rotate == 1 && plat::FileExists(m_fileName.c_str())) this->rotate();
    m_stream = std::fopen(m_fileName.c_str(), "a");
    if (m_writeCreateClose == 1) writeDatedLine("Create tracefile");
    if (writeHeader) writeLine("", "Timestamp;Deltatime;Tracelevel;Deepness;ThreadID;Message");
}

TraceFile::~TraceFile() {
    if (m_writeCreateClose == 1) writeDatedLine("Close tracefile: ");
    if (m_stream) {
        std::fclose(m_stream);
        m_stream = nullptr;
        mergeWaitingTmp();
    }
}

void TraceFile::text(const char *line) {
    char time[32];
    CounterTime(time, sizeof time);
    writeLine(time, line);
}

// Counter time, ";", the date, ";" and the text: the file's first and last lines.
void TraceFile::writeDatedLine(const char *text) {
    char time[32], date[32], line[96];
    CounterTime(time, sizeof time);
    Date(date, sizeof date);
    std::snprintf(line, sizeof line, ";%s;%s", date, text);
    writeLine(time, line);
}

void TraceFile::writePduLine(const char *text) {
    char stamp[48];
    DateTime(stamp, sizeof stamp);
    writeLine(stamp, text);
}

void TraceFile::writeLine(const char *prefix, const char *text) {
    LockGuard guard(m_lock);
    if (!m_stream) return;
    std::fputs(prefix, m_stream);
    std::fputs(text, m_stream);
    std::fputc('\n', m_stream);
    std::fflush(m_stream);
}

// Keeps the previous run's file: name.log -> name.old, or, when name.log is
// held by another running instance, the next numbered pair name01.log/.old.
void TraceFile::rotate() {
    std::string base = m_fileName;
    std::size_t dot = base.find_last_of('.');
    std::size_t slash = base.find_last_of(plat::kPathSeparator);
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.erase(dot);
    int n = 0;
    while (g_rotationSteps < kMaxRotationSteps) {
        ++g_rotationSteps;
        char number[16] = "";
        if (n > 0) std::snprintf(number, sizeof number, "%02d", n);
        std::string current = base + number + ".log";
        std::string previous = base + number + ".old";
        switch (plat::RenameFile(current.c_str(), previous.c_str())) {
            case plat::RenameResult::Ok:
            case plat::RenameResult::SourceMissing:
                m_fileName = current;
                g_rotationSteps = 0;
                return;
            case plat::RenameResult::TargetExists:
                if (!plat::RemoveFile(previous.c_str())) return;
                break;
            case plat::RenameResult::AccessDenied: ++n; break;
            case plat::RenameResult::Failed: return;
        }
    }
}

// Another tool may leave "<file>.tmp" beside the trace to be continued by it:
// append this run's file to it and let it take the trace's name.
void TraceFile::mergeWaitingTmp() {
    std::string tmpName = m_fileName + ".tmp";
    if (!plat::FileExists(tmpName.c_str())) return;
    std::FILE *tmp = std::fopen(tmpName.c_str(), "ab");
    if (!tmp) return;
    std::FILE *trace = std::fopen(m_fileName.c_str(), "rb");
    if (!trace) {
        std::fclose(tmp);
        return;
    }
    char block[4096];
    bool complete = true;
    for (;;) {
        std::size_t n = std::fread(block, 1, sizeof block, trace);
        if (n > 0 && std::fwrite(block, 1, n, tmp) != n) {
            complete = false;
            break;
        }
        if (n < sizeof block) {
            if (std::ferror(trace) || !std::feof(trace)) complete = false;
            break;
        }
    }
    std::fclose(trace);
    if (std::fclose(tmp) != 0) complete = false;
    if (complete && plat::RemoveFile(m_fileName.c_str())) plat::RenameFile(tmpName.c_str(), m_fileName.c_str());
}
