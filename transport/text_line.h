// A trace or PDU line composed piece by piece in a fixed buffer: appends
// that no longer fit are cut, never written past the end.
#ifndef PT_TRANSPORT_TEXT_LINE_H
#define PT_TRANSPORT_TEXT_LINE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "api/msg_dump.h"
#include "j2534.h"

template <std::size_t Capacity>
class BasicTextLine {
public:
    BasicTextLine() { buf_[0] = '\0'; }
    BasicTextLine(const BasicTextLine &) = delete;
    BasicTextLine &operator=(const BasicTextLine &) = delete;

    void appendf(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        if (len_ + 1 >= Capacity) return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(buf_ + len_, Capacity - len_, format, args);
        va_end(args);
        if (n < 0) {
            buf_[len_] = '\0';
            return;
        }
        const std::size_t room = Capacity - len_ - 1;
        len_ += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    }

    // "0x%02x " for each byte, all of them as far as they fit.
    void appendBytes(const uint8_t *bytes, uint32_t count) {
        static const char kHex[] = "0123456789abcdef";
        for (uint32_t i = 0; i < count && len_ + kByteText < Capacity; ++i) {
            buf_[len_++] = '0';
            buf_[len_++] = 'x';
            buf_[len_++] = kHex[bytes[i] >> 4];
            buf_[len_++] = kHex[bytes[i] & 0x0F];
            buf_[len_++] = ' ';
        }
        buf_[len_] = '\0';
    }

    // The message dump's form: at most 100 bytes, then "..." when cut.
    void appendHexDump(const uint8_t *bytes, uint32_t count) {
        AppendHexDump(bytes, buf_, Capacity, count, kDumpMaxBytes);
        len_ += std::strlen(buf_ + len_);
    }

    const char *c_str() const { return buf_; }

private:
    static constexpr std::size_t kByteText = 5;  // "0x%02x "
    static constexpr uint32_t kDumpMaxBytes = 100;
    char buf_[Capacity];
    std::size_t len_ = 0;
};

// A trace line.
using TextLine = BasicTextLine<kTraceLineSize>;
// A PDU trace line holds a whole message: id and prefix texts, then every byte.
using PduLine = BasicTextLine<64 + 5 * PT_MSG_DATA_SIZE>;

#endif
