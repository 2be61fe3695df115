#include "api/msg_dump.h"

#include <cstdio>
#include <cstring>

#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kMsgDumpMaxBytes = 100;
constexpr std::size_t kByteTextLength = 5;  // "0x%02x "
constexpr char kEllipsis[] = "...";

}  // namespace

void AppendHexDump(const uint8_t *bytes, char *out, std::size_t outSize, uint32_t count,
                   uint32_t maxBytes) {
    if (out == nullptr || outSize == 0) return;
    const void *nul = std::memchr(out, '\0', outSize);
    if (nul == nullptr) return;  // not terminated: not ours to touch
    std::size_t len = static_cast<std::size_t>(static_cast<const char *>(nul) - out);
    if (bytes == nullptr) count = 0;

    static const char kHex[] = "0123456789abcdef";
    uint32_t wanted = count < maxBytes ? count : maxBytes;
    uint32_t written = 0;
    // Whole byte texts only, so a short buffer never shows half a byte.
    while (written < wanted && len + kByteTextLength < outSize) {
        uint8_t b = bytes[written++];
        out[len++] = '0';
        out[len++] = 'x';
        out[len++] = kHex[b >> 4];
        out[len++] = kHex[b & 0x0F];
        out[len++] = ' ';
    }
    out[len] = '\0';

    // "..." marks a dump that shows fewer bytes than there are, whether the
    // limit or the caller's buffer cut it short.
    bool cut = written == maxBytes || written < wanted;
    if (cut && len + sizeof(kEllipsis) <= outSize) std::memcpy(out + len, kEllipsis, sizeof(kEllipsis));
}

void TracePassThruMsg(const PASSTHRU_MSG *msg, const char *label, TraceScope &scope) {
    if (label == nullptr) label = "";
    if (msg == nullptr) {
        if (scope.isEnabled()) scope.messagef(TL_INFO, "%-15s void pointer!", label);
        return;
    }

    char line[kTraceLineSize];
    std::snprintf(line, sizeof(line),
                  "%-15s ProtocolID=%08x RxStatus=%08x TxFlags=%08x Timestamp=%09u "
                  "DataSize=%08x ExtraDataIndex=%08x ",
                  label, static_cast<unsigned>(msg->ProtocolID),
                  static_cast<unsigned>(msg->RxStatus), static_cast<unsigned>(msg->TxFlags),
                  static_cast<unsigned>(msg->Timestamp), static_cast<unsigned>(msg->DataSize),
                  static_cast<unsigned>(msg->ExtraDataIndex));

    if ((msg->TxFlags & ISO15765_ADDR_TYPE) != 0 && scope.isEnabled())
        scope.message("EXTENDED ADDRESS !!!", TL_INFO);
    if ((msg->TxFlags & CAN_29BIT_ID) != 0) scope.message("29 Bit CAN ADDRESS !!!", TL_INFO);

    if (scope.isEnabled()) {
        // A DataSize beyond the record still dumps only what Data holds.
        uint32_t count = msg->DataSize < PT_MSG_DATA_SIZE ? msg->DataSize : PT_MSG_DATA_SIZE;
        AppendHexDump(msg->Data, line, sizeof(line), count, kMsgDumpMaxBytes);
        scope.message(line, TL_INFO);
    }
}
