#include "bus_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/platform.h"
#include "host.h"
#include "vxlsim_control.h"

namespace {

constexpr unsigned kBusChannel = 0;
constexpr uint32_t kIdMask = 0x7FF;
constexpr uint8_t kFirstFrameLong[2] = {0x1F, 0xFF};  // first frame of 4095 bytes
constexpr uint8_t kFlowControlCts = 0x30;
// Longer than any exchange here takes, short enough to end a hung run.
constexpr double kExchangeLimitS = 5.0;
constexpr double kFrameOnItsWayS = 0.1;

std::string Format(const char *fmt, unsigned long a, unsigned long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

std::vector<uint8_t> LongFirstFrame() {
    std::vector<uint8_t> frame(kFirstFrameLong, kFirstFrameLong + 2);
    for (uint32_t i = 0; i < 6; ++i) frame.push_back(LongPayloadByte(i));
    return frame;
}

// Empty when msg is the complete long answer from the ECU.
std::string CheckLongAnswer(const PASSTHRU_MSG &msg) {
    if (msg.ProtocolID != ISO15765 || msg.RxStatus != 0 || IdOf(msg) != kResponseId)
        return Format("answer: ProtocolID %lu, RxStatus %lu", msg.ProtocolID, msg.RxStatus);
    if (msg.DataSize != 4 + kLongPayload) return Format("answer of DataSize %lu", msg.DataSize);
    for (uint32_t i = 0; i < kLongPayload; ++i)
        if (msg.Data[4 + i] != LongPayloadByte(i)) return Format("answer byte %lu is 0x%02lx", i, msg.Data[4 + i]);
    return "";
}

// Our frames are the only ones a port sends.
bool IsOurs(const vxlsim_frame &f) { return f.sender_port >= 0 && f.id == kRequestId; }

TransferFigures &Failed(TransferFigures &out, const std::string &error) {
    out.error = error;
    return out;
}

}  // namespace

std::string MorixIni(int trace) { return "[MORIX_VECTOR]\nTRACE=" + std::to_string(trace) + "\n"; }

double SecondsSince(uint64_t perfCounterStart) {
    return static_cast<double>(plat::PerfCounter() - perfCounterStart) / static_cast<double>(plat::PerfFrequency());
}

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

double Mean(const std::vector<double> &samples) {
    double sum = 0;
    for (double sample : samples) sum += sample;
    return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
}

double CpuPercentWhileSleeping(uint32_t ms) {
    const uint64_t cpuStart = plat::ProcessCpuTimeUs();
    const uint64_t wallStart = plat::PerfCounter();
    plat::SleepMs(ms);
    const double cpuS = static_cast<double>(plat::ProcessCpuTimeUs() - cpuStart) / 1e6;
    return 100.0 * cpuS / SecondsSince(wallStart);
}

std::vector<uint8_t> LongConsecutiveFrame(uint32_t k) {
    std::vector<uint8_t> frame(8, 0xFF);
    frame[0] = static_cast<uint8_t>(0x20 | (k & 0x0F));
    for (uint32_t j = 0; j < 7; ++j) {
        const uint32_t i = 6 + (k - 1) * 7 + j;
        if (i < kLongPayload) frame[1 + j] = LongPayloadByte(i);
    }
    return frame;
}

BusSession::BusSession(const J2534Api &api, bool realTiming) : m_api(api), m_msg(new PASSTHRU_MSG()) {
    // Nothing on the bus but what a scenario puts there.
    vxlsim_load_config_text(kOneCard);
    vxlsim_set_real_timing(realTiming ? 1 : 0);
}

BusSession::~BusSession() {
    // Also closes the hardware when no worker was started.
    if (m_api.Disconnect) m_api.Disconnect(m_channel);
    vxlsim_reset();
}

std::string BusSession::open(bool connect) {
    uint32_t status = STATUS_NOERROR;
    if (connect && (status = m_api.Connect(ISO15765, 0, &m_channel)) != STATUS_NOERROR)
        return Format("PassThruConnect: %lu", status);
    SCONFIG rate{DATA_RATE, kBitrate};
    SCONFIG_LIST list{1, &rate};
    if ((status = m_api.Ioctl(m_channel, SET_CONFIG, &list, nullptr)) != STATUS_NOERROR)
        return Format("DATA_RATE: %lu", status);
    PASSTHRU_MSG mask = FilterMsg(4, kIdMask), pattern = FilterMsg(4, kResponseId), flow = FilterMsg(4, kRequestId);
    uint32_t filterId = 0;
    if ((status = m_api.StartMsgFilter(m_channel, PASS_FILTER, &mask, &pattern, nullptr, &filterId)) != STATUS_NOERROR)
        return Format("pass filter: %lu", status);
    if ((status = m_api.StartMsgFilter(m_channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filterId)) !=
        STATUS_NOERROR)
        return Format("flow-control filter: %lu", status);
    drain();
    return "";
}

uint32_t BusSession::readOnce(bool &received) {
    uint32_t num = 1;
    const uint32_t status = m_api.ReadMsgs(m_channel, m_msg.get(), &num, 0);
    received = status == STATUS_NOERROR && num == 1;
    return status;
}

void BusSession::drain() {
    // The call log grows only with frames taken from the queue (and sent);
    // emptied first, as it stops growing when full.
    vxlsim_call_clear();
    for (int i = 0; i < 100000; ++i) {
        const int before = vxlsim_call_count();
        bool received = false;
        readOnce(received);
        if (vxlsim_call_count() == before) return;
    }
}

TransferFigures SendLongRequest(BusSession &session, uint32_t emptyPollPauseMs) {
    TransferFigures out;
    const uint8_t cts[8] = {kFlowControlCts, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const int peer = vxlsim_responder_add(kBusChannel, kRequestId, kFirstFrameLong, 2);
    vxlsim_responder_reply(peer, kResponseId, 8, cts, 0);
    session.drain();
    vxlsim_capture_clear();

    std::unique_ptr<PASSTHRU_MSG> request(new PASSTHRU_MSG(FilterMsg(4, kRequestId)));
    request->DataSize = 4 + kLongPayload;
    for (uint32_t i = 0; i < kLongPayload; ++i) request->Data[4 + i] = LongPayloadByte(i);
    uint32_t one = 1;
    const uint64_t start = plat::PerfCounter();
    uint32_t status = session.api().WriteMsgs(1, request.get(), &one, 0);
    bool confirmed = false;
    while (status == STATUS_NOERROR && !confirmed && SecondsSince(start) < kExchangeLimitS) {
        bool received = false;
        session.readOnce(received);
        if (!received) {
            if (emptyPollPauseMs) plat::SleepMs(emptyPollPauseMs);
            continue;
        }
        const PASSTHRU_MSG &msg = session.message();
        if (!(msg.RxStatus & TX_MSG_TYPE) || IdOf(msg) != kRequestId || msg.DataSize != 4) {
            out.error = Format("unexpected message: RxStatus %lu, DataSize %lu", msg.RxStatus, msg.DataSize);
            break;
        }
        confirmed = true;
    }
    out.elapsedMs = SecondsSince(start) * 1000.0;
    vxlsim_node_remove(peer);
    if (status != STATUS_NOERROR) out.error = Format("PassThruWriteMsgs: %lu", status);
    if (!out.error.empty()) return out;
    if (!confirmed) return Failed(out, "no transmit confirmation");

    // Our frames on the bus: the first frame, then 585 consecutive frames in
    // order. The confirmation delivered may be that of the frame before the
    // last (the first one read after the transfer ended), so the last frame
    // may still be on its way.
    std::vector<vxlsim_frame> ours;
    const uint64_t confirmedAt = plat::PerfCounter();
    do {
        ours.clear();
        for (const vxlsim_frame &f : vxlsim::Captured())
            if (IsOurs(f)) ours.push_back(f);
    } while (ours.size() < 1 + kLongConsecutiveFrames && SecondsSince(confirmedAt) < kFrameOnItsWayS);
    if (ours.size() != 1 + kLongConsecutiveFrames)
        return Failed(out, Format("%lu frames of ours on the bus", ours.size()));
    if (ours[0].data[0] != kFirstFrameLong[0] || ours[0].data[1] != kFirstFrameLong[1])
        return Failed(out, "no first frame");
    for (uint32_t k = 1; k <= kLongConsecutiveFrames; ++k) {
        const std::vector<uint8_t> expected = LongConsecutiveFrame(k);
        if (ours[k].dlc != 8 || !std::equal(expected.begin(), expected.end(), ours[k].data))
            return Failed(out, Format("consecutive frame %lu differs", k));
        if (k > 1) out.gapsMs.push_back(static_cast<double>(ours[k].wall_ns - ours[k - 1].wall_ns) / 1e6);
    }
    out.framesMs = static_cast<double>(ours.back().wall_ns - ours.front().wall_ns) / 1e6;
    return out;
}

TransferFigures ReceiveLongAnswer(BusSession &session) {
    TransferFigures out;
    const uint8_t ctsPrefix[1] = {kFlowControlCts};
    const int peer = vxlsim_responder_add(kBusChannel, kRequestId, ctsPrefix, 1);
    for (uint32_t k = 1; k <= kLongConsecutiveFrames; ++k)
        vxlsim_responder_reply(peer, kResponseId, 8, LongConsecutiveFrame(k).data(), 0);
    session.drain();
    vxlsim_capture_clear();

    const std::vector<uint8_t> first = LongFirstFrame();
    const uint64_t start = plat::PerfCounter();
    vxlsim::BusSend(kBusChannel, kResponseId, first);
    bool complete = false;
    while (!complete && SecondsSince(start) < kExchangeLimitS) {
        bool received = false;
        session.readOnce(received);
        if (!received) continue;
        out.error = CheckLongAnswer(session.message());
        complete = true;
    }
    out.elapsedMs = SecondsSince(start) * 1000.0;
    vxlsim_node_remove(peer);
    if (!complete) out.error = "no complete answer";
    return out;
}

std::string ConsecutiveFrameFeed::start() {
    vxlsim_capture_clear();
    const std::vector<uint8_t> first = LongFirstFrame();
    if (vxlsim::InjectFrame(-1, kBusChannel, kResponseId, first) != 1) return "first frame not injected";
    bool received = false;
    m_session.readOnce(received);
    const std::vector<vxlsim_frame> sent = vxlsim::Captured();
    if (received || sent.empty() || sent.back().id != kRequestId || sent.back().data[0] != kFlowControlCts)
        return "first frame not answered by a flow control";
    m_session.drain();  // the flow control's own confirmation
    m_nextFrame = 1;
    return "";
}

std::string ConsecutiveFrameFeed::next() {
    if (m_nextFrame == 0) {
        const std::string error = start();
        if (!error.empty()) return error;
    }
    if (vxlsim::InjectFrame(-1, kBusChannel, kResponseId, LongConsecutiveFrame(m_nextFrame)) != 1)
        return "consecutive frame not injected";
    return "";
}

std::string ConsecutiveFrameFeed::check(uint32_t status, bool received) {
    const uint32_t k = m_nextFrame++;
    if (k < kLongConsecutiveFrames) {
        if (status != ERR_BUFFER_EMPTY || received) return Format("consecutive frame %lu gave status %lu", k, status);
        return "";
    }
    m_nextFrame = 0;
    if (!received) return Format("last consecutive frame gave status %lu", status);
    return CheckLongAnswer(m_session.message());
}
