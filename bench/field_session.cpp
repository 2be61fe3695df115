#include "field_session.h"

#include <cstdio>
#include <memory>

#include "bus_session.h"
#include "host.h"
#include "j2534.h"
#include "platform/platform.h"
#include "vxlsim_control.h"

namespace {

constexpr uint8_t kEchoSid = 0xBA;
constexpr double kExchangeLimitS = 5.0;

const char kVehicle[] = VXLSIM_ONE_CARD
    "[driver]\nreal_timing = 1\n"
    "[ecu]\nname = engine\nrequest_id = 0x7E0\nresponse_id = 0x7E8\nlong_did_length = 4092\n";

std::string Text(const char *format, unsigned long a, unsigned long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

bool IsOurConsecutiveFrame(const vxlsim_frame &f) {
    return f.sender_port >= 0 && f.id == kRequestId && (f.data[0] >> 4) == 2;
}

// The library with the field profile, the vehicle, and an open channel.
class FieldHost {
public:
    explicit FieldHost(const std::string &ecuSettings)
        : m_host("[MORIX_VECTOR]\nTRACE=1\nFIELDPROFILE=1\n"), m_msg(new PASSTHRU_MSG()) {
        if (vxlsim_load_config_text((kVehicle + ecuSettings).c_str()) != 0)
            m_error = "vehicle refused";
        else if (!m_host.load())
            m_error = "cannot load " + LibraryPath();
        else
            m_error = open();
    }
    ~FieldHost() {
        if (m_host.loaded()) {
            api().Disconnect(1);
            m_host.unload();
        }
        vxlsim_reset();
    }

    const std::string &error() const { return m_error; }
    const J2534Api &api() const { return m_host.api(); }
    PASSTHRU_MSG &message() { return *m_msg; }

    // One PassThruReadMsgs for one message: true when it delivered one.
    bool read() {
        uint32_t num = 1;
        return api().ReadMsgs(1, m_msg.get(), &num, 0) == STATUS_NOERROR && num == 1;
    }

    uint32_t write(const Bytes &payload) {
        std::unique_ptr<PASSTHRU_MSG> request(new PASSTHRU_MSG(Msg(kRequestId, payload)));
        uint32_t one = 1;
        return api().WriteMsgs(1, request.get(), &one, 0);
    }

    uint32_t writeEcho(uint32_t length) {
        Bytes payload(length);
        payload[0] = kEchoSid;
        for (uint32_t i = 1; i < length; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
        return write(payload);
    }

    // Polls until the transmit confirmation of kRequestId, pausing 1 ms
    // after a poll that found nothing, as a server does.
    bool awaitConfirmation(uint64_t since, double limitS = kExchangeLimitS) {
        return awaitMessage(since, limitS,
                            [](const PASSTHRU_MSG &m) { return (m.RxStatus & TX_MSG_TYPE) && IdOf(m) == kRequestId; });
    }

    bool awaitAnswer(uint64_t since) {
        return awaitMessage(since, kExchangeLimitS, [](const PASSTHRU_MSG &m) {
            return !(m.RxStatus & TX_MSG_TYPE) && IdOf(m) == kResponseId;
        });
    }

    template <typename Wanted>
    bool awaitMessage(uint64_t since, double limitS, Wanted wanted) {
        while (SecondsSince(since) < limitS) {
            if (!read()) {
                plat::SleepMs(1);
                continue;
            }
            if (wanted(message())) return true;
        }
        return false;
    }

private:
    std::string open() {
        uint32_t channel = 0;
        if (api().Connect(ISO15765, 0, &channel) != STATUS_NOERROR) return "PassThruConnect failed";
        SCONFIG params[] = {{DATA_RATE, 500000}, {ISO15765_BS, 0}};
        SCONFIG_LIST list{2, params};
        if (api().Ioctl(1, SET_CONFIG, &list, nullptr) != STATUS_NOERROR) return "DATA_RATE failed";
        PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, kResponseId), flow = FilterMsg(4, kRequestId);
        uint32_t id = 0;
        if (api().StartMsgFilter(1, PASS_FILTER, &mask, &pattern, nullptr, &id) != STATUS_NOERROR ||
            api().StartMsgFilter(1, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id) != STATUS_NOERROR)
            return "filters refused";
        return "";
    }

    HostLibrary m_host;
    std::unique_ptr<PASSTHRU_MSG> m_msg;
    std::string m_error;
};

}  // namespace

FieldFigures FieldRequest(const std::string &ecuSettings, uint32_t length) {
    FieldFigures out;
    FieldHost host(ecuSettings);
    if (!(out.error = host.error()).empty()) return out;
    vxlsim_capture_clear();
    const uint64_t start = plat::PerfCounter();
    const uint32_t status = host.writeEcho(length);
    if (status != STATUS_NOERROR) {
        out.error = Text("PassThruWriteMsgs: %lu", status);
        return out;
    }
    if (!host.awaitConfirmation(start)) {
        out.error = "no transmit confirmation";
        return out;
    }
    out.elapsedMs = SecondsSince(start) * 1000.0;

    // Back-to-back frames end one frame time apart on the bus: the shortest
    // gap between two of ours is the time one of them occupies it.
    uint64_t frames = 0, shortestNs = 0, previousNs = 0;
    bool previousWasConsecutive = false;
    for (const vxlsim_frame &f : vxlsim::Captured()) {
        if (f.sender_port < 0 || f.id != kRequestId) continue;
        const bool consecutive = IsOurConsecutiveFrame(f);
        if (consecutive && previousWasConsecutive) {
            const uint64_t gap = f.time_ns - previousNs;
            out.gapsUs.push_back(static_cast<double>(gap) / 1000.0);
            if (shortestNs == 0 || gap < shortestNs) shortestNs = gap;
        }
        previousNs = f.time_ns;
        previousWasConsecutive = consecutive;
        ++frames;
    }
    out.busMs = static_cast<double>(frames * shortestNs) / 1e6;
    return out;
}

FieldFigures FieldSlowAnswer(uint32_t pollMs) {
    FieldFigures out;
    FieldHost host("");
    if (!(out.error = host.error()).empty()) return out;
    vxlsim_capture_clear();
    const uint64_t start = plat::PerfCounter();
    if (host.write({0x22, 0x01, 0x00}) != STATUS_NOERROR) {
        out.error = "PassThruWriteMsgs refused";
        return out;
    }
    while (SecondsSince(start) < kExchangeLimitS) {
        plat::SleepMs(pollMs);
        if (!host.read() || (host.message().RxStatus & TX_MSG_TYPE)) continue;
        const uint64_t deliveredNs = vxlsim_now_ns();
        out.elapsedMs = SecondsSince(start) * 1000.0;
        const PASSTHRU_MSG &msg = host.message();
        if (IdOf(msg) != kResponseId || msg.DataSize != 4 + 4095) {
            out.error = Text("answer of DataSize %lu on 0x%03lx", msg.DataSize, IdOf(msg));
            return out;
        }
        for (uint32_t k = 0; k < 4092; ++k)
            if (msg.Data[7 + k] != (k & 0xFF)) {
                out.error = Text("answer byte %lu is 0x%02lx", k, msg.Data[7 + k]);
                return out;
            }
        uint64_t lastNs = 0;
        for (const vxlsim_frame &f : vxlsim::Captured())
            if (f.id == kResponseId) lastNs = f.time_ns;
        out.deliveryMs = static_cast<double>(deliveredNs - lastNs) / 1e6;
        return out;
    }
    out.error = "no complete answer";
    return out;
}

std::string FieldFlowStatus(const std::string &ecuSettings, bool expectConfirmation) {
    FieldHost host(ecuSettings);
    if (!host.error().empty()) return host.error();
    uint64_t start = plat::PerfCounter();
    if (host.writeEcho(64) != STATUS_NOERROR) return "first PassThruWriteMsgs refused";
    // A refused transfer never confirms: a second is plenty to be sure.
    const bool confirmed = host.awaitConfirmation(start, expectConfirmation ? kExchangeLimitS : 1.0);
    if (confirmed != expectConfirmation) return confirmed ? "confirmed, though refused" : "not confirmed";
    // The ECU answers a request it took; the next one waits for that.
    if (confirmed && !host.awaitAnswer(start)) return "no answer to the first request";
    if (vxlsim_ecu_set(vxlsim_ecu_find("engine"), "fc_wait", "0") != 0 ||
        vxlsim_ecu_set(vxlsim_ecu_find("engine"), "fc_status", "cts") != 0)
        return "ECU settings refused";
    start = plat::PerfCounter();
    if (host.writeEcho(64) != STATUS_NOERROR) return "second PassThruWriteMsgs refused";
    return host.awaitConfirmation(start) ? "" : "second request not confirmed";
}
