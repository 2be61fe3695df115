#include "trace/text_line.h"

namespace {

constexpr std::size_t kByteTextLength = 5;  // "0x%02x "
constexpr char kEllipsis[] = "...";

}  // namespace

std::size_t WriteHexBytes(const uint8_t *bytes, uint32_t count, char *out, HexCase hexCase) {
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    const char *digits = hexCase == HexCase::Upper ? kUpper : kLower;
    char *p = out;
    for (uint32_t i = 0; i < count; ++i) {
        *p++ = '0';
        *p++ = 'x';
        *p++ = digits[bytes[i] >> 4];
        *p++ = digits[bytes[i] & 0x0F];
        *p++ = ' ';
    }
    return static_cast<std::size_t>(p - out);
}

void AppendHexDump(const uint8_t *bytes, char *out, std::size_t outSize, uint32_t count, uint32_t maxBytes) {
    if (out == nullptr || outSize == 0) return;
    const void *nul = std::memchr(out, '\0', outSize);
    if (nul == nullptr) return;  // not terminated: not ours to touch
    std::size_t len = static_cast<std::size_t>(static_cast<const char *>(nul) - out);
    if (bytes == nullptr) count = 0;

    const uint32_t wanted = count < maxBytes ? count : maxBytes;
    // Whole byte texts only, so a short buffer never shows half a byte.
    const std::size_t room = len + kByteTextLength < outSize ? (outSize - 1 - len) / kByteTextLength : 0;
    const uint32_t written = wanted < room ? wanted : static_cast<uint32_t>(room);
    len += WriteHexBytes(bytes, written, out + len);
    out[len] = '\0';

    // "..." marks a dump that shows fewer bytes than there are, whether the
    // limit or the caller's buffer cut it short.
    const bool cut = written == maxBytes || written < wanted;
    if (cut && len + sizeof(kEllipsis) <= outSize) std::memcpy(out + len, kEllipsis, sizeof(kEllipsis));
}
