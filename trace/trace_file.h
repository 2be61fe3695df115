#ifndef PT_TRACE_TRACE_FILE_H
#define PT_TRACE_TRACE_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/named_lock.h"
#include "trace/trace_sink.h"

// A sink that appends lines to a text file, flushing every line, keeping the
// previous run's file as ".old" (or the next free numbered name when the
// current one is held by another process).
class TraceFile : public TraceSink {
public:
    TraceFile(const char *path, uint8_t rotate, uint32_t writeCreateClose, uint8_t writeHeader);
    ~TraceFile() override;

    void text(const char *line) override;
    // "dd.mm.yyyy hh:mm:ss" followed by text, as one line.
    void writePduLine(const char *text);

    const std::string &fileName() const { return m_fileName; }
    bool isOpen() const { return m_stream != nullptr; }

private:
    void writeLine(const char *prefix, const char *text);
    void writeDatedLine(const char *text);
    void rotate();
    void mergeWaitingTmp();

    NamedLock m_lock;
    std::FILE *m_stream = nullptr;
    std::string m_fileName;
    uint32_t m_writeCreateClose;
};

#endif
