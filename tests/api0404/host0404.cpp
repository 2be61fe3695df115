#include "host0404.h"

#include "platform/platform.h"

const std::string kOneEcu = std::string(VXLSIM_ONE_CARD) + "[ecu]\nname = engine\n";

std::string CardsConfig(unsigned cards, bool virtualChannel) {
    std::string config = "[driver]\ndefault_ecus = 0\n";
    for (unsigned i = 0; i < cards; ++i)
        config += "[channel]\nname = CANcardXL Channel " + std::to_string(i + 1) + "\nhw_type = 15\nhw_channel = " +
                  std::to_string(i) + "\ntransceiver_type = 0x0107\nbus_capabilities = 0x00030003\n";
    return virtualChannel ? config + "[channel]\nname = Virtual Channel 1\n" : config;
}

Bytes With(uint32_t id, const Bytes &data) { return Cat(IdBytes(id), data); }

int CallsOf(const char *function, int status) {
    int n = 0;
    for (const vxlsim_call &call : vxlsim::CallsTo(function)) n += status == -1 || call.status == status;
    return n;
}

namespace {

// A message of protocol holding exactly these bytes.
PASSTHRU_MSG Raw(uint32_t protocol, const Bytes &bytes, uint32_t txFlags = 0) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = protocol;
    msg.TxFlags = txFlags;
    msg.DataSize = static_cast<uint32_t>(std::min<size_t>(bytes.size(), PT_MSG_DATA_SIZE));
    std::copy(bytes.begin(), bytes.begin() + msg.DataSize, msg.Data);
    return msg;
}

}  // namespace

PASSTHRU_MSG Msg0404(uint32_t protocol, uint32_t id, const Bytes &data, uint32_t txFlags) {
    return Raw(protocol, With(id, data), txFlags);
}

Host0404::Host0404(const std::string &iniKeys, const char *simConfig) {
    EXPECT_EQ(0, vxlsim_load_config_text(simConfig));
    const std::string ini = m_dir.file("pt_vector0404.ini");
    WriteText(ini, "[PT_VECTOR]\n" + iniKeys);
    plat::SetEnvironmentValue("PT_VECTOR_INI", ini.c_str());
    const std::string path = LibraryPath("pt_vector0404");
    m_library = plat::LoadSharedLibrary(path.c_str());
    EXPECT_NE(nullptr, m_library) << path;
    if (!m_library) return;
    void *library = m_library;
    Api0404 &api = m_api;
    PT_J2534_FUNCTIONS(PT_J2534_RESOLVE)
    PT_J2534_RESOLVE(Open)
    PT_J2534_RESOLVE(Close)
}

Host0404::~Host0404() {
    // A tool that ends without closing: the unload handler closes the device.
    if (m_library) plat::UnloadSharedLibrary(m_library);
    plat::SetEnvironmentValue("PT_VECTOR_INI", nullptr);
}

size_t Host0404::tracedCount(const std::string &text) const {
    size_t n = 0;
    for (const std::string &line : traceLines()) n += line.find(text) != std::string::npos;
    return n;
}

std::string Host0404::levelOf(const std::string &text) const {
    for (const std::string &line : traceLines())
        if (line.find(text) != std::string::npos) return line.substr(line.find(';', line.find(';') + 1) + 1, 2);
    return "";
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
    PASSTHRU_MSG maskMsg = Raw(filterProtocol(CAN), mask, txFlags), patternMsg = Raw(filterProtocol(CAN), pattern, txFlags);
    uint32_t id = 0;
    return m_api.StartMsgFilter(m_channel, type, &maskMsg, &patternMsg, nullptr, filterId ? filterId : &id);
}

uint32_t Host0404::flowFilter(uint32_t respId, uint32_t flowId, uint32_t *filterId, int respAddr, int flowAddr,
                              uint32_t txFlags) {
    Bytes maskBytes = {0xFF, 0xFF, 0xFF, 0xFF}, patternBytes = IdBytes(respId), flowBytes = IdBytes(flowId);
    if (respAddr >= 0) {
        maskBytes.push_back(0xFF);
        patternBytes.push_back(static_cast<uint8_t>(respAddr));
        flowBytes.push_back(static_cast<uint8_t>(flowAddr));
    }
    const uint32_t protocol = filterProtocol(ISO15765);
    PASSTHRU_MSG mask = Raw(protocol, maskBytes, txFlags), pattern = Raw(protocol, patternBytes, txFlags),
                 flow = Raw(protocol, flowBytes, txFlags);
    uint32_t id = 0;
    return m_api.StartMsgFilter(m_channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, filterId ? filterId : &id);
}

uint32_t Host0404::write(const PASSTHRU_MSG &msg, uint32_t timeoutMs, uint32_t *num) {
    PASSTHRU_MSG copy = msg;
    uint32_t one = 1;
    *(num = num ? num : &one) = 1;
    return m_api.WriteMsgs(m_channel, &copy, num, timeoutMs);
}

std::vector<PASSTHRU_MSG> Host0404::read(uint32_t max, uint32_t timeoutMs, uint32_t *status, uint32_t channel) const {
    std::vector<PASSTHRU_MSG> msgs(max);
    uint32_t num = max;
    const uint32_t result = m_api.ReadMsgs(channel ? channel : m_channel, msgs.data(), &num, timeoutMs);
    if (status) *status = result;
    msgs.resize(std::min(num, max));
    return msgs;
}

std::vector<PASSTHRU_MSG> Host0404::readAll(uint32_t timeoutMs) const {
    std::vector<PASSTHRU_MSG> all;
    for (std::vector<PASSTHRU_MSG> got; !(got = read(1, timeoutMs)).empty();) all.push_back(got[0]);
    return all;
}

namespace {
bool IsAnswer(const PASSTHRU_MSG &msg) {
    return (msg.RxStatus & (TX_INDICATION | START_OF_MESSAGE | TX_MSG_TYPE)) == 0;
}
}  // namespace

std::vector<PASSTHRU_MSG> Host0404::readAnswer(uint32_t channel, uint32_t timeoutMs) const {
    std::vector<PASSTHRU_MSG> all;
    for (std::vector<PASSTHRU_MSG> got; all.size() < 20 && !(got = read(1, timeoutMs, nullptr, channel)).empty();) {
        all.push_back(got[0]);
        if (IsAnswer(got[0])) break;
    }
    return all;
}

Bytes Host0404::answer(uint32_t channel, uint32_t timeoutMs) const {
    const std::vector<PASSTHRU_MSG> got = readAnswer(channel, timeoutMs);
    return got.empty() || !IsAnswer(got.back()) ? Bytes{} : DataOf(got.back());
}

uint32_t Host0404::setConfig(uint32_t parameter, uint32_t value) {
    SCONFIG param{parameter, value};
    SCONFIG_LIST list{1, &param};
    return m_api.Ioctl(m_channel, SET_CONFIG, &list, nullptr);
}

uint32_t Host0404::getConfig(uint32_t parameter, uint32_t *value) {
    SCONFIG param{parameter, kUnsupported};
    SCONFIG_LIST list{1, &param};
    const uint32_t status = m_api.Ioctl(m_channel, GET_CONFIG, &list, nullptr);
    *value = param.Value;
    return status;
}

uint32_t Host0404::config(uint32_t parameter) {
    uint32_t value = 0;
    EXPECT_EQ(STATUS_NOERROR, getConfig(parameter, &value)) << "parameter " << parameter;
    return value;
}

void Host0404::expectSet(uint32_t parameter, uint32_t value, uint32_t status, uint32_t reported) {
    SCOPED_TRACE(testing::Message() << "parameter " << parameter << " value " << value);
    EXPECT_EQ(status, setConfig(parameter, value));
    uint32_t now = 0;
    EXPECT_EQ(reported == kUnsupported ? ERR_NOT_SUPPORTED : STATUS_NOERROR, getConfig(parameter, &now));
    EXPECT_EQ(reported, now);
}
