// Trace and PDU lines composed piece by piece in a fixed buffer: appends that
// no longer fit are cut, never written past the end. Every byte run of the
// trace is written here, so "0x%02x " looks the same in every line.
#ifndef PT_TRACE_TEXT_LINE_H
#define PT_TRACE_TEXT_LINE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Size of the line buffers that callers of AppendHexDump supply.
constexpr std::size_t kTraceLineSize = 1024;

// The message dump's limit: longer runs are shown cut, with "...".
constexpr uint32_t kHexDumpMaxBytes = 100;

enum class HexCase { Lower, Upper };

// Appends "0x%02x " per byte, at most maxBytes of them, then "..." when
// maxBytes were written. out is a NUL-terminated buffer of outSize bytes;
// nothing is written past it: when it fills up, the dump ends after the last
// whole byte text and "..." follows if it still fits.
void AppendHexDump(const uint8_t *bytes, char *out, std::size_t outSize, uint32_t count, uint32_t maxBytes);

// Writes "0x%02x " (or "0x%02X ") of count bytes into out, which has room for
// 5 * count characters; returns the characters written (no NUL).
std::size_t WriteHexBytes(const uint8_t *bytes, uint32_t count, char *out, HexCase hexCase = HexCase::Lower);

template <std::size_t Capacity>
class BasicTextLine {
public:
    BasicTextLine() { m_buf[0] = '\0'; }
    BasicTextLine(const BasicTextLine &) = delete;
    BasicTextLine &operator=(const BasicTextLine &) = delete;

    void appendf(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        if (m_len + 1 >= Capacity) return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(m_buf + m_len, Capacity - m_len, format, args);
        va_end(args);
        if (n < 0) {
            m_buf[m_len] = '\0';
            return;
        }
        const std::size_t room = Capacity - m_len - 1;
        m_len += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    }

    // "0x%02x " for each byte, all of them as far as they fit.
    void appendBytes(const uint8_t *bytes, uint32_t count, HexCase hexCase = HexCase::Lower) {
        const std::size_t room = (Capacity - 1 - m_len) / kByteText;
        const uint32_t fitting = count < room ? count : static_cast<uint32_t>(room);
        m_len += WriteHexBytes(bytes, fitting, m_buf + m_len, hexCase);
        m_buf[m_len] = '\0';
    }

    // The message dump's form: at most 100 bytes, then "..." when cut.
    void appendHexDump(const uint8_t *bytes, uint32_t count) {
        AppendHexDump(bytes, m_buf, Capacity, count, kHexDumpMaxBytes);
        m_len += std::strlen(m_buf + m_len);
    }

    const char *c_str() const { return m_buf; }

private:
    static constexpr std::size_t kByteText = 5;  // "0x%02x "
    char m_buf[Capacity];
    std::size_t m_len = 0;
};

// A trace line.
using TextLine = BasicTextLine<kTraceLineSize>;

#endif
