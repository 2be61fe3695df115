// The demo's session as a J2534 04.04 tool runs it: PassThruOpen, an ISO15765
// channel, flow-control filters, blocking reads, writes that wait for the
// bus, tester present as a periodic message, PassThruClose; on CAN FD the
// same through SAE J2534-2's FD_ISO15765_PS.
#include "pt_demo0404.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "j2534_0404.h"
#include "platform/platform.h"
#include "vxlsim_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Api {
    decltype(&PassThruOpen) Open = nullptr;
    decltype(&PassThruClose) Close = nullptr;
    decltype(&PassThruConnect) Connect = nullptr;
    decltype(&PassThruReadMsgs) ReadMsgs = nullptr;
    decltype(&PassThruWriteMsgs) WriteMsgs = nullptr;
    decltype(&PassThruStartMsgFilter) StartMsgFilter = nullptr;
    decltype(&PassThruStartPeriodicMsg) StartPeriodicMsg = nullptr;
    decltype(&PassThruReadVersion) ReadVersion = nullptr;
    decltype(&PassThruIoctl) Ioctl = nullptr;
} g_api;

// SAE J2534-2: ISO 15765 on CAN FD, its transmit data length, the pins.
constexpr uint32_t kFdIso15765Ps = 0x8012;
constexpr uint32_t kFdTxDataLength = 0x805D;
constexpr uint32_t kJ1962Pins = 0x8001;
constexpr uint32_t kHsCanPins = 0x060E;
constexpr uint32_t kFdTxDl = 64;

uint32_t g_protocol = ISO15765;

template <typename F>
bool Resolve(void *library, F &fn, const char *name) {
    fn = reinterpret_cast<F>(plat::FindSymbol(library, name));
    if (!fn) std::printf("missing export %s\n", name);
    return fn != nullptr;
}

PASSTHRU_MSG Message(uint32_t id, int addr, const Bytes &payload) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = g_protocol;
    msg.TxFlags = ISO15765_FRAME_PAD | (addr >= 0 ? ISO15765_ADDR_TYPE : 0);
    for (int shift = 24, i = 0; shift >= 0; shift -= 8) msg.Data[i++] = static_cast<uint8_t>(id >> shift);
    msg.DataSize = 4;
    if (addr >= 0) msg.Data[msg.DataSize++] = static_cast<uint8_t>(addr);
    if (!payload.empty()) std::memcpy(msg.Data + msg.DataSize, payload.data(), payload.size());
    msg.DataSize += static_cast<uint32_t>(payload.size());
    return msg;
}

bool Step(uint32_t channel, const char *title, uint32_t requestId, int ecuAddr, const Bytes &request,
          const Bytes &expected) {
    std::printf("\n%s (0x%03X, %zu bytes)\n", title, static_cast<unsigned>(requestId), request.size());
    PASSTHRU_MSG msg = Message(requestId, ecuAddr, request);
    uint32_t one = 1;
    uint32_t status = g_api.WriteMsgs(channel, &msg, &one, 3000);
    std::printf("  PassThruWriteMsgs (Timeout 3000): 0x%02X, on the bus\n", static_cast<unsigned>(status));
    if (status != STATUS_NOERROR) return false;
    const size_t header = ecuAddr >= 0 ? 5 : 4;
    for (;;) {
        one = 1;
        status = g_api.ReadMsgs(channel, &msg, &one, 2000);
        if (status != STATUS_NOERROR || one == 0) {
            std::printf("  no answer: 0x%02X\n", static_cast<unsigned>(status));
            return false;
        }
        if (msg.RxStatus & (TX_INDICATION | START_OF_MESSAGE | TX_MSG_TYPE)) {
            std::printf("  indication: RxStatus 0x%03X\n", static_cast<unsigned>(msg.RxStatus));
            continue;
        }
        const Bytes answer(msg.Data + header, msg.Data + msg.DataSize);
        if (answer.size() >= 3 && answer[0] == 0x7F && answer[2] == 0x78) continue;
        const bool ok = answer == expected;
        std::printf("  answer: %zu bytes, %s\n", answer.size(), ok ? "as expected" : "NOT AS EXPECTED");
        return ok;
    }
}

}  // namespace

bool RunSession0404(const std::string &bin, const std::string &work, int trace, bool noFlowControl, bool fd) {
    g_protocol = fd ? kFdIso15765Ps : ISO15765;
    if (fd) {
        vxlsim_set_channel_fd(0, 1);
        for (const char *ecu : {"engine", "gateway"}) {
            vxlsim_ecu_set(vxlsim_ecu_find(ecu), "can_fd", "on");
            vxlsim_ecu_set(vxlsim_ecu_find(ecu), "tx_dl", "64");
        }
    }
    const std::string ini = work + plat::kPathSeparator + "pt_vector0404.ini";
    std::ofstream(ini) << "[PT_VECTOR]\nTRACE=" << trace << "\n";
    plat::SetEnvironmentValue("PT_VECTOR_INI", ini.c_str());
    const std::string path = bin + plat::kPathSeparator + plat::SharedLibraryPrefix() + "pt_vector0404" +
                             plat::SharedLibrarySuffix();
    void *library = plat::LoadSharedLibrary(path.c_str());
    if (!library) {
        std::printf("cannot load %s\n", path.c_str());
        return false;
    }
    std::printf("loaded: %s\n", path.c_str());
    bool ok = Resolve(library, g_api.Open, "PassThruOpen") && Resolve(library, g_api.Close, "PassThruClose") &&
              Resolve(library, g_api.Connect, "PassThruConnect") &&
              Resolve(library, g_api.ReadMsgs, "PassThruReadMsgs") &&
              Resolve(library, g_api.WriteMsgs, "PassThruWriteMsgs") &&
              Resolve(library, g_api.StartMsgFilter, "PassThruStartMsgFilter") &&
              Resolve(library, g_api.StartPeriodicMsg, "PassThruStartPeriodicMsg") &&
              Resolve(library, g_api.ReadVersion, "PassThruReadVersion") &&
              Resolve(library, g_api.Ioctl, "PassThruIoctl");
    uint32_t device = 0, channel = 0;
    ok = ok && g_api.Open(nullptr, &device) == STATUS_NOERROR &&
         g_api.Connect(device, g_protocol, 0, 500000, &channel) == STATUS_NOERROR;
    if (ok) {
        char firmware[80] = "", dll[80] = "", api[80] = "";
        g_api.ReadVersion(device, firmware, dll, api);
        std::printf("versions: firmware %s, library %s, API %s; device %u, channel %u\n", firmware, dll, api,
                    static_cast<unsigned>(device), static_cast<unsigned>(channel));
        SCONFIG params[] = {{ISO15765_BS, 8}, {kJ1962Pins, kHsCanPins}, {kFdTxDataLength, kFdTxDl}};
        SCONFIG_LIST list{fd ? 3u : 1u, params};
        ok &= g_api.Ioctl(channel, SET_CONFIG, &list, nullptr) == STATUS_NOERROR;
        if (fd) std::printf("CAN FD: FD_ISO15765_PS, 500 kbit/s and 2 Mbit/s, TX_DL %u\n", static_cast<unsigned>(kFdTxDl));
        PASSTHRU_MSG mask = Message(0xFFFFFFFF, -1, {}), pattern = Message(0x7E8, -1, {}),
                     flow = Message(0x7E0, -1, {});
        PASSTHRU_MSG maskExt = Message(0xFFFFFFFF, 0xFF, {}), patternExt = Message(0x640, 0xF1, {}),
                     flowExt = Message(0x6F1, 0x40, {});
        uint32_t id = 0;
        ok &= g_api.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id) == STATUS_NOERROR;
        ok &= g_api.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &maskExt, &patternExt, &flowExt, &id) ==
              STATUS_NOERROR;
        PASSTHRU_MSG tester = Message(0x7DF, -1, {0x3E, 0x80});
        ok &= g_api.StartPeriodicMsg(channel, &tester, &id, 2000) == STATUS_NOERROR;
        std::printf("block size 8, flow-control filters 0x7E8/0x7E0 and 0x640 F1/0x6F1 40, tester present every 2 s\n");
    }
    if (ok) {
        const Bytes vin = {'V', 'X', 'L', 'S', 'I', 'M', 'E', 'C', 'U', '0', '0', '0', '0', '0', '0', '0'};
        Bytes engineVin = {0x62, 0xF1, 0x90}, gatewayVin = engineVin;
        engineVin.insert(engineVin.end(), vin.begin(), vin.end());
        engineVin.push_back('1');
        gatewayVin.insert(gatewayVin.end(), vin.begin(), vin.end());
        gatewayVin.push_back('3');
        ok &= Step(channel, "extended diagnostic session", 0x7E0, -1, {0x10, 0x03}, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4});
        ok &= Step(channel, "read VIN (multi-frame answer)", 0x7E0, -1, {0x22, 0xF1, 0x90}, engineVin);
        if (noFlowControl) vxlsim_node_remove(vxlsim_ecu_find("engine"));
        Bytes echo(4095), echoed(4095);
        for (size_t i = 0; i < echo.size(); ++i) echo[i] = echoed[i] = static_cast<uint8_t>(i);
        echo[0] = 0xBA;
        echoed[0] = 0xFA;
        ok &= Step(channel, "4095-byte echo (multi-frame both ways)", 0x7E0, -1, echo, echoed);
        ok &= Step(channel, "read VIN, extended addressing", 0x6F1, 0x40, {0x22, 0xF1, 0x90}, gatewayVin);
    }
    if (device != 0) g_api.Close(device);
    plat::UnloadSharedLibrary(library);
    plat::SetEnvironmentValue("PT_VECTOR_INI", nullptr);
    return ok;
}
