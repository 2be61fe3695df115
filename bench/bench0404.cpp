// The 04.04 library's figures, as a J2534 tool sees them, on the stand-in's
// bus at 500 kbit/s with real frame timing (a plain program, so that the
// Windows DLLs are measured the same way under wine):
//   - a 4095-byte request written with a Timeout: call to return, against the
//     bus time of its frames (8-byte frames back to back);
//   - a 4095-byte answer read with one blocking PassThruReadMsgs (Timeout
//     1000): its first frame on the bus to the return, against its bus time;
//   - a blocking read of a single-frame answer: the frame's end to the
//     return (median and p99 of many);
//   - CPU of the process while a device with an ISO15765 channel is idle.
//
//   pt_bench0404 [rounds]   (default 5 rounds of the transfers, 200 reads)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "j2534_0404.h"
#include "platform/platform.h"
#include "platform_env.h"
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

size_t FramesOn(uint32_t id) {
    size_t n = 0;
    for (const vxlsim_frame &f : vxlsim::Captured()) n += f.id == id ? 1 : 0;
    return n;
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
    SetEnvVar("PT_VECTOR_INI", (work / "pt_vector0404.ini").string().c_str());
    if (vxlsim_load_config_text(kVehicle) != 0) return 1;
    const std::string path =
        (bin / (std::string(plat::SharedLibraryPrefix()) + "pt_vector0404" + plat::SharedLibrarySuffix())).string();
    void *library = plat::LoadSharedLibrary(path.c_str());
    if (!library) return 1;
    g.Open = reinterpret_cast<decltype(g.Open)>(plat::FindSymbol(library, "PassThruOpen"));
    g.Close = reinterpret_cast<decltype(g.Close)>(plat::FindSymbol(library, "PassThruClose"));
    g.Connect = reinterpret_cast<decltype(g.Connect)>(plat::FindSymbol(library, "PassThruConnect"));
    g.ReadMsgs = reinterpret_cast<decltype(g.ReadMsgs)>(plat::FindSymbol(library, "PassThruReadMsgs"));
    g.WriteMsgs = reinterpret_cast<decltype(g.WriteMsgs)>(plat::FindSymbol(library, "PassThruWriteMsgs"));
    g.StartMsgFilter = reinterpret_cast<decltype(g.StartMsgFilter)>(plat::FindSymbol(library, "PassThruStartMsgFilter"));
    uint32_t device = 0, channel = 0, filter = 0;
    PASSTHRU_MSG mask = Message(0xFFFFFFFF, {}), pattern = Message(0x7E8, {}), flow = Message(0x7E0, {});
    if (g.Open(nullptr, &device) != 0 || g.Connect(device, ISO15765, 0, 500000, &channel) != 0 ||
        g.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter) != 0)
        return 1;

    std::vector<uint8_t> echo(4095);
    for (size_t i = 0; i < echo.size(); ++i) echo[i] = static_cast<uint8_t>(i);
    echo[0] = 0xBA;
    std::vector<double> writeRatio, readRatio;
    PASSTHRU_MSG msg = Message(0x7E0, echo), answer{};
    for (int r = 0; r < rounds; ++r) {
        vxlsim_capture_clear();
        msg = Message(0x7E0, echo);
        uint32_t one = 1;
        const uint64_t start = SteadyNs();
        if (g.WriteMsgs(channel, &msg, &one, 3000) != STATUS_NOERROR) return 1;
        const uint64_t written = SteadyNs();
        // The answer's first frame follows at once; one blocking read takes it whole.
        if (!ReadAnswer(channel, answer, 1000) || answer.DataSize != 4 + 4095) return 1;
        const uint64_t read = SteadyNs();
        writeRatio.push_back((written - start) / 1e3 / (FramesOn(0x7E0) * kFrameUs));
        const uint64_t firstFrameStart = FrameEndSteadyNs(0x7E8, 1) - static_cast<uint64_t>(kFrameUs * 1e3);
        readRatio.push_back((read - firstFrameStart) / 1e3 / (FramesOn(0x7E8) * kFrameUs));
    }
    std::printf("4095-byte request, WriteMsgs(Timeout) call to return / bus time: median %.3f (of %d)\n",
                Median(writeRatio), rounds);
    std::printf("4095-byte answer, first frame to ReadMsgs(Timeout 1000) return / bus time: median %.3f (of %d)\n",
                Median(readRatio), rounds);

    // Single frames: tester present and its answer, read blocking.
    std::vector<double> latencyMs;
    for (int i = 0; i < 40 * rounds; ++i) {
        vxlsim_capture_clear();
        msg = Message(0x7E0, {0x3E, 0x00});
        uint32_t one = 1;
        if (g.WriteMsgs(channel, &msg, &one, 0) != STATUS_NOERROR) return 1;
        if (!ReadAnswer(channel, answer, 1000)) return 1;
        const uint64_t read = SteadyNs();
        latencyMs.push_back((read - FrameEndSteadyNs(0x7E8, 0)) / 1e6);
    }
    std::printf("blocking read of a single frame, frame end to return: median %.3f ms, p99 %.3f ms (of %zu)\n",
                Median(latencyMs), Percentile99(latencyMs), latencyMs.size());

    const uint64_t cpu0 = plat::ProcessCpuTimeUs(), wall0 = SteadyNs();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu = static_cast<double>(plat::ProcessCpuTimeUs() - cpu0) / ((SteadyNs() - wall0) / 1e3);
    std::printf("CPU while the channel is open and idle: %.2f %% of a core\n", cpu * 100);

    g.Close(device);
    plat::UnloadSharedLibrary(library);
    return 0;
}
