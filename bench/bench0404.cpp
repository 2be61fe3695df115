// The 04.04 library's figures, as a J2534 tool sees them, on the stand-in's
// bus at 500 kbit/s with real frame timing (a plain program, so that the
// Windows DLLs are measured the same way under wine):
//   - a 4095-byte request written with a Timeout: call to return, against the
//     bus time of its frames (8-byte frames back to back);
//   - a 4095-byte answer read with one blocking PassThruReadMsgs (Timeout
//     1000): its first frame on the bus to the return, against its bus time;
//   - a blocking read of a single-frame answer: the frame's end to the
//     return (median and p99 of many);
//   - our flow control after the ECU's first frame: the first frame's end on
//     the bus to our flow control's hand-over to the driver (median);
//   - a 4095-byte answer received with our block size 1 (a flow control
//     after every consecutive frame): first frame to return against the bus
//     time of its frames and our flow controls;
//   - CPU of the process while a device with an ISO15765 channel is idle.
//
//   pt_bench0404 [rounds] [other library ...]
// Default 5 rounds of the transfers, 200 reads. With other libraries (an
// older build's pt_vector0404) each is measured beside the one built here,
// in turns (A B A B ...), in one process on one stand-in, and the medians of
// each are printed side by side.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "j2534_0404.h"
#include "platform/platform.h"
#include "vxlsim_control.h"

namespace fs = std::filesystem;

namespace {

constexpr double kFrameUs = 260.0;  // an 8-byte 11-bit frame at 500 kbit/s
const char kVehicle[] = VXLSIM_ONE_CARD "[driver]\nreal_timing = 1\n[ecu]\nname = engine\n";

struct Api {
    decltype(&PassThruOpen) Open;
    decltype(&PassThruClose) Close;
    decltype(&PassThruConnect) Connect;
    decltype(&PassThruReadMsgs) ReadMsgs;
    decltype(&PassThruWriteMsgs) WriteMsgs;
    decltype(&PassThruStartMsgFilter) StartMsgFilter;
    decltype(&PassThruIoctl) Ioctl;
} g;

uint64_t SteadyNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

PASSTHRU_MSG Message(uint32_t id, const std::vector<uint8_t> &payload) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = ISO15765;
    msg.TxFlags = ISO15765_FRAME_PAD;
    for (int shift = 24, i = 0; shift >= 0; shift -= 8) msg.Data[i++] = static_cast<uint8_t>(id >> shift);
    if (!payload.empty()) std::memcpy(msg.Data + 4, payload.data(), payload.size());
    msg.DataSize = 4 + static_cast<uint32_t>(payload.size());
    return msg;
}

// Reads until a message that is no indication; false after 3 s.
bool ReadAnswer(uint32_t channel, PASSTHRU_MSG &msg, uint32_t timeoutMs) {
    for (int i = 0; i < 10; ++i) {
        uint32_t one = 1;
        if (g.ReadMsgs(channel, &msg, &one, timeoutMs) != STATUS_NOERROR || one != 1) return false;
        if ((msg.RxStatus & (TX_INDICATION | START_OF_MESSAGE | TX_MSG_TYPE)) == 0) return true;
    }
    return false;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Percentile99(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

// The steady clock's time at which the first frame on id with PCI type
// pciType ended on the bus: the simulated time follows the steady clock.
uint64_t FrameEndSteadyNs(uint32_t id, uint8_t pciType) {
    const uint64_t offset = SteadyNs() - vxlsim_now_ns();
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.id == id && (f.data[0] >> 4) == pciType) return f.time_ns + offset;
    return 0;
}

// Bus time (us) of the frames of a reception: the ECU's frames on ecuId and
// our flow controls on flowId from its first frame on (11-bit, 500 kbit/s,
// stuffing estimated as the stand-in does).
double ReceptionBusUs(uint32_t ecuId, uint32_t flowId) {
    double us = 0;
    bool started = false;
    for (const vxlsim_frame &f : vxlsim::Captured()) {
        if (f.id == ecuId && (f.data[0] >> 4) == 1) started = true;
        if (!started || (f.id != ecuId && f.id != flowId)) continue;
        if (f.id == flowId && (f.data[0] >> 4) != 3) continue;
        const unsigned dataBits = 8u * f.dlc;
        us += (47 + dataBits + (34 + dataBits) / 5) * 2.0;
    }
    return us;
}

size_t FramesOn(uint32_t id) {
    size_t n = 0;
    for (const vxlsim_frame &f : vxlsim::Captured()) n += f.id == id ? 1 : 0;
    return n;
}


// First frame's end on id with PCI type pciType (steady clock), and the
// hand-over of the first frame on flowId with PCI type 3 after it.
double FlowControlDelayUs(uint32_t ecuId, uint32_t flowId) {
    const uint64_t offset = SteadyNs() - vxlsim_now_ns();
    uint64_t firstEnd = 0;
    for (const vxlsim_frame &f : vxlsim::Captured()) {
        if (firstEnd == 0 && f.id == ecuId && (f.data[0] >> 4) == 1) firstEnd = f.time_ns + offset;
        if (firstEnd != 0 && f.id == flowId && (f.data[0] >> 4) == 3)
            return f.wall_ns > firstEnd ? (f.wall_ns - firstEnd) / 1e3 : 0.0;
    }
    return -1;
}

struct Figures {
    std::vector<double> writeRatio, readRatio, bs1Ratio, flowUs, latencyMs, cpuPercent;
};

template <typename Fn>
void Resolve(void *library, Fn &fn, const char *name) {
    fn = reinterpret_cast<Fn>(plat::FindSymbol(library, name));
}

uint32_t SetBlockSize(uint32_t channel, uint32_t bs) {
    SCONFIG param{ISO15765_BS, bs};
    SCONFIG_LIST list{1, &param};
    return g.Ioctl(channel, SET_CONFIG, &list, nullptr);
}

// One turn of a library: load, open, the transfers, the reads, an idle
// stretch, close, unload. False when a call failed.
const char *g_failed = "";

bool Measure(const std::string &path, int rounds, int idleSeconds, Figures &out) {
    void *library = plat::LoadSharedLibrary(path.c_str());
    g_failed = "load";
    if (!library) return false;
    Resolve(library, g.Open, "PassThruOpen");
    Resolve(library, g.Close, "PassThruClose");
    Resolve(library, g.Connect, "PassThruConnect");
    Resolve(library, g.ReadMsgs, "PassThruReadMsgs");
    Resolve(library, g.WriteMsgs, "PassThruWriteMsgs");
    Resolve(library, g.StartMsgFilter, "PassThruStartMsgFilter");
    Resolve(library, g.Ioctl, "PassThruIoctl");
    uint32_t device = 0, channel = 0, filter = 0;
    PASSTHRU_MSG mask = Message(0xFFFFFFFF, {}), pattern = Message(0x7E8, {}), flow = Message(0x7E0, {});
    bool ok = g.Open(nullptr, &device) == 0 && g.Connect(device, ISO15765, 0, 500000, &channel) == 0 &&
              g.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter) == 0;
    g_failed = ok ? "" : "open, connect or filter";
    std::vector<uint8_t> echo(4095);
    for (size_t i = 0; i < echo.size(); ++i) echo[i] = static_cast<uint8_t>(i);
    echo[0] = 0xBA;
    PASSTHRU_MSG msg{}, answer{};
    for (int r = 0; ok && r < rounds; ++r) {
        for (uint32_t bs : {0u, 1u}) {
            if (SetBlockSize(channel, bs) != STATUS_NOERROR) {
                ok = false;
                g_failed = "ISO15765_BS";
            }
            vxlsim_capture_clear();
            msg = Message(0x7E0, echo);
            uint32_t one = 1;
            const uint64_t start = SteadyNs();
            if (ok && g.WriteMsgs(channel, &msg, &one, 3000) != STATUS_NOERROR) {
                ok = false;
                g_failed = "4095-byte write";
            }
            const uint64_t written = SteadyNs();
            // The answer's first frame follows at once; one blocking read takes it whole.
            if (!ok || !ReadAnswer(channel, answer, bs != 0 ? 5000 : 1000) || answer.DataSize != 4 + 4095) {
                if (ok) g_failed = "4095-byte answer";
                ok = false;
                break;
            }
            const uint64_t read = SteadyNs();
            const uint64_t firstFrameStart = FrameEndSteadyNs(0x7E8, 1) - static_cast<uint64_t>(kFrameUs * 1e3);
            const double ratio = (read - firstFrameStart) / 1e3 / (FramesOn(0x7E8) * kFrameUs);
            if (bs == 0) {
                out.writeRatio.push_back((written - start) / 1e3 / (FramesOn(0x7E0) * kFrameUs));
                out.readRatio.push_back(ratio);
                out.flowUs.push_back(FlowControlDelayUs(0x7E8, 0x7E0));
            } else {
                out.bs1Ratio.push_back((read - firstFrameStart) / 1e3 / ReceptionBusUs(0x7E8, 0x7E0));
            }
        }
    }
    if (ok) ok = SetBlockSize(channel, 0) == STATUS_NOERROR;
    // Single frames: tester present and its answer, read blocking.
    for (int i = 0; ok && i < 40 * rounds; ++i) {
        vxlsim_capture_clear();
        msg = Message(0x7E0, {0x3E, 0x00});
        uint32_t one = 1;
        if (g.WriteMsgs(channel, &msg, &one, 0) != STATUS_NOERROR || !ReadAnswer(channel, answer, 1000)) {
            g_failed = "single-frame round trip";
            ok = false;
            break;
        }
        const uint64_t read = SteadyNs();
        out.latencyMs.push_back((read - FrameEndSteadyNs(0x7E8, 0)) / 1e6);
    }
    if (ok && idleSeconds > 0) {
        const uint64_t cpu0 = plat::ProcessCpuTimeUs(), wall0 = SteadyNs();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        out.cpuPercent.push_back(100.0 * static_cast<double>(plat::ProcessCpuTimeUs() - cpu0) /
                                 ((SteadyNs() - wall0) / 1e3));
    }
    g.Close(device);
    plat::UnloadSharedLibrary(library);
    return ok;
}

void Print(const std::string &name, const Figures &f) {
    std::printf("%s\n", name.c_str());
    std::printf("  4095-byte request, WriteMsgs(Timeout) call to return / bus time: median %.3f (of %zu)\n",
                Median(f.writeRatio), f.writeRatio.size());
    std::printf("  4095-byte answer, first frame to ReadMsgs(Timeout 1000) return / bus time: median %.3f (of %zu)\n",
                Median(f.readRatio), f.readRatio.size());
    std::printf("  4095-byte answer with our block size 1, first frame to return / bus time of its frames and our "
                "flow controls: median %.3f (of %zu)\n",
                Median(f.bs1Ratio), f.bs1Ratio.size());
    std::printf("  our flow control after the ECU's first frame: median %.3f ms, p99 %.3f ms (of %zu)\n",
                Median(f.flowUs) / 1e3, Percentile99(f.flowUs) / 1e3, f.flowUs.size());
    std::printf("  blocking read of a single frame, frame end to return: median %.3f ms, p99 %.3f ms (of %zu)\n",
                Median(f.latencyMs), Percentile99(f.latencyMs), f.latencyMs.size());
    std::printf("  CPU while the channel is open and idle: median %.2f %% of a core (of %zu)\n", Median(f.cpuPercent),
                f.cpuPercent.size());
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    char exe[1024];
    if (!plat::ExecutableFileName(exe, sizeof exe)) return 1;
    const fs::path bin = fs::path(exe).parent_path();
    const fs::path work = fs::temp_directory_path() / "pt_bench0404";
    fs::create_directories(work);
    std::ofstream(work / "pt_vector0404.ini") << "[PT_VECTOR]\nTRACE=1\n";
    plat::SetEnvironmentValue("PT_VECTOR_INI", (work / "pt_vector0404.ini").string().c_str());
    if (vxlsim_load_config_text(kVehicle) != 0) return 1;
    std::vector<std::string> libraries{
        (bin / (std::string(plat::SharedLibraryPrefix()) + "pt_vector0404" + plat::SharedLibrarySuffix())).string()};
    for (int i = 2; i < argc; ++i) libraries.push_back(argv[i]);
    // With others to compare, each turn is a share of the rounds, in turns.
    const int turns = libraries.size() > 1 ? 3 : 1;
    const int perTurn = std::max(1, rounds / turns);
    std::map<std::string, Figures> figures;
    for (int t = 0; t < turns; ++t)
        for (const std::string &library : libraries)
            if (!Measure(library, perTurn, libraries.size() > 1 ? 2 : 5, figures[library])) {
                std::fprintf(stderr, "%s: a call failed (%s)\n", library.c_str(), g_failed);
                return 1;
            }
    for (const std::string &library : libraries)
        Print(library == libraries[0] ? "built here (" + library + ")" : library, figures[library]);
    return 0;
}
