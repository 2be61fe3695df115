// Brings the CAN layer up on whatever driver the platform's search finds,
// prints the hardware table, sends one diagnostic request and waits for the
// bus to answer: the quickest way to see that library and driver agree.
// With the simulated driver an ECU stand-in answers the request.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "can/can_port.h"
#include "platform/platform.h"
#include "trace/trace_scope.h"
#include "trace/trace_sink.h"
#include "trace/tracer.h"
#include "vxlsim_control.h"

namespace {

constexpr uint32_t kBitrate = 500000;
constexpr uint32_t kRequestId = 0x7E0;
constexpr uint32_t kResponseId = 0x7E8;
constexpr uint32_t kWaitMs = 2000;
// DiagnosticSessionControl, extended session, as an ISO 15765 single frame.
const uint8_t kRequest[] = {0x02, 0x10, 0x03};
const uint8_t kResponse[] = {0x06, 0x50, 0x03, 0x00, 0x32, 0x01, 0xF4, 0xAA};

class StdoutSink : public TraceSink {
public:
    void text(const char *line) override { std::printf("%s\n", line); }
};

void PrintHardware(const CanPort &port) {
    const XLdriverConfig &config = port.driverConfig();
    std::printf("\n%u channel(s) on driver %s:\n", config.channelCount, XlDriverFileName().c_str());
    const uint32_t count = config.channelCount < XL_CONFIG_MAX_CHANNELS ? config.channelCount : XL_CONFIG_MAX_CHANNELS;
    for (uint32_t i = 0; i < count; ++i) {
        const XLchannelConfig &ch = config.channel[i];
        std::printf("  %2u  %-32.32s mask 0x%02" PRIx64 "  bus caps 0x%08x  %s\n", i, ch.name,
                    static_cast<uint64_t>(ch.channelMask), ch.channelBusCapabilities,
                    (ch.channelMask & port.channelMask()) ? "in use" : "");
    }
    std::printf("port 0x%x, channel mask 0x%" PRIx64 "\n\n", static_cast<unsigned>(port.portHandle()),
                static_cast<uint64_t>(port.channelMask()));
}

void PrintFrame(const char *what, const CanFrame &frame) {
    std::printf("%s id 0x%03x dlc %u at %u.%03u ms:", what, frame.id, frame.dlc, frame.timeMs, frame.timeUs);
    for (uint8_t i = 0; i < frame.dlc && i < sizeof(frame.data); ++i) std::printf(" %02X", frame.data[i]);
    std::printf("\n");
}

// Polls the receive queue until both the confirmation of the request and
// the answer have arrived, or the time is up.
bool AwaitRoundTrip(CanPort &port) {
    bool confirmed = false;
    bool answered = false;
    const uint32_t start = plat::TickCount();
    while (!(confirmed && answered) && plat::TickCount() - start < kWaitMs) {
        CanFrame frame = {};
        if (!port.VectorReadReceiveQueue(frame)) {
            plat::SleepMs(1);
            continue;
        }
        if (frame.frameFlags == CAN_FRAME_TX_ACK && frame.id == kRequestId) {
            PrintFrame("confirmed", frame);
            confirmed = true;
        } else if (frame.frameType == CAN_FRAME_TYPE_FRAME && frame.id == kResponseId) {
            PrintFrame("answer   ", frame);
            answered = true;
        }
    }
    return confirmed && answered;
}

}  // namespace

int main() {
    StdoutSink sink;
    Tracer tracer;
    tracer.addCategories(kTraceCategory);
    tracer.addLevels(TL_FATALERROR | TL_ERROR | TL_INFO | TL_FUNCTION);
    tracer.setMaxDepth(10);
    tracer.attach(&sink);
    SetActiveTracer(&tracer);

    const CanPortSettings settings;
    const FieldProfile profile;
    XlDriverSession session;
    CanPort port(settings, profile, session);
    int result = 1;
    if (port.reopen(kBitrate) != 0) {
        std::printf("vectorInitDriver(%u) failed: is %s installed?\n", kBitrate, XlDriverFileName().c_str());
    } else {
        PrintHardware(port);
        vxlsim_nodes_clear();
        for (unsigned channel = 0; channel < XL_CONFIG_MAX_CHANNELS; ++channel) {
            if (!(port.channelMask() & (XLaccess(1) << channel))) continue;
            const int node = vxlsim_responder_add(channel, kRequestId, kRequest, sizeof kRequest);
            vxlsim_responder_reply(node, kResponseId, sizeof kResponse, kResponse, 1000);
        }
        uint32_t status;
        {
            PT_SCOPE(scope, "xl_probe");
            // Only the response identifier is let through, as a message filter would.
            port.openAcceptance(kResponseId, "Pass", TL_ERROR, scope);
            status = port.VectorTransmit(kRequestId, sizeof kRequest, kRequest, 1, scope);
        }
        if (status == 0 && AwaitRoundTrip(port)) {
            std::printf("round trip on the bus: ok\n");
            result = 0;
        } else {
            std::printf("round trip on the bus: FAILED (transmit status %u)\n", status);
        }
    }
    port.VectorCleanUp();
    SetActiveTracer(nullptr);
    tracer.detach(&sink);
    return result;
}
