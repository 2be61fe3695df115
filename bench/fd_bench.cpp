// ISO 15765 on CAN FD against classic CAN through the 04.04 library, in one
// run on the stand-in's bus with real frame timing (500 kbit/s; FD with its
// data phase at 2 Mbit/s and TX_DL 64, the stand-in's ECU answering at TX_DL
// 64 too):
//   - a 4095-byte request written with a Timeout: call to return, against
//     the bus time of its frames and the ECU's flow control;
//   - the same request and its 4095-byte answer: write to the answer's
//     return, and the bus time of every frame of the exchange;
//   - 1 MiB downloaded in WriteDataByIdentifier requests of 4095 bytes, each
//     written with a Timeout and its short answer read: the whole time.
// Printed for both, with the ratios classic / FD.
//
//   pt_bench_fd [rounds]     (default 5; the download once a mode)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "j2534_0404.h"
#include "platform/platform.h"
#include "vxlsim_control.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kArbitrationRate = 500000, kDataRate = 2000000;
constexpr uint32_t kFdIso15765Ps = 0x8012, kFdTxDataLength = 0x805D, kJ1962Pins = 0x8001, kHsCanPins = 0x060E;
constexpr size_t kDownloadBytes = 1024 * 1024, kBlock = 4095;
const char kVehicle[] = VXLSIM_ONE_CARD "[driver]\nreal_timing = 1\n[ecu]\nname = engine\ncan_fd = on\ntx_dl = 64\n";

struct Api {
    decltype(&PassThruOpen) Open;
    decltype(&PassThruClose) Close;
    decltype(&PassThruConnect) Connect;
    decltype(&PassThruReadMsgs) ReadMsgs;
    decltype(&PassThruWriteMsgs) WriteMsgs;
    decltype(&PassThruStartMsgFilter) StartMsgFilter;
    decltype(&PassThruIoctl) Ioctl;
} g;

struct Mode {
    const char *name;
    uint32_t protocol;
    uint32_t dataRate;  // 0: classic
};

struct Figures {
    std::vector<double> writeRatio, exchangeMs, exchangeBusMs, writeBusMs;
    double downloadMs = 0, downloadBusMs = 0;
};

double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

PASSTHRU_MSG Message(uint32_t protocol, uint32_t id, const std::vector<uint8_t> &payload) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = protocol;
    msg.TxFlags = ISO15765_FRAME_PAD;
    for (int shift = 24, i = 0; shift >= 0; shift -= 8) msg.Data[i++] = static_cast<uint8_t>(id >> shift);
    std::memcpy(msg.Data + 4, payload.data(), payload.size());
    msg.DataSize = 4 + static_cast<uint32_t>(payload.size());
    return msg;
}

bool ReadAnswer(uint32_t channel, PASSTHRU_MSG &msg) {
    for (int i = 0; i < 10; ++i) {
        uint32_t one = 1;
        if (g.ReadMsgs(channel, &msg, &one, 2000) != STATUS_NOERROR || one != 1) return false;
        if ((msg.RxStatus & (TX_INDICATION | START_OF_MESSAGE | TX_MSG_TYPE)) == 0) return true;
    }
    return false;
}

// Bus time (ms) of the frames captured: all, or only our request's frames
// and the ECU's flow controls.
double BusMs(const Mode &mode, bool requestOnly) {
    uint64_t ns = 0;
    for (const vxlsim_frame &f : vxlsim::Captured()) {
        const bool ours = f.id == 0x7E0;
        if (requestOnly && !ours && (f.data[0] >> 4) != 3) continue;
        ns += vxlsim_frame_duration_ns(&f, kArbitrationRate, mode.dataRate);
    }
    return static_cast<double>(ns) / 1e6;
}

const char *g_failed = "";

bool Measure(void *library, const Mode &mode, int rounds, Figures &out) {
    g.Open = reinterpret_cast<decltype(g.Open)>(plat::FindSymbol(library, "PassThruOpen"));
    g.Close = reinterpret_cast<decltype(g.Close)>(plat::FindSymbol(library, "PassThruClose"));
    g.Connect = reinterpret_cast<decltype(g.Connect)>(plat::FindSymbol(library, "PassThruConnect"));
    g.ReadMsgs = reinterpret_cast<decltype(g.ReadMsgs)>(plat::FindSymbol(library, "PassThruReadMsgs"));
    g.WriteMsgs = reinterpret_cast<decltype(g.WriteMsgs)>(plat::FindSymbol(library, "PassThruWriteMsgs"));
    g.StartMsgFilter = reinterpret_cast<decltype(g.StartMsgFilter)>(plat::FindSymbol(library, "PassThruStartMsgFilter"));
    g.Ioctl = reinterpret_cast<decltype(g.Ioctl)>(plat::FindSymbol(library, "PassThruIoctl"));
    uint32_t device = 0, channel = 0, filter = 0;
    PASSTHRU_MSG mask = Message(mode.protocol, 0xFFFFFFFF, {}), pattern = Message(mode.protocol, 0x7E8, {}),
                 flow = Message(mode.protocol, 0x7E0, {});
    bool ok = g.Open(nullptr, &device) == 0 && g.Connect(device, mode.protocol, 0, kArbitrationRate, &channel) == 0 &&
              g.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filter) == 0;
    if (ok && mode.dataRate != 0) {
        SCONFIG params[] = {{kJ1962Pins, kHsCanPins}, {kFdTxDataLength, 64}};
        SCONFIG_LIST list{2, params};
        ok = g.Ioctl(channel, SET_CONFIG, &list, nullptr) == 0;
    }
    g_failed = ok ? "" : "open, connect, filter or parameters";
    std::vector<uint8_t> echo(kBlock);
    for (size_t i = 0; i < echo.size(); ++i) echo[i] = static_cast<uint8_t>(i);
    echo[0] = 0xBA;
    PASSTHRU_MSG msg{}, answer{};
    for (int r = 0; ok && r < rounds; ++r) {
        vxlsim_capture_clear();
        msg = Message(mode.protocol, 0x7E0, echo);
        uint32_t one = 1;
        const double start = NowMs();
        ok = g.WriteMsgs(channel, &msg, &one, 3000) == STATUS_NOERROR;
        const double written = NowMs();
        const double writeBus = BusMs(mode, true);
        ok = ok && ReadAnswer(channel, answer) && answer.DataSize == 4 + kBlock;
        g_failed = ok ? "" : "4095-byte exchange";
        out.writeRatio.push_back((written - start) / writeBus);
        out.writeBusMs.push_back(writeBus);
        out.exchangeMs.push_back(NowMs() - start);
        out.exchangeBusMs.push_back(BusMs(mode, false));
    }
    // The download: 2E 01 00 and the block's data, answered 6E 01 00.
    vxlsim_capture_clear();
    const double start = NowMs();
    for (size_t sent = 0; ok && sent < kDownloadBytes;) {
        const size_t data = std::min(kBlock - 3, kDownloadBytes - sent);
        std::vector<uint8_t> request(3 + data, static_cast<uint8_t>(sent >> 12));
        request[0] = 0x2E;
        request[1] = 0x01;
        request[2] = 0x00;
        msg = Message(mode.protocol, 0x7E0, request);
        uint32_t one = 1;
        ok = g.WriteMsgs(channel, &msg, &one, 3000) == STATUS_NOERROR && ReadAnswer(channel, answer) &&
             answer.DataSize == 7 && answer.Data[4] == 0x6E;
        g_failed = ok ? "" : "download block";
        sent += data;
    }
    out.downloadMs = NowMs() - start;
    out.downloadBusMs = BusMs(mode, false);
    g.Close(device);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    char exe[1024];
    if (!plat::ExecutableFileName(exe, sizeof exe)) return 1;
    const fs::path bin = fs::path(exe).parent_path();
    const fs::path work = fs::temp_directory_path() / "pt_bench_fd";
    fs::create_directories(work);
    std::ofstream(work / "pt_vector0404.ini") << "[PT_VECTOR]\nTRACE=1\n";
    plat::SetEnvironmentValue("PT_VECTOR_INI", (work / "pt_vector0404.ini").string().c_str());
    if (vxlsim_load_config_text(kVehicle) != 0) return 1;
    vxlsim_set_channel_fd(0, 1);
    const std::string path =
        (bin / (std::string(plat::SharedLibraryPrefix()) + "pt_vector0404" + plat::SharedLibrarySuffix())).string();
    void *library = plat::LoadSharedLibrary(path.c_str());
    if (!library) return 1;
    const Mode modes[] = {{"classic CAN, ISO15765", ISO15765, 0},
                          {"CAN FD, FD_ISO15765_PS, 2 Mbit/s, TX_DL 64", kFdIso15765Ps, kDataRate}};
    Figures figures[2];
    for (int m = 0; m < 2; ++m)
        if (!Measure(library, modes[m], rounds, figures[m])) {
            std::fprintf(stderr, "%s: a call failed (%s)\n", modes[m].name, g_failed);
            return 1;
        }
    plat::UnloadSharedLibrary(library);
    for (int m = 0; m < 2; ++m) {
        const Figures &f = figures[m];
        std::printf("%s (%s)\n", modes[m].name, path.c_str());
        std::printf("  4095-byte request, WriteMsgs(Timeout) call to return / bus time %.1f ms: median %.3f (of %zu)\n",
                    Median(f.writeBusMs), Median(f.writeRatio), f.writeRatio.size());
        std::printf("  4095-byte request and answer: %.1f ms, bus time %.1f ms (medians)\n", Median(f.exchangeMs),
                    Median(f.exchangeBusMs));
        std::printf("  1 MiB in %zu-byte requests: %.0f ms, bus time %.0f ms\n", kBlock, f.downloadMs,
                    f.downloadBusMs);
    }
    std::printf("classic / FD: request bus time %.2f, exchange %.2f (bus %.2f), download %.2f (bus %.2f)\n",
                Median(figures[0].writeBusMs) / Median(figures[1].writeBusMs),
                Median(figures[0].exchangeMs) / Median(figures[1].exchangeMs),
                Median(figures[0].exchangeBusMs) / Median(figures[1].exchangeBusMs),
                figures[0].downloadMs / figures[1].downloadMs, figures[0].downloadBusMs / figures[1].downloadBusMs);
    return 0;
}
