#include "transport/pdu_trace.h"

#include "trace/text_line.h"
#include "trace/trace_file.h"
#include "transport/msg_id.h"

namespace {
// A whole message: direction and id texts, then every byte.
using PduLine = BasicTextLine<64 + 5 * PT_MSG_DATA_SIZE>;

// Behind the id, a message in CAN FD frames says so.
void AppendFrameFormat(PduLine &line, uint8_t format) {
    if (format & CAN_FRAME_FD) line.appendf("%s", (format & CAN_FRAME_FD_BRS) ? "FD BRS " : "FD ");
}
}  // namespace

void WritePduLine(TraceFile &file, const char *direction, const PASSTHRU_MSG &msg,
                  const std::vector<uint8_t> &addressBytes, uint8_t format) {
    PduLine line;
    line.appendf("%s", direction);
    const uint32_t size = BoundedDataSize(msg);
    if (size > MSG_ID_SIZE) {
        line.appendf("0x%04x ", static_cast<unsigned>(canIdFromBytes(msg.Data)));
        AppendFrameFormat(line, format);
        line.appendBytes(addressBytes.data(), static_cast<uint32_t>(addressBytes.size()));
        line.appendBytes(msg.Data + MSG_ID_SIZE, size - MSG_ID_SIZE);
    }
    file.writePduLine(line.c_str());
}

void WritePduLine(TraceFile &file, const char *direction, uint32_t canId, const IsoTpAddress &addr,
                  const uint8_t *payload, uint32_t length, uint8_t format) {
    PduLine line;
    line.appendf("%s", direction);
    if (length + addr.pciOffset() > 0) {
        line.appendf("0x%04x ", static_cast<unsigned>(canId));
        AppendFrameFormat(line, format);
        if (addr.extFlag) line.appendBytes(&addr.extAddr, 1);
        line.appendBytes(payload, length);
    }
    file.writePduLine(line.c_str());
}
