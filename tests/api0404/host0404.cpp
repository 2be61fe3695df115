#include "host0404.h"

#include <cstdio>
#include <filesystem>

#include "platform/platform.h"
#include "platform_env.h"

namespace fs = std::filesystem;

namespace {

std::string BinDir0404() {
    if (const char *dir = std::getenv("PT_BIN_DIR")) return dir;
    char exe[4096];
    if (plat::ExecutableFileName(exe, sizeof exe)) return fs::path(exe).parent_path().string();
    return fs::current_path().string();
}

template <typename F>
void Resolve(void *library, F &fn, const char *name) {
    fn = reinterpret_cast<F>(plat::FindSymbol(library, name));
    ASSERT_NE(nullptr, reinterpret_cast<void *>(fn)) << name;
}

}  // namespace

const std::string kOneEcu = std::string(VXLSIM_ONE_CARD) + "[ecu]\nname = engine\n";

std::string CardsConfig(unsigned cards, bool virtualChannel) {
    std::string config = "[driver]\ndefault_ecus = 0\n";
    for (unsigned i = 0; i < cards; ++i)
        config += "[channel]\nname = CANcardXL Channel " + std::to_string(i + 1) + "\nhw_type = 15\nhw_channel = " +
                  std::to_string(i) + "\ntransceiver_type = 0x0107\nbus_capabilities = 0x00030003\n";
    return virtualChannel ? config + "[channel]\nname = Virtual Channel 1\n" : config;
}

Bytes Cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes With(uint32_t id, const Bytes &data) { return Cat(IdBytes(id), data); }

Bytes IdBytes(uint32_t id) {
    return {static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
            static_cast<uint8_t>(id)};
}

PASSTHRU_MSG Msg0404(uint32_t protocol, uint32_t id, const Bytes &data, uint32_t txFlags) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = protocol;
    msg.TxFlags = txFlags;
    Bytes all = IdBytes(id);
    all.insert(all.end(), data.begin(), data.end());
    msg.DataSize = static_cast<uint32_t>(std::min<size_t>(all.size(), PT_MSG_DATA_SIZE));
    std::copy(all.begin(), all.begin() + msg.DataSize, msg.Data);
    return msg;
}

Bytes DataOf(const PASSTHRU_MSG &msg) {
    return Bytes(msg.Data, msg.Data + std::min<uint32_t>(msg.DataSize, PT_MSG_DATA_SIZE));
}

std::string FrameLine(uint32_t id, const Bytes &data) {
    char text[64];
    std::snprintf(text, sizeof text, "%X:", static_cast<unsigned>(id));
    std::string line = text;
    for (uint8_t b : data) {
        std::snprintf(text, sizeof text, " %02X", b);
        line += text;
    }
    return line;
}

std::vector<std::string> BusLines() {
    std::vector<std::string> lines;
    for (const vxlsim_frame &f : vxlsim::Captured())
        lines.push_back(FrameLine(f.id & 0x1FFFFFFFu, Bytes(f.data, f.data + std::min<uint16_t>(f.dlc, 8))));
    return lines;
}

Host0404::Host0404(const std::string &iniKeys, const char *simConfig) {
    EXPECT_EQ(0, vxlsim_load_config_text(simConfig));
    const std::string ini = m_dir.file("pt_vector0404.ini");
    WriteText(ini, "[PT_VECTOR]\n" + iniKeys);
    SetEnvVar("PT_VECTOR_INI", ini.c_str());
    const std::string path =
        (fs::path(BinDir0404()) / (std::string(plat::SharedLibraryPrefix()) + "pt_vector0404" +
                                   plat::SharedLibrarySuffix()))
            .string();
    m_library = plat::LoadSharedLibrary(path.c_str());
    EXPECT_NE(nullptr, m_library) << path;
    if (!m_library) return;
    Resolve(m_library, m_api.Open, "PassThruOpen");
    Resolve(m_library, m_api.Close, "PassThruClose");
    Resolve(m_library, m_api.Connect, "PassThruConnect");
    Resolve(m_library, m_api.Disconnect, "PassThruDisconnect");
    Resolve(m_library, m_api.ReadMsgs, "PassThruReadMsgs");
    Resolve(m_library, m_api.WriteMsgs, "PassThruWriteMsgs");
    Resolve(m_library, m_api.StartPeriodicMsg, "PassThruStartPeriodicMsg");
    Resolve(m_library, m_api.StopPeriodicMsg, "PassThruStopPeriodicMsg");
    Resolve(m_library, m_api.StartMsgFilter, "PassThruStartMsgFilter");
    Resolve(m_library, m_api.StopMsgFilter, "PassThruStopMsgFilter");
    Resolve(m_library, m_api.SetProgrammingVoltage, "PassThruSetProgrammingVoltage");
    Resolve(m_library, m_api.ReadVersion, "PassThruReadVersion");
    Resolve(m_library, m_api.GetLastError, "PassThruGetLastError");
    Resolve(m_library, m_api.Ioctl, "PassThruIoctl");
}

Host0404::~Host0404() {
    // A tool that ends without closing: the unload handler closes the device.
    if (m_library) plat::UnloadSharedLibrary(m_library);
    SetEnvVar("PT_VECTOR_INI", nullptr);
}

bool Host0404::traced(const std::string &text) const {
    for (const std::string &line : traceLines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::string Host0404::lastError() const {
    char text[80] = {};
    EXPECT_EQ(STATUS_NOERROR, m_api.GetLastError(text));
    return text;
}

uint32_t Host0404::open(const char *name) { return m_api.Open(const_cast<char *>(name), &m_device); }

uint32_t Host0404::connect(uint32_t protocol, uint32_t flags, uint32_t baud) {
    m_protocol = protocol;
    return m_api.Connect(m_device, protocol, flags, baud, &m_channel);
}

void Host0404::openChannel(uint32_t protocol, uint32_t flags) {
    ASSERT_EQ(STATUS_NOERROR, open());
    ASSERT_EQ(STATUS_NOERROR, connect(protocol, flags));
    vxlsim_capture_clear();
    vxlsim_call_clear();
}

uint32_t Host0404::passFilter(uint32_t type, const Bytes &mask, const Bytes &pattern, uint32_t *filterId,
                              uint32_t txFlags) {
    PASSTHRU_MSG maskMsg{}, patternMsg{};
    maskMsg.ProtocolID = patternMsg.ProtocolID = filterProtocol(CAN);
    maskMsg.TxFlags = patternMsg.TxFlags = txFlags;
    maskMsg.DataSize = static_cast<uint32_t>(mask.size());
    patternMsg.DataSize = static_cast<uint32_t>(pattern.size());
    std::copy(mask.begin(), mask.end(), maskMsg.Data);
    std::copy(pattern.begin(), pattern.end(), patternMsg.Data);
    uint32_t id = 0;
    const uint32_t status = m_api.StartMsgFilter(m_channel, type, &maskMsg, &patternMsg, nullptr, &id);
    if (filterId) *filterId = id;
    return status;
}

uint32_t Host0404::flowFilter(uint32_t respId, uint32_t flowId, uint32_t *filterId, int respAddr, int flowAddr,
                              uint32_t txFlags) {
    Bytes maskBytes = {0xFF, 0xFF, 0xFF, 0xFF}, patternBytes = IdBytes(respId), flowBytes = IdBytes(flowId);
    if (respAddr >= 0) {
        maskBytes.push_back(0xFF);
        patternBytes.push_back(static_cast<uint8_t>(respAddr));
        flowBytes.push_back(static_cast<uint8_t>(flowAddr));
    }
    PASSTHRU_MSG mask = Msg0404(filterProtocol(ISO15765), 0, {}, txFlags), pattern = mask, flow = mask;
    mask.DataSize = pattern.DataSize = flow.DataSize = static_cast<uint32_t>(maskBytes.size());
    std::copy(maskBytes.begin(), maskBytes.end(), mask.Data);
    std::copy(patternBytes.begin(), patternBytes.end(), pattern.Data);
    std::copy(flowBytes.begin(), flowBytes.end(), flow.Data);
    uint32_t id = 0;
    const uint32_t status = m_api.StartMsgFilter(m_channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id);
    if (filterId) *filterId = id;
    return status;
}

uint32_t Host0404::write(const PASSTHRU_MSG &msg, uint32_t timeoutMs, uint32_t *num) {
    PASSTHRU_MSG copy = msg;
    uint32_t one = 1;
    const uint32_t status = m_api.WriteMsgs(m_channel, &copy, &one, timeoutMs);
    if (num) *num = one;
    return status;
}

std::vector<PASSTHRU_MSG> Host0404::read(uint32_t max, uint32_t timeoutMs, uint32_t *status) {
    std::vector<PASSTHRU_MSG> msgs(max);
    uint32_t num = max;
    const uint32_t result = m_api.ReadMsgs(m_channel, msgs.data(), &num, timeoutMs);
    if (status) *status = result;
    msgs.resize(std::min(num, max));
    return msgs;
}

std::vector<PASSTHRU_MSG> Host0404::readAnswer(uint32_t channel) const {
    std::vector<PASSTHRU_MSG> all;
    for (int i = 0; i < 20; ++i) {
        PASSTHRU_MSG msg{};
        uint32_t num = 1;
        m_api.ReadMsgs(channel ? channel : m_channel, &msg, &num, 2000);
        if (num == 0) break;
        all.push_back(msg);
        if ((msg.RxStatus & (TX_INDICATION | START_OF_MESSAGE | TX_MSG_TYPE)) == 0) break;
    }
    return all;
}

uint32_t Host0404::setConfig(uint32_t parameter, uint32_t value) {
    SCONFIG param{parameter, value};
    SCONFIG_LIST list{1, &param};
    return m_api.Ioctl(m_channel, SET_CONFIG, &list, nullptr);
}

uint32_t Host0404::getConfig(uint32_t parameter, uint32_t *value) {
    SCONFIG param{parameter, 0xDEADBEEF};
    SCONFIG_LIST list{1, &param};
    const uint32_t status = m_api.Ioctl(m_channel, GET_CONFIG, &list, nullptr);
    *value = param.Value;
    return status;
}
