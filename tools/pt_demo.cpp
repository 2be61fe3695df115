// A diagnostic host in miniature. It uses the library exactly as the MCD-3D
// server does: the server's own module "MORIX_Server.dll" with "morix.ini"
// beside it is loaded first, then the library by its file name from this
// program's directory; everything else goes through the twelve exported
// J2534 functions. The vehicle is the simulated driver's: a few ECUs on one
// CAN channel. The session covers a single-frame request, a multi-frame
// answer, a 4095-byte request, extended addressing and a functional-group
// request to three ECUs with its aggregated answer.
//
//   pt_demo [--trace N] [--no-flow-control] [--field-profile] [--0404 [--fd]] [work directory]
//
// --trace N sets the TRACE key of "morix.ini" (default 18: everything, with the
// PDU trace); --no-flow-control takes the engine off the bus before the
// 4095-byte echo, so that request's first frame is never answered and the
// transfer times out (a failed session for trace tools to find);
// --field-profile adds FIELDPROFILE=1 to "morix.ini". --0404 runs the
// session through the J2534 04.04 library instead (pt_vector0404, its
// trace "pt_vector0404.log" in the work directory; no functional group there);
// --fd runs that session on ISO 15765 over CAN FD and tells the bus time it
// took against the same session on classic CAN (run first, in "classic").
//
// Besides the trace files, the work directory receives "bus_capture.txt": every
// frame the simulated bus carried, one per line, as
//   <bus time ns> <channel> <id hex> <length> <data bytes hex...> <sender: port N | node N | outside> [FD [BRS]]
// so that tools reading the traces can be checked against the bus itself.
//
// Exit code 0 only when every step got the answer it expects.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "j2534.h"
#include "platform/platform.h"
#include "pt_demo0404.h"
#include "vxlsim_control.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kBitrate = 500000;
constexpr uint32_t kFdDataRate = 2000000;  // the 04.04 library's default data phase
constexpr uint32_t kBlockSize = 8;          // announced in our flow controls
constexpr uint32_t kP2Value = 250;          // 150 ms once the server's 100 is taken off
constexpr uint32_t kP2StarValue = 5100;     // 5000 ms
constexpr uint32_t kGroupAnswerId = 0x6FF;  // CANECU_CLASS: id of aggregated answers
constexpr uint32_t kStepDeadlineMs = 5000;
constexpr unsigned kEmptyPollsBeforePause = 50;
constexpr size_t kShownBytes = 24;

// One CAN card channel at 500 kbit/s with real frame timing, and the ECUs
// of the session. The body ECUs answer functional requests on 0x6F0 whose
// address byte is 0xDF; they address the tester as 0xF0.
const char kVehicle[] = VXLSIM_ONE_CARD
    "[driver]\n"
    "real_timing = 1\n"
    "[ecu]\n"
    "name = engine\nrequest_id = 0x7E0\nresponse_id = 0x7E8\nvin = VXLSIMECU00000001\n"
    "[ecu]\n"
    "name = gateway\nrequest_id = 0x6F1\nresponse_id = 0x640\nfunctional_id = 0\n"
    "ecu_address = 0x40\ntester_address = 0xF1\nvin = VXLSIMECU00000003\n"
    "[ecu]\n"
    "name = body\nrequest_id = 0x6F1\nresponse_id = 0x641\nfunctional_id = 0x6F0\n"
    "ecu_address = 0x41\ntester_address = 0xF0\nfunctional_address = 0xDF\n"
    "[ecu]\n"
    "name = doors\nrequest_id = 0x6F1\nresponse_id = 0x642\nfunctional_id = 0x6F0\n"
    "ecu_address = 0x42\ntester_address = 0xF0\nfunctional_address = 0xDF\n"
    "[ecu]\n"
    "name = seats\nrequest_id = 0x6F1\nresponse_id = 0x643\nfunctional_id = 0x6F0\n"
    "ecu_address = 0x43\ntester_address = 0xF0\nfunctional_address = 0xDF\n";

struct Ecu {
    const char *name;
    uint32_t requestId;
    uint32_t responseId;
    int ecuAddress;  // -1: normal addressing
    int testerAddress;
};

const Ecu kEngine{"engine", 0x7E0, 0x7E8, -1, -1};
const Ecu kGateway{"gateway", 0x6F1, 0x640, 0x40, 0xF1};
const Ecu kGroup[] = {
    {"body", 0x6F1, 0x641, 0x41, 0xF0}, {"doors", 0x6F1, 0x642, 0x42, 0xF0}, {"seats", 0x6F1, 0x643, 0x43, 0xF0}};
constexpr uint32_t kFunctionalId = 0x6F0;
constexpr uint8_t kFunctionalAddress = 0xDF;

struct J2534 {
    decltype(&PassThruConnect) Connect = nullptr;
    decltype(&PassThruDisconnect) Disconnect = nullptr;
    decltype(&PassThruReadMsgs) ReadMsgs = nullptr;
    decltype(&PassThruWriteMsgs) WriteMsgs = nullptr;
    decltype(&PassThruStartMsgFilter) StartMsgFilter = nullptr;
    decltype(&PassThruReadVersion) ReadVersion = nullptr;
    decltype(&PassThruIoctl) Ioctl = nullptr;
};

J2534 g_pt;

template <typename F>
bool Resolve(void *library, F &fn, const char *name) {
    fn = reinterpret_cast<F>(plat::FindSymbol(library, name));
    if (!fn) std::printf("  %s is not exported\n", name);
    return fn != nullptr;
}

bool ResolveAll(void *library) {
    bool ok = Resolve(library, g_pt.Connect, "PassThruConnect");
    ok &= Resolve(library, g_pt.Disconnect, "PassThruDisconnect");
    ok &= Resolve(library, g_pt.ReadMsgs, "PassThruReadMsgs");
    ok &= Resolve(library, g_pt.WriteMsgs, "PassThruWriteMsgs");
    ok &= Resolve(library, g_pt.StartMsgFilter, "PassThruStartMsgFilter");
    ok &= Resolve(library, g_pt.ReadVersion, "PassThruReadVersion");
    ok &= Resolve(library, g_pt.Ioctl, "PassThruIoctl");
    return ok;
}

const char *StatusName(uint32_t status) {
    switch (status) {
        case STATUS_NOERROR: return "STATUS_NOERROR";
        case ERR_NOT_SUPPORTED: return "ERR_NOT_SUPPORTED";
        case ERR_NULL_PARAMETER: return "ERR_NULL_PARAMETER";
        case ERR_FAILED: return "ERR_FAILED";
        case ERR_DEVICE_NOT_CONNECTED: return "ERR_DEVICE_NOT_CONNECTED";
        case ERR_INVALID_MSG: return "ERR_INVALID_MSG";
        case ERR_BUFFER_EMPTY: return "ERR_BUFFER_EMPTY";
        default: return "unknown status";
    }
}

// "22 F1 90", long runs cut after kShownBytes with their length.
std::string Hex(const uint8_t *data, size_t n) {
    std::string out;
    char buf[8];
    for (size_t i = 0; i < n && i < kShownBytes; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
        out += buf;
    }
    if (n > kShownBytes) out += " ... (" + std::to_string(n) + " bytes)";
    return out;
}
std::string Hex(const Bytes &b) { return Hex(b.data(), b.size()); }

void PutId(Bytes &out, uint32_t id) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(id >> shift));
}
void PutLe16(Bytes &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(Bytes &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t IdOf(const PASSTHRU_MSG &msg) {
    return static_cast<uint32_t>(msg.Data[0]) << 24 | static_cast<uint32_t>(msg.Data[1]) << 16 |
           static_cast<uint32_t>(msg.Data[2]) << 8 | msg.Data[3];
}

bool Check(const char *what, uint32_t status) {
    if (status == STATUS_NOERROR) return true;
    std::printf("  %s: %s (0x%02X)\n", what, StatusName(status), static_cast<unsigned>(status));
    return false;
}

uint32_t SetConfig(std::vector<SCONFIG> params) {
    SCONFIG_LIST list{static_cast<uint32_t>(params.size()), params.data()};
    return g_pt.Ioctl(1, SET_CONFIG, &list, nullptr);
}

PASSTHRU_MSG *NewMsg() {
    static PASSTHRU_MSG msg;
    std::memset(&msg, 0, sizeof msg);
    msg.ProtocolID = ISO15765;
    return &msg;
}

// Pass filter for the ECU's answers and flow-control filter for our flow
// controls to it; with extended addressing the pattern carries the tester's
// address byte and the flow-control message the ECU's.
bool Listen(const Ecu &ecu) {
    const uint32_t size = ecu.ecuAddress >= 0 ? 5 : 4;
    PASSTHRU_MSG mask{}, pattern{}, flow{};
    auto fill = [size](PASSTHRU_MSG &m, uint32_t id, int addr) {
        m.ProtocolID = ISO15765;
        m.DataSize = size;
        Bytes d;
        PutId(d, id);
        std::memcpy(m.Data, d.data(), 4);
        if (addr >= 0) m.Data[4] = static_cast<uint8_t>(addr);
    };
    fill(mask, 0x7FF, size == 5 ? 0xFF : -1);
    fill(pattern, ecu.responseId, ecu.testerAddress);
    fill(flow, ecu.requestId, ecu.ecuAddress);
    uint32_t id = 0;
    return Check("pass filter", g_pt.StartMsgFilter(1, PASS_FILTER, &mask, &pattern, &flow, &id)) &&
           Check("flow-control filter", g_pt.StartMsgFilter(1, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id));
}

uint32_t Write(const Bytes &data, uint32_t txFlags) {
    PASSTHRU_MSG *msg = NewMsg();
    msg->TxFlags = txFlags;
    msg->DataSize = static_cast<uint32_t>(data.size());
    std::memcpy(msg->Data, data.data(), data.size());
    uint32_t num = 1;
    return g_pt.WriteMsgs(1, msg, &num, 0);
}

struct Reply {
    bool confirmed = false;
    bool answered = false;
    Bytes payload;         // Data[4..]
    uint32_t pending = 0;  // response-pending answers on the way
};

// Polls until a message that is not a transmit confirmation arrives on
// answerId and is not a response pending.
Reply Await(uint32_t answerId) {
    Reply reply;
    PASSTHRU_MSG msg;
    const auto start = std::chrono::steady_clock::now();
    unsigned emptyRun = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kStepDeadlineMs)) {
        uint32_t num = 1;
        if (g_pt.ReadMsgs(1, &msg, &num, 0) != STATUS_NOERROR || num != 1) {
            // An empty answer may also be a frame that completed nothing.
            if (++emptyRun >= kEmptyPollsBeforePause) {
                plat::SleepMs(1);
                emptyRun = 0;
            }
            continue;
        }
        emptyRun = 0;
        if (msg.RxStatus & TX_MSG_TYPE) {
            reply.confirmed = true;
            continue;
        }
        const Bytes payload(msg.Data + 4, msg.Data + (msg.DataSize > 4 ? msg.DataSize : 4));
        if (payload.size() == 3 && payload[0] == 0x7F && payload[2] == 0x78) {
            ++reply.pending;
            continue;
        }
        if (IdOf(msg) != answerId) {
            std::printf("  unexpected message from 0x%03X: %s\n", static_cast<unsigned>(IdOf(msg)),
                        Hex(payload).c_str());
            continue;
        }
        reply.answered = true;
        reply.payload = payload;
        break;
    }
    return reply;
}

unsigned g_step = 0;

bool Report(const Reply &reply, const Bytes &expected, uint32_t status, std::chrono::steady_clock::time_point start) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (reply.answered) std::printf("    response %s\n", Hex(reply.payload).c_str());
    const bool ok = status == STATUS_NOERROR && reply.answered && reply.payload == expected;
    std::printf("    status   %s, %s, %s, %lld ms  %s\n", StatusName(status),
                reply.confirmed ? "confirmed" : "no confirmation", reply.answered ? "answered" : "no answer", ms,
                ok ? "OK" : "FAILED");
    if (!ok && reply.answered) std::printf("    expected %s\n", Hex(expected).c_str());
    return ok;
}

bool Step(const char *title, const Ecu &ecu, const Bytes &request, const Bytes &expected) {
    std::printf("\n[%u] %s: %s (0x%03X -> 0x%03X)\n", ++g_step, title, ecu.name, static_cast<unsigned>(ecu.requestId),
                static_cast<unsigned>(ecu.responseId));
    std::printf("    request  %s\n", Hex(request).c_str());
    Bytes data;
    PutId(data, ecu.requestId);
    uint32_t flags = 0;
    if (ecu.ecuAddress >= 0) {
        data.push_back(static_cast<uint8_t>(ecu.ecuAddress));
        flags = ISO15765_ADDR_TYPE;
    }
    data.insert(data.end(), request.begin(), request.end());
    const auto start = std::chrono::steady_clock::now();
    const uint32_t status = Write(data, flags);
    const Reply reply = status == STATUS_NOERROR ? Await(ecu.responseId) : Reply();
    return Report(reply, expected, status, start);
}

// The functional request: marker, PDU, and one 68-byte entry per ECU.
bool GroupStep(const Bytes &pdu, const Bytes &answer) {
    std::printf("\n[%u] functional group: %s, %s, %s (0x%03X, address 0x%02X; answer under 0x%03X)\n", ++g_step,
                kGroup[0].name, kGroup[1].name, kGroup[2].name, static_cast<unsigned>(kFunctionalId),
                kFunctionalAddress, static_cast<unsigned>(kGroupAnswerId));
    std::printf("    request  %s\n", Hex(pdu).c_str());
    Bytes data;
    PutId(data, kFunctionalId);
    data.push_back(kFunctionalAddress);
    data.push_back(0x22);
    PutLe16(data, static_cast<uint32_t>(pdu.size()));
    data.insert(data.end(), pdu.begin(), pdu.end());
    PutLe16(data, 3);
    Bytes expected = {0x62};
    PutLe16(expected, 3);
    for (const Ecu &ecu : kGroup) {
        const uint32_t fields[17] = {kFunctionalId, ecu.responseId, static_cast<uint32_t>(ecu.ecuAddress),
                                     static_cast<uint32_t>(ecu.testerAddress)};
        for (uint32_t f : fields) PutLe32(data, f);
        PutLe16(expected, static_cast<uint32_t>(answer.size()));
        PutLe32(expected, ecu.responseId);
        expected.insert(expected.end(), answer.begin(), answer.end());
    }
    const auto start = std::chrono::steady_clock::now();
    const uint32_t status = Write(data, ISO15765_ADDR_TYPE);
    const Reply reply = status == STATUS_NOERROR ? Await(kGroupAnswerId) : Reply();
    const bool ok = Report(reply, expected, status, start);
    if (reply.answered && reply.payload.size() >= 3) {
        size_t at = 3;
        while (at + 6 <= reply.payload.size()) {
            const uint32_t len = reply.payload[at] | reply.payload[at + 1] << 8;
            const uint32_t id = reply.payload[at + 2] | reply.payload[at + 3] << 8;
            if (at + 6 + len > reply.payload.size()) break;
            std::printf("      0x%03X: %s\n", static_cast<unsigned>(id), Hex(&reply.payload[at + 6], len).c_str());
            at += 6 + len;
        }
    }
    return ok;
}

Bytes EchoRequest(size_t length) {
    Bytes b(length);
    b[0] = 0xBA;
    for (size_t i = 1; i < length; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

Bytes WithText(Bytes head, const char *text) {
    head.insert(head.end(), text, text + std::strlen(text));
    return head;
}

size_t CountLines(const fs::path &file) {
    std::ifstream in(file);
    size_t n = 0;
    std::string line;
    while (std::getline(in, line)) ++n;
    return n;
}

fs::path ProgramDirectory() {
    char exe[4096];
    if (plat::ExecutableFileName(exe, sizeof exe)) return fs::path(exe).parent_path();
    return fs::current_path();
}

struct Options {
    int trace = 18;
    bool noFlowControl = false;
    bool fieldProfile = false;
    bool j0404 = false;
    bool fd = false;
    const char *work = nullptr;
};

Options ParseOptions(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc)
            o.trace = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--no-flow-control") == 0)
            o.noFlowControl = true;
        else if (std::strcmp(argv[i], "--field-profile") == 0)
            o.fieldProfile = true;
        else if (std::strcmp(argv[i], "--0404") == 0)
            o.j0404 = true;
        else if (std::strcmp(argv[i], "--fd") == 0)
            o.fd = true;
        else
            o.work = argv[i];
    }
    return o;
}

fs::path WorkDirectory(const Options &options) {
    if (options.work) return fs::absolute(options.work);
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return fs::temp_directory_path() / ("pt_demo_" + std::to_string(stamp));
}

void WriteCapture(const fs::path &file) {
    std::ofstream out(file);
    for (const vxlsim_frame &f : vxlsim::Captured()) out << vxlsim::CaptureLine(f) << '\n';
}

// The bus time of every frame captured, at the session's rates.
double CapturedBusMs(uint32_t dataRate) {
    uint64_t ns = 0;
    for (const vxlsim_frame &f : vxlsim::Captured()) ns += vxlsim_frame_duration_ns(&f, kBitrate, dataRate);
    return static_cast<double>(ns) / 1e6;
}

// The 04.04 session; with fd it runs on classic CAN first (in "classic"),
// then on CAN FD, and tells the bus time each took.
bool RunAs0404(const fs::path &bin, const fs::path &work, const Options &options) {
    double classicMs = 0;
    if (options.fd) {
        const fs::path classic = work / "classic";
        std::error_code error;
        fs::create_directories(classic, error);
        std::printf("classic CAN first, for comparison (%s)\n", classic.string().c_str());
        if (!RunSession0404(bin.string(), classic.string(), options.trace, false)) return false;
        WriteCapture(classic / "bus_capture.txt");
        classicMs = CapturedBusMs(0);
        vxlsim_load_config_text(kVehicle);
        std::printf("\nCAN FD\n");
    }
    const bool ok = RunSession0404(bin.string(), work.string(), options.trace, options.noFlowControl, options.fd);
    WriteCapture(work / "bus_capture.txt");
    const fs::path trace = work / "pt_vector0404.log";
    std::printf("\n%d frames on the bus\n", vxlsim_capture_count());
    if (options.fd) {
        const double fdMs = CapturedBusMs(kFdDataRate);
        std::printf("bus time: classic CAN %.1f ms, CAN FD %.1f ms: %.1f ms saved (%.1f times shorter)\n", classicMs,
                    fdMs, classicMs - fdMs, fdMs > 0 ? classicMs / fdMs : 0.0);
    }
    std::printf("trace:     %s (%zu lines)\n", trace.string().c_str(), CountLines(trace));
    std::printf("%s\n", ok ? "all steps answered as expected" : "SOME STEPS FAILED");
    return ok;
}

bool Session(const Options &options) {
    bool ok = true;
    char firmware[80] = "", dll[80] = "", api[80] = "";
    ok &= Check("PassThruReadVersion", g_pt.ReadVersion(firmware, dll, api));
    std::printf("versions: firmware %s, library %s, API %s\n", firmware, dll, api);

    uint32_t channel = 0;
    if (!Check("PassThruConnect", g_pt.Connect(ISO15765, 0, &channel))) return false;
    std::printf("connected: ISO15765, channel %u\n", static_cast<unsigned>(channel));
    const bool configured = Check("SET_CONFIG", SetConfig({{DATA_RATE, kBitrate},
                                                           {ISO15765_BS, kBlockSize},
                                                           {PT_CFG_ORV_EXTADDRESSING, 1},
                                                           {CANECU_CLASS, kGroupAnswerId},
                                                           {PT_CFG_ORV_P2MAX, kP2Value},
                                                           {PT_CFG_ORV_P2EXTTIMEOUT7F78, kP2StarValue}}));
    std::printf("configured: %u bit/s, block size %u, P2 %u ms, P2* %u ms, group answers under 0x%03X\n",
                static_cast<unsigned>(kBitrate), static_cast<unsigned>(kBlockSize),
                static_cast<unsigned>(kP2Value - 100), static_cast<unsigned>(kP2StarValue - 100),
                static_cast<unsigned>(kGroupAnswerId));
    ok &= configured && Listen(kEngine) && Listen(kGateway);

    if (ok) {
        const Bytes session = {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4};
        ok &= Step("extended diagnostic session", kEngine, {0x10, 0x03}, session);
        ok &= Step("read VIN (multi-frame answer)", kEngine, {0x22, 0xF1, 0x90},
                   WithText({0x62, 0xF1, 0x90}, "VXLSIMECU00000001"));
        if (options.noFlowControl) vxlsim_node_remove(vxlsim_ecu_find(kEngine.name));
        Bytes echo = EchoRequest(4095), echoed = echo;
        echoed[0] = 0xFA;
        ok &= Step("4095-byte echo (multi-frame both ways)", kEngine, echo, echoed);
        ok &= Step("read VIN, extended addressing", kGateway, {0x22, 0xF1, 0x90},
                   WithText({0x62, 0xF1, 0x90}, "VXLSIMECU00000003"));
        ok &= GroupStep({0x10, 0x03}, session);
    }
    ok &= Check("PassThruDisconnect", g_pt.Disconnect(channel));
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    const fs::path bin = ProgramDirectory();
    const Options options = ParseOptions(argc, argv);
    const fs::path work = WorkDirectory(options);
    std::error_code error;
    fs::create_directories(work, error);
    const fs::path server = work / "MORIX_Server.dll";
    // A stub left by an earlier run is replaced (MinGW's copy_file will not overwrite).
    fs::remove(server, error);
    fs::copy_file(bin / "MORIX_Server.dll", server, error);
    if (error) {
        std::printf("cannot put the server module into %s: %s\n", work.string().c_str(), error.message().c_str());
        return 1;
    }
    std::ofstream(work / "morix.ini") << "[MORIX_VECTOR]\nTRACE=" << options.trace << "\n"
                                      << (options.fieldProfile ? "FIELDPROFILE=1\n" : "");
    std::printf("work directory: %s\n", work.string().c_str());

    const int line = vxlsim_load_config_text(kVehicle);
    if (line != 0) {
        std::printf("vehicle configuration refused at line %d\n", line);
        return 1;
    }

    if (options.j0404) return RunAs0404(bin, work, options) ? 0 : 1;

    void *serverModule = plat::LoadSharedLibrary(server.string().c_str());
    if (!serverModule) {
        std::printf("cannot load %s\n", server.string().c_str());
        return 1;
    }
    const fs::path libraryPath =
        bin / (std::string(plat::SharedLibraryPrefix()) + "pt_vector" + plat::SharedLibrarySuffix());
    void *library = plat::LoadSharedLibrary(libraryPath.string().c_str());
    if (!library) {
        std::printf("cannot load %s\n", libraryPath.string().c_str());
        plat::UnloadSharedLibrary(serverModule);
        return 1;
    }
    std::printf("loaded: %s\n", libraryPath.string().c_str());

    const bool ok = ResolveAll(library) && Session(options);
    const int frames = vxlsim_capture_count();
    plat::UnloadSharedLibrary(library);
    plat::UnloadSharedLibrary(serverModule);
    WriteCapture(work / "bus_capture.txt");

    const fs::path trace = work / "pt_vector.log", pdu = work / "pdu_trace.log";
    std::printf("\n%d frames on the bus\n", frames);
    std::printf("trace:     %s (%zu lines)\n", trace.string().c_str(), CountLines(trace));
    std::printf("PDU trace: %s (%zu lines)\n", pdu.string().c_str(), CountLines(pdu));
    std::printf("bus:       %s\n", (work / "bus_capture.txt").string().c_str());
    std::printf("%s\n", ok ? "all steps answered as expected" : "SOME STEPS FAILED");
    return ok ? 0 : 1;
}
